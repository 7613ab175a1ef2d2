#!/usr/bin/env bash
# A throw-away Debian 12 machine with a real systemd as PID 1, to try the
# package under systemd by hand and to test it there (ctest -L package).
# systemd-nspawn boots a fresh copy of a minimal root file system (an
# overlay on a tmpfs: nothing the machine does reaches the cache), with only
# a loopback network. The root file system is made once per host, with
# debootstrap from the Debian repository the host's apt uses, and kept in
# the cache. When the command returns, the machine is shut down and nothing
# of it stays on the host: no process, mount, cgroup or /run entry.
#
#   systemd-box.sh setup            make the cache (run does it when needed)
#   systemd-box.sh run DIR CMD...   boot a copy with DIR at /mnt/box (read-
#                                   only), run CMD in it as root once it has
#                                   booted, shut it down; CMD's exit status
#   systemd-box.sh shell [DIR]      the same with an interactive shell
#
# Needs root. Exits 77, saying why, where no machine can be booted here (no
# debootstrap, the repository unreachable, no cgroups). The cache is
# /var/cache/report-server-systemd-test, or $REPORT_BOX_CACHE.
set -euo pipefail

cache=${REPORT_BOX_CACHE:-/var/cache/report-server-systemd-test}
# What the tests need in the machine besides a minimal Debian: systemd as
# PID 1 with its bus, what the package needs, and a clock to fake.
packages=systemd,dbus,logrotate,init-system-helpers,libfaketime
suite=bookworm
rootfs=$cache/$suite-$(echo "$packages" | md5sum | cut -c1-8)
tools=$cache/tools
skip() { echo "SKIP: $*"; exit 77; }

# systemd-nspawn is unpacked into the cache rather than installed: its
# package wants the systemd packages of its own version, so installing it
# would upgrade the host's systemd, which a host that does not even run
# systemd should not get from a test. Unpacked together, the two packages
# below fit each other whatever the host has.
# Without locking, copies boot side by side: none writes the root file
# system.
nspawn=(env LD_LIBRARY_PATH="$tools/usr/lib/$(uname -m)-linux-gnu/systemd" SYSTEMD_NSPAWN_LOCK=0
  "$tools/usr/bin/systemd-nspawn")

