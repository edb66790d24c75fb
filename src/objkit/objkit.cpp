// The module objkit: the library's entry points, its start-up and its own
// built-in routines (objkit_debug, libmsg, setvideo, slist, number).
#include "objkit/objkit.h"

#include <cstring>

#include "objkit/builtin.h"
#include "objkit/exports.h"
#include "objkit/trace.h"

namespace objkit {

namespace {

int32_t initialised = 0;
int32_t level = 0;
int32_t video = 0;

// Compiles the module's script source, which defines t_c_object, and
// registers objkit's table. Results are not tested.
void InitialiseZEL() {
  Trace(level, 9, "FILE objkit, ROUTINE InitialiseZEL ()\n");
  exec("compile \"WQ_ZEL:objkit\"");
  init_built_in(kBuiltins);
}

}  // namespace

constexpr BuiltinRecord kBuiltins[6] = {
    Routine("objkit_debug", 1, SetDebugLevel),
    Routine("libmsg", 1, LibMsg),
    Routine("setvideo", 1, SetVideo),
    Routine("slist", kAnyCount, SList),
    Routine("number", 1, Number, host::kString),
    kEndOfTable,
};

constexpr BuiltinRecord kEmptyTable[1] = {kEndOfTable};

HostValue SetDebugLevel(int32_t, HostValue *argv) {
  return SetLevel(level, "FILE objkit, ROUTINE SetDebugLevel (%d)\n", argv);
}

HostValue LibMsg(int32_t, HostValue *argv) {
  int32_t n = 0;
  if (!ReadNumber(argv[-1], "Error : Message number must be a number\n", n)) return nil_obj();
  Trace(level, 4, "FILE objkit, ROUTINE LibMsg (%d)\n", static_cast<int>(n));
  const char *text = libmsg(n);
  return str_obj(static_cast<int32_t>(std::strlen(text)), text);
}

HostValue SetVideo(int32_t, HostValue *argv) {
  int32_t n = 0;
  if (!ReadNumber(argv[-1], "Error : Video attribute must be a number\n", n)) return host::kOne;
  Trace(level, 4, "FILE objkit, ROUTINE SetVideo (%d)\n", static_cast<int>(n));
  // 32-bit addition that wraps instead of overflowing.
  video = n == 0 ? 0 : static_cast<int32_t>(static_cast<uint32_t>(video) + static_cast<uint32_t>(n));
  trm_setvideo(video);
  return host::kOne;
}

HostValue SList(int32_t argc, HostValue *argv) {
  Trace(level, 4, "FILE objkit, ROUTINE SList (...)\n");
  const HostValue array = arr_obj(argc, 1);
  if (host::is_nil(array)) return array;
  for (int32_t i = 0; i < argc; ++i) {
    const HostValue value = argv[-1 - i];
    if (host::is_object(value) && (host::object_of(value)->flags & host::kSharedFlag) != 0) {
      host::ref_take(value);
      host::slot(array, i) = value;
    } else {
      host::slot(array, i) = obj_vcopy(value);
    }
  }
  return array;
}

HostValue Number(int32_t, HostValue *argv) {
  const char *s = host::chars_of(argv[-1]);
  Trace(level, 4, "FILE objkit, ROUTINE Number (%s)\n", s);
  if (std::strncmp(s, "x", 1) == 0) return host::make_int(atox(s + 1));
  if (std::strncmp(s, "X", 1) == 0) return host::make_int(atox(s + 1));
  if (std::strncmp(s, "0x", 2) == 0) return host::make_int(atox(s + 2));
  if (std::strncmp(s, "0X", 2) == 0) return host::make_int(atox(s + 2));
  return flt_obj(atod(s));
}

}  // namespace objkit

extern "C" {

// Starts the library once: the zone, objkit's script side and table, the
// generic layer with its classes, the timers, then the flag. Later calls only
// trace. Ends the process on a fatal start-up inconsistency.
void objkit_init_module(void) {
  objkit::Trace(objkit::level, 1, "FILE objkit, PROCEDURE objkit_init_module ()\n");
  if (objkit::initialised) return;
  objkit::CreateZone();
  objkit::InitialiseZEL();
  genobj_init_module();
  T_Timer_init_module();
  objkit::initialised = 1;
}

// Starts the library if needed and returns the empty table (always the same
// address).
const BuiltinRecord *objkitbltin(void) {
  objkit::Trace(objkit::level, 1, "FILE objkit, PROCEDURE objkitbltin ()\n");
  objkit_init_module();
  return objkit::kEmptyTable;
}

}  // extern "C"
