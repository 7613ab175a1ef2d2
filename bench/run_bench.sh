#!/usr/bin/env bash
# The report server's benchmarks, in one command (as root):
#
#     bash bench/run_bench.sh
#
# 1. Installs what is missing, builds a Release tree in build-bench/ and
#    runs the micro benchmarks (micro_bench).
# 2. In a private network and mount namespace (loopback only; tmpfs on
#    /run, /home and for the log) starts the real daemon and offers it
#    reports with load_generator, in datagrams of one frame and of five
#    frames, at stepped rates. The daemon is restarted for every step, so
#    its log is complete (flushed at exit) and every figure is its own.
#    Per step: offered and delivered rate, loss, the kernel's receive-buffer
#    drops (the socket's drops column in /proc/net/udp, and RcvbufErrors of
#    /proc/net/snmp), the daemon's CPU seconds per million reports (utime +
#    stime of /proc/PID/stat) and its peak RSS (VmHWM).
# 3. Finds, three times per datagram kind, the highest rate with at most
#    0.1 % loss by bisecting between the last step that held and the first
#    that did not, and reports the median; measures the idle daemon's CPU
#    over ten seconds.
#
# Output: the tables on the terminal, bench/results/results.csv (every
# step), bench/results/summary.txt, bench/results/micro_bench.txt and
# bench/results/bench.png (delivered against offered rate, and CPU per
# million reports). The whole run takes about five minutes.
#
# Environment: BENCH_PIN=0 to leave the daemon and the generator unpinned,
# BENCH_STEP_SECONDS (3), BENCH_SEARCH_SECONDS (2),
# BENCH_RATES (the rate steps, reports/s, comma-separated),
# BENCH_SEARCH_RUNS (3), BENCH_SKIP_MICRO=1 to leave the micro benchmarks
# out.
set -euo pipefail
cd "$(dirname "$0")/.."

build=build-bench
results=bench/results

if [[ ${1:-} != --inside-namespace ]]; then
  if [[ $(id -u) != 0 ]]; then
    echo "run_bench.sh: run as root (it uses private namespaces)" >&2
    exit 1
  fi
  bash scripts/install-deps.sh
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
log_file=$log_dir/32730.log
pid_file=/var/run/vantor_report//32730.pid
step_seconds=${BENCH_STEP_SECONDS:-3}
search_seconds=${BENCH_SEARCH_SECONDS:-2}
search_runs=${BENCH_SEARCH_RUNS:-3}
IFS=, read -r -a rates <<<"${BENCH_RATES:-50000,100000,200000,400000,800000,1200000,1600000}"
# With two or more CPUs the daemon runs on the last one and the generator
# on the first: on loopback the sender's CPU also does the kernel's receive
# work, which a real peer's network card would not put on the daemon's
# CPU, and unpinned the scheduler tends to pull both onto one CPU.
pin_daemon=() pin_generator=()
if [[ ${BENCH_PIN:-1} == 1 ]] && (($(nproc) >= 2)); then
  pin_daemon=(taskset -c "$(($(nproc) - 1))")
  pin_generator=(taskset -c 0)
fi
csv=$results/results.csv
summary=$results/summary.txt
ticks=$(getconf CLK_TCK)

daemon_pid=
peak_rss_kib=0

cleanup() {
  if [[ -n $daemon_pid ]] && kill -0 "$daemon_pid" 2>/dev/null; then
    kill -KILL "$daemon_pid" 2>/dev/null || true
  fi
}
trap cleanup EXIT

calc() { awk "BEGIN { printf \"%.${2:-3}f\", $1 }"; }

