// portlink-ports: runs a program (portfeed, portwatch or any other) with the
// fixed serial ports /dev/tts/0 and /dev/ttyS0 mapped onto devices the caller
// names, in a private mount namespace whose /dev holds only a few harmless
// nodes and those ports. The machine's own /dev, and its own /dev/ttyS0
// (often its console), are neither changed nor reachable there.
//
// Each device is opened once, as the caller, right after the namespace is made
// and before anything is mounted: that open is the permission check, and the
// node mounted is the very one opened (bound from /proc/self/fd), so nothing
// can be swapped in between. A terminal is locked (flock, as picocom and tio
// lock) while the program runs, and gets its line settings back afterwards.
// Nothing is written outside the namespace, and the namespace ends with the
// program. Exit status: 2 when a device or the namespace cannot be had (nothing
// has run then), 126 or 127 when the program cannot be run, otherwise the
// program's own (128 + N when signal N ended it).
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace {

const char *const me = "portlink-ports";

const char *const usage =
    "usage: portlink-ports [--tts0 DEVICE] [--ttyS0 DEVICE] [--no-reset] [--] PROGRAM [ARG...]\n";
const char *const help =
    "Runs PROGRAM in a private mount namespace whose /dev holds only harmless nodes\n"
    "and the ports named here; a port that is not named does not exist there.\n"
    "  --tts0 DEVICE   /dev/tts/0 is DEVICE (the port portfeed opens)\n"
    "  --ttyS0 DEVICE  /dev/ttyS0 is DEVICE (the port portwatch opens)\n"
    "  --no-reset      keep the line settings PROGRAM leaves on each DEVICE\n"
    "                  (by default they are put back as they were)\n"
    "  --help          show this and end\n"
    "  --version       show the version and end\n"
    "Each DEVICE is opened as the caller and locked while PROGRAM runs.\n"
    "Exit status: 2 when a DEVICE or the namespace cannot be had (nothing has run\n"
    "then), 126 when PROGRAM cannot be run, 127 when it is not found, otherwise\n"
    "PROGRAM's own (128+N when signal N ended it).\n";

// The ports a program may be given: the option, the node inside, its folder.
struct PortName {
  const char *option;
  const char *node;
  const char *folder;  // made first when not null
};
const PortName port_names[] = {
    {"--tts0", "/dev/tts/0", "/dev/tts"},
    {"--ttyS0", "/dev/ttyS0", nullptr},
};
const int port_count = 2;

// Nodes of the machine's /dev that every program may expect, and links.
const char *const harmless[] = {"null", "zero", "full", "random", "urandom", "tty"};
const char *const links[][2] = {
    {"ptmx", "pts/ptmx"}, {"fd", "/proc/self/fd"}, {"stdin", "fd/0"},
    {"stdout", "fd/1"},   {"stderr", "fd/2"},
};

// Signals passed on to the program while it runs; before it runs, one of them
// ends this process, nothing started. Those the caller ignores stay ignored.
const int passed_on[] = {SIGINT, SIGTERM, SIGHUP};

// What the command line asks for.
struct Request {
  const char *devices[port_count];  // null: the port does not exist inside
  bool reset;
  char **program;  // PROGRAM and its arguments, null-terminated
};

// A device as opened for the program.
struct Port {
  const char *device;
  struct stat seen;    // as the caller sees it, for advice only; st_mode 0: not seen
  struct stat opened;  // the node opened
  int fd;              // -1: not named
  bool terminal;
  struct termios saved;
};

// Joins the texts `a` to `h` into `out` of `size` bytes; false (and as much
// as fits) when they do not fit.
bool join(char *out, size_t size, const char *a, const char *b = "", const char *c = "",
          const char *d = "", const char *e = "", const char *f = "", const char *g = "",
          const char *h = "") {
  const char *const parts[] = {a, b, c, d, e, f, g, h};
  size_t used = 0;
  for (const char *part : parts) {
    for (; *part != '\0'; ++part) {
      if (used + 1 >= size) {
        out[used] = '\0';
        return false;
      }
      out[used++] = *part;
    }
  }
  out[used] = '\0';
  return true;
}

// The decimal digits of `value`, in `out`.
const char *decimal(unsigned long value, char (&out)[24]) {
  char *digit = out + sizeof out - 1;
  *digit = '\0';
  do {
    *--digit = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  return digit;
}

// Writes `text` whole to descriptor `fd`; false when it cannot.
bool put(int fd, const char *text) {
  size_t left = strlen(text);
  while (left > 0) {
    const ssize_t n = write(fd, text, left);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return false;
    }
    text += n;
    left -= static_cast<size_t>(n);
  }
  return true;
}

// Prints "portlink-ports: " and the texts `a` to `g` as one line on standard
// error (cut short when it is very long).
void say(const char *a, const char *b = "", const char *c = "", const char *d = "",
         const char *e = "", const char *f = "", const char *g = "") {
  char line[1024];
  (void)join(line, sizeof line - 1, me, ": ", a, b, c, d, e, f);
  (void)join(line + strlen(line), sizeof line - strlen(line), g, "\n");
  (void)put(STDERR_FILENO, line);
}

[[noreturn]] void fail_usage(const char *text, const char *what) {
  say(text, what);
  (void)put(STDERR_FILENO, usage);
  exit(2);
}

// The index in port_names of the port that `option` names; port_count when
// it names none.
int port_of(const char *option) {
  int port = 0;
  while (port < port_count && strcmp(option, port_names[port].option) != 0) {
    ++port;
  }
  return port;
}

// Reads the command line; prints help or version (status 0) or a usage error
// (status 2) and ends the process when that is what it holds.
Request parse(int argc, char **argv) {
  Request request = {{nullptr, nullptr}, true, nullptr};
  int i = 1;
  for (; i < argc && argv[i][0] == '-'; ++i) {
    const char *arg = argv[i];
    if (strcmp(arg, "--") == 0) {
      ++i;
      break;
    }
    if (strcmp(arg, "--help") == 0) {
      exit(put(STDOUT_FILENO, usage) && put(STDOUT_FILENO, help) ? 0 : 2);
    }
    if (strcmp(arg, "--version") == 0) {
      exit(put(STDOUT_FILENO, "portlink-ports " PORTLINK_VERSION "\n") ? 0 : 2);
    }
    if (strcmp(arg, "--no-reset") == 0) {
      request.reset = false;
      continue;
    }
    const int port = port_of(arg);
    if (port == port_count) {
      fail_usage("unknown option: ", arg);
    }
    if (i + 1 == argc) {
      fail_usage("a DEVICE must follow ", arg);
    }
    if (request.devices[port] != nullptr) {
      fail_usage("given twice: ", arg);
    }
    request.devices[port] = argv[++i];
  }
  if (i == argc) {
    fail_usage("no PROGRAM to run", "");
  }
  request.program = argv + i;
  return request;
}

// Gives each closed standard descriptor a placeholder that is closed again at
// exec, so that the program finds it closed as well and nothing opened here
// lands on it meanwhile.
void hold_closed_standard_descriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF) {
      continue;
    }
    if (open("/dev/null", O_RDWR | O_CLOEXEC) < 0 && open("/", O_RDONLY | O_CLOEXEC) < 0) {
      exit(2);  // nothing to say it on
    }
  }
}

