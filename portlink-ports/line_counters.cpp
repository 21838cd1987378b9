// The report of what a serial driver counted on the line while the program
// ran (TIOCGICOUNT: bytes received and sent, framing, parity and overrun
// errors, breaks), and what usually causes the errors it shows.
#include <errno.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/sysmacros.h>

#include "portlink-ports.h"

namespace {

// The counts of the report, in its order: the text before the number, the
// count, and the words after it for one and for any other number.
const struct {
  const char *before;
  int LineCounts::*count;
  const char *one;
  const char *other;
} counted[] = {
    {"received ", &LineCounts::rx, " byte", " bytes"},
    {", sent ", &LineCounts::tx, " byte", " bytes"},
    {"; ", &LineCounts::frame, " framing", " framing"},
    {", ", &LineCounts::parity, " parity", " parity"},
    {", ", &LineCounts::overrun, " overrun", " overrun"},
    {", ", &LineCounts::buf_overrun, " buffer overrun errors", " buffer overrun errors"},
    {"; ", &LineCounts::brk, " break", " breaks"},
};

// The errors, each with what usually causes it; a kind may have two counts.
const struct {
  int LineCounts::*count;
  int LineCounts::*also;
  const char *kind;
  const char *cause;
} causes[] = {
    {&LineCounts::frame, &LineCounts::parity, "framing or parity errors",
     "the two ends disagree on speed or framing, or the ground is missing"},
    {&LineCounts::overrun, &LineCounts::buf_overrun, "overruns",
     "the receiving side did not read in time"},
    {&LineCounts::brk, &LineCounts::brk, "breaks",
     "the far end held the line low, or was unplugged or reset"},
};

// How many the driver counted from `before` to `after` (the counters wrap).
unsigned long since(const LineCounts &before, const LineCounts &after, int LineCounts::*count) {
  return static_cast<unsigned>(after.*count) - static_cast<unsigned>(before.*count);
}

// Whether the node `node` is a pseudo-terminal (Unix 98 or BSD, either side,
// or the multiplexer): a pty keeps no counters and has no line to report on.
bool pseudo_terminal(const struct stat &node) {
  const unsigned kind = major(node.st_rdev);
  return (kind >= 128 && kind <= 143) || kind == 2 || kind == 3 ||
         (kind == 5 && minor(node.st_rdev) == 2);
}

}  // namespace

void count_before(Port &port) { port.counted = ioctl(port.fd, TIOCGICOUNT, &port.before) == 0; }

void format_counts(char *out, size_t size, const char *device, const LineCounts &before,
                   const LineCounts &after) {
  (void)join(out, size, device, ": ");
  for (const auto &field : counted) {
    char number[24];
    const unsigned long n = since(before, after, field.count);
    append(out, size, field.before, decimal(n, number), n == 1 ? field.one : field.other);
  }
}

bool format_causes(char *out, size_t size, const char *device, const LineCounts &before,
                   const LineCounts &after) {
  out[0] = '\0';
  for (const auto &error : causes) {
    if (since(before, after, error.count) == 0 && since(before, after, error.also) == 0) {
      continue;
    }
    if (out[0] == '\0') {
      (void)join(out, size, device, ": ", error.kind, " usually mean that ", error.cause);
    } else {
      append(out, size, "; ", error.kind, ", that ", error.cause);
    }
  }
  return out[0] != '\0';
}

void report_counts(const Port &port) {
  LineCounts after = {};
  if (!port.counted) {
    if (!pseudo_terminal(port.opened)) {
      say(port.device, ": its driver keeps no line counters");
    }
    return;
  }
  if (ioctl(port.fd, TIOCGICOUNT, &after) != 0) {
    if (errno == EIO) {
      say(port.device, ": hung up: its line counters are gone");
    } else {
      say(port.device, ": cannot read its line counters after the run: ", strerror(errno));
    }
    return;
  }
  char line[512];
  format_counts(line, sizeof line, port.device, port.before, after);
  say(line);
  if (format_causes(line, sizeof line, port.device, port.before, after)) {
    say(line);
  }
}
