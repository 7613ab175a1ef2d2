#!/usr/bin/env bash
# Runs the unit's start commands and the logrotate file, as shipped, with the
# real daemon in private namespaces (fresh tmpfs on /run, /var/log,
# /etc/logrotate.d, /var/lib/logrotate and /home; own network and pid
# namespaces), in the directories the unit has systemd make, with no more
# than the unit's capabilities and no new privileges, and checks that they
# fit together: ExecStartPre= keeps the last run's log (in a directory of
# mode 0); the pid file is where PIDFile= says, naming the daemon; the log
# is where the logrotate file looks; a rotation renames the log and signals
# the daemon, which writes on in a new one, losing no line; SIGTERM stops
# the daemon and removes the pid file.
# Needs root. Exits 77 (skipped) without logrotate.
#
#   check_service_files.sh UNIT LOGROTATE_FILE REPORT_SERVER REPORT_SEND
set -euo pipefail

if [ "${1:-}" != --inside ]; then
  command -v logrotate >/dev/null || [ -x /usr/sbin/logrotate ] || { echo "SKIP: no logrotate"; exit 77; }
  exec unshare --mount --net --pid --fork --kill-child --mount-proc \
    bash "$0" --inside "$(realpath "$1")" "$(realpath "$2")" "$(realpath "$3")" "$(realpath "$4")"
fi
unit=$2 report_server=$4 report_send=$5
PATH=/usr/sbin:/usr/bin:/sbin:/bin
fail() { echo "FAIL: $*" >&2; exit 1; }
wait_for() { for _ in $(seq 100); do "$@" && return; sleep 0.1; done; false; }
ip link set lo up
for dir in /run /var/log /etc/logrotate.d /var/lib/logrotate /home; do
  mkdir -p "$dir" && mount -t tmpfs tmpfs "$dir"
done
install -m 644 "$3" /etc/logrotate.d/report-server

setting() { sed -n "s/^$1=//p" "$unit"; }
for kind in Runtime:/run Logs:/var/log; do
  mkdir -m "$(setting "${kind%:*}DirectoryMode")" "${kind#*:}/$(setting "${kind%:*}Directory")"
done
caps=$(setting CapabilityBoundingSet | tr 'A-Z ' 'a-z,' | sed 's/cap_/+/g')
sandbox=(setpriv --bounding-set="-all,$caps" --inh-caps=-all --no-new-privs)
umask "$(setting UMask)"
pid_file=$(setting PIDFile)
read -r -a start_pre <<<"$(sed -n 's/^ExecStartPre=-\{0,1\}//p' "$unit")"
read -r -a start <<<"$(sed -n "s|^ExecStart=/usr/sbin/report_server|$report_server|p" "$unit")"
log=$(sed -n 's|^\(/[^ ]*\) {$|\1|p' /etc/logrotate.d/report-server)
echo "line of the last run" >"$log"
"${sandbox[@]}" "${start_pre[@]}" || fail "ExecStartPre= failed"
[ "$(cat "$log.1")" = "line of the last run" ] && [ ! -e "$log" ] || fail "ExecStartPre= did not keep the last log"

"${sandbox[@]}" "${start[@]}" || fail "ExecStart= exited with $?"
wait_for test -s "$pid_file" || fail "no pid file at $pid_file (PIDFile=)"
pid=$(cat "$pid_file")
[ "$(readlink "/proc/$pid/exe")" = "$report_server" ] || fail "the pid file does not name the daemon"
"$report_send" -L 2 "before rotation"
wait_for test -s "$log" || fail "nothing reaches $log, where logrotate looks"
logrotate --force --state /var/lib/logrotate/state /etc/logrotate.d/report-server || fail "logrotate"
[ "$(gzip -dc "$log.2.gz")" = "line of the last run" ] || fail "the logs were not shifted"
wait_for test -e "$log" || fail "the daemon did not open a new log after the rotation"
"$report_send" -L 3 "after rotation"
sleep 0.5
kill -TERM "$pid"
wait_for test ! -e "/proc/$pid" || fail "the daemon did not stop on SIGTERM"
[ ! -e "$pid_file" ] || fail "the pid file stays after SIGTERM"
grep -qF "> LEVEL 2: (before rotation)" "$log.1" || fail "the line before the rotation is not in $log.1"
for line in "LEVEL 3: (after rotation)" "break by signal"; do
  grep -qF "> $line" "$log" || fail "'$line' is not in the new log"
done
echo "unit start commands, pid file, log rotation with the real daemon: ok"