setup() {
  [ "$(id -u)" = 0 ] || skip "systemd-nspawn needs root"
  mkdir -p "$cache"
  exec 9>"$cache/lock"
  flock 9
  if [ ! -x "$tools/usr/bin/systemd-nspawn" ]; then
    rm -rf "$tools.new" && mkdir -p "$tools.new/debs"
    (cd "$tools.new/debs" && apt-get download -q systemd-container libsystemd-shared) \
      >"$cache/tools.log" 2>&1 || skip "apt-get download systemd-container failed: $(tail -n 1 "$cache/tools.log")"
    for deb in "$tools.new"/debs/*.deb; do dpkg-deb -x "$deb" "$tools.new"; done
    mv "$tools.new" "$tools"
  fi
  "${nspawn[@]}" --version >/dev/null 2>&1 ||
    skip "systemd-nspawn does not run here: $("${nspawn[@]}" --version 2>&1 | tail -n 1)"
  if [ ! -d "$rootfs" ]; then
    command -v debootstrap >/dev/null || skip "debootstrap is not installed (scripts/install-deps.sh test)"
    local mirror
    mirror=$(apt-get indextargets --format '$(REPO_URI) $(RELEASE)' 'Identifier: Packages' |
      awk -v suite=$suite '$2 == suite { print $1; exit }')
    echo "making the root file system ($suite from ${mirror:=http://deb.debian.org/debian/}) in $rootfs"
    rm -rf "$rootfs.new"
    debootstrap --variant=minbase --include=$packages $suite "$rootfs.new" "$mirror" \
      >"$cache/debootstrap.log" 2>&1 || {
      rm -rf "$rootfs.new"
      skip "debootstrap failed (is $mirror reachable?): $(tail -n 1 "$cache/debootstrap.log")"
    }
    echo report-box >"$rootfs.new/etc/hostname"
    mv "$rootfs.new" "$rootfs"
  fi
  exec 9>&-
}

# On a host that does not run systemd, the machine's processes go into
# cgroups of their own: systemd in the machine wants a subtree to manage,
# and removing it afterwards leaves the host's hierarchy as it was. (A host
# that runs systemd gives nspawn a scope.)
cgroups=()
make_cgroups() {
  local mount path stale
  for mount in /sys/fs/cgroup /sys/fs/cgroup/unified /sys/fs/cgroup/systemd; do
    [ -e "$mount/cgroup.procs" ] || continue
    if [ "$mount" = /sys/fs/cgroup/systemd ]; then
      path=$(sed -n 's/^[0-9]*:name=systemd://p' /proc/self/cgroup)
    else
      path=$(sed -n 's/^0:://p' /proc/self/cgroup)
    fi
    for stale in "$mount${path%/}"/report-box-*; do  # of a box that was killed: its machine too
      [ -d "$stale" ] && ended "${stale##*-}" || continue
      find "$stale" -name cgroup.procs -exec cat {} + | xargs -r kill -KILL
      remove_cgroups "$stale"
    done
    cgroups+=("$mount${path%/}/report-box-$$")
    mkdir "${cgroups[-1]}" || skip "cannot make a cgroup in $mount"
  done
  ((${#cgroups[@]})) || skip "no cgroup file system under /sys/fs/cgroup"
}

ended() { [[ $(sed 's/.*) //' "/proc/$1/stat" 2>/dev/null) =~ ^(Z|$) ]]; }  # PID: gone, or a zombie

remove_cgroups() {  # CGROUP...: each, with those the machine's systemd made in it
  local cgroup
  for cgroup; do
    for _ in $(seq 100); do  # the last processes may take a moment to end
      [ -d "$cgroup" ] && ! find "$cgroup" -depth -type d -exec rmdir {} + 2>/dev/null || break
      sleep 0.1
    done
  done
}

# The machine's PID 1, as the host sees it: nspawn's child that is PID 1 in
# its own namespace.
leader=""
find_leader() {
  local child
  for child in $(pgrep -P "$nspawn_pid"); do
    if grep -qE '^NSpid:\s+[0-9]+\s+1$' "/proc/$child/status" 2>/dev/null; then
      leader=$child
      return 0
    fi
  done
  return 1
}

inside() {  # COMMAND...: run it in the machine, as root, with a clean environment
  nsenter --target "$leader" --all -- env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root \
    LANG=C.UTF-8 TERM="${TERM:-dumb}" "$@"
}

nspawn_pid=""
console=""
teardown() {
  if [ -n "$nspawn_pid" ]; then
    # SIGTERM makes nspawn shut the machine down as a power-off would. A
    # machine that does not go in a minute is killed: the PID 1 of a pid
    # namespace takes every process of it along.
    kill -TERM "$nspawn_pid" 2>/dev/null || true
    for _ in $(seq 600); do
      ! ended "$nspawn_pid" || break
      sleep 0.1
    done
    kill -KILL "$nspawn_pid" $leader 2>/dev/null || true
    wait "$nspawn_pid" 2>/dev/null || true
  fi
  remove_cgroups "${cgroups[@]}"
  [ -z "$console" ] || rm -f "$console"
}

boot() {  # DIR
  trap teardown EXIT
  trap 'exit 130' INT TERM HUP
  local own=() cgroup
  if [ ! -d /run/systemd/system ]; then
    make_cgroups
    # nspawn keeps its state under /run, on a tmpfs of a mount namespace of
    # its own here, which ends with it.
    own=(unshare --mount --propagation private -- sh -c 'mount -t tmpfs -o mode=755 tmpfs /run && exec "$@"' sh
      "${nspawn[@]}" --keep-unit)
  fi
  ((${#own[@]})) || own=("${nspawn[@]}")
  console=$(mktemp /tmp/report-box-console.XXXXXX)
  (
    for cgroup in "${cgroups[@]}"; do echo "$BASHPID" >"$cgroup/cgroup.procs"; done
    exec "${own[@]}" --quiet --directory="$rootfs" --volatile=overlay --boot --private-network \
      --register=no --machine="report-box-$$" --bind-ro="$1:/mnt/box" --console=read-only
  ) >"$console" 2>&1 &
  nspawn_pid=$!
  local state="" deadline=$((SECONDS + 120))
  until [[ $state =~ ^(running|degraded)$ ]]; do
    if ! kill -0 "$nspawn_pid" 2>/dev/null || ((SECONDS > deadline)); then
      tail -n 20 "$console" >&2
      skip "the machine did not boot (its console above)"
    fi
    sleep 0.1
    [ -n "$leader" ] || find_leader || continue
    state=$(inside systemctl is-system-running --wait 2>/dev/null) || true
  done
  [ "$state" = running ] || inside systemctl --failed --no-legend >&2
}

case "${1:-}" in
  setup) setup ;;
  run | shell)
    [ "$1" = shell ] || (($# >= 3)) || { echo "usage: systemd-box.sh run DIR CMD..." >&2; exit 2; }
    command=$1 dir=$(realpath "${2:-.}")
    shift $(($# >= 2 ? 2 : $#))
    setup
    boot "$dir"
    if [ "$command" = shell ]; then inside bash -l; else inside "$@"; fi
    ;;
  *) echo "usage: systemd-box.sh setup | run DIR CMD... | shell [DIR]" >&2; exit 2 ;;
esac
