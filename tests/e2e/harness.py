# End-to-end harness: runs the real report_server binary the way an operator
# does, inside private namespaces, and reads back what it left.
#
# Each test process (CTest runs one per test) first enters its own network
# namespace with loopback up and its own mount namespace with fresh tmpfs on
# /run and /home: the daemon's pid file (/var/run is /run), its UDP port and
# the daily script's path are private to the test, so tests run in parallel
# and never touch the host's. The process is a child subreaper, so the
# detached daemon (a grandchild) is reparented to it and its exit status can
# be read. Every wait is bounded; tearDown kills whatever a test left running.
#
# The binaries under test come from the environment: REPORT_SERVER,
# REPORT_SEND and FAULT_INJECT (the LD_PRELOAD fault injector), and so does
# the daemon's port, REPORT_PORT.
#
import binascii
import calendar
import ctypes
import itertools
import os
import re
import signal
import socket
import struct
import subprocess
import time
import unittest

SERVER, SEND, INJECT = (os.environ[name] for name in ("REPORT_SERVER", "REPORT_SEND", "FAULT_INJECT"))
PORT = int(os.environ["REPORT_PORT"])
PID_FILE = "/var/run/vantor_report//%d.pid" % PORT
LOG_DIR, LOG = "/home/logs", "/home/logs/%d.log" % PORT
STAMP = re.compile(r"<\d{1,4}/\d{1,2}/\d{1,2} \d\d:\d\d:\d\d\.\d{3}> ")
FAKETIME = "/usr/lib/%s-linux-gnu/faketime/libfaketimeMT.so.1" % os.uname().machine
CLOCK_SHIFT = os.environ.get("CLOCK_SHIFT")  # set in the sanitizer builds: see clock_shift.cc
libc = ctypes.CDLL(None, use_errno=True)
ended = {}  # wait statuses of reaped children, by pid, not yet asked for
# How long a start may take: generous, because a loaded machine starts a
# sanitized daemon slowly; a daemon that hangs still fails.
START_SECONDS = 20


# Calls condition every `interval` seconds until it is true (then True) or
# time is up.
def wait_for(condition, seconds=5.0, interval=0.01):
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(interval)
    return True


# Reaps every ended child (the subreaper gets orphans too).
def reap():
    try:
        while (child := os.waitpid(-1, os.WNOHANG))[0] > 0:
            ended[child[0]] = os.waitstatus_to_exitcode(child[1])
    except ChildProcessError:
        pass


# The exit code of child `pid` (negative: killed by that signal), or None when it still runs after `seconds`.
def reap_until(pid, seconds):
    return ended.pop(pid) if wait_for(lambda: reap() or pid in ended, seconds) else None


def read_link(path):  # "" for a link that is not there
    try:
        return os.readlink(path)
    except FileNotFoundError:
        return ""


def read(path):  # "" for a file that is not there (or a process that has ended)
    try:
        with open(path, "rb") as f:
            return f.read().decode("latin-1")
    except (FileNotFoundError, ProcessLookupError):
        return ""


# One frame as peers send it: CRC-16/GENIBUS, length, serial, payload.
def frame(payload, serial=1):
    return struct.pack(">HHH", binascii.crc_hqx(payload, 0xFFFF) ^ 0xFFFF, len(payload), serial) + payload


# A 266-byte report record; `text` (bytes or str) is zero-padded.
def record(level, text, kind=192):
    text = text.encode("latin-1") if isinstance(text, str) else text
    return (bytes(8) + bytes([kind, level]) + text + bytes(256))[:266]


def report(level, text):  # the frame of a report record
    return frame(record(level, text))


def send(*datagrams):
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        for datagram in datagrams:
            s.sendto(datagram, ("127.0.0.1", PORT))


# send(), then waits until the daemon has taken them all.
def deliver(*datagrams):
    send(*datagrams)
    if not drained():
        raise AssertionError("the daemon's socket did not drain")


# Waits until the daemon's socket has nothing queued, then lets it log.
def drained(seconds=10, settle=0.2):
    # /proc/net/udp: "...:PORT 00000000:0000 07 TTTTTTTT:RRRRRRRR", port and
    # queued bytes in hex
    queue_empty = r":%04X 0{8}:0000 07 [0-9A-F]{8}:0{8}" % PORT
    done = wait_for(lambda: re.search(queue_empty, read("/proc/net/udp")), seconds)
    time.sleep(settle)
    return done


# The lines of a log with their stamps removed.
def lines(text):
    return [STAMP.sub("", line, 1) for line in split(text)]


# The lines of a text, split at newlines only (reports may hold other bytes
# Python counts as line breaks).
def split(text):
    return text[:-1].split("\n") if text.endswith("\n") else text.split("\n") if text else []


def reports(text):
    return [line for line in lines(text) if line.startswith("LEVEL ")]


# The moment a log line's stamp names, in seconds of site time.
def stamp_seconds(line):
    return calendar.timegm(time.strptime(STAMP.match(line).group(0), "<%Y/%m/%d %H:%M:%S.%f> "))


# Every line starts with a stamp, and the last one is whole.
def well_formed(text):
    return text.endswith("\n") and all(STAMP.match(line) for line in split(text))


