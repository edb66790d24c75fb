// The native base class T_C_Object: the side of the script class t_c_object
// that every native class builds on. Internal to the library (hidden).
#pragma once

#include <cstdint>

#include "host/host.h"

namespace t_c_object {

// Instance-variable index of `handle` in t_c_object and every class built on
// it: nil until the native state is created, then a GenObjHandle.
inline constexpr int32_t kHandleIndex = 4;

// The `handle` instance variable of a script object built on t_c_object.
inline HostValue &Handle(HostValue self) {
  return host::slot(self, kHandleIndex);
}

// T_C_Object's built-in table: "T_C_Object_debug", the instance-section
// marker "T_C_Object", "dump", then the terminator.
extern const BuiltinRecord kBuiltins[4];

// Handler of "T_C_Object_debug": sets T_C_Object's debug level; returns the
// integer 1.
HostValue SetDebugLevel(int32_t argc, HostValue *argv);

// Handler of the method `dump`: dumps the receiver's native state through
// genobj_dump on standard output, or reports a receiver without one. Returns
// the integer 1.
HostValue x_dump(int32_t argc, HostValue *argv);

}  // namespace t_c_object
