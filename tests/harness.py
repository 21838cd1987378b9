"""Runs the real programs the way a user does, on pseudo-terminals.

Every program runs through the build's own portlink-ports: in a private mount
namespace whose /dev/tts/0 and /dev/ttyS0 are ptys that the test made and
holds, so the machine's own serial ports are never touched.
"""
import contextlib
import errno
import fcntl
import os
import pty
import select
import shlex
import shutil
import signal
import subprocess
import tempfile
import termios
import threading
import time
import tty

from programs import PROGRAMS

SCRIPTS = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "scripts")
EMULATED = bool(os.environ.get("PORTFEED_EMULATOR") or os.environ.get("PORTWATCH_EMULATOR"))
# Longest wait for a state; configure() may set more.
TIMEOUT = 30.0 if EMULATED else 10.0
# What configure() sets: commands that run a program in place of its
# emulator, and whether such a wrapper holds a descriptor of its own.
WRAPPERS = {}
WRAPPER_TAKES_A_DESCRIPTOR = False


def configure(wrappers, timeout=None, takes_a_descriptor=False):
    """For a suite that runs the process suites under a tool: runs each
    program named in `wrappers` ({program: command list}) under that command
    in place of the build's emulator, waits up to `timeout` s for a state, and
    notes whether the command holds a descriptor of its own in the program
    (qemu's log takes the lowest free one). Call it before loading the suites."""
    global TIMEOUT, WRAPPER_TAKES_A_DESCRIPTOR
    WRAPPERS.update(wrappers)
    TIMEOUT = timeout or TIMEOUT
    WRAPPER_TAKES_A_DESCRIPTOR = takes_a_descriptor


# The build's C library (musl's texts for some reasons differ from glibc's).
MUSL = os.environ.get("PORTLINK_C_LIBRARY") == "musl"
MUSL_REASONS = {errno.EIO: "I/O error", errno.ENOTTY: "Not a tty"}
# Bytes that the programs' standard output holds before it writes them out:
# musl's BUFSIZ; glibc takes the block size of the output (a pipe's, a file's).
OUTPUT_BUFFER = 1024 if MUSL else 4096


def reason(code):
    """The text that the programs' C library gives for errno `code`."""
    return (MUSL_REASONS.get(code) if MUSL else None) or os.strerror(code)


def perror(text, code):
    """What perror(text) prints for errno `code`."""
    return f"{text}: {reason(code)}\n".encode()


def emulator(program):
    """What the build runs `program` under (its floor core under QEMU), or the
    wrapper configured for it, as a list; empty when it runs natively."""
    if program in WRAPPERS:
        return list(WRAPPERS[program])
    return shlex.split(os.environ.get(program.upper() + "_EMULATOR", ""))


def command(program, *args):
    """The command line that starts `program` ("portfeed", "portwatch" or
    "ports", portlink-ports): the build's binary, under its emulator where it
    has one."""
    return emulator(program) + [os.environ[program.upper()], *args]


class Port:
    """A pty pair: the program gets `path` (the slave), the test the master."""

    def __init__(self, raw=True):
        self.master, self.slave = pty.openpty()
        self.path = os.ttyname(self.slave)
        if raw:
            tty.setraw(self.slave)

    def settings(self):
        return termios.tcgetattr(self.slave)

    def read(self, count, proc=None, timeout=None):
        """Reads `count` bytes from the wire; fewer if they do not come, or
        once `proc`, the program that sends them, has ended."""
        return read_fd(self.master, count, timeout, proc)

    def rest(self):
        """What else reached the wire from the program, up to a marker that
        the test sends behind it from the program's end."""
        return rest_until(self.master, lambda marker: os.write(self.slave, marker))

    def close(self):
        for fd in (self.master, self.slave):
            try:
                os.close(fd)
            except OSError:
                pass


def start(program, ports, *args, closed=(), stdin=subprocess.PIPE, stdout=subprocess.PIPE,
          new_session=False, before="", options=()):
    """Starts `program` with /dev/tts/0 and /dev/ttyS0 as given in `ports`
    (a dict; a missing key means the node does not exist), and with the
    standard descriptors in `closed` (0, 1, 2) closed by a shell in between,
    which first runs the shell command `before` in the namespace, if given.
    `options` go to portlink-ports."""
    cmd = command("ports", *options)
    for name in sorted({p.option for p in PROGRAMS.values()}):
        if name in ports:
            cmd += ["--" + name, ports[name]]
    cmd.append("--")
    if closed or before:
        cmd += ["sh", "-c", (before and before + " && ") + 'exec "$@" '
                + " ".join(f"{fd}<&-" for fd in closed), "sh"]
    cmd += command(program, *args)
    return subprocess.Popen(cmd, stdin=stdin, stdout=stdout,
                            stderr=subprocess.PIPE, start_new_session=new_session)


