// The generic object layer: the registry of native classes and the two host
// object types that carry native pointers into the script world. Internal to
// the library (hidden); the exported entry points are in objkit/exports.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <type_traits>

#include "host/host.h"
#include "objkit/exports.h"

namespace genobj {

// Type codes of the two handle types this layer registers.
inline constexpr uint8_t kGenObjHandle = 55;
inline constexpr uint8_t kRefObjHandle = 56;

// Number of rows of the class table; every loop and range test uses it.
inline constexpr int32_t kClassCount = 2;

// Class indexes of the class table.
inline constexpr int32_t kTCObjectClass = 0;
inline constexpr int32_t kTDblLnkClass = 1;

// Payload of a GenObjHandle (from byte 8 of the host object). The handle owns
// the record in `data`; `ob` names the owning script object, uncounted.
struct GenObjPayload {
  int32_t class_index;
  HostValue ob;
  void *data;
};

// Payload of a RefObjHandle: the DblLnkItem the key names (pinned, not owned).
struct RefObjPayload {
  void *item;
};

// One row of the class table.
struct GenericClassEntry {
  const char *name;
  int32_t parent;  // class index of the parent; -1 for none
  const SymbolEntry *(*get_symbol_table)(void);
};

// The signatures of the four per-class function slots.
using InitModuleFn = void (*)(void);
using CreateFn = HostValue (*)(HostValue owner);
using DeallocateFn = void (*)(void *payload);
using DumpFn = int32_t (*)(void *payload, FILE *stream, int32_t depth);

static_assert(std::is_trivially_copyable_v<GenObjPayload>);
static_assert(std::is_trivially_copyable_v<RefObjPayload>);
static_assert(std::is_trivially_copyable_v<GenericClassEntry>);
#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(GenObjPayload) == 12);
static_assert(offsetof(GenObjPayload, ob) == 4);
static_assert(offsetof(GenObjPayload, data) == 8);
static_assert(sizeof(RefObjPayload) == 4);
static_assert(sizeof(GenericClassEntry) == 12);
static_assert(offsetof(GenericClassEntry, parent) == 4);
static_assert(offsetof(GenericClassEntry, get_symbol_table) == 8);
#else
static_assert(sizeof(GenObjPayload) == 24);
static_assert(offsetof(GenObjPayload, ob) == 8);
static_assert(offsetof(GenObjPayload, data) == 16);
static_assert(sizeof(RefObjPayload) == 8);
static_assert(sizeof(GenericClassEntry) == 24);
static_assert(offsetof(GenericClassEntry, parent) == 8);
static_assert(offsetof(GenericClassEntry, get_symbol_table) == 16);
#endif

// genobj's debug level: 0 at load, set only by genobj_debug. Hidden, so that
// a trace test reads it directly rather than through the GOT.
[[gnu::visibility("hidden")]] extern int32_t level;

// The class table, kClassCount rows: T_C_Object (no parent), T_DblLnk (0).
extern const GenericClassEntry kClasses[kClassCount];

// genobj's built-in table: "genobj_debug", then the terminator.
extern const BuiltinRecord kBuiltins[2];

// The function `name` of a class, searched in its own symbol table and then
// along its parent chain; null for an index outside the table or when no
// class on the chain lists the name.
void *LoadSymbol(int32_t class_index, const char *name);

// Fills the four function slots of class `class_index` (an index of the
// class table) and runs its init_module. Returns 1, or 0 (the other slots
// untouched) when the class has no init_module along its parent chain.
int32_t InitialiseClass(int32_t class_index);

// The deallocate slot of a class: null before start-up, for a class without
// one, or for an index outside the class table.
DeallocateFn DeallocateOf(int32_t class_index);

// Releases the record a GenObjHandle payload names: through its class's
// deallocate, unless another handle still names the record (then only the
// count of sharing handles goes down). Needs a non-null `data`. Never fails.
void ClassDeallocate(GenObjPayload *payload);

// Writes "Fatal error : Out of memory" (not flushed) for a handle that could
// not be made; returns `nil`, the nil value that gen_obj gave instead.
[[gnu::cold]] HostValue NoHandle(HostValue nil);

// How a maker of handles fills the payload of a new handle, from one word of
// its own.
using FillFn = void (*)(HostValue handle, uintptr_t word);

// A new handle object of `type` with `bytes` of payload and flag bit 0 set
// (shared by reference, never copied), then filled by `fill(handle, word)`.
// Nil, after NoHandle's line, when the interpreter has no room. Inline in the
// makers of keys; the nil case passes gen_obj's value through NoHandle, so
// that the makers keep nothing across it. gen_obj answers an object, the new
// one or nil, so that its type alone tells them apart.
inline HostValue NewHandle(uint8_t type, size_t bytes, FillFn fill, uintptr_t word) {
  const HostValue handle = gen_obj(type, static_cast<int32_t>(bytes));
  if (host::type_of(handle) == host::kNil) [[unlikely]]
    return NoHandle(handle);
  host::object_of(handle)->flags |= host::kSharedFlag;
  fill(handle, word);
  return handle;
}

// Handler of "genobj_debug": sets genobj's debug level; returns the integer 1.
HostValue SetDebugLevel(int32_t argc, HostValue *argv);

// The hooks registered for types 55 and 56; called by the interpreter only.
void genobj_handle_rpl(HostObject *target, HostObject *source, int32_t flag);
void genobj_handle_clr(HostObject *object);
void refobj_handle_rpl(HostObject *target, HostObject *source, int32_t flag);
void refobj_handle_clr(HostObject *object);

}  // namespace genobj
