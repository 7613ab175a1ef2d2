# The daily script at 02:00 site time, under a faked clock.
#
# The daemon runs with its clock started at 01:59:58 site time (16:59:58
# UTC) and running at the normal rate, and the script sees the same clock:
# under libfaketime, or under clock_shift in the sanitizer builds. The
# script writes the UTC times it starts and ends at into the log, leaves a
# job running in the background and sleeps ten seconds. A numbered report
# goes out every 100 ms until it starts; then, while it runs, 150,000
# reports whose escaped lines take about a kilobyte each, more than the
# 64 MiB the daemon holds for it and its socket can take; then SIGTERM.
import calendar
import os
import re
import time
import unittest

from harness import (LOG, PORT, Daemon, EndToEnd, can_fake_clock, fake_clock, lines, read, read_link, report, send,
                     split, stamp_seconds, wait_for)

SCRIPT = """#!/bin/sh
echo "daily script start $(date -u +%T)" >&2
sleep 60 & echo $! >/home/job
sleep 10
echo "daily script end $(date -u +%T)" >&2
"""
LOSS = re.compile(r"datagrams dropped for a full receive buffer: (\d+), frames dropped for a bad length or CRC: 0")


def status(pid, field):  # a figure of /proc/PID/status, in kB
    return int(re.search(field + r":\s+(\d+)", read("/proc/%d/status" % pid)).group(1))


class DailyJobTest(EndToEnd):
    @unittest.skipUnless(can_fake_clock(), "libfaketime is not installed")
    def test_runs_at_two_site_time_holds_reports_and_a_stop_writes_them_all(self):
        os.makedirs("/home/disk1/etc/center")
        with open("/home/disk1/etc/center/rp.daily", "w") as script:
            script.write(SCRIPT)
        os.chmod("/home/disk1/etc/center/rp.daily", 0o755)
        daemon = Daemon.started(env=fake_clock("2026-12-05 16:59:58") + ["TZ=UTC"])
        started, ticks = time.monotonic(), 0
        while not os.path.exists("/home/job") and time.monotonic() - started < 10:
            send(report(1, "tick %d" % ticks))
            ticks += 1
            time.sleep(0.1)
        job = int(read("/home/job"))
        self.assertTrue(wait_for(lambda: read("/proc/%d/cmdline" % job).startswith("sleep")))
        # Of the daemon's descriptors the job inherited only the standard
        # streams: not the socket, not the pid file. (libfaketime, preloaded
        # into the job too, has descriptors of its own; one it closes while
        # the listing is read is skipped.)
        held = [read_link("/proc/%d/fd/%s" % (job, fd)) for fd in os.listdir("/proc/%d/fd" % job)]
        self.assertEqual([f for f in held if f.startswith("socket:") or f.endswith(".pid")], [])
        control = bytes(range(1, 32)) * 9  # 256 bytes, each written as four
        for n in range(0, 150000, 5):
            send(b"".join(report(2, b"%06d" % m + control[:250]) for m in range(n, n + 5)))
        self.assertNotIn("daily script end", read(LOG), "the reports must come while the script runs")
        signalled = time.monotonic()
        os.kill(daemon.pid, 15)
        # During the pause after the script the held lines are written, and
        # their memory goes back to the system.
        self.assertTrue(wait_for(lambda: "daily script end" in read(LOG), 20))
        self.assertTrue(wait_for(lambda: status(daemon.pid, "VmRSS") < status(daemon.pid, "VmHWM") - 48 * 1024, 5))
        self.assertEqual(daemon.wait_exit(30), 0)
        self.assertGreater(time.monotonic() - signalled, 10, "the script and the pause were cut short")
        self.assertNotIn(":%04X " % PORT, read("/proc/net/udp"), "the port is free for the next start")

        stamped, log = split(read(LOG)), lines(read(LOG))
        start = log.index("daily script start 17:00:00")  # 17:00 UTC is 02:00 site time
        self.assertTrue(log[start + 1].startswith("daily script end "), "a line inside the script's output")
        script_end = time.strptime("2026-12-06 02:" + log[start + 1][-5:], "%Y-%m-%d %H:%M:%S")
        before = [i for i, line in enumerate(log) if line.startswith("LEVEL 1: ")]
        self.assertEqual([log[i] for i in before], ["LEVEL 1: (tick %d)" % n for n in range(ticks)])
        self.assertTrue(all(" 01:59:" in stamped[i] and i < start for i in before[:-1]))
        # Every report of the flood is logged, in order and after the
        # script, with the stamp of its arrival, or counted as dropped.
        held = [i for i, line in enumerate(log) if line.startswith("LEVEL 2: ")]
        numbers = [int(log[i][10:16]) for i in held]
        self.assertEqual(numbers, sorted(set(numbers)))
        self.assertTrue(all(log[i] == "LEVEL 2: (%06d%s)" % (n, "".join("#%03o" % b for b in control[:250]))
                            for i, n in zip(held, numbers)))
        self.assertGreater(held[0], start + 1)
        dropped = sum(int(m.group(1)) for m in map(LOSS.fullmatch, log) if m)
        self.assertEqual((len(held) + 5 * dropped, dropped > 0), (150000, True))
        # The lines held during the script keep the moment they came, not
        # that of their writing after it; stamps of site time, as the end's.
        arrivals = [stamp_seconds(stamped[i]) for i in held]
        self.assertEqual(arrivals, sorted(arrivals))
        self.assertLess(arrivals[0], calendar.timegm(script_end) - 5)
        self.assertTrue(all(re.match(r"<.*> ", line) for line in stamped[:start] + stamped[start + 2:]))
