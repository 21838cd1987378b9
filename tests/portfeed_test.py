"""portfeed as a user runs it: messages, exit status, the port's settings and
the bytes on the wire."""
import os
import random
import signal
import termios as T
import threading
import unittest

from harness import Port, alive_after, finish, kill, read_until, start

READY = b"/dev/tts/0 open successfully.\nsuccessfully set\n"
FRAMING = T.CSIZE | T.PARENB | T.PARODD | T.CSTOPB | T.CBAUD | T.CBAUDEX


def feed(proc, data):
    """Writes `data` to the program's standard input and closes it, from a
    thread, so that the test can read the wire meanwhile."""
    def run():
        try:
            proc.stdin.write(data)
            proc.stdin.close()
        except BrokenPipeError:
            pass
    thread = threading.Thread(target=run)
    thread.start()
    return thread


class StartFailures(unittest.TestCase):
    def test_start_failures(self):
        port = Port()
        self.addCleanup(port.close)
        before = port.settings()
        cases = [
            # what, ports, close stdin, stdout, stderr, status
            ("missing device", {}, False, b"cannot open /dev/tts/0\n", b"", 255),
            ("not a terminal", {"tts0": "/dev/null"}, False,
             b"/dev/tts/0 open successfully.\nSet Parity Error\n",
             b"tcgetattr fd error!: Inappropriate ioctl for device\n"
             b"setup serial...: Inappropriate ioctl for device\n", 1),
            ("port on descriptor 0", {"tts0": port.path}, True,
             b"/dev/tts/0 open successfully.\nCan't Open Serial Port!\n", b"", 1),
        ]
        for what, ports, close_stdin, out, err, status in cases:
            with self.subTest(what):
                proc = start("portfeed", ports, close_stdin=close_stdin)
                self.assertEqual(finish(proc), (status, out, err))
        self.assertEqual(port.settings(), before, "settings touched with the port on descriptor 0")


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
        start_from = self.port.settings()
        start_from[2] = (start_from[2] & ~T.CSIZE) | T.CS8 | T.CSTOPB | T.PARODD
        start_from[0] &= ~T.INPCK
        start_from[4] = start_from[5] = T.B9600
        start_from[6][T.VTIME], start_from[6][T.VMIN] = 0, 1
        T.tcsetattr(self.port.slave, T.TCSANOW, start_from)
        before = self.port.settings()

        proc = self.start("--help", "/dev/ttyS0", "-b", "9600")
        self.assertTrue(alive_after(proc, 0.3), "ended while relaying")
        after = self.port.settings()
        checks = [
            ("input speed", after[4], T.B115200),
            ("output speed", after[5], T.B115200),
            ("character size", after[2] & T.CSIZE, T.CS8),
            ("PARENB", after[2] & T.PARENB, 0),
            ("CSTOPB", after[2] & T.CSTOPB, 0),
            ("PARODD (untouched)", after[2] & T.PARODD, T.PARODD),
            ("other control modes", after[2] & ~FRAMING, before[2] & ~FRAMING),
            ("INPCK", after[0] & T.INPCK, T.INPCK),
            ("other input modes", after[0] & ~T.INPCK, before[0] & ~T.INPCK),
            ("output modes", after[1], before[1]),
            ("local modes", after[3], before[3]),
            ("VTIME", after[6][T.VTIME], 150),
            ("VMIN", after[6][T.VMIN], 0),
            ("other control characters",
             [c for i, c in enumerate(after[6]) if i not in (T.VTIME, T.VMIN)],
             [c for i, c in enumerate(before[6]) if i not in (T.VTIME, T.VMIN)]),
        ]
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