def read_fd(fd, count, timeout=None, proc=None):
    """Reads up to `count` bytes from `fd`, waiting at most `timeout` s, and
    no longer than `proc` (if given) runs: once it has ended, only what is
    already there is read."""
    data = b""
    deadline = time.monotonic() + (TIMEOUT if timeout is None else timeout)
    ended = None
    if proc is not None:
        try:
            ended = os.pidfd_open(proc.pid)
        except ProcessLookupError:  # already ended and reaped
            deadline = 0
    try:
        while len(data) < count:
            watch = [fd] if ended is None else [fd, ended]
            ready = select.select(watch, [], [], max(0, deadline - time.monotonic()))[0]
            if fd not in ready:
                if not ready:
                    break
                os.close(ended)  # the program has ended: read what is there, then stop
                ended, deadline = None, 0
                continue
            try:
                chunk = os.read(fd, count - len(data))
            except OSError:
                break
            if not chunk:
                break
            data += chunk
    finally:
        if ended is not None:
            os.close(ended)
    return data


def bytes_read(proc):
    """How many bytes the program has read so far, all descriptors together."""
    with open(f"/proc/{program_pid(proc)}/io") as f:
        return int(f.readline().split()[1])  # rchar


def wait_for(condition, proc, what, timeout=None):
    """Waits until `condition()` holds: fails, saying how the program `proc`
    ended, when it ends first, or after `timeout` s, saying `what` it waited for."""
    deadline = time.monotonic() + (timeout or TIMEOUT)
    while not condition():
        assert proc.poll() is None, f"{how_it_ended(proc)} before {what}"
        assert time.monotonic() < deadline, f"no {what} within {timeout or TIMEOUT} s"
        time.sleep(0.005)


def wait_until_read(proc, count, since, timeout=None):
    """Waits until the program has read `count` more bytes than `since`."""
    wait_for(lambda: bytes_read(proc) >= since + count, proc, "reading the bytes", timeout)


def how_it_ended(proc, timeout=None):
    """Says how `proc` ended (status or signal) and what it printed first on
    standard error: for a program that could not start or died at once."""
    try:
        status = proc.wait(timeout or TIMEOUT)
    except subprocess.TimeoutExpired:
        return "it is still running"
    how = (f"it was killed by {signal.Signals(-status).name}" if status < 0
           else f"it ended with status {status}")
    err = proc.stderr.read() if proc.stderr and not proc.stderr.closed else b""
    lines = err.decode(errors="replace").splitlines()[:3]
    return how + (", saying: " + " | ".join(lines) if lines else ", saying nothing on standard error")


def expect_output(proc, expected, what="output"):
    """Reads len(`expected`) bytes from the program's standard output; fails,
    saying how it ended, when they differ or do not come."""
    got = read_fd(proc.stdout.fileno(), len(expected))
    if got != expected:
        shown = lambda data: repr(data) if len(data) <= 80 else f"{len(data)} bytes"
        raise AssertionError(f"{what}: got {shown(got)} instead of {shown(expected)}; "
                             + how_it_ended(proc))


def expect_ready(proc, program):
    """Reads `program`'s start-up lines; fails, saying how it ended, when
    they do not come."""
    expect_output(proc, PROGRAMS[program].ready, f"start-up lines of {program}")


def close(stream):
    """Closes one of a program's pipes, whether or not the program still reads it."""
    if stream and not stream.closed:
        with contextlib.suppress(BrokenPipeError):
            stream.close()


def finish(proc, timeout=None):
    """Waits for the end; returns (status, rest of stdout, stderr)."""
    close(proc.stdin)
    status = proc.wait(timeout or TIMEOUT)
    out = proc.stdout.read() if proc.stdout else None
    err = proc.stderr.read()
    close(proc.stdout)
    close(proc.stderr)
    return status, out, err


# Numbers of the system calls that a test waits in, by the ELF machine of the
# process (e_machine of /proc/PID/exe), as /proc/PID/syscall gives them: a
# native program's own, or for one under qemu-user the build machine's, as
# the emulator makes the calls. read: read, readv; write: write, writev;
# poll: poll, ppoll.
SYSCALLS = {
    62: {"read": {0, 19}, "write": {1, 20}, "poll": {7, 271}},      # x86-64
    3: {"read": {3, 145}, "write": {4, 146}, "poll": {168, 309}},   # i386
    183: {"read": {63, 65}, "write": {64, 66}, "poll": {73}},       # AArch64 (has no poll)
    40: {"read": {3, 145}, "write": {4, 146}, "poll": {168, 336}},  # ARM EABI
}