// Reads the number in the sysctl file `path` into `value`; false when the
// file does not exist or holds no number.
bool read_sysctl(const char *path, long *value) {
  char text[32] = {};
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    return false;
  }
  const ssize_t length = read(fd, text, sizeof text - 1);
  (void)close(fd);
  *value = 0;
  ssize_t i = 0;
  for (; i < length && text[i] >= '0' && text[i] <= '9'; ++i) {
    *value = *value * 10 + (text[i] - '0');
  }
  return i > 0;
}

// Says that the namespace cannot be had, why, and what would allow it, and
// ends the process with status 2.
[[noreturn]] void fail_namespace(int code) {
  say("cannot make a private mount namespace: ", strerror(code));
  char line[512];
  (void)join(line, sizeof line, me, ": run it as root (sudo ", me, " ...)");
  // The settings that keep ordinary users from making user namespaces, where
  // the kernel has them: each with the value that stops it, and what allows it.
  const struct {
    const char *path;
    const char *name;
    long stops;
    const char *allows;
  } settings[] = {
      {"/proc/sys/user/max_user_namespaces", "user.max_user_namespaces", 0, "15000"},
      {"/proc/sys/kernel/unprivileged_userns_clone", "kernel.unprivileged_userns_clone", 0, "1"},
      {"/proc/sys/kernel/apparmor_restrict_unprivileged_userns",
       "kernel.apparmor_restrict_unprivileged_userns", 1, "0"},
  };
  const char *joint = ", or let ordinary users make user namespaces: sudo sysctl -w ";
  for (const auto &setting : settings) {
    long value = 0;
    if (read_sysctl(setting.path, &value) && value == setting.stops) {
      (void)join(line + strlen(line), sizeof line - strlen(line), joint, setting.name, "=",
                 setting.allows);
      joint = " ";
    }
  }
  if (joint[0] == ',') {  // none of them forbids it: say so, naming them
    joint = "; none of ";
    for (const auto &setting : settings) {
      (void)join(line + strlen(line), sizeof line - strlen(line), joint, setting.name);
      joint = ", ";
    }
    (void)join(line + strlen(line), sizeof line - strlen(line),
               " forbids it here: a chroot, a container's policy or the kernel itself does");
  }
  (void)join(line + strlen(line), sizeof line - strlen(line), "\n");
  (void)put(STDERR_FILENO, line);
  exit(2);
}

