#!/usr/bin/env bash
# Installs the Debian packages a task needs, only those that are missing.
# Runs as root on Debian 12.
#
#   install-deps.sh demo    building the daemon and the sender
#   install-deps.sh test    the whole test suite (both compilers, sanitizers,
#                           GoogleTest, libfaketime, the package checks)
#   install-deps.sh bench   the benchmarks
set -euo pipefail

build=(cmake g++ make)
case "${1:-test}" in
  demo) packages=("${build[@]}") ;;
  test)
    packages=("${build[@]}"
      clang libclang-rt-14-dev clang-format  # the second compiler, sanitizers, the style check
      googletest libgtest-dev libgmock-dev   # unit tests
      python3 faketime                       # end-to-end tests; the 02:00 job under faked time
      iproute2 util-linux procps             # namespaces for the end-to-end tests
      dpkg-dev groff-base man-db logrotate lintian rsyslog systemd  # the package checks
      debootstrap  # the package under systemd (scripts/systemd-box.sh unpacks systemd-nspawn itself)
    ) ;;
  bench) packages=("${build[@]}" libbenchmark-dev gnuplot-nox faketime iproute2 util-linux procps) ;;
  *) echo "usage: install-deps.sh demo|test|bench" >&2; exit 2 ;;
esac

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$package")
  fi
done

if ((${#missing[@]})); then
  echo "installing: ${missing[*]}"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
