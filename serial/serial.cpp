// Serial line set-up shared by portfeed and portwatch: opens a port, sets its
// speed from a table of eight, and its framing (data bits, parity, stop bits)
// with a read timeout of 15 s.
//
// Beyond the plain call sequence (open, tcgetattr, cfset*speed, tcsetattr):
//  - Before opening, a closed standard output or standard error gets
//    /dev/null, so the port can never take descriptor 1 or 2: otherwise the
//    program's own messages would go out on the line to the far end.
//  - The port is opened with O_NOCTTY: a program started without a
//    controlling terminal must not take the line as one, or a hang-up or a
//    ^C on the wire would signal it.
//  - Both queues are discarded right before a speed change, and unread input
//    once the framing is set: bytes that arrived under the old settings are
//    noise under the new ones.
//  - Parity 'n' (lower case) is the only one that leaves input parity
//    checking (INPCK) off, as the receiver wants; every other parity turns it
//    on, 'N' included, as the sender asks.
//  - A failure to open ends the process with status -1 (255) and a message on
//    standard output, as the programs' callers expect; the other functions
//    report on standard output or through perror and leave the decision to
//    the caller.
#include "serial.h"

#include <fcntl.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

namespace {

// Rows are searched in this order; both arrays have one entry per row.
const int speed_arr[] = {B115200, B38400, B19200, B9600, B4800, B2400, B1200, B300};
const int name_arr[] = {115200, 38400, 19200, 9600, 4800, 2400, 1200, 300};

static_assert(sizeof speed_arr == sizeof name_arr, "one speed code per speed");

const size_t speed_rows = sizeof name_arr / sizeof name_arr[0];

bool closed(int fd) { return fcntl(fd, F_GETFD) == -1; }

// Gives a closed standard output or standard error /dev/null, as careful
// daemons do: /dev/null is opened once and put onto each closed one, then
// closed unless it landed on 1 or 2 itself (a closed standard input stays
// closed). So the port can never become descriptor 1 or 2 and nothing printed
// can reach the line. Ends the process with status 1 when /dev/null cannot be
// had, saying why on standard error when that is open.
void keep_standard_streams_off_the_port() {
  const bool out_closed = closed(STDOUT_FILENO);
  const bool err_closed = closed(STDERR_FILENO);
  if (!out_closed && !err_closed) {
    return;
  }
  const int null = open("/dev/null", O_RDWR | O_NOCTTY);
  if (null < 0) {
    if (!err_closed) {
      perror("/dev/null");
    }
    exit(1);
  }
  if ((out_closed && null != STDOUT_FILENO && dup2(null, STDOUT_FILENO) < 0) ||
      (err_closed && null != STDERR_FILENO && dup2(null, STDERR_FILENO) < 0)) {
    if (!err_closed) {
      perror("/dev/null");
    }
    exit(1);
  }
  if (null != STDOUT_FILENO && null != STDERR_FILENO) {
    close(null);
  }
}

}  // namespace

int init_serial(const char *device) {
  keep_standard_streams_off_the_port();
  const int fd = open(device, O_RDWR | O_NOCTTY);
  if (fd < 0) {
    printf("cannot open %s\n", device);
    exit(-1);
  }
  printf("%s open successfully.\n", device);
  return fd;
}

void set_speed(int fd, int speed) {
  struct termios options {};
  if (tcgetattr(fd, &options) != 0) {
    perror("tcgetattr fd error!");
    return;
  }
  for (size_t row = 0; row < speed_rows; ++row) {
    if (name_arr[row] != speed) {
      continue;
    }
    tcflush(fd, TCIOFLUSH);
    cfsetispeed(&options, static_cast<speed_t>(speed_arr[row]));
    cfsetospeed(&options, static_cast<speed_t>(speed_arr[row]));
    if (tcsetattr(fd, TCSANOW, &options) != 0) {
      perror("tcsetattr fd error!");
    }
    return;
  }
}

int set_parity(int fd, int databits, int stopbits, int parity) {
  struct termios options {};
  if (tcgetattr(fd, &options) != 0) {
    perror("setup serial...");
    return 0;
  }
  options.c_cflag &= ~static_cast<tcflag_t>(CSIZE);

  switch (databits) {
    case 7:
      options.c_cflag |= CS7;
      break;
    case 8:
      options.c_cflag |= CS8;
      break;
    default:
      printf("unsupport data size.\n");
      return 0;
  }

  switch (parity) {
    case 'n':
    case 'N':
      options.c_cflag &= ~static_cast<tcflag_t>(PARENB);
      options.c_iflag &= ~static_cast<tcflag_t>(INPCK);
      break;
    case 'o':
    case 'O':
      options.c_cflag |= PARENB | PARODD;
      options.c_iflag |= INPCK;
      break;
    case 'e':
    case 'E':
      options.c_cflag |= PARENB;
      options.c_cflag &= ~static_cast<tcflag_t>(PARODD);
      options.c_iflag |= INPCK;
      break;
    case 's':
    case 'S':
      options.c_cflag &= ~static_cast<tcflag_t>(PARENB | CSTOPB);
      break;
    default:
      printf("unsupported parity.\n");
      return 0;
  }

  switch (stopbits) {
    case 1:
      options.c_cflag &= ~static_cast<tcflag_t>(CSTOPB);
      break;
    case 2:
      options.c_cflag |= CSTOPB;
      break;
    default:
      printf("unsupported stopbits.\n");
      return 0;
  }

  // Only the receiver's lower-case 'n' runs without input parity checking.
  if (parity != 'n') {
    options.c_iflag |= INPCK;
  }

  tcflush(fd, TCIFLUSH);
  options.c_cc[VTIME] = 150;  // tenths of a second: 15 s
  options.c_cc[VMIN] = 0;

  if (tcsetattr(fd, TCSANOW, &options) != 0) {
    perror("\n");
    return 0;
  }
  return 1;
}
