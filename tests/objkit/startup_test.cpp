// Start-up in a fresh process: objkitbltin starts the library, the
// interpreter sees its calls in start-up order, every module traces its
// start-up at its own level, and later calls of any initialiser only trace.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "T_C_Object/T_C_Object.h"
#include "T_Timer/timer.h"
#include "genobj/genobj.h"
#include "lang/boot.h"
#include "objkit/exports.h"
#include "objkit/objkit.h"
#include "runtime/runtime.h"

namespace rt = zel::rt;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

// Sets a module's level through its debug handler (silent below level 9).
void Level(HostValue (*handler)(int32_t, HostValue *), int32_t level) {
  HostValue argv[2] = {host::make_int(level), 0};
  handler(1, &argv[1]);
}

TEST(StartUp, RunsOnceInOrderAndLaterCallsOnlyTrace) {
  zel::boot();
  Level(objkit::SetDebugLevel, 8);
  Level(genobj::SetDebugLevel, 8);
  Level(t_c_object::SetDebugLevel, 4);
  Level(t_timer::SetDebugLevel, 7);
  rt::record(true);
  CaptureStdout();
  const BuiltinRecord *table = objkitbltin();
  EXPECT_EQ(
      GetCapturedStdout(),
      "FILE objkit, PROCEDURE objkitbltin ()\nFILE objkit, PROCEDURE objkit_init_module ()\n"
      "FILE genobj, PROCEDURE genobj_init_module ()\nFILE genobj, ROUTINE InitialiseZEL ()\n"
      "FILE genobj, ROUTINE InitialiseClass (0)\nFILE genobj, ROUTINE LoadSymbol (0, init_module)\n"
      "FILE genobj, ROUTINE LoadSymbol (0, create)\nFILE genobj, ROUTINE LoadSymbol (-1, create)\n"
      "FILE genobj, ROUTINE LoadSymbol (0, deallocate)\nFILE genobj, ROUTINE LoadSymbol (0, dump)\n"
      "FILE T_C_Object, PROCEDURE T_C_Object_init_module ()\nFILE T_C_Object, ROUTINE InitialiseZEL ()\n"
      "FILE genobj, ROUTINE InitialiseClass (1)\nFILE genobj, ROUTINE LoadSymbol (1, init_module)\n"
      "FILE genobj, ROUTINE LoadSymbol (1, create)\nFILE genobj, ROUTINE LoadSymbol (1, deallocate)\n"
      "FILE genobj, ROUTINE LoadSymbol (1, dump)\n"
      "FILE T_Timer, PROCEDURE T_Timer_init_module ()\nFILE T_Timer, ROUTINE InitialiseZEL ()\n"
      "FILE t_timer, ROUTINE Calibrate ()\n");
  EXPECT_EQ(
      rt::take_recording(),
      (std::vector<std::string>{
          "zcreate(6, 16384)", "exec(compile \"WQ_ZEL:objkit\")", "init_built_in(objkit_debug)",
          "register_obj_type(55, GenObjHandle)", "register_obj_type(56, RefObjHandle)",
          "init_built_in(genobj_debug)", "iv_index(t_c_object, handle)", "init_built_in(T_C_Object_debug)",
          "init_built_in(T_DblLnk_debug)", "exec(zel$object:subclass \"T_Timer\", \"value,is_running\")",
          "exec(procedure  T_Timer:init ();  super:init ();  value = 0.;  is_running = 0;  end)",
          "exec(procedure  T_Timer:Value ();  return  value;  end)",
          "exec(procedure  T_Timer:setValue (v);  value = v;  end)",
          "exec(procedure  T_Timer:IsRunning ();  return  is_running;  end)", "init_built_in(T_Timer_debug)",
          "nil_obj", "profilesetup"}));
  EXPECT_EQ(table, objkit::kEmptyTable);
  const BuiltinRecord zero{};
  EXPECT_EQ(std::memcmp(table, &zero, sizeof zero), 0);

  Level(genobj::SetDebugLevel, 1);
  Level(t_c_object::SetDebugLevel, 1);
  Level(t_timer::SetDebugLevel, 1);
  CaptureStdout();
  EXPECT_EQ(objkitbltin(), table);
  genobj_init_module();
  T_C_Object_init_module();
  T_Timer_init_module();
  EXPECT_EQ(GetCapturedStdout(),
            "FILE objkit, PROCEDURE objkitbltin ()\nFILE objkit, PROCEDURE objkit_init_module ()\n"
            "FILE genobj, PROCEDURE genobj_init_module ()\n"
            "FILE T_C_Object, PROCEDURE T_C_Object_init_module ()\n"
            "FILE T_Timer, PROCEDURE T_Timer_init_module ()\n");
  EXPECT_TRUE(rt::take_recording().empty());
}

}  // namespace
