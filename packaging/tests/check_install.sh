#!/usr/bin/env bash
# Installs the build into a temporary prefix, builds the installed example
# peer against that prefix alone (find_package(ReportNetwork) through
# CMAKE_PREFIX_PATH), runs it against a UDP socket and checks the datagram.
#
#   check_install.sh BUILD_DIR [PEER_LINK_FLAGS]
#
# PEER_LINK_FLAGS: link flags a peer of this build needs (the sanitizer
# runtimes of a sanitizer build).
set -euo pipefail

build_dir=$1
peer_link_flags=${2:-}
here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(cd "$here/../.." && pwd)

work=$(mktemp -d /tmp/report-install.XXXXXX)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

fail() { echo "FAIL: $*" >&2; exit 1; }

cmake --install "$build_dir" --prefix "$prefix" >"$work/install.log" ||
  { cat "$work/install.log" >&2; fail "cmake --install"; }

# What a peer, an operator and the package need, relative to the prefix.
expected=(
  sbin/report_server
  bin/report_send
  include/network/system/net_dgram_io.h
  include/network/system/record_codec.h
  include/network/system/report_record.h
  include/network/system/net_logging.h
  lib/systemd/system/report-server.service
  etc/logrotate.d/report-server
  share/man/man8/report_server.8.gz
  share/man/man1/report_send.1.gz
  share/doc/report-server/examples/send_report/CMakeLists.txt
  share/doc/report-server/examples/send_report/send_report.cc
)
for path in "${expected[@]}"; do
  [ -e "$prefix/$path" ] || fail "not installed: $path"
done
[ -x "$prefix/sbin/report_server" ] && [ -x "$prefix/bin/report_send" ] ||
  fail "programs not executable"
# The library and the CMake package sit in the libdir (lib or lib/<triplet>).
library=$(find "$prefix" -name libreport_network.a)
[ -n "$library" ] || fail "libreport_network.a not installed"
config_dir=$(dirname "$(find "$prefix" -name ReportNetworkConfig.cmake)")
for file in ReportNetworkConfig.cmake ReportNetworkConfigVersion.cmake ReportNetworkTargets.cmake; do
  [ -f "$config_dir/$file" ] || fail "not installed: $file"
done
# Every installed header must be usable from the installed include
# directory alone: no include of a file that was not installed.
while IFS= read -r header; do
  relative=${header#"$prefix/include/"}
  echo "#include \"$relative\"" | g++ -std=c++17 -fsyntax-only -x c++ -I "$prefix/include" - ||
    fail "installed header does not compile on its own: $relative"
done < <(find "$prefix/include" -name '*.h')
# Nothing installed may point back into the source or build tree.
if grep -rIl -e "$source_dir" -e "$(cd "$build_dir" && pwd)" "$prefix" >"$work/leaks"; then
  fail "installed files naming the source or build tree: $(tr '\n' ' ' <"$work/leaks")"
fi

# The example, from its installed copy, against the prefix only. C++14 is
# asked for on purpose: the package must raise it to what its headers need.
example=$prefix/share/doc/report-server/examples/send_report
cmake -S "$example" -B "$work/example" \
  -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF \
  -DCMAKE_CXX_STANDARD=14 \
  -DCMAKE_COMPILE_WARNING_AS_ERROR=ON \
  -DCMAKE_EXE_LINKER_FLAGS="$peer_link_flags" >"$work/configure.log" ||
  { cat "$work/configure.log" >&2; fail "configuring the example"; }
found=$(sed -n 's/^ReportNetwork_DIR:PATH=//p' "$work/example/CMakeCache.txt")
[ "$found" = "$config_dir" ] || fail "ReportNetwork found in '$found', not in the prefix ($config_dir)"
cmake --build "$work/example" >"$work/build.log" 2>&1 ||
  { cat "$work/build.log" >&2; fail "building the example"; }

text="installed peer: fan 3 stopped (rpm 0)"
python3 "$here/receive_report.py" 7 "$text" -- \
  "$work/example/send_report" 127.0.0.1 '{port}' 7 "$text" ||
  fail "the example's report datagram"

echo "installed tree, CMake package and example peer: ok"
