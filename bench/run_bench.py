#!/usr/bin/env python3
# The report server's benchmarks, in one command (as root): python3 bench/run_bench.py
# Builds a Release tree in build-bench/, runs the micro benchmarks, then drives the real report_server with
# load_generator in the end-to-end harness's private namespaces (tests/e2e/harness.py), a fresh server per step.
# The README's "Benchmarks" section tells each figure and the BENCH_* settings.
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import time

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.join(TOP, "build-bench")
setting = os.environ.get
RESULTS = os.path.abspath(setting("BENCH_RESULTS") or BUILD + "/results")  # relative: to the caller's directory
STEP, SEARCH = float(setting("BENCH_STEP_SECONDS", 3)), float(setting("BENCH_SEARCH_SECONDS", 2))
RUNS, FLOOD = int(setting("BENCH_SEARCH_RUNS", 3)), float(setting("BENCH_FLOOD_SECONDS", 3))
# Past the five-frame target, so that the bisection can bracket it.
RATES = [int(r) for r in setting("BENCH_RATES", "50000,100000,200000,400000,800000,1200000,1600000,2400000").split(",")]
PORT = int(re.search(r"REPORT_SERVER_PORT = (\d+);", open(TOP + "/network/system/report_record.h").read())[1])
RSYSLOG_PORT, SINK_PORT, RSYSLOG = PORT + 1, PORT + 2, "/run/bench-rsyslog/"
TEXT_SIZE = 272  # rsyslog gets syslog lines as large as a one-frame datagram
SCRIPT_SECONDS, DAILY_FLOOD_SECONDS, DAILY_FLOOD_RATE = 15, 10, 1000000  # the flood meets a held log
# The servers (and this script, asleep while they are measured) on the last CPU, the generator on the first: on
# loopback the sender's CPU also does the kernel's receive work; unpinned, the scheduler pulls both onto one CPU.
CPUS = os.cpu_count()
PIN = setting("BENCH_PIN", "1") == "1" and CPUS >= 2
WHERE = f"servers on CPU {CPUS - 1}, generator on CPU 0" if PIN else ""
COLUMNS = ("phase,server,payload,frames,asked_rate,offered_rate,sent,delivered,delivered_rate,loss_pct,kernel_drops,"
           "rcvbuf_errors,server_cpu_s,cpu_s_per_million,vmhwm_kib,generator_max_lag_ms,generator_bound").split(",")
TABLE, FIGURE = "%-9s %-7s %6s %11s %11s %11s %8s %9s %9s %8s %8s %9s", "%-54s %-16s %-30s %-8s %s"
HEAD = TABLE % tuple("phase server frames asked/s offered/s deliv/s loss% sockdrop rcvbufErr cpu_s s/Mrep HWM_KiB"
                     .split())
# Per kind of load (1 or 5 frames per datagram, or "text" for rsyslog): payload and frames per datagram, labels
# (terminal, plot title, ceiling line) and colour; the generator's ceiling, the ladder steps bracketing the
# bisection (the last that held, the first that did not or 0), the bisections' median and runs.
LOAD = {1: ("framed", 1), 5: ("framed", 5), "text": ("text", 1)}
LABELS = {1: ("1 frame per datagram", "1 frame", "1-frame", "#9400d3"),
          5: ("5 frames per datagram", "5 frames", "5-frame", "#009e73"),
          "text": ("syslog text line (rsyslog)", "text", "text line", "#e69f00")}
rows, ceiling, brackets, best, runs = [], {}, {}, {}, {}
peak = {"normal": 0}  # the daemon's VmHWM: over the ladder, the bisections and idle; under each flood


def sh(*command, **options):
    return subprocess.run(command, check=True, text=True, cwd=TOP, **options)


def usage(pid):  # CPU seconds (utime + stime of all threads) and VmHWM (KiB) of a process
    fields = harness.read(f"/proc/{pid}/stat").rsplit(") ", 1)[1].split()
    hwm = re.search(r"VmHWM:\s+(\d+)", harness.read(f"/proc/{pid}/status"))[1]
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK"), int(hwm)


