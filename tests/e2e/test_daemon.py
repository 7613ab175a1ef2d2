# The real daemon from its command line to its end: usage, detaching, pid
# file, log file, the report lines of a table of datagrams and of report_send,
# its signals, a second start, hostile files, and the failures it reports.
import os
import random
import shutil
import signal
import socket
import subprocess
import time

from harness import (INJECT, LOG, LOG_DIR, PID_FILE, PORT, SEND, SERVER, Daemon, EndToEnd, deliver, drained,
                     frame, lines, read, reap_until, record, report, reports, run, send, wait_for, well_formed)

RUN_DIR = "/var/run/vantor_report"
LOSS = "datagrams dropped for a full receive buffer: %d, frames dropped for a bad length or CRC: %d"
USAGE = ["Usage: %s [options]" % SERVER, "", "\t-l NAME, --logdir=NAME", "\t\tspecify logdir (default is )",
         "\t-v, --verbose", "\t\tstart with verbose mode", "\t-h, --help", "\t\tshow this message", ""]

# Datagrams, sent as they stand, and the report lines they give.
packed = b"\x55" * 8 + record(5, "ok")[8:]  # header bytes the server does not read
bad_crc = bytes([report(9, "bad crc")[0] ^ 1]) + report(9, "bad crc")[1:]
oversize = report(1, "in a datagram of 1407 bytes")
WIRE = [
    ([frame(packed) + frame(record(1, "type 193", 193)) + bad_crc + report(2, "after the bad frame")],
     ["LEVEL 5: (ok)", "LEVEL 2: (after the bad frame)"]),
    ([report(255, "x" * 256) + report(3, b"cut\0here")], ["LEVEL 255: (%s)" % ("x" * 256), "LEVEL 3: (cut)"]),
    ([report(4, "%s%n%d")], ["LEVEL 4: (%s%n%d)"]),
    # Short frames: the header alone with type 192; three text bytes.
    ([report(77, "a long earlier report"), frame(record(0, "")[:9]), frame(record(6, "abcdef")[:13])],
     ["LEVEL 77: (a long earlier report)", "LEVEL 0: ()", "LEVEL 6: (abc)"]),
    # A header claiming 1000 bytes empties the reader; datagrams that are
    # empty or longer than 1406 bytes are dropped whole.
    ([report(1, "kept") + bytes([0, 0, 3, 232, 0, 1]) + report(2, "lost behind it"), b"",
      oversize.ljust(1407, b"\0"), report(3, "read again")], ["LEVEL 1: (kept)", "LEVEL 3: (read again)"]),
    # Control bytes are escaped, so a report cannot forge a line; 8-bit ones are not.
    ([report(2, "a\nb\rc\x1b[31md\x7fe\x80\xff")], ["LEVEL 2: (a#012b#015c#033[31md#177e\x80\xff)"]),
    # Stray bytes of one peer stay out of the next peer's datagram.
    ([b"\x01", report(1, "from peer B"), report(2, "peer B again") + b"\x00\x00\x01", report(3, "peer C")],
     ["LEVEL 1: (from peer B)", "LEVEL 2: (peer B again)", "LEVEL 3: (peer C)"]),
]