// What became of the namespace: made plain, made in a user namespace, or not.
enum class Namespace { plain, in_user_namespace, refused };

// Makes this process's private mount namespace: a plain one where the caller
// may (root), else one in a new user namespace, whose ids are mapped later by
// map_caller(). When neither can be made, leaves the errno of the last try.
Namespace enter_namespace() {
  if (unshare(CLONE_NEWNS) == 0) {
    return Namespace::plain;
  }
  if (unshare(CLONE_NEWUSER | CLONE_NEWNS) == 0) {
    return Namespace::in_user_namespace;
  }
  return Namespace::refused;
}

// Writes `text` to the file `path`; returns 0 or the errno.
int write_file(const char *path, const char *text) {
  const int fd = open(path, O_WRONLY | O_CLOEXEC);
  if (fd < 0) {
    return errno;
  }
  const size_t length = strlen(text);
  const int code = write(fd, text, length) == static_cast<ssize_t>(length) ? 0 : errno;
  (void)close(fd);
  return code;
}

// In the new user namespace, the caller is who they are outside (their own
// user and group id, not root), so the program runs as them. Ends the process
// with status 2 when the ids cannot be mapped.
void map_caller(uid_t uid, gid_t gid) {
  char line[64];
  char id[24];
  int code = write_file("/proc/self/setgroups", "deny");
  if (code == ENOENT) {
    code = 0;  // a kernel older than 3.19 has no such file
  }
  (void)join(line, sizeof line, decimal(uid, id), " ", decimal(uid, id), " 1\n");
  if (code == 0) {
    code = write_file("/proc/self/uid_map", line);
  }
  (void)join(line, sizeof line, decimal(gid, id), " ", decimal(gid, id), " 1\n");
  if (code == 0) {
    code = write_file("/proc/self/gid_map", line);
  }
  if (code != 0) {
    fail_namespace(code);
  }
}

// Whether `line` (a line of /etc/passwd or /etc/group: name, password, id)
// is the entry of `id`; if so, copies its name into `name`.
bool entry_of(const char *line, unsigned id, char *name, size_t size) {
  const char *end_of_name = strchr(line, ':');
  const char *field = end_of_name != nullptr ? strchr(end_of_name + 1, ':') : nullptr;
  if (field == nullptr) {
    return false;
  }
  unsigned long number = 0;
  const char *digit = field + 1;
  for (; *digit >= '0' && *digit <= '9'; ++digit) {
    number = number * 10 + static_cast<unsigned long>(*digit - '0');
  }
  if (digit == field + 1 || *digit != ':' || number != id) {
    return false;
  }
  const auto length = static_cast<size_t>(end_of_name - line);
  if (length < size) {
    memcpy(name, line, length);
    name[length] = '\0';
  }
  return true;
}

