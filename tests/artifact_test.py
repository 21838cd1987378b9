"""The built programs and packages are what they claim: read from their ELF
headers and dynamic sections, and from the packages themselves."""
import os
import re
import shutil
import struct
import subprocess
import tarfile
import tempfile
import unittest

import harness
from programs import PROGRAMS

PT_DYNAMIC, PT_INTERP = 2, 3

# For each floor core (the build's -march): the instructions newer than it,
# as objdump writes them, and the functions allowed to hold some all the same,
# because the C library calls them only on a core that has them (musl's atomics
# and thread pointer on ARM, picked from what the kernel reports at start-up).
ARM_CONDITION = r"(?:eq|ne|cs|hs|cc|lo|mi|pl|vs|vc|hi|ls|ge|lt|gt|le|al)?(?:\.[wn])?(?:\s|$)"
ARMV6_AND_LATER = (  # and VFP/NEON (v...), Thumb-2 (.w)
    r"ldrex[bhd]?|strex[bhd]?|clrex|dmb|dsb|isb|rev|rev16|revsh|rbit|[su]xta?(?:b16|[bh])|"
    r"sel|[us]sat(?:16)?|pkh(?:bt|tb)|cps(?:ie|id)?|srs[a-z]*|rfe[a-z]*|setend|umaal|"
    r"sml[as]l?dx?|smu[as]dx?|smml[as]r?|smmulr?|(?:s|u|q|sh|uh|uq)?(?:add|sub)(?:8|16)|"
    r"(?:s|u|q|sh|uh|uq)?(?:asx|sax)|usada?8|movw|movt|bfi|bfc|[su]bfx|mls|wfi|wfe|sev|"
    r"yield|[su]div")
ARMV5TE = (r"blx|clz|ldrd|strd|pld|q(?:d?add|d?sub)|smla(?:[bt][bt]|w[bt])|smlal[bt][bt]|"
           r"smul(?:[bt][bt]|w[bt])|bkpt|mcrr2?|mrrc2?|ldc2l?|stc2l?|mcr2|mrc2|cdp2")
MUSL_PICKS = ("__a_barrier_v6", "__a_barrier_v7", "__a_cas_v6", "__a_cas_v7", "__a_gettp_cp15")


def arm_newer(*groups):
    return re.compile(r"^(?:" + "|".join(groups) + r")" + ARM_CONDITION + r"|^v[a-z]|^\S+\.w(?:\s|$)")


FLOORS = {
    "i486": (re.compile(
        r"^(?:cmov|fcmov|f(?:u)?comi|sysenter|sysexit|cmpxchg8b|rdtsc|rdpmc|rdmsr|wrmsr|cpuid|"
        r"nop[wl]|ud2|endbr|prefetch|movnti|clflush|[lms]fence)|%[xy]?mm[0-9]"), ()),
    "armv4t": (arm_newer(ARMV5TE, ARMV6_AND_LATER), MUSL_PICKS),
    "armv5te": (arm_newer(ARMV6_AND_LATER), MUSL_PICKS),  # for a vendor's toolchain
}
FLOOR = os.environ.get("PORTLINK_FLOOR", "")

VERSION = "1.0.0"
# What the build promises, as its preset and toolchain file state it.
MACHINE = int(os.environ.get("PORTLINK_ELF_MACHINE") or 0)  # 0: not checked
CLASS = int(os.environ.get("PORTLINK_ELF_CLASS") or 0)
FLAGS = int(os.environ.get("PORTLINK_ELF_FLAGS") or "0", 0)
STATIC = os.environ.get("PORTLINK_STATIC") == "ON"
SIZE_CEILING = int(os.environ.get("PORTLINK_SIZE_CEILING") or 0)  # bytes, stripped; 0: none
BUILT = [os.environ["PORTFEED"], os.environ["PORTWATCH"], os.environ["PORTS"]]  # as built