# report_send against the daemon: arguments, input, fault, and what it logs, says and exits with.
# Host names are looked up in HOSTS alone, where "many" has 150 aliases: an
# entry too large for a 1 KiB resolver buffer, which glibc's reading of the
# file meets for unknown names too.
E, HELP = "report_send: ", "usage: report_send [-H host] [-p port] [-L level] [TEXT...]\n"
HOSTS = "127.0.0.1 localhost\n127.0.0.1 many %s\n" % " ".join("alias%d.example" % n for n in range(150))
SENDS = [
    (["-L", "7", "disk full", "", "-L", "9"], "", "", ["LEVEL 7: (disk full)", "LEVEL 7: ()", "LEVEL 7: (-L)",
                                                      "LEVEL 7: (9)"], "", 0),
    (["-H", "localhost", "-L", "255", "--", "-L"], "", "", ["LEVEL 255: (-L)"], "", 0),
    # Five reports to a datagram; sends the socket refuses are retried.
    (list("1234567"), "", "FAULT_SENDTO_EAGAIN=3", ["LEVEL 0: (%d)" % n for n in range(1, 8)], "", 0),
    (["-L", "3"], "a\n\n b \nno newline", "", ["LEVEL 3: (a)", "LEVEL 3: ()", "LEVEL 3: ( b )",
                                              "LEVEL 3: (no newline)"], "", 0),
    (["a" * 258], "", "", ["LEVEL 0: (%s)" % ("a" * 256)],
     E + "warning: text 1 is 258 bytes long, cut to 256\n", 0),
    ([], "a" * 256 + "\n", "", ["LEVEL 0: (%s)" % ("a" * 256)], "", 0),
    # A NUL ends a report's text: the line is cut there, as a long one is, and said.
    ([], "cut\0here\n" + "b" * 300 + "\0\n", "", ["LEVEL 0: (cut)", "LEVEL 0: (%s)" % ("b" * 256)],
     E + "warning: line 1 holds a NUL byte after 3 bytes, cut there\n" +
     E + "warning: line 2 is 301 bytes long, cut to 256\n", 0),
    (["-L", "256", "x"], "", "", [], E + "bad level '256': must be 0 to 255\n", 2),
    (["-x", "x"], "", "", [], E + "unknown option '-x'\n" + HELP, 2),
    (["--bogus", "x"], "", "", [], E + "unknown option '--bogus'\n" + HELP, 2),
    (["-p", "65536", "x"], "", "", [], E + "bad port '65536': must be 1 to 65535\n", 2),
    (["-L"], "", "", [], E + "option '-L' needs an argument\n" + HELP, 2),
    (["-H", "many", "-L", "1", "to a host of many names"], "", "", ["LEVEL 1: (to a host of many names)"], "", 0),
    (["-H", "nohost.invalid", "x"], "", "", [], E + "unknown host 'nohost.invalid'\n", 2),
    (["-H", "many", "x"], "", "FAULT_RESOLVER=1", [],
     E + "looking up host 'many' failed: Host name lookup failure\n", 1),
    (["x"], "", "FAULT_SENDTO=1", [], E + "sending to 127.0.0.1 port %d failed\n" % PORT, 1),
]


def mode(path):
    return os.stat(path).st_mode & 0o7777


