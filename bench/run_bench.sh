#!/usr/bin/env bash
# The report server's benchmarks, in one command (as root):
#
#     bash bench/run_bench.sh
#
# 1. Installs what is missing, builds a Release tree in build-bench/ and
#    runs the micro benchmarks (micro_bench).
# 2. In a private network and mount namespace (loopback only; tmpfs on
#    /run, /home and for the logs) measures first the generator's own
#    ceiling: load_generator sending as fast as it can into a UDP socket
#    nobody reads, for one-frame and five-frame datagrams and for syslog
#    text lines. Ladder steps asked at 90 % of that ceiling or more, or that
#    the generator could not offer in full, are marked generator-bound: they
#    measure the generator rather than the server.
# 3. Starts the real daemon and offers it reports with load_generator, in
#    datagrams of one frame and of five frames, at stepped rates (the
#    ladder). The daemon is restarted for every step, so its log is complete
#    (flushed at exit) and every figure is its own. Per step: offered and
#    delivered rate, loss, the kernel's receive-buffer drops (the socket's
#    drops column in /proc/net/udp, and RcvbufErrors of /proc/net/snmp), the
#    server's CPU seconds per million reports (utime + stime of
#    /proc/PID/stat) and its peak RSS (VmHWM).
# 4. When rsyslogd is installed, every rate of the ladder is also offered to
#    a private rsyslogd (bench/rsyslog_reference.conf.in: imudp, omfile, one
#    line per message), one syslog line per datagram of the size of a
#    one-frame datagram: the general-purpose log server the figures are
#    compared with, on the same machine, in the same run, on the same CPU.
# 5. Finds, three times per datagram kind (and for rsyslog), the highest
#    rate with at most 0.1 % loss by bisecting between the last ladder step
#    that held and the first that did not, and reports the median; measures
#    the idle daemon's CPU over ten seconds.
# 6. Memory: the daemon's peak RSS under a flood of 65,000-byte datagrams
#    (it drops them as too long), and while the daily script runs under a
#    flood of reports (the daemon then holds report lines in memory, up to
#    64 MiB). The daily script runs at 02:00 site time, so the daemon runs
#    under libfaketime with its clock two seconds before it.
#
# Output: the tables on the terminal, and in build-bench/results/ (or
# $BENCH_RESULTS): results.csv (every step), summary.txt (each figure next
# to its target and what it is measured against), micro_bench.txt and
# bench.png (delivered against offered rate, and CPU per million reports).
# bench/results/ in the checkout holds a chosen run, copied there by hand.
# The whole run takes about seven minutes.
#
# Environment: BENCH_RESULTS (the results directory), BENCH_PIN=0 to leave
# the servers and the generator unpinned, BENCH_STEP_SECONDS (3; also the
# length of each ceiling measurement), BENCH_SEARCH_SECONDS (2),
# BENCH_RATES (the rate steps, reports/s, comma-separated),
# BENCH_SEARCH_RUNS (3), BENCH_FLOOD_SECONDS (3, the 65,000-byte flood),
# BENCH_SKIP_MICRO=1 to leave the micro benchmarks out,
# BENCH_SKIP_RSYSLOG=1 to leave the rsyslog reference out.
set -euo pipefail
# A relative BENCH_RESULTS means the caller's directory, not the checkout's.
if [[ -n ${BENCH_RESULTS:-} ]]; then
  BENCH_RESULTS=$(realpath -m -- "$BENCH_RESULTS")
fi
cd "$(dirname "$0")/.."

