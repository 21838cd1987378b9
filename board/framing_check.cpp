// framing_check DEVICE: runs the module's framing cases on a real serial port
// and reads each back from the driver. Prints one line per case and
// "framing: all cases match" at the end; exit status 0 when all match.
// For a real UART only: a pseudo-terminal forces 8 data bits and no parity.
#include <stdio.h>
#include <termios.h>

#include "serial.h"

namespace {

struct Case {
  int data_bits;
  int stop_bits;
  int parity;
  tcflag_t size;
  bool parenb;
  bool parodd;  // checked only with parenb
  bool cstopb;
  bool inpck;
};

const Case cases[] = {
    {7, 1, 'E', CS7, true, false, false, true},   {7, 2, 'o', CS7, true, true, true, true},
    {8, 2, 'S', CS8, false, false, true, true},   {8, 1, 'N', CS8, false, false, false, true},
    {8, 1, 'n', CS8, false, false, false, false},
};

bool check(int fd, const Case &c) {
  if (set_parity(fd, c.data_bits, c.stop_bits, c.parity) != 1) {
    printf("%d,%d,%c: set_parity failed\n", c.data_bits, c.stop_bits, c.parity);
    return false;
  }
  termios t{};
  if (tcgetattr(fd, &t) != 0) {
    perror("tcgetattr");
    return false;
  }
  const bool parenb = (t.c_cflag & PARENB) != 0;
  const bool ok = (t.c_cflag & CSIZE) == c.size && parenb == c.parenb &&
                  (!c.parenb || ((t.c_cflag & PARODD) != 0) == c.parodd) &&
                  ((t.c_cflag & CSTOPB) != 0) == c.cstopb &&
                  ((t.c_iflag & INPCK) != 0) == c.inpck && t.c_cc[VTIME] == 150 &&
                  t.c_cc[VMIN] == 0;
  printf("%d,%d,%c: cs%d %cparenb %cparodd %ccstopb %cinpck time %d min %d: %s\n", c.data_bits,
         c.stop_bits, c.parity,
         (t.c_cflag & CSIZE) == CS7   ? 7
         : (t.c_cflag & CSIZE) == CS8 ? 8
                                      : 0,
         parenb ? ' ' : '-', (t.c_cflag & PARODD) != 0 ? ' ' : '-',
         (t.c_cflag & CSTOPB) != 0 ? ' ' : '-', (t.c_iflag & INPCK) != 0 ? ' ' : '-', t.c_cc[VTIME],
         t.c_cc[VMIN], ok ? "ok" : "MISMATCH");
  return ok;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 2) {
    printf("usage: framing_check DEVICE\n");
    return 2;
  }
  const int fd = init_serial(argv[1]);
  set_speed(fd, 115200);
  bool all = true;
  for (const Case &c : cases) {
    all = check(fd, c) && all;
  }
  printf(all ? "framing: all cases match\n" : "framing: MISMATCH\n");
  return all ? 0 : 1;
}
