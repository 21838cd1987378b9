// The module `serial` on real pseudo-terminals. tcsetattr and tcflush are
// wrapped at link time: every record written and every queue discarded is
// logged, because a pty read-back cannot show character size or parity.
#include "serial.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

extern "C" {
int __real_tcsetattr(int fd, int action, const struct termios *record);
int __real_tcflush(int fd, int queue);
int __wrap_tcsetattr(int fd, int action, const struct termios *record);
int __wrap_tcflush(int fd, int queue);
}

namespace {

struct Call {
  char what;  // 'f' for tcflush, 's' for tcsetattr
  int arg;    // queue or action
  termios record;
};
std::vector<Call> calls;
int tcsetattr_errno = 0;  // when not 0, tcsetattr fails with it

std::string describe(const std::vector<Call> &log) {
  std::string s;
  for (const Call &c : log) {
    s += c.what == 'f' ? " flush(" : " set(";
    s += std::to_string(c.arg) + ")";
  }
  return s.empty() ? " nothing" : s;
}

}  // namespace

int __wrap_tcsetattr(int fd, int action, const struct termios *record) {
  calls.push_back({'s', action, *record});
  if (tcsetattr_errno != 0) {
    errno = tcsetattr_errno;
    return -1;
  }
  return __real_tcsetattr(fd, action, record);
}

int __wrap_tcflush(int fd, int queue) {
  calls.push_back({'f', queue, {}});
  return __real_tcflush(fd, queue);
}

namespace {

// A pseudo-terminal pair in raw mode, with one byte of input queued at the
// port (the slave) so that discarding shows.
struct Port {
  int master = -1;
  int slave = -1;
  std::string path;
  Port() {
    char name[64];
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0) {
      ADD_FAILURE() << "openpty: " << strerror(errno);
      return;
    }
    path = name;
    termios t{};
    EXPECT_EQ(tcgetattr(slave, &t), 0);
    cfmakeraw(&t);
    __real_tcsetattr(slave, TCSANOW, &t);
    queue_input();
  }
  ~Port() {
    close(master);
    close(slave);
  }
  // The pty hands bytes to the other side asynchronously: wait for arrival.
  void queue_input() const {
    EXPECT_EQ(write(master, "x", 1), 1);
    pollfd p = {slave, POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 5000), 1) << "queued byte never arrived";
  }
  [[nodiscard]] int queued() const {
    int n = -1;
    EXPECT_EQ(ioctl(slave, FIONREAD, &n), 0);
    return n;
  }
  [[nodiscard]] termios settings() const {
    termios t{};
    EXPECT_EQ(tcgetattr(slave, &t), 0);
    return t;
  }
  void apply(const termios &t) const { EXPECT_EQ(__real_tcsetattr(slave, TCSANOW, &t), 0); }
};

struct Output {
  std::string out;
  std::string err;
};

std::string slurp(FILE *f) {
  std::string s;
  rewind(f);
  for (int c = 0; (c = fgetc(f)) != EOF;) {
    s += static_cast<char>(c);
  }
  (void)fclose(f);
  return s;
}

// Runs `body` with standard output and error going to files; returns both.
template <typename F>
Output capture(F body) {
  (void)fflush(stdout);
  (void)fflush(stderr);
  FILE *out = tmpfile();
  FILE *err = tmpfile();
  const int saved_out = dup(1);
  const int saved_err = dup(2);
  dup2(fileno(out), 1);
  dup2(fileno(err), 2);
  calls.clear();
  body();
  (void)fflush(stdout);
  (void)fflush(stderr);
  dup2(saved_out, 1);
  dup2(saved_err, 2);
  close(saved_out);
  close(saved_err);
  return {slurp(out), slurp(err)};
}

// Runs `body` in a child process; returns its exit status and output.
template <typename F>
std::pair<int, Output> in_child(F body) {
  int status = -1;
  Output o = capture([&] {
    const pid_t pid = fork();
    if (pid == 0) {
      const int code = body();
      (void)fflush(stdout);
      _exit(code);
    }
    waitpid(pid, &status, 0);
  });
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, o};
}

