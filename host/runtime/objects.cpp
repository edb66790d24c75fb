// Objects: making them, the reference rules, releasing them (and the
// assignment that releases the source of a replace inline), the registered
// types and the accounting of live objects. Counted objects and permanent ones
// come from two heaps of the arena, so that the live objects are the counted
// heap's live blocks; class values, counted but kept out of that accounting,
// come from the permanent heap and go back to it. A free object block keeps its
// header (type kFreedType), which is what tells it from a live one, and links
// through its payload.
#include <algorithm>
#include <array>
#include <bit>
#include <cassert>
#include <cstdlib>
#include <cstring>
#include <unordered_map>
#include <utility>

#include "runtime/internal.h"

namespace zel::rt {
namespace detail {
namespace {

// The type code of a block that went back to the arena.
constexpr uint8_t kFreed = kFreedType;

// Ends the process in debug builds (the sanitizer preset), so that a count
// that goes wrong fails where it happens; release builds go on after the
// message.
void debug_abort() {
#ifndef NDEBUG
  abort();
#endif
}

// Releases nested deeper than this (or when the stack is nearly full) are
// finished by the outermost one, so that long chains of objects cannot
// exhaust the stack.
constexpr int kMaxReleaseDepth = 2000;
constexpr size_t kObjectSlab = size_t{16} << 10;
constexpr size_t kObjectQuarantine = 256;
constexpr size_t kPermanentQuarantine = 1;

// The two heaps of objects, at fixed addresses so that the makers and the
// release reach them without a load.
constinit Heap counted{kObjectSlab, kObjectQuarantine, false};
constinit Heap permanent{kObjectSlab, kPermanentQuarantine, false};

// The quarantine mask of h, one of the two heaps, as a constant, so that a
// release does not load it.
template <const Heap &h>
constexpr size_t kMaskOf = quarantine_mask_of(&h == &counted ? kObjectQuarantine : kPermanentQuarantine);

struct Objects {
  bool started = false;
  HostValue nil = 0;
  std::array<std::string, 256> type_names;  // by type: a registered type's name
  std::unordered_map<std::string, HostValue> names;
  bool draining = false;  // finish_deferred is running
  std::vector<HostValue> deferred;
};

// The releases running, nested in one another, in the low bits; with
// kFinishPending added when a deferred object waits for the outermost release
// to finish it (added outside finish_deferred only). One word, so that the
// outermost release learns in one decrement both that it is done and whether
// deferred objects wait. Apart from the objects, so that a release reads it
// without first loading where the objects are.
constexpr int kFinishPending = 1 << 30;
int releases = 0;

// Made on first use and never destroyed: objects are released until the
// process ends.
Objects *the_objects = nullptr;

[[gnu::noinline]] Objects &make_objects() {
  the_objects = new Objects;
  return *the_objects;
}

inline Objects &objects() {
  return the_objects != nullptr ? *the_objects : make_objects();
}

// Zeroes the payload of a fresh object readable for readable bytes (more
// than the smallest objects'); returns o. Out of line, so that the makers
// inline keep no register across a call.
[[gnu::noinline]] HostObject *zero_payload(HostObject *o, size_t readable) {
  std::memset(o + 1, 0, readable - sizeof(HostObject));
  return o;
}

// Writes a fresh object's header into block, readable for readable bytes,
// and zeroes the rest; the smallest objects by a store of fixed size, which
// writes small, their payload's bytes (0 from every maker but the floats').
[[gnu::always_inline]] inline HostObject *stamp(void *block, uint8_t type, size_t bytes, size_t readable,
                                                int16_t refcount, uint64_t small) {
  auto *o = static_cast<HostObject *>(block);
  // The header in two stores: the count, type and flags (0) as one word of
  // the host's byte order, then the size, which needs no shift into place.
  static_assert(offsetof(HostObject, reserved) == sizeof(uint32_t));
  const uint32_t count = static_cast<uint16_t>(refcount);
  const uint32_t head = std::endian::native == std::endian::little ? count | uint32_t{type} << 16
                                                                   : count << 16 | uint32_t{type} << 8;
  std::memcpy(o, &head, sizeof head);
  o->reserved = static_cast<uint32_t>(bytes);
  if (readable == sizeof(host::HostFloat)) {
    static_assert(sizeof small == sizeof(host::HostFloat) - sizeof(HostObject));
    std::memcpy(o + 1, &small, sizeof small);
    return o;
  }
  return zero_payload(o, readable);
}

// make_block when the class's free list is empty or the block is large. The
// first counted object starts the runtime: the counted heap has no free
// block before, so that the fast path needs no test of its own.
[[gnu::noinline]] HostObject *make_block_slow(Heap &h, uint8_t type, size_t bytes, int16_t refcount,
                                              Alloc kind, uint64_t small) {
  if (&h == &counted && nil_word == 0) start();
  if (bytes > UINT32_MAX || injected(kind)) return nullptr;
  const size_t readable = std::max(bytes, sizeof(host::HostFloat));
  void *block = heap_allocate_slow(h, readable);
  return block == nullptr ? nullptr : stamp(block, type, bytes, readable, refcount, small);
}

// make_block from the free list of class k (not empty), of the class of
// readable bytes; null when the allocation is armed to fail.
[[gnu::always_inline]] inline HostObject *take_block(Heap &h, size_t k, uint8_t type, size_t bytes,
                                                     size_t readable, int16_t refcount, Alloc kind,
                                                     uint64_t small = 0) {
  if (injected(kind)) return nullptr;
  void *block = pop_free(h, k, kObjectLink);
  ASAN_UNPOISON_MEMORY_REGION(block, readable);
  assert(static_cast<HostObject *>(block)->type == kFreed && "a free object block was written to");
  return stamp(block, type, bytes, readable, refcount, small);
}

// A block of bytes bytes (recorded in the header for the release), readable
// and zeroed for at least the size of a float object (small as stamp's);
// null when the arena is full or the allocation is armed to fail. Inline in
// every maker, so that the smallest objects (keys, floats) cost one free-list
// pop and a few stores.
[[gnu::always_inline]] inline HostObject *make_block(Heap &h, uint8_t type, size_t bytes, int16_t refcount,
                                                     Alloc kind, uint64_t small = 0) {
  const size_t readable = std::max(bytes, sizeof(host::HostFloat));
  if (readable > kLargestClass || h.free[class_index(readable)] == nullptr) {
    return make_block_slow(h, type, bytes, refcount, kind, small);
  }
  return take_block(h, class_index(readable), type, bytes, readable, refcount, kind, small);
}

// A counted object of payload_bytes zeroed bytes (new_object's contract;
// small as stamp's).
[[gnu::always_inline]] inline HostObject *make_counted(uint8_t type, size_t payload_bytes, Alloc kind,
                                                       uint64_t small = 0) {
  return make_block(counted, type, sizeof(HostObject) + payload_bytes, 1, kind, small);
}

// Marks a released object's block free in one store: the count 0 (which a
// later drop of the object reports), the type kFreed and the flags 0.
[[gnu::always_inline]] inline void mark_freed(HostObject *o) {
  static_assert(kFreed == 0 && offsetof(HostObject, reserved) == sizeof(uint32_t));
  constexpr uint32_t freed = 0;
  std::memcpy(o, &freed, sizeof freed);
}

// Gives the block of a released object of the smallest class back to h, its
// heap: its class is a constant.
template <Heap &h>
[[gnu::always_inline]] inline void free_small_block_to(HostObject *o) {
  mark_freed(o);
  object_free(h, o, sizeof(host::HostFloat), kMaskOf<h>);
}

// Gives a released object's block back to h, its heap. The smallest blocks
// (keys, floats) take a branch of their own.
template <Heap &h>
[[gnu::always_inline]] inline void free_block_to(HostObject *o) {
  const size_t bytes = o->reserved;
  if (bytes <= sizeof(host::HostFloat)) {
    free_small_block_to<h>(o);
  } else {
    mark_freed(o);
    object_free(h, o, bytes, kMaskOf<h>);
  }
}

// Releases a class value whose count is 0: the class, then the block, which
// goes back to the permanent heap (out of line: the rarest release).
[[gnu::noinline]] void release_class_object(HostObject *o) noexcept {
  release_class(*host::payload<Class *>(o));
  free_block_to<permanent>(o);
}

// The references an array or a script object holds, dropped as it is
// released (out of line: the other types hold none).
[[gnu::noinline]] void drop_held(HostObject *o) noexcept {
  const HostValue v = host::value_of(o);
  const int32_t n = slot_count(v);
  for (int32_t i = 0; i < n; ++i) drop(host::slot(v, i));
  drop(*host::payload<HostValue>(o));
}

// Releases an object whose count is 0, its block last: the type's clear hook,
// or the references an array, a script object or a class holds (the two
// never meet: hooks are registered for library types only, above
// kScriptObject, which the counted heap holds). A caller that knows o is of a
// library type (library) leaves the other types' tests out.
template <bool library = false>
[[gnu::always_inline]] inline void release_object(HostObject *o) noexcept {
  const uint8_t type = o->type;
  if (const ClearHook clear = clear_hooks[type]) {
    clear(o);
    free_block_to<counted>(o);
    return;
  }
  if (!library) {
    if (type == kClass) {
      release_class_object(o);
      return;
    }
    if (type == kArray || type == kScriptObject) drop_held(o);
  }
  free_block_to<counted>(o);
}

// release_unheld inside another release: deferred to the outermost one when
// too deep or short of stack.
[[gnu::noinline]] void release_nested(HostObject *o) noexcept {
  Objects &s = *the_objects;
  if ((releases & ~kFinishPending) >= kMaxReleaseDepth || stack_nearly_full()) {
    s.deferred.push_back(host::value_of(o));
    if (!s.draining) releases |= kFinishPending;
    return;
  }
  ++releases;
  release_object(o);
  --releases;
}

[[gnu::noinline]] void finish_deferred() {
  Objects &s = objects();
  releases = 0;  // called by the outermost release as it ends
  s.draining = true;
  while (!s.deferred.empty()) {
    const HostValue v = s.deferred.back();
    s.deferred.pop_back();
    release(v);
  }
  s.draining = false;
}

// release_unheld (its contract), inline in drop_last, the common way to it:
// a release inside another is release_nested's; the outermost one finishes
// the releases deferred meanwhile. library as release_object's.
template <bool library = false>
[[gnu::always_inline]] inline void release_now(HostObject *o) noexcept {
  if (releases != 0) {
    release_nested(o);
    return;
  }
  releases = 1;
  release_object<library>(o);
  if (--releases != 0) [[unlikely]]
    finish_deferred();
}

// The release of a last reference to a live object of a type above kFloat:
// its count goes to 0, as a type's clear hook must find it, and release_now
// follows. drop_last's common case, and inline in assign_owned for the source
// a replace hook has just read (of a library type: library as
// release_object's).
template <bool library = false>
[[gnu::always_inline]] inline void release_last(HostObject *o) noexcept {
  o->refcount = 0;
  release_now<library>(o);
}

// assign_owned past a registered type's replace: the slot takes v, or a copy
// of a float or string that another holder shares, and the old value is
// dropped before v's own reference in the copy's case.
[[gnu::noinline]] void store_value(HostValue &slot, HostValue v) {
  const HostValue old = slot;
  const bool copied = host::has_type(v, host::kFloat) || host::has_type(v, host::kString);
  if (copied && host::object_of(v)->refcount != 1) {
    slot = vcopy(v);
    drop(old);
    drop(v);
    return;
  }
  slot = v;
  drop(old);
}

// Reports a drop of a reference to a released object.
[[gnu::cold, gnu::noinline]] void dropped_on_released(const HostObject *o) noexcept {
  fprintf(stderr, "zel: reference dropped on released object %p\n", static_cast<const void *>(o));
  debug_abort();
}

std::string text_of(int32_t length, const char *chars) {
  if (chars == nullptr) return {};
  if (length < 0) return chars;
  return std::string(chars, static_cast<size_t>(length));
}

}  // namespace

void out_of_memory() {
  throw ScriptError{"out of memory"};
}

HostObject *new_object(uint8_t type, size_t payload_bytes, Alloc kind) {
  return make_counted(type, payload_bytes, kind);
}

HostObject *new_permanent(uint8_t type, size_t payload_bytes, Alloc kind) {
  return make_block(permanent, type, sizeof(HostObject) + payload_bytes, host::kPermanent, kind);
}

HostObject *new_class_object(size_t payload_bytes) {
  return make_block(permanent, kClass, sizeof(HostObject) + payload_bytes, 1, Alloc::kOther);
}

HostObject *new_slotted(uint8_t type, HostValue head, size_t count, Alloc kind) {
  if (count > (UINT32_MAX - host::kSlotOffset) / sizeof(HostValue)) return nullptr;
  HostObject *o = new_object(type, host::kSlotOffset - sizeof(HostObject) + count * sizeof(HostValue), kind);
  if (o == nullptr) return nullptr;
  const HostValue v = host::value_of(o);
  host::ref_take(head);
  *host::payload<HostValue>(o) = head;
  std::fill_n(host::slots(v), count, nil_value());
  return o;
}

HostObject *new_string(std::string_view text, Alloc kind) {
  HostObject *o = new_object(host::kString, text.size() + 1, kind);
  if (o != nullptr) std::memcpy(host::payload<char>(o), text.data(), text.size());
  return o;
}

// Floats are the most frequent objects: one block of the smallest class,
// made inline by every maker of floats.
[[gnu::always_inline]] inline HostObject *make_float_object(double v, Alloc kind) {
  static_assert(sizeof(host::HostFloat) == sizeof(HostObject) + sizeof(double));
  return make_counted(host::kFloat, sizeof(double), kind, std::bit_cast<uint64_t>(v));
}

HostObject *new_float(double v, Alloc kind) {
  return make_float_object(v, kind);
}

HostObject *intern_name(std::string_view text, Alloc kind) {
  start();
  auto &names = objects().names;
  auto it = names.find(std::string(text));
  if (it != names.end()) return host::object_of(it->second);
  HostObject *o = new_permanent(kName, text.size() + 1, kind);
  if (o == nullptr) return nullptr;
  std::memcpy(host::payload<char>(o), text.data(), text.size());
  names.emplace(std::string(text), host::value_of(o));
  return o;
}

void release(HostValue v) noexcept {
  if (v == 0 || !host::is_object(v)) return;
  HostObject *o = host::object_of(v);
  if (o->type == kFreed) {
    fprintf(stderr, "zel: object %p released twice\n", static_cast<void *>(o));
    debug_abort();
    return;
  }
  if (o->refcount != 0) {
    // Only a count that has dropped to 0 is released; a permanent object
    // never is, and a positive count means the caller still counts it.
    if (o->refcount > 0) {
      fprintf(stderr, "zel: object %p released with count %d\n", static_cast<void *>(o), o->refcount);
      debug_abort();
    }
    return;
  }
  release_unheld(o);
}

void release_unheld(HostObject *o) noexcept {
  release_now(o);
}

std::array<ClearHook, 256> clear_hooks;
std::array<ReplaceHook, 256> type_hooks;

const std::string &type_name(uint8_t type) {
  return objects().type_names[type];
}

HostValue vcopy(HostValue v, Alloc kind) {
  if (!host::is_object(v)) return v;
  HostObject *copy = nullptr;
  switch (host::type_of(v)) {
    case host::kFloat:
      copy = new_float(host::float_of(v), kind == Alloc::kOther ? kind : Alloc::kFltObj);
      break;
    case host::kString:
      copy = new_string(host::chars_of(v), kind == Alloc::kOther ? kind : Alloc::kStrObj);
      break;
    default:
      host::ref_take(v);
      return v;
  }
  return copy == nullptr ? nil_value() : host::value_of(copy);
}

}  // namespace detail

using detail::objects;

void start() {
  detail::Objects &s = objects();
  if (s.started) return;
  s.started = true;
  HostObject *nil = detail::new_permanent(host::kNil, sizeof(HostValue));
  if (nil == nullptr) {
    fputs("zel: no memory for the runtime\n", stderr);
    exit(1);
  }
  s.nil = host::value_of(nil);
  detail::nil_word = s.nil;
  detail::make_root();
}

HostValue nil_value_slow() {
  start();
  return objects().nil;
}

void detail::drop_last(HostValue v) noexcept {
  HostObject *o = host::object_of(v);
  // Only a count of 1 (drop_last sees none above it) goes to 0 here. A
  // released block keeps the count 0 it was released with, so that the type
  // of a freed block is tested apart only on the rarer paths: a count of 0,
  // and the two lowest type codes (a freed block, a float).
  if (o->refcount != 1) {
    if (o->type == kFreed) dropped_on_released(o);
    return;
  }
  const uint8_t type = o->type;
  if (type > host::kFloat) [[likely]] {
    release_last(o);
    return;
  }
  // A float holds nothing and has no clear hook: its block goes straight back.
  if (type == host::kFloat) {
    free_small_block_to<counted>(o);
    return;
  }
  o->refcount = 0;
  dropped_on_released(o);
  release_unheld(o);
}

void assign_owned(HostValue &slot, HostValue v) {
  const HostValue old = slot;
  // Both words objects (neither low bit set), and not one object.
  if (host::is_object(old | v) && old != v) {
    const uint8_t type = host::type_of(old);
    const ReplaceHook replace = detail::type_hooks[type];
    if (replace != nullptr && host::type_of(v) == type) {
      HostObject *source = host::object_of(v);
      try {
        replace(host::object_of(old), source, 1);
      } catch (...) {
        drop_object(source);
        throw;
      }
      // The source is of a registered type, above kFloat, and still live
      // (its reference is ours): a last reference, as a fresh key's, is
      // released here.
      if (source->refcount == 1) [[likely]] {
        detail::release_last<true>(source);
        return;
      }
      drop_object(source);
      return;
    }
  }
  detail::store_value(slot, v);
}

Ref make_int(int32_t v) {
  return Ref::adopt(host::make_int(v));
}

Ref make_float(double v) {
  return Ref::adopt(detail::made_value(detail::make_float_object(v, Alloc::kOther)));
}

Ref make_string(std::string_view text) {
  return Ref::adopt(detail::made_value(detail::new_string(text)));
}

Ref make_array(size_t count) {
  return Ref::adopt(detail::made_value(detail::new_slotted(kArray, nil_value(), count)));
}

Ref nil() {
  return Ref::adopt(nil_value());
}

int32_t slot_count(HostValue v) {
  if (!host::has_type(v, kArray) && !host::has_type(v, kScriptObject)) return 0;
  return static_cast<int32_t>((host::object_of(v)->reserved - host::kSlotOffset) / sizeof(HostValue));
}

size_t live_objects() {
  // Counted here rather than by the makers and releases, which would pay
  // for it on every object.
  return detail::heap_live(detail::counted);
}

size_t report_leaks(FILE *out) {
  std::vector<std::pair<uintptr_t, std::string>> leaks;
  detail::heap_walk(detail::counted, [&leaks](const void *block, uint32_t) {
    const auto *o = static_cast<const HostObject *>(block);
    const HostValue v = host::value_of(o);
    std::string what = describe(v);
    if (o->type == host::kString || o->type == host::kFloat) what += " " + show(v);
    leaks.emplace_back(v, what + ", count " + std::to_string(o->refcount));
  });
  for (auto [block, size] : detail::live_blocks()) {
    leaks.emplace_back(reinterpret_cast<uintptr_t>(block),
                       "zone block of " + std::to_string(size) + " bytes");
  }
  std::sort(leaks.begin(), leaks.end());
  for (const auto &[address, what] : leaks) {
    fprintf(out, "leak: %p %s\n", reinterpret_cast<void *>(address), what.c_str());
  }
  return leaks.size();
}

void fail_next_gen_obj() {
  fail_allocation(Alloc::kGenObj, 1);
}

}  // namespace zel::rt

