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

void WriteTraceText(const char *text) {
  std::printf("%s", text);
  std::fflush(stdout);
}

bool ReadNumber(HostValue arg, const char *error, int32_t &value) {
  if (host::is_int(arg) || host::has_type(arg, host::kFloat)) {
    value = host::number_of(arg);
    return true;
  }
  std::printf("%s", error);
  return false;
}

HostValue SetLevel(int32_t &level, const char *line, const HostValue *argv) {
  int32_t new_level = 0;
  if (!ReadNumber(argv[-1], "Error : Debug level must be a number\n", new_level)) return host::kOne;
  if (level >= 9) {
    std::printf(line, static_cast<int>(new_level));
    std::fflush(stdout);
  }
  level = new_level;
  return host::kOne;
}

}  // namespace objkit
