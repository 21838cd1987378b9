// portwatch: prints on standard output every byte that arrives on the PC's
// first serial port, set to 115200 bit/s 8N1.
#include <errno.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "serial.h"

namespace {

const char *const device = "/dev/ttyS0";
const int speed = 115200;
const int data_bits = 8;
const int stop_bits = 1;
const int parity = 'n';

// Pushes what the output stream holds; a failure to do so would lose bytes
// read from the line, so it ends the process.
void flush_output() {
  if (fflush(stdout) != 0) {
    perror("standard output");
    exit(1);
  }
}

// Number of bytes the port can hand over without blocking; 0 when unknown.
int bytes_waiting(int fd) {
  int n = 0;
  if (ioctl(fd, FIONREAD, &n) != 0 || n < 0) {
    return 0;
  }
  return n;
}

// Says that the port hung up (its far end went away) and ends the process
// with status 1.
[[noreturn]] void hung_up() {
  (void)fprintf(stderr, "%s: port hung up\n", device);
  exit(1);
}

// Blocks until the port has input again; returns false when it has hung up
// instead.
bool wait_for_input(int fd) {
  struct pollfd p = {fd, POLLIN, 0};
  while (poll(&p, 1, -1) < 0 && errno == EINTR) {
  }
  return (p.revents & (POLLHUP | POLLERR | POLLNVAL)) == 0;
}

}  // namespace

int main() {
  const int fd = init_serial(device);
  if (fd <= 0) {
    printf("Can't Open Serial Port!\n");
    exit(1);
  }
  set_speed(fd, speed);
  if (set_parity(fd, data_bits, stop_bits, parity) == 0) {
    printf("Set Parity Error\n");
    exit(1);
  }
  printf("\nsuccess set\n");
  flush_output();

  // Bytes known to be waiting in the port: while there are some, the next
  // read cannot block and the output may stay in the buffer. Once they are
  // read, the output is flushed before the next read, which may block.
  int waiting = 0;
  for (;;) {
    unsigned char byte = 0;
    const ssize_t n = read(fd, &byte, 1);
    if (n == 1) {
      putchar(byte);
      if (waiting > 0) {
        --waiting;
      } else {
        waiting = bytes_waiting(fd);
      }
      if (waiting == 0) {
        flush_output();
      }
      continue;
    }
    if (n < 0 && errno == EINTR) {
      continue;
    }
    const int read_errno = errno;
    flush_output();
    if (n < 0) {  // a terminal fails a read with EIO once its far end is gone
      if (read_errno == EIO) {
        hung_up();
      }
      errno = read_errno;
      perror(device);
      exit(1);
    }
    waiting = 0;  // the read timed out with nothing: wait for more
    if (!wait_for_input(fd)) {
      hung_up();
    }
  }
}
