"""The compiler runtime built here for the floor core (integer division,
soft-float), against the one Debian ships with the compiler: the same
operations over the same operands (tests/arithmetic.cpp) must give the same
bits, the integer and double results must be the exact ones as Python
computes them, and a division by zero must end the program by SIGFPE."""
import operator
import os
import signal
import struct
import subprocess
import unittest

import harness

HERE = harness.command("arithmetic")
DEBIAN = harness.command("arithmetic_reference")
DOUBLE = {"d+": operator.add, "d-": operator.sub, "d*": operator.mul, "d/": operator.truediv}


def run(command, *args):
    return subprocess.run(command + list(args), capture_output=True, timeout=300)


def signed(value, bits):
    return value - (1 << bits) if value >> (bits - 1) else value


def truncated(a, b):
    """C's quotient and remainder: rounded toward zero."""
    q = abs(a) // abs(b) * (1 if (a < 0) == (b < 0) else -1)
    return q, a - q * b


def double(bits):
    return struct.unpack("<d", struct.pack("<Q", bits))[0]


def bits_of(value):
    return struct.unpack("<Q", struct.pack("<d", value))[0]


def exact(name, a, b):
    """What C gives for the case, computed here; None for a case not checked
    this way (float, conversions, comparisons: those are compared with
    Debian's only)."""
    if name[1:3] in ("64", "32") and name[3] in "/%":
        bits = int(name[1:3])
        if name[0] == "s":
            a, b = signed(a, bits), signed(b, bits)
        q, r = truncated(a, b)
        return (q if name[3] == "/" else r) % (1 << bits)
    if name in DOUBLE and not (name == "d/" and double(b) == 0):
        result = DOUBLE[name](double(a), double(b))
        return None if result != result else bits_of(result)  # NaN: any payload
    return None


def cases(output):
    """(name, a, b, result) of each line."""
    for line in output.decode().splitlines():
        name, a, b, _, result = line.split()
        yield name, int(a, 16), int(b, 16), int(result, 16)


class Runtime(unittest.TestCase):
    def test_the_same_results_as_debians_runtime_and_the_exact_ones(self):
        here, debian = run(HERE), run(DEBIAN)
        self.assertEqual((here.returncode, here.stderr), (0, b""), "the build here failed")
        self.assertEqual((debian.returncode, debian.stderr), (0, b""), "Debian's build failed")
        mine, theirs = list(cases(here.stdout)), list(cases(debian.stdout))
        self.assertGreater(len(theirs), 5000, "Debian's build printed (almost) no cases")
        self.assertEqual(len(mine), len(theirs), "a different number of cases")
        differ = [f"{m[0]} {m[1]:x} {m[2]:x}: {m[3]:x} here, {t[3]:x} Debian's"
                  for m, t in zip(mine, theirs) if m != t]
        self.assertEqual(differ[:10], [], f"{len(differ)} of {len(theirs)} results differ")
        wrong = [f"{name} {a:x} {b:x}: {result:x}, not {right:x}"
                 for name, a, b, result in mine
                 for right in [exact(name, a, b)] if right is not None and right != result]
        self.assertEqual(wrong[:10], [], f"{len(wrong)} results are not the exact ones")

    def test_a_division_by_zero_raises_sigfpe(self):
        for name, command in (("here", HERE), ("Debian's", DEBIAN)):
            with self.subTest(name):
                done = run(command, "divide-by-zero")
                self.assertEqual(done.returncode, -signal.SIGFPE,
                                 f"the build {name}: {done.stdout!r} {done.stderr[-200:]!r}")


RUNTIME = os.environ.get("PORTLINK_RUNTIME", "")
BUILD_RUNTIME = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                             "scripts", "build-runtime")


@unittest.skipUnless(RUNTIME, "the toolchain builds no runtime of its own")
class Kept(unittest.TestCase):
    def test_a_second_build_fetches_nothing(self):
        """With no network at all, the same build names the kept folder."""
        with open(os.path.join(RUNTIME, "complete")) as f:
            target = next(line for line in f if line.startswith("target: ")).split()[1:]
        done = subprocess.run(["unshare", "--net", BUILD_RUNTIME, *target], capture_output=True,
                              text=True, timeout=120)
        if done.returncode and "unshare" in done.stderr and BUILD_RUNTIME not in done.stderr:
            self.skipTest(f"no network namespace here: {done.stderr.strip()}")
        self.assertEqual((done.returncode, done.stdout, done.stderr), (0, RUNTIME + "\n", ""))


if __name__ == "__main__":
    unittest.main()