# What runs before the program itself: portlink-ports and the shell that
# closes descriptors.
STARTERS = {"portlink-ports", "sh", "dash"}


def program_pid(proc):
    """The process that runs the program: the last of the chain that starts
    with `proc` (a tracer may stand in between)."""
    pid = proc.pid
    while True:
        try:
            with open(f"/proc/{pid}/task/{pid}/children") as f:
                children = f.read().split()
        except OSError:
            return pid
        if not children:
            return pid
        pid = int(children[-1])


def blocked(proc, call, fd=None):
    """Whether the program is blocked in system call `call` ("read",
    "write" or "poll"), on descriptor `fd` if given."""
    pid = program_pid(proc)
    try:
        if os.path.basename(os.readlink(f"/proc/{pid}/exe")) in STARTERS:
            return False
        with open(f"/proc/{pid}/exe", "rb") as f:
            machine = int.from_bytes(f.read(20)[18:20], "little")
        assert machine in SYSCALLS, f"no system call numbers for ELF machine {machine}"
        with open(f"/proc/{pid}/syscall") as f:
            fields = f.read().split()
    except (OSError, IndexError):  # between exec and the program's start
        return False
    return bool(fields) and fields[0].isdigit() and int(fields[0]) in SYSCALLS[machine][call] \
        and (fd is None or int(fields[1], 16) == fd)


def wait_blocked(proc, call, fd=None, timeout=None):
    """Waits until the program blocks in `call` (on `fd`); fails when it ends first."""
    wait_for(lambda: blocked(proc, call, fd), proc, f"wait in {call}", timeout)


def rest_until(fd, writer, marker=b"\x00end of test\x00"):
    """What `fd` delivers before `marker`, which is written with `writer`
    behind everything already sent: checks that nothing more came."""
    writer(marker)
    data = b""
    while not data.endswith(marker):
        chunk = read_fd(fd, 1)
        assert chunk, f"the marker did not come through; got {data!r}"
        data += chunk
    return data[:-len(marker)]


def traces(*paths):
    """What runs of portlink-ports could leave in the caller's world: the
    mounts of the caller's namespace, and which of the terminals at `paths`
    are still locked (flock) by someone."""
    with open("/proc/self/mountinfo") as f:
        mounts = set(f.read().splitlines())
    locked = set()
    for path in paths:
        fd = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            locked.add(path)
        finally:
            os.close(fd)
    return mounts, locked


def kill(proc):
    if proc.poll() is None:
        with contextlib.suppress(ProcessLookupError):
            os.kill(program_pid(proc), signal.SIGKILL)  # also when a tracer stands between
        proc.kill()
    proc.wait()
    for stream in (proc.stdin, proc.stdout, proc.stderr):
        close(stream)


class NullModem:
    """Both ends of scripts/null-modem: `board` and `pc` are the paths to give
    to the programs. The board's end is held open here as well, so that the
    cable stays up when portfeed ends and no byte in flight is lost."""

    def __init__(self, cooked=False):
        self.dir = tempfile.mkdtemp(prefix="null-modem.")
        self.board = os.path.join(self.dir, "board")
        self.pc = os.path.join(self.dir, "pc")
        script = os.path.join(SCRIPTS, "null-modem")
        self.proc = subprocess.Popen([script, *(["--cooked"] if cooked else []), self.dir])
        try:
            wait_for(lambda: os.path.exists(self.board) and os.path.exists(self.pc), self.proc,
                     "virtual null-modem")
        except AssertionError:
            self.close()
            raise
        self.hold = os.open(self.board, os.O_RDWR | os.O_NOCTTY)

    def close(self):
        if self.proc.poll() is None:
            self.proc.terminate()
        self.proc.wait()
        if hasattr(self, "hold"):
            os.close(self.hold)
        shutil.rmtree(self.dir, ignore_errors=True)


def feed(proc, data):
    """Writes `data` to the program's standard input and closes it, from a
    thread, so that the caller can read the other end meanwhile."""
    def run():
        with contextlib.suppress(BrokenPipeError):
            proc.stdin.write(data)
        close(proc.stdin)
    thread = threading.Thread(target=run)
    thread.start()
    return thread