# The daemon's CPU seconds so far (utime + stime of all its threads).
cpu_seconds() { awk -v t="$ticks" '{ printf "%.3f", ($14 + $15) / t }' "/proc/$1/stat"; }
# The same from the scheduler's nanosecond counts, for the idle figure.
sched_seconds() { cat /proc/"$1"/task/*/schedstat | awk '{ s += $1 } END { printf "%.6f", s / 1e9 }'; }
vmhwm_kib() { awk '/^VmHWM:/ { print $2 }' "/proc/$1/status"; }

# Receive queue (bytes) and drops of the daemon's socket, port 32730.
socket_field() {  # rx|drops
  local what=$1 line
  line=$(awk '$2 ~ /:7FDA$/ { print; exit }' /proc/net/udp)
  [[ -n $line ]] || { echo 0; return; }
  set -- $line
  if [[ $what == rx ]]; then echo $((16#${5#*:})); else echo "${13}"; fi
}
rcvbuf_errors() {
  awk '/^Udp:/ { if (!seen) { for (i = 1; i <= NF; i++) if ($i == "RcvbufErrors") c = i; seen = 1 }
                 else { print $c; exit } }' /proc/net/snmp
}

start_daemon() {
  rm -rf "$log_dir"
  "${pin_daemon[@]}" "$server" --logdir="$log_dir"
  local pid=
  for _ in $(seq 500); do
    pid=$(cat "$pid_file" 2>/dev/null || true)
    if [[ -n $pid ]] && grep -q sigtimedwait "/proc/$pid/wchan" 2>/dev/null &&
       grep -q ':7FDA ' /proc/net/udp; then
      daemon_pid=$pid
      return
    fi
    sleep 0.01
  done
  echo "run_bench.sh: the daemon did not start" >&2
  cat "$log_file" >&2 || true
  exit 1
}

# Whether the daemon still runs (an ended one may stay a zombie a moment).
daemon_alive() {
  [[ -r /proc/$daemon_pid/stat ]] && [[ $(awk '{ print $3 }' "/proc/$daemon_pid/stat" 2>/dev/null) != Z ]]
}

stop_daemon() {
  kill -TERM "$daemon_pid"
  for _ in $(seq 1500); do
    daemon_alive || { daemon_pid=; return; }
    sleep 0.01
  done
  echo "run_bench.sh: the daemon did not stop within 15 s" >&2
  exit 1
}

# Waits until the daemon has taken everything queued in its socket (at most
# ten seconds), then lets it write the last datagram's lines.
wait_drained() {
  for _ in $(seq 1000); do
    [[ $(socket_field rx) == 0 ]] && break
    sleep 0.01
  done
  sleep 0.1
}

field() { sed -n "s/.* $1=\([^ ]*\).*/\1/p" <<<"$2"; }

echo "phase,frames,asked_rate,offered_rate,sent,delivered,delivered_rate,loss_pct,kernel_drops,rcvbuf_errors,daemon_cpu_s,cpu_s_per_million,vmhwm_kib,generator_max_lag_ms" >"$csv"

# One step: a fresh daemon, `seconds` of load, the figures. Sets the
# globals step_loss, step_offered, step_limited and appends to the CSV.
run_step() {  # phase frames rate seconds
  local phase=$1 frames=$2 rate=$3 seconds=$4
  local count result sent offered delivered drops snmp0 snmp cpu0 cpu1 cpu hwm lag
  count=$(calc "$rate * $seconds" 0)
  start_daemon
  cpu0=$(cpu_seconds "$daemon_pid")
  snmp0=$(rcvbuf_errors)
  result=$("${pin_generator[@]}" "$generator" --rate="$rate" --frames="$frames" --count="$count" \
             --time-limit="$(calc "$seconds + 2" 1)" | grep '^RESULT')
  wait_drained
  cpu1=$(cpu_seconds "$daemon_pid")
  drops=$(socket_field drops)
  snmp=$(( $(rcvbuf_errors) - snmp0 ))
  hwm=$(vmhwm_kib "$daemon_pid")
  if ((hwm > peak_rss_kib)); then peak_rss_kib=$hwm; fi
  stop_daemon
  delivered=$(grep -c '> LEVEL ' "$log_file" || true)

  sent=$(field reports "$result ")
  lag=$(field max_lag_ms "$result ")
  offered=$(field rate "$result ")
  step_offered=$offered
  step_limited=$(awk -v o="$offered" -v r="$rate" 'BEGIN { print (o < 0.97 * r) ? 1 : 0 }')
  step_loss=$(calc "($sent - $delivered) * 100 / $sent" 3)
  local delivered_rate per_million
  delivered_rate=$(calc "$delivered / $(field seconds "$result ")" 0)
  cpu=$(calc "$cpu1 - $cpu0" 2)
  per_million=$(awk -v c="$cpu" -v d="$delivered" 'BEGIN { if (d > 0) printf "%.3f", c * 1e6 / d; else print "nan" }')
  echo "$phase,$frames,$rate,$(calc "$offered" 0),$sent,$delivered,$delivered_rate,$step_loss,$drops,$snmp,$cpu,$per_million,$hwm,$lag" >>"$csv"
  printf "%-9s %6s %11s %11s %11s %8s %9s %9s %8s %8s %9s%s\n" \
    "$phase" "$frames" "$rate" "$(calc "$offered" 0)" "$delivered_rate" "$step_loss" "$drops" \
    "$snmp" "$cpu" "$per_million" "$hwm" "$( ((step_limited)) && echo '  (generator short of the rate)')"
}

header() {
  printf "%-9s %6s %11s %11s %11s %8s %9s %9s %8s %8s %9s\n" \
    phase frames "asked/s" "offered/s" "deliv/s" "loss%" "sockdrop" "rcvbufErr" "cpu_s" "s/Mrep" "HWM_KiB"
}

passes() { awk -v l="$1" 'BEGIN { exit !(l <= 0.1) }'; }

echo
echo "=== load steps (each ${step_seconds} s, fresh daemon per step) ==="
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg), $(nproc) CPUs${pin_daemon[*]:+; daemon on CPU ${pin_daemon[2]}, generator on CPU 0}"
header