build=build-bench
export BENCH_RESULTS=${BENCH_RESULTS:-$PWD/$build/results}
results=$BENCH_RESULTS
# The benchmark mounts tmpfs of its own on /run and /home: results written
# there would vanish with its namespace.
case $results/ in
  /run/* | /home/*)
    echo "run_bench.sh: BENCH_RESULTS must lie outside /run and /home: $results" >&2
    exit 1
    ;;
esac

# Whether the rsyslog reference runs.
want_rsyslog() { [[ ${BENCH_SKIP_RSYSLOG:-0} != 1 ]] && command -v rsyslogd >/dev/null; }

if [[ ${1:-} != --inside-namespace ]]; then
  if [[ $(id -u) != 0 ]]; then
    echo "run_bench.sh: run as root (it uses private namespaces)" >&2
    exit 1
  fi
  bash scripts/install-deps.sh bench
  if [[ ${BENCH_SKIP_RSYSLOG:-0} != 1 ]] && ! want_rsyslog; then
    echo "run_bench.sh: rsyslogd is not installed: the run has no rsyslog reference rows" >&2
    echo "run_bench.sh: to compare with rsyslog: apt-get install rsyslog" >&2
  fi
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DREPORT_BUILD_TESTS=OFF >/dev/null
  cmake --build "$build" -j "$(nproc)" --target report_server load_generator micro_bench
  mkdir -p "$results"
  if [[ ${BENCH_SKIP_MICRO:-0} != 1 ]]; then
    echo
    echo "=== micro benchmarks (time per operation) ==="
    "$build/bench/micro_bench" --benchmark_min_time=0.3 | tee "$results/micro_bench.txt"
  fi
  exec unshare --net --mount --propagation private bash "$0" --inside-namespace
fi

# ---- inside the private namespaces -----------------------------------------

ip link set lo up
mount -t tmpfs -o mode=0755 tmpfs /run
mount -t tmpfs -o mode=0755 tmpfs /home

server=$build/network/report_server
generator=$build/bench/load_generator
log_dir=/run/bench-log
# The daemon's port, as the library states it; its pid and log files are
# named after it.
server_port=$(sed -n 's/.*REPORT_SERVER_PORT = \([0-9]*\);/\1/p' network/system/report_record.h)
log_file=$log_dir/$server_port.log
pid_file=/var/run/vantor_report//$server_port.pid
rsyslog_port=$((server_port + 1))  # the reference server's own port
sink_port=$((server_port + 2))     # the socket nobody reads, for the generator's ceiling
rsyslog_dir=/run/bench-rsyslog
rsyslog_output=$rsyslog_dir/reports.log
step_seconds=${BENCH_STEP_SECONDS:-3}
search_seconds=${BENCH_SEARCH_SECONDS:-2}
search_runs=${BENCH_SEARCH_RUNS:-3}
flood_seconds=${BENCH_FLOOD_SECONDS:-3}
# The ladder reaches past the five-frame target (2,000,000/s), so that the
# bisection can bracket it; the one-frame ladder ends where the generator
# runs short.
IFS=, read -r -a rates <<<"${BENCH_RATES:-50000,100000,200000,400000,800000,1200000,1600000,2400000}"
# With two or more CPUs the server runs on the last one and the generator
# on the first: on loopback the sender's CPU also does the kernel's receive
# work, which a real peer's network card would not put on the server's
# CPU, and unpinned the scheduler tends to pull both onto one CPU. rsyslogd
# gets the same CPU as the daemon, all its threads on it.
pin_daemon=() pin_generator=()
if [[ ${BENCH_PIN:-1} == 1 ]] && (($(nproc) >= 2)); then
  pin_daemon=(taskset -c "$(($(nproc) - 1))")
  pin_generator=(taskset -c 0)
fi
csv=$results/results.csv
summary=$results/summary.txt
ticks=$(getconf CLK_TCK)
faketime_lib=/usr/lib/x86_64-linux-gnu/faketime/libfaketimeMT.so.1
daily_script=/home/disk1/etc/center/rp.daily
daily_marks=/run/bench-daily
daily_script_seconds=15
daily_flood_seconds=10   # less than the script's sleep: the flood meets a held log
daily_flood_rate=1000000

have_rsyslog=0 no_rsyslog_why=
if want_rsyslog; then
  have_rsyslog=1
elif [[ ${BENCH_SKIP_RSYSLOG:-0} == 1 ]]; then
  no_rsyslog_why="rsyslog left out by BENCH_SKIP_RSYSLOG=1"
else
  no_rsyslog_why="rsyslogd is not installed: apt-get install rsyslog"
fi

daemon_pid=
rsyslog_pid=
normal_peak_kib=0   # the daemon's VmHWM over the ladder, the bisections and idle

cleanup() {
  if [[ -n $daemon_pid ]] && kill -0 "$daemon_pid" 2>/dev/null; then
    kill -KILL "$daemon_pid" 2>/dev/null || true
  fi
  if [[ -n $rsyslog_pid ]] && kill -0 "$rsyslog_pid" 2>/dev/null; then
    kill -KILL "$rsyslog_pid" 2>/dev/null || true
  fi
}
trap cleanup EXIT

calc() { awk "BEGIN { printf \"%.${2:-3}f\", $1 }"; }

# A process's CPU seconds so far (utime + stime of all its threads).
cpu_seconds() { awk -v t="$ticks" '{ printf "%.3f", ($14 + $15) / t }' "/proc/$1/stat"; }
# The same from the scheduler's nanosecond counts, for the idle figure.
sched_seconds() { cat /proc/"$1"/task/*/schedstat | awk '{ s += $1 } END { printf "%.6f", s / 1e9 }'; }
vmhwm_kib() { awk '/^VmHWM:/ { print $2 }' "/proc/$1/status"; }

