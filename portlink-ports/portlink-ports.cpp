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
// lock) while the program runs; afterwards its driver's line counters are
// reported and, once what the program wrote has left it, its line settings
// are put back. With --reconnect, a terminal that went away is waited for and
// the program run again once it is back. Nothing is written outside the
// namespace, and the namespace ends with the program. Exit status: 2 when a device or the namespace
// cannot be had (nothing has run then), 126 or 127 when the program cannot be run, otherwise the
// program's own (128 + N when signal N ended it).
//
// This file holds the sequence; portlink-ports.h lists the files of each step.
#include "portlink-ports.h"

#include <errno.h>
#include <stdlib.h>
#include <unistd.h>

int main(int argc, char **argv) {
  const Request request = parse(argc, argv);
  hold_closed_standard_descriptors();

  // The signals to pass on wait here until the program runs; one that comes
  // before that ends this process with nothing started.
  sigset_t watched;
  sigset_t original;
  struct sigaction child_action = {};
  hold_signals(watched, original, child_action);

  const uid_t uid = getuid();
  const gid_t gid = getgid();
  Port ports[port_count];
  look_at_ports(request, ports);
  // The devices are opened in the namespace, where a bind mount can take
  // them; where it cannot be had they are opened all the same, only to say
  // first what is wrong with them, as the caller would meet it next.
  const Namespace made = enter_namespace();
  const int refusal = errno;
  if (!open_ports(uid, ports)) {
    exit(2);
  }
  if (made == Namespace::refused) {
    fail_namespace(refusal);
  }
  if (made == Namespace::in_user_namespace) {
    map_caller(uid, gid);
  }

  // One run, or with --reconnect one for each time a device that went away
  // has come back.
  for (;;) {
    build_dev(ports);
    end_if_signalled(watched);
    for (Port &port : ports) {
      if (port.held) {
        count_before(port);
      }
    }
    const pid_t child = start_program(request.program, original, child_action);
    bool signalled = false;
    const int status = wait_for(child, watched, signalled);
    finish_ports(request, ports, watched);
    if (!request.reconnect || signalled || !follow_ports(uid, ports, watched)) {
      return status;
    }
  }
}