declare -A bracket_low bracket_high
for frames in 1 5; do
  low=0 high=0 failed=0 short=0
  for rate in "${rates[@]}"; do
    run_step ladder "$frames" "$rate" "$step_seconds"
    if ((step_limited)); then short=$((short + 1)); fi
    if ((!failed)) && passes "$step_loss" && ((!step_limited)); then
      low=$rate
    elif ((!failed)); then
      failed=1
      high=$rate
    fi
    # Two steps the generator could not offer in full: the rest would
    # measure the generator, not the daemon.
    if ((short >= 2)); then break; fi
  done
  bracket_low[$frames]=$low
  bracket_high[$frames]=$high
done

echo
echo "=== highest rate with loss <= 0.1 % (bisection, ${search_runs} runs, ${search_seconds} s steps) ==="
header
declare -A best best_runs
for frames in 1 5; do
  found=()
  for run in $(seq "$search_runs"); do
    low=${bracket_low[$frames]} high=${bracket_high[$frames]}
    if ((high == 0)); then
      found+=("$low")  # every step held: the figure is at least the last step
      continue
    fi
    for _ in 1 2 3 4; do
      mid=$(( (low + high) / 2 ))
      run_step "search$run" "$frames" "$mid" "$search_seconds"
      if passes "$step_loss" && ((!step_limited)); then low=$mid; else high=$mid; fi
    done
    found+=("$low")
  done
  best[$frames]=$(printf "%s\n" "${found[@]}" | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }')
  best_runs[$frames]="${found[*]}"
done

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
stop_daemon
echo "CPU over 10 s: $idle_sched s ($(calc "$idle_sched * 10" 4) % of one core; utime+stime $idle_cpu s), VmHWM $idle_hwm KiB"

cpu_at() {  # frames rate: the ladder step's CPU per million reports
  awk -F, -v f="$1" -v r="$2" '$1 == "ladder" && $2 == f && $3 == r { print $12; exit }' "$csv"
}
verdict() { awk -v v="$1" -v t="$2" -v d="$3" 'BEGIN { ok = (d == "min") ? (v >= t) : (v <= t); print ok ? "met" : "MISSED" }'; }

{
  echo "report server load benchmark, $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) CPUs${pin_daemon[*]:+ (daemon on CPU ${pin_daemon[2]}, generator on CPU 0)}, load average at the end $(cut -d' ' -f1-3 /proc/loadavg)"
  for frames in 5 1; do
    target=$([[ $frames == 5 ]] && echo 1200000 || echo 400000)
    printf "highest rate with loss <= 0.1 %%, %s-frame datagrams: %s reports/s (runs: %s; target >= %s: %s)\n" \
      "$frames" "${best[$frames]}" "${best_runs[$frames]}" "$target" "$(verdict "${best[$frames]}" "$target" min)"
  done
  for frames in 5 1; do
    target=$([[ $frames == 5 ]] && echo 0.8 || echo 2.5)
    per_million=$(cpu_at "$frames" 100000)
    printf "CPU per million reports at 100000/s offered, %s-frame datagrams: %s s (target <= %s: %s)\n" \
      "$frames" "${per_million:-n/a}" "$target" "$(verdict "${per_million:-999}" "$target" max)"
  done
  printf "idle CPU: %s %% of one core over 10 s (target <= 0.1: %s)\n" \
    "$(calc "$idle_sched * 10" 4)" "$(verdict "$(calc "$idle_sched * 10" 4)" 0.1 max)"
  peak=$((peak_rss_kib > idle_hwm ? peak_rss_kib : idle_hwm))
  printf "peak RSS (VmHWM, highest of all steps): %s KiB = %s MiB (target <= 4 MiB: %s)\n" \
    "$peak" "$(calc "$peak / 1024" 2)" "$(verdict "$peak" 4096 max)"
} | tee "$summary"

# ---- plot -----------------------------------------------------------------
gnuplot <<EOF
set terminal pngcairo size 1200,500 font ",10"
set output "$results/bench.png"
set datafile separator ","
set key top left
set grid
set multiplot layout 1,2 title "report server on loopback (ladder steps, fresh daemon per step)"
set title "delivered against offered rate"
set xlabel "offered, thousand reports/s"
set ylabel "delivered, thousand reports/s"
set xrange [0:*]
set yrange [0:*]
plot "$csv" using (strcol(1) eq "ladder" && \$2 == 1 ? \$4 / 1000 : 1/0):(\$7 / 1000) with linespoints title "1 frame per datagram", \
     "$csv" using (strcol(1) eq "ladder" && \$2 == 5 ? \$4 / 1000 : 1/0):(\$7 / 1000) with linespoints title "5 frames per datagram", \
     x with lines dashtype 2 lc "gray" title "no loss"
set title "daemon CPU per million reports"
set ylabel "CPU seconds per million reports"
set key top right
plot "$csv" using (strcol(1) eq "ladder" && \$2 == 1 ? \$4 / 1000 : 1/0):12 with linespoints title "1 frame per datagram", \
     "$csv" using (strcol(1) eq "ladder" && \$2 == 5 ? \$4 / 1000 : 1/0):12 with linespoints title "5 frames per datagram"
unset multiplot
EOF
echo "written: $csv, $summary, $results/bench.png"