// gen_obj: objects of the smallest class (keys) from a free list, nothing
// recorded, in a path that calls nothing; any other call takes the general
// path.
namespace zel::rt::detail {
namespace {

// The payload bytes of the largest object of the smallest class.
constexpr int32_t kSmallPayload = sizeof(host::HostFloat) - sizeof(HostObject);

// Whether a type code is a library's (above kScriptObject, at most 255): one
// unsigned comparison.
constexpr bool library_type(int32_t type) {
  return static_cast<uint32_t>(type) - (kScriptObject + 1u) < 255u - kScriptObject;
}

// gen_obj's general path: notes the operation, refuses a type code or size
// that cannot be made (nil, after a message) and makes an object of any size
// (nil when the arena is full or the allocation is armed to fail).
[[gnu::noinline]] HostValue general_gen_obj(int32_t type, int32_t payload_bytes) {
  if (recording()) note_numbers("gen_obj", {type, payload_bytes});
  if (!library_type(type) || payload_bytes < 0) {
    fprintf(stderr, "zel: gen_obj: cannot make an object of type %d with %d bytes\n", static_cast<int>(type),
            static_cast<int>(payload_bytes));
    return nil_value();
  }
  HostObject *o =
      make_counted(static_cast<uint8_t>(type), static_cast<size_t>(payload_bytes), Alloc::kGenObj);
  return o == nullptr ? nil_value() : host::value_of(o);
}

// The replace hook of a type registered without one: the target keeps its
// object. Never fails.
void keep_target(HostObject *, HostObject *, int32_t) {}

}  // namespace
}  // namespace zel::rt::detail

