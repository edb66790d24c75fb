#include "objkit/trace.h"

#include <cstdarg>
#include <cstdio>

namespace objkit {

void WriteTrace(const char *format, ...) {
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
