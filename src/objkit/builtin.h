// Rows of a built-in routine table as the interpreter reads them: module
// routine rows, optional class-level and instance section markers, and a
// terminator of zero bytes. Every row carries the header of a permanent
// built-in record (count -30000, type 3, flags 0) and the record's size.
#pragma once

#include <cstdint>

#include "host/host.h"

namespace objkit {

// Argument count of a row whose routine takes any number of arguments.
inline constexpr int16_t kAnyCount = -1;

// Section markers: the argument count of a marker row.
inline constexpr int16_t kClassSection = 1;
inline constexpr int16_t kInstanceSection = 0;

// A routine row: `argc` is 0, 1 or kAnyCount; `argtype` the type code that
// argument 1 must have (0 for none).
constexpr BuiltinRecord Routine(const char *name, int16_t argc, BuiltinHandler handler, uint8_t argtype = 0) {
  return BuiltinRecord{host::kBuiltinRefcount,
                       host::kBuiltin,
                       0,
                       sizeof(BuiltinRecord),
                       name,
                       argc,
                       0,
                       handler,
                       argtype,
                       {0, 0, 0}};
}

// A marker row opening the class-level (kClassSection) or instance
// (kInstanceSection) section of class `name`.
constexpr BuiltinRecord Section(const char *name, int16_t section) {
  return BuiltinRecord{host::kBuiltinRefcount,
                       host::kBuiltin,
                       0,
                       sizeof(BuiltinRecord),
                       name,
                       section,
                       0,
                       nullptr,
                       0,
                       {0, 0, 0}};
}

// The terminating row: all zero.
inline constexpr BuiltinRecord kEndOfTable{};

}  // namespace objkit
