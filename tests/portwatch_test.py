"""portwatch as a user runs it: messages, exit status, the port's settings and
every byte from the wire on standard output, also when it is killed."""
import fcntl
import os
import select
import signal
import subprocess
import tempfile
import termios as T
import time
import unittest

import harness
from harness import (Port, alive_after, check_start_failures, finish, kill, line_checks, read_fd,
                     read_until, start, unlike_the_line)

READY = harness.READY["portwatch"]


def cpu_seconds(pid):
    fields = open(f"/proc/{pid}/stat").read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def wait_until_read(port, timeout=10.0):
    """Waits until the program has taken every byte waiting at the port."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if int.from_bytes(fcntl.ioctl(port.slave, T.FIONREAD, b"\0\0\0\0"), "little") == 0:
            return
        time.sleep(0.01)
    raise AssertionError("the program did not read the port")


def wait_for_file(sink, expected, timeout=10.0):
    deadline = time.monotonic() + timeout
    while os.fstat(sink.fileno()).st_size < len(expected) and time.monotonic() < deadline:
        time.sleep(0.01)
    sink.seek(0)
    assert sink.read() == expected, "start-up lines"


class StartFailures(unittest.TestCase):
    def test_start_failures(self):
        check_start_failures(self, "portwatch")


class Running(unittest.TestCase):
    def use_port(self, raw=True):
        self.port = Port(raw=raw)
        self.addCleanup(self.port.close)

    def start(self, *args, **kwargs):
        proc = start("portwatch", {"ttyS0": self.port.path}, *args, **kwargs)
        self.addCleanup(kill, proc)
        if "stdout" not in kwargs:
            self.assertEqual(read_until(proc.stdout, READY), READY, "start-up lines")
        return proc

    def send(self, data):
        os.write(self.port.master, data)

    def test_start_prints_three_lines_and_sets_the_line(self):
        self.use_port()
        before = unlike_the_line(self.port, inpck=True)

        proc = self.start("--help", "/dev/tts/0")
        self.assertTrue(alive_after(proc, 0.3), "ended while relaying")
        after = self.port.settings()
        checks = line_checks(before, after, inpck=False)
        for what, got, expected in checks:
            self.assertEqual(got, expected, what)

    def test_bytes_reach_standard_output_while_running(self):
        cases = [
            # what, raw port, sent before start, sent after start, printed
            ("every byte value", True, b"", bytes(range(256)), bytes(range(256))),
            ("input before set-up discarded", True, b"stale", b"fresh", b"fresh"),
            ("canonical port: whole lines", False, b"", b"one\ntwo\n", b"one\ntwo\n"),
            ("canonical port: end-of-file character read on", False, b"",
             b"\x04more\n", b"more\n"),
        ]
        for what, raw, early, late, printed in cases:
            with self.subTest(what):
                self.use_port(raw)
                if early:
                    self.send(early)
                    select.select([self.port.slave], [], [], 5)
                proc = self.start()
                self.send(late)
                self.assertEqual(read_until(proc.stdout, printed), printed)
                self.assertEqual(read_fd(proc.stdout.fileno(), 1, 0.3), b"", "extra output")
                self.assertIsNone(proc.poll(), "ended while relaying")

    def test_killed_after_bytes_arrived_loses_none(self):
        data = bytes(range(256)) * 4
        for sig in (signal.SIGTERM, signal.SIGINT, signal.SIGKILL):
            for into in ("pipe", "file"):
                with self.subTest(signal=sig.name, into=into):
                    self.use_port()
                    sink = tempfile.TemporaryFile() if into == "file" else subprocess.PIPE
                    proc = self.start(stdout=sink)
                    if into == "pipe":
                        self.assertEqual(read_until(proc.stdout, READY), READY)
                    else:
                        wait_for_file(sink, READY)
                    self.send(data)
                    wait_until_read(self.port)
                    time.sleep(0.3)
                    proc.send_signal(sig)
                    proc.wait(10)
                    if into == "pipe":
                        got = proc.stdout.read()
                    else:
                        sink.seek(0)
                        got = sink.read()[len(READY):]
                    self.assertEqual(got, data, "bytes lost when killed")

    def test_far_end_closed_ends_with_1_and_prints_what_it_read(self):
        self.use_port()
        proc = self.start()
        self.send(b"last words")
        self.assertEqual(read_until(proc.stdout, b"last words"), b"last words")
        os.close(self.port.master)
        began = time.monotonic()
        status, out, err = finish(proc, timeout=5)
        self.assertLess(time.monotonic() - began, 1.0, "took too long to notice")
        self.assertEqual((status, out), (1, b""))
        # A read under way when the line drops fails with EIO; one after it
        # sees the hang-up: either way the message names the device.
        self.assertIn(err, (b"/dev/ttyS0: port hung up\n", b"/dev/ttyS0: Input/output error\n"))

    def test_quiet_port_timeouts_burn_no_cpu_and_lose_nothing(self):
        self.use_port()
        proc = self.start()
        self.send(b"a")
        self.assertEqual(read_until(proc.stdout, b"a"), b"a")
        settings = self.port.settings()
        settings[6][T.VTIME] = 1  # time out every 0.1 s from now on
        T.tcsetattr(self.port.slave, T.TCSANOW, settings)
        used = cpu_seconds(proc.pid)
        time.sleep(1.5)
        self.assertLess(cpu_seconds(proc.pid) - used, 0.1, "CPU used while the port was quiet")
        self.send(b"b")
        self.assertEqual(read_until(proc.stdout, b"b"), b"b")
        self.assertEqual(read_fd(proc.stdout.fileno(), 1, 0.3), b"", "extra output")
        self.assertIsNone(proc.poll(), "ended on a quiet port")

    def test_interrupt_on_the_line_does_not_kill_it_without_a_terminal(self):
        self.use_port(raw=False)
        proc = self.start(new_session=True)
        self.send(bytes([self.port.settings()[6][T.VINTR][0]]))
        self.assertTrue(alive_after(proc, 0.5), "killed by ^C on the line")
        self.send(b"x\n")
        self.assertEqual(read_until(proc.stdout, b"x\n"), b"x\n")


if __name__ == "__main__":
    unittest.main()
