#!/usr/bin/env bash
# Runs the unit's start commands and the logrotate file, as shipped, with the
# real daemon, in private namespaces (fresh tmpfs on /run, /var/log,
# /etc/logrotate.d, /var/lib/logrotate and /home; own network and pid
# namespaces), and checks that they fit together:
#   - ExecStartPre= rotates the log of the last run away before the start;
#   - the pid file appears where PIDFile= says, naming the running daemon;
#   - the log is where the logrotate file looks for it;
#   - a rotation renames the log and the daemon goes on writing into the
#     renamed file until it stops: no line is lost and nothing is truncated;
#   - SIGTERM stops the daemon and removes the pid file.
# Needs root. Exits 77 (skipped) without logrotate.
#
#   check_service_files.sh UNIT LOGROTATE_FILE REPORT_SERVER REPORT_SEND
set -euo pipefail

if [ "${1:-}" != --inside ]; then
  if ! command -v logrotate >/dev/null && [ ! -x /usr/sbin/logrotate ]; then
    echo "SKIP: logrotate is not installed"
    exit 77
  fi
  [ "$(id -u)" = 0 ] || { echo "FAIL: needs root (private namespaces)" >&2; exit 1; }
  exec unshare --mount --net --pid --fork --kill-child --mount-proc \
    bash "$0" --inside "$(realpath "$1")" "$(realpath "$2")" "$(realpath "$3")" "$(realpath "$4")"
fi
shift
unit=$1
logrotate_file=$2
report_server=$3
report_send=$4
PATH=/usr/sbin:/usr/bin:/sbin:/bin

work=$(mktemp -d /tmp/report-service.XXXXXX)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

ip link set lo up
for dir in /run /var/log /etc/logrotate.d /var/lib/logrotate /home; do
  mkdir -p "$dir"
  mount -t tmpfs tmpfs "$dir"
done
cp "$logrotate_file" /etc/logrotate.d/report-server
chmod 644 /etc/logrotate.d/report-server

# What the two files say.
pid_file=$(sed -n 's/^PIDFile=//p' "$unit")
read -r -a start_pre <<<"$(sed -n 's/^ExecStartPre=-\{0,1\}//p' "$unit")"
read -r -a start <<<"$(sed -n 's/^ExecStart=//p' "$unit")"
log_file=$(sed -n 's|^\(/[^ ]*\) {$|\1|p' "$logrotate_file")
[ -n "$pid_file" ] && [ ${#start_pre[@]} -gt 0 ] && [ ${#start[@]} -gt 0 ] && [ -n "$log_file" ] ||
  fail "cannot read PIDFile=, ExecStartPre=, ExecStart= or the log path"
[ "${start[0]}" = /usr/sbin/report_server ] || fail "ExecStart= runs ${start[0]}"
start[0]=$report_server

wait_for() {  # seconds condition...
  local tries=$(($1 * 10))
  shift
  while ! "$@"; do
    tries=$((tries - 1))
    [ "$tries" -gt 0 ] || return 1
    sleep 0.1
  done
}
running() { [ -d "/proc/$1" ] && ! grep -q '^State:.*zombie' "/proc/$1/status"; }
stopped() { ! running "$1"; }

# A log left by the last run: the start must not let the daemon truncate it.
mkdir -p "$(dirname "$log_file")"
echo "line of the last run" >"$log_file"
"${start_pre[@]}" || fail "ExecStartPre= failed"
[ ! -e "$log_file" ] || fail "ExecStartPre= left $log_file in place"
[ "$(cat "$log_file.1")" = "line of the last run" ] || fail "ExecStartPre= did not keep the last run's log"

"${start[@]}" || fail "ExecStart= exited with $?"
wait_for 5 test -s "$pid_file" || fail "no pid file at $pid_file (PIDFile=)"
pid=$(cat "$pid_file")
running "$pid" || fail "pid file names $pid, which does not run"
[ "$(readlink "/proc/$pid/exe")" = "$report_server" ] || fail "pid $pid is not the daemon"
[ -f "$log_file" ] || fail "the daemon does not log to $log_file (the logrotate path)"

"$report_send" -L 2 "before rotation" || fail "report_send"
# The log is buffered for up to ten seconds; an empty log is not rotated.
wait_for 15 test -s "$log_file" || fail "the log stays empty"

logrotate --force --state "$work/state" /etc/logrotate.d/report-server || fail "logrotate"
[ ! -e "$log_file" ] || fail "after rotation $log_file still exists (copied, or recreated)"
[ -f "$log_file.1" ] || fail "the log was not renamed to $log_file.1"
[ "$(gzip -dc "$log_file.2.gz")" = "line of the last run" ] || fail "the older log was not shifted and compressed"

"$report_send" -L 3 "after rotation" || fail "report_send"
sleep 0.5
kill -TERM "$pid"
wait_for 15 stopped "$pid" || fail "the daemon did not stop on SIGTERM"
[ ! -e "$pid_file" ] || fail "the pid file stays after SIGTERM"
[ ! -e "$log_file" ] || fail "the daemon recreated $log_file"
for line in "LEVEL 2: (before rotation)" "LEVEL 3: (after rotation)" "break by signal"; do
  grep -qF "> $line" "$log_file.1" || fail "'$line' is not in the renamed log"
done
# Rename, not truncation: the file starts with the daemon's first line.
head -c 1 "$log_file.1" | grep -q '<' || fail "the renamed log does not start with a log line"

echo "unit start commands, pid file, log rotation with the real daemon: ok"
