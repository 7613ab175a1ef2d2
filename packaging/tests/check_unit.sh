#!/usr/bin/env bash
# Runs `systemd-analyze verify` on the unit, with its ExecStart= program taken
# from the build and its Documentation= man page from the source tree; any
# complaint fails. Then rates the unit's sandbox offline with
# `systemd-analyze security` and prints the figure, which must be 5.0 at
# most (0 is fully confined, 10 not at all). Exits 77 (skipped) where
# systemd-analyze is missing or cannot verify even a trivial unit on this
# machine (some containers).
#
#   check_unit.sh UNIT REPORT_SERVER MAN_PAGE
set -euo pipefail

command -v systemd-analyze >/dev/null || { echo "SKIP: systemd-analyze is not installed"; exit 77; }
work=$(mktemp -d /tmp/report-unit.XXXXXX)
trap 'rm -rf "$work"' EXIT
printf '[Service]\nExecStart=/bin/true\n' >"$work/trivial.service"
if [ -n "$(systemd-analyze verify --man=no "$work/trivial.service" 2>&1)" ]; then
  echo "SKIP: systemd-analyze verify does not work on this machine"
  exit 77
fi
sed "s|^ExecStart=/usr/sbin/report_server |ExecStart=$(realpath "$2") |" "$1" >"$work/report-server.service"
grep -q "^ExecStart=$(realpath "$2") " "$work/report-server.service" || { echo "FAIL: ExecStart=" >&2; exit 1; }
mkdir "$work/man8" && cp "$3" "$work/man8/"
if ! out=$(MANPATH=$work systemd-analyze verify "$work/report-server.service" 2>&1) || [ -n "$out" ]; then
  echo "FAIL: systemd-analyze verify: $out" >&2
  exit 1
fi
echo "systemd-analyze verify report-server.service: ok"
security=$(systemd-analyze security --offline=true "$work/report-server.service" 2>&1) || true
exposure=$(sed -n 's/.*Overall exposure level for [^:]*: \([0-9][0-9.]*\) .*/\1/p' <<<"$security")
if [ -z "$exposure" ] || ! awk -v e="$exposure" 'BEGIN { exit !(e <= 5.0) }'; then
  echo "$security" >&2
  echo "FAIL: systemd-analyze security rates the unit's exposure ${exposure:-(no figure)}, above 5.0" >&2
  exit 1
fi
echo "systemd-analyze security report-server.service: exposure $exposure (at most 5.0): ok"
