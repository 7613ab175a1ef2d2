#!/usr/bin/env bash
# The whole test suite, with warnings as errors: the style check, then unit,
# fuzz-corpus, end-to-end and package tests in a g++ build, the same but the
# package checks under AddressSanitizer + UndefinedBehaviorSanitizer in a
# clang build, then the threaded tests under ThreadSanitizer. Run as root
# (the end-to-end tests use private namespaces).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh test

jobs=$(nproc)

echo "=== style (.clang-format) ==="
git ls-files '*.cc' '*.h' | xargs clang-format --dry-run -Werror

run_suite() {  # build-dir ctest-args cmake-args...
  local dir=$1 ctest_args=$2
  shift 2
  echo "=== $dir ==="
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DREPORT_WERROR=ON "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
  ctest --test-dir "$dir" -j "$jobs" --output-on-failure $ctest_args
}

# The g++ build compiles the benchmarks too, so their warnings fail CI.
run_suite build "" -DCMAKE_CXX_COMPILER=g++ -DREPORT_BUILD_BENCH=ON
# The package checks install and repackage the tree; one run of them is enough.
run_suite build-asan "-LE package" -DCMAKE_CXX_COMPILER=clang++ -DREPORT_SANITIZE=ON \
  -DREPORT_BUILD_BENCH=OFF

# The threaded code under ThreadSanitizer: the worker thread class and the
# daemon end to end, its daily job thread too.
echo "=== build-tsan ==="
cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DREPORT_WERROR=ON -DREPORT_TSAN=ON \
  >/dev/null
cmake --build build-tsan -j "$jobs" --target report_server report_send fault_inject \
  clock_shift net_worker_thread_test
TSAN_OPTIONS="halt_on_error=1" ctest --test-dir build-tsan -j "$jobs" --output-on-failure \
  -R '^(WorkerThreadTest|DaemonTest|DailyJobTest)\.'
