// The generic class registry: the class table, the lookup of a class's
// functions along its parent chain, the per-class function slots filled at
// start-up, and the entry points that work through them.
#include "genobj/genobj.h"

#include <cstdlib>
#include <cstring>

#include "objkit/builtin.h"
#include "objkit/trace.h"

namespace genobj {

int32_t level = 0;

namespace {

int32_t initialised = 0;

// The four function slots of every class, null until InitialiseClass.
struct ClassFunctionTables {
  InitModuleFn init_module[kClassCount];
  CreateFn create[kClassCount];
  DeallocateFn deallocate[kClassCount];
  DumpFn dump[kClassCount];
};

ClassFunctionTables functions = {};

// True for an index of the class table.
bool IsClass(int32_t class_index) {
  return class_index >= 0 && class_index < kClassCount;
}

// Registers the two handle types with their hooks, then genobj's table.
void InitialiseZEL() {
  objkit::Trace(level, 4, "FILE genobj, ROUTINE InitialiseZEL ()\n");
  register_obj_type(kGenObjHandle, genobj_handle_rpl, genobj_handle_clr, "GenObjHandle");
  register_obj_type(kRefObjHandle, refobj_handle_rpl, refobj_handle_clr, "RefObjHandle");
  init_built_in(kBuiltins);
}

}  // namespace

constexpr GenericClassEntry kClasses[kClassCount] = {
    {"T_C_Object", -1, T_C_Object_get_symbol_table},
    {"T_DblLnk", kTCObjectClass, T_DblLnk_get_symbol_table},
};

constexpr BuiltinRecord kBuiltins[2] = {
    objkit::Routine("genobj_debug", 1, SetDebugLevel),
    objkit::kEndOfTable,
};

HostValue SetDebugLevel(int32_t, HostValue *argv) {
  return objkit::SetLevel(level, "FILE genobj, ROUTINE SetDebugLevel (%d)\n", argv);
}

void *LoadSymbol(int32_t class_index, const char *name) {
  objkit::Trace(level, 8, "FILE genobj, ROUTINE LoadSymbol (%d, %s)\n", static_cast<int>(class_index), name);
  if (!IsClass(class_index)) return nullptr;
  for (const SymbolEntry *row = kClasses[class_index].get_symbol_table(); row->name != nullptr; ++row) {
    if (std::strcmp(row->name, name) == 0) return row->function;
  }
  return LoadSymbol(kClasses[class_index].parent, name);
}

int32_t InitialiseClass(int32_t class_index) {
  objkit::Trace(level, 5, "FILE genobj, ROUTINE InitialiseClass (%d)\n", static_cast<int>(class_index));
  functions.init_module[class_index] = reinterpret_cast<InitModuleFn>(LoadSymbol(class_index, "init_module"));
  if (functions.init_module[class_index] == nullptr) return 0;
  functions.create[class_index] = reinterpret_cast<CreateFn>(LoadSymbol(class_index, "create"));
  functions.deallocate[class_index] = reinterpret_cast<DeallocateFn>(LoadSymbol(class_index, "deallocate"));
  functions.dump[class_index] = reinterpret_cast<DumpFn>(LoadSymbol(class_index, "dump"));
  functions.init_module[class_index]();
  return 1;
}

DeallocateFn DeallocateOf(int32_t class_index) {
  return IsClass(class_index) ? functions.deallocate[class_index] : nullptr;
}

}  // namespace genobj

extern "C" {

// Starts the layer once: the handle types and genobj's table, then classes 0
// and 1 in table order, then the flag. A class without init_module ends the
// process with exit status -1. Later calls only trace.
void genobj_init_module(void) {
  objkit::Trace(genobj::level, 1, "FILE genobj, PROCEDURE genobj_init_module ()\n");
  if (genobj::initialised) return;
  genobj::InitialiseZEL();
  for (int32_t i = 0; i < genobj::kClassCount; ++i) {
    if (genobj::InitialiseClass(i) == 0) {
      std::printf("Fatal error : Could not initialise generic class %s\n", genobj::kClasses[i].name);
      std::fflush(stdout);
      std::exit(-1);
    }
  }
  genobj::initialised = 1;
}

// The class's create with `owner`: a GenObjHandle or nil. `class_index` must
// name a class that has a create (no test is made).
HostValue genobj_create(int32_t class_index, HostValue owner) {
  objkit::Trace(genobj::level, 1, "FILE genobj, PROCEDURE genobj_create (%d, %p)\n",
                static_cast<int>(class_index), reinterpret_cast<void *>(owner));
  return genobj::functions.create[class_index](owner);
}

// Writes a handle payload's dump (or "<nil>" for null) to `stream`: the class
// line, the owner line, then the class's own dump at depth + 2 for a known
// class. Returns the result of the last write.
int32_t genobj_dump(void *payload, FILE *stream, int32_t depth) {
  objkit::Trace(genobj::level, 7, "FILE genobj, PROCEDURE genobj_dump (%p, %p, %d)\n", payload,
                static_cast<void *>(stream), static_cast<int>(depth));
  if (payload == nullptr) return std::fprintf(stream, "genobj : <nil>\n");
  const auto *p = static_cast<const genobj::GenObjPayload *>(payload);
  const int32_t class_index = p->class_index;
  const bool known = genobj::IsClass(class_index);
  if (known) {
    std::fprintf(stream, "genobj : <%p>, class : <%s>\n", payload, genobj::kClasses[class_index].name);
  } else {
    std::fprintf(stream, "genobj : <%p>, class : <unknown : %d>\n", payload, static_cast<int>(class_index));
  }
  const int32_t written = std::fprintf(stream, "ob : <%p>\n", reinterpret_cast<void *>(p->ob));
  if (!known || genobj::functions.dump[class_index] == nullptr) return written;
  return genobj::functions.dump[class_index](payload, stream, depth + 2);
}

}  // extern "C"
