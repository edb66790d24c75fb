// Pieces the runtime's translation units share and nobody else uses.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "host/host.h"
#include "runtime/runtime.h"

namespace zel::rt::detail {

// The arena at 0x50000000. allocate returns an 8-aligned block of at least
// bytes bytes, readable for exactly bytes bytes, or null when the arena is
// full. release takes the block back with the size it was asked for; reuse is
// delayed by a quarantine, and the block is poisoned meanwhile.
void *arena_allocate(size_t bytes);
void arena_release(void *block, size_t bytes);
// The size class a request of bytes bytes is served from.
size_t arena_class(size_t bytes);

// A fresh object of the given type with payload bytes zeroed, count 1 and
// counted as live; null when the arena is full. A permanent object (count
// -30000) is not counted.
HostObject *new_object(uint8_t type, size_t payload_bytes);
HostObject *new_permanent(uint8_t type, size_t payload_bytes);
// A fresh array or script object of count slots, all nil, whose word at byte 8
// holds head; null when the arena is full.
HostObject *new_slotted(uint8_t type, HostValue head, size_t count);
// Fresh strings and floats (null when the arena is full).
HostObject *new_string(std::string_view text);
HostObject *new_float(double v);
// The release of an object whose count is 0 (no recording).
void release(HostValue v) noexcept;

// The types registered with register_obj_type.
struct ObjType {
  bool registered = false;
  ReplaceHook replace = nullptr;
  ClearHook clear = nullptr;
  std::string name;
};
const ObjType &obj_type(uint8_t type);
// How a type is named in messages: "a float", "nil", "a RefObjHandle", ...
std::string type_phrase(uint8_t type);

// The copy obj_vcopy makes (no recording).
HostValue vcopy(HostValue v);

// The recorder: on() says whether lines are wanted.
bool recording();
void note(std::string line);

// The zone blocks allocated and not freed: address and size.
std::vector<std::pair<const void *, uint32_t>> live_blocks();

// True when a built-in table has a class-level or instance section for the
// class of that lower-case name.
bool library_bound(const std::string &class_key);

// A global script procedure by lower-case name; null when there is none.
const void *global_procedure(const std::string &key);

// Moves the dispatch epoch on: lookups cached before are stale.
void next_epoch() noexcept;

// Makes the root class (called once by start()).
void make_root();

// Lower-case copy of a name.
std::string lower(std::string_view text);

}  // namespace zel::rt::detail
