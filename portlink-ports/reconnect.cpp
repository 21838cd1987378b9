// Following a device that went away, with --reconnect: telling that it went
// (it hung up, or its path names another node now), waiting, a few looks a
// second and no busy loop, until its path names a terminal again, and
// opening every port anew, in a fresh namespace, for the next run.
#include <errno.h>
#include <sched.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "portlink-ports.h"

namespace {

// How long to wait between looks at the paths.
const long look_every_ns = 200L * 1000 * 1000;

// Waits until the next look; SIGINT, SIGTERM or SIGHUP (of `watched`) ends
// the process with 128 + N at once.
void wait_a_moment(const sigset_t &watched) {
  const struct timespec moment = {0, look_every_ns};
  const int signal = sigtimedwait(&watched, nullptr, &moment);
  if (signal > 0 && signal != SIGCHLD) {
    _exit(128 + signal);
  }
}

// Looks at each path of `ports` again, as the caller sees it; whether each
// port that went away names a character device once more.
bool all_there(Port ports[]) {
  bool there = true;
  for (int i = 0; i < port_count; ++i) {
    Port &port = ports[i];
    if (port.device == nullptr) {
      continue;
    }
    if (stat(port.device, &port.seen) != 0) {
      port.seen.st_mode = 0;
    }
    there = there && (!port.away || S_ISCHR(port.seen.st_mode));
  }
  return there;
}

}  // namespace

bool follow_ports(uid_t caller, Port ports[], const sigset_t &watched) {
  if (!leave_dev()) {
    return false;
  }
  bool any = false;
  for (int i = 0; i < port_count; ++i) {
    ports[i].away = ports[i].held && gone(ports[i]);
    any = any || ports[i].away;
    if (ports[i].away) {
      say(ports[i].device, " went away; waiting for it to come back");
    }
  }
  if (!any) {
    return false;
  }
  close_ports(ports);
  for (;;) {
    wait_a_moment(watched);
    if (!all_there(ports)) {
      continue;
    }
    // Opened in a namespace of their own, where their nodes can be mounted.
    if (unshare(CLONE_NEWNS) != 0) {
      fail_namespace(errno);
    }
    if (open_ports(caller, ports)) {
      break;
    }
    close_ports(ports);
  }
  for (int i = 0; i < port_count; ++i) {
    Port &port = ports[i];
    if (port.away) {
      port.away = false;
      ++port.returns;
      char count[24];
      say(port.device, " is back (", decimal(port.returns, count),
          port.returns == 1 ? " time" : " times", " so far)");
    }
  }
  return true;
}
