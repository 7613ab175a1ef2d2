#!/usr/bin/env bash
# The package under a real systemd: the .deb built from the tree, installed
# in a throw-away Debian 12 machine with systemd as PID 1 and no network
# (scripts/systemd-box.sh), and run as an operator runs it. Each check of the
# table at the end prints ok or FAIL after what it saw (journal lines
# included); all of them run, in order, on the same machine. Needs root.
# Exits 77 (skipped), saying why, where no machine can be booted here.
#
#   check_systemd.sh BUILD_DIR VERSION
set -uo pipefail

if [ "${1:-}" != --inside ]; then
  work=$(mktemp -d /tmp/report-systemd.XXXXXX) && trap 'rm -rf "$work"' EXIT
  cpack -G DEB -B "$work" --config "$1/CPackConfig.cmake" >"$work/cpack.log" 2>&1 && cp "$0" "$work/check.sh" ||
    { cat "$work/cpack.log"; exit 1; }
  bash "${0%/*}/../../scripts/systemd-box.sh" run "$work" bash /mnt/box/check.sh --inside "$2"
  exit
fi
exec 2>&1
deb=/mnt/box/report-server_${2}_$(dpkg --print-architecture).deb unit=report-server.service
log=/var/log/report_server/32730.log pid_file=/run/vantor_report/32730.pid
fail() { echo "  $*"; exit 1; }  # ends the check: each runs in a subshell
wait_for() { for _ in $(seq 300); do "$@" && return; sleep 0.1; done; false; }
show() { systemctl show -P "$1" $unit; }
there() { [ -e "$1" ] || [ -L "$1" ] && echo yes || echo no; }
last_line() { zcat -f "$1" | tail -n 1 | cut -d '>' -f 2-; }  # without the time stamp
numbers() { zcat -f "${@:2}" | sed -n "s/.*: ($1 \([0-9]*\))$/\1/p" | sort -n; }  # PREFIX FILE...
once_each() { diff <(seq "$2") <(numbers "$1" "${@:3}"); }  # PREFIX N FILE...: reports 1 to N, each once
all_logged() {  # PREFIX N FILE...: waits until once_each holds
  wait_for once_each "$@" >/dev/null || { once_each "$@"; fail "not each '$1' report logged once (diff above)"; }
}
expect() {  # WHAT SEEN: SEEN's lines "VERB ITEM: yes|no" against the table "VERB yes|no ITEM..." on stdin
  diff <(while read -r verb verdict items; do printf "$verb %s: $verdict\n" $items; done | sort) <(sort "$2") ||
    fail "$1 (diff above: < expected, > seen)"
}
apt() { apt-get "$@" -y -q >/tmp/apt.log 2>&1 || { cat /tmp/apt.log; fail "apt-get $1"; }; }

check_install() {
  apt install "$deb"
  [ "$(systemctl is-enabled $unit)/$(show ActiveState)" = disabled/inactive ] || fail "$(show UnitFileState)"
}

check_restarts() {
  systemctl enable --now -q $unit || fail "enable --now"
  { for start in $(seq 0 30); do
      ((start == 0)) || systemctl restart $unit || fail "restart $start failed"
      [ "$(show MainPID)" = "$(cat $pid_file)" ] || echo "  start $start: MainPID $(show MainPID) differs"
    done; journalctl -q -u $unit -o short-monotonic | grep -E 'Failed to parse PID|SIGKILL|9/KILL|[Ss]upervising'
  } | grep . && fail "systemd did not take the main pid from the pid file (above)"
  for old in $log.1 $log.{2..30}.gz; do [ "$(last_line "$old")" = " break by signal" ] || fail "$old"; done
}

check_reports() {
  seq -f "report %g" 200 | report_send || fail "report_send"
  all_logged report 200 $log
}

check_reload() {
  local pid=$(show MainPID) && mv $log $log.before-reload
  systemctl reload $unit && report_send "reloaded 1" || fail "reload"
  all_logged reloaded 1 $log
  [ "$(show MainPID)" = "$pid" ] || fail "the main pid went from $pid to $(show MainPID)"
}

check_rotation() {
  seq -f "rotated %g" 3000 | report_send &
  logrotate -f /etc/logrotate.d/report-server && wait $! || fail "logrotate or report_send"
  all_logged rotated 3000 $log $log.1
}

# One report_send a report: those it has sent are in /tmp/sent.
check_stop() {
  (for i in $(seq 100000); do report_send "stop $i" && echo "$i" >>/tmp/sent; done) &
  local sender=$! && wait_for grep -qsx 50 /tmp/sent || fail "report_send sends nothing"
  local before=$(tail -n 1 /tmp/sent)
  systemctl stop $unit; kill $sender; wait $sender
  diff <(seq "$before") <(numbers stop $log | head -n "$before") || fail "not each report sent before logged"
  [ "$(last_line $log)" = " break by signal" ] && [ ! -e $pid_file ] && [ "$(show SubState)" = dead ] ||
    fail "the log ends '$(last_line $log)', a pid file: $(there $pid_file), the unit: $(show SubState)"
}

