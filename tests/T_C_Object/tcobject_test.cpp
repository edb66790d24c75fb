// T_C_Object where scripts cannot reach: a `handle` holding something
// foreign, and the default deallocate with its trace line.
#include <gtest/gtest.h>

#include <cstdio>

#include "T_C_Object/T_C_Object.h"
#include "booted_test.h"
#include "genobj/genobj.h"
#include "lang/boot.h"
#include "runtime/runtime.h"

namespace rt = zel::rt;

namespace {

class TCObject : public objkit_test::BootedTest {
 protected:
};

TEST_F(TCObject, DumpOfAForeignHandleIsAnError) {
  rt::Ref object = rt::send(rt::find_class("t_c_object")->value, "new", {});
  t_c_object::Handle(object.get()) = host::make_int(5);
  HostValue argv[1] = {object.get()};
  testing::internal::CaptureStdout();
  EXPECT_EQ(t_c_object::x_dump(0, argv), host::kOne);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Error : Object handle is not a GenObjHandle\n");
  t_c_object::Handle(object.get()) = nil_obj();
}

TEST_F(TCObject, DeallocateFreesTheRecordOnly) {
  void *record = z_malloc(8);
  genobj::GenObjPayload payload{0, nil_obj(), record};
  const size_t live = rt::live_zone_blocks();
  HostValue argv[2] = {host::make_int(1), 0};
  t_c_object::SetDebugLevel(1, &argv[1]);
  testing::internal::CaptureStdout();
  T_C_Object_deallocate(&payload);
  char line[100];
  std::snprintf(line, sizeof line, "FILE T_C_Object, PROCEDURE T_C_Object_deallocate (%p)\n",
                static_cast<void *>(&payload));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), line);
  argv[0] = host::make_int(0);
  t_c_object::SetDebugLevel(1, &argv[1]);
  EXPECT_EQ(rt::live_zone_blocks(), live - 1);
  EXPECT_EQ(payload.data, record);
}

}  // namespace
