#!/usr/bin/env bash
# Builds the Debian package with cpack and checks it as its users meet it:
# lintian's verdict (no error or warning; skipped without lintian); its
# files, with the changelog's entry for this version; its
# man pages (no groff or man warning, NAME parses for whatis, every option
# of the programs' usage texts documented); its headers, each of which must
# compile on its own, and which must be exactly those the library tour
# includes; the examples, built against the unpacked package alone: the tour
# must run, and send_report's datagram must be byte for byte the one
# report_send sends for the same report.
#
#   check_package.sh BUILD_DIR VERSION [PEER_LINK_FLAGS]
set -euo pipefail

build_dir=$(cd "$1" && pwd)
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d /tmp/report-package.XXXXXX)
trap 'rm -rf "$work"' EXIT
failed=0
fail() { echo "FAIL: $*" >&2; failed=1; }

cpack -G DEB -B "$work/out" --config "$build_dir/CPackConfig.cmake" >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log" >&2; exit 1; }
deb=$work/out/report-server_${2}_$(dpkg --print-architecture).deb
root=$work/root
dpkg-deb --extract "$deb" "$root"

if command -v lintian >/dev/null; then
  lintian --fail-on error,warning "$deb" >"$work/lintian.log" 2>&1 ||
    { cat "$work/lintian.log" >&2; fail "lintian reports errors or warnings"; }
else
  echo "lintian is not installed: the package is not linted"
fi
# How it installs, starts, is removed and purged, its dependencies and
# maintainer scripts included, is tried under a real systemd (check_systemd.sh).
(cd "$root" && find . ! -type d | sed 's|^\.||') >"$work/list"
doc=/usr/share/doc/report-server
gzip -dc "$root$doc/changelog.gz" | head -n 1 | grep -qF "report-server ($2) " ||
  fail "the changelog has no entry for $2 at its top"
grep -vE '^/(usr|etc)/' "$work/list" && fail "files outside /usr and /etc"
grep -rIl -e "$source_dir" -e "$build_dir" "$root" && fail "packaged files name the source or build tree"

# The rsyslog example parses (rsyslogd -N1), included as the system's
# configuration includes it.
if command -v rsyslogd >/dev/null; then
  printf 'global(workDirectory="%s")\ninclude(file="%s")\n' "$work" \
    "$root$doc/examples/rsyslog-report-server.conf" >"$work/rsyslog.conf"
  rsyslogd -N1 -f "$work/rsyslog.conf" >"$work/rsyslog.log" 2>&1 ||
    { cat "$work/rsyslog.log" >&2; fail "the rsyslog example does not parse"; }
fi

options_of() { grep -oE '(^|[[:space:],[])--?[a-zA-Z][a-zA-Z-]*' | sed 's/^[^-]*//' | sort -u; }
for page in "$root"/usr/share/man/man*/*.gz; do
  name=$(basename "$page" .gz)
  gzip -dc "$page" >"$work/$name"
  groff -man -ww -z "$work/$name" 2>&1 | grep . >&2 && fail "$name: groff warnings"
  LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$work/$name" 2>&1 >"$work/page.txt" | grep . >&2 &&
    fail "$name: man warnings"
  lexgrog "$work/$name" | grep -q "\"${name%.*} - " || fail "$name: NAME section does not parse"
  program=$(find "$root/usr" -name "${name%.*}" -type f)
  for option in $("$program" --help 2>&1 | options_of); do
    grep -qE -- "(^|[^[:alnum:]-])$option([^[:alnum:]-]|\$)" "$work/page.txt" ||
      fail "$name: option $option of the usage text is not documented"
  done
done

for header in $(cd "$root/usr/include" && find . -name '*.h'); do
  echo "#include \"${header#./}\"" | g++ -std=c++17 -fsyntax-only -x c++ -I "$root/usr/include" - ||
    fail "installed header does not compile on its own: $header"
done
# The examples, built against the unpacked package alone, in C++14 on
# purpose: the package must raise it to what its headers need. The library
# tour includes exactly the installed headers and uses each: a header
# installed for no peer, or whose code is not in the library, fails here.
examples=$root/usr/share/doc/report-server/examples
installed=$(cd "$root/usr/include" && find . -name '*.h' | sed 's|^\./||' | sort)
toured=$(sed -n 's|^#include "\(network/[^"]*\)"$|\1|p' "$examples/library_tour/library_tour.cc" | sort)
[ "$installed" = "$toured" ] || fail "installed headers (<) and the tour's (>) differ:" \
  "$(diff <(echo "$installed") <(echo "$toured") | grep '^[<>]' | tr '\n' ' ')"
for example in send_report library_tour; do
  cmake -S "$examples/$example" -B "$work/$example" -DCMAKE_PREFIX_PATH="$root/usr" \
    -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF -DCMAKE_CXX_STANDARD=14 -DCMAKE_COMPILE_WARNING_AS_ERROR=ON \
    -DCMAKE_EXE_LINKER_FLAGS="${3:-}" >"$work/$example.log" 2>&1 &&
    cmake --build "$work/$example" >>"$work/$example.log" 2>&1 ||
    { cat "$work/$example.log" >&2; fail "the example $example does not build against the package"; }
done
"$work/library_tour/library_tour" >"$work/tour.log" 2>&1 ||
  { cat "$work/tour.log" >&2; fail "the library tour fails"; }
grep -q "^ReportNetwork_DIR:PATH=$root/usr/" "$work/send_report/CMakeCache.txt" ||
  fail "the example did not find ReportNetwork in the package"
datagram_of() {  # COMMAND... ({port}: a fresh UDP port on 127.0.0.1): what it sends, in hex
  python3 -c 'import socket, subprocess, sys
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("127.0.0.1", 0)); s.settimeout(10)
subprocess.run([a.replace("{port}", str(s.getsockname()[1])) for a in sys.argv[1:]], check=True)
print(s.recv(65536).hex())' "$@"
}
text="packaged peer: fan 3 stopped (rpm 0)"
sent=$(datagram_of "$work/send_report/send_report" 127.0.0.1 {port} 7 "$text")
[ "$sent" = "$(datagram_of "$root/usr/bin/report_send" -p {port} -L 7 "$text")" ] ||
  fail "the example's datagram differs from report_send's: $sent"

[ "$failed" = 0 ] && echo "Debian package, man pages, headers and peers: ok"
exit "$failed"
