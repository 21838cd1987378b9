"""portfeed as a user runs it: messages, exit status, the port's settings and
the bytes on the wire."""
import contextlib
import errno
import fcntl
import os
import random
import signal
import subprocess
import threading
import termios as T
import unittest

import harness
from harness import Port, feed, finish, kill, read_fd, start, wait_blocked
from programs import PROGRAMS

READY = PROGRAMS["portfeed"].ready


class Running(unittest.TestCase):
    def setUp(self):
        self.port = Port()
        self.addCleanup(self.port.close)

    def start(self, *args, **kwargs):
        proc = start("portfeed", {"tts0": self.port.path}, *args, **kwargs)
        self.addCleanup(kill, proc)
        harness.expect_ready(proc, "portfeed")
        return proc

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
                got = self.port.read(len(wire), proc)
                writer.join()
                self.assertEqual(finish(proc), (0, b"", b""))
                self.assertEqual(len(got), len(wire), "bytes on the wire")
                self.assertEqual(got, wire, "bytes changed on the wire")
                self.assertEqual(self.port.rest(), b"", "extra bytes on the wire")

    def test_closed_or_odd_standard_streams_keep_the_line_clean(self):
        data = b"typed at the board\n"
        directory = os.open("/", os.O_RDONLY)
        self.addCleanup(os.close, directory)
        no_null = "umount /dev/null && rm /dev/null"
        cases = [
            # what, closed descriptors, standard input, status, bytes on the wire,
            # shell command run before it, standard error
            ("standard output closed", (1,), "pipe", 0, data, "", b""),
            ("standard error closed, input unreadable", (2,), directory, 1, b"", "", b""),
            ("both closed", (1, 2), "pipe", 0, data, "", b""),
            ("non-blocking empty input, data later", (), "non-blocking", 0, data, "", b""),
            ("standard output closed, no /dev/null to give it", (1,), "pipe", 1, b"", no_null,
             harness.perror("/dev/null", errno.ENOENT)),
        ]
        # qemu's -strace log takes the lowest free descriptor: a closed standard
        # output is not closed for the program then.
        if harness.WRAPPER_TAKES_A_DESCRIPTOR:
            cases = [case for case in cases if not case[5]]
        for what, closed, stdin, status, wire, before, err in cases:
            with self.subTest(what):
                self.port = Port()
                self.addCleanup(self.port.close)
                writer = None
                if stdin == "non-blocking":
                    stdin, writer = os.pipe()
                    fcntl.fcntl(stdin, fcntl.F_SETFL, os.O_NONBLOCK)
                proc = start("portfeed", {"tts0": self.port.path}, closed=closed,
                             stdin=subprocess.PIPE if stdin == "pipe" else stdin, before=before)
                self.addCleanup(kill, proc)
                if writer is not None:
                    os.close(stdin)
                    wait_blocked(proc, "poll")
                    os.write(writer, data)
                    os.close(writer)
                elif stdin == "pipe":
                    feed(proc, data)
                self.assertEqual(self.port.read(len(wire), proc), wire, "bytes on the wire")
                out = b"" if 1 in closed else READY
                self.assertEqual(finish(proc), (status, out, err))
                self.assertEqual(self.port.rest(), b"", "the program's own text on the wire")

    def test_port_hung_up_ends_at_the_failed_write_with_1_and_a_message(self):
        proc = self.start()
        proc.stdin.write(b"a")
        proc.stdin.flush()
        self.assertEqual(self.port.read(1, proc), b"a")
        os.close(self.port.master)
        proc.stdin.write(b"b")
        proc.stdin.flush()
        # Standard input stays open: the failed write alone must end it.
        proc.wait(harness.TIMEOUT)
        self.assertEqual(finish(proc), (1, b"", harness.perror("/dev/tts/0", errno.EIO)))

    def test_input_read_error_ends_with_1_and_a_message(self):
        directory = os.open("/", os.O_RDONLY)
        self.addCleanup(os.close, directory)
        proc = self.start(stdin=directory)
        self.assertEqual(finish(proc), (1, b"", harness.perror("standard input", errno.EISDIR)))

    def test_signals_that_must_not_end_it_nor_fail_it(self):
        cases = [
            # what, runs, raw port, disturbance while it runs, input, bytes on the wire
            ("^C on the line, no controlling terminal", 1, False, interrupt_on_the_line,
             b"x", b"^Cm\r\nx"),  # the port's echo of what arrived, then the byte sent
            # Ctrl-Z and fg, or a debugger, through the final drain as well: a
            # short input makes the drain a large part of what is left to run.
            ("stopped and continued continually to its end", 30, True, stop_and_continue,
             b"x", b"x"),
        ]
        for what, runs, raw, disturb, data, wire in cases:
            with self.subTest(what):
                for _ in range(runs):
                    self.port = Port(raw=raw)
                    self.addCleanup(self.port.close)
                    proc = self.start(new_session=True)
                    with disturb(proc, self.port):
                        feed(proc, data)
                        got = self.port.read(len(wire), proc)
                        status = finish(proc)
                    self.assertEqual(status, (0, b"", b""))
                    self.assertEqual(got, wire, "bytes on the wire")
                    self.assertEqual(self.port.rest(), b"", "extra bytes on the wire")


@contextlib.contextmanager
def interrupt_on_the_line(proc, port):
    """The line's interrupt character arrives: with no controlling terminal
    the program gets no SIGINT. The line discipline takes the ^C before the
    line behind it, which the test reads from its own end of the port."""
    os.write(port.master, bytes([port.settings()[6][T.VINTR][0]]) + b"m\n")
    assert read_fd(port.slave, 2) == b"m\n", "the line behind the ^C did not come"
    yield


@contextlib.contextmanager
def stop_and_continue(proc, port):
    """SIGSTOP and SIGCONT, over and over, until the program has ended."""
    target = os.pidfd_open(harness.program_pid(proc))
    stop = threading.Event()

    def run():
        while not stop.is_set():
            try:
                signal.pidfd_send_signal(target, signal.SIGSTOP)
                signal.pidfd_send_signal(target, signal.SIGCONT)
            except ProcessLookupError:
                return
    thread = threading.Thread(target=run)
    thread.start()
    try:
        yield
    finally:
        stop.set()
        thread.join()
        os.close(target)

if __name__ == "__main__":
    unittest.main()