def elf(path):
    """Class (32/64), byte order, machine, flags, and the types of the program
    headers (PT_INTERP: it has an interpreter; PT_DYNAMIC: shared libraries)."""
    with open(path, "rb") as f:
        data = f.read()
    assert data[:4] == b"\x7fELF", f"{path} is not an ELF file"
    bits, order = {1: 32, 2: 64}[data[4]], {1: "little", 2: "big"}[data[5]]
    end = "<" if order == "little" else ">"
    phoff_at, flags_at, sizes_at, word = {32: (28, 36, 42, "I"), 64: (32, 48, 54, "Q")}[bits]
    machine, = struct.unpack_from(end + "H", data, 18)
    phoff, = struct.unpack_from(end + word, data, phoff_at)
    flags, = struct.unpack_from(end + "I", data, flags_at)
    size, count = struct.unpack_from(end + "HH", data, sizes_at)
    kinds = {struct.unpack_from(end + "I", data, phoff + i * size)[0] for i in range(count)}
    return bits, order, machine, flags, kinds


@unittest.skipUnless(MACHINE, "no ELF machine stated for this build")
class Programs(unittest.TestCase):
    def test_programs_are_what_the_preset_promises(self):
        for path in BUILT:
            with self.subTest(os.path.basename(path)):
                bits, order, got_machine, flags, kinds = elf(path)
                self.assertEqual((bits, order), (CLASS, "little"), "class and byte order")
                self.assertEqual(got_machine, MACHINE, "machine")
                self.assertEqual(hex(flags & FLAGS), hex(FLAGS), "flags (ARM: EABI5, soft-float)")
                if STATIC:
                    static = ("must be static: a toolchain that links dynamically needs -static "
                              "in its linker flags (-DCMAKE_EXE_LINKER_FLAGS=-static)")
                    self.assertNotIn(PT_INTERP, kinds, "has an interpreter: " + static)
                    self.assertNotIn(PT_DYNAMIC, kinds, "needs shared libraries: " + static)
                else:
                    self.assertIn(PT_INTERP, kinds, "no interpreter: not dynamic")


def newer_instructions(path, newer, allowed):
    """The instructions of `path` that `newer` matches, outside the functions
    `allowed`, as "function: instruction"; and how many instructions it has."""
    listing = subprocess.run([os.environ["OBJDUMP"], "-d", "--no-show-raw-insn", path],
                             check=True, capture_output=True, text=True).stdout
    found, count, function = [], 0, "?"
    for line in listing.splitlines():
        label = re.match(r"[0-9a-f]+ <(.+)>:$", line)
        if label:
            function = label.group(1)
            continue
        address, _, instruction = line.partition(":\t")
        if not instruction or not address.strip() or " " in address.strip():
            continue
        count += 1
        if newer.search(instruction.strip()) and function not in allowed:
            found.append(f"{function}: {instruction.strip()}")
    return found, count


@unittest.skipUnless(FLOOR, "no floor core set for this build")
class Instructions(unittest.TestCase):
    def test_no_instruction_is_newer_than_the_floor_core(self):
        self.assertIn(FLOOR, FLOORS, f"no table of instructions newer than {FLOOR}")
        newer, allowed = FLOORS[FLOOR]
        for path in BUILT:
            with self.subTest(os.path.basename(path)):
                found, count = newer_instructions(path, newer, allowed)
                self.assertGreater(count, 1000, "the disassembly holds (almost) no code")
                self.assertEqual(found, [], f"{len(found)} instructions newer than the {FLOOR}")


ARCHS = os.environ.get("PORTLINK_DEB_ARCHS", "").split()
FILES = ["bin/portfeed", "bin/portwatch", "bin/portlink-ports",
         "share/man/man1/portfeed.1.gz", "share/man/man1/portwatch.1.gz",
         "share/man/man1/portlink-ports.1.gz", "share/man/man7/portlink.7.gz",
         "share/doc/portlink/copyright", "share/doc/portlink/changelog.gz"]


