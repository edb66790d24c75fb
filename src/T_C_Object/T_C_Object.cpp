// The native base class T_C_Object: its symbol table, start-up (with the check
// that the script class keeps `handle` where the native code reads it), the
// default deallocate and dump, and the script method `dump`.
#include "T_C_Object/T_C_Object.h"

#include <cstdio>
#include <cstdlib>

#include "genobj/genobj.h"
#include "objkit/builtin.h"
#include "objkit/exports.h"
#include "objkit/trace.h"

namespace t_c_object {

namespace {

int32_t initialised = 0;
int32_t level = 0;

// The class's own functions; it has no create.
const SymbolEntry kSymbols[] = {
    {"init_module", reinterpret_cast<void *>(T_C_Object_init_module)},
    {"deallocate", reinterpret_cast<void *>(T_C_Object_deallocate)},
    {"dump", reinterpret_cast<void *>(T_C_Object_dump)},
    {nullptr, nullptr},
};

// Checks that t_c_object keeps `handle` at index 4 (else the fatal line and
// exit status -1), then registers the class's table.
void InitialiseZEL() {
  objkit::Trace(level, 4, "FILE T_C_Object, ROUTINE InitialiseZEL ()\n");
  if (iv_index("t_c_object", "handle", 0) != kHandleIndex) {
    std::printf("Fatal error : Instance variable constants don't match for class T_C_Object\n");
    std::exit(-1);
  }
  init_built_in(kBuiltins);
}

}  // namespace

constexpr BuiltinRecord kBuiltins[4] = {
    objkit::Routine("T_C_Object_debug", 1, SetDebugLevel),
    objkit::Section("T_C_Object", objkit::kInstanceSection),
    objkit::Routine("dump", 0, x_dump),
    objkit::kEndOfTable,
};

HostValue SetDebugLevel(int32_t, HostValue *argv) {
  return objkit::SetLevel(level, "FILE T_C_Object, ROUTINE SetDebugLevel (%d)\n", argv);
}

// `handle` may only hold nil or a GenObjHandle, since only the native create
// methods store into it. Anything else (a script that assigned to it) gets
// its own error line and no dump, instead of a payload read from a foreign
// object.
HostValue x_dump(int32_t, HostValue *argv) {
  const HostValue self = argv[0];
  const HostValue handle = Handle(self);
  objkit::Trace(level, 5, "FILE T_C_Object, ROUTINE x_dump (%d)\n", static_cast<int>(self));
  if (host::is_nil(handle)) {
    std::printf("Error : Object was not created properly\n");
  } else if (!host::has_type(handle, genobj::kGenObjHandle)) {
    std::printf("Error : Object handle is not a GenObjHandle\n");
  } else {
    genobj_dump(host::payload<genobj::GenObjPayload>(handle), stdout, 0);
  }
  return host::kOne;
}

}  // namespace t_c_object

extern "C" {

// The symbol table: init_module, deallocate, dump, then the null row.
const SymbolEntry *T_C_Object_get_symbol_table(void) {
  return t_c_object::kSymbols;
}

// The class's start-up, once: the layout check and the table. Later calls
// only trace. Ends the process when `handle` is not instance variable 4.
void T_C_Object_init_module(void) {
  objkit::Trace(t_c_object::level, 1, "FILE T_C_Object, PROCEDURE T_C_Object_init_module ()\n");
  if (t_c_object::initialised) return;
  t_c_object::InitialiseZEL();
  t_c_object::initialised = 1;
}

// Frees the record in a GenObjHandle payload's (non-null) `data` with z_free;
// the payload is left as it is.
void T_C_Object_deallocate(void *payload) {
  objkit::Trace(t_c_object::level, 1, "FILE T_C_Object, PROCEDURE T_C_Object_deallocate (%p)\n", payload);
  z_free(static_cast<genobj::GenObjPayload *>(payload)->data);
}

// Writes the record's address ("tail : <...>") to `stream`; returns the
// result of the write. `depth` only shows in the trace line.
int32_t T_C_Object_dump(void *payload, FILE *stream, int32_t depth) {
  objkit::Trace(t_c_object::level, 7, "FILE T_C_Object, PROCEDURE T_C_Object_dump (%p, %p, %d)\n", payload,
                static_cast<void *>(stream), static_cast<int>(depth));
  const void *data = static_cast<const genobj::GenObjPayload *>(payload)->data;
  if (data == nullptr) return std::fprintf(stream, "tail : <nil>\n");
  return std::fprintf(stream, "tail : <%p>\n", data);
}

}  // extern "C"
