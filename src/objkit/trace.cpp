#include "objkit/trace.h"

#include <cstdarg>
#include <cstdio>

namespace objkit {

void Trace(int32_t level, int32_t threshold, const char *format, ...) {
  if (level < threshold) return;
  va_list args;
  va_start(args, format);
  std::vprintf(format, args);
  va_end(args);
  std::fflush(stdout);
}

HostValue SetLevel(int32_t &level, const char *line, const HostValue *argv) {
  if (level >= 9) {
    std::printf(line, static_cast<int>(host::number_of(argv[-1])));
    std::fflush(stdout);
  }
  level = host::number_of(argv[-1]);
  return host::kOne;
}

}  // namespace objkit
