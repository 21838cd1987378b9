// The command line of portlink-ports: its usage and help texts, and the
// reading of its options into a Request.
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "portlink-ports.h"

namespace {

const char *const usage =
    "usage: portlink-ports [--tts0 DEVICE] [--ttyS0 DEVICE] [--no-reset] [--quiet] "
    "[--reconnect] [--] PROGRAM [ARG...]\n";
const char *const help =
    "Runs PROGRAM in a private mount namespace whose /dev holds only harmless nodes\n"
    "and the ports named here; a port that is not named does not exist there.\n"
    "  --tts0 DEVICE   /dev/tts/0 is DEVICE (the port portfeed opens)\n"
    "  --ttyS0 DEVICE  /dev/ttyS0 is DEVICE (the port portwatch opens)\n"
    "  --no-reset      keep the line settings PROGRAM leaves on each DEVICE\n"
    "                  (by default they are put back as they were, once what\n"
    "                  PROGRAM wrote has left the port)\n"
    "  --quiet         leave out the report of each DEVICE's line counters\n"
    "  --reconnect     when PROGRAM ends because a DEVICE went away (unplugged, hung\n"
    "                  up, or its path names another node), wait until the path\n"
    "                  names a terminal again and run PROGRAM again on it, for as\n"
    "                  long as this runs; SIGINT, SIGTERM or SIGHUP ends it\n"
    "  --help          show this and end\n"
    "  --version       show the version and end\n"
    "Each DEVICE is opened as the caller and locked while PROGRAM runs. When\n"
    "PROGRAM has ended, a line on standard error reports, for each DEVICE that is\n"
    "a serial port, what its driver counted meanwhile: bytes received and sent,\n"
    "framing, parity, overrun and buffer overrun errors, and breaks (with a line on\n"
    "the likely cause of any errors; a driver that keeps no counters is named,\n"
    "a pseudo-terminal is left out).\n"
    "Exit status: 2 when a DEVICE or the namespace cannot be had (nothing has run\n"
    "then), 126 when PROGRAM cannot be run, 127 when it is not found, otherwise\n"
    "PROGRAM's own (128+N when signal N ended it).\n";

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

// The options that turn something on or off: what, and to which value.
struct Switch {
  const char *option;
  bool Request::*what;
  bool value;
};
const Switch switches[] = {
    {"--no-reset", &Request::reset, false},
    {"--quiet", &Request::report, false},
    {"--reconnect", &Request::reconnect, true},
};

// The switch that the option `arg` is; null when it is none.
const Switch *switch_of(const char *arg) {
  for (const auto &option : switches) {
    if (strcmp(arg, option.option) == 0) {
      return &option;
    }
  }
  return nullptr;
}

}  // namespace

Request parse(int argc, char **argv) {
  Request request = {{}, true, true, false, nullptr};
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
    if (const Switch *option = switch_of(arg)) {
      request.*option->what = option->value;
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
