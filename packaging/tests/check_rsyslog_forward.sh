#!/usr/bin/env bash
# Ships the real daemon's log with the rsyslog example to a central rsyslog:
# two private rsyslogd instances with their own configuration and work
# directories, in private namespaces (own network, pid and mount namespaces;
# fresh tmpfs on /run, /var/log, /home and /var/spool/rsyslog, which holds
# the test's files, so the build may be anywhere else, /tmp too). Reports
# are sent before and after a rotation (rename to 32730.log.1, SIGHUP); the
# central host must get every report line exactly once, in order.
# Needs root. Exits 77 (skipped) without rsyslogd.
#
#   check_rsyslog_forward.sh EXAMPLE_CONF REPORT_SERVER REPORT_SEND
set -euo pipefail

if [ "${1:-}" != --inside ]; then
  command -v rsyslogd >/dev/null || [ -x /usr/sbin/rsyslogd ] || { echo "SKIP: no rsyslogd"; exit 77; }
  exec unshare --mount --net --pid --fork --kill-child --mount-proc \
    bash "$0" --inside "$(realpath "$1")" "$(realpath "$2")" "$(realpath "$3")"
fi
example=$2 report_server=$3 report_send=$4
PATH=/usr/sbin:/usr/bin:/sbin:/bin
fail() { echo "FAIL: $*" >&2; exit 1; }
wait_for() { for _ in $(seq 200); do "$@" && return; sleep 0.1; done; false; }
ip link set lo up
spool=/var/spool/rsyslog
for dir in /run /var/log /home $spool; do
  mkdir -p "$dir" && mount -t tmpfs tmpfs "$dir"
done
port=10514 log=/var/log/report_server/32730.log
mkdir $spool/central $spool/host

# The central host: every message it takes over TCP, one line each.
cat >$spool/central.conf <<EOF
global(workDirectory="$spool/central")
module(load="imtcp")
input(type="imtcp" address="127.0.0.1" port="$port" ruleset="take")
ruleset(name="take") { action(type="omfile" file="$spool/received" template="RSYSLOG_FileFormat") }
EOF
# This host: the example, pointed at the central host.
sed -e 's/^\( *target=\)"[^"]*"/\1"127.0.0.1"/' -e "s/^\( *port=\)\"514\"/\1\"$port\"/" \
  "$example" >$spool/example.conf
grep -q '^ *target="127.0.0.1"' $spool/example.conf && grep -q "^ *port=\"$port\"" $spool/example.conf ||
  fail "no target= and port=\"514\" lines in the example to point at the central host"
printf 'global(workDirectory="%s/host")\ninclude(file="%s/example.conf")\n' $spool $spool >$spool/host.conf
for name in central host; do
  rsyslogd -n -f "$spool/$name.conf" -i "/run/$name.pid" &
done
listening() { ss -Htln "sport = :$port" | grep -q .; }
wait_for test -s /run/host.pid && wait_for listening || fail "the rsyslogd instances did not start"

"$report_server" --logdir="${log%/*}"
wait_for test -s /var/run/vantor_report//32730.pid || fail "the daemon did not start"
pid=$(cat /var/run/vantor_report//32730.pid)
seq -f "text %g" 1 40 | "$report_send" -L 1
# The daemon writes these lines at the rotation at the latest: rotate once
# the forwarder has the log open, so that it follows it across the rename.
following() { find "/proc/$(cat /run/host.pid)/fd" -lname "$log" | grep -q .; }
wait_for following || fail "the forwarding rsyslogd does not follow $log"
mv "$log" "$log.1"
kill -HUP "$pid"
wait_for test -e "$log" || fail "no new log after SIGHUP"
seq -f "text %g" 41 80 | "$report_send" -L 1
sleep 0.5
kill -TERM "$pid"
wait_for test ! -e "/proc/$pid" || fail "the daemon did not stop"
[ "$(grep -c "LEVEL 1: " "$log.1")" = 40 ] && [ "$(grep -c "LEVEL 1: " "$log")" = 40 ] ||
  fail "the rotation did not split the reports 40/40 between $log.1 and $log"

# The lines arrive within moments; then both stop, the forwarder first, so
# that whatever either still holds is written before the comparison.
arrived() { [ "$(grep -c 'LEVEL 1: (text' $spool/received)" -ge 80 ]; } 2>/dev/null
wait_for arrived || true
for name in host central; do
  kill -TERM "$(cat "/run/$name.pid")"
  wait_for test ! -e "/run/$name.pid" || fail "rsyslogd ($name) did not stop"
done
diff <(seq -f "LEVEL 1: (text %g)" 1 80) <(grep -o 'LEVEL 1: (.*' $spool/received) >&2 ||
  fail "the central host did not get each report line once and in order (diff above)"
echo "rsyslog example: 80 report lines across a rotation, each once and in order: ok"
