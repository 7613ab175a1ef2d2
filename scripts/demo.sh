#!/usr/bin/env bash
# The main job: build, start the daemon with a log directory under the build
# tree, send it a few reports with report_send, stop it with SIGTERM and show
# its log. Run as root (the daemon keeps its pid file in
# /var/run/vantor_report/).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" --target report_server report_send

pid_file=/var/run/vantor_report//32730.pid
log_dir=$PWD/build/demo-log
log_file=$log_dir/32730.log

# A pid file left by a daemon that was killed may name another process now.
if [ -f "$pid_file" ] && [ "$(cat "/proc/$(cat "$pid_file")/comm" 2>/dev/null)" = report_server ]; then
  echo "a report server already runs (pid $(cat "$pid_file")); stop it first" >&2
  exit 1
fi

./build/network/report_server --logdir="$log_dir"
for _ in $(seq 50); do [ -s "$pid_file" ] && break; sleep 0.1; done
pid=$(cat "$pid_file")
echo "report_server runs as pid $pid, logging to $log_file"
for _ in $(seq 50); do grep -q ':7FDA ' /proc/net/udp && break; sleep 0.1; done
sleep 0.2
state=$(awk '/^State:/ {print $2}' "/proc/$pid/status" 2>/dev/null || true)
if [ -z "$state" ] || [ "$state" = Z ]; then  # gone, or a zombie not yet reaped
  echo "report_server ended during start-up (is UDP port 32730 taken?):" >&2
  cat "$log_file" >&2
  exit 1
fi

./build/tools/report_send -L 5 "ok"
./build/tools/report_send -L 3 "disk /dev/sda1 at 91%" "backup finished in 42 s"
printf '%s\n' "reports from standard input" "one per line" | ./build/tools/report_send -L 1
sleep 1

kill -TERM "$pid"
for _ in $(seq 150); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
echo "--- $log_file"
cat "$log_file"