# Receive queue (bytes) or drops of the UDP socket bound to a port.
socket_field() {  # port rx|drops
  local what=$2 line
  line=$(awk -v p=":$(printf '%04X' "$1")\$" '$2 ~ p { print; exit }' /proc/net/udp)
  [[ -n $line ]] || { echo 0; return; }
  set -- $line
  if [[ $what == rx ]]; then echo $((16#${5#*:})); else echo "${13}"; fi
}
port_bound() { awk -v p=":$(printf '%04X' "$1")\$" '$2 ~ p { found = 1 } END { exit !found }' /proc/net/udp; }
rcvbuf_errors() {
  awk '/^Udp:/ { if (!seen) { for (i = 1; i <= NF; i++) if ($i == "RcvbufErrors") c = i; seen = 1 }
                 else { print $c; exit } }' /proc/net/snmp
}

# ---- the report server ------------------------------------------------------

# Starts a fresh daemon; words before the daemon's own (an `env ...` for
# libfaketime) go in front of it. Returns once it waits for signals and its
# socket is bound.
start_daemon() {  # [command words in front of the daemon...]
  rm -rf "$log_dir"
  "${pin_daemon[@]}" "$@" "$server" --logdir="$log_dir"
  local pid=
  for _ in $(seq 500); do
    pid=$(cat "$pid_file" 2>/dev/null || true)
    if [[ -n $pid ]] && grep -q sigtimedwait "/proc/$pid/wchan" 2>/dev/null &&
       port_bound "$server_port"; then
      daemon_pid=$pid
      return
    fi
    sleep 0.01
  done
  echo "run_bench.sh: the daemon did not start" >&2
  cat "$log_file" >&2 || true
  exit 1
}

# Whether a process still runs (an ended one may stay a zombie a moment).
process_alive() {
  [[ -r /proc/$1/stat ]] && [[ $(awk '{ print $3 }' "/proc/$1/stat" 2>/dev/null) != Z ]]
}

stop_daemon() {
  kill -TERM "$daemon_pid"
  for _ in $(seq 3000); do
    process_alive "$daemon_pid" || { daemon_pid=; return; }
    sleep 0.01
  done
  echo "run_bench.sh: the daemon did not stop within 30 s" >&2
  exit 1
}

# Waits until a server has taken everything queued in its socket (at most
# ten seconds), then lets it write the last datagram's lines.
wait_drained() {  # port
  for _ in $(seq 1000); do
    [[ $(socket_field "$1" rx) == 0 ]] && break
    sleep 0.01
  done
  sleep 0.1
}

# Report lines in the daemon's log (other lines: start, stop, losses).
daemon_lines() { grep -c '> LEVEL ' "$log_file" || true; }

# ---- the rsyslog reference --------------------------------------------------

# A private rsyslogd: its own configuration, pid file, work directory and
# output file under $rsyslog_dir, on the daemon's CPU. A plain child of
# this script (-n), so `wait` collects it.
start_rsyslog() {
  rm -rf "$rsyslog_dir"
  mkdir -p "$rsyslog_dir/work"
  sed -e "s|@WORK_DIR@|$rsyslog_dir/work|" -e "s|@PORT@|$rsyslog_port|" \
      -e "s|@OUTPUT@|$rsyslog_output|" bench/rsyslog_reference.conf.in >"$rsyslog_dir/rsyslog.conf"
  "${pin_daemon[@]}" rsyslogd -n -f "$rsyslog_dir/rsyslog.conf" -i "$rsyslog_dir/rsyslogd.pid" \
    2>>"$rsyslog_dir/stderr" &
  rsyslog_pid=$!
  for _ in $(seq 500); do
    if port_bound "$rsyslog_port"; then
      sleep 0.1  # the rest of its start-up, so that it is not counted as load
      return
    fi
    sleep 0.01
  done
  echo "run_bench.sh: rsyslogd did not start" >&2
  cat "$rsyslog_dir/stderr" >&2 || true
  exit 1
}

# rsyslog keeps messages in its own queue after taking them from the
# socket: it has drained when its socket is empty and its file has stopped
# growing (at most 30 s).
wait_rsyslog_drained() {
  local size last=-1 still=0
  for _ in $(seq 150); do
    size=$(stat -c %s "$rsyslog_output" 2>/dev/null || echo 0)
    if [[ $(socket_field "$rsyslog_port" rx) == 0 ]] && ((size == last)); then
      still=$((still + 1))
      ((still >= 2)) && return
    else
      still=0
    fi
    last=$size
    sleep 0.2
  done
}

stop_rsyslog() {
  kill -TERM "$rsyslog_pid"
  wait "$rsyslog_pid" || true
  rsyslog_pid=
}

rsyslog_lines() {
  if [[ -e $rsyslog_output ]]; then grep -c 'bench: report ' "$rsyslog_output" || true; else echo 0; fi
}

# ---- one step ---------------------------------------------------------------

field() { sed -n "s/.* $1=\([^ ]*\).*/\1/p" <<<"$2"; }

# Offers load with the generator on its CPU; prints its RESULT line.
offer() {  # generator options...
  "${pin_generator[@]}" "$generator" "$@" | grep '^RESULT'
}

echo "phase,server,payload,frames,asked_rate,offered_rate,sent,delivered,delivered_rate,loss_pct,kernel_drops,rcvbuf_errors,server_cpu_s,cpu_s_per_million,vmhwm_kib,generator_max_lag_ms,generator_bound" >"$csv"

declare -A ceiling   # the generator's ceiling, reports/s: keys 1, 5 (frames), text

# Whether a step measures the generator rather than the server: asked at
# 90 % of the generator's ceiling or more, or offered short of the rate.
generator_bound() {  # ceiling_key asked offered
  awk -v c="${ceiling[$1]:-0}" -v r="$2" -v o="$3" \
    'BEGIN { print ((c > 0 && r >= 0.9 * c) || o < 0.97 * r) ? 1 : 0 }'
}

# The figures of one step, on the terminal and in the CSV. Sets the globals
# step_loss, step_limited (offered short of the rate) and step_bound.
record_step() {  # phase server payload frames rate ceiling_key result delivered drops snmp cpu hwm
  local phase=$1 name=$2 payload=$3 frames=$4 rate=$5 key=$6 result="$7 " delivered=$8
  local drops=$9 snmp=${10} cpu=${11} hwm=${12}
  local sent offered lag delivered_rate per_million note=
  sent=$(field reports "$result")
  lag=$(field max_lag_ms "$result")
  offered=$(calc "$(field rate "$result")" 0)
  step_limited=$(awk -v o="$offered" -v r="$rate" 'BEGIN { print (o < 0.97 * r) ? 1 : 0 }')
  step_bound=$(generator_bound "$key" "$rate" "$offered")
  step_loss=$(calc "($sent - $delivered) * 100 / $sent" 3)
  delivered_rate=$(calc "$delivered / $(field seconds "$result")" 0)
  per_million=$(awk -v c="$cpu" -v d="$delivered" 'BEGIN { if (d > 0) printf "%.3f", c * 1e6 / d; else print "nan" }')
  echo "$phase,$name,$payload,$frames,$rate,$offered,$sent,$delivered,$delivered_rate,$step_loss,$drops,$snmp,$cpu,$per_million,$hwm,$lag,$step_bound" >>"$csv"
  if ((step_limited)); then
    note="  generator-bound (short of the rate)"
  elif ((step_bound)); then
    note="  generator-bound (>= 90 % of its ceiling)"
  fi
  printf "%-9s %-7s %6s %11s %11s %11s %8s %9s %9s %8s %8s %9s%s\n" \
    "$phase" "${name/report_server/ours}" "$frames" "$rate" "$offered" "$delivered_rate" "$step_loss" \
    "$drops" "$snmp" "$cpu" "$per_million" "$hwm" "$note"
}

header() {
  printf "%-9s %-7s %6s %11s %11s %11s %8s %9s %9s %8s %8s %9s\n" \
    phase server frames "asked/s" "offered/s" "deliv/s" "loss%" "sockdrop" "rcvbufErr" "cpu_s" "s/Mrep" "HWM_KiB"
}

# One step of the daemon: a fresh daemon, `seconds` of load, the figures.
run_step() {  # phase frames rate seconds
  local phase=$1 frames=$2 rate=$3 seconds=$4
  local result snmp0 cpu0 cpu1 hwm drops snmp
  start_daemon
  cpu0=$(cpu_seconds "$daemon_pid")
  snmp0=$(rcvbuf_errors)
  result=$(offer --rate="$rate" --frames="$frames" --count="$(calc "$rate * $seconds" 0)" \
             --time-limit="$(calc "$seconds + 2" 1)")
  wait_drained "$server_port"
  cpu1=$(cpu_seconds "$daemon_pid")
  drops=$(socket_field "$server_port" drops)
  snmp=$(( $(rcvbuf_errors) - snmp0 ))
  hwm=$(vmhwm_kib "$daemon_pid")
  if ((hwm > normal_peak_kib)); then normal_peak_kib=$hwm; fi
  stop_daemon
  record_step "$phase" report_server framed "$frames" "$rate" "$frames" "$result" "$(daemon_lines)" \
    "$drops" "$snmp" "$(calc "$cpu1 - $cpu0" 2)" "$hwm"
}

# The same step for rsyslog: one syslog line per datagram, of the size of a
# one-frame datagram. Its figures are read once it has drained, before it is
# stopped; the lines are counted after, when its file is complete.
run_rsyslog_step() {  # phase rate seconds
  local phase=$1 rate=$2 seconds=$3
  local result snmp0 cpu0 cpu1 hwm drops snmp
  start_rsyslog
  cpu0=$(cpu_seconds "$rsyslog_pid")
  snmp0=$(rcvbuf_errors)
  result=$(offer --rate="$rate" --payload=text --port="$rsyslog_port" \
             --count="$(calc "$rate * $seconds" 0)" --time-limit="$(calc "$seconds + 2" 1)")
  wait_rsyslog_drained
  cpu1=$(cpu_seconds "$rsyslog_pid")
  drops=$(socket_field "$rsyslog_port" drops)
  snmp=$(( $(rcvbuf_errors) - snmp0 ))
  hwm=$(vmhwm_kib "$rsyslog_pid")
  stop_rsyslog
  record_step "$phase" rsyslog text 1 "$rate" text "$result" "$(rsyslog_lines)" \
    "$drops" "$snmp" "$(calc "$cpu1 - $cpu0" 2)" "$hwm"
}

# A step of the kind a bisection key names: 1 or 5 frames, or rsyslog.
run_kind_step() {  # key phase rate seconds
  if [[ $1 == rsyslog ]]; then run_rsyslog_step "$2" "$3" "$4"; else run_step "$2" "$1" "$3" "$4"; fi
}

passes() { awk -v l="$1" 'BEGIN { exit !(l <= 0.1) }'; }

# ---- the generator's ceiling -------------------------------------------------

# The generator sending as fast as it can into a socket nobody reads: what
# it can offer at most, with no server in the way.
measure_ceiling() {  # key label generator options...
  local key=$1 label=$2 result rate
  shift 2
  result=$(offer --rate=max --count=1e12 --time-limit="$step_seconds" --sink --port="$sink_port" "$@")
  rate=$(calc "$(field rate "$result ")" 0)
  ceiling[$key]=$rate
  echo "ceiling,sink,$(field payload "$result "),$(field frames "$result "),max,$rate,$(field reports "$result "),,,,,,,,,," >>"$csv"
  printf "%-28s %11s reports/s (generator CPU %s s over %s s)\n" "$label" "$rate" \
    "$(field cpu "$result ")" "$(calc "$(field seconds "$result ")" 1)"
}

echo
echo "=== the generator's ceiling: as fast as it can into a socket nobody reads, ${step_seconds} s each ==="
measure_ceiling 1 "1 frame per datagram" --frames=1
measure_ceiling 5 "5 frames per datagram" --frames=5
if ((have_rsyslog)); then
  measure_ceiling text "syslog text line (rsyslog)" --payload=text
fi

# ---- the ladder --------------------------------------------------------------

# Brackets for the bisection, per key (1, 5, rsyslog): the last step that
# held and the first that did not (0: none failed).
declare -A bracket_low bracket_high ladder_failed
note_ladder_step() {  # key rate
  local key=$1 rate=$2
  ((${ladder_failed[$key]:-0})) && return
  if passes "$step_loss" && ((!step_limited)); then
    bracket_low[$key]=$rate
  else
    ladder_failed[$key]=1
    bracket_high[$key]=$rate
  fi
}

echo
echo "=== load steps (each ${step_seconds} s, fresh server per step) ==="
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg), $(nproc) CPUs${pin_daemon[*]:+; servers on CPU ${pin_daemon[2]}, generator on CPU 0}"
if ((!have_rsyslog)); then
  echo "(no rsyslog reference rows: $no_rsyslog_why)"
