// What the runtime refuses, and what it says: classes made by subclass, the
// runtime's own routines, sends that find nothing, and the services a
// library calls with a handle or type code that is no such thing.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "runtime/runtime.h"
#include "test_support.h"

namespace rt = zel::rt;

namespace {

struct Refusal {
  const char *what;
  std::function<void()> run;
  const char *error;
};

rt::Ref text(const char *s) {
  return rt::make_string(s);
}

// subclass with these arguments, sent to cls (the root when null).
void subclass(std::vector<rt::Ref> args, rt::Class *cls = nullptr) {
  std::vector<HostValue> words;
  for (const rt::Ref &a : args) words.push_back(a.get());
  rt::send((cls == nullptr ? rt::root() : cls)->value, "subclass", words);
}

TEST(Refusals, ScriptLevelErrorsSayWhatWasWrong) {
  rt::fake_clock(false);
  const HostValue one[] = {host::kOne};
  const std::vector<Refusal> table = {
      {"no name", [] { subclass({text("")}); }, "subclass: bad class name ''"},
      {"a blank in the name", [] { subclass({text("A b")}); }, "subclass: bad class name 'A b'"},
      {"a digit first", [] { subclass({text("1a")}); }, "subclass: bad class name '1a'"},
      {"an empty variable",
       [] {
         subclass({text("R1"), text("x, , y")});
       },
       "subclass: bad instance variable name ''"},
      {"a bad variable",
       [] {
         subclass({text("R1"), text("x-y")});
       },
       "subclass: bad instance variable name 'x-y'"},
      {"a variable twice",
       [] {
         subclass({text("R1"), text("x,x")});
       },
       "class R1: instance variable x defined twice"},
      {"an inherited variable again",
       [] {
         subclass({text("R3"), text("y, x")}, rt::define_class(rt::root(), "R2", {"x"}));
       },
       "class R3: instance variable x defined twice"},
      {"no arguments", [] { subclass({}); }, "subclass: expects 1 to 2 arguments, got 0"},
      {"three arguments",
       [] {
         subclass({text("R1"), text("a"), text("b")});
       },
       "subclass: expects 1 to 2 arguments, got 3"},
      {"a number for the list",
       [] {
         subclass({text("R1"), rt::make_int(5)});
       },
       "subclass: argument 2 must be a string, got an integer"},
      {"a class without the routine", [] { rt::send(rt::root()->value, "nosuch", {}); },
       "class zel$object has no routine nosuch"},
      {"a send to an integer", [&] { rt::send(host::kOne, "foo", {}); }, "cannot send foo to an integer"},
      {"an object without the method",
       [] { rt::send(rt::send(rt::root()->value, "new", {}).get(), "nosuch", {}); },
       "a zel$object object has no method nosuch"},
      {"a routine nobody defined", [] { rt::call("nosuch", {}); }, "unknown routine nosuch"},
      {"refcount of nothing", [] { rt::call("refcount", {}); }, "refcount: expects 1 argument, got 0"},
      {"advance_clock of nothing", [] { rt::call("advance_clock", {}); },
       "advance_clock: expects 1 argument, got 0"},
      {"advance_clock of a string", [] { rt::call("advance_clock", std::vector{text("1").get()}); },
       "advance_clock: argument 1 must be a number, got a string"},
      {"advance_clock on the real clock", [&] { rt::call("advance_clock", one); },
       "advance_clock: the clock is not fake (zel --fake-clock)"},
      {"size of nothing", [] { rt::call("size", {}); }, "size: expects 1 argument, got 0"},
      {"size of a number", [&] { rt::call("size", one); },
       "size: argument 1 must be an array or a string, got an integer"},
      {"string of two values",
       [&] {
         rt::call("string", std::vector{host::kOne, host::kOne});
       },
       "string: expects 1 argument, got 2"},
  };
  const size_t classes = rt::live_classes();
  for (const Refusal &r : table) {
    std::string got = "no error";
    try {
      r.run();
    } catch (const rt::ScriptError &error) {
      got = error.message;
    }
    EXPECT_EQ(got, r.error) << r.what;
  }
  EXPECT_EQ(rt::live_classes(), classes + 1) << "only R2 was made";
}

HostValue Zero(int32_t, HostValue *) {
  return host::kZero;
}

// Rows of a built-in table that init_built_in leaves out.
const BuiltinRecord kBadRows[] = {
    {0, host::kBuiltin, 0, 24, "uncounted", 0, 0, Zero, 0, {}},
    {host::kBuiltinRefcount, host::kString, 0, 24, "untyped", 0, 0, Zero, 0, {}},
    {host::kBuiltinRefcount, host::kBuiltin, 0, 24, "Section", 2, 0, nullptr, 0, {}},
    {host::kBuiltinRefcount, host::kBuiltin, 0, 24, "below", -2, 0, Zero, 0, {}},
    {host::kBuiltinRefcount, host::kBuiltin, 0, 24, "above", 2, 0, Zero, 0, {}},
    {host::kBuiltinRefcount, host::kBuiltin, 0, 24, "typed", 0, 0, Zero, host::kString, {}},
    {},
};

// Each C service given a handle, code or table it never handed out answers
// its failure value and writes one line on standard error per fault.
TEST(Refusals, ServicesRefuseWhatTheyDidNotHandOut) {
  int local = 0;
  void *zone = zcreate(6, 16384);
  void *block = zalloc(zone, 24);
  char line[128];
  struct Row {
    const char *what;
    std::function<bool()> answer;  // whether the failure value came back
    std::string message;
  };
  snprintf(line, sizeof line, "zel: zalloc: %p is not a zone\n", static_cast<void *>(&local));
  const std::string not_a_zone = line;
  snprintf(line, sizeof line, "zel: zfree: %p is not a zone\n", static_cast<void *>(&local));
  const std::string zfree_not_a_zone = line;
  snprintf(line, sizeof line, "zel: zdelete: %p is not a zone\n", static_cast<void *>(&local));
  const std::string zdelete_not_a_zone = line;
  snprintf(line, sizeof line, "zel: zfree: %p is not a live block of zone %p\n", block, zone);
  const std::string twice = line;
  const std::vector<Row> table = {
      {"zalloc on no zone", [&] { return zalloc(&local, 8) == nullptr; }, not_a_zone},
      {"zfree on no zone", [&] { return zfree(&local, block, 24) == -1; }, zfree_not_a_zone},
      {"zdelete of no zone", [&] { return zdelete(&local), true; }, zdelete_not_a_zone},
      {"zfree once", [&] { return zfree(zone, block, 24) == 0; }, ""},
      {"zfree twice", [&] { return zfree(zone, block, 24) == -1; }, twice},
      {"gen_obj of a language type", [] { return host::is_nil(gen_obj(8, 8)); },
       "zel: gen_obj: cannot make an object of type 8 with 8 bytes\n"},
      {"gen_obj past 255", [] { return host::is_nil(gen_obj(256, 8)); },
       "zel: gen_obj: cannot make an object of type 256 with 8 bytes\n"},
      {"gen_obj of negative size", [] { return host::is_nil(gen_obj(zel::test::kTestType, -1)); },
       "zel: gen_obj: cannot make an object of type 60 with -1 bytes\n"},
      {"a type code of the language", [] { return register_obj_type(8, nullptr, nullptr, "x") == -1; },
       "zel: register_obj_type: type code 8 is not free\n"},
      {"a type code past 255", [] { return register_obj_type(256, nullptr, nullptr, "x") == -1; },
       "zel: register_obj_type: type code 256 is not free\n"},
      {"init_built_in of no table", [] { return init_built_in(nullptr) == -1; }, ""},
      {"init_built_in of bad rows", [] { return init_built_in(kBadRows) == -1 && !rt::is_routine("typed"); },
       "zel: init_built_in: row uncounted has no built-in record header\n"
       "zel: init_built_in: row untyped has no built-in record header\n"
       "zel: init_built_in: row Section has a bad argument count\n"
       "zel: init_built_in: row below has a bad argument count\n"
       "zel: init_built_in: row above has a bad argument count\n"
       "zel: init_built_in: row typed names an argument type without taking one argument\n"},
  };
  for (const Row &row : table) {
    testing::internal::CaptureStderr();
    const bool failed_as_said = row.answer();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), row.message) << row.what;
    EXPECT_TRUE(failed_as_said) << row.what;
  }
  zdelete(zone);
}

}  // namespace