// Copies into `name` the name that the file `path` (/etc/passwd, /etc/group)
// gives to `id`, or the number itself when it gives none. Reads the file
// alone, as a board without any name service has it.
void name_of(const char *path, unsigned id, char *name, size_t size) {
  char number[24];
  (void)join(name, size, decimal(id, number));
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    return;
  }
  char line[512];  // longer lines are skipped
  size_t used = 0;
  bool skipping = false;
  char c = 0;
  while (read(fd, &c, 1) == 1) {
    if (c != '\n') {
      skipping = skipping || used == sizeof line - 1;
      if (!skipping) {
        line[used++] = c;
      }
      continue;
    }
    line[used] = '\0';
    if (!skipping && entry_of(line, id, name, size)) {
      break;
    }
    used = 0;
    skipping = false;
  }
  (void)close(fd);
}

// Says that the caller may not open `device`, and what would let them: a
// group to join, when the device's group may read and write it (and is not
// root's), else sudo or its owner. `caller` is the user's id, `seen` the
// device as they see it. Ends the process with status 2.
[[noreturn]] void fail_permission(const char *device, uid_t caller, const struct stat &seen) {
  char user[64];
  name_of("/etc/passwd", caller, user, sizeof user);
  const mode_t group_rw = S_IRGRP | S_IWGRP;
  if ((seen.st_mode & group_rw) == group_rw && seen.st_gid != 0) {
    char group[64];
    name_of("/etc/group", seen.st_gid, group, sizeof group);
    char join_it[256];
    (void)join(join_it, sizeof join_it, "; the group ", group, " may: join it (usermod -aG ", group,
               " ", user, ", as root), then log in again");
    say(device, ": ", user, " may not read and write it", join_it);
  } else {
    say(device, ": ", user, " may not read and write it, and no group to join would allow it: ",
        "use sudo, or ask its owner");
  }
  exit(2);
}

[[noreturn]] void fail_device(const char *device, const char *why) {
  say(device, ": ", why);
  exit(2);
}

// Opens the device of `port` for the program as the caller, into its `fd` and
// `opened`, refusing what cannot serve as a port; `caller` is who asks. Ends
// the process with status 2, saying why, when it cannot.
void open_device(Port &port, uid_t caller) {
  const char *device = port.device;
  const int fd = open(device, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    switch (errno) {
      case ENOENT:
      case ENOTDIR:
        fail_device(device, "no such device");
      case EISDIR:
        fail_device(device, "not a character device");
      case EACCES:
      case EPERM:
      case EROFS:
        fail_permission(device, caller, port.seen);
      case EBUSY:  // a terminal set exclusive (TIOCEXCL) by its user
        fail_device(device, "in use by another program");
      default:
        fail_device(device, strerror(errno));
    }
  }
  if (fstat(fd, &port.opened) != 0 || !S_ISCHR(port.opened.st_mode)) {
    fail_device(device, "not a character device");
  }
  port.fd = fd;
}

// Takes the devices asked for into `ports`, with what the caller sees of
// each (only to advise them when they may not open it), before anything else.
void look_at_ports(const Request &request, Port ports[]) {
  for (int i = 0; i < port_count; ++i) {
    Port &port = ports[i];
    port = {};
    port.device = request.devices[i];
    port.fd = -1;
    if (port.device != nullptr && stat(port.device, &port.seen) != 0) {
      port.seen.st_mode = 0;
    }
  }
}

// Opens the devices of `ports`; a terminal is locked and its settings kept.
// The same device named twice is opened once. Ends the process with status 2
// when one cannot be had. `caller` is who asks.
void open_ports(uid_t caller, Port ports[]) {
  for (int i = 0; i < port_count; ++i) {
    Port &port = ports[i];
    if (port.device == nullptr) {
      continue;
    }
    open_device(port, caller);
    if (i > 0 && ports[0].fd >= 0 && ports[0].opened.st_dev == port.opened.st_dev &&
        ports[0].opened.st_ino == port.opened.st_ino) {
      (void)close(port.fd);
      port.fd = ports[0].fd;  // locked and kept already
      continue;
    }
    if (isatty(port.fd) == 0) {
      continue;  // not a serial port; mapped as it is
    }
    if (flock(port.fd, LOCK_EX | LOCK_NB) != 0) {
      fail_device(port.device,
                  errno == EWOULDBLOCK ? "in use by another program" : strerror(errno));
    }
    port.terminal = tcgetattr(port.fd, &port.saved) == 0;
  }
}

