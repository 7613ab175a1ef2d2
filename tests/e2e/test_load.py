# The running daemon under hostile and heavy input: SIGTERM while reports
# pour in, a backlog and a flood it cannot take in, and bursts of datagrams
# of every kind. Everything goes to 127.0.0.1 inside the test's namespaces;
# every loop is bounded.
import itertools
import os
import random
import re
import signal
import socket
import time

from harness import LOG, PORT, Daemon, EndToEnd, drained, lines, read, report, send, wait_for, well_formed

LOSS = re.compile(r"datagrams dropped for a full receive buffer: (\d+), frames dropped for a bad length or CRC: (\d+)")
REPORT = re.compile(r"LEVEL (25[0-5]|2[0-4]\d|1\d\d|[1-9]?\d): \(.*\)")


def line_of(n):  # report n has level n % 8 and a text naming n
    return "LEVEL %d: (report %d)" % (n % 8, n)


def datagram_of(first, count):
    return b"".join(report(n % 8, "report %d" % n) for n in range(first, first + count))


class LoadTest(EndToEnd):
    # Checks that the log holds only whole stamped lines: the two start lines,
    # report lines, loss lines and "break by signal" last. Returns the report
    # lines and the sums of the loss lines' counts.
    def well_formed_log(self):
        log = read(LOG)
        self.assertTrue(well_formed(log), "a line without its stamp, or a partial last line")
        found = lines(log)[2:]
        losses = [tuple(map(int, m.groups())) for m in map(LOSS.fullmatch, found) if m]
        self.assertEqual([l for l in found if not REPORT.fullmatch(l) and not LOSS.fullmatch(l)],
                         ["break by signal"])
        self.assertEqual(found[-1], "break by signal")
        return [l for l in found if REPORT.fullmatch(l)], [sum(counts) for counts in zip((0, 0), *losses)]

    # SIGTERM while five-frame datagrams arrive faster than the daemon takes
    # them: the stop ends, with status 0 and no partial or garbled line.
    def test_sigterm_under_full_load_ends_cleanly(self):
        daemon = Daemon.started()
        if (flooder := os.fork()) == 0:  # until it is killed
            with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
                for datagram in itertools.cycle([datagram_of(n, 5) for n in range(0, 2560, 5)]):
                    s.sendto(datagram, ("127.0.0.1", PORT))
        time.sleep(1)  # the socket's queue is full by now
        self.assertEqual(daemon.stop(seconds=15), 0)
        os.kill(flooder, signal.SIGKILL)
        reports, _ = self.well_formed_log()
        self.assertGreater(len(reports), 10000, "the daemon was not under load")
        self.assertEqual(set(reports) - {line_of(n) for n in range(2560)}, set())

    # A daemon that cannot read (stopped) while datagrams arrive. 1,500
    # reports waiting when SIGTERM comes are all logged before the daemon
    # ends. 4,000 datagrams are more than the receive buffer takes: the
    # socket drops the rest, and the log says how many, without a later
    # datagram to bring the count, and also when SIGTERM comes at once;
    # every report sent is logged or counted.
    def test_a_stop_takes_the_backlog_and_every_loss_is_told(self):
        for sent, stop_at_once in ((1500, True), (20000, True), (20000, False)):
            daemon = Daemon.started()
            os.kill(daemon.pid, signal.SIGSTOP)
            send(*(datagram_of(n, 5) for n in range(0, sent, 5)))
            if stop_at_once:
                os.kill(daemon.pid, signal.SIGTERM)
            os.kill(daemon.pid, signal.SIGCONT)
            if not stop_at_once:
                self.assertTrue(wait_for(lambda: LOSS.search(read(LOG)), 5), "no loss line before the stop")
            self.assertEqual(daemon.wait_exit(10) if stop_at_once else daemon.stop(), 0)
            reports, (dropped, bad_frames) = self.well_formed_log()
            numbers = [int(line.rsplit(" ", 1)[1][:-1]) for line in reports]
            self.assertEqual(reports, [line_of(n) for n in sorted(set(numbers))], "in order, each once")
            self.assertEqual((len(reports) + 5 * dropped, bad_frames, dropped > 0), (sent, 0, sent > 1500))

    # The same 300 datagrams of every kind (reports, several frames, bad CRCs,
    # stray bytes at the end, a length that empties the reader, short frames,
    # random bytes, empty, 1,407 and 65,507 bytes), taken once a datagram a
    # pass (sent one by one) and once in bursts of one recvmmsg (sent while
    # the daemon is stopped): the same lines, the same counts of what was
    # dropped.
    def test_bursts_give_exactly_the_lines_of_single_datagrams(self):
        rng = random.Random(7)
        kinds = [lambda n: datagram_of(n, 1 + n % 5), lambda n: bytes([n % 256]) + datagram_of(n, 2)[1:],
                 lambda n: report(n % 256, bytes(rng.randrange(1, 256) for _ in range(rng.randrange(300)))),
                 lambda n: datagram_of(n, 2)[:-rng.randrange(1, 280)],  # stray bytes, or a frame cut short
                 lambda n: datagram_of(n, 1) + bytes([0, 0, 0xFF, 0xFF, 0, 1]) + datagram_of(n + 1, 1),
                 lambda n: rng.randbytes(rng.randrange(1500)), lambda n: report(n % 256, "short")[:6 + n % 20],
                 lambda n: bytes(1407), lambda n: rng.randbytes(65507)]
        sequence = [kinds[rng.randrange(len(kinds))](n) for n in range(300)]
        results = []
        for burst in (False, True):
            daemon = Daemon.started()
            if burst:
                os.kill(daemon.pid, signal.SIGSTOP)
                send(*sequence)
                os.kill(daemon.pid, signal.SIGCONT)
            for datagram in [] if burst else sequence:
                send(datagram)
                self.assertTrue(drained(settle=0))
            self.assertTrue(drained())
            self.assertEqual(daemon.stop(), 0)
            results.append(self.well_formed_log())
        self.assertGreater(len(results[0][0]), 150)
        self.assertGreater(results[0][1][1], 20, "bad frames counted")
        self.assertEqual(results[0], results[1])
