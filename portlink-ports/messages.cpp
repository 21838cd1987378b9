// The texts portlink-ports prints: joined into fixed buffers (no dynamic
// memory, no stdio) and written whole with write(2), each message one line on
// standard error that starts with "portlink-ports: ".
#include <errno.h>
#include <string.h>
#include <unistd.h>

#include "portlink-ports.h"

bool join(char *out, size_t size, const char *a, const char *b, const char *c, const char *d,
          const char *e, const char *f, const char *g, const char *h) {
  const char *const parts[] = {a, b, c, d, e, f, g, h};
  size_t used = 0;
  for (const char *part : parts) {
    for (; *part != '\0'; ++part) {
      if (used + 1 >= size) {
        out[used] = '\0';
        return false;
      }
      out[used++] = *part;
    }
  }
  out[used] = '\0';
  return true;
}

void append(char *out, size_t size, const char *a, const char *b, const char *c, const char *d,
            const char *e, const char *f) {
  const size_t used = strlen(out);
  (void)join(out + used, size - used, a, b, c, d, e, f);
}

const char *decimal(unsigned long value, char (&out)[24]) {
  char *digit = out + sizeof out - 1;
  *digit = '\0';
  do {
    *--digit = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  return digit;
}

bool put(int fd, const char *text) {
  size_t left = strlen(text);
  while (left > 0) {
    const ssize_t n = write(fd, text, left);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return false;
    }
    text += n;
    left -= static_cast<size_t>(n);
  }
  return true;
}

void say(const char *a, const char *b, const char *c, const char *d, const char *e, const char *f,
         const char *g) {
  char line[1024];
  (void)join(line, sizeof line - 1, "portlink-ports: ", a, b, c, d, e, f, g);
  append(line, sizeof line, "\n");
  (void)put(STDERR_FILENO, line);
}
