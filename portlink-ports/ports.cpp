// The devices mapped for the program: opened once as the caller and checked,
// a terminal locked (flock, as picocom and tio lock) and its settings and
// counters kept; afterwards what the program wrote is let out of the port
// before the settings are put back.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include "portlink-ports.h"

namespace {

// How long the output may stand still before what is left of it is dropped,
// in steps of `drain_step_ms`: time for the far end's flow control to let go.
const int drain_step_ms = 20;
const int drain_patience_ms = 5000;

// Whether the stats `a` and `b` show the same node, unchanged.
bool same_node(const struct stat &a, const struct stat &b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_mode == b.st_mode &&
         a.st_uid == b.st_uid && a.st_gid == b.st_gid && a.st_rdev == b.st_rdev;
}

// Says why `port` cannot be had (`why`; the advice on permissions for
// `caller` when null), unless it was said last time for the same node as
// the caller sees it now; false.
bool refuse(Port &port, const char *why, uid_t caller) {
  if (port.refused.st_mode == 0 || !same_node(port.refused, port.seen)) {
    if (why != nullptr) {
      say(port.device, ": ", why);
    } else {
      say_permission(port.device, caller, port.seen);
    }
  }
  port.refused = port.seen;
  if (port.refused.st_mode == 0) {
    port.refused.st_mode = S_IFMT;  // seen as nothing: said all the same
  }
  return false;
}

// Opens the device of `port` for the program as the caller `caller`, into
// its `fd` and `opened`, refusing what cannot serve as a port; false, having
// said why, when it cannot.
bool open_device(Port &port, uid_t caller) {
  const int fd = open(port.device, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    switch (errno) {
      case ENOENT:
      case ENOTDIR:
        return refuse(port, "no such device", caller);
      case EISDIR:
        return refuse(port, "not a character device", caller);
      case EACCES:
      case EPERM:
      case EROFS:
        return refuse(port, nullptr, caller);
      case EBUSY:  // a terminal set exclusive (TIOCEXCL) by its user
        return refuse(port, "in use by another program", caller);
      default:
        return refuse(port, strerror(errno), caller);
    }
  }
  port.fd = fd;
  if (fstat(fd, &port.opened) != 0 || !S_ISCHR(port.opened.st_mode)) {
    return refuse(port, "not a character device", caller);
  }
  return true;
}

// Bytes of `fd` still on their way out: those queued in the driver, and one
// more while the UART's transmitter holds some (its FIFO cannot be counted),
// where the driver tells; -1 when the port cannot be asked (it hung up).
int outgoing(int fd) {
  int queued = 0;
  if (ioctl(fd, TIOCOUTQ, &queued) != 0) {
    return -1;
  }
  unsigned int status = 0;
  if (ioctl(fd, TIOCSERGETLSR, &status) == 0 && (status & TIOCSER_TEMT) == 0) {
    ++queued;
  }
  return queued;
}

// Waits while the output of `port` moves out; true once it is all out (or
// the port cannot tell). When it stands still for drain_patience_ms, or a
// signal of `watched` asks to end, what is left is dropped if `discard`, and
// said; else it is left to go out later.
bool drain(const Port &port, bool discard, const sigset_t &watched) {
  int left = outgoing(port.fd);
  int still_ms = 0;
  sigset_t none;
  (void)sigemptyset(&none);
  while (left > 0 && still_ms < drain_patience_ms && !asked_to_end(watched)) {
    const struct timespec step = {0, drain_step_ms * 1000000L};
    (void)sigtimedwait(&none, nullptr, &step);  // a pause; the signal asking stays pending
    const int now = outgoing(port.fd);
    still_ms = now < left ? 0 : still_ms + drain_step_ms;
    left = now;
  }
  int queued = 0;
  if (left <= 0) {
    return true;
  }
  if (!discard || ioctl(port.fd, TIOCOUTQ, &queued) != 0) {
    return false;
  }
  (void)tcflush(port.fd, TCOFLUSH);
  if (queued > 0) {
    char number[24];
    say(port.device, ": dropped ", decimal(static_cast<unsigned>(queued), number),
        queued == 1 ? " byte" : " bytes",
        " that did not leave the port (its flow control held them)");
  }
  return false;
}

}  // namespace

void fail_device(const char *device, const char *why) {
  say(device, ": ", why);
  exit(2);
}

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

bool open_ports(uid_t caller, Port ports[]) {
  for (int i = 0; i < port_count; ++i) {
    Port &port = ports[i];
    if (port.device == nullptr) {
      continue;
    }
    if (!open_device(port, caller)) {
      return false;
    }
    if (i > 0 && ports[0].fd >= 0 && ports[0].opened.st_dev == port.opened.st_dev &&
        ports[0].opened.st_ino == port.opened.st_ino) {
      (void)close(port.fd);
      port.fd = ports[0].fd;  // locked and kept already
      continue;
    }
    if (isatty(port.fd) == 0) {
      if (port.returns > 0 || port.away) {
        return refuse(port, "not a terminal", caller);  // it was one: wait for one
      }
      continue;  // not a serial port; mapped as it is
    }
    if (flock(port.fd, LOCK_EX | LOCK_NB) != 0) {
      return refuse(port, errno == EWOULDBLOCK ? "in use by another program" : strerror(errno),
                    caller);
    }
    port.held = true;
    port.saved_ok = tcgetattr(port.fd, &port.saved) == 0;
    if (!port.saved_ok && port.away) {  // its node is there, but not its port yet
      char why[128];
      (void)join(why, sizeof why, "cannot be used yet: ", strerror(errno));
      return refuse(port, why, caller);
    }
    port.refused = {};
    if (port.prepared_ok) {  // a node in place of the first: set up as that one was
      port.saved_ok = tcsetattr(port.fd, TCSANOW, &port.prepared) == 0;
      port.saved = port.prepared;
    } else {
      port.prepared_ok = port.saved_ok;
      port.prepared = port.saved;
    }
  }
  return true;
}

void close_ports(Port ports[]) {
  for (int i = 0; i < port_count; ++i) {
    if (ports[i].fd >= 0 && (i == 0 || ports[i].fd != ports[0].fd)) {
      (void)close(ports[i].fd);
    }
    ports[i].fd = -1;
    ports[i].held = false;
    ports[i].saved_ok = false;
    ports[i].counted = false;
  }
}

bool gone(const Port &port) {
  struct termios now = {};
  struct stat named = {};
  return (tcgetattr(port.fd, &now) != 0 && errno == EIO) || stat(port.device, &named) != 0 ||
         named.st_dev != port.opened.st_dev || named.st_ino != port.opened.st_ino;
}

void finish_ports(const Request &request, const Port ports[], const sigset_t &watched) {
  for (int i = 0; i < port_count; ++i) {
    const Port &port = ports[i];
    if (!port.held) {
      continue;
    }
    const bool out = !(request.reset || request.report) || drain(port, request.reset, watched);
    if (request.report) {
      report_counts(port);
    }
    // Once the queue is out, TCSADRAIN also lets the last bytes out of the
    // UART's FIFO; a queue that stood still is put back at once (the driver's
    // own drain could wait for ever). A port that hung up (EIO) has nothing
    // left to put back; the program has said so already.
    if (request.reset && port.saved_ok &&
        tcsetattr(port.fd, out ? TCSADRAIN : TCSANOW, &port.saved) != 0 && errno != EIO) {
      say(port.device, ": cannot put its settings back: ", strerror(errno));
    }
  }
}
