"""portlink-ports as users run it: every status and message, the node that a
path names and no other, the lock, the line settings put back, and signals
before and while the program runs. Rows as an ordinary user (nobody) run
where the build's portlink-ports runs natively: under qemu-user, a threaded
process, the kernel refuses a user namespace."""
import errno
import fcntl
import os
import shutil
import signal
import stat
import subprocess
import tempfile
import threading
import unittest

import harness
from harness import Port, TIMEOUT, command, finish, kill, wait_blocked
from programs import PROGRAMS, line_checks, unlike_the_line

NOBODY = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"]
USAGE = (b"usage: portlink-ports [--tts0 DEVICE] [--ttyS0 DEVICE] [--no-reset] [--quiet] "
         b"[--reconnect] [--] PROGRAM [ARG...]\n")
NATIVE = not harness.emulator("ports")
# Where ordinary users may make a user namespace; elsewhere (some containers,
# a sysctl) they are told what would allow it.
USERNS = subprocess.run(NOBODY + ["unshare", "--user", "--mount", "true"],
                        capture_output=True).returncode == 0


def refused(text):
    return (2, b"", f"portlink-ports: {text}\n".encode())


def usage_error(text):
    return (2, b"", f"portlink-ports: {text}\n".encode() + USAGE)


def default_signals():
    """In the child before exec: the signals of the test take their default
    action, even where the test itself was started with them ignored."""
    for number in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(number, signal.SIG_DFL)


NO_USERNS = (2, b"", b" cannot make a private mount namespace")
# What each program says when its port hangs up.
HUNG_UP = {"portwatch": "/dev/ttyS0: port hung up\n",
           "portfeed": f"/dev/tts/0: {harness.reason(errno.EIO)}\n"}


def next_line(proc):
    """The next line on the standard error of `proc`, as text."""
    line = b""
    while not line.endswith(b"\n"):
        byte = harness.read_fd(proc.stderr.fileno(), 1)
        assert byte, f"no more on standard error after {line!r}; " + harness.how_it_ended(proc)
        line += byte
    return line.decode()


