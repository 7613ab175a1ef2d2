#!/usr/bin/env bash
# The main job: build, start the daemon with a log directory under the build
# tree, let it run, stop it with SIGTERM and show its log. Run as root (the
# daemon keeps its pid file in /var/run/vantor_report/).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" --target report_server

pid_file=/var/run/vantor_report//32730.pid
log_dir=$PWD/build/demo-log
log_file=$log_dir/32730.log

if [ -f "$pid_file" ] && kill -0 "$(cat "$pid_file")" 2>/dev/null; then
  echo "a report server already runs (pid $(cat "$pid_file")); stop it first" >&2
  exit 1
fi

./build/network/report_server --logdir="$log_dir"
for _ in $(seq 50); do [ -s "$pid_file" ] && break; sleep 0.1; done
pid=$(cat "$pid_file")
echo "report_server runs as pid $pid, logging to $log_file"
sleep 2

kill -TERM "$pid"
for _ in $(seq 150); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
echo "--- $log_file"
cat "$log_file"
