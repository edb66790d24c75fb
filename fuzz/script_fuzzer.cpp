// Fuzz target: ZEL text through the front end and the evaluator, with the
// library started. Each input runs as one script under a step budget (loops
// and recursion end), with the fake clock and the profiler on the procedure
// `work`. Afterwards the globals are dropped and the library's modes (debug
// levels, current timer, video attribute) and the clock go back to their
// start, so that one input does not change how the next one runs. Classes
// and procedures an input defines stay; a finding reproduces by running its
// one input.
//
// Objects an input leaves live may be rings (a list holding itself), which
// are never freed (docs/reliability.md). What is checked is that each of them
// is held exactly as often as the objects left live hold it: a count above
// that is a leak, one below it a count gone wrong.
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string_view>

#include "T_DblLnk/dbllnk.h"
#include "genobj/genobj.h"
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

// The objects the runtime counts as live, with their reference counts, read
// from its leak report.
std::map<HostValue, long> live_counts() {
  char *text = nullptr;
  size_t size = 0;
  FILE *report = open_memstream(&text, &size);
  zel::rt::report_leaks(report);
  std::fclose(report);
  std::map<HostValue, long> counts;
  for (char *line = text; line != nullptr && *line != '\0';) {
    char *end = std::strchr(line, '\n');
    if (end != nullptr) *end = '\0';
    void *address = nullptr;
    const char *count = std::strstr(line, ", count ");
    if (count != nullptr && std::sscanf(line, "leak: %p", &address) == 1) {
      counts[static_cast<HostValue>(reinterpret_cast<uintptr_t>(address))] = std::atol(count + 8);
    }
    line = end != nullptr ? end + 1 : nullptr;
  }
  std::free(text);
  return counts;
}

// Checks that every live object is held exactly as often as the live objects
// hold it: by the slots of arrays and script objects and by the entries of
// lists. Aborts on the first that is not.
void check_rings() {
  const std::map<HostValue, long> counts = live_counts();
  std::map<HostValue, long> held;
  std::set<const void *> lists;
  auto hold = [&](HostValue v) {
    if (counts.count(v) != 0) ++held[v];
  };
  for (const auto &[v, count] : counts) {
    for (int32_t i = 0; i < zel::rt::slot_count(v); ++i) hold(host::slot(v, i));
    if (host::type_of(v) != genobj::kGenObjHandle) continue;
    const auto *payload = host::payload<genobj::GenObjPayload>(v);
    if (payload->class_index != 1 || payload->data == nullptr || !lists.insert(payload->data).second)
      continue;
    const auto *list = static_cast<const t_dbllnk::DblLnkList *>(payload->data);
    for (const t_dbllnk::DblLnkItem *item = list->head; item != nullptr; item = item->next)
      hold(item->object);
  }
  for (const auto &[v, count] : counts) {
    if (count > 0 && held[v] != count) {
      zel::rt::report_leaks(stderr);
      std::fprintf(stderr, "script_fuzzer: %s at %p has %ld references, the live objects hold %ld\n",
                   zel::rt::describe(v).c_str(), reinterpret_cast<void *>(v), count, held[v]);
      std::abort();
    }
  }
}

size_t live_before = 0;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  // What scripts print is of no interest and would drown libFuzzer's lines.
  const int null = open("/dev/null", O_WRONLY);
  if (null >= 0) dup2(null, STDOUT_FILENO);
  zel::boot();
  objkit_init_module();
  zel::rt::fake_clock(true);
  zel::rt::set_profiled("work");
  live_before = zel::rt::live_objects();
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
  if (zel::rt::live_objects() != live_before) {
    check_rings();
    live_before = zel::rt::live_objects();
  }
  return 0;
}
