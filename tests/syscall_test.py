"""The kernel floor as a checked fact: every system call that each program
(portfeed, portwatch and portlink-ports, which starts them) makes over the
whole process suite is recorded (under an emulator, qemu's own log, -d strace;
natively, strace -f) and must be in syscalls.txt, which gives the first Linux
release that has it, or of the call the C library falls back on where it is
missing. The newest of those is the program's floor; it must not pass the
build's kernel floor, PORTLINK_KERNEL_FLOOR of its preset (2.6.16 for amd64,
i386 and arm, 3.7 for arm64)."""
import glob
import os
import re
import shutil
import tempfile
import unittest

import harness

TRACES = tempfile.mkdtemp(prefix="syscalls.")
PROGRAMS = ("portfeed", "portwatch", "ports")
TRACERS = {}
for name in PROGRAMS:
    where = os.path.join(TRACES, name)
    os.makedirs(where)
    emulator = harness.emulator(name)
    if emulator:
        TRACERS[name] = emulator + ["-d", "strace", "-D", f"{where}/%d.log"]
    elif name == "ports":  # its child is traced as the program: not followed here
        TRACERS[name] = ["strace", "-qq", "-o", f"{where}/trace"]
    else:
        TRACERS[name] = ["strace", "-f", "-ff", "-qq", "-o", f"{where}/trace"]
# Every call is logged: slow. qemu's log takes a descriptor in the program.
harness.configure(TRACERS, timeout=300, takes_a_descriptor=bool(harness.emulator("portfeed")))

CALL = re.compile(r"^(?:\d+ +)?([a-z_0-9]+)\(", re.M)


def release(text):
    return tuple(int(part) for part in text.split("."))


assert os.environ.get("PORTLINK_KERNEL_FLOOR"), "PORTLINK_KERNEL_FLOOR is not set: the preset names it"
CEILING = release(os.environ["PORTLINK_KERNEL_FLOOR"])


def table():
    """{call: the release it needs}: its own first release, or that of the
    call named in a third column, which the C library makes where it is missing."""
    with open(os.path.join(os.path.dirname(__file__), "syscalls.txt")) as f:
        rows = [line.split() for line in f if line.strip() and not line.startswith("#")]
    first = {row[0]: release(row[1]) for row in rows}
    return {row[0]: first[row[2]] if len(row) > 2 else first[row[0]] for row in rows}


class Syscalls(unittest.TestCase):
    def test_every_call_is_known_and_no_newer_than_the_floor(self):
        self.addCleanup(shutil.rmtree, TRACES, ignore_errors=True)
        suite = unittest.defaultTestLoader.loadTestsFromNames(
            ["programs_test", "portfeed_test", "portwatch_test"])
        result = unittest.TextTestRunner(verbosity=1).run(suite)
        self.assertTrue(result.wasSuccessful(), "the process suite failed under tracing")
        known = table()
        for name in PROGRAMS:
            with self.subTest(name):
                calls = set()
                logs = glob.glob(os.path.join(TRACES, name, "*"))
                self.assertTrue(logs, "nothing recorded")
                for log in logs:
                    with open(log, errors="replace") as f:
                        calls.update(CALL.findall(f.read()))
                self.assertEqual(sorted(calls - known.keys()), [], "calls missing from syscalls.txt")
                newest = max(calls, key=lambda call: known[call])
                floor = ".".join(map(str, known[newest]))
                print(f"{name}: {len(calls)} calls: {' '.join(sorted(calls))}; "
                      f"needs Linux {floor} ({newest})")
                self.assertLessEqual(known[newest], CEILING, f"{name}: {newest} is newer than "
                                     f"Linux {os.environ.get('PORTLINK_KERNEL_FLOOR')}")


if __name__ == "__main__":
    unittest.main()
