// Users and groups by name, read from /etc/passwd and /etc/group alone (as a
// board without any name service has them), for the advice given to a user
// who may not open a device.
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include "portlink-ports.h"

namespace {

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
// gives to `id`, or the number itself when it gives none.
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

}  // namespace

void say_permission(const char *device, uid_t caller, const struct stat &seen) {
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
}
