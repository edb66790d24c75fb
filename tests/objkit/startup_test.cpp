// Start-up in a fresh process: objkitbltin starts the library, the
// interpreter sees its calls in start-up order, every module traces its
// start-up at its own level, and later calls of any initialiser only trace;
// a class whose symbol table lacks a function.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "T_C_Object/T_C_Object.h"
#include "T_DblLnk/dbllnk.h"
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
  Level(t_dbllnk::SetDebugLevel, 1);
  Level(t_timer::SetDebugLevel, 1);
  CaptureStdout();
  EXPECT_EQ(objkitbltin(), table);
  genobj_init_module();
  T_C_Object_init_module();
  T_DblLnk_init_module();
  T_Timer_init_module();
  EXPECT_EQ(GetCapturedStdout(),
            "FILE objkit, PROCEDURE objkitbltin ()\nFILE objkit, PROCEDURE objkit_init_module ()\n"
            "FILE genobj, PROCEDURE genobj_init_module ()\n"
            "FILE T_C_Object, PROCEDURE T_C_Object_init_module ()\n"
            "FILE T_DblLnk, PROCEDURE T_DblLnk_init_module ()\n"
            "FILE T_Timer, PROCEDURE T_Timer_init_module ()\n");
  EXPECT_TRUE(rt::take_recording().empty());
}

// The test program links T_C_Object's symbol table through this wrapper
// (-Wl,--wrap): a child may start the library with a table that lacks a
// function.
const SymbolEntry *symbols = nullptr;

}  // namespace

extern "C" const SymbolEntry *__real_T_C_Object_get_symbol_table(void);
extern "C" const SymbolEntry *__wrap_T_C_Object_get_symbol_table(void) {
  return symbols != nullptr ? symbols : __real_T_C_Object_get_symbol_table();
}

namespace {

// T_C_Object without init_module cannot start, and no class has one to lend
// it: the process ends. Without dump it starts, and genobj_dump of its
// payload stops after the owner line.
TEST(StartUpDeathTest, AClassTableMissingAFunction) {
  static const SymbolEntry kNoInit[] = {{"dump", reinterpret_cast<void *>(T_C_Object_dump)},
                                        {nullptr, nullptr}};
  static const SymbolEntry kNoDump[] = {{"init_module", reinterpret_cast<void *>(T_C_Object_init_module)},
                                        {nullptr, nullptr}};
  // Standard output goes to standard error, where the death test reads.
  const auto start = [](const SymbolEntry *table) {
    symbols = table;
    dup2(STDERR_FILENO, STDOUT_FILENO);
    zel::boot();
    objkit_init_module();
  };
  EXPECT_EXIT(start(kNoInit), testing::ExitedWithCode(255),
              "^Fatal error : Could not initialise generic class T_C_Object\n$");
  const auto dump_base = [] {
    genobj::GenObjPayload base = {genobj::kTCObjectClass, nil_obj(), nullptr};
    base.data = &base;
    genobj_dump(&base, stderr, 0);
    std::exit(0);
  };
  EXPECT_EXIT((start(kNoDump), dump_base()), testing::ExitedWithCode(0),
              "^genobj : <0x[0-9a-f]+>, class : <T_C_Object>\nob : <0x[0-9a-f]+>\n$");
}

}  // namespace
