// The stack guard: how close the main thread is to the end of its stack, so
// that scripts nesting too deeply (in any mix of calls, expressions, compiles
// and releases) fail with an error instead of overflowing it. Also the value
// stack that argument vectors and procedure locals live on.
#include <pthread.h>

#include "runtime/internal.h"

namespace zel::rt {
namespace {

// What must stay free below the deepest check: room for the library's handlers
// and the C library's output between two checks.
constexpr uintptr_t kReserve = uintptr_t{256} << 10;

// Slots of the value stack. The block is reserved whole and never moves, so
// that argv stays valid; pages are touched only as deep as scripts go.
constexpr size_t kValueStackSlots = size_t{1} << 21;

// The lowest address a frame may have before the guard trips; 0 (no guard)
// when the stack's bounds are unknown or leave no room for the reserve.
uintptr_t main_stack_floor() {
  pthread_attr_t attr;
  if (pthread_getattr_np(pthread_self(), &attr) != 0) return 0;
  // Reading the bounds back from attributes pthread_getattr_np filled cannot
  // fail, and they hold this frame: it is on the thread's own stack.
  void *low = nullptr;
  size_t size = 0;
  pthread_attr_getstack(&attr, &low, &size);
  pthread_attr_destroy(&attr);
  const auto bottom = reinterpret_cast<uintptr_t>(low);
  const auto here = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
  if (size <= kReserve || here < bottom + kReserve) return 0;
  return bottom + kReserve;
}

}  // namespace

bool stack_nearly_full() {
  return reinterpret_cast<uintptr_t>(__builtin_frame_address(0)) < stack_floor();
}

uintptr_t stack_floor() {
  static const uintptr_t floor = main_stack_floor();
  return floor;
}

void detail::value_stack_overflow(size_t count) {
  ValueStack &s = value_stack;
  if (s.slots == nullptr) {
    s.slots = new HostValue[kValueStackSlots];
    s.capacity = kValueStackSlots;
  }
  if (count > s.capacity - s.top) throw ScriptError{"nested too deeply: the value stack is full"};
}

}  // namespace zel::rt
