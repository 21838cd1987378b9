// The report of a port's line counters, from a table of the driver's counts
// before and after a run: the words, the singular for 1, counters that wrap,
// and the line on the likely causes of errors (none when there are none).
#include <gtest/gtest.h>
#include <limits.h>

#include <string>

#include "portlink-ports.h"

namespace {

// A record of counts; the fields not named are 0.
LineCounts counts(int rx, int tx, int frame = 0, int parity = 0, int overrun = 0,
                  int buf_overrun = 0, int brk = 0) {
  LineCounts c = {};
  c.rx = rx;
  c.tx = tx;
  c.frame = frame;
  c.parity = parity;
  c.overrun = overrun;
  c.buf_overrun = buf_overrun;
  c.brk = brk;
  c.cts = 7;  // modem line changes are not reported
  return c;
}

const char *const framing =
    "framing or parity errors usually mean that the two ends disagree "
    "on speed or framing, or the ground is missing";
const char *const overruns = "overruns, that the receiving side did not read in time";
const char *const breaks = "breaks, that the far end held the line low, or was unplugged or reset";

TEST(LineCounters, ReportAndCauses) {
  const struct {
    const char *what;
    LineCounts before, after;
    std::string line, causes;  // causes: empty when none
  } cases[] = {
      {"nothing happened", counts(0, 0), counts(0, 0),
       "received 0 bytes, sent 0 bytes; 0 framing, 0 parity, 0 overrun, 0 buffer overrun errors; "
       "0 breaks",
       ""},
      {"one of each", counts(0, 0), counts(1, 1, 1, 1, 1, 1, 1),
       "received 1 byte, sent 1 byte; 1 framing, 1 parity, 1 overrun, 1 buffer overrun errors; "
       "1 break",
       std::string(framing) + "; " + overruns + "; " + breaks},
      {"counts since the start, not since the port was opened", counts(100, 5, 3),
       counts(4196, 5, 3),
       "received 4096 bytes, sent 0 bytes; 0 framing, 0 parity, 0 overrun, 0 buffer overrun "
       "errors; "
       "0 breaks",
       ""},
      {"large counts, and a counter that wrapped", counts(0, -6), counts(INT_MAX, 4, 0, 0, 0, 0, 2),
       "received 2147483647 bytes, sent 10 bytes; 0 framing, 0 parity, 0 overrun, 0 buffer overrun "
       "errors; 2 breaks",
       "breaks usually mean that the far end held the line low, or was unplugged or reset"},
      {"parity errors alone", counts(0, 0), counts(9, 0, 0, 3),
       "received 9 bytes, sent 0 bytes; 0 framing, 3 parity, 0 overrun, 0 buffer overrun errors; "
       "0 breaks",
       framing},
      {"buffer overruns alone", counts(0, 0), counts(2, 0, 0, 0, 0, 4),
       "received 2 bytes, sent 0 bytes; 0 framing, 0 parity, 0 overrun, 4 buffer overrun errors; "
       "0 breaks",
       "overruns usually mean that the receiving side did not read in time"},
  };
  for (const auto &c : cases) {
    char line[512];
    format_counts(line, sizeof line, "/dev/ttyUSB0", c.before, c.after);
    EXPECT_EQ(line, "/dev/ttyUSB0: " + c.line) << c.what;
    const bool any = format_causes(line, sizeof line, "/dev/ttyUSB0", c.before, c.after);
    EXPECT_EQ(any, !c.causes.empty()) << c.what;
    EXPECT_EQ(line, c.causes.empty() ? "" : "/dev/ttyUSB0: " + c.causes) << c.what;
  }
}

}  // namespace
