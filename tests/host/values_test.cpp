// Values, the reference rules and releasing.
#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "runtime/runtime.h"
#include "test_support.h"

namespace rt = zel::rt;
using zel::test::hook_counts;
using zel::test::kTestType;

namespace {

TEST(References, CountsAndIntegerWordsAtTheirEdges) {
  zel::test::register_test_type();
  const HostValue v = gen_obj(kTestType, 4);
  HostObject *o = host::object_of(v);
  EXPECT_EQ(o->refcount, 1);
  for (auto [from, to] : {std::pair<int16_t, int16_t>{32767, -32768}, {-1, -30000}, {-30000, -29999}}) {
    o->refcount = from;
    host::ref_take(v);
    EXPECT_EQ(o->refcount, to) << "from " << from;
  }

  const int cleared = hook_counts().cleared;
  for (int16_t permanent : {int16_t{0}, int16_t{-5}, host::kPermanent}) {
    o->refcount = permanent;
    host::ref_drop(v);
    EXPECT_EQ(o->refcount, permanent);
  }
  EXPECT_EQ(hook_counts().cleared, cleared);

  const size_t live = rt::live_objects();
  o->refcount = 1;
  host::ref_drop(v);
  EXPECT_EQ(hook_counts().cleared, cleared + 1);
  EXPECT_EQ(rt::live_objects(), live - 1);

  host::ref_take(host::kOne);  // odd words are no objects: nothing happens
  host::ref_drop(host::kOne);
  for (int i = 0; i < 3; ++i) host::ref_drop(nil_obj());
  for (HostValue v : {nil_obj(), host::kOne}) obj_release(v);  // permanent, no object: nothing happens

  EXPECT_EQ(static_cast<uint32_t>(host::make_int(1 << 30)), 0x80000001u);
  EXPECT_EQ(host::int_of(host::make_int(1 << 30)), -(1 << 30));
  EXPECT_EQ(host::int_of(static_cast<HostValue>(0xFFFFFFFFu)), -1);
  for (int32_t n : {0, 1, -1, (1 << 30) - 1, -(1 << 30)}) EXPECT_EQ(host::int_of(rt::make_int(n).get()), n);
}

TEST(Release, ContainersDropWhatTheyHold) {
  zel::test::register_test_type();
  const size_t live = rt::live_objects();
  rt::Ref shared = rt::make_string("shared");
  {
    rt::Ref array = rt::make_array(3);
    host::slot(array.get(), 0) = rt::Ref(shared).detach();
    host::slot(array.get(), 1) = rt::make_float(2.5).detach();
    host::slot(array.get(), 2) = gen_obj(kTestType, 4);
    EXPECT_EQ(rt::show(array.get()), "[shared, 2.5, <TestHandle>]");
    const rt::Ref large = rt::make_array(5000);  // past the largest size class
    host::slot(large.get(), 4999) = rt::Ref(shared).detach();
  }
  EXPECT_EQ(host::object_of(shared.get())->refcount, 1);

  // Long chains are released without exhausting the stack, one after another;
  // the outermost release goes on in place past a chain deferred for depth.
  // A clear hook finds its object's count 0, nested or not.
  static std::vector<uint32_t> cleared;  // the sizes of the handles cleared
  register_obj_type(
      61, nullptr,
      [](HostObject *o) {
        EXPECT_EQ(o->refcount, 0);
        cleared.push_back(o->reserved);
      },
      "Sized");
  for (int pass = 0; pass < 2; ++pass) {
    rt::Ref outer = rt::make_array(3);
    for (int i = 0; i < 3; ++i) host::slot(outer.get(), i) = gen_obj(61, i);
    for (int i = 0; i < 200000; ++i) {
      const HostValue link = arr_obj(1, 0);
      host::slot(link, 0) = std::exchange(host::slot(outer.get(), 0), link);
    }
    outer = rt::nil();
    EXPECT_EQ(rt::live_objects(), live + 1);
  }
  rt::drop(gen_obj(61, 3));
  EXPECT_EQ(cleared, (std::vector<uint32_t>{9, 10, 8, 9, 10, 8, 11}));  // each chain's end last
}

// The leak report lists the live objects and nothing else, whatever the
// order of frees; a freed object's block waits for 256 further object frees.
TEST(Release, LeakReportSeesOnlyLiveObjectsAndFreedBlocksWait) {
  zel::test::register_test_type();
  const size_t live = rt::live_objects();
  FILE *sink = fopen("/dev/null", "w");
  const size_t listed = rt::report_leaks(sink);
  std::vector<HostValue> made;
  for (int i = 0; i < 600; ++i) made.push_back(gen_obj(kTestType, i % 3 == 0 ? 40 : 8));
  for (size_t i = 0; i < made.size(); i += 2) host::ref_drop(made[i]);
  EXPECT_EQ(rt::live_objects(), live + 300);
  EXPECT_EQ(rt::report_leaks(sink), listed + 300);

  const HostValue first = gen_obj(kTestType, 8);
  host::ref_drop(first);
  for (int i = 0; i < 256; ++i) {
    const HostValue other = gen_obj(kTestType, 8);
    ASSERT_NE(other, first) << "reused after " << i << " frees";
    host::ref_drop(other);
  }
  const HostValue again = gen_obj(kTestType, 8);
  EXPECT_EQ(again, first);
  host::ref_drop(again);
  for (size_t i = 1; i < made.size(); i += 2) host::ref_drop(made[i]);
  EXPECT_EQ(rt::live_objects(), live);
  EXPECT_EQ(rt::report_leaks(sink), listed);
  fclose(sink);
}

TEST(Values, CopyAndAssign) {
  zel::test::register_test_type();
  const rt::Ref f = rt::make_float(1.0);
  const HostValue copy = obj_vcopy(f.get());
  EXPECT_NE(copy, f.get());
  EXPECT_EQ(host::float_of(copy), 1.0);
  EXPECT_EQ(host::object_of(copy)->refcount, 1);
  rt::drop(copy);
  for (HostValue same : {host::kOne, nil_obj()}) EXPECT_EQ(obj_vcopy(same), same);
  const rt::Ref handle = rt::Ref::adopt(gen_obj(kTestType, 4));
  EXPECT_EQ(obj_vcopy(handle.get()), handle.get());
  EXPECT_EQ(host::object_of(handle.get())->refcount, 2);
  rt::drop(handle.get());

  // `=` into a slot holding a registered type replaces in place; `==` shares.
  HostValue slot = nil_obj();
  rt::assign_value(slot, handle);
  EXPECT_EQ(slot, handle.get());
  const int replaced = hook_counts().replaced;
  rt::assign_value(slot, rt::Ref::adopt(gen_obj(kTestType, 4)));
  EXPECT_EQ(slot, handle.get());
  EXPECT_EQ(hook_counts().replaced, replaced + 1);
  rt::assign_value(slot, f);
  EXPECT_NE(slot, f.get());
  EXPECT_EQ(rt::show(slot), "1.0");
  rt::assign_ref(slot, f);
  EXPECT_EQ(slot, f.get());
  // A registered type without a replace hook keeps the slot's object as it is.
  register_obj_type(63, nullptr, nullptr, "Plain");
  const rt::Ref plain = rt::Ref::adopt(gen_obj(63, 4));
  HostValue kept = rt::Ref(plain).detach();
  rt::assign_value(kept, rt::Ref::adopt(gen_obj(63, 4)));
  EXPECT_EQ(kept, plain.get());
  rt::assign_value(kept, rt::make_int(7));  // no object: the slot takes it
  EXPECT_EQ(kept, host::make_int(7));
  EXPECT_EQ(host::int_of(rt::call("refcount", std::vector{kept}).get()), 0);
  rt::assign_ref(slot, rt::nil());
  for (const rt::Ref *held : {&handle, &f}) EXPECT_EQ(host::object_of(held->get())->refcount, 1);

  // A replaced source larger than a key, whose clear hook drops a chain too
  // deep to release at once, is gone with all of the chain when `=` returns.
  register_obj_type(
      64, [](HostObject *, HostObject *, int32_t) {},
      [](HostObject *o) { rt::drop(*host::payload<HostValue>(o)); }, "Chained");
  const size_t live = rt::live_objects();
  HostValue chained = gen_obj(64, 40), source = gen_obj(64, 40);
  HostValue &chain = *host::payload<HostValue>(source) = nil_obj();
  *host::payload<HostValue>(chained) = host::kOne;
  for (int i = 0; i < 3000; ++i) host::slot(chain, 0) = std::exchange(chain, arr_obj(1, 0));
  rt::assign_value(chained, rt::Ref::adopt(source));
  EXPECT_EQ(rt::live_objects(), live + 1);
  rt::drop(chained);
  EXPECT_EQ(rt::live_objects(), live);
}

// Shown values are bounded; the value stack refuses what does not fit; names
// are interned and permanent.
TEST(Values, ShowStackAndNamesHaveTheirBounds) {
  rt::Ref wide = rt::make_int(1);  // 8 ^ 16 elements, shared
  for (int level = 0; level < 16; ++level) {
    rt::Ref outer = rt::make_array(8);
    for (int32_t i = 0; i < 8; ++i) host::slot(outer.get(), i) = rt::Ref(wide).detach();
    wide = std::move(outer);
  }
  const std::string shown = rt::show(wide.get());
  EXPECT_LT(shown.size(), 200000u);
  EXPECT_EQ(shown.substr(shown.size() - 10), "...], ...]");
  EXPECT_EQ(rt::show(rt::make_float(-std::numeric_limits<double>::quiet_NaN()).get()), "nan");

  EXPECT_EQ(zel::test::error_of([] { rt::make_array(size_t{1} << 31); }), "out of memory");
  const rt::Slots one(1);
  EXPECT_EQ(zel::test::error_of([] { const rt::Slots all(size_t{1} << 21); }),
            "nested too deeply: the value stack is full");

  const HostValue a = nam_obj(6, "setkey");
  EXPECT_EQ(nam_obj(-1, "setkey"), a);
  EXPECT_NE(nam_obj(6, "SetKey"), a);
  EXPECT_LE(host::object_of(a)->refcount, 0);
}

// The calls running read outermost first, each at the line it runs; a
// built-in runs at the line of the script that called it.
TEST(Values, TracebackPlacesBuiltinsAtTheirCallersLine) {
  const std::string top_file = "main.zel", lib_file = "lib.zel";
  const std::string m = "Cls:m", add = "T_DblLnk:AddAtTail", setkey = "Cls:setkey";
  rt::Activation top{nullptr, &top_file, nullptr, 3};
  rt::Activation method{nullptr, &lib_file, &m, 7};
  rt::Activation builtin{nullptr, nullptr, &add, 0};
  rt::Activation handler{nullptr, &lib_file, &setkey, 2};
  const rt::Activate a(top), b(method), c(builtin), d(handler);
  const std::vector<std::string> expected = {"main.zel:3: at top level", "lib.zel:7: in Cls:m",
                                             "lib.zel:7: in T_DblLnk:AddAtTail (built-in)",
                                             "lib.zel:2: in Cls:setkey"};
  EXPECT_EQ(rt::traceback(), expected);
}

}  // namespace
