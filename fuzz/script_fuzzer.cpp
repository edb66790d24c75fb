// Fuzz target: ZEL text through the front end and the evaluator, with the
// library started. Each input runs as one script under a step budget (loops
// and recursion end), with the fake clock and the profiler on the procedure
// `work`. Afterwards the globals are dropped and the library's modes (debug
// levels, current timer, video attribute) and the clock go back to their
// start, so that one input does not change how the next one runs. Classes
// and procedures an input defines stay; a finding reproduces by running its
// one input.
//
// Objects still live after an input are not a finding here: a list holding
// itself is a reference cycle, which is never freed (docs/reliability.md).
// The list target checks leaks exactly.
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "lang/boot.h"
#include "lang/lang.h"
#include "objkit/exports.h"
#include "runtime/runtime.h"

namespace {

// Steps an input may spend: enough for every test script, few enough that a
// loop without end costs milliseconds.
constexpr uint64_t kStepBudget = 20000;

constexpr const char kRestoreModes[] =
    "T_Timer:setcurrent (nil); setvideo (0); objkit_debug (0); genobj_debug (0);"
    "T_C_Object_debug (0); T_DblLnk_debug (0); T_Timer_debug (0);";

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  // What scripts print is of no interest and would drown libFuzzer's lines.
  const int null = open("/dev/null", O_WRONLY);
  if (null >= 0) dup2(null, STDOUT_FILENO);
  zel::boot();
  objkit_init_module();
  zel::rt::fake_clock(true);
  zel::rt::set_profiled("work");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  zel::rt::fake_clock(true);  // back to its start
  zel::lang::set_step_budget(kStepBudget);
  zel::run(std::string_view(reinterpret_cast<const char *>(data), size));
  // Releases run scripts too: they get a budget of their own.
  zel::lang::set_step_budget(kStepBudget);
  zel::drop_globals();
  zel::lang::set_step_budget(kStepBudget);
  zel::run(kRestoreModes);
  zel::drop_globals();
  zel::lang::set_step_budget(0);
  return 0;
}
