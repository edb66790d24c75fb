// Allocation failure at every site: each library routine and list or timer
// method is run once to count the allocations it makes of each kind, then
// again with each of those allocations failing in turn. An object the host
// cannot make gives the operation's own answer (nil after "Fatal error : Out
// of memory" for a handle, nil for a float, string or array) and leaks
// nothing; a zone block the host cannot make ends the process through
// errexit, naming the statement; a message name the host cannot make fails
// the statement with a clear error.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <string>

#include "booted_test.h"
#include "lang/boot.h"
#include "runtime/runtime.h"

namespace rt = zel::rt;

namespace {

// Values that answer every message of the stored-object protocol, a list
// holding two of them with keys and logging on, a key of each, and a timer.
constexpr const char *kSetup =
    "zel$object:subclass \"Told\", \"key\";"
    "procedure Told:setkey (k); key == k; end "
    "procedure Told:logaddtolist (l, p); end "
    "procedure Told:logremovefromlist (l, p); end "
    "procedure Told:key (); return key; end "
    "procedure T_DblLnk:sethandle (h); handle = h; end "
    "procedure T_DblLnk:gethandle (); return handle; end "
    "l = T_DblLnk:new (); l:create (); l:setenterkeys (1); l:setlogtransactions (1);"
    "a = Told:new (); b = Told:new (); ka = l:Add (a); kb = l:Add (b);"
    "t = T_Timer:new ();";
constexpr const char *kTeardown =
    "T_Timer:setcurrent (nil); l = nil; a = nil; b = nil; ka = nil; kb = nil; t = nil; r = nil;";

// One statement per library routine and method; r keeps the answer.
constexpr std::array kOperations = {
    "r = libmsg (3);",
    "r = slist (1, 2.5, \"three\");",
    "r = number (\"2.5\");",
    "r = number (\"0x1F\");",
    "r = setvideo (0);",
    "r = l:create ();",
    "r = l:setenterkeys (0);",
    "r = l:setlogtransactions (0);",
    "r = l:SetAtKey (ka, Told:new ());",
    "r = l:AddAtHead (Told:new ());",
    "r = l:AddAtTail (Told:new ());",
    "r = l:Add (a);",
    "r = l:AddBefore (kb, Told:new ());",
    "r = l:AddAfter (ka, Told:new ());",
    "r = l:Used ();",
    "r = l:fst ();",
    "r = l:lst ();",
    "r = l:KeyOf (b);",
    "r = l:ObjectOf (ka);",
    "r = l:IterObj (ka);",
    "r = l:KeyAt (1);",
    "r = l:KeyAtHead ();",
    "r = l:KeyAtTail ();",
    "r = l:Head ();",
    "r = l:Tail ();",
    "r = l:IndexOf (b);",
    "r = l:Rem (a);",
    "r = l:RemAtKey (kb);",
    "r = l:RemAtHead ();",
    "r = l:RemAtTail ();",
    "r = l:Flush ();",
    "r = T_DblLnk:setval (ka, b);",
    "r = T_DblLnk:val (ka);",
    "r = T_DblLnk:after (ka);",
    "r = T_DblLnk:before (kb);",
    "r = l:dump ();",
    "r = T_DblLnk:new (); r:create (); r:sethandle (l:gethandle ()); r = nil;",
    "r = T_Timer:new ();",
    "t:start (); r = t:stop ();",
    "t:start (); r = t:lap ();",
    "r = t:reset ();",
    "T_Timer:setcurrent (t); rt_profile ();",
    "r = T_Timer:current ();",
};

constexpr std::array kObjectKinds = {rt::Alloc::kGenObj, rt::Alloc::kFltObj, rt::Alloc::kStrObj,
                                     rt::Alloc::kArrObj};

// The allocations of each kind the operation makes after the setup.
std::array<uint64_t, rt::kAllocKinds> Count(const char *operation) {
  EXPECT_EQ(zel::run(kSetup), "");
  std::array<uint64_t, rt::kAllocKinds> before{};
  for (size_t k = 0; k < rt::kAllocKinds; ++k) before[k] = rt::allocations(static_cast<rt::Alloc>(k));
  testing::internal::CaptureStdout();
  EXPECT_EQ(zel::run(operation), "") << operation;
  testing::internal::GetCapturedStdout();
  for (size_t k = 0; k < rt::kAllocKinds; ++k)
    before[k] = rt::allocations(static_cast<rt::Alloc>(k)) - before[k];
  EXPECT_EQ(zel::run(kTeardown), "");
  return before;
}

class AllocationFailure : public objkit_test::LeakCheckedTest {
 protected:
  static void SetUpTestSuite() {
    LeakCheckedTest::SetUpTestSuite();
    // The profiler's hooks run around each call of rt_profile.
    ASSERT_EQ(zel::run("procedure rt_profile (); end"), "");
    rt::set_profiled("rt_profile");
  }
};

// The cases that end a process of their own.
class AllocationFailureDeathTest : public AllocationFailure {};

// Every object the library asks for, failing: the operation answers, prints
// the handle constructors' line when a handle is missing, and leaks nothing.
TEST_F(AllocationFailure, EveryObjectSiteGivesTheOperationsOwnAnswer) {
  int cases = 0;
  int sites = 0;
  for (const char *operation : kOperations) {
    const auto made = Count(operation);
    for (rt::Alloc kind : kObjectKinds) {
      const uint64_t n = made[static_cast<size_t>(kind)];
      sites += n > 0 ? 1 : 0;
      for (uint64_t i = 1; i <= n; ++i, ++cases) {
        const size_t objects = rt::live_objects();
        const size_t blocks = rt::live_zone_blocks();
        ASSERT_EQ(zel::run(kSetup), "");
        testing::internal::CaptureStdout();
        rt::fail_allocation(kind, i);
        const std::string error = zel::run(operation);
        rt::fail_allocation(kind, 0);
        const std::string out = testing::internal::GetCapturedStdout();
        const std::string what = std::string(operation) + " failing allocation " + std::to_string(i) +
                                 " of kind " + std::to_string(static_cast<int>(kind));
        EXPECT_EQ(error, "") << what;
        if (kind == rt::Alloc::kGenObj) {
          EXPECT_NE(out.find("Fatal error : Out of memory\n"), std::string::npos) << what;
        }
        ASSERT_EQ(zel::run(kTeardown), "");
        EXPECT_EQ(rt::live_objects(), objects) << what;
        EXPECT_EQ(rt::live_zone_blocks(), blocks) << what;
      }
    }
  }
  printf("object allocation failures: %d cases at %d operation sites\n", cases, sites);
  EXPECT_GT(cases, 20);
}

// Every zone block the library asks for, failing: errexit names the
// statement and the process ends with status 1.
TEST_F(AllocationFailureDeathTest, EveryZoneBlockFailingEndsThroughErrexit) {
  int cases = 0;
  for (const char *operation : kOperations) {
    const uint64_t n = Count(operation)[static_cast<size_t>(rt::Alloc::kZoneBlock)];
    for (uint64_t i = 1; i <= n; ++i, ++cases) {
      EXPECT_EXIT(
          {
            zel::run(kSetup);
            rt::fail_allocation(rt::Alloc::kZoneBlock, i);
            zel::run(operation);
          },
          testing::ExitedWithCode(1), "^zel: test:1: Out of memory\n$")
          << operation;
    }
  }
  printf("zone block failures: %d cases\n", cases);
  EXPECT_GT(cases, 5);
}

// The first use of each message name, failing: the statement fails with a
// clear error, and the next use makes the name. Each case runs in a child of
// a process where no name has been made yet: names are permanent, so after
// another test of this program has sent messages there is nothing to fail.
TEST_F(AllocationFailureDeathTest, AMessageNameThatCannotBeMadeFailsItsStatement) {
  if (rt::allocations(rt::Alloc::kNamObj) != 0) {
    GTEST_SKIP() << "message names were made by an earlier test of this process; run this test alone";
  }
  constexpr std::array kFirstUses = {"l:setenterkeys (1); r = l:AddAtTail (Told:new ());",
                                     "l:setlogtransactions (1); r = l:AddAtTail (Told:new ());",
                                     "l:setlogtransactions (1); r = l:RemAtTail ();",
                                     "l:setenterkeys (1); r = l:KeyOf (b);"};
  for (const char *operation : kFirstUses) {
    EXPECT_EXIT(
        {
          zel::run(
              "zel$object:subclass \"Told\", \"\"; procedure Told:setkey (k); end "
              "procedure Told:logaddtolist (l, p); end procedure Told:logremovefromlist (l, p); end "
              "procedure Told:key (); return 1; end "
              "l = T_DblLnk:new (); l:create (); b = Told:new (); l:Add (Told:new ()); l:Add (b);");
          rt::fail_allocation(rt::Alloc::kNamObj, 1);
          const std::string error = zel::run(operation);
          rt::fail_allocation(rt::Alloc::kNamObj, 0);
          fprintf(stderr, "%s|%s\n", error.c_str(), zel::run(operation).c_str());
          exit(0);
        },
        testing::ExitedWithCode(0), "^test:1: obj_send: the selector is not a name\\|\n$")
        << operation;
  }
}

}  // namespace
