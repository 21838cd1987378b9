"""valgrind's memcheck over one whole run of each program: start-up, relay,
end. Any error, and any block not freed at exit, fails the run."""
import os
import tempfile
import unittest

import harness
from harness import Port, expect_output, expect_ready, finish, kill, start

LOG = tempfile.NamedTemporaryFile(prefix="memcheck.", suffix=".log", delete=False).name
MEMCHECK = [os.environ["VALGRIND"], "--quiet", "--error-exitcode=99", "--leak-check=full",
            "--show-leak-kinds=all", "--errors-for-leak-kinds=all", f"--log-file={LOG}"]
harness.configure({"portfeed": MEMCHECK, "portwatch": MEMCHECK})

DATA = bytes(range(256)) * 8


class Memcheck(unittest.TestCase):
    def setUp(self):
        self.port = Port()
        self.addCleanup(self.port.close)
        self.addCleanup(os.unlink, LOG)

    def log(self):
        with open(LOG) as f:
            return f.read()

    def test_portfeed_whole_run(self):
        proc = start("portfeed", {"tts0": self.port.path})
        self.addCleanup(kill, proc)
        proc.stdin.write(DATA)
        proc.stdin.close()
        self.assertEqual(self.port.read(len(DATA), proc), DATA)
        status, out, err = finish(proc)
        self.assertEqual((status, err), (0, b""), self.log())
        self.assertEqual(self.log(), "")

    def test_portwatch_whole_run(self):
        proc = start("portwatch", {"ttyS0": self.port.path})
        self.addCleanup(kill, proc)
        expect_ready(proc, "portwatch")
        os.write(self.port.master, DATA)
        expect_output(proc, DATA)
        os.close(self.port.master)  # the far end hangs up: the program's one end
        status, _, _ = finish(proc)
        self.assertEqual(status, 1, self.log())
        self.assertEqual(self.log(), "")


if __name__ == "__main__":
    unittest.main()
