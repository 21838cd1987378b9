"""The two programs, as every test, the benchmark and the board test know
them: the port each opens, the lines it prints on a normal start, whether it
turns input parity checking on, and where it waits while it relays. Also what
both do to their port's settings."""
import collections
import termios

Program = collections.namedtuple("Program", "option device ready inpck waits")

PROGRAMS = {
    # portfeed waits for standard input (descriptor 0); portwatch for its port.
    "portfeed": Program("tts0", "/dev/tts/0", b"/dev/tts/0 open successfully.\nsuccessfully set\n",
                        True, ("read", 0)),
    "portwatch": Program("ttyS0", "/dev/ttyS0", b"/dev/ttyS0 open successfully.\n\nsuccess set\n",
                         False, ("read", None)),
}

# The fields of the control modes that the programs set.
FRAMING = termios.CSIZE | termios.PARENB | termios.PARODD | termios.CSTOPB | termios.CBAUD \
    | termios.CBAUDEX


def unlike_the_line(port, inpck):
    """Sets the pty `port` to differ from what the programs set in every field
    they change (and INPCK to `inpck`); returns the settings read back."""
    t = port.settings()
    t[2] = (t[2] & ~termios.CSIZE) | termios.CS8 | termios.CSTOPB | termios.PARODD
    t[0] = t[0] | termios.INPCK if inpck else t[0] & ~termios.INPCK
    t[4] = t[5] = termios.B9600
    t[6][termios.VTIME], t[6][termios.VMIN] = 0, 1
    termios.tcsetattr(port.slave, termios.TCSANOW, t)
    return port.settings()


def line_checks(before, after, inpck):
    """(what, got, expected) for the settings a program leaves on its port."""
    T = termios
    others = lambda cc: [c for i, c in enumerate(cc) if i not in (T.VTIME, T.VMIN)]
    return [
        ("input speed", after[4], T.B115200),
        ("output speed", after[5], T.B115200),
        ("character size", after[2] & T.CSIZE, T.CS8),
        ("PARENB", after[2] & T.PARENB, 0),
        ("CSTOPB", after[2] & T.CSTOPB, 0),
        ("PARODD (untouched)", after[2] & T.PARODD, before[2] & T.PARODD),
        ("other control modes", after[2] & ~FRAMING, before[2] & ~FRAMING),
        ("INPCK", after[0] & T.INPCK, T.INPCK if inpck else 0),
        ("other input modes", after[0] & ~T.INPCK, before[0] & ~T.INPCK),
        ("output modes", after[1], before[1]),
        ("local modes", after[3], before[3]),
        ("VTIME", after[6][T.VTIME], 150),
        ("VMIN", after[6][T.VMIN], 0),
        ("other control characters", others(after[6]), others(before[6])),
    ]
