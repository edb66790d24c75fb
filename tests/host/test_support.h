// Shared by the runtime's tests: a host object type of their own whose hooks
// count their calls, and the texts a test compares.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "host/host.h"
#include "runtime/runtime.h"

namespace zel::test {

inline constexpr uint8_t kTestType = 60;

struct HookCounts {
  int replaced = 0, cleared = 0;
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

// The message of the script error f throws, or "no error".
inline std::string error_of(auto &&f) {
  try {
    f();
  } catch (const rt::ScriptError &error) {
    return error.message;
  }
  return "no error";
}

// The text printf would write for format and args.
inline std::string printed(const char *format, auto... args) {
  char line[160];
  snprintf(line, sizeof line, format, args...);
  return line;
}

// The leak report as text; the count of entries it lists goes to listed.
inline std::string leak_report(size_t *listed = nullptr) {
  FILE *out = tmpfile();
  const size_t count = rt::report_leaks(out);
  if (listed != nullptr) *listed = count;
  std::string report(static_cast<size_t>(ftell(out)), '\0');
  rewind(out);
  report.resize(fread(report.data(), 1, report.size(), out));
  fclose(out);
  return report;
}

}  // namespace zel::test
