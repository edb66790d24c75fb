// The ZEL interpreter's published interface for plug-in libraries: the value
// and object layout, the reference rules, the built-in routine record and the
// operations a plug-in may call.
//
// Layout. A HostValue is one machine word. Odd words are small integers, even
// words point at a HostObject. Every HostObject starts with the 8-byte header
// below; its payload follows at byte 8. Arrays and script objects keep one
// interpreter word (a HostValue) after the header and their slots after that:
// slot i lies at byte 12 + 4i on 32-bit builds and at 16 + 8i on 64-bit ones.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

extern "C" {

typedef uintptr_t HostValue;

struct HostObject {
  int16_t refcount;
  uint8_t type;
  uint8_t flags;
  uint32_t reserved;
};

typedef HostValue (*BuiltinHandler)(int32_t argc, HostValue *argv);
typedef void (*ReplaceHook)(HostObject *target, HostObject *source, int32_t flag);
typedef void (*ClearHook)(HostObject *object);
typedef void (*ProfileHook)(void);

struct BuiltinRecord {
  int16_t refcount;
  uint8_t type;
  uint8_t flags;
  uint32_t size;
  const char *name;
  int16_t argc;
  uint16_t zero;
  BuiltinHandler handler;
  uint8_t argtype;
  uint8_t zero2[3];
};

int32_t register_obj_type(int32_t type, ReplaceHook replace, ClearHook clear, const char *name);
HostValue gen_obj(int32_t type, int32_t payload_bytes);
HostValue nil_obj(void);
HostValue nam_obj(int32_t length, const char *chars);
HostValue str_obj(int32_t length, const char *chars);
HostValue flt_obj(double value);
HostValue arr_obj(int32_t count, int32_t one);
HostValue obj_send(HostValue receiver, HostValue selector, int32_t argc, ...);
void obj_release(HostValue object);
HostValue obj_vcopy(HostValue value);
int32_t iv_index(const char *class_name, const char *var_name, int32_t zero);
int32_t exec(const char *line);
int32_t checkpar(int32_t argc, HostValue *argv, int32_t min, int32_t max, ...);
const char *libmsg(int32_t number);
int32_t init_built_in(const BuiltinRecord *table);
void trm_setvideo(int32_t attribute);
void profilesetup(ProfileHook start, ProfileHook stop);
[[noreturn]] void errexit(const char *message);
void *zcreate(int32_t a, int32_t b);
void *zalloc(void *zone, uint32_t size);
int32_t zfree(void *zone, void *block, uint32_t size);
void zdelete(void *zone);
void movb(const void *source, void *destination, uint32_t length);
double atod(const char *text);
int32_t atox(const char *text);

// Extension operations. Our interpreter provides these besides the published
// operations above; another host may not. A plug-in binds each one weakly
// (__attribute__((weak))) and works without it: the function's address is
// then null.

// 1 when value is a script object whose class, or one of its ancestors, is
// named class_name (compared without regard to case, as class names are); 0
// for anything else (integers, nil, strings, arrays, classes, handles...).
// Never fails.
int32_t obj_isa(HostValue value, const char *class_name);

}  // extern "C"