fi
header
for frames in 1 5; do
  bracket_low[$frames]=0 bracket_high[$frames]=0
  short=0
  for rate in "${rates[@]}"; do
    run_step ladder "$frames" "$rate" "$step_seconds"
    note_ladder_step "$frames" "$rate"
    if ((step_limited)); then short=$((short + 1)); fi
    # rsyslog gets the same rates, next to the one-frame steps.
    if ((frames == 1 && have_rsyslog)); then
      run_rsyslog_step ladder "$rate" "$step_seconds"
      note_ladder_step rsyslog "$rate"
    fi
    # Two steps the generator could not offer in full: the rest would
    # measure the generator, not the server.
    if ((short >= 2)); then break; fi
  done
done

# ---- the bisections -----------------------------------------------------------

declare -A best best_runs
# The median over the runs of the highest rate with at most 0.1 % loss.
bisect() {  # key
  local key=$1 low high mid found=()
  for run in $(seq "$search_runs"); do
    low=${bracket_low[$key]:-0} high=${bracket_high[$key]:-0}
    if ((high == 0)); then
      found+=("$low")  # every step held: the figure is at least the last step
      continue
    fi
    for _ in 1 2 3 4; do
      mid=$(( (low + high) / 2 ))
      run_kind_step "$key" "search$run" "$mid" "$search_seconds"
      if passes "$step_loss" && ((!step_limited)); then low=$mid; else high=$mid; fi
    done
    found+=("$low")
  done
  best[$key]=$(printf "%s\n" "${found[@]}" | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }')
  best_runs[$key]="${found[*]}"
}

