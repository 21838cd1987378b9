// The private mount namespace the program runs in, and its /dev: made plain
// as root, or inside a user namespace in which an ordinary user stays who
// they are; what would allow it when neither can be made; and the fresh /dev
// with the harmless nodes, the usual links and the ports.
#include <errno.h>
#include <fcntl.h>
#include <sched.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include "portlink-ports.h"

namespace {

// Nodes of the machine's /dev that every program may expect, and links.
const char *const harmless[] = {"null", "zero", "full", "random", "urandom", "tty"};
const char *const links[][2] = {
    {"ptmx", "pts/ptmx"}, {"fd", "/proc/self/fd"}, {"stdin", "fd/0"},
    {"stdout", "fd/1"},   {"stderr", "fd/2"},
};

// The settings that keep ordinary users from making user namespaces, where
// the kernel has them: each with the value that stops it, and what allows it.
const struct {
  const char *path;
  const char *name;
  long stops;
  const char *allows;
} userns_settings[] = {
    {"/proc/sys/user/max_user_namespaces", "user.max_user_namespaces", 0, "15000"},
    {"/proc/sys/kernel/unprivileged_userns_clone", "kernel.unprivileged_userns_clone", 0, "1"},
    {"/proc/sys/kernel/apparmor_restrict_unprivileged_userns",
     "kernel.apparmor_restrict_unprivileged_userns", 1, "0"},
};

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

// Mounts `source` over the node `target`, made first as an empty file (or a
// folder when `folder`), as a bind mount needs a node of the same kind to
// cover. Either step fails only when the small tmpfs is full or the kernel
// refuses the bind; ends the process with status 2 then.
void bind(const char *source, const char *target, bool folder) {
  const int made = folder ? mkdir(target, 0755) : mknod(target, S_IFREG | 0600, 0);
  if (made != 0 || mount(source, target, nullptr, MS_BIND, nullptr) != 0) {
    say("cannot map ", target, ": ", strerror(errno));
    exit(2);
  }
}

// "/proc/self/fd/FD", and "/NAME" after it when `name` is given.
void fd_path(char (&out)[64], int fd, const char *name = nullptr) {
  char number[24];
  (void)join(out, sizeof out, "/proc/self/fd/", decimal(static_cast<unsigned>(fd), number),
             name != nullptr ? "/" : "", name != nullptr ? name : "");
}

}  // namespace

Namespace enter_namespace() {
  if (unshare(CLONE_NEWNS) == 0) {
    return Namespace::plain;
  }
  if (unshare(CLONE_NEWUSER | CLONE_NEWNS) == 0) {
    return Namespace::in_user_namespace;
  }
  return Namespace::refused;
}

void fail_namespace(int code) {
  say("cannot make a private mount namespace: ", strerror(code));
  char line[512];
  (void)join(line, sizeof line, "portlink-ports: run it as root (sudo portlink-ports ...)");
  const char *joint = ", or let ordinary users make user namespaces: sudo sysctl -w ";
  for (const auto &setting : userns_settings) {
    long value = 0;
    if (read_sysctl(setting.path, &value) && value == setting.stops) {
      append(line, sizeof line, joint, setting.name, "=", setting.allows);
      joint = " ";
    }
  }
  if (joint[0] == ',') {  // none of them forbids it: say so, naming them
    joint = "; none of ";
    for (const auto &setting : userns_settings) {
      append(line, sizeof line, joint, setting.name);
      joint = ", ";
    }
    append(line, sizeof line,
           " forbids it here: a chroot, a container's policy or the kernel itself does");
  }
  append(line, sizeof line, "\n");
  (void)put(STDERR_FILENO, line);
  exit(2);
}

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

void build_dev(const Port ports[]) {
  // Mounts made here must not reach the machine's namespace. The whole tree
  // is made private where / is a mount point; in a chroot whose root is not
  // one, that fails (EINVAL), and /dev alone, which is one, is made private.
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 &&
      mount(nullptr, "/dev", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    fail_device("/dev", "cannot keep the namespace's mounts to itself");
  }
  // The machine's /dev stays reachable through this descriptor meanwhile.
  const int old = open("/dev", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (old < 0 ||
      mount("portlink-ports", "/dev", "tmpfs", MS_NOSUID | MS_NOEXEC, "mode=755,size=64k") != 0) {
    fail_device("/dev", strerror(errno));
  }
  char source[64];
  char target[64];
  struct stat node = {};
  for (const char *name : harmless) {
    if (fstatat(old, name, &node, 0) == 0 && S_ISCHR(node.st_mode)) {
      fd_path(source, old, name);
      (void)join(target, sizeof target, "/dev/", name);
      bind(source, target, false);
    }
  }
  if (fstatat(old, "pts", &node, 0) == 0 && S_ISDIR(node.st_mode)) {
    fd_path(source, old, "pts");
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
    fd_path(source, ports[i].fd);
    bind(source, port_names[i].node, false);
  }
}

bool leave_dev() { return umount2("/dev", MNT_DETACH) == 0; }
