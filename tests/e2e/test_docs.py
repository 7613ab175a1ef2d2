# The documents against the system they describe. docs/wire-format.md marks
# what is checked here with "<!-- checked: NAME -->" on the line before it:
# "dump", a fenced block of "oooo: xx xx ...  | note" lines holding one
# datagram, and "reports", the table | frame | offset | serial | CRC | level |
# `text` | of what it holds; "stray", the table | datagram | level | `text` |
# `bytes after the frame` | `the line logged` | of datagrams that end in
# stray bytes. The dump must be the frames a writer makes for the stated
# reports (serials 1, 2, ...), and the real daemon must log exactly those
# reports from it, and then the stated lines from the stray datagrams, each
# sent alone. Every source path that a document names in backticks must
# exist.
import os
import re

from harness import LOG, Daemon, EndToEnd, deliver, drained, frame, read, record, report, reports, send

TOP = os.path.join(os.path.dirname(__file__), "..", "..")


def checked_part(name):  # the lines after the marker, up to a blank line
    text = read(os.path.join(TOP, "docs/wire-format.md"))
    return text.split("<!-- checked: %s -->\n" % name, 1)[1].split("\n\n", 1)[0].splitlines()


class DocsTest(EndToEnd):
    def test_the_example_datagrams_are_what_a_writer_sends_and_the_daemon_logs(self):
        dump = b""
        for line in checked_part("dump")[1:-1]:  # inside the fence
            offset, data = re.fullmatch(r"([0-9a-f]{4}):((?: [0-9a-f]{2}){1,16})(?:  \|.*)?", line).groups()
            self.assertEqual(int(offset, 16), len(dump), line)
            dump += bytes.fromhex(data)
        rows = [re.fullmatch(r"\| (\d+) \|[^|]*\|[^|]*\|[^|]*\| (\d+) \| `([^`]*)` \|", row).groups()
                for row in checked_part("reports")[2:]]
        self.assertEqual(dump, b"".join(frame(record(int(level), text), int(serial))
                                        for serial, level, text in rows))
        stray = [re.fullmatch(r"\| \d+ \| (\d+) \| `([^`]*)` \|(?: `([0-9a-f ]+)`)? \| `([^`]*)` \|", row).groups()
                 for row in checked_part("stray")[2:]]
        daemon = Daemon.started()
        deliver(dump)
        send(*(report(int(level), text) + bytes.fromhex(after or "") for level, text, after, _ in stray))
        self.assertTrue(drained())
        self.assertEqual(daemon.stop(), 0)
        self.assertEqual(reports(read(LOG)), ["LEVEL %s: (%s)" % (level, text) for _, level, text in rows] +
                         [logged for *_, logged in stray])

    def test_named_source_paths_exist(self):
        for document in ("README.md", "docs/design.md", "docs/wire-format.md"):
            paths = re.findall(r"`((?:network|tools|tests|docs|scripts|packaging|cmake|fuzz|examples|bench)"
                               r"/[^` ]*)`", read(os.path.join(TOP, document)))
            self.assertGreaterEqual(len(paths), 3, document)
            self.assertEqual([p for p in paths if not os.path.exists(os.path.join(TOP, p))], [], document)