# The environment with "NAME=value" entries added.
def environment(entries):
    # Libraries a test preloads come before a sanitizer runtime linked into the program.
    entries = ["ASAN_OPTIONS=verify_asan_link_order=0", *entries]
    return dict(os.environ, **dict(entry.split("=", 1) for entry in entries))


# Whether a clock can be faked: libfaketime is installed, or the sanitizer
# builds' clock_shift is there instead.
def can_fake_clock():
    return CLOCK_SHIFT is not None or os.path.exists(FAKETIME)


# The environment entries that start the wall clock of the daemon, and of
# the daily script it runs, at `start` ("YYYY-MM-DD HH:MM:SS" UTC); the
# clock then runs at the real rate.
def fake_clock(start):
    if CLOCK_SHIFT is not None:
        shift = calendar.timegm(time.strptime(start, "%Y-%m-%d %H:%M:%S")) - int(time.time())
        return ["LD_PRELOAD=" + CLOCK_SHIFT, "CLOCK_SHIFT_SECONDS=%d" % shift]
    return ["LD_PRELOAD=" + FAKETIME, "FAKETIME=@" + start, "FAKETIME_DONT_RESET=1"]


# Runs a program to its end: (exit code, standard error).
def run(program, *args, env=(), stdin=b""):
    done = subprocess.run([program, *args], input=stdin, capture_output=True, timeout=30,
                          env=environment(env))
    return done.returncode, done.stderr.decode("latin-1")


# report_server started as an operator starts it, and its end.
class Daemon:
    serials = itertools.count()

    def __init__(self):
        self.stderr_path, self.pid = "/run/daemon-%d.stderr" % next(Daemon.serials), None

    # Runs report_server: the exit code of the process started (its
    # caller's view). Its inherited standard error goes to stderr(). With
    # `shell`, a /bin/sh command line prepares the start first ("cd /home;",
    # "exec 2>&-;") and then execs the daemon.
    def run(self, *args, env=(), shell=""):
        return reap_until(self.spawn(*args, env=env, shell=shell), START_SECONDS)

    def spawn(self, *args, env=(), shell=""):  # run() without the wait: the pid of the process started
        err = os.open(self.stderr_path, os.O_WRONLY | os.O_CREAT | os.O_APPEND)
        argv = ["/bin/sh", "-c", shell + ' exec "$0" "$@"', SERVER, *args] if shell else [SERVER, *args]
        child = os.posix_spawn(argv[0], argv, environment(env), file_actions=[(os.POSIX_SPAWN_DUP2, err, 2)])
        os.close(err)
        return child

    @classmethod
    def started(cls, *args, env=()):  # a new Daemon, start()ed
        daemon = cls()
        daemon.start(*args, env=env)
        return daemon

    # run() with status 0, which says the daemon is ready; then takes its
    # pid. A start that fails fails the test, and says what the daemon said.
    def start(self, *args, env=()):
        args = args or ("-l", LOG_DIR)
        code = self.run(*args, env=env)
        if code != 0 or not self.find(0):
            raise AssertionError("report_server %s: exit code %s, no daemon; stderr %r" % (args, code, self.stderr()))

    # Waits until the detached daemon runs, and takes its pid: the
    # report_server this subreaper adopted that is in a session of its own
    # but does not lead it (the process between the two forks does).
    def find(self, seconds=START_SECONDS, interval=0.01):
        def detached(pid):
            try:
                named = read("/proc/%d/comm" % pid) == "report_server\n"
                return named and os.getsid(pid) not in (pid, os.getsid(0))
            except ProcessLookupError:
                return False

        def adopted():
            self.pid = next(filter(detached, children()), None)
            return self.pid is not None
        return wait_for(adopted, seconds, interval)

    def stop(self, sig=signal.SIGTERM, seconds=10):
        os.kill(self.pid, sig)
        return self.wait_exit(seconds)

    # The daemon's exit code; None, and it is killed, when it does not end.
    def wait_exit(self, seconds):
        code = reap_until(self.pid, seconds)
        if code is None:
            os.kill(self.pid, signal.SIGKILL)
        return code

    def stderr(self):  # what reached the daemon's inherited standard error
        return read(self.stderr_path)


# Base of the end-to-end tests: private namespaces, nothing left running.
class EndToEnd(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        if libc.unshare(0x40000000 | 0x00020000) != 0:  # CLONE_NEWNET | CLONE_NEWNS
            raise OSError(ctypes.get_errno(), "unshare (the tests run as root)")
        subprocess.run("mount --make-rprivate / && mount -t tmpfs -o mode=0755 tmpfs /run && "
                       "mount -t tmpfs -o mode=0755 tmpfs /home && ip link set lo up", shell=True, check=True)
        libc.prctl(36, 1)  # PR_SET_CHILD_SUBREAPER

    def tearDown(self):
        for pid in children():
            os.kill(pid, signal.SIGKILL)
        reap()


# The pids of this process's children that have not ended.
def children():
    reap()
    # "/proc/PID/stat": "PID (name) STATE PPID ..."
    stats = {int(p): read("/proc/%s/stat" % p).rsplit(") ", 1)[-1].split()
             for p in os.listdir("/proc") if p.isdigit()}
    return [pid for pid, fields in stats.items() if fields[1:2] == [str(os.getpid())] and fields[0] != "Z"]
