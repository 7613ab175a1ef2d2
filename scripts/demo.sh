#!/usr/bin/env bash
# The main job: build, start the daemon with a log directory under the build
# tree, send it a few reports with report_send, stop it with SIGTERM and show
# its log. Run as root (the daemon keeps its pid file in
# /var/run/vantor_report/). A daemon that already runs makes the start fail
# with "already running as pid N".
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh demo

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" --target report_server report_send

port=$(sed -n 's/.*REPORT_SERVER_PORT = \([0-9]*\);/\1/p' network/system/report_record.h)
pid_file=/var/run/vantor_report//$port.pid
log_dir=$PWD/build/demo-log
log_file=$log_dir/$port.log

# The start returns once the daemon is ready (its pid in the pid file, its
# port bound), or fails with status 1 and says why.
if ! ./build/network/report_server --logdir="$log_dir"; then
  [ -f "$log_file" ] && cat "$log_file" >&2
  exit 1
fi
pid=$(cat "$pid_file")
echo "report_server runs as pid $pid, logging to $log_file"

./build/tools/report_send -L 5 "ok"
./build/tools/report_send -L 3 "disk /dev/sda1 at 91%" "backup finished in 42 s"
printf '%s\n' "reports from standard input" "one per line" | ./build/tools/report_send -L 1

# The daemon takes what waits in its socket before it ends, so stopping it
# right away loses no report.
kill -TERM "$pid"
for _ in $(seq 150); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
echo "--- $log_file"
cat "$log_file"
