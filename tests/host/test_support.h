// Shared by the runtime's tests: a host object type of their own whose hooks
// count their calls, and the death test style that works under emulation.
#pragma once

#include <gtest/gtest.h>

#include "host/host.h"

namespace zel::test {

inline constexpr uint8_t kTestType = 60;

struct HookCounts {
  int replaced = 0;
  int cleared = 0;
};

inline HookCounts &hook_counts() {
  static HookCounts counts;
  return counts;
}

inline void register_test_type() {
  register_obj_type(
      kTestType, [](HostObject *, HostObject *, int32_t) { ++hook_counts().replaced; },
      [](HostObject *) { ++hook_counts().cleared; }, "TestHandle");
}

// A child forked under qemu-i386 hangs, while a re-executed i686 child runs
// natively; under qemu-ppc only the forked child works.
inline void pick_death_test_style() {
#if defined(__i386__)
  GTEST_FLAG_SET(death_test_style, "threadsafe");
#endif
}

}  // namespace zel::test