# The script says what it can do, with the daemon's clock (and so its own)
# started at 01:59:58 site time; it ends when the test has sent reports.
check_daily() {
  local script=/home/disk1/etc/center/rp.daily dropin=/etc/systemd/system/$unit.d/clock.conf place
  mkdir -p ${dropin%/*}
  install -D /dev/stdin $script <<'EOF'
#!/bin/bash
[ ! -e /home/disk1/seen ] || exit 0  # the daemon runs it again within the minute
for place in /home{/disk1,} /var/{log/report_server,lib/logrotate,lib} /run/vantor_report /tmp /root /etc; do
  echo "write $place: $(touch $place/probe 2>/dev/null && echo yes || echo no)"; done >/home/disk1/seen
for run in "su -s /bin/true nobody" "runuser -u nobody true" "setpriv --reuid=nobody --init-groups true" \
  "systemctl show" "logger daily script"; do echo "run ${run%% *}: $($run &>/dev/null && echo yes || echo no)"
done >>/home/disk1/seen
until [ -e /home/disk1/go ]; do sleep 0.1; done
echo "daily script ends" >&2
EOF
  printf '[Service]\nEnvironment=LD_PRELOAD=%s "FAKETIME=@2025-05-20 16:59:58"\n' /usr/lib/*/faketime/*MT* >$dropin
  systemctl daemon-reload && systemctl start $unit && wait_for test -e /home/disk1/seen || fail "it did not run"
  seq -f "daily %g" 10 | report_send && touch /home/disk1/go || fail "report_send"
  all_logged daily 10 $log
  grep -m 1 -e '^daily script ends$' -e ': (daily ' $log | grep -qx 'daily script ends' ||
    fail "reports sent during the daily script were logged before its end"
  local kept=$(ls -d /{home{/disk1,},root,tmp,run/vantor_report,var/{lib/logrotate,log/report_server}}/probe 2>&-)
  [ "$(echo $kept)" = "$(echo /{home/disk1,run/vantor_report,var/{lib/logrotate,log/report_server}}/probe)" ] ||
    fail "the script's files kept: $kept"
  expect "the daily script's sandbox is not what the README says" /home/disk1/seen <<'EOF'
write yes /home/disk1 /var/log/report_server /var/lib/logrotate /run/vantor_report /tmp /root /home
write no /etc /var/lib
run no su runuser setpriv systemctl
run yes logger
EOF
  systemctl stop $unit && rm -r $dropin /home/disk1 /var/{log/report_server,lib/logrotate}/probe &&
    systemctl daemon-reload || fail "clean-up"
}

check_rating() {
  local out exposure=$(systemd-analyze security $unit | sed -n 's/.*exposure level for [^:]*: \([0-9.]*\).*/\1/p')
  awk -v e="$exposure" 'BEGIN { exit !(e != "" && e <= 5.0) }' || fail "exposure '$exposure' above 5.0"
  # The machine has no man: the package check looks at the man pages.
  out=$(systemd-analyze verify --man=no $unit 2>&1) && [ -z "$out" ] || fail "verify: $out"
}

check_remove() {
  local enabled=/etc/systemd/system/multi-user.target.wants/$unit step path
  systemctl start $unit || fail "start"
  for step in remove purge; do
    apt $step report-server
    for path in /usr/sbin/report_server /run/vantor_report /etc/logrotate.d/report-server $enabled \
      /var/lib/logrotate/report-server.status $log; do echo "$step $path: $(there $path)"; done
  done >/tmp/seen
  expect "what stays after apt-get remove and purge" /tmp/seen <<EOF
remove no /usr/sbin/report_server /run/vantor_report
remove yes /etc/logrotate.d/report-server $enabled /var/lib/logrotate/report-server.status $log
purge no /usr/sbin/report_server /run/vantor_report /etc/logrotate.d/report-server $enabled
purge no /var/lib/logrotate/report-server.status
purge yes $log
EOF
}

# NAME WHAT: check_NAME, in a subshell that fail() ends
check() { if ("check_$1"); then echo "ok: $2"; else echo "FAIL: $2"; failed=1; fi; }
failed=0
check install "apt-get install with no network: the service stays disabled and stopped"
check restarts "enable --now, 30 restarts: systemd takes each main pid from the pid file, no SIGKILL"
check reports "200 reports from report_send are logged, each once"
check reload "systemctl reload keeps the main pid and reopens the log"
check rotation "logrotate -f while 3,000 reports arrive: each is in exactly one of the two files"
check stop "systemctl stop under reports: all sent before logged, 'break by signal' last, no restart"
check daily "the daily script at 02:00 in the sandbox: as the README says, reports during it logged after it"
check rating "systemd-analyze: the live unit's exposure 5.0 at most, nothing to say in verify"
check remove "apt-get remove, then purge: what stays and what goes is what the README says"
exit $failed
