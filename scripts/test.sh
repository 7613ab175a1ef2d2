#!/usr/bin/env bash
# The whole test suite: unit, fuzz-corpus and end-to-end tests, first in a
# normal build, then under AddressSanitizer + UndefinedBehaviorSanitizer,
# then the threaded tests under ThreadSanitizer. Run as root (the
# end-to-end tests use private namespaces).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

jobs=$(nproc)

run_suite() {  # build-dir ctest-args cmake-args...
  local dir=$1 ctest_args=$2
  shift 2
  echo "=== $dir ==="
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
  ctest --test-dir "$dir" -j "$jobs" --output-on-failure $ctest_args
}

run_suite build ""
# The package checks install and repackage the tree; one run of them is enough.
run_suite build-asan "-LE package" -DREPORT_SANITIZE=ON -DREPORT_BUILD_BENCH=OFF

# The threaded code under ThreadSanitizer: the worker thread class and the
# daemon end to end (the daily job test runs under libfaketime, which does
# not mix with the ThreadSanitizer runtime, so it stays in the runs above).
echo "=== build-tsan ==="
cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DREPORT_TSAN=ON >/dev/null
cmake --build build-tsan -j "$jobs" --target report_server fault_inject \
  net_worker_thread_test lifecycle_e2e_test report_e2e_test
TSAN_OPTIONS="halt_on_error=1" ctest --test-dir build-tsan -j "$jobs" --output-on-failure \
  -R '^(WorkerThread|Lifecycle|Reports)\.'
