"""Runs the real programs the way a user does, on pseudo-terminals.

Every program runs through scripts/with-ports: in a private mount namespace
whose /dev/tts/0 and /dev/ttyS0 are ptys that the test made and holds, so the
machine's own serial ports are never touched.
"""
import os
import pty
import select
import shlex
import shutil
import subprocess
import tempfile
import termios
import time
import tty

RUNNER = os.environ["RUNNER"]
EMULATED = bool(os.environ.get("PORTFEED_EMULATOR") or os.environ.get("PORTWATCH_EMULATOR"))
TIMEOUT = 30.0 if EMULATED else 10.0


def command(program, *args):
    """The command line that starts `program` ("portfeed" or "portwatch"):
    the build's binary, under its emulator where it has one."""
    emulator = shlex.split(os.environ.get(program.upper() + "_EMULATOR", ""))
    return emulator + [os.environ[program.upper()], *args]


class Port:
    """A pty pair: the program gets `path` (the slave), the test the master."""

    def __init__(self, raw=True):
        self.master, self.slave = pty.openpty()
        self.path = os.ttyname(self.slave)
        if raw:
            tty.setraw(self.slave)

    def settings(self):
        return termios.tcgetattr(self.slave)

    def read(self, count, timeout=TIMEOUT):
        """Reads `count` bytes from the wire; fewer if they do not come."""
        return read_fd(self.master, count, timeout)

    def close(self):
        for fd in (self.master, self.slave):
            try:
                os.close(fd)
            except OSError:
                pass


def start(program, ports, *args, close_stdin=False, stdin=subprocess.PIPE,
          stdout=subprocess.PIPE, new_session=False):
    """Starts `program` with /dev/tts/0 and /dev/ttyS0 as given in `ports`
    (a dict; a missing key means the node does not exist)."""
    cmd = [RUNNER]
    for name in ("tts0", "ttyS0"):
        if name in ports:
            cmd += ["--" + name, ports[name]]
    if close_stdin:
        cmd.append("--close-stdin")
    cmd += ["--", *command(program, *args)]
    return subprocess.Popen(cmd, stdin=stdin, stdout=stdout,
                            stderr=subprocess.PIPE, start_new_session=new_session)


def read_fd(fd, count, timeout=TIMEOUT):
    """Reads up to `count` bytes from `fd`, waiting at most `timeout` s."""
    data = b""
    deadline = time.monotonic() + timeout
    while len(data) < count:
        left = deadline - time.monotonic()
        if left <= 0 or not select.select([fd], [], [], left)[0]:
            break
        try:
            chunk = os.read(fd, count - len(data))
        except OSError:
            break
        if not chunk:
            break
        data += chunk
    return data


def read_until(stream, expected, timeout=TIMEOUT):
    """Reads from a running program's pipe until it has len(expected) bytes."""
    return read_fd(stream.fileno(), len(expected), timeout)


def finish(proc, timeout=TIMEOUT):
    """Waits for the end; returns (status, rest of stdout, stderr)."""
    if proc.stdin and not proc.stdin.closed:
        try:
            proc.stdin.close()
        except BrokenPipeError:
            pass
    status = proc.wait(timeout)
    out = proc.stdout.read() if proc.stdout else None
    err = proc.stderr.read()
    for stream in (proc.stdout, proc.stderr):
        if stream:
            stream.close()
    return status, out, err


def alive_after(proc, seconds):
    time.sleep(seconds)
    return proc.poll() is None


def kill(proc):
    if proc.poll() is None:
        proc.kill()
    proc.wait()
    for stream in (proc.stdin, proc.stdout, proc.stderr):
        if stream and not stream.closed:
            try:
                stream.close()
            except BrokenPipeError:
                pass


class NullModem:
    """Both ends of scripts/null-modem: `board` and `pc` are the paths to give
    to the programs. The board's end is held open here as well, so that the
    cable stays up when portfeed ends and no byte in flight is lost."""

    def __init__(self, cooked=False):
        self.dir = tempfile.mkdtemp(prefix="null-modem.")
        self.board = os.path.join(self.dir, "board")
        self.pc = os.path.join(self.dir, "pc")
        script = os.path.join(os.path.dirname(RUNNER), "null-modem")
        self.proc = subprocess.Popen([script, *(["--cooked"] if cooked else []), self.dir])
        deadline = time.monotonic() + TIMEOUT
        while not (os.path.exists(self.board) and os.path.exists(self.pc)):
            if time.monotonic() > deadline or self.proc.poll() is not None:
                self.close()
                raise RuntimeError("the virtual null-modem did not come up")
            time.sleep(0.01)
        self.hold = os.open(self.board, os.O_RDWR | os.O_NOCTTY)

    def close(self):
        if self.proc.poll() is None:
            self.proc.terminate()
        self.proc.wait()
        if hasattr(self, "hold"):
            os.close(self.hold)
        shutil.rmtree(self.dir, ignore_errors=True)
