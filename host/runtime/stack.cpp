// The stack guard: how close the main thread is to the end of its stack, so
// that scripts nesting too deeply (in any mix of calls, expressions, compiles
// and releases) fail with an error instead of overflowing it. Also the value
// stack that argument vectors and procedure locals live on.
#include <pthread.h>
#include <sys/auxv.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "runtime/internal.h"

namespace zel::rt {
namespace {

// What must stay free below the deepest check: room for the library's handlers
// and the C library's output between two checks.
constexpr uintptr_t kReserve = uintptr_t{256} << 10;

// Slots of the value stack. The block is reserved whole and never moves, so
// that argv stays valid; pages are touched only as deep as scripts go.
constexpr size_t kValueStackSlots = size_t{1} << 21;

// The bounds of the main thread's stack, [low, low + size): false when they
// are unknown. The kernel copies the program's name (AT_EXECFN) to the very
// top of the stack, so the page above its end is where the stack ends, and a
// finite size limit is how far below that it may grow. Without the name or a
// limit, the C library finds the bounds in the process's memory map (a read
// and parse of /proc/self/maps, a quarter of a short run's start-up).
bool main_stack(uintptr_t &low, uintptr_t &size) {
  const auto *name = reinterpret_cast<const char *>(getauxval(AT_EXECFN));
  rlimit limit{};
  if (name != nullptr && getrlimit(RLIMIT_STACK, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
    const auto page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    const uintptr_t end = (reinterpret_cast<uintptr_t>(name) + std::strlen(name) + page) & ~(page - 1);
    size = static_cast<uintptr_t>(std::min<rlim_t>(limit.rlim_cur, end));
    low = end - size;
    return true;
  }
  pthread_attr_t attr;
  if (pthread_getattr_np(pthread_self(), &attr) != 0) return false;
  // Reading the bounds back from attributes pthread_getattr_np filled cannot
  // fail, and they hold this frame: it is on the thread's own stack.
  void *bottom = nullptr;
  size_t bytes = 0;
  pthread_attr_getstack(&attr, &bottom, &bytes);
  pthread_attr_destroy(&attr);
  low = reinterpret_cast<uintptr_t>(bottom);
  size = bytes;
  return true;
}

// The lowest address a frame may have before the guard trips; 0 (no guard)
// when the stack's bounds are unknown or leave no room for the reserve.
uintptr_t main_stack_floor() {
  uintptr_t bottom = 0, size = 0;
  if (!main_stack(bottom, size)) return 0;
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