def udp(port):  # (bytes queued, drops) of the UDP socket bound to port, or None
    for fields in (line.split() for line in harness.read("/proc/net/udp").splitlines()[1:]):
        if fields[1].endswith(":%04X" % port):
            return int(fields[4].split(":")[1], 16), int(fields[12])


def rcvbuf_errors():
    names, values = [line.split() for line in harness.read("/proc/net/snmp").splitlines() if line.startswith("Udp:")]
    return int(values[names.index("RcvbufErrors")])


def count_lines(path, text):  # 0 without the file
    return int(subprocess.run(["grep", "-cF", text, path], capture_output=True, text=True).stdout or 0)


def start_daemon(env=()):
    daemon = harness.Daemon()
    daemon.start(env=env)
    return daemon


def stop_daemon(daemon):  # the report lines it wrote
    if daemon.stop(seconds=30) is None:
        sys.exit("run_bench.py: the daemon did not stop within 30 s")
    return count_lines(harness.LOG, "> LEVEL ")


# A private rsyslogd (-n: a plain child): its own configuration, pid file,
# work directory and output file, nothing of the system's.
def start_rsyslog():
    shutil.rmtree(RSYSLOG, ignore_errors=True)
    os.makedirs(RSYSLOG + "work")
    with open(TOP + "/bench/rsyslog_reference.conf.in") as template, open(RSYSLOG + "rsyslog.conf", "w") as conf:
        conf.write(template.read().replace("@WORK_DIR@", RSYSLOG + "work").replace("@PORT@", str(RSYSLOG_PORT))
                   .replace("@OUTPUT@", RSYSLOG + "reports.log"))
    rsyslog = subprocess.Popen(["rsyslogd", "-n", "-f", RSYSLOG + "rsyslog.conf", "-i", RSYSLOG + "pid"])
    if not harness.wait_for(lambda: udp(RSYSLOG_PORT)):
        sys.exit("run_bench.py: rsyslogd did not start")
    time.sleep(0.1)  # the rest of its start-up, not to be counted as load
    return rsyslog


# Until a server has taken all queued in its socket (at most 10 s), then a
# moment to write the last lines. rsyslog queues messages after taking them:
# it has drained when its file has also stopped growing (at most 30 s).
def drained(port):
    if port == PORT:
        return harness.drained(settle=0.1)
    sizes, output = [], RSYSLOG + "reports.log"
    harness.wait_for(lambda: sizes.append(os.path.exists(output) and os.path.getsize(output)) or udp(port)[0] == 0
                     and sizes[-3:] == sizes[-1:] * 3, 30, 0.2)


# The generator's figures for a load. It sends round and round 1024
# datagrams of report frames as a peer's writer makes them ("bench report
# NNNNNNN", serials 1, 2, ...), or of syslog lines ("<13>bench: report
# NNNNNNN xxx...": user.notice, tag "bench:", no newline), or one of filler.
def offer(port, rate, seconds, payload="framed", frames=1, size=TEXT_SIZE, count=None, limit=None):
    if payload == "framed":
        size, data = 272 * frames, b"".join(harness.frame(harness.record(n % 8, "bench report %07d" % n), n + 1)
                                            for n in range(1024 * frames))
    else:
        data = b"".join((b"<13>bench: report %07d " % n).ljust(size, b"x") for n in range(1024)) \
            if payload == "text" else b"r" * size
    out = sh(BUILD + "/bench/load_generator", *map(str, (port, size, frames, rate, "%.0f" % (count or rate * seconds),
                                                          limit or seconds + 2)),
             input=data.decode("latin-1"), encoding="latin-1", stdout=subprocess.PIPE,
             preexec_fn=lambda: PIN and os.sched_setaffinity(0, {0})).stdout
    return {key: float(value) for key, value in (field.split("=") for field in out.split())}


def row(*values):  # a row of results.csv, written at once
    rows.append(dict(zip(COLUMNS, map(str, values))))
    with open(RESULTS + "/results.csv", "a") as csv:
        csv.write(",".join(rows[-1].values()) + "\n")
    return rows[-1]