echo
echo "=== highest rate with loss <= 0.1 % (bisection, ${search_runs} runs, ${search_seconds} s steps) ==="
header
search_keys=(1 5)
if ((have_rsyslog)); then search_keys+=(rsyslog); fi
for key in "${search_keys[@]}"; do bisect "$key"; done

# ---- idle ---------------------------------------------------------------------

echo
echo "=== idle daemon, 10 s ==="
start_daemon
sleep 1
idle_cpu0=$(cpu_seconds "$daemon_pid")
idle_sched0=$(sched_seconds "$daemon_pid")
sleep 10
idle_cpu=$(calc "$(cpu_seconds "$daemon_pid") - $idle_cpu0" 3)
idle_sched=$(calc "$(sched_seconds "$daemon_pid") - $idle_sched0" 6)
idle_hwm=$(vmhwm_kib "$daemon_pid")
if ((idle_hwm > normal_peak_kib)); then normal_peak_kib=$idle_hwm; fi
stop_daemon
idle_pct=$(calc "$idle_sched * 10" 4)
echo "CPU over 10 s: $idle_sched s ($idle_pct % of one core; utime+stime $idle_cpu s), VmHWM $idle_hwm KiB"

# ---- memory under floods ------------------------------------------------------

# Datagrams far above the largest report datagram, as fast as the generator
# sends them: the daemon takes each with a short read and drops it, so its
# memory must not grow with them.
flood_long_datagrams() {
  local result hwm
  start_daemon
  result=$(offer --rate=max --payload=raw --size=65000 --count=1e12 --time-limit="$flood_seconds")
  wait_drained "$server_port"
  if ! process_alive "$daemon_pid"; then
    echo "run_bench.sh: the daemon ended under the flood of 65,000-byte datagrams" >&2
    exit 1
  fi
  hwm=$(vmhwm_kib "$daemon_pid")
  stop_daemon
  flood_hwm=$hwm
  echo "flood_65000,report_server,raw,1,max,$(calc "$(field rate "$result ")" 0),$(field reports "$result "),$(daemon_lines),,,,,,,$hwm,,0" >>"$csv"
  echo "$(field datagrams "$result ") datagrams of 65,000 bytes in $(calc "$(field seconds "$result ")" 1) s" \
       "($(calc "$(field rate "$result ")" 0)/s), report lines written: $(daemon_lines), VmHWM $hwm KiB"
}