namespace host {

// Type codes shared by the interpreter and its plug-ins.
inline constexpr uint8_t kFloat = 1;
inline constexpr uint8_t kNil = 2;
inline constexpr uint8_t kBuiltin = 3;
inline constexpr uint8_t kString = 4;

// Flag bit 0: the object is shared by reference when collected, not copied.
inline constexpr uint8_t kSharedFlag = 1;

// The failure result of a built-in handler whose arguments were refused.
inline constexpr HostValue kFailure = 2;

// A reference count at or below zero marks a permanent object.
inline constexpr int16_t kPermanent = -30000;

// Header word of a permanent built-in record as the interpreter lays it out.
inline constexpr int16_t kBuiltinRefcount = kPermanent;

struct HostFloat {
  HostObject header;
  double value;
};

inline bool is_int(HostValue v) {
  return (v & 1u) != 0;
}
inline bool is_object(HostValue v) {
  return (v & 1u) == 0;
}

// The integer an odd word holds: the low 32 bits shifted right arithmetically.
inline int32_t int_of(HostValue v) {
  return static_cast<int32_t>(static_cast<uint32_t>(v)) >> 1;
}

// The word of integer v: (v << 1) + 1 in 32 bits, sign-extended to the word size.
inline HostValue make_int(int32_t v) {
  const uint32_t word = (static_cast<uint32_t>(v) << 1) + 1u;
  return static_cast<HostValue>(static_cast<intptr_t>(static_cast<int32_t>(word)));
}

inline constexpr HostValue kZero = 1;  // the integer 0
inline constexpr HostValue kOne = 3;   // the integer 1

inline HostObject *object_of(HostValue v) {
  return reinterpret_cast<HostObject *>(v);
}
inline HostValue value_of(const HostObject *o) {
  return reinterpret_cast<HostValue>(o);
}

// The type code of an object word.
inline uint8_t type_of(HostValue v) {
  return object_of(v)->type;
}

// True for an object word whose type code is nil.
inline bool is_nil(HostValue v) {
  return is_object(v) && type_of(v) == kNil;
}

inline bool has_type(HostValue v, uint8_t type) {
  return is_object(v) && type_of(v) == type;
}

// The payload of an object, from byte 8.
template <typename T>
inline T *payload(HostObject *o) {
  return reinterpret_cast<T *>(reinterpret_cast<char *>(o) + sizeof(HostObject));
}
template <typename T>
inline T *payload(HostValue v) {
  return payload<T>(object_of(v));
}

// Slot i of an array or a script object.
inline constexpr size_t kSlotOffset = sizeof(HostObject) + sizeof(HostValue);
inline HostValue *slots(HostValue v) {
  return reinterpret_cast<HostValue *>(reinterpret_cast<char *>(object_of(v)) + kSlotOffset);
}
inline HostValue &slot(HostValue v, int32_t i) {
  return slots(v)[i];
}

inline double float_of(HostValue v) {
  return reinterpret_cast<HostFloat *>(object_of(v))->value;
}

// The characters of a string object, NUL-terminated.
inline const char *chars_of(HostValue v) {
  return payload<const char>(v);
}

// Takes a reference (the increment rule): applied to object words only; the
// 16-bit count wraps, and a count that lands on 0 becomes permanent.
inline void ref_take(HostValue v) {
  if (!is_object(v)) return;
  HostObject *o = object_of(v);
  o->refcount = static_cast<int16_t>(static_cast<uint16_t>(o->refcount) + 1u);
  if (o->refcount == 0) o->refcount = kPermanent;
}

// Drops a reference (the decrement rule): permanent objects are untouched; an
// object whose count reaches 0 goes to obj_release.
inline void ref_drop(HostValue v) {
  if (!is_object(v)) return;
  HostObject *o = object_of(v);
  if (o->refcount <= 0) return;
  --o->refcount;
  if (o->refcount == 0) obj_release(v);
}

// Lowers a positive count by one without ever releasing: the release of a
// hold taken for the length of a call.
inline void ref_unhold(HostValue v) {
  if (!is_object(v)) return;
  HostObject *o = object_of(v);
  if (o->refcount > 0) --o->refcount;
}

// Truncates a double toward zero into 32 bits; a value beyond the range gives
// the nearest bound and NaN gives 0.
inline int32_t truncate_to_int(double d) {
  if (!(d == d)) return 0;
  if (d >= 2147483647.0) return INT32_MAX;
  if (d <= -2147483648.0) return INT32_MIN;
  return static_cast<int32_t>(d);
}

// Reads a value as a number: an integer word as its integer, any other word
// as a float object truncated toward zero.
inline int32_t number_of(HostValue v) {
  return is_int(v) ? int_of(v) : truncate_to_int(float_of(v));
}

}  // namespace host

#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(HostObject) == 8);
static_assert(sizeof(BuiltinRecord) == 24);
static_assert(offsetof(BuiltinRecord, size) == 4);
static_assert(offsetof(BuiltinRecord, name) == 8);
static_assert(offsetof(BuiltinRecord, argc) == 12);
static_assert(offsetof(BuiltinRecord, zero) == 14);
static_assert(offsetof(BuiltinRecord, handler) == 16);
static_assert(offsetof(BuiltinRecord, argtype) == 20);
static_assert(offsetof(host::HostFloat, value) == 8);
static_assert(host::kSlotOffset == 12);
#else
static_assert(sizeof(HostObject) == 8);
static_assert(offsetof(BuiltinRecord, name) == 8);
static_assert(offsetof(BuiltinRecord, argc) == 16);
static_assert(offsetof(BuiltinRecord, handler) == 24);
static_assert(offsetof(BuiltinRecord, argtype) == 32);
static_assert(sizeof(BuiltinRecord) == 40);
static_assert(offsetof(host::HostFloat, value) == 8);
static_assert(host::kSlotOffset == 16);
#endif
