// The clock behind gettimeofday: the system's real time, or a fake time that
// moves only when a script advances it. gettimeofday is defined here, so that
// the library's clock readings come through it.
#include <sys/time.h>

#include <algorithm>
#include <cmath>
#include <ctime>

#include "runtime/internal.h"

namespace zel::rt {

// The clock. The fake time is kept in microseconds.
namespace {

constexpr int64_t kFakeStart = int64_t{1000000000} * 1000000 + 250000;

struct Clock {
  bool fake = false;
  int64_t now = kFakeStart;
};

Clock &clock_state() {
  static Clock c;
  return c;
}

// x rounded to the nearest whole number, halves away from zero, as C's
// llround (which would need the math library); |x| below 2^63. The part
// after the point, x less its whole part, is exact.
int64_t rounded(double x) {
  const auto whole = static_cast<int64_t>(x);
  const double part = x - static_cast<double>(whole);
  return whole + (part >= 0.5) - (part <= -0.5);
}

}  // namespace

void fake_clock(bool on) {
  clock_state().fake = on;
  clock_state().now = kFakeStart;
}

bool clock_is_fake() {
  return clock_state().fake;
}

void advance_clock(double seconds) {
  constexpr double kLongest = 1e12;  // seconds; keeps the sum within 64 bits
  if (std::isnan(seconds)) return;
  // Stored as a double, so that a target that computes in wider registers
  // (x87) rounds the product as every other target does before it is rounded
  // to a whole microsecond.
  const volatile double micros = std::clamp(seconds, -kLongest, kLongest) * 1e6;
  const int64_t now = clock_state().now + rounded(micros);
  clock_state().now = std::max<int64_t>(now, 0);
}

int64_t clock_microseconds() {
  if (clock_state().fake) return clock_state().now;
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return int64_t{ts.tv_sec} * 1000000 + ts.tv_nsec / 1000;
}

}  // namespace zel::rt

extern "C" {

int gettimeofday(struct timeval *__restrict tv, void *__restrict tz) noexcept {
  const int64_t now = zel::rt::clock_microseconds();
  tv->tv_sec = static_cast<time_t>(now / 1000000);
  tv->tv_usec = static_cast<suseconds_t>(now % 1000000);
  if (tz != nullptr) *static_cast<struct timezone *>(tz) = {};
  return 0;
}

}  // extern "C"
