# The daily script at 02:00 site time, under a faked clock.
#
# The daemon runs with its clock started at 01:59:58 site time (16:59:58
# UTC) and running at the normal rate, and the script sees the same clock:
# under libfaketime, or under clock_shift in the sanitizer builds. The script writes the UTC time it
# starts at into the log, leaves a job running in the background, sleeps ten
# seconds and writes an end mark. A numbered report goes out every 100 ms
# until it starts, then 5,000 reports while it runs, then SIGTERM.
import os
import re
import time
import unittest

from harness import (LOG, PORT, Daemon, EndToEnd, can_fake_clock, fake_clock, lines, read, read_link, report, send,
                     split, wait_for)

SCRIPT = """#!/bin/sh
echo "daily script start $(date -u +%T)" >&2
sleep 60 & echo $! >/home/job
sleep 10
echo 'daily script end' >&2
"""


class DailyJobTest(EndToEnd):
    @unittest.skipUnless(can_fake_clock(), "libfaketime is not installed")
    def test_runs_at_two_site_time_holds_reports_and_a_stop_writes_them_all(self):
        os.makedirs("/home/disk1/etc/center")
        with open("/home/disk1/etc/center/rp.daily", "w") as script:
            script.write(SCRIPT)
        os.chmod("/home/disk1/etc/center/rp.daily", 0o755)
        daemon = Daemon()
        daemon.start(env=fake_clock("2026-12-05 16:59:58") + ["TZ=UTC"])
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
        for n in range(0, 5000, 5):
            send(b"".join(report(2, "queued %d" % m) for m in range(n, n + 5)))
            time.sleep(0.001)
        self.assertNotIn("daily script end", read(LOG), "the reports must come while the script runs")
        signalled = time.monotonic()
        self.assertEqual(daemon.stop(seconds=40), 0)
        self.assertGreater(time.monotonic() - signalled, 10, "the script and the pause were cut short")
        self.assertNotIn(":%04X " % PORT, read("/proc/net/udp"), "the port is free for the next start")

        stamped, log = split(read(LOG)), lines(read(LOG))
        start = log.index("daily script start 17:00:00")  # 17:00 UTC is 02:00 site time
        self.assertEqual(log[start + 1], "daily script end", "a line inside the script's output")
        before = [i for i, line in enumerate(log) if line.startswith("LEVEL 1: ")]
        self.assertEqual([log[i] for i in before], ["LEVEL 1: (tick %d)" % n for n in range(ticks)])
        self.assertTrue(all(" 01:59:" in stamped[i] and i < start for i in before[:-1]))
        self.assertEqual([line for line in log[start + 2:] if line.startswith("LEVEL 2: ")],
                         ["LEVEL 2: (queued %d)" % n for n in range(5000)])
        self.assertTrue(all(re.match(r"<.*> ", line) for line in stamped[:start] + stamped[start + 2:]))