const tcflag_t framing = CSIZE | PARENB | PARODD | CSTOPB;

// Everything but the speeds and the named flags must be as before.
void expect_untouched(const termios &before, const termios &after, tcflag_t cflags, tcflag_t iflags,
                      bool speeds, const std::string &what) {
  const tcflag_t speed_bits = speeds ? 0 : static_cast<tcflag_t>(CBAUD | CBAUDEX);
  EXPECT_EQ(after.c_cflag & ~(cflags | speed_bits), before.c_cflag & ~(cflags | speed_bits))
      << what << ": control modes";
  EXPECT_EQ(after.c_iflag & ~iflags, before.c_iflag & ~iflags) << what << ": input modes";
  EXPECT_EQ(after.c_oflag, before.c_oflag) << what << ": output modes";
  EXPECT_EQ(after.c_lflag, before.c_lflag) << what << ": local modes";
  EXPECT_EQ(after.c_line, before.c_line) << what << ": line discipline";
  if (speeds) {
    EXPECT_EQ(cfgetispeed(&after), cfgetispeed(&before)) << what << ": input speed";
    EXPECT_EQ(cfgetospeed(&after), cfgetospeed(&before)) << what << ": output speed";
  }
  for (int i = 0; i < NCCS; ++i) {
    if (i != VTIME && i != VMIN) {
      EXPECT_EQ(after.c_cc[i], before.c_cc[i]) << what << ": control character " << i;
    }
  }
}

TEST(InitSerial, OpensReadWriteBlockingWithoutTakingTheTerminal) {
  Port port;
  const auto [status, o] = in_child([&] {
    setsid();  // a session leader with no controlling terminal, as under init
    const int fd = init_serial(port.path.c_str());
    const int flags = fcntl(fd, F_GETFL);
    if ((flags & O_ACCMODE) != O_RDWR || (flags & O_NONBLOCK) != 0) {
      return 3;
    }
    return open("/dev/tty", O_RDWR) < 0 ? 0 : 2;
  });
  EXPECT_EQ(status, 0) << "3: wrong open flags; 2: the port became the controlling terminal";
  EXPECT_EQ(o.out, port.path + " open successfully.\n");
  EXPECT_EQ(o.err, "");
}

TEST(InitSerial, MissingDeviceEndsTheProcessWith255) {
  const auto [status, o] = in_child([] {
    init_serial("/nonexistent/port");
    printf("returned\n");
    return 0;
  });
  EXPECT_EQ(status, 255);
  EXPECT_EQ(o.out, "cannot open /nonexistent/port\n");
  EXPECT_EQ(o.err, "");
}

TEST(SetSpeed, EachRowSetsBothSpeedsAfterOneDiscard) {
  const struct {
    int bits_per_second;
    speed_t code;
  } rows[] = {{115200, B115200}, {38400, B38400}, {19200, B19200}, {9600, B9600},
              {4800, B4800},     {2400, B2400},   {1200, B1200},   {300, B300}};
  for (const auto &row : rows) {
    const std::string what = "set_speed " + std::to_string(row.bits_per_second);
    Port port;
    termios before = port.settings();
    cfsetspeed(&before, row.code == B9600 ? B4800 : B9600);
    port.apply(before);
    const Output o = capture([&] { set_speed(port.slave, row.bits_per_second); });
    const termios after = port.settings();
    EXPECT_EQ(cfgetispeed(&after), row.code) << what;
    EXPECT_EQ(cfgetospeed(&after), row.code) << what;
    expect_untouched(before, after, 0, 0, false, what);
    EXPECT_EQ(describe(calls), describe({{'f', TCIOFLUSH, {}}, {'s', TCSANOW, {}}})) << what;
    EXPECT_EQ(port.queued(), 0) << what << ": queued input kept";
    EXPECT_EQ(o.out + o.err, "") << what;
  }
}

