// The stack guard: how close the main thread is to the end of its stack, so
// that scripts nesting too deeply (in any mix of calls, expressions, compiles
// and releases) fail with an error instead of overflowing it.
#include <pthread.h>

#include "runtime/internal.h"

namespace zel::rt {
namespace {

// What must stay free below the deepest check: room for the library's handlers
// and the C library's output between two checks.
constexpr uintptr_t kReserve = uintptr_t{256} << 10;

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

}  // namespace zel::rt
