// arithmetic: the operations that a core without division and floating-point
// instructions leaves to the compiler runtime (32- and 64-bit division and
// remainder, float and double arithmetic, comparisons, conversions), over a
// fixed table of operands, printed in hexadecimal one case a line, so that two
// builds linked against two runtimes can be compared line by line.
// With the argument "divide-by-zero" it divides by zero instead, which a Linux
// runtime answers with SIGFPE.
#include <float.h>
#include <limits.h>
#include <math.h>
#include <stdint.h>
#include <string.h>
#include <unistd.h>

namespace {

constexpr int64_t integers[] = {
    0,
    1,
    -1,
    2,
    -2,
    3,
    7,
    -7,
    10,
    1000000007,
    INT32_MAX,
    INT32_MIN,
    int64_t{UINT32_MAX},
    int64_t{1} << 32,
    (int64_t{1} << 32) + 1,
    -999999999999,
    int64_t{1} << 52,
    (int64_t{1} << 53) + 1,
    0x123456789abcdef0,
    -0x0fedcba987654321,
    12345678901234567,
    INT64_MAX,
    INT64_MIN,
    INT64_MIN + 1,
};

constexpr double doubles[] = {
    0.0,
    -0.0,
    1.0,
    -1.5,
    0.1,
    1.0 / 3.0,
    3.141592653589793,
    1e300,
    -1e-300,
    5e-324,
    DBL_MIN,
    DBL_MAX,
    4294967295.5,
    -2147483648.75,
    9007199254740993.0,
    9.2233720368547748e18,
    1.8446744073709550e19,
    -123456789.125,
    HUGE_VAL,
    -HUGE_VAL,
    NAN,
};

char out[8192];
size_t used = 0;

void flush() {
  size_t done = 0;
  while (done < used) {
    const ssize_t n = write(STDOUT_FILENO, out + done, used - done);
    if (n <= 0) {
      _exit(1);
    }
    done += static_cast<size_t>(n);
  }
  used = 0;
}

void put(const char *text) {
  for (; *text != '\0'; ++text) {
    if (used == sizeof out) {
      flush();
    }
    out[used++] = *text;
  }
}

void hex(uint64_t value) {
  char digits[18] = " ";
  for (int i = 16; i >= 1; --i) {
    digits[i] = "0123456789abcdef"[value & 0xf];
    value >>= 4;
  }
  digits[17] = '\0';
  put(digits);
}

uint64_t bits(double value) {
  uint64_t b = 0;
  memcpy(&b, &value, sizeof b);
  return b;
}

uint64_t bits(float value) {
  uint32_t b = 0;
  memcpy(&b, &value, sizeof b);
  return b;
}

void line(const char *name, uint64_t a, uint64_t b, uint64_t result) {
  put(name);
  hex(a);
  hex(b);
  put(" =");
  hex(result);
  put("\n");
}

// Operands pass through volatile, so that the compiler calls the runtime
// instead of folding the constants.
template <typename T>
T opaque(T value) {
  volatile T held = value;
  return held;
}

// Signed and unsigned quotient and remainder at one width (S and U, its
// signed and unsigned types; S_MIN the least S), named by `names` in that
// order. The cases that C leaves undefined are left out.
template <typename S, typename U, S S_MIN>
void divisions(int64_t x, int64_t y, const char *const (&names)[4]) {
  const auto a = static_cast<S>(x);
  const auto b = static_cast<S>(y);
  const auto ua = static_cast<U>(a);
  const auto ub = static_cast<U>(b);
  if (b == 0) {
    return;
  }
  if (!(a == S_MIN && b == -1)) {
    line(names[0], ua, ub, static_cast<U>(a / b));
    line(names[1], ua, ub, static_cast<U>(a % b));
  }
  line(names[2], ua, ub, ua / ub);
  line(names[3], ua, ub, ua % ub);
}

constexpr const char *wide[] = {"s64/", "s64%", "u64/", "u64%"};
constexpr const char *narrow[] = {"s32/", "s32%", "u32/", "u32%"};

void integer_cases() {
  for (const int64_t x : integers) {
    for (const int64_t y : integers) {
      const int64_t a = opaque(x);
      const int64_t b = opaque(y);
      const auto ua = static_cast<uint64_t>(a);
      const auto ub = static_cast<uint64_t>(b);
      divisions<int64_t, uint64_t, INT64_MIN>(a, b, wide);
      divisions<int32_t, uint32_t, INT32_MIN>(a, b, narrow);
      line("s64<", ua, ub, a < b ? 1 : 0);
      line("u64<", ua, ub, ua < ub ? 1 : 0);
    }
    const int64_t a = opaque(x);
    const auto ua = static_cast<uint64_t>(a);
    line("s64>d", ua, 0, bits(static_cast<double>(a)));
    line("u64>d", ua, 0, bits(static_cast<double>(ua)));
    line("s64>f", ua, 0, bits(static_cast<float>(a)));
    line("u64>f", ua, 0, bits(static_cast<float>(ua)));
    line("s32>d", ua, 0, bits(static_cast<double>(static_cast<int32_t>(a))));
    line("u32>d", ua, 0, bits(static_cast<double>(static_cast<uint32_t>(a))));
    line("s32>f", ua, 0, bits(static_cast<float>(static_cast<int32_t>(a))));
    line("u32>f", ua, 0, bits(static_cast<float>(static_cast<uint32_t>(a))));
  }
}

// Conversions to integers, where the value fits (outside, C++ leaves the
// result undefined).
void to_integers(double d) {
  const uint64_t b = bits(d);
  if (isnan(d)) {
    return;
  }
  if (d > -9.3e18 && d < 9.2e18) {
    line("d>s64", b, 0, static_cast<uint64_t>(static_cast<int64_t>(d)));
  }
  if (d > -1.0 && d < 1.8e19) {
    line("d>u64", b, 0, static_cast<uint64_t>(d));
  }
  if (d > -2147483649.0 && d < 2147483648.0) {
    line("d>s32", b, 0, static_cast<uint32_t>(static_cast<int32_t>(d)));
  }
  if (d > -1.0 && d < 4294967296.0) {
    line("d>u32", b, 0, static_cast<uint32_t>(d));
  }
  const auto f = static_cast<float>(d);
  if (f > -9.2e18F && f < 9.2e18F) {
    line("f>s64", bits(f), 0, static_cast<uint64_t>(static_cast<int64_t>(f)));
  }
  if (f > -1.0F && f < 1.8e19F) {
    line("f>u64", bits(f), 0, static_cast<uint64_t>(f));
  }
  if (f > -2147483648.0F && f < 2147483648.0F) {
    line("f>s32", bits(f), 0, static_cast<uint32_t>(static_cast<int32_t>(f)));
  }
  if (f > -1.0F && f < 4294967296.0F) {
    line("f>u32", bits(f), 0, static_cast<uint32_t>(f));
  }
}

void floating_cases() {
  for (const double x : doubles) {
    for (const double y : doubles) {
      const double a = opaque(x);
      const double b = opaque(y);
      line("d+", bits(a), bits(b), bits(a + b));
      line("d-", bits(a), bits(b), bits(a - b));
      line("d*", bits(a), bits(b), bits(a * b));
      line("d/", bits(a), bits(b), bits(a / b));
      line("d<", bits(a), bits(b), a < b ? 1 : 0);
      line("d==", bits(a), bits(b), a == b ? 1 : 0);
      line("d>=", bits(a), bits(b), a >= b ? 1 : 0);
      const auto fa = static_cast<float>(a);
      const auto fb = static_cast<float>(b);
      line("f+", bits(fa), bits(fb), bits(fa + fb));
      line("f-", bits(fa), bits(fb), bits(fa - fb));
      line("f*", bits(fa), bits(fb), bits(fa * fb));
      line("f/", bits(fa), bits(fb), bits(fa / fb));
      line("f<", bits(fa), bits(fb), fa < fb ? 1 : 0);
      line("f==", bits(fa), bits(fb), fa == fb ? 1 : 0);
    }
    const double a = opaque(x);
    line("d>f", bits(a), 0, bits(static_cast<float>(a)));
    line("f>d", bits(static_cast<float>(a)), 0, bits(static_cast<double>(static_cast<float>(a))));
    line("-d", bits(a), 0, bits(-a));
    to_integers(a);
  }
}

}  // namespace

int main(int argc, char **argv) {
  if (argc > 1 && strcmp(argv[1], "divide-by-zero") == 0) {
    // NOLINTBEGIN(clang-analyzer-core.DivideZero): dividing by zero is the point
    const int64_t quotient = opaque(int64_t{1}) / opaque(int64_t{0});
    const int32_t small = opaque(1) / opaque(0);
    // NOLINTEND(clang-analyzer-core.DivideZero)
    line("after", static_cast<uint64_t>(quotient), static_cast<uint32_t>(small), 0);
    flush();
    return 0;
  }
  integer_cases();
  floating_cases();
  flush();
  return 0;
}
