// Start-up in a fresh process: objkitbltin starts the library, the
// interpreter sees its calls in start-up order, and later calls of any
// module's initialiser only trace.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "lang/boot.h"
#include "objkit/exports.h"
#include "objkit/objkit.h"
#include "runtime/runtime.h"

namespace rt = zel::rt;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

TEST(StartUp, RunsOnceInOrderAndLaterCallsOnlyTrace) {
  zel::boot();
  HostValue argv[2] = {host::make_int(8), 0};
  objkit::SetDebugLevel(1, &argv[1]);
  rt::record(true);
  CaptureStdout();
  const BuiltinRecord *table = objkitbltin();
  EXPECT_EQ(GetCapturedStdout(),
            "FILE objkit, PROCEDURE objkitbltin ()\nFILE objkit, PROCEDURE objkit_init_module ()\n");
  const std::vector<std::string> calls = rt::take_recording();
  std::string order;
  for (size_t i = 0; i < 9 && i < calls.size(); ++i) order += calls[i] + "\n";
  EXPECT_EQ(order,
            "zcreate(6, 16384)\nexec(compile \"WQ_ZEL:objkit\")\ninit_built_in(objkit_debug)\n"
            "register_obj_type(55, GenObjHandle)\nregister_obj_type(56, "
            "RefObjHandle)\ninit_built_in(genobj_debug)\n"
            "iv_index(t_c_object, handle)\ninit_built_in(T_C_Object_debug)\ninit_built_in(T_DblLnk_debug)\n");
  EXPECT_NE(std::find(calls.begin(), calls.end(), "init_built_in(T_Timer_debug)"), calls.end());
  EXPECT_EQ(table, objkit::kEmptyTable);
  EXPECT_EQ(table->name, nullptr);

  EXPECT_EQ(zel::run("genobj_debug (1); T_C_Object_debug (1);"), "");
  rt::take_recording();
  CaptureStdout();
  EXPECT_EQ(objkitbltin(), table);
  genobj_init_module();
  T_C_Object_init_module();
  EXPECT_EQ(GetCapturedStdout(),
            "FILE objkit, PROCEDURE objkitbltin ()\nFILE objkit, PROCEDURE objkit_init_module ()\n"
            "FILE genobj, PROCEDURE genobj_init_module ()\n"
            "FILE T_C_Object, PROCEDURE T_C_Object_init_module ()\n");
  EXPECT_TRUE(rt::take_recording().empty());
}
