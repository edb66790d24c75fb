// Debug tracing shared by every module of the library. Each module keeps its
// own level; a trace line is written when that level is at least the line's
// threshold, and standard output is flushed after it. Also the reading of a
// number argument that the debug routines share with the module's routines.
#pragma once

#include <cstdint>

#include "host/host.h"

namespace objkit {

// Writes one trace line with printf when level >= threshold, then flushes.
void Trace(int32_t level, int32_t threshold, const char *format, ...) __attribute__((format(printf, 3, 4)));

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