TEST(SetSpeed, SpeedNotInTheTableChangesAndDiscardsNothing) {
  for (const int speed : {57600, 230400, 110, 0, -1, 4098}) {
    const std::string what = "set_speed " + std::to_string(speed);
    Port port;
    const termios before = port.settings();
    const Output o = capture([&] { set_speed(port.slave, speed); });
    expect_untouched(before, port.settings(), 0, 0, true, what);
    EXPECT_EQ(describe(calls), " nothing") << what;
    EXPECT_EQ(port.queued(), 1) << what << ": queued input lost";
    EXPECT_EQ(o.out + o.err, "") << what;
  }
}

TEST(SetParity, FramingRows) {
  const struct {
    int data, stop, letter;
    tcflag_t size;
    int parodd;  // -1: as it was
    bool parenb;
    bool cstopb, inpck;
  } rows[] = {
      {8, 1, 'n', CS8, -1, false, false, false}, {8, 1, 'N', CS8, -1, false, false, true},
      {7, 1, 'E', CS7, 0, true, false, true},    {7, 1, 'e', CS7, 0, true, false, true},
      {7, 2, 'o', CS7, 1, true, true, true},     {8, 1, 'O', CS8, 1, true, false, true},
      {8, 2, 'S', CS8, -1, false, true, true},   {8, 1, 's', CS8, -1, false, false, true},
  };
  // Each row starts from a port whose kept flags are the opposite of what the
  // row promises (PARODD set where it must stay as it was), so that every set
  // and every clear shows. A pty refuses a request in which only the forced
  // fields and the control characters would change, so the opposite start
  // also keeps each request acceptable to it.
  for (const auto &row : rows) {
    const std::string what = std::to_string(row.data) + "," + std::to_string(row.stop) + ",'" +
                             static_cast<char>(row.letter) + "'";
    Port port;
    termios before = port.settings();
    const auto flip = [](tcflag_t flags, tcflag_t flag, bool on) {
      return on ? flags | flag : flags & ~flag;
    };
    before.c_cflag = flip(before.c_cflag, PARODD, row.parodd != 1);
    before.c_cflag = flip(before.c_cflag, CSTOPB, !row.cstopb);
    before.c_iflag = flip(before.c_iflag, INPCK, !row.inpck);
    before.c_cc[VTIME] = 3;
    before.c_cc[VMIN] = 1;
    port.apply(before);
    before = port.settings();
    EXPECT_EQ(write(port.slave, "out", 3), 3);

    int result = -1;
    const Output o =
        capture([&] { result = set_parity(port.slave, row.data, row.stop, row.letter); });
    EXPECT_EQ(result, 1) << what;
    EXPECT_EQ(o.out + o.err, "") << what;
    ASSERT_EQ(describe(calls), describe({{'f', TCIFLUSH, {}}, {'s', TCSANOW, {}}})) << what;

    // What was handed to the driver: the whole framing.
    const termios &sent = calls.back().record;
    const bool parodd = row.parodd < 0 ? (before.c_cflag & PARODD) != 0 : row.parodd == 1;
    EXPECT_EQ(sent.c_cflag & CSIZE, row.size) << what << ": character size";
    EXPECT_EQ((sent.c_cflag & PARENB) != 0, row.parenb) << what << ": PARENB";
    EXPECT_EQ((sent.c_cflag & PARODD) != 0, parodd) << what << ": PARODD";
    EXPECT_EQ((sent.c_cflag & CSTOPB) != 0, row.cstopb) << what << ": CSTOPB";
    EXPECT_EQ((sent.c_iflag & INPCK) != 0, row.inpck) << what << ": INPCK";
    expect_untouched(before, sent, framing, INPCK, true, what + " (record written)");

    // What the port kept: everything a pty does not force.
    const termios after = port.settings();
    EXPECT_EQ((after.c_cflag & PARODD) != 0, parodd) << what << ": PARODD read back";
    EXPECT_EQ((after.c_cflag & CSTOPB) != 0, row.cstopb) << what << ": CSTOPB read back";
    EXPECT_EQ((after.c_iflag & INPCK) != 0, row.inpck) << what << ": INPCK read back";
    EXPECT_EQ(after.c_cc[VTIME], 150) << what;
    EXPECT_EQ(after.c_cc[VMIN], 0) << what;
    expect_untouched(before, after, framing, INPCK, true, what + " (read back)");
    EXPECT_EQ(port.queued(), 0) << what << ": unread input kept";
    char out[8] = {};
    EXPECT_EQ(read(port.master, out, sizeof out), 3) << what << ": output queue discarded";
  }
}

