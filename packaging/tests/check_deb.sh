#!/usr/bin/env bash
# Builds the Debian package with cpack into a temporary directory, unpacks
# it and checks its control data, its file list and the unpacked programs.
#
#   check_deb.sh BUILD_DIR VERSION
set -euo pipefail

build_dir=$(cd "$1" && pwd)
version=$2
packaging=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d /tmp/report-deb.XXXXXX)
trap 'rm -rf "$work"' EXIT

failed=0
fail() { echo "FAIL: $*" >&2; failed=1; }

cpack -G DEB -B "$work/out" --config "$build_dir/CPackConfig.cmake" >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log" >&2; echo "FAIL: cpack" >&2; exit 1; }
architecture=$(dpkg --print-architecture)
deb=$work/out/report-server_${version}_${architecture}.deb
[ -f "$deb" ] || { ls -l "$work/out" >&2; echo "FAIL: no $(basename "$deb")" >&2; exit 1; }

# --- control data
field() { dpkg-deb --field "$deb" "$1"; }
[ "$(field Package)" = report-server ] || fail "Package: $(field Package)"
[ "$(field Version)" = "$version" ] || fail "Version: $(field Version)"
[ "$(field Architecture)" = "$architecture" ] || fail "Architecture: $(field Architecture)"
# The programs are dynamically linked against the C and C++ libraries.
for library in libc6 libstdc++6; do
  field Depends | grep -qw "$library" || fail "Depends lacks $library: $(field Depends)"
done
field Maintainer | grep -q '<.*@.*>' || fail "Maintainer: $(field Maintainer)"

dpkg-deb --control "$deb" "$work/control"
[ "$(cat "$work/control/conffiles")" = /etc/logrotate.d/report-server ] ||
  fail "conffiles: $(cat "$work/control/conffiles" 2>/dev/null)"
for script in postinst prerm postrm; do
  [ -x "$work/control/$script" ] || { fail "$script missing or not executable"; continue; }
  sh -n "$work/control/$script" || fail "$script: syntax error"
done

# --- file list
dpkg-deb --contents "$deb" | awk '{print $6}' | sed 's|^\./|/|' >"$work/list"
expected=(
  /usr/sbin/report_server
  /usr/bin/report_send
  /usr/include/network/system/net_dgram_io.h
  /usr/include/network/system/record_codec.h
  /usr/include/network/system/report_record.h
  /usr/include/network/system/net_logging.h
  /usr/include/network/system/net_function.h
  /usr/include/network/server/net_worker_thread.h
  /usr/lib/systemd/system/report-server.service
  /etc/logrotate.d/report-server
  /usr/share/man/man8/report_server.8.gz
  /usr/share/man/man1/report_send.1.gz
  /usr/share/doc/report-server/examples/send_report/CMakeLists.txt
  /usr/share/doc/report-server/examples/send_report/send_report.cc
)
for path in "${expected[@]}"; do
  grep -qxF "$path" "$work/list" || fail "not in the package: $path"
done
# Library and CMake package in the libdir (/usr/lib or /usr/lib/<triplet>),
# where find_package looks without help.
grep -qE '^/usr/lib/([a-z0-9_]+-linux-gnu[a-z0-9_]*/)?libreport_network\.a$' "$work/list" ||
  fail "libreport_network.a not in /usr/lib"
for file in ReportNetworkConfig.cmake ReportNetworkConfigVersion.cmake ReportNetworkTargets.cmake; do
  grep -qE "^/usr/lib/([a-z0-9_]+-linux-gnu[a-z0-9_]*/)?cmake/ReportNetwork/$file\$" "$work/list" ||
    fail "$file not in /usr/lib/.../cmake/ReportNetwork"
done
# Nothing outside /usr and /etc (no staging or build paths).
if grep -vE '^/(usr|etc)(/|$)' "$work/list" | grep -v '^/$' >"$work/stray"; then
  fail "files outside /usr and /etc: $(tr '\n' ' ' <"$work/stray")"
fi

# --- unpacked contents
root=$work/root
dpkg-deb --extract "$deb" "$root"
cmp -s "$root/usr/lib/systemd/system/report-server.service" "$packaging/report-server.service" ||
  fail "packaged unit differs from packaging/report-server.service"
cmp -s "$root/etc/logrotate.d/report-server" "$packaging/report-server.logrotate" ||
  fail "packaged logrotate file differs from packaging/report-server.logrotate"
[ "$(stat -c %a "$root/etc/logrotate.d/report-server")" = 644 ] ||
  fail "logrotate file mode $(stat -c %a "$root/etc/logrotate.d/report-server"), logrotate wants 644"
for page in man8/report_server.8 man1/report_send.1; do
  gzip -dc "$root/usr/share/man/$page.gz" | cmp -s - "$packaging/$(basename "$page")" ||
    fail "packaged $page differs from its source"
done
if grep -rIl -e "$build_dir" -e _CPack_Packages "$root" >"$work/leaks"; then
  fail "packaged files naming the build tree: $(tr '\n' ' ' <"$work/leaks")"
fi

# The unpacked programs run from the unpacked tree.
if "$root/usr/bin/report_send" --help >"$work/send.out" 2>"$work/send.err"; then
  grep -q '^usage: report_send' "$work/send.out" || fail "report_send --help: $(head -1 "$work/send.out")"
  [ -s "$work/send.err" ] && fail "report_send --help wrote to stderr: $(cat "$work/send.err")"
else
  fail "report_send --help exited with $?"
fi
# report_server -h prints its nine-line usage, each line stamped, to stderr,
# exits 0 and creates nothing (it would detach and write its pid file).
if "$root/usr/sbin/report_server" -h >"$work/server.out" 2>"$work/server.err"; then
  [ "$(wc -l <"$work/server.err")" = 9 ] || fail "report_server -h: $(wc -l <"$work/server.err") lines, expected 9"
  grep -vqE '^<[0-9]{4}/[0-9]{1,2}/[0-9]{1,2} [0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{3}> ' "$work/server.err" &&
    fail "report_server -h: line without a stamp"
  head -1 "$work/server.err" | grep -q "> Usage: $root/usr/sbin/report_server \[options\]$" ||
    fail "report_server -h: first line $(head -1 "$work/server.err")"
  [ -s "$work/server.out" ] && fail "report_server -h wrote to stdout"
else
  fail "report_server -h exited with $?"
fi

[ "$failed" = 0 ] && echo "Debian package $(basename "$deb"): ok"
exit "$failed"
