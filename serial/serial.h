// Serial line set-up shared by portfeed and portwatch.
//
// The caller owns the descriptor for the life of the process; every function
// here only borrows it for the call and keeps no state between calls.
#ifndef SERIAL_SERIAL_H
#define SERIAL_SERIAL_H

// Opens `device` read-write and blocking, without taking it as the
// controlling terminal. Prints "<device> open successfully.\n" on standard
// output and returns the descriptor. When the open fails it prints
// "cannot open <device>\n" on standard output and ends the process with
// status -1 (255). First opens /dev/null on a closed standard output or
// standard error, so the port is never descriptor 1 or 2 (a closed standard
// input stays closed); ends the process with status 1 if it cannot, saying
// why through perror ("/dev/null") when standard error is open.
int init_serial(const char *device);

// Sets input and output speed of `fd` to `speed` bit/s (115200, 38400, 19200,
// 9600, 4800, 2400, 1200 or 300). Discards both queues once, right before the
// new speed is applied. A speed outside that list changes and discards
// nothing. Trouble is reported on standard error through perror
// ("tcgetattr fd error!" / "tcsetattr fd error!"), never to the caller.
void set_speed(int fd, int speed);

// Sets the framing of `fd`: `databits` 7 or 8, `stopbits` 1 or 2, `parity`
// one of 'N' 'n' 'E' 'e' 'O' 'o' 'S' 's'; turns input parity checking on
// unless `parity` is 'n'; sets a read timeout of 15 s (VTIME 150, VMIN 0) and
// discards unread input. Returns 1 when the settings were applied, 0
// otherwise: a bad argument is reported on standard output (only the first,
// checked in the order data bits, parity, stop bits) and leaves the port
// untouched; a failed read or write of the settings is reported through
// perror ("setup serial..." / "\n").
int set_parity(int fd, int databits, int stopbits, int parity);

#endif