using zel::rt::detail::keep_target;
using zel::rt::detail::note_text;
using zel::rt::detail::objects;
using zel::rt::detail::recording;

extern "C" {

int32_t register_obj_type(int32_t type, ReplaceHook replace, ClearHook clear, const char *name) {
  std::string text = name == nullptr ? "" : name;
  if (recording()) note_text("register_obj_type", std::to_string(type) + ", " + text);
  if (!zel::rt::detail::library_type(type)) {
    fprintf(stderr, "zel: register_obj_type: type code %d is not free\n", static_cast<int>(type));
    return -1;
  }
  zel::rt::detail::clear_hooks[static_cast<size_t>(type)] = clear;
  zel::rt::detail::type_hooks[static_cast<size_t>(type)] = replace == nullptr ? keep_target : replace;
  objects().type_names[static_cast<size_t>(type)] = std::move(text);
  return 0;
}

HostValue gen_obj(int32_t type, int32_t payload_bytes) {
  using namespace zel::rt::detail;
  // The payload, 0 to kSmallPayload bytes, in one unsigned comparison.
  const bool small =
      library_type(type) && static_cast<uint32_t>(payload_bytes) <= static_cast<uint32_t>(kSmallPayload);
  if (recording() || !small) [[unlikely]]
    return general_gen_obj(type, payload_bytes);
  constexpr size_t kReadable = sizeof(host::HostFloat);
  constexpr size_t k = class_index(kReadable);
  Heap &h = counted;
  // A free block of the counted heap means the runtime has started (see
  // make_block_slow).
  if (h.free[k] == nullptr) [[unlikely]]
    return general_gen_obj(type, payload_bytes);
  HostObject *o = take_block(h, k, static_cast<uint8_t>(type), sizeof(HostObject) + payload_bytes, kReadable,
                             1, zel::rt::Alloc::kGenObj);
  return o == nullptr ? nil_word : host::value_of(o);
}

HostValue nil_obj(void) {
  if (recording()) [[unlikely]]
    zel::rt::detail::note_numbers("nil_obj", {});
  return zel::rt::nil_value();
}

HostValue nam_obj(int32_t length, const char *chars) {
  const std::string text = zel::rt::detail::text_of(length, chars);
  if (recording()) note_text("nam_obj", text);
  HostObject *o = zel::rt::detail::intern_name(text, zel::rt::Alloc::kNamObj);
  return o == nullptr ? zel::rt::nil_value() : host::value_of(o);
}

HostValue str_obj(int32_t length, const char *chars) {
  const std::string text = zel::rt::detail::text_of(length, chars);
  if (recording()) note_text("str_obj", text);
  HostObject *o = zel::rt::detail::new_string(text, zel::rt::Alloc::kStrObj);
  return o == nullptr ? zel::rt::nil_value() : host::value_of(o);
}

HostValue flt_obj(double value) {
  if (recording()) {
    char text[32];
    snprintf(text, sizeof text, "%g", value);
    note_text("flt_obj", text);
  }
  HostObject *o = zel::rt::detail::make_float_object(value, zel::rt::Alloc::kFltObj);
  return o == nullptr ? zel::rt::nil_value() : host::value_of(o);
}

HostValue arr_obj(int32_t count, int32_t one) {
  if (recording()) zel::rt::detail::note_numbers("arr_obj", {count, one});
  if (count < 0) return zel::rt::nil_value();
  HostObject *o = zel::rt::detail::new_slotted(zel::rt::kArray, zel::rt::nil_value(),
                                               static_cast<size_t>(count), zel::rt::Alloc::kArrObj);
  return o == nullptr ? zel::rt::nil_value() : host::value_of(o);
}

void obj_release(HostValue object) {
  if (recording() && object != 0) note_text("obj_release", zel::rt::describe(object));
  zel::rt::detail::release(object);
}

HostValue obj_vcopy(HostValue value) {
  if (recording()) note_text("obj_vcopy", zel::rt::describe(value));
  return zel::rt::detail::vcopy(value, zel::rt::Alloc::kFltObj);
}

}  // extern "C"