# One step with a fresh server, its figures on the terminal and in the CSV;
# whether it held (at most 0.1 % loss), and whether the generator fell
# short. It is generator-bound when asked at 90 % of the generator's
# ceiling or more, or offered short of the rate: it measures the generator.
def step(kind, phase, rate, seconds):
    ours = kind != "text"
    server, port = (start_daemon(), PORT) if ours else (start_rsyslog(), RSYSLOG_PORT)
    (cpu, _), snmp = usage(server.pid), rcvbuf_errors()
    offered = offer(port, rate, seconds, *LOAD[kind])
    drained(port)
    (after, hwm), (_, drops), snmp = usage(server.pid), udp(port), rcvbuf_errors() - snmp
    if ours:
        peak["normal"], delivered = max(peak["normal"], hwm), stop_daemon(server)
    else:
        server.terminate()
        server.wait()
        delivered = count_lines(RSYSLOG + "reports.log", "bench: report ")
    cpu, limited = after - cpu, round(offered["rate"]) < 0.97 * rate
    bound, loss = limited or rate >= 0.9 * ceiling[kind], (offered["reports"] - delivered) * 100 / offered["reports"]
    r = row(phase, "report_server" if ours else "rsyslog", *LOAD[kind], rate, "%.0f" % offered["rate"],
            "%d" % offered["reports"], delivered, "%.0f" % (delivered / offered["seconds"]), "%.3f" % loss, drops, snmp,
            "%.2f" % cpu, "%.3f" % (round(cpu, 2) * 1e6 / delivered) if delivered else "nan", hwm,
            "%.3f" % offered["max_lag_ms"], int(bound))
    print(TABLE % (phase, "ours" if ours else "rsyslog", *(r[c] for c in COLUMNS[3:6] + COLUMNS[8:15])) +
          ("  generator-bound (short of the rate)" if limited else
           "  generator-bound (>= 90 % of its ceiling)" if bound else ""))
    return float(r["loss_pct"]) <= 0.1 and not limited, limited


