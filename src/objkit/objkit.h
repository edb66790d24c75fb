// Internals of the module objkit: start-up, the zone's block layout, the mark
// of the routines hot paths take in line, and the handlers of the module's
// built-in routines. Internal to the library.
#pragma once

#include <cstdint>

#include "host/host.h"

// A routine a hot path takes, forced in line where the build optimises. An
// unoptimised build (debugging, coverage) keeps one copy of it, which a
// debugger steps into and coverage counts once, not once per caller.
// OBJKIT_HOT_LAMBDA does the same for a lambda, after its parameters.
// OBJKIT_ASSUME(c) tells an optimised build that c, an invariant the code
// keeps, holds; an unoptimised build neither tests nor assumes it.
#ifdef __OPTIMIZE__
#define OBJKIT_HOT_INLINE [[gnu::always_inline]] inline
#define OBJKIT_HOT_LAMBDA __attribute__((always_inline))
#define OBJKIT_ASSUME(c) ((c) ? void(0) : __builtin_unreachable())
#else
#define OBJKIT_HOT_INLINE inline
#define OBJKIT_HOT_LAMBDA
#define OBJKIT_ASSUME(c) void(0)
#endif

namespace objkit {

// Bytes in front of every zone block. Their first 4 hold the size of the whole
// zone allocation (unsigned 32 bits). The header is one 32-bit word on the
// 32-bit target and one pointer-sized word on 64-bit builds (the size in its
// first 4 bytes), so that blocks keep the alignment of the records they hold.
inline constexpr uint32_t kZoneHeader = sizeof(uintptr_t);
#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(kZoneHeader == 4);
#endif

// Creates the module zone, zcreate(6, 16384). Called once, first thing of
// start-up; the result is not tested.
void CreateZone();

// The module zone (null until CreateZone).
inline void *zone = nullptr;

// A block of `size` bytes of the module zone with no size word in front, for
// records whose owner knows their size (list items): null when the zone has
// no room. FreeSized gives it back, with the same size, and never fails.
// Inline, so that a list's add and removal call the zone directly.
inline void *AllocateSized(uint32_t size) {
  return zalloc(zone, size);
}
inline void FreeSized(void *block, uint32_t size) {
  zfree(zone, block, size);
}

// objkit's built-in table: objkit_debug, libmsg, setvideo, slist, number and
// the terminator.
extern const BuiltinRecord kBuiltins[6];

// The table objkitbltin returns: the terminator alone.
extern const BuiltinRecord kEmptyTable[1];

// Handler of "objkit_debug": sets objkit's debug level; returns the integer 1.
HostValue SetDebugLevel(int32_t argc, HostValue *argv);
// Handler of "libmsg": a new string with message text number n (argument 1,
// an integer, or a float truncated). Nil, after an error line, for an
// argument that is no number.
HostValue LibMsg(int32_t argc, HostValue *argv);
// Handler of "setvideo": adds argument 1 (a number) to the video attribute,
// or resets it for 0, and hands it to trm_setvideo. Returns the integer 1;
// an argument that is no number gets an error line and changes nothing.
HostValue SetVideo(int32_t argc, HostValue *argv);
// Handler of "slist": a new array of the arguments, objects shared by
// reference shared, everything else copied. Never fails.
HostValue SList(int32_t argc, HostValue *argv);
// Handler of "number": argument 1 (a string) read as hexadecimal after a
// prefix x, X, 0x or 0X (an integer), else as decimal (a new float).
HostValue Number(int32_t argc, HostValue *argv);

}  // namespace objkit
