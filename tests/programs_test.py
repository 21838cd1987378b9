"""What portfeed and portwatch share, written once over the table of the two
programs: how each fails to start, and the line each sets up."""
import errno
import unittest

import harness
from harness import Port, feed, finish, kill, perror, start, wait_blocked
from programs import PROGRAMS, line_checks, unlike_the_line


class Programs(unittest.TestCase):
    def test_start_failures(self):
        for name, program in PROGRAMS.items():
            port = Port()
            self.addCleanup(port.close)
            before = port.settings()
            opened = f"{program.device} open successfully.\n".encode()
            cases = [
                # what, ports, closed descriptors, stdout, stderr, status
                ("missing device", {}, (), f"cannot open {program.device}\n".encode(), b"", 255),
                ("not a terminal", {program.option: "/dev/null"}, (), opened + b"Set Parity Error\n",
                 perror("tcgetattr fd error!", errno.ENOTTY)
                 + perror("setup serial...", errno.ENOTTY), 1),
                ("port on descriptor 0", {program.option: port.path}, (0,),
                 opened + b"Can't Open Serial Port!\n", b"", 1),
            ]
            # A wrapper that holds a descriptor of its own (qemu's log) takes
            # the lowest free one: a closed standard input is not closed then.
            if harness.WRAPPER_TAKES_A_DESCRIPTOR:
                cases = [case for case in cases if 0 not in case[2]]
            for what, ports, closed, out, err, status in cases:
                with self.subTest(what, program=name):
                    proc = start(name, ports, closed=closed)
                    self.assertEqual(finish(proc), (status, out, err))
                    if port.path in ports.values():  # a failed start leaves the line alone
                        self.assertEqual(port.settings(), before, "settings touched")

    def test_start_prints_its_lines_sets_the_line_and_ignores_arguments(self):
        for name, program in PROGRAMS.items():
            with self.subTest(program=name):
                port = Port()
                self.addCleanup(port.close)
                # The line starts unlike what the program sets, INPCK included.
                before = unlike_the_line(port, inpck=not program.inpck)
                proc = start(name, {program.option: port.path}, "--help", "/dev/ttyS0", "-b", "9600")
                self.addCleanup(kill, proc)
                harness.expect_ready(proc, name)
                wait_blocked(proc, *program.waits)
                for what, got, expected in line_checks(before, port.settings(), program.inpck):
                    self.assertEqual(got, expected, what)
                if program.waits[1] == 0:  # it waits for input: its end ends it
                    feed(proc, b"").join()
                    self.assertEqual(finish(proc), (0, b"", b""))


if __name__ == "__main__":
    unittest.main()
