#!/usr/bin/env bash
# Runs `systemd-analyze verify` on the unit, with its ExecStart= program
# taken from the build and its Documentation= man page from the source tree.
# Any complaint fails. Exits 77 (skipped) where systemd-analyze is missing or
# cannot verify even a trivial unit on this machine (some containers).
#
#   check_unit_verify.sh UNIT REPORT_SERVER_BINARY MAN_PAGE
set -euo pipefail

unit=$1
report_server=$(realpath "$2")
man_page=$3
skip=77

if ! command -v systemd-analyze >/dev/null; then
  echo "SKIP: systemd-analyze is not installed (package systemd)"
  exit "$skip"
fi

work=$(mktemp -d /tmp/report-unit.XXXXXX)
trap 'rm -rf "$work"' EXIT

cat >"$work/trivial-check.service" <<'EOF'
[Unit]
Description=trivial unit
[Service]
ExecStart=/bin/true
EOF
if ! systemd-analyze verify --man=no "$work/trivial-check.service" >"$work/trivial.out" 2>&1 ||
   [ -s "$work/trivial.out" ]; then
  echo "SKIP: systemd-analyze verify does not work on this machine:"
  cat "$work/trivial.out"
  exit "$skip"
fi

# The unit names the installed program; verify wants an executable there.
grep -q '^ExecStart=/usr/sbin/report_server ' "$unit" ||
  { echo "FAIL: ExecStart= does not start /usr/sbin/report_server" >&2; exit 1; }
sed "s|/usr/sbin/report_server|$report_server|" "$unit" >"$work/report-server.service"
section=${man_page##*.}
mkdir -p "$work/man/man$section"
cp "$man_page" "$work/man/man$section/"

if ! MANPATH=$work/man systemd-analyze verify "$work/report-server.service" >"$work/verify.out" 2>&1 ||
   [ -s "$work/verify.out" ]; then
  echo "FAIL: systemd-analyze verify:" >&2
  cat "$work/verify.out" >&2
  exit 1
fi
echo "systemd-analyze verify report-server.service: ok"
