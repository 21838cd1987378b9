// portfeed: sends what arrives on standard input out of the board's first
// serial port, one byte per write, at 115200 bit/s 8N1.
#include <errno.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include "serial.h"

namespace {

const char *const device = "/dev/tts/0";
const int speed = 115200;
const int data_bits = 8;
const int stop_bits = 1;
const int parity = 'N';

// Blocks until `fd` has something for `events`, through interruptions.
void wait_for(int fd, short events) {
  struct pollfd p = {fd, events, 0};
  while (poll(&p, 1, -1) < 0 && errno == EINTR) {
  }
}

// Next byte of standard input, or EOF at its end or on a read error. A
// standard input that its parent left non-blocking is waited for, not taken
// for an error.
int next_input() {
  for (;;) {
    const int c = getchar();
    if (c != EOF || feof(stdin) != 0 || (errno != EAGAIN && errno != EINTR)) {
      return c;
    }
    clearerr(stdin);
    wait_for(STDIN_FILENO, POLLIN);
  }
}

// Writes one byte to the port (blocking: a full queue is waited for in the
// write), through interruptions. A failure (the port hung up, an I/O error)
// is reported with the device's name and ends the process with status 1.
void send_byte(int fd, unsigned char byte) {
  ssize_t n = 0;
  while ((n = write(fd, &byte, 1)) < 0 && errno == EINTR) {
  }
  if (n != 1) {
    perror(device);
    exit(1);
  }
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
  printf("successfully set\n");
  (void)fflush(stdout);  // the start-up lines are out while it relays

  int c = 0;
  while ((c = next_input()) != EOF) {
    send_byte(fd, static_cast<unsigned char>(c));
  }
  if (ferror(stdin) != 0) {
    perror("standard input");
    exit(1);
  }
  // Everything written must have left the port before we report success.
  // Linux ends a drain with EINTR, not restarting it, when a signal comes
  // (a job-control stop and continue): the drain is then simply done again.
  while (tcdrain(fd) != 0) {
    if (errno != EINTR) {
      perror(device);
      exit(1);
    }
  }
  return 0;
}