class Ports(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="ports-test.")
        self.addCleanup(shutil.rmtree, self.dir)
        os.chmod(self.dir, 0o755)
        # A copy that an ordinary user can reach, wherever the build is.
        self.ports = command("ports")
        self.ports[-1] = shutil.copy(self.ports[-1], self.dir)

    def port(self, owner=None, mode=None, raw=True):
        port = Port(raw)
        self.addCleanup(port.close)
        if owner is not None:
            os.chown(port.path, *owner)
        if mode is not None:
            os.chmod(port.path, mode)
        return port

    def file(self, name, data, mode):
        path = os.path.join(self.dir, name)
        with open(path, "wb") as f:
            f.write(data)
        os.chmod(path, mode)
        return path

    def in_session_of(self, port):
        """A prefix that runs portlink-ports in a session of its own whose
        controlling terminal is `port`, as /dev/tty there."""
        return ["sh", "-c", f'exec setsid --ctty "$@" <{port.path}', "sh"]

    def run_ports(self, args, user=(), prefix=()):
        done = subprocess.run([*prefix, *user, *self.ports, *args], capture_output=True,
                              timeout=TIMEOUT, stdin=subprocess.DEVNULL)
        return done.returncode, done.stdout, done.stderr

    def test_statuses_and_messages(self):
        pty = self.port()
        theirs = self.port(mode=0o600)
        group = self.port(owner=(0, 20), mode=0o660)  # dialout may use it
        mine = self.port(owner=(65534, -1))
        plain = self.file("plain", b"", 0o666)
        text = self.file("text", b"", 0o644)
        alien = self.file("alien", b"\x7fELF\x01\x01\x01\0\0\0\0\0\0\0\0\0\x02\0\xff\xff", 0o755)
        # A path that ends in a newline names that node (null), not the one
        # without (zero); the program counts what it reads from its port.
        newline = os.path.join(self.dir, "port\n")
        for path, source in ((newline, "/dev/null"), (newline[:-1], "/dev/zero")):
            os.mknod(path, stat.S_IFCHR, os.stat(source).st_rdev)
            os.chmod(path, 0o666)
        count = ["--ttyS0", newline, "--", "sh", "-c", "head -c 1 /dev/ttyS0 | wc -c"]
        held = open(pty.path, "rb")
        self.addCleanup(held.close)
        lock = lambda how: fcntl.flock(held, how)
        nobody = f"{theirs.path}: nobody may not read and write it"
        cases = [
            # what, run as (or under), arguments, (status, stdout, stderr), before
            ("--help", (), ["--help"], None, None),
            ("--version", (), ["--version"], (0, b"portlink-ports 1.0.0\n", b""), None),
            ("unknown option", (), ["--bogus", "--", "true"], usage_error("unknown option: --bogus"),
             None),
            ("an option of the old script", (), ["--close-stdin", "true"],
             usage_error("unknown option: --close-stdin"), None),
            ("the old internal entry point", (), ["--inside", "--ttyS0", "/etc/passwd", "--", "true"],
             usage_error("unknown option: --inside"), None),
            ("an option with its value joined", (), [f"--ttyS0={pty.path}", "true"],
             usage_error(f"unknown option: --ttyS0={pty.path}"), None),
            ("no DEVICE after the option", (), ["--tts0"], usage_error("a DEVICE must follow --tts0"),
             None),
            ("a port given twice", (), ["--ttyS0", pty.path, "--ttyS0", pty.path, "true"],
             usage_error("given twice: --ttyS0"), None),
            ("no PROGRAM", (), ["--ttyS0", pty.path, "--"], usage_error("no PROGRAM to run"), None),
            ("no such device", (), ["--ttyS0", "/nonexistent/port", "true"],
             refused("/nonexistent/port: no such device"), None),
            ("an empty path", (), ["--tts0", "", "true"], refused(": no such device"), None),
            ("a regular file", (), ["--tts0", plain, "true"],
             refused(f"{plain}: not a character device"), None),
            ("a folder", (), ["--ttyS0", self.dir, "true"],
             refused(f"{self.dir}: not a character device"), None),
            ("a port locked by another program", (), ["--ttyS0", pty.path, "true"],
             refused(f"{pty.path}: in use by another program"), lambda: lock(fcntl.LOCK_EX)),
            ("the same port once released", (), ["--ttyS0", pty.path, "true"], (0, b"", b""),
             lambda: lock(fcntl.LOCK_UN)),
            ("a program that is not found", (), ["--", "no-such-program"],
             (127, b"", b"portlink-ports: no-such-program: No such file or directory\n"), None),
            ("a program that may not be run", (), ["--", text],
             (126, b"", f"portlink-ports: {text}: Permission denied\n".encode()), None),
            ("a program of another kind", (), ["--", alien],
             (126, b"", f"portlink-ports: {alien}: Exec format error: this kernel cannot run that "
              "kind of program (one built for another processor, or a 32-bit one on a kernel "
              "without 32-bit support)\n".encode()), None),
            ("the program's status", (), ["--", "sh", "-c", "exit 7"], (7, b"", b""), None),
            ("--reconnect: the program's status, its device still there", (),
             ["--reconnect", "--ttyS0", pty.path, "--", "sh", "-c", "exit 7"], (7, b"", b""), None),
            ("the program ended by a signal", (), ["--", "sh", "-c", "kill -TERM $$"],
             (128 + signal.SIGTERM, b"", b""), None),
            ("a path that ends in a newline", (), count, (0, b"0\n", b""), None),
            # /dev/tty is a terminal whose node is not a pty's, and the pty
            # behind it keeps no line counters.
            ("a terminal whose driver keeps no line counters", self.in_session_of(pty),
             ["--ttyS0", "/dev/tty", "true"],
             (0, b"", b"portlink-ports: /dev/tty: its driver keeps no line counters\n"), None),
            ("--quiet leaves the report out", self.in_session_of(pty),
             ["--quiet", "--ttyS0", "/dev/tty", "true"], (0, b"", b""), None),
        ]
        if NATIVE:
            cases += [
                ("not the user's device", NOBODY, ["--ttyS0", theirs.path, "true"],
                 refused(f"{nobody}, and no group to join would allow it: use sudo, or ask its "
                         "owner"), None),
                ("a device that a group may use", NOBODY, ["--tts0", group.path, "true"],
                 refused(f"{group.path}: nobody may not read and write it; the group dialout may: "
                         "join it (usermod -aG dialout nobody, as root), then log in again"), None),
                ("a path that ends in a newline, as an ordinary user", NOBODY, count,
                 (0, b"0\n", b"") if USERNS else NO_USERNS, None),
                ("the user's own device: the program runs as the user", NOBODY,
                 ["--ttyS0", mine.path, "--", "id", "-u"],
                 (0, b"65534\n", b"") if USERNS else NO_USERNS, None),
            ]
        for what, user, args, expected, before in cases:
            with self.subTest(what):
                if before:
                    before()
                got = self.run_ports(args, user)
                if expected is None:  # --help: the usage line, what each option does
                    self.assertEqual(got[::2], (0, b""))
                    self.assertTrue(got[1].startswith(USAGE), got[1])
                    for option in (b"--tts0", b"--ttyS0", b"--no-reset", b"--quiet", b"--reconnect",
                                   b"--help", b"--version"):
                        self.assertIn(b"\n  " + option, got[1])
                    continue
                if expected is NO_USERNS:  # the reason, and what would allow it, vary
                    got = (got[0], got[1], got[2].split(b":")[1])
                self.assertEqual(got, expected)

    @unittest.skipUnless(NATIVE and USERNS, "an ordinary user's namespace")
    def test_namespace_refused_says_what_allows_it(self):
        # In a user namespace of its own whose limit of nested ones is 0, an
        # ordinary user (root there, without capabilities) cannot make one.
        pty = self.port()
        script = ('echo 0 >/proc/sys/user/max_user_namespaces && exec setpriv --bounding-set=-all '
                  '--inh-caps=-all "$@"')
        got = self.run_ports(["--ttyS0", pty.path, "true"],
                             prefix=["unshare", "--user", "--map-root-user", "sh", "-c", script, "sh"])
        self.assertEqual(got, refused(
            "cannot make a private mount namespace: No space left on device\nportlink-ports: run it "
            "as root (sudo portlink-ports ...), or let ordinary users make user namespaces: sudo "
            "sysctl -w user.max_user_namespaces=15000"))

    @unittest.skipUnless(NATIVE and USERNS, "an ordinary user's namespace")
    def test_symlink_flipped_during_set_up_maps_only_what_was_opened(self):
        # An ordinary user flips a link between their own port and root's
        # while portlink-ports starts: each run either refuses root's, or runs
        # the program on the user's own; root's never reaches the program.
        mine, theirs = self.port(owner=(65534, -1)), self.port(mode=0o600)
        link = os.path.join(self.dir, "link")
        os.symlink(mine.path, link)
        stop = threading.Event()

        def flip():
            other = os.path.join(self.dir, "other")
            while not stop.is_set():
                for target in (theirs.path, mine.path):
                    os.symlink(target, other)
                    os.rename(other, link)
        flipper = threading.Thread(target=flip)
        flipper.start()
        self.addCleanup(flipper.join)
        self.addCleanup(stop.set)
        outcomes = set()
        run = 0
        while run < 100 or (outcomes != {"ran", "refused"} and run < 1000):
            run += 1
            got = self.run_ports(["--ttyS0", link, "--", "sh", "-c", "echo x >/dev/ttyS0"], NOBODY)
            if got[0] == 0:
                self.assertEqual(mine.read(2), b"x\n", f"run {run}: not on the user's own port")
                outcomes.add("ran")
            else:
                self.assertEqual(got, refused(f"{link}: nobody may not read and write it, and no "
                                              "group to join would allow it: use sudo, or ask its "
                                              "owner"), f"run {run}")
                outcomes.add("refused")
        stop.set()
        self.assertEqual(harness.read_fd(theirs.master, 1, 0), b"", "root's port was written")
        print(f"outcomes over {run} runs: {sorted(outcomes)}")
        self.assertEqual(outcomes, {"ran", "refused"}, "the link never pointed at one of the two")

    def test_line_settings_put_back_or_kept(self):
        data = b"bytes\n"
        cases = [
            # what, program, extra options, how it ends, status
            ("portfeed, ending by itself", "portfeed", [], "input", 0),
            ("portfeed, ending by itself, --no-reset", "portfeed", ["--no-reset"], "input", 0),
            # A pty has no output queue: what portfeed wrote is at the master
            # already, so nothing waits and nothing is dropped.
            ("portfeed, stopped while the master is not read", "portfeed", [], "blocked", 128 + 15),
            ("portwatch, SIGTERM passed on", "portwatch", [], signal.SIGTERM, 128 + 15),
            ("portwatch, SIGHUP passed on, --no-reset", "portwatch", ["--no-reset"],
             signal.SIGHUP, 128 + 1),
        ]
        for what, program, options, end, status in cases:
            with self.subTest(what):
                port = self.port()
                before = unlike_the_line(port, inpck=not PROGRAMS[program].inpck)
                proc = harness.start(program, {PROGRAMS[program].option: port.path},
                                     options=options)
                self.addCleanup(kill, proc)
                harness.expect_ready(proc, program)
                if end == "input":
                    proc.stdin.write(data)
                    proc.stdin.close()
                    self.assertEqual(port.read(len(data), proc), data)
                elif end == "blocked":
                    self.addCleanup(harness.feed(proc, bytes(1 << 18)).join)
                    wait_blocked(proc, "write")
                    proc.send_signal(signal.SIGTERM)
                else:
                    wait_blocked(proc, "read")
                    proc.send_signal(end)
                self.assertEqual(finish(proc), (status, b"", b""))
                after = port.settings()
                if options:
                    for field, got, expected in line_checks(before, after, PROGRAMS[program].inpck):
                        self.assertEqual(got, expected, field)
                else:
                    self.assertEqual(after, before, "settings not put back")

    def test_reconnect_follows_a_device_that_comes_back(self):
        # The program's port is a pty reached through a link; it hangs up
        # (its master closed) and comes back as a new pty at the link.
        owners = {"mine": (65534, -1), "theirs": (0, 0)}
        cases = [
            # what, run as, program, what the link names in turn, how it ends
            ("portwatch, back twice", (), "portwatch", ["mine", "mine"], "running"),
            ("portfeed goes on with its standard input", (), "portfeed", ["mine"], "running"),
            ("Ctrl-C while it waits", (), "portwatch", [], "waiting"),
        ]
        if NATIVE and USERNS:
            cases.append(("a node the user cannot open is waited past", NOBODY, "portwatch",
                          ["theirs", "mine"], "running"))
        for case, (what, user, program, comebacks, end) in enumerate(cases):
            with self.subTest(what):
                link = os.path.join(self.dir, f"link{case}")
                port = self.port(owner=owners["mine"] if user else None)
                os.symlink(port.path, link)
                binary = shutil.copy(os.environ[program.upper()], self.dir)
                proc = subprocess.Popen(
                    [*user, *self.ports, "--reconnect", "--" + PROGRAMS[program].option, link, "--",
                     *harness.emulator(program), binary],
                    stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                    start_new_session=True, preexec_fn=default_signals)
                self.addCleanup(kill, proc)
                said = lambda text: self.assertEqual(next_line(proc), f"portlink-ports: {link}{text}\n")
                harness.expect_ready(proc, program)
                local_modes = port.settings()[3]
                self.cross(proc, program, port, b"before the hang-up\n")
                for run, owner in enumerate(comebacks + [None]):
                    port.close()
                    if program == "portfeed":  # it sees the hang-up when it writes
                        proc.stdin.write(b"x")
                        proc.stdin.flush()
                    self.assertEqual(next_line(proc), HUNG_UP[program])
                    said(" went away; waiting for it to come back")
                    if owner is None:
                        break
                    # A new node has the driver's defaults (cooked, echo).
                    port = self.port(owner=owners[owner] if user or owner == "theirs" else None,
                                     mode=0o600 if owner == "theirs" else None, raw=False)
                    os.symlink(port.path, link + ".new")
                    os.rename(link + ".new", link)
                    if owner == "theirs":
                        said(": nobody may not read and write it, and no group to join would allow "
                             "it: use sudo, or ask its owner")
                        port = self.port(owner=owners["mine"], raw=False)
                        os.symlink(port.path, link + ".new")
                        os.rename(link + ".new", link)
                    said(f" is back ({run + 1} time{'s' if run else ''} so far)")
                    harness.expect_ready(proc, program)
                    self.assertEqual(port.settings()[3], local_modes,
                                     "the new node is not set up as the first one was")
                    self.cross(proc, program, port, b"after it came back\n")
                    if end == "running" and owner == comebacks[-1]:
                        break
                os.killpg(proc.pid, signal.SIGINT)  # Ctrl-C
                self.assertEqual(finish(proc), (128 + signal.SIGINT, b"", b""))
                left = subprocess.run(["pgrep", "-s", str(proc.pid)], capture_output=True)
                self.assertEqual(left.stdout, b"", "processes left running")
                self.assertEqual(harness.traces(*([port.path] if end == "running" else []))[1],
                                 set(), "a lock left behind")

    def cross(self, proc, program, port, data):
        """Sends `data` across the program: into portwatch's port or
        portfeed's standard input, and checks that it comes out."""
        if program == "portwatch":
            os.write(port.master, data)
            harness.expect_output(proc, data)
        else:
            proc.stdin.write(data)
            proc.stdin.flush()
            self.assertEqual(port.read(len(data), proc), data)

    def test_signals_before_the_program_runs_end_it_and_after_reach_the_program(self):
        pty = self.port()
        cases = [
            # what, signal, to the whole group (as Ctrl-C does), options
            ("SIGINT", signal.SIGINT, False, []), ("SIGTERM", signal.SIGTERM, False, []),
            ("SIGHUP", signal.SIGHUP, False, []), ("SIGINT to the group", signal.SIGINT, True, []),
            ("SIGINT to the group, --reconnect", signal.SIGINT, True, ["--reconnect"]),
        ]
        before = harness.traces(pty.path)
        for what, number, group, options in cases:
            for moment, runs in (("at once", 20), ("once the program waits", 1)):
                with self.subTest(what, moment=moment):
                    for run in range(runs):
                        # The program waits for input that never comes: only
                        # the signal ends it.
                        proc = subprocess.Popen(
                            [*self.ports, *options, "--ttyS0", pty.path, "--", "sh", "-c",
                             "echo started; exec cat"],
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            start_new_session=True, preexec_fn=default_signals)
                        self.addCleanup(kill, proc)
                        if runs == 1:
                            wait_blocked(proc, "read", 0)
                        (os.killpg if group else os.kill)(proc.pid, number)
                        # Its input stays open until it has ended: only the
                        # signal can end the program.
                        try:
                            proc.wait(TIMEOUT)
                        except subprocess.TimeoutExpired:
                            self.fail(f"run {run}: {number.name} lost; the program runs on")
                        status, out, err = finish(proc)
                        # Ended by it with nothing started, or the program ended by it.
                        outcomes = [(128 + number, b"started\n", b"")] + (
                            [] if runs == 1 else [(-number, b"", b""), (128 + number, b"", b"")])
                        self.assertIn((status, out, err), outcomes, f"run {run}")
                        left = subprocess.run(["pgrep", "-s", str(proc.pid)], capture_output=True)
                        self.assertEqual(left.stdout, b"", f"run {run}: processes left running")
        self.assertEqual(harness.traces(pty.path), before, "mounts or a lock left behind")


if __name__ == "__main__":
    unittest.main()
