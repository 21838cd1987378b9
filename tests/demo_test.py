"""scripts/demo as a newcomer runs it: text piped in crosses the virtual
null-modem and shows on the PC's side, and nothing is left behind."""
import glob
import os
import subprocess
import unittest

import harness

DEMO = os.path.join(harness.SCRIPTS, "demo")


@unittest.skipIf(os.environ.get("PORTFEED_EMULATOR"), "the demo runs the programs natively")
class Demo(unittest.TestCase):
    def test_demo_relays_piped_text_and_leaves_nothing_behind(self):
        # What it could leave: its folder, and mounts in the caller's namespace.
        leftovers = lambda: (set(glob.glob("/tmp/portlink-demo.*")), harness.traces()[0])
        before = leftovers()
        env = dict(os.environ, DEMO_BUILD_DIR=os.path.dirname(os.environ["PORTFEED"]))
        demo = subprocess.Popen([DEMO], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, env=env, start_new_session=True)
        out, err = demo.communicate(b"typed at the board\nand more\n", timeout=60)
        self.assertEqual(demo.returncode, 0, err.decode())
        # The two programs' lines interleave as they come.
        lines = out.splitlines()
        self.assertEqual([l for l in lines if l.startswith(b"PC    | ")][-2:],
                         [b"PC    | typed at the board", b"PC    | and more"])
        self.assertEqual([l for l in lines if l.startswith(b"board | ")],
                         [b"board | /dev/tts/0 open successfully.", b"board | successfully set"])
        # The demo led its own session: nothing of it may still run.
        running = subprocess.run(["pgrep", "-a", "-s", str(demo.pid)], capture_output=True)
        self.assertEqual(running.stdout, b"", "processes left running")
        files, mounts = leftovers()
        self.assertEqual(files - before[0], set(), "files left behind")
        self.assertEqual(mounts ^ before[1], set(), "mounts changed in the caller's namespace")


if __name__ == "__main__":
    unittest.main()
