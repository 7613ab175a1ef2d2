#!/usr/bin/env bash
# Installs the Debian packages that building and testing need, only those
# that are missing. Runs as root on Debian 12.
set -euo pipefail

packages=(
  cmake g++ make clang libclang-rt-14-dev   # compilers; clang for libFuzzer and sanitizers
  googletest libgtest-dev libgmock-dev      # unit tests
  libbenchmark-dev                          # micro benchmarks
  gnuplot-nox                               # the load benchmark's plot
  faketime                                  # the 02:00 daily job under faked time
  iproute2 util-linux procps                # namespaces for the end-to-end tests
  dpkg-dev groff-base man-db logrotate python3  # Debian package, man pages, rotation, example peer
  "$@"
)

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
