"""Both programs joined by the virtual null-modem: what goes into portfeed's
standard input comes out of portwatch's standard output."""
import os
import random
import unittest

from harness import (NullModem, TIMEOUT, expect_ready, feed, finish, kill,
                     read_fd, rest_until, start)
from programs import PROGRAMS

FEED_READY = PROGRAMS["portfeed"].ready


class Link(unittest.TestCase):
    def cross(self, cable, data, expected, seconds=TIMEOUT):
        """Sends `data` through portfeed; returns what portwatch printed, at
        most len(expected) bytes, and checks both programs' other output."""
        watch = start("portwatch", {"ttyS0": cable.pc})
        self.addCleanup(kill, watch)
        expect_ready(watch, "portwatch")
        sender = start("portfeed", {"tts0": cable.board})
        self.addCleanup(kill, sender)
        writer = feed(sender, data)
        got = read_fd(watch.stdout.fileno(), len(expected), seconds)
        writer.join()
        self.assertEqual(finish(sender), (0, FEED_READY, b""))
        self.assertIsNone(watch.poll(), "portwatch ended")
        return got, watch

    def test_raw_cable_carries_every_byte(self):
        stream = random.Random(11).randbytes(1 << 20)
        cases = [
            ("text", b"Hello, board!\nSecond line.\n"),
            ("every byte value", bytes(range(256))),
            ("1 MiB random stream", stream),
        ]
        for what, data in cases:
            with self.subTest(what):
                cable = NullModem()
                self.addCleanup(cable.close)
                got, watch = self.cross(cable, data, data, seconds=300)
                self.assertEqual(len(got), len(data), "bytes printed")
                self.assertEqual(got, data, "bytes changed on the way")
                rest = rest_until(watch.stdout.fileno(), lambda marker: os.write(cable.hold, marker))
                self.assertEqual(rest, b"", "extra output")

    def test_cooked_cable_shows_driver_defaults(self):
        # With a new pty's defaults on both ends the board's end turns the
        # newline into CR LF (output processing), the PC's end turns the CR
        # into a second newline (input processing), and both ends echo what
        # they receive, so it comes back to the board's end as well (and
        # bounces on between the ends: any other byte sent could come back
        # between the bytes sent after it, a newline only brings newlines).
        cable = NullModem(cooked=True)
        self.addCleanup(cable.close)
        got, _ = self.cross(cable, b"\n", b"\n\n")
        self.assertEqual(got, b"\n\n")
        self.assertEqual(read_fd(cable.hold, 1), b"\n", "no echo from the PC's end")


if __name__ == "__main__":
    unittest.main()
