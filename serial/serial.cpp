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

// Opens /dev/null on standard output and standard error where the caller
// closed them, so that the port can never become descriptor 1 or 2 and
// nothing printed can reach the line. A closed standard input stays closed.
// Ends the process with status 1 when /dev/null cannot be opened.
void keep_standard_streams_off_the_port() {
  for (int stream = STDOUT_FILENO; stream <= STDERR_FILENO; ++stream) {
    if (fcntl(stream, F_GETFD) != -1) {
      continue;
    }
    const int null = open("/dev/null", O_RDWR | O_NOCTTY);
    if (null < 0) {
      exit(1);
    }
    if (null != stream) {  // standard input was closed too: keep it closed
      const int moved = dup2(null, stream);
      close(null);
      if (moved != stream) {
        exit(1);
      }
    }
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