# Up the ladder, then per kind the median over the runs of the highest rate
# with at most 0.1 % loss, bisecting between the last ladder step that held
# and the first that did not (none failed: the figure is at least the last).
def ladder_and_search(kinds):
    print(HEAD)
    for frames in (1, 5):
        short = 0
        for rate in RATES:
            for kind in [frames] + ["text"] * (frames == 1 and "text" in kinds):  # rsyslog beside one frame
                held, limited = step(kind, "ladder", rate, STEP)
                low, high = brackets.setdefault(kind, [0, 0])
                brackets[kind] = [low, high] if high else [rate, 0] if held else [low, rate]
                short += kind == frames and limited
            if short >= 2:  # the rest would measure the generator
                break
    print(f"\n=== highest rate with loss <= 0.1 % (bisection, {RUNS} runs, {SEARCH:g} s steps) ===\n{HEAD}")
    for kind in kinds:
        found = []
        for run in range(1, RUNS + 1):
            low, high = brackets[kind]
            for _ in range(4 if high else 0):
                mid = (low + high) // 2
                low, high = (mid, high) if step(kind, f"search{run}", mid, SEARCH)[0] else (low, mid)
            found.append(low)
        best[kind], runs[kind] = sorted(found)[(len(found) - 1) // 2], " ".join(map(str, found))


def idle():  # % of one core, from the scheduler's nanosecond counts of the daemon's threads
    daemon = start_daemon()
    time.sleep(1)
    task = f"/proc/{daemon.pid}/task/"

    def sched():
        return sum(int(harness.read(task + t + "/schedstat").split()[0]) for t in os.listdir(task)) / 1e9
    (cpu, _), before = usage(daemon.pid), sched()
    time.sleep(10)
    (after, hwm), seconds = usage(daemon.pid), sched() - before
    peak["normal"] = max(peak["normal"], hwm)
    stop_daemon(daemon)
    print(f"CPU over 10 s: {seconds:.6f} s ({seconds * 10:.4f} % of one core; utime+stime {after - cpu:.3f} s), "
          f"VmHWM {hwm} KiB")
    return f"{seconds * 10:.4f}"


# The daemon's memory under datagrams far above the largest report datagram (it drops each after a short read),
# and while the daily script holds the log: it runs at 02:00 site time (17:00 UTC), the daemon's clock starts two
# seconds before it, five-frame reports flood in once it has started, and the daemon keeps their lines (up to
# 64 MiB) until it ends.
def flood(name):
    daily, center = name == "daily_flood", "/home/disk1/etc/center/"
    if daily:
        os.makedirs(center)
        with open(center + "rp.daily", "w") as script:
            script.write(f"#!/bin/sh\n: >{center}started\nsleep {SCRIPT_SECONDS}\n: >{center}ended\n")
        os.chmod(center + "rp.daily", 0o755)
    daemon = start_daemon(harness.fake_clock("2026-12-05 16:59:58") + ["TZ=UTC"] if daily else ())
    if daily:
        if not harness.wait_for(lambda: os.path.exists(center + "started"), 10):
            sys.exit("run_bench.py: the daily script did not start under the faked clock")
        offered = offer(PORT, DAILY_FLOOD_RATE, DAILY_FLOOD_SECONDS, frames=5)
        if os.path.exists(center + "ended"):
            print("run_bench.py: the daily script ended before the flood: the figure is not under a held log")
        harness.wait_for(lambda: os.path.exists(center + "ended"), SCRIPT_SECONDS + 10, 0.1)
    else:
        offered = offer(PORT, "max", 0, "raw", size=65000, count=1e12, limit=FLOOD)
    drained(PORT)
    if daemon.pid not in harness.children():
        sys.exit("run_bench.py: the daemon ended under the flood")
    peak[name], lines = usage(daemon.pid)[1], stop_daemon(daemon)
    row(name, "report_server", "framed" if daily else "raw", 5 if daily else 1, DAILY_FLOOD_RATE if daily else "max",
        "%.0f" % offered["rate"], "%d" % offered["reports"], lines, *[""] * 6, peak[name],
        "%.3f" % offered["max_lag_ms"] if daily else "", 0)
    print(("%d reports in %.1f s (%.0f/s, five frames per datagram) while the script ran" if daily else
           "%d datagrams of 65,000 bytes in %.1f s (%.0f/s)") % (offered["reports"], offered["seconds"],
                                                                  offered["rate"])
          + f", report lines written: {lines}, VmHWM {peak[name]} KiB")


def load_average():
    return " ".join(open("/proc/loadavg").read().split()[:3])


def ratio(a, b):
    return "%.2f" % (float(a) / float(b)) if a and b and float(a) > 0 and float(b) > 0 else "n/a"


# summary.txt: each figure beside its target and what it is measured against
# (measured None: n/a, and `against` says why), then every ladder rate on one
# line: ours (one frame), rsyslog and the CPU ratio, ours (five frames).
def summary(idle_pct, no_rsyslog):
    def figure(name, measured, target, met, against):
        out.append(FIGURE % (name, measured or "n/a", target, "n/a" if measured is None else "met" if met else "MISSED",
                             against))
    steps = {(r["server"] + r["frames"], int(r["asked_rate"])): r for r in rows if r["phase"] == "ladder"}
    cpu = {kind: steps.get((kind, 100000), {}).get("cpu_s_per_million") for kind in ("report_server1",
                                                                                    "report_server5", "rsyslog1")}
    bound = {}
    for r in rows:
        if r["phase"] != "ceiling" and r["generator_bound"] == "1":
            kind = "rsyslog" if r["server"] == "rsyslog" else f"ours {r['frames']} frame" + "s" * (r["frames"] != "1")
            bound.setdefault(kind, []).append(r["phase"] + ":" + r["asked_rate"])
    version = no_rsyslog or " ".join(sh("rsyslogd", "-v", stdout=subprocess.PIPE).stdout.split()[:2])
    out = [f"report server load benchmark, {time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())}, {CPUS} CPUs"
           + f" ({WHERE})" * PIN + f", load average at the end {load_average()}",
           f"ladder steps {STEP:g} s, bisection steps {SEARCH:g} s, {RUNS} bisection runs, a fresh server per step",
           f"reference: none ({no_rsyslog})" if no_rsyslog else f"reference: {version}, a private instance (bench/"
           "rsyslog_reference.conf.in: imudp with rcvbufSize 4m, omfile, one line per message) offered the same rates, "
           f"one syslog line of {TEXT_SIZE} bytes per datagram, on the daemon's CPU",
           f"generator ceiling (load_generator into a UDP socket nobody reads): 1 frame per datagram {ceiling[1]} "
           f"reports/s, 5 frames {ceiling[5]} reports/s" + f", syslog text lines {ceiling.get('text')} reports/s" *
           ("text" in ceiling),
           "generator-bound steps (asked at >= 90 % of the ceiling, or offered short of the rate): "
           + ("; ".join(f"{kind}: {' '.join(steps)}" for kind, steps in bound.items()) or "none"), "",
           FIGURE % ("figure", "measured", "target", "verdict", "measured against")]
    for frames, target, rest in ((1, 450000, "" if no_rsyslog else "; rsyslog %s/s (runs %s), ours ÷ rsyslog %s" % (
            best["text"], runs["text"], ratio(best[1], best["text"]))), (5, 2000000, "")):
        cap = round(0.9 * ceiling[frames])  # no server can be shown to hold more than the generator offers
        figure(f"loss-free rate (<= 0.1 % loss), {frames} frame{'s' * (frames > 1)} per datagram",
               f"{'' if brackets[frames][1] else '>='}{best[frames]}/s",
               f">= {cap}/s (90 % of ceiling)" if cap < target else f">= {target}/s", best[frames] >= min(cap, target),
               f"median of runs {runs[frames]}; generator ceiling {ceiling[frames]}/s{rest}")
    for frames, target, rest in ((1, 1.5, f"; rsyslog {cpu['rsyslog1']} s" * bool(cpu["rsyslog1"])), (5, 0.5, "")):
        value = cpu[f"report_server{frames}"]
        figure(f"CPU s per million reports at 100000/s, {frames} frame{'s' * (frames > 1)}", value and value + " s",
               f"<= {target} s", value and float(value) <= target, "no ladder step at 100000/s (BENCH_RATES)"
               if value is None else "utime+stime of the daemon per million delivered, ladder step" + rest)
    value = ratio(cpu["rsyslog1"], cpu["report_server1"])
    figure("CPU per million at 100000/s, rsyslog / ours, 1 frame", None if value == "n/a" else value, ">= 2.5",
           value != "n/a" and float(value) >= 2.5, f"rsyslog {cpu['rsyslog1']} s ÷ ours {cpu['report_server1']} s, "
           "same run, same CPU, same datagram size" if value != "n/a" else "no rsyslog reference: " + no_rsyslog
           if no_rsyslog else "no ladder step at 100000/s")
    figure("idle CPU (% of one core)", idle_pct + " %", "<= 0.1 %", float(idle_pct) <= 0.1,
           "scheduler time of all the daemon's threads over 10 s without reports")
    for name, kib, target, against in (
            ("normal operation", peak["normal"], 4, ", highest over the ladder, the bisections and idle"),
            ("flood of 65,000-byte datagrams", peak["flood_65000"], 4,
             f" after {FLOOD:g} s of them, as fast as the generator sends"),
            ("daily script running under a flood", peak.get("daily_flood"), 70, f"; the script held the log "
             f"{SCRIPT_SECONDS} s while {DAILY_FLOOD_RATE} reports/s (5 frames) came {DAILY_FLOOD_SECONDS} s")):
        figure("peak RSS, " + name, kib and f"{kib / 1024:.2f} MiB", f"<= {target} MiB", kib and kib <= target * 1024,
               "skipped: libfaketime is missing (apt-get install faketime)" if kib is None else
               "the daemon's VmHWM" + against)

    def group(kind, rate):  # * marks generator-bound
        r = steps.get((kind, rate))
        return "%10s %7s %7s %8s" % ((r["delivered_rate"] + "*" * (r["generator_bound"] == "1"), r["loss_pct"],
                                      r["cpu_s_per_million"], r["vmhwm_kib"]) if r else ("-",) * 4)
    heads = "%10s %7s %7s %8s" % ("deliv/s", "loss%", "s/Mrep", "HWM_KiB")
    out += ["", "per ladder step (s/Mrep: CPU seconds per million delivered reports; HWM: peak RSS):",
            "%9s | %-35s | %-35s | %-9s | %-35s" % ("", "ours, 1 frame per datagram", "rsyslog, 1 line per datagram",
                                                    "CPU/Mrep", "ours, 5 frames per datagram"),
            "%9s | %s | %s | %9s | %s" % ("asked/s", heads, heads, "rsys/ours", heads)]
    for rate in sorted({rate for _, rate in steps}):
        q = ratio(*(steps.get((kind, rate), {}).get("cpu_s_per_million") for kind in ("rsyslog1", "report_server1")))
        out.append("%9s | %s | %s | %9s | %s" % (rate, group("report_server1", rate), group("rsyslog1", rate),
                                                 "-" if q == "n/a" else q, group("report_server5", rate)))
    return out + ["(* generator-bound: asked at >= 90 % of the generator's ceiling, or offered short of it)"]


# bench.png: delivered against offered rate, and CPU per million reports,
# per ladder step; generator-bound steps circled, the ceilings dotted.
def plot():
    ladder_rows = [r for r in rows if r["phase"] == "ladder"]
    xmax = round(max(float(r["offered_rate"]) for r in ladder_rows) * 1.08 / 1000 + 1)
    series = [("ours1", "report_server1", "linespoints pt 7", LABELS[1][3], "ours, 1 frame per datagram"),
              ("ours5", "report_server5", "linespoints pt 5", LABELS[5][3], "ours, 5 frames per datagram"),
              ("rsyslog", "rsyslog1", "linespoints pt 9", LABELS["text"][3], "rsyslog, 1 line per datagram"),
              ("bound", "bound", "points pt 6 ps 2.5", "black", "generator-bound step")]
    points = {name: "".join(f"{float(r['offered_rate']) / 1000:g} {float(r['delivered_rate']) / 1000:g} "
                            f"{r['cpu_s_per_million']}\n" for r in ladder_rows
                            if kind in (r["server"] + r["frames"], "bound" if r["generator_bound"] == "1" else None))
              for name, kind, *_ in series}
    clauses = [", ".join(f'${name} using 1:{column} with {style} lc rgb "{color}" title "{title}"'
                         for name, _, style, color, title in series if points[name]) for column in (2, 3)]
    script = [f"${name} << EOD\n{data}EOD" for name, data in points.items()] + [
        'set terminal pngcairo size 1300,520 font ",10"', f'set output "{RESULTS}/bench.png"',
        'set datafile missing "nan"', "set grid", "set offsets 0, 0, graph 0.08, 0",
        'set multiplot layout 1,2 title "report server%s on loopback (ladder steps, fresh server per step; generator '
        'ceiling: %s reports/s)"' % (" and rsyslog" * ("text" in ceiling),
                                     ", ".join(f"{LABELS[key][1]} {rate}" for key, rate in ceiling.items()))]
    for key, rate in ceiling.items():
        _, _, name, color, x = *LABELS[key], rate / 1000
        if x <= xmax:
            script += [f'set arrow from {x:f}, graph 0 to {x:f}, graph 1 nohead dashtype 3 lc rgb "{color}"',
                       f'set label "generator ceiling, {name}" at {x:f}, graph 0.03 left rotate by 90 offset -0.6, 0 '
                       f'tc rgb "{color}"']
    script += ['set title "delivered against offered rate"', "set key top left",
               'set xlabel "offered, thousand reports/s"', 'set ylabel "delivered, thousand reports/s"',
               f"set xrange [0:{xmax}]", "set yrange [0:*]",
               f'plot {clauses[0]}, x with lines dashtype 2 lc "gray" title "no loss"',
               'set title "server CPU per million reports"', 'set ylabel "CPU seconds per million delivered reports"',
               "set key top right", "set yrange [0:*]", "plot " + clauses[1], "unset multiplot"]
    sh("gnuplot", input="\n".join(script) + "\n")


def measure(no_rsyslog):
    kinds = [1, 5] + ["text"] * (not no_rsyslog)
    print(f"\n=== the generator's ceiling: as fast as it can into a socket nobody reads, {STEP:g} s each ===")
    for kind in kinds:
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sink:  # never read: the kernel drops what comes
            sink.bind(("127.0.0.1", SINK_PORT))
            offered = offer(SINK_PORT, "max", 0, *LOAD[kind], count=1e12, limit=STEP)
        ceiling[kind] = round(offered["rate"])
        row("ceiling", "sink", *LOAD[kind], "max", ceiling[kind], "%d" % offered["reports"], *[""] * 10)
        print(f"{LABELS[kind][0]:28} {ceiling[kind]:11} reports/s (generator CPU {offered['cpu']:.3f} s over "
              f"{offered['seconds']:.1f} s)")
    print(f"\n=== load steps (each {STEP:g} s, fresh server per step) ===\n"
          f"load average: {load_average()}, {CPUS} CPUs" + f"; {WHERE}" * PIN)
    if no_rsyslog:
        print(f"(no rsyslog reference rows: {no_rsyslog})")
    ladder_and_search(kinds)
    print("\n=== idle daemon, 10 s ===")
    idle_pct = idle()
    print(f"\n=== flood of 65,000-byte datagrams, {FLOOD:g} s ===")
    flood("flood_65000")
    print(f"\n=== daily script ({SCRIPT_SECONDS} s) under a flood of {DAILY_FLOOD_RATE} reports/s ===")
    if harness.can_fake_clock():
        flood("daily_flood")
    else:
        print(f"skipped: libfaketime is missing ({harness.FAKETIME}; Debian package faketime, "
              "apt-get install faketime)")
    print("\n=== summary ===")
    with open(RESULTS + "/summary.txt", "w") as out:
        out.write("\n".join(summary(idle_pct, no_rsyslog)) + "\n")
    print(open(RESULTS + "/summary.txt").read(), end="")
    if not no_rsyslog:
        shutil.copy(RSYSLOG + "rsyslog.conf", RESULTS)
    plot()
    print(f"written: {RESULTS}/results.csv, {RESULTS}/summary.txt, {RESULTS}/bench.png")


def main():
    global harness
    sys.stdout.reconfigure(line_buffering=True)
    if os.getuid() != 0:
        sys.exit("run_bench.py: run as root (it uses private namespaces)")
    if re.match("/(run|home)(/|$)", RESULTS):  # the benchmark's own tmpfs there vanish with it
        sys.exit("run_bench.py: BENCH_RESULTS must lie outside /run and /home: " + RESULTS)
    sh("bash", "scripts/install-deps.sh", "bench")
    no_rsyslog = ("rsyslog left out by BENCH_SKIP_RSYSLOG=1" if setting("BENCH_SKIP_RSYSLOG") == "1" else
                  None if shutil.which("rsyslogd") else "rsyslogd is not installed: apt-get install rsyslog")
    sh("cmake", "-S", ".", "-B", BUILD, "-DCMAKE_BUILD_TYPE=Release", "-DREPORT_BUILD_TESTS=OFF",
       "-DREPORT_BUILD_BENCH=ON", stdout=subprocess.DEVNULL)
    sh("cmake", "--build", BUILD, "-j", str(CPUS), "--target", "report_server", "load_generator", "micro_bench")
    os.makedirs(RESULTS, exist_ok=True)
    if setting("BENCH_SKIP_MICRO") != "1":
        print("\n=== micro benchmarks (time per operation) ===")
        sh('set -o pipefail; build-bench/bench/micro_bench --benchmark_min_time=0.3 | tee "$0"',
           RESULTS + "/micro_bench.txt", shell=True, executable="/bin/bash")
    with open(RESULTS + "/results.csv", "w") as csv:
        csv.write(",".join(COLUMNS) + "\n")
    # The harness takes the daemon and its port from the environment.
    os.environ.update(REPORT_SERVER=BUILD + "/network/report_server", REPORT_PORT=str(PORT), REPORT_SEND="",
                      FAULT_INJECT="")
    sys.path.insert(0, TOP + "/tests/e2e")
    import harness
    harness.EndToEnd.setUpClass()  # this process in private namespaces, a subreaper
    os.sched_setaffinity(0, {CPUS - 1} if PIN else os.sched_getaffinity(0))  # the servers inherit it
    try:
        measure(no_rsyslog)
    finally:
        for pid in harness.children():
            os.kill(pid, signal.SIGKILL)


if __name__ == "__main__":
    main()