@unittest.skipUnless(ARCHS, "a development build: not shipped")
class Packages(unittest.TestCase):
    """The packages of this build, one per Debian architecture, made afresh."""

    @classmethod
    def setUpClass(cls):
        cls.out = tempfile.mkdtemp(prefix="packages.")
        subprocess.run(["cpack", "-B", cls.out,
                        "--config", os.path.join(os.environ["BUILD_DIR"], "CPackConfig.cmake")],
                       check=True, capture_output=True)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.out, ignore_errors=True)

    def package(self, arch, kind):
        name = {"deb": f"portlink_{VERSION}_{arch}.deb",
                "tgz": f"portlink-{VERSION}-linux-{arch}.tar.gz"}[kind]
        path = os.path.join(self.out, name)
        self.assertTrue(os.path.isfile(path), f"no {name}")
        return path

    def test_deb_and_tarball_hold_the_programs_and_documents(self):
        for arch in ARCHS:
            with self.subTest(arch):
                deb = self.package(arch, "deb")
                field = lambda name: subprocess.run(["dpkg-deb", "-f", deb, name], check=True,
                                                    capture_output=True, text=True).stdout.strip()
                self.assertEqual((field("Package"), field("Architecture")), ("portlink", arch))
                self.assertEqual(field("Depends"), "", "the static programs need nothing")
                root = os.path.join(self.out, "x-" + arch)
                subprocess.run(["dpkg", "-x", deb, root], check=True)
                for name in FILES:
                    self.assertTrue(os.path.isfile(os.path.join(root, "usr", name)), name)
                for program, built in zip(FILES[:3], BUILT):
                    installed = os.path.join(root, "usr", program)
                    self.assertTrue(os.access(installed, os.X_OK), f"{program} not executable")
                    self.assertEqual(elf(installed)[:3], elf(built)[:3], f"{program} differs")
                    with open(installed, "rb") as f:
                        self.assertNotIn(b".symtab\0", f.read(), f"{program} not stripped")
                    if SIZE_CEILING:
                        self.assertLessEqual(os.path.getsize(installed), SIZE_CEILING,
                                             f"{program} larger than {SIZE_CEILING} bytes stripped")
                with tarfile.open(self.package(arch, "tgz")) as tar:
                    names = set(tar.getnames())
                folder = f"portlink-{VERSION}-linux-{arch}/"  # one of its own per architecture
                for name in FILES:
                    self.assertIn(folder + name, names, "missing from the tarball")

    def test_lintian_finds_no_error_or_warning(self):
        for arch in ARCHS:
            with self.subTest(arch):
                done = subprocess.run(["lintian", "--fail-on", "error,warning",
                                       self.package(arch, "deb")], capture_output=True, text=True)
                self.assertEqual(done.returncode, 0, done.stdout + done.stderr)

    def test_installed_package_relays_over_a_virtual_cable(self):
        native = subprocess.run(["dpkg", "--print-architecture"], check=True,
                                capture_output=True, text=True).stdout.strip()
        for arch in ARCHS:
            with self.subTest(arch):
                # A throwaway root with an admin directory of its own, which
                # takes packages of the machine's and of the package's
                # architecture, as the board's or the PC's own dpkg would.
                root = os.path.join(self.out, "root-" + arch)
                admin = os.path.join(root, "var", "lib", "dpkg")
                for folder in ("info", "updates", "triggers"):
                    os.makedirs(os.path.join(admin, folder))
                open(os.path.join(admin, "status"), "w").close()
                with open(os.path.join(admin, "arch"), "w") as f:
                    f.write(f"{native}\n{arch}\n")
                done = subprocess.run(["dpkg", f"--root={root}", "--log=/dev/null", "-i",
                                       self.package(arch, "deb")], capture_output=True, text=True)
                self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
                bin_dir = os.path.join(root, "usr", "bin")
                self.relay(bin_dir)

    def relay(self, bin_dir):
        """The installed portlink-ports runs the installed portwatch and
        portfeed on the two ends of a virtual cable, all under the build's
        emulator."""
        cable = harness.NullModem()
        self.addCleanup(cable.close)
        emulator = harness.emulator("portfeed")  # the build's own, for all three
        ports = [*emulator, os.path.join(bin_dir, "portlink-ports")]
        watch = subprocess.Popen([*ports, "--ttyS0", cable.pc, "--", *emulator,
                                  os.path.join(bin_dir, "portwatch")],
                                 stdin=subprocess.DEVNULL, stdout=subprocess.PIPE)
        self.addCleanup(harness.kill, watch)
        harness.expect_ready(watch, "portwatch")
        data = bytes(range(256))
        feed = subprocess.run([*ports, "--tts0", cable.board, "--", *emulator,
                               os.path.join(bin_dir, "portfeed")],
                              input=data, capture_output=True, timeout=harness.TIMEOUT)
        self.assertEqual((feed.returncode, feed.stdout, feed.stderr),
                         (0, PROGRAMS["portfeed"].ready, b""))
        harness.expect_output(watch, data, "bytes printed")


if __name__ == "__main__":
    unittest.main()
