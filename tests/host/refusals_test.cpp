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

using zel::test::error_of;

rt::Ref text(const char *s) {
  return rt::make_string(s);
}
rt::Ref text(int32_t n) {
  return rt::make_int(n);
}

// subclass sent to cls with these texts (or integers) as arguments.
void subclass_of(rt::Class *cls, auto... args) {
  std::vector<rt::Ref> refs;
  (refs.push_back(text(args)), ...);
  std::vector<HostValue> words;
  for (const rt::Ref &r : refs) words.push_back(r.get());
  rt::send(cls->value, "subclass", words);
}
void subclass(auto... args) {
  subclass_of(rt::root(), args...);
}

TEST(Refusals, ScriptLevelErrorsSayWhatWasWrong) {
  rt::fake_clock(false);
  const HostValue one[] = {host::kOne};
  rt::Class *const r2 = rt::define_class(rt::root(), "R2", {"x"});
  const size_t classes = rt::live_classes();
  const struct {
    std::function<void()> run;
    const char *error;
  } table[] = {
      {[] { subclass(""); }, "subclass: bad class name ''"},
      {[] { subclass("A b"); }, "subclass: bad class name 'A b'"},
      {[] { subclass("1a"); }, "subclass: bad class name '1a'"},
      {[] { subclass("R1", "x, , y"); }, "subclass: bad instance variable name ''"},
      {[] { subclass("R1", "x-y"); }, "subclass: bad instance variable name 'x-y'"},
      {[] { subclass("R1", "x,x"); }, "class R1: instance variable x defined twice"},
      {[=] { subclass_of(r2, "R3", "y, x"); }, "class R3: instance variable x defined twice"},
      {[] { subclass(); }, "subclass: expects 1 to 2 arguments, got 0"},
      {[] { subclass("R1", "a", "b"); }, "subclass: expects 1 to 2 arguments, got 3"},
      {[] { subclass("R1", 5); }, "subclass: argument 2 must be a string, got an integer"},
      {[] { rt::send(rt::root()->value, "nosuch", {}); }, "class zel$object has no routine nosuch"},
      {[&] { rt::send(host::kOne, "foo", {}); }, "cannot send foo to an integer"},
      {[] { rt::send(rt::send(rt::root()->value, "new", {}).get(), "nosuch", {}); },
       "a zel$object object has no method nosuch"},
      {[] { rt::call("nosuch", {}); }, "unknown routine nosuch"},
      {[] { rt::call("refcount", {}); }, "refcount: expects 1 argument, got 0"},
      {[] { rt::call("advance_clock", {}); }, "advance_clock: expects 1 argument, got 0"},
      {[] { rt::call("advance_clock", std::vector{text("1").get()}); },
       "advance_clock: argument 1 must be a number, got a string"},
      {[&] { rt::call("advance_clock", one); }, "advance_clock: the clock is not fake (zel --fake-clock)"},
      {[] { rt::call("size", {}); }, "size: expects 1 argument, got 0"},
      {[&] { rt::call("size", one); }, "size: argument 1 must be an array or a string, got an integer"},
      {[&] {
         rt::call("string", std::vector{host::kOne, host::kOne});
       },
       "string: expects 1 argument, got 2"},
  };
  for (const auto &r : table) EXPECT_EQ(error_of(r.run), r.error);
  EXPECT_EQ(rt::live_classes(), classes) << "no class was made";
}

constexpr auto Zero = [](int32_t, HostValue *) { return host::kZero; };

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
  // Each row: whether the failure value came back, and what was written.
  struct Row {
    std::function<bool()> answer;
    std::string message;
  };
  const auto not_a_zone = [&](const char *service) {
    return zel::test::printed("zel: %s: %p is not a zone\n", service, static_cast<void *>(&local));
  };
  for (int i = 0; i <= 256; ++i) rt::make_float(i);  // object blocks free past the quarantine
  const std::vector<Row> table = {
      {[&] { return zalloc(&local, 8) == nullptr; }, not_a_zone("zalloc")},
      {[&] { return zfree(&local, block, 24) == -1; }, not_a_zone("zfree")},
      {[&] { return zdelete(&local), true; }, not_a_zone("zdelete")},
      {[&] { return zfree(zone, block, 24) == 0; }, ""},
      {[&] { return zfree(zone, block, 24) == -1; },
       zel::test::printed("zel: zfree: %p is not a live block of zone %p\n", block, zone)},
      {[] { return host::is_nil(gen_obj(8, 8)); },
       "zel: gen_obj: cannot make an object of type 8 with 8 bytes\n"},
      {[] { return host::is_nil(gen_obj(256, 8)); },
       "zel: gen_obj: cannot make an object of type 256 with 8 bytes\n"},
      {[] { return host::is_nil(gen_obj(zel::test::kTestType, -1)); },
       "zel: gen_obj: cannot make an object of type 60 with -1 bytes\n"},
      {[] { return register_obj_type(8, nullptr, nullptr, "x") == -1; },
       "zel: register_obj_type: type code 8 is not free\n"},
      {[] { return register_obj_type(256, nullptr, nullptr, "x") == -1; },
       "zel: register_obj_type: type code 256 is not free\n"},
      {[] { return init_built_in(nullptr) == -1; }, ""},
      {[] { return init_built_in(kBadRows) == -1 && !rt::is_routine("typed"); },
       "zel: init_built_in: row uncounted has no built-in record header\n"
       "zel: init_built_in: row untyped has no built-in record header\n"
       "zel: init_built_in: row Section has a bad argument count\n"
       "zel: init_built_in: row below has a bad argument count\n"
       "zel: init_built_in: row above has a bad argument count\n"
       "zel: init_built_in: row typed names an argument type without taking one argument\n"},
  };
  for (size_t i = 0; i < table.size(); ++i) {
    testing::internal::CaptureStderr();
    const bool failed_as_said = table[i].answer();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), table[i].message) << "row " << i;
    EXPECT_TRUE(failed_as_said) << "row " << i;
  }
  zdelete(zone);
}

}  // namespace
