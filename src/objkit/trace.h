// Debug tracing shared by every module of the library. Each module keeps its
// own level; a trace line is written when that level is at least the line's
// threshold, and standard output is flushed after it. Also the reading of a
// number argument that the debug routines share with the module's routines.
#pragma once

#include <cstdint>

#include "host/host.h"

namespace objkit {

// Writes one trace line with printf, then flushes.
void WriteTrace(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Writes one trace line that has no arguments, as it stands, then flushes.
void WriteTraceText(const char *text);

// Writes one trace line when level >= threshold. The test is inline, so a
// line below its module's level costs one comparison and builds no call.
template <typename... Args>
inline void Trace(int32_t level, int32_t threshold, const char *format, Args... args) {
  if (level >= threshold) [[unlikely]] {
    if constexpr (sizeof...(Args) == 0) {
      WriteTraceText(format);
    } else {
      WriteTrace(format, args...);
    }
  }
}

// Reads a routine's number argument into `value`: an integer, or a float
// truncated toward zero (a float beyond the 32-bit range gives the nearest
// bound, NaN 0). Anything else writes `error` (not flushed) and returns
// false, `value` untouched.
bool ReadNumber(HostValue arg, const char *error, int32_t &value);

// The body of every <module>_debug handler. At an old level of 9 or more it
// writes `line` with the new level; it then stores the new level (argument 1
// read as a number, no range check) and returns the integer 1. An argument
// that is no number gets an error line and changes nothing.
HostValue SetLevel(int32_t &level, const char *line, const HostValue *argv);

}  // namespace objkit