// Mounts `source` over the node `target`, made first as an empty file (or a
// folder when `folder`). Ends the process with status 2 when it cannot.
void bind(const char *source, const char *target, bool folder) {
  const int made = folder ? mkdir(target, 0755) : mknod(target, S_IFREG | 0600, 0);
  if (made != 0 || mount(source, target, nullptr, MS_BIND, nullptr) != 0) {
    say("cannot map ", target, ": ", strerror(errno));
    exit(2);
  }
}

// Lays a fresh /dev over the machine's in this namespace: the harmless nodes
// that the machine has, pts, the usual links, and the ports. Nothing of it
// reaches the machine's own namespace. Ends the process with status 2 when
// it cannot.
void build_dev(const Port ports[]) {
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 &&
      mount(nullptr, "/dev", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    fail_device("/dev", "cannot keep the namespace's mounts to itself");
  }
  // The machine's /dev stays reachable through this descriptor meanwhile.
  const int old = open("/dev", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (old < 0 || mount(me, "/dev", "tmpfs", MS_NOSUID | MS_NOEXEC, "mode=755,size=64k") != 0) {
    fail_device("/dev", strerror(errno));
  }
  char number[24];
  char source[64];
  char target[64];
  struct stat node = {};
  for (const char *name : harmless) {
    if (fstatat(old, name, &node, 0) == 0 && S_ISCHR(node.st_mode)) {
      (void)join(source, sizeof source, "/proc/self/fd/",
                 decimal(static_cast<unsigned>(old), number), "/", name);
      (void)join(target, sizeof target, "/dev/", name);
      bind(source, target, false);
    }
  }
  if (fstatat(old, "pts", &node, 0) == 0 && S_ISDIR(node.st_mode)) {
    (void)join(source, sizeof source, "/proc/self/fd/", decimal(static_cast<unsigned>(old), number),
               "/pts");
    bind(source, "/dev/pts", true);
  }
  for (const auto &link : links) {
    (void)join(target, sizeof target, "/dev/", link[0]);
    if (symlink(link[1], target) != 0) {
      fail_device(target, strerror(errno));
    }
  }
  (void)close(old);
  for (int i = 0; i < port_count; ++i) {
    if (ports[i].fd < 0) {
      continue;
    }
    if (port_names[i].folder != nullptr && mkdir(port_names[i].folder, 0755) != 0) {
      fail_device(port_names[i].folder, strerror(errno));
    }
    (void)join(source, sizeof source, "/proc/self/fd/",
               decimal(static_cast<unsigned>(ports[i].fd), number));
    bind(source, port_names[i].node, false);
  }
}

// Runs `program`, whose name has no slash, from the first folder of PATH that
// has it, as a shell does (but never hands a file of an unknown kind to a
// shell). Returns why it could not: ENOENT when no folder has it, EACCES when
// one has it but it may not be run, else the reason of the first that failed.
int run_from_path(char *const program[]) {
  const char *name = program[0];
  const char *path = getenv("PATH");
  if (path == nullptr) {
    path = "/usr/local/bin:/usr/bin:/bin";
  }
  bool denied = false;
  for (const char *dir = path;; ++dir) {
    const char *end = strchr(dir, ':');
    const size_t length = end != nullptr ? static_cast<size_t>(end - dir) : strlen(dir);
    char full[PATH_MAX];
    if (length < sizeof full) {
      memcpy(full, dir, length);  // an empty entry is the current folder
      full[length] = '\0';
      if (join(full + length, sizeof full - length, length > 0 ? "/" : "", name)) {
        (void)execve(full, program, environ);
        if (errno != ENOENT && errno != ENOTDIR && errno != EACCES) {
          return errno;
        }
        denied = denied || errno == EACCES;
      }
    }
    if (end == nullptr) {
      return denied ? EACCES : ENOENT;
    }
    dir = end;
  }
}

// Runs `program` (searched in PATH when its name has no slash) in this
// process. When it cannot, says why and ends with status 127 (not found) or
// 126 (found but not runnable).
[[noreturn]] void run(char *const program[]) {
  const char *name = program[0];
  int code = ENOENT;
  if (strchr(name, '/') != nullptr) {
    (void)execve(name, program, environ);
    code = errno;
  } else if (name[0] != '\0') {
    code = run_from_path(program);
  }
  if (code == ENOEXEC) {
    say(name, ": ", strerror(code),
        ": this kernel cannot run that kind of program (one built for another processor, ",
        "or a 32-bit one on a kernel without 32-bit support)");
  } else {
    say(name, ": ", strerror(code));
  }
  _exit(code == ENOENT || code == ENOTDIR ? 127 : 126);
}

// Ends this process by `signal`, as the caller asked, before anything ran.
[[noreturn]] void end_by(int signal) {
  sigset_t one;
  (void)sigemptyset(&one);
  (void)sigaddset(&one, signal);
  (void)sigprocmask(SIG_UNBLOCK, &one, nullptr);
  _exit(128 + signal);  // only when the signal did not end it
}

// Waits for the program `child` to end, passing on the signals of `watched`
// that come from another process (the terminal's reach it directly); returns
// its status as a shell gives it.
int wait_for(pid_t child, const sigset_t &watched) {
  for (;;) {
    siginfo_t info = {};
    const int signal = sigwaitinfo(&watched, &info);
    if (signal == SIGCHLD) {
      int status = 0;
      if (waitpid(child, &status, WNOHANG) == child) {
        return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
      }
    } else if (signal > 0 && info.si_code != SI_KERNEL) {
      (void)kill(child, signal);
    }
  }
}

}  // namespace

