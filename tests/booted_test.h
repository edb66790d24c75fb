// Fixtures of the GoogleTests that run over the started library: the
// interpreter and the library start once per test program.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>

#include "lang/boot.h"
#include "objkit/exports.h"
#include "runtime/runtime.h"

namespace objkit_test {

// Boots the interpreter and starts the library before the first test.
class BootedTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    zel::boot();
    objkit_init_module();
  }
};

// Also checks that each test leaves no global, live object or zone block
// behind: the counts are taken when the test's fixture is made.
class LeakCheckedTest : public BootedTest {
 protected:
  void TearDown() override {
    EXPECT_EQ(zel::drop_globals(), "");
    EXPECT_EQ(zel::rt::live_objects(), objects_);
    EXPECT_EQ(zel::rt::live_zone_blocks(), blocks_);
  }

 private:
  const size_t objects_ = zel::rt::live_objects();
  const size_t blocks_ = zel::rt::live_zone_blocks();
};

}  // namespace objkit_test