# The daily script as the daemon runs it at 02:00 site time (17:00 UTC),
# marking its start and end for this script, and holding the log for
# $daily_script_seconds.
write_daily_script() {
  mkdir -p "$(dirname "$daily_script")" "$daily_marks"
  rm -f "$daily_marks"/*
  cat >"$daily_script" <<SCRIPT
#!/bin/sh
: >$daily_marks/started
sleep $daily_script_seconds
: >$daily_marks/ended
SCRIPT
  chmod 755 "$daily_script"
}

wait_for_file() {  # path seconds
  for _ in $(seq "$(($2 * 10))"); do
    [[ -e $1 ]] && return 0
    sleep 0.1
  done
  return 1
}

# The daemon under libfaketime, its clock two seconds before 02:00 site
# time; once the daily script has started, five-frame reports flood in for
# $daily_flood_seconds. While the script holds the log the daemon keeps the
# report lines in memory (up to 64 MiB), beyond that they wait in the socket
# or the kernel drops them; after the script it writes them.
flood_during_daily_script() {
  local result hwm
  write_daily_script
  start_daemon env LD_PRELOAD="$faketime_lib" FAKETIME="@2026-12-05 16:59:58" \
    FAKETIME_DONT_RESET=1 TZ=UTC
  if ! wait_for_file "$daily_marks/started" 10; then
    echo "run_bench.sh: the daily script did not start under libfaketime" >&2
    exit 1
  fi
  result=$(offer --rate="$daily_flood_rate" --frames=5 \
             --count="$((daily_flood_rate * daily_flood_seconds))" \
             --time-limit="$((daily_flood_seconds + 2))")
  if [[ -e $daily_marks/ended ]]; then
    echo "run_bench.sh: the daily script ended before the flood did: the figure is not under a held log" >&2
  fi
  wait_for_file "$daily_marks/ended" "$((daily_script_seconds + 10))" || true
  wait_drained "$server_port"
  hwm=$(vmhwm_kib "$daemon_pid")
  stop_daemon
  daily_hwm=$hwm
  echo "daily_flood,report_server,framed,5,$daily_flood_rate,$(calc "$(field rate "$result ")" 0),$(field reports "$result "),$(daemon_lines),,,,,,,$hwm,$(field max_lag_ms "$result "),0" >>"$csv"
  echo "$(field reports "$result ") reports in $(calc "$(field seconds "$result ")" 1) s" \
       "($(calc "$(field rate "$result ")" 0)/s, five frames per datagram) while the script ran," \
       "report lines written: $(daemon_lines), VmHWM $hwm KiB"
}

echo
echo "=== flood of 65,000-byte datagrams, ${flood_seconds} s ==="
flood_long_datagrams

echo
echo "=== daily script (${daily_script_seconds} s) under a flood of ${daily_flood_rate} reports/s ==="
daily_hwm=
if [[ -r $faketime_lib ]]; then
  flood_during_daily_script
else
  echo "skipped: libfaketime is missing ($faketime_lib; Debian package faketime, apt-get install faketime)"
fi

# ---- summary ------------------------------------------------------------------

# A ladder row's column (see the CSV header) for a server and frames.
ladder_value() {  # server frames rate column
  awk -F, -v s="$1" -v f="$2" -v r="$3" -v c="$4" \
    '$1 == "ladder" && $2 == s && $4 == f && $5 == r { print $c; exit }' "$csv"
}
verdict() { awk -v v="$1" -v t="$2" -v d="$3" 'BEGIN { ok = (d == "min") ? (v >= t) : (v <= t); print ok ? "met" : "MISSED" }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (a + 0 > 0 && b + 0 > 0) printf "%.2f", a / b; else print "n/a" }'; }
mib() { calc "$1 / 1024" 2; }

# Every ladder rate on one line: ours (one frame), rsyslog (one line per
# datagram) and the CPU ratio, ours (five frames). * marks generator-bound.
side_by_side() {
  awk -F, '
    $1 == "ladder" {
      k = ($2 == "rsyslog") ? "r" : $4
      d[k, $5] = $9 ($17 == 1 ? "*" : ""); l[k, $5] = $10; c[k, $5] = $14; h[k, $5] = $15
      if (!($5 in seen)) { seen[$5] = 1; rate[++n] = $5 + 0 }
    }
    function group(k, r) {
      if (!((k, r) in d)) return sprintf("%10s %7s %7s %8s", "-", "-", "-", "-")
      return sprintf("%10s %7s %7s %8s", d[k, r], l[k, r], c[k, r], h[k, r])
    }
    END {
      for (i = 2; i <= n; i++) for (j = i; j > 1 && rate[j] < rate[j - 1]; j--) {
        t = rate[j]; rate[j] = rate[j - 1]; rate[j - 1] = t
      }
      printf "%9s | %-35s | %-35s | %-9s | %-35s\n", "", "ours, 1 frame per datagram",
             "rsyslog, 1 line per datagram", "CPU/Mrep", "ours, 5 frames per datagram"
      for (g = 0; g < 3; g++) cols[g] = sprintf("%10s %7s %7s %8s", "deliv/s", "loss%", "s/Mrep", "HWM_KiB")
      printf "%9s | %s | %s | %9s | %s\n", "asked/s", cols[0], cols[1], "rsys/ours", cols[2]
      for (i = 1; i <= n; i++) {
        r = rate[i]
        q = ((("r", r) in c) && (("1", r) in c) && c["1", r] > 0) ? sprintf("%.2f", c["r", r] / c["1", r]) : "-"
        printf "%9s | %s | %s | %9s | %s\n", r, group("1", r), group("r", r), q, group("5", r)
      }
      print "(* generator-bound: asked at >= 90 % of the generator'"'"'s ceiling, or offered short of it)"
    }' "$csv"
}

# Steps that measured the generator, per kind, or "none".
generator_bound_steps() {
  awk -F, '
    ($1 == "ladder" || $1 ~ /^search/) && $17 == 1 {
      k = ($2 == "rsyslog") ? "rsyslog" : "ours " $4 " frame" ($4 > 1 ? "s" : "")
      if (!(k in list)) order[++n] = k
      list[k] = list[k] " " $1 ":" $5
    }
    END {
      if (n == 0) { print "none"; exit }
      for (i = 1; i <= n; i++) printf "%s%s:%s", (i > 1 ? "; " : ""), order[i], list[order[i]]
      print ""
    }' "$csv"
}

summary_row() {  # figure measured target verdict against
  printf "%-54s %-16s %-30s %-8s %s\n" "$@"
}

# A CPU figure's row; n/a when the ladder had no step at 100000/s.
cpu_row() {  # figure value target against
  if [[ -z $2 || $2 == nan ]]; then
    summary_row "$1" n/a "<= $3 s" n/a "no ladder step at 100000/s (BENCH_RATES)"
  else
    summary_row "$1" "$2 s" "<= $3 s" "$(verdict "$2" "$3" max)" "$4"
  fi
}

# The loss-free rate's row: the target is the figure given, or 90 % of the
# generator's ceiling where that is lower (the server cannot be shown to
# hold more than the generator offers).
loss_free_row() {  # frames target against
  local frames=$1 target=$2 against=$3 cap effective text at_least=
  cap=$(calc "0.9 * ${ceiling[$frames]:-0}" 0)
  effective=$target text=">= $target/s"
  if ((cap > 0 && cap < target)); then
    effective=$cap text=">= $cap/s (90 % of ceiling)"
  fi
  if ((${bracket_high[$frames]:-0} == 0)); then at_least=">="; fi
  local kind="1 frame"
  if ((frames > 1)); then kind="$frames frames"; fi
  summary_row "loss-free rate (<= 0.1 % loss), $kind per datagram" \
    "$at_least${best[$frames]}/s" "$text" "$(verdict "${best[$frames]}" "$effective" min)" "$against"
}

write_summary() {
  local cpu1 cpu5 cpu_r cpu_ratio rsyslog_against=
  cpu1=$(ladder_value report_server 1 100000 14)
  cpu5=$(ladder_value report_server 5 100000 14)
  cpu_r=$(ladder_value rsyslog 1 100000 14)
  cpu_ratio=$(ratio "${cpu_r:-0}" "${cpu1:-0}")
  if ((have_rsyslog)); then
    rsyslog_against="; rsyslog ${best[rsyslog]}/s (runs ${best_runs[rsyslog]}), ours ÷ rsyslog $(ratio "${best[1]}" "${best[rsyslog]}")"
  fi

  echo "report server load benchmark, $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) CPUs${pin_daemon[*]:+ (servers on CPU ${pin_daemon[2]}, generator on CPU 0)}, load average at the end $(cut -d' ' -f1-3 /proc/loadavg)"
  echo "ladder steps ${step_seconds} s, bisection steps ${search_seconds} s, ${search_runs} bisection runs, a fresh server per step"
  if ((have_rsyslog)); then
    echo "reference: $(rsyslogd -v | head -1 | awk '{ print $1, $2 }'), a private instance (bench/rsyslog_reference.conf.in: imudp with rcvbufSize 4m, omfile, one line per message) offered the same rates, one syslog line of 272 bytes per datagram, on the daemon's CPU"
  else
    echo "reference: none ($no_rsyslog_why)"
  fi
  echo "generator ceiling (load_generator into a UDP socket nobody reads): 1 frame per datagram ${ceiling[1]} reports/s, 5 frames ${ceiling[5]} reports/s${ceiling[text]:+, syslog text lines ${ceiling[text]} reports/s}"
  echo "generator-bound steps (asked at >= 90 % of the ceiling, or offered short of the rate): $(generator_bound_steps)"
  echo
  summary_row figure measured target verdict "measured against"
  loss_free_row 1 450000 "median of runs ${best_runs[1]}; generator ceiling ${ceiling[1]}/s$rsyslog_against"
  loss_free_row 5 2000000 "median of runs ${best_runs[5]}; generator ceiling ${ceiling[5]}/s"
  cpu_row "CPU s per million reports at 100000/s, 1 frame" "$cpu1" 1.5 \
    "utime+stime of the daemon per million delivered, ladder step${cpu_r:+; rsyslog $cpu_r s}"
  cpu_row "CPU s per million reports at 100000/s, 5 frames" "$cpu5" 0.5 \
    "utime+stime of the daemon per million delivered, ladder step"
  if [[ $cpu_ratio == n/a ]]; then
    summary_row "CPU per million at 100000/s, rsyslog / ours, 1 frame" n/a ">= 2.5" n/a \
      "$( ((have_rsyslog)) && echo "no ladder step at 100000/s" || echo "no rsyslog reference: $no_rsyslog_why")"
  else
    summary_row "CPU per million at 100000/s, rsyslog / ours, 1 frame" "$cpu_ratio" ">= 2.5" \
      "$(verdict "$cpu_ratio" 2.5 min)" "rsyslog $cpu_r s ÷ ours $cpu1 s, same run, same CPU, same datagram size"
  fi
  summary_row "idle CPU (% of one core)" "$idle_pct %" "<= 0.1 %" "$(verdict "$idle_pct" 0.1 max)" \
    "scheduler time of all the daemon's threads over 10 s without reports"
  summary_row "peak RSS, normal operation" "$(mib "$normal_peak_kib") MiB" "<= 4 MiB" \
    "$(verdict "$normal_peak_kib" 4096 max)" "the daemon's VmHWM, highest over the ladder, the bisections and idle"
  summary_row "peak RSS, flood of 65,000-byte datagrams" "$(mib "$flood_hwm") MiB" "<= 4 MiB" \
    "$(verdict "$flood_hwm" 4096 max)" "the daemon's VmHWM after ${flood_seconds} s of them, as fast as the generator sends"
  if [[ -n $daily_hwm ]]; then
    summary_row "peak RSS, daily script running under a flood" "$(mib "$daily_hwm") MiB" "<= 70 MiB" \
      "$(verdict "$daily_hwm" $((70 * 1024)) max)" "the daemon's VmHWM; the script held the log ${daily_script_seconds} s while ${daily_flood_rate} reports/s (5 frames) came ${daily_flood_seconds} s"
  else
    summary_row "peak RSS, daily script running under a flood" "n/a" "<= 70 MiB" "n/a" \
      "skipped: libfaketime is missing (apt-get install faketime)"
  fi
  echo
  echo "per ladder step (s/Mrep: CPU seconds per million delivered reports; HWM: peak RSS):"
  side_by_side
}

echo
echo "=== summary ==="
write_summary | tee "$summary"
if ((have_rsyslog)); then cp "$rsyslog_dir/rsyslog.conf" "$results/rsyslog.conf" 2>/dev/null || true; fi

# ---- plot ---------------------------------------------------------------------

# Vertical lines at the generator's ceilings that fall inside the plot.
ceiling_arrows() {  # xmax (thousand reports/s)
  local key color name
  for key in 1 5 text; do
    [[ -n ${ceiling[$key]:-} ]] || continue
    case $key in
      1) color='"#9400d3"' name="1-frame" ;;
      5) color='"#009e73"' name="5-frame" ;;
      text) color='"#e69f00"' name="text line" ;;
    esac
    awk -v c="${ceiling[$key]}" -v m="$1" -v col="$color" -v n="$name" 'BEGIN {
      x = c / 1000
      if (x <= m) printf "set arrow from %f, graph 0 to %f, graph 1 nohead dashtype 3 lc rgb %s\n" \
                         "set label \"generator ceiling, %s\" at %f, graph 0.03 left rotate by 90 offset -0.6, 0 tc rgb %s\n",
                         x, x, col, n, x, col
    }'
  done
}

# One series of ladder points, "offered delivered cpu_per_million" in
# thousand reports/s, for a gnuplot data block: server, frames ("" for
# any), and whether only the generator-bound steps.
series() {  # server frames bound_only
  awk -F, -v s="$1" -v f="$2" -v b="$3" '
    $1 == "ladder" && (s == "" || $2 == s) && (f == "" || $4 == f) && (b == 0 || $17 == 1) {
      print $6 / 1000, $9 / 1000, $14
    }' "$csv"
}

# The plot clauses for the series that have points, in one column:
# 2 delivered, 3 CPU per million.
plot_clauses() {  # column
  local name style title clauses=()
  while IFS='|' read -r name style title; do
    [[ -n $(series_of "$name") ]] && clauses+=("\$$name using 1:$1 with $style title \"$title\"")
  done <<'SERIES'
ours1|linespoints pt 7 lc rgb "#9400d3"|ours, 1 frame per datagram
ours5|linespoints pt 5 lc rgb "#009e73"|ours, 5 frames per datagram
rsyslog|linespoints pt 9 lc rgb "#e69f00"|rsyslog, 1 line per datagram
bound|points pt 6 ps 2.5 lc rgb "black"|generator-bound step
SERIES
  local IFS=,
  echo "${clauses[*]}"
}
series_of() {
  case $1 in
    ours1) series report_server 1 0 ;;
    ours5) series report_server 5 0 ;;
    rsyslog) series rsyslog "" 0 ;;
    bound) series "" "" 1 ;;
  esac
}

xmax=$(awk -F, '$1 == "ladder" && $6 > m { m = $6 } END { printf "%.0f", m * 1.08 / 1000 + 1 }' "$csv")
gnuplot <<GNUPLOT
\$ours1 << EOD
$(series_of ours1)
EOD
\$ours5 << EOD
$(series_of ours5)
EOD
\$rsyslog << EOD
$(series_of rsyslog)
EOD
\$bound << EOD
$(series_of bound)
EOD
set terminal pngcairo size 1300,520 font ",10"
set output "$results/bench.png"
set datafile missing "nan"
set grid
set offsets 0, 0, graph 0.08, 0
set multiplot layout 1,2 title "report server$( ((have_rsyslog)) && echo " and rsyslog") on loopback (ladder steps, fresh server per step; generator ceiling: 1 frame ${ceiling[1]}, 5 frames ${ceiling[5]}${ceiling[text]:+, text ${ceiling[text]}} reports/s)"
$(ceiling_arrows "$xmax")
set title "delivered against offered rate"
set key top left
set xlabel "offered, thousand reports/s"
set ylabel "delivered, thousand reports/s"
set xrange [0:$xmax]
set yrange [0:*]
plot $(plot_clauses 2), x with lines dashtype 2 lc "gray" title "no loss"
set title "server CPU per million reports"
set ylabel "CPU seconds per million delivered reports"
set key top right
set yrange [0:*]
plot $(plot_clauses 3)
unset multiplot
GNUPLOT
echo "written: $csv, $summary, $results/bench.png"