int main(int argc, char **argv) {
  const Request request = parse(argc, argv);
  hold_closed_standard_descriptors();

  // The signals to pass on wait here until the program runs; one that comes
  // before that ends this process with nothing started.
  sigset_t watched;
  sigset_t original;
  (void)sigemptyset(&watched);
  (void)sigaddset(&watched, SIGCHLD);
  for (const int signal : passed_on) {
    struct sigaction action = {};
    if (sigaction(signal, nullptr, &action) == 0 && action.sa_handler != SIG_IGN) {
      (void)sigaddset(&watched, signal);
    }
  }
  (void)sigprocmask(SIG_BLOCK, &watched, &original);
  struct sigaction child_default = {};
  struct sigaction child_original = {};
  child_default.sa_handler = SIG_DFL;
  (void)sigaction(SIGCHLD, &child_default, &child_original);

  const uid_t uid = getuid();
  const gid_t gid = getgid();
  Port ports[port_count];
  look_at_ports(request, ports);
  // The devices are opened in the namespace, where a bind mount can take
  // them; where it cannot be had they are opened all the same, only to say
  // first what is wrong with them, as the caller would meet it next.
  const Namespace made = enter_namespace();
  const int refusal = errno;
  open_ports(uid, ports);
  if (made == Namespace::refused) {
    fail_namespace(refusal);
  }
  if (made == Namespace::in_user_namespace) {
    map_caller(uid, gid);
  }
  build_dev(ports);

  sigset_t pending;
  (void)sigpending(&pending);
  for (const int signal : passed_on) {
    if (sigismember(&watched, signal) == 1 && sigismember(&pending, signal) == 1) {
      end_by(signal);
    }
  }
  const pid_t parent = getpid();
  const pid_t child = fork();
  if (child < 0) {
    fail_device(request.program[0], strerror(errno));
  }
  if (child == 0) {
    // The program does not outlive this process.
    (void)prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) {
      _exit(2);
    }
    (void)sigaction(SIGCHLD, &child_original, nullptr);
    (void)sigprocmask(SIG_SETMASK, &original, nullptr);
    run(request.program);
  }
  const int status = wait_for(child, watched);

  // A port that hung up (EIO) has nothing left to put back; the program has
  // said so already.
  for (const Port &port : ports) {
    if (request.reset && port.terminal && tcsetattr(port.fd, TCSANOW, &port.saved) != 0 &&
        errno != EIO) {
      say(port.device, ": cannot put its settings back: ", strerror(errno));
    }
  }
  return status;
}
