// Shared by the runtime's tests: a host object type of their own whose hooks
// count their calls.
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

}  // namespace zel::test