class DaemonTest(EndToEnd):
    def test_usage_and_a_refused_log_directory_end_before_anything_is_created(self):
        daemon = Daemon()
        self.assertEqual(daemon.run("-x"), 0)
        complaint, usage = daemon.stderr().split("\n", 1)  # getopt's complaint comes first
        self.assertIn("invalid option", complaint)
        self.assertTrue(well_formed(usage))
        self.assertEqual(lines(usage), USAGE)
        longest = "/home/" + "d" * 239  # "%s/PORT.log" in 256 bytes: 245 characters
        refused = Daemon()
        self.assertEqual(refused.run("-l", longest + "d" * 60), 1)
        self.assertIn("log directory too long: 305 characters, at most 245 fit", refused.stderr())
        self.assertFalse(os.path.exists(RUN_DIR))
        Daemon().start("-l", longest)
        self.assertTrue(os.path.exists(longest + LOG[len(LOG_DIR):]))

    def test_logs_the_reports_of_datagrams_and_of_report_send_then_stops_on_sigterm(self):
        os.mkdir(LOG_DIR, 0o700)
        with open(LOG, "w") as f:
            f.write("line of an earlier run\n")
        daemon = Daemon()
        daemon.start("-v", "--logdir=/home/logs/")
        self.assertEqual(read(PID_FILE), str(daemon.pid))  # no newline
        self.assertNotIn(os.getsid(daemon.pid), (os.getsid(0), daemon.pid))  # after setsid, fork
        self.assertEqual(os.readlink("/proc/%d/cwd" % daemon.pid), "/")
        self.assertEqual((mode(RUN_DIR), mode(LOG_DIR)), (0, 0o700))  # made; kept
        expected = []
        for datagrams, logged in WIRE:
            for datagram in datagrams:  # each from a peer of its own
                send(datagram)
            self.assertTrue(drained())
            expected += logged
        for name, text in (("hosts", HOSTS), ("nsswitch.conf", "hosts: files\n")):
            with open("/run/" + name, "w") as f:
                f.write(text)
            subprocess.run(["mount", "--bind", "/run/" + name, "/etc/" + name], check=True)
        for args, stdin, fault, logged, said, status in SENDS:
            code, err = run(SEND, *args, env=["LD_PRELOAD=" + INJECT, fault] if fault else [],
                            stdin=stdin.encode())
            self.assertEqual((code, err[err.find(E):] if E in err else err), (status, said), args)
            expected += logged
        self.assertTrue(subprocess.run([SEND, "-h"], capture_output=True).stdout.startswith(HELP.encode()))
        self.assertTrue(drained())
        self.assertEqual(daemon.stop(), 0)
        self.assertFalse(os.path.exists(PID_FILE))
        log = read(LOG)
        self.assertTrue(well_formed(log))
        self.assertEqual(lines(log)[:2], ["Server Name = " + socket.gethostname(), "0.0.0.0"])
        self.assertEqual(reports(log), expected)
        # The first bad frame is told at once, the rest (a minute later, or)
        # at the stop, before the line that ends the log.
        self.assertEqual([l for l in lines(log) if l.startswith("datagrams dropped")],
                         [LOSS % (0, n) for n in (1, 4)])
        self.assertEqual(lines(log)[-2:], [LOSS % (0, 4), "break by signal"])
        self.assertEqual(daemon.stderr(), "", "nothing reaches the inherited stream")

    # Without a log directory, or with one that cannot hold the log (a file
    # in its place, a FIFO at the log's path, refused without blocking),
    # lines go to the inherited standard error; SIGINT stops the daemon as
    # SIGTERM does. A symbolic link planted at the pid file's place is not
    # followed.
    def test_without_a_usable_log_directory_lines_go_to_the_inherited_stream(self):
        open("/home/file", "w").close()
        os.makedirs(RUN_DIR)
        os.makedirs("/home/fifo")
        os.mkfifo("/home/fifo/%d.log" % PORT)
        os.symlink("/home/file", PID_FILE)
        for args, sig, refusal in ((("-v",), signal.SIGTERM, None), (("-l", ""), signal.SIGINT, None),
                                   (("-l", "/home/file"), signal.SIGINT, ": Not a directory\n"),
                                   (("-l", "/home/fifo"), signal.SIGTERM, ": Invalid argument\n")):
            daemon = Daemon()
            daemon.start(*args)
            self.assertEqual(daemon.stop(sig), 0)
            text = daemon.stderr()
            self.assertTrue(well_formed(text), text)
            self.assertEqual(lines(text)[-1], "break by signal")
            self.assertEqual(text.count(": Too many levels of symbolic links\n"), 1, text)
            self.assertEqual(text.count("> Error: "), 1 + (refusal is not None), text)
            self.assertTrue(refusal is None or refusal in text, text)
            os.symlink("/home/file", PID_FILE)  # the stop removed it
        self.assertEqual(read("/home/file"), "")

    # SIGTERM at a random moment of start-up, 200 times, as soon as the
    # daemon has detached and before its start has returned: every daemon
    # gets ready, then ends cleanly, with "break by signal" and without its
    # pid file, and its start ends with status 0.
    def test_sigterm_at_any_moment_of_start_up_stops_the_daemon_cleanly(self):
        rng = random.Random(1)
        for attempt in range(200):
            daemon = Daemon()
            start = daemon.spawn("-l", LOG_DIR)
            self.assertTrue(daemon.find(interval=0))  # as soon as it has detached
            time.sleep(rng.random() * 0.003)
            self.assertEqual(daemon.stop(), 0, attempt)
            self.assertEqual(reap_until(start, 5), 0, attempt)
            self.assertFalse(os.path.exists(PID_FILE), attempt)
            self.assertEqual(lines(read(LOG))[-1], "break by signal", attempt)

    # A start returns once the daemon is ready: its pid is in the pid file
    # and a report sent at once is logged, 20 starts of 20, whether it is
    # started with a relative log directory, with its standard streams
    # closed (the lock and the socket keep their descriptors: a second start
    # is refused and a SIGHUP leaves the socket alone) or with a descriptor
    # left open (it never reaches the daemon).
    def test_every_start_is_ready_when_it_returns(self):
        starts = ["", "cd /home;", "exec <&- >&- 2>&-;", "exec 7>&%d;"]
        for n in range(20):
            shell, directory = starts[n % len(starts)], "logs" if n % len(starts) == 1 else LOG_DIR
            readable, writable = os.pipe()
            os.set_inheritable(writable, True)
            os.set_blocking(readable, False)
            daemon = Daemon()
            self.assertEqual(daemon.run("-l", directory, shell=shell.replace("%d", str(writable))), 0, shell)
            os.close(writable)
            self.assertTrue(daemon.find(0))
            self.assertEqual(read(PID_FILE), str(daemon.pid), shell)
            send(report(1, "start %d" % n))
            if "<&-" in shell:
                self.assertEqual(Daemon().run("-l", LOG_DIR), 1)
                os.kill(daemon.pid, signal.SIGHUP)
                send(report(2, "after SIGHUP"))
            self.assertTrue(drained())
            self.assertEqual(os.read(readable, 1), b"", "a descriptor left open reached the daemon")
            os.close(readable)
            self.assertEqual(daemon.stop(), 0)
            self.assertEqual(len(reports(read(LOG))), 1 + ("<&-" in shell), shell)
            self.assertEqual(reports(read(LOG))[0], "LEVEL 1: (start %d)" % n, shell)

    # A second start finds the running daemon by its pid file's lock, by its
    # log when its run directory was cleaned away, by its port otherwise:
    # each ends with status 1 before it touches the running daemon's log,
    # and leaves no pid file of its own.
    def test_a_start_never_destroys_a_running_daemon(self):
        daemon = Daemon.started()
        deliver(*(report(1, "before %d" % n) for n in range(50)))
        self.assertTrue(wait_for(lambda: len(reports(read(LOG))) == 50))
        written, pid_file = read(LOG), str(daemon.pid)
        for args, clean_up, said in ((("-l", LOG_DIR), False, "already running as pid %d\n" % daemon.pid),
                                     (("-l", LOG_DIR), True, "already running: another report_server writes " + LOG),
                                     (("-l", "/home/other"), False, "during start-up; see /home/other/%d.log" % PORT),
                                     ((), False, ": Address already in use\n")):
            if clean_up:
                shutil.rmtree(RUN_DIR)
                pid_file = ""
            second = Daemon()
            self.assertEqual(second.run(*args), 1, args)
            self.assertIn(said, second.stderr(), args)
            self.assertEqual(read(PID_FILE), pid_file, args)
            self.assertTrue(read(LOG).startswith(written), args)
        self.assertIn(": Address already in use", read("/home/other/%d.log" % PORT))
        deliver(report(2, "after"))
        self.assertEqual(daemon.stop(), 0)
        self.assertEqual(reports(read(LOG)), ["LEVEL 1: (before %d)" % n for n in range(50)] + ["LEVEL 2: (after)"])

    # Rotation: the log is renamed, then SIGHUP makes the daemon open a new
    # one; each line lands in one file or the other, whole. A log directory
    # cleaned away is made again. A log that still cannot be opened (a
    # directory in its place) leaves the lines in the file the daemon had,
    # which says why.
    def test_sighup_reopens_a_renamed_log(self):
        daemon = Daemon.started()
        send(*(report(1, "before %d" % n) for n in range(100)))
        os.rename(LOG, LOG + ".1")
        deliver(*(report(1, "between %d" % n) for n in range(100)))
        for clean_up, when in ((lambda: None, "after"), (lambda: os.rename(LOG_DIR, "/home/gone"), "recreated"),
                               (lambda: os.rename(LOG, LOG_DIR + "/old") or os.mkdir(LOG), "kept")):
            clean_up()
            os.kill(daemon.pid, signal.SIGHUP)
            self.assertTrue(wait_for(lambda: os.path.exists(LOG)))
            deliver(*(report(1, "%s %d" % (when, n)) for n in range(100)))
        self.assertEqual(daemon.stop(), 0)
        files = [read(path) for path in ("/home/gone/%d.log.1" % PORT, "/home/gone/%d.log" % PORT, LOG_DIR + "/old")]
        self.assertTrue(all(map(well_formed, files)))
        self.assertEqual([reports(text) for text in files],
                         [["LEVEL 1: (%s %d)" % (when, n) for when in whens for n in range(100)]
                          for whens in (("before", "between"), ("after",), ("recreated", "kept"))])
        self.assertEqual(mode(LOG_DIR), 0)
        kept = lines(files[2])
        self.assertTrue(kept[kept.index("LEVEL 1: (kept 0)") - 1].startswith("Error: network/system/net_logging.cc("))

    # A report is in the file within a second when it comes to an idle
    # daemon, within a second and a half amid a steady stream of 2,000 a
    # second, and a hard kill a second after the last report loses nothing.
    def test_reports_reach_the_file_within_a_second(self):
        daemon = Daemon.started()
        time.sleep(1.5)
        streamed = 4000
        for kind, bound in (("idle", 1.0), ("amid a stream", 1.5)):
            if kind != "idle" and (streamer := os.fork()) == 0:
                begun = time.monotonic()
                for n in range(streamed):
                    send(report(5, "stream %d" % n))
                    time.sleep(max(0.0, begun + n / 2000 - time.monotonic()))
                os._exit(0)
            time.sleep(0.5)
            sent = time.monotonic()
            send(report(3, kind))
            self.assertTrue(wait_for(lambda: "LEVEL 3: (%s)" % kind in read(LOG), bound + 1), kind)
            self.assertLess(time.monotonic() - sent, bound, kind)
        self.assertEqual(reap_until(streamer, 10), 0)
        send(report(4, "a second before the kill"))
        time.sleep(1.1)
        self.assertEqual(daemon.stop(signal.SIGKILL), -signal.SIGKILL)
        self.assertEqual(reports(read(LOG)).count("LEVEL 4: (a second before the kill)"), 1)
        self.assertEqual(len([line for line in reports(read(LOG)) if line.startswith("LEVEL 5: ")]), streamed)

    # Faults the injector makes, and what the daemon does about each: whether
    # it gets ready (otherwise its start ends with status 1, says where the
    # reason is, and leaves no pid file), how many of two reports it logs
    # (None: as many as came before the socket broke), a line that must be
    # there, and the "break by" line that ends its log.
    def test_failures_are_reported_and_handled(self):
        for fault, starts, logged, line, last in (
                # A broken socket: "break by error", then the normal teardown.
                ("FAULT_RECV=2", True, None, "Error: network/system/net_dgram_io.cc(", "break by error"),
                # A failed lock call is logged with its place; the work goes on.
                ("FAULT_RWLOCK_WRLOCK=3", True, 2,
                 "exclusive lock: failed at network/server/net_report_server.cc(",
                 "break by signal"),
                # A lock the system refuses ends the daemon at once; a thread
                # that cannot be started, in order.
                ("FAULT_RWLOCK_INIT=2", False, 0, "Error: network/server/net_report_server.cc(", None),
                ("FAULT_SOCKET=1", False, 0, ": Too many open files", None),
                # Standard input or output that cannot be pointed at /dev/null
                # is reported on the inherited standard error; the log goes on.
                ("FAULT_FREOPEN=1", True, 2, "/net_logging.cc(", "break by signal"),
                ("FAULT_FREOPEN=2", True, 2, "/net_logging.cc(", "break by signal"),
                ("FAULT_PTHREAD_CREATE=1", False, 0, "pthread_create: failed", None),
                ("FAULT_PTHREAD_CREATE=2", False, 0, "pthread_create: failed", None),
                ("FAULT_PTHREAD_CREATE=2 FAULT_PTHREAD_JOIN=1", False, 0, "pthread_join: failed", None),
                # A join that fails is reported; the stop goes on.
                ("FAULT_PTHREAD_JOIN=1", True, 2, "pthread_join: failed", "break by signal")):
            daemon, env = Daemon(), ["LD_PRELOAD=" + INJECT, *fault.split()]
            if starts:
                daemon.start(env=env)
                send(report(1, "one"), report(2, "two"))
            else:
                self.assertEqual(daemon.run("-l", LOG_DIR, env=env), 1, fault)
                self.assertIn("the daemon ended during start-up; see %s\n" % LOG, daemon.stderr(), fault)
                self.assertFalse(os.path.exists(PID_FILE), fault)
            if last == "break by signal":
                self.assertTrue(drained())
                self.assertEqual(daemon.stop(), 0)
            elif starts:
                self.assertEqual(daemon.wait_exit(10), 0, fault)
            log = lines(read(LOG))
            self.assertIn(len(reports(read(LOG))), (0, 1, 2) if logged is None else (logged,), fault)
            self.assertTrue(any(line in l for l in log + lines(daemon.stderr())), fault)
            self.assertEqual(log[-1] if any(l.startswith("break by") for l in log) else None, last, fault)
