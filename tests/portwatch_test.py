"""portwatch as a user runs it: messages, exit status, the port's settings and
every byte from the wire on standard output, also when it is killed."""
import contextlib
import os
import select
import signal
import subprocess
import tempfile
import termios as T
import threading
import time
import unittest

import harness
from harness import Port, bytes_read, finish, kill, rest_until, start, wait_blocked, wait_until_read
from programs import PROGRAMS

READY = PROGRAMS["portwatch"].ready


def cpu_seconds(pid):
    fields = open(f"/proc/{pid}/stat").read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def wait_for_file(proc, sink, expected):
    """Waits until the program has written `expected` into the file `sink`."""
    harness.wait_for(lambda: os.fstat(sink.fileno()).st_size >= len(expected), proc,
                     "start-up lines")
    sink.seek(0)
    assert sink.read() == expected, "start-up lines"


class Running(unittest.TestCase):
    def use_port(self, raw=True):
        self.port = Port(raw=raw)
        self.addCleanup(self.port.close)

    def start(self, *args, **kwargs):
        proc = start("portwatch", {"ttyS0": self.port.path}, *args, **kwargs)
        self.addCleanup(kill, proc)
        if "stdout" not in kwargs:
            harness.expect_ready(proc, "portwatch")
        return proc

    def send(self, data):
        os.write(self.port.master, data)

    def set_vtime(self, tenths):
        """Sets the read timeout of the port; it holds from the next read on."""
        settings = self.port.settings()
        settings[6][T.VTIME] = tenths
        T.tcsetattr(self.port.slave, T.TCSANOW, settings)

    def output_rest(self, proc):
        """What else the program printed, up to a marker sent behind it."""
        return rest_until(proc.stdout.fileno(), self.send, b"\x00end of test\n")

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
                harness.expect_output(proc, printed)
                self.assertEqual(self.output_rest(proc), b"", "extra output")
                self.assertIsNone(proc.poll(), "ended while relaying")

    def test_closed_standard_streams_send_nothing_back(self):
        full = os.open("/dev/full", os.O_WRONLY)
        self.addCleanup(os.close, full)
        cases = [
            # what, closed descriptors, standard output, status (None: relaying)
            ("standard output closed", (1,), subprocess.PIPE, None),
            ("standard error closed, output full", (2,), full, 1),
            ("both closed", (1, 2), subprocess.PIPE, None),
        ]
        for what, closed, stdout, status in cases:
            with self.subTest(what):
                self.use_port()
                proc = start("portwatch", {"ttyS0": self.port.path}, closed=closed, stdout=stdout)
                self.addCleanup(kill, proc)
                if status is None:
                    wait_blocked(proc, "read")
                    since = bytes_read(proc)
                    self.send(b"ping\n")
                    wait_until_read(proc, 5, since)
                    wait_blocked(proc, "read")
                    self.assertIsNone(proc.poll(), "ended while relaying")
                else:
                    self.assertEqual(finish(proc), (status, None, b""))
                self.assertEqual(self.port.rest(), b"", "sent back on the wire")

    def test_killed_loses_nothing_once_quiet_and_at_most_its_buffer_while_streaming(self):
        data = bytes(range(256)) * 128
        for moment in ("port quiet", "bytes streaming in"):
            for sig in (signal.SIGTERM, signal.SIGINT, signal.SIGKILL):
                for into in ("pipe", "file"):
                    with self.subTest(moment, signal=sig.name, into=into):
                        self.use_port()
                        sink = tempfile.TemporaryFile() if into == "file" else subprocess.PIPE
                        proc = self.start(stdout=sink)
                        if into == "pipe":
                            harness.expect_ready(proc, "portwatch")
                        else:
                            wait_for_file(proc, sink, READY)
                        pid = harness.program_pid(proc)
                        since = bytes_read(proc)
                        if moment == "port quiet":
                            self.send(data[:1024])
                            wait_until_read(proc, 1024, since)
                            wait_blocked(proc, "read")  # the next read, after the flush
                        else:
                            threading.Thread(target=self.send, args=(data,), daemon=True).start()
                            wait_until_read(proc, len(data) // 4, since)
                            os.kill(pid, signal.SIGSTOP)  # holds it while its reads are counted
                        taken = bytes_read(proc) - since
                        os.kill(pid, sig)
                        # portlink-ports may have reaped it already (SIGKILL
                        # needs no SIGCONT to act).
                        with contextlib.suppress(ProcessLookupError):
                            os.kill(pid, signal.SIGCONT)
                        proc.wait(harness.TIMEOUT)
                        if into == "pipe":
                            got = proc.stdout.read()
                        else:
                            sink.seek(0)
                            got = sink.read()[len(READY):]
                        self.assertEqual(got, data[:len(got)], "output is not what was read")
                        lost = taken - len(got)
                        if moment == "port quiet":
                            self.assertEqual(lost, 0, "bytes lost when killed on a quiet port")
                        else:  # the buffer, and the byte between its read and putchar
                            self.assertLessEqual(lost, harness.OUTPUT_BUFFER + 1,
                                                 "more than one output buffer lost")

    def test_far_end_closed_ends_with_1_and_prints_what_it_read(self):
        cases = [
            # what, read timeout (tenths; None: the program's), waits in, message
            ("hang-up during a read", None, "read", b"/dev/ttyS0: port hung up\n"),
            ("hang-up while waiting for input", 1, "poll", b"/dev/ttyS0: port hung up\n"),
        ]
        for what, vtime, call, message in cases:
            with self.subTest(what):
                self.use_port()
                proc = self.start()
                if vtime is not None:
                    self.set_vtime(vtime)
                self.send(b"last words")
                harness.expect_output(proc, b"last words")
                wait_blocked(proc, call)
                os.close(self.port.master)
                self.assertEqual(finish(proc), (1, b"", message))

    def test_quiet_port_timeouts_burn_no_cpu_and_lose_nothing(self):
        self.use_port()
        proc = self.start()
        self.set_vtime(1)  # reads time out after 0.1 s from the next one on
        self.send(b"a")
        harness.expect_output(proc, b"a")
        wait_blocked(proc, "poll")  # a read has timed out
        pid = harness.program_pid(proc)
        used = cpu_seconds(pid)
        time.sleep(1.5)  # CPU used over a quiet spell can only be seen over time
        self.assertLess(cpu_seconds(pid) - used, 0.1, "CPU used while the port was quiet")
        self.send(b"b")
        harness.expect_output(proc, b"b")
        self.assertEqual(self.output_rest(proc), b"", "extra output")
        self.assertIsNone(proc.poll(), "ended on a quiet port")

    def test_interrupt_on_the_line_does_not_kill_it_without_a_terminal(self):
        self.use_port(raw=False)
        proc = self.start(new_session=True)
        # The line discipline takes the ^C before the line behind it.
        self.send(bytes([self.port.settings()[6][T.VINTR][0]]) + b"x\n")
        harness.expect_output(proc, b"x\n")
        self.assertIsNone(proc.poll(), "killed by ^C on the line")


if __name__ == "__main__":
    unittest.main()
