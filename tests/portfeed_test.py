"""portfeed as a user runs it: messages, exit status, the port's settings and
the bytes on the wire."""
import os
import random
import termios as T
import unittest

import harness
from harness import (Port, alive_after, check_start_failures, feed, finish, kill, line_checks,
                     read_until, start, unlike_the_line)

READY = harness.READY["portfeed"]


class StartFailures(unittest.TestCase):
    def test_start_failures(self):
        check_start_failures(self, "portfeed")


class Running(unittest.TestCase):
    def setUp(self):
        self.port = Port()
        self.addCleanup(self.port.close)

    def start(self, *args, **kwargs):
        proc = start("portfeed", {"tts0": self.port.path}, *args, **kwargs)
        self.addCleanup(kill, proc)
        self.assertEqual(read_until(proc.stdout, READY), READY, "start-up lines")
        return proc

    def test_start_prints_two_lines_sets_the_line_and_ignores_arguments(self):
        before = unlike_the_line(self.port, inpck=False)

        proc = self.start("--help", "/dev/ttyS0", "-b", "9600")
        self.assertTrue(alive_after(proc, 0.3), "ended while relaying")
        after = self.port.settings()
        checks = line_checks(before, after, inpck=True)
        for what, got, expected in checks:
            self.assertEqual(got, expected, what)
        feed(proc, b"").join()
        self.assertEqual(finish(proc), (0, b"", b""))

    def test_bytes_cross_exactly_and_input_end_ends_with_0(self):
        stream = random.Random(7).randbytes(200_000)
        cases = [
            # what, raw port, input, bytes on the wire
            ("every byte value", True, bytes(range(256)), bytes(range(256))),
            ("a long random stream", True, stream, stream),
            ("driver output processing kept", False, b"ab\n", b"ab\r\n"),
            ("empty input", True, b"", b""),
        ]
        for what, raw, data, wire in cases:
            with self.subTest(what):
                self.port = Port(raw=raw)
                self.addCleanup(self.port.close)
                proc = self.start()
                writer = feed(proc, data)
                got = self.port.read(len(wire))
                writer.join()
                self.assertEqual(finish(proc), (0, b"", b""))
                self.assertEqual(len(got), len(wire), "bytes on the wire")
                self.assertEqual(got, wire, "bytes changed on the wire")
                self.assertEqual(self.port.read(1, timeout=0.2), b"", "extra bytes on the wire")

    def test_port_hung_up_ends_with_1_and_a_message(self):
        proc = self.start()
        proc.stdin.write(b"a")
        proc.stdin.flush()
        self.assertEqual(self.port.read(1), b"a")
        os.close(self.port.master)
        proc.stdin.write(b"b")
        proc.stdin.close()
        self.assertEqual(finish(proc), (1, b"", b"/dev/tts/0: Input/output error\n"))

    def test_input_read_error_ends_with_1_and_a_message(self):
        directory = os.open("/", os.O_RDONLY)
        self.addCleanup(os.close, directory)
        proc = self.start(stdin=directory)
        self.assertEqual(finish(proc), (1, b"", b"standard input: Is a directory\n"))

    def test_interrupt_on_the_line_does_not_kill_it_without_a_terminal(self):
        self.port = Port(raw=False)
        self.addCleanup(self.port.close)
        proc = self.start(new_session=True)
        os.write(self.port.master, bytes([self.port.settings()[6][T.VINTR][0]]))
        self.assertTrue(alive_after(proc, 0.5), "killed by ^C on the line")
        feed(proc, b"x").join()
        self.assertEqual(finish(proc), (0, b"", b""))


if __name__ == "__main__":
    unittest.main()