TEST(SetParity, FirstBadArgumentIsReportedAndThePortLeftAlone) {
  const struct {
    int data, stop, letter;
    const char *out;
  } cases[] = {
      {9, 1, 'x', "unsupport data size.\n"},  {6, 3, 'N', "unsupport data size.\n"},
      {9, 3, 'E', "unsupport data size.\n"},  {8, 1, 'x', "unsupported parity.\n"},
      {7, 3, 'x', "unsupported parity.\n"},   {8, 1, 'n' + 256, "unsupported parity.\n"},
      {8, 1, 0, "unsupported parity.\n"},     {8, 3, 'E', "unsupported stopbits.\n"},
      {7, 0, 'n', "unsupported stopbits.\n"}, {8, -1, 'S', "unsupported stopbits.\n"},
  };
  for (const auto &c : cases) {
    const std::string what =
        std::to_string(c.data) + "," + std::to_string(c.stop) + "," + std::to_string(c.letter);
    Port port;
    const termios before = port.settings();
    int result = -1;
    const Output o = capture([&] { result = set_parity(port.slave, c.data, c.stop, c.letter); });
    EXPECT_EQ(result, 0) << what;
    EXPECT_EQ(o.out, c.out) << what;
    EXPECT_EQ(o.err, "") << what;
    EXPECT_EQ(describe(calls), " nothing") << what;
    EXPECT_EQ(port.queued(), 1) << what << ": queued input lost";
    expect_untouched(before, port.settings(), 0, 0, true, what);
    EXPECT_EQ(port.settings().c_cc[VTIME], before.c_cc[VTIME]) << what;
  }
}

// Failures of the system calls: set_speed only reports them (on standard
// error), set_parity reports them and returns 0.
TEST(SystemFailures, ReportedThroughPerror) {
  Port port;
  const int not_a_tty = open("/dev/null", O_RDWR);
  const struct {
    const char *what;
    bool parity;  // set_parity(fd, 8, 1, 'N') rather than set_speed(fd, 115200)
    int fd;
    int set_errno;
    const char *err;
    const char *calls;
  } cases[] = {
      {"speed, unreadable settings", false, not_a_tty, 0,
       "tcgetattr fd error!: Inappropriate ioctl for device\n", " nothing"},
      {"speed, write refused", false, port.slave, EIO, "tcsetattr fd error!: Input/output error\n",
       " flush(2) set(0)"},
      {"parity, unreadable settings", true, not_a_tty, 0,
       "setup serial...: Inappropriate ioctl for device\n", " nothing"},
      {"parity, write refused", true, port.slave, EIO, "\n: Input/output error\n",
       " flush(0) set(0)"},
  };
  for (const auto &c : cases) {
    tcsetattr_errno = c.set_errno;
    int result = 0;
    const Output o = capture([&] {
      if (c.parity) {
        result = set_parity(c.fd, 8, 1, 'N');
      } else {
        set_speed(c.fd, 115200);
      }
    });
    tcsetattr_errno = 0;
    EXPECT_EQ(result, 0) << c.what;
    EXPECT_EQ(o.err, c.err) << c.what;
    EXPECT_EQ(o.out, "") << c.what;
    EXPECT_EQ(describe(calls), c.calls) << c.what;
  }
  close(not_a_tty);
}

}  // namespace
