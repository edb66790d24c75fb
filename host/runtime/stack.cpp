// The stack guard: how close the main thread is to the end of its stack, so
// that scripts nesting too deeply (in any mix of calls, expressions, compiles
// and releases) fail with an error instead of overflowing it. Also the value
// stack that argument vectors and procedure locals live on.
#include <pthread.h>

#include <algorithm>
#include <memory>

#include "runtime/internal.h"

namespace zel::rt {
namespace {

// What must stay free below the deepest check: room for the library's handlers
// and the C library's output between two checks.
constexpr uintptr_t kReserve = uintptr_t{256} << 10;

// Slots of the value stack. The block is reserved whole and never moves, so
// that argv stays valid; pages are touched only as deep as scripts go.
constexpr size_t kValueStackSlots = size_t{1} << 21;

struct ValueStack {
  std::unique_ptr<HostValue[]> slots{new HostValue[kValueStackSlots]};
  size_t top = 0;
};

ValueStack &value_stack() {
  static ValueStack &s = *new ValueStack;
  return s;
}

// The lowest address a frame may have before the guard trips; 0 (no guard)
// when the stack's bounds are unknown or do not hold the caller's frame.
uintptr_t stack_floor() {
  pthread_attr_t attr;
  if (pthread_getattr_np(pthread_self(), &attr) != 0) return 0;
  void *low = nullptr;
  size_t size = 0;
  const bool known = pthread_attr_getstack(&attr, &low, &size) == 0;
  pthread_attr_destroy(&attr);
  const auto bottom = reinterpret_cast<uintptr_t>(low);
  const auto here = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
  if (!known || size <= kReserve || here < bottom + kReserve || here >= bottom + size) return 0;
  return bottom + kReserve;
}

}  // namespace

bool stack_nearly_full() {
  static const uintptr_t floor = stack_floor();
  return reinterpret_cast<uintptr_t>(__builtin_frame_address(0)) < floor;
}

Slots::Slots(size_t count) : count_(count) {
  ValueStack &s = value_stack();
  if (count > kValueStackSlots - s.top) throw ScriptError{"nested too deeply: the value stack is full"};
  base_ = s.slots.get() + s.top;
  std::fill(base_, base_ + count, host::kZero);
  s.top += count;
}

Slots::~Slots() {
  for (size_t i = 0; i < count_; ++i) drop(base_[i]);
  value_stack().top -= count_;
}

}  // namespace zel::rt
