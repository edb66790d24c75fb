// The list's native side, where scripts cannot look: IsEqual, refused
// arguments, the records after long runs of operations, stale keys, handles
// that hold no list, a host without room for a handle, the name objects, and
// the debug checks of broken records.
#include "T_DblLnk/dbllnk.h"

#include <gtest/gtest.h>

#include <cmath>
#include <csignal>
#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "booted_test.h"
#include "lang/boot.h"
#include "objkit/exports.h"
#include "runtime/runtime.h"

namespace rt = zel::rt;
using namespace t_dbllnk;

namespace {

class Lists : public objkit_test::LeakCheckedTest {
 public:
  static DblLnkList *ListOf(const rt::Ref &list) {
    return static_cast<DblLnkList *>(host::payload<genobj::GenObjPayload>(host::slot(list.get(), 4))->data);
  }

 protected:
  static rt::Ref NewList() {
    rt::Ref list = rt::send(rt::find_class("T_DblLnk")->value, "new", {});
    rt::send(list.get(), "create", {});
    return list;
  }
  static rt::Ref Send(const rt::Ref &to, const char *selector, std::vector<HostValue> args) {
    return rt::send(to.get(), selector, args);
  }
};

TEST_F(Lists, IsEqualComparesNumbersByValueStringsByTextOthersByIdentity) {
  rt::Ref three = rt::make_float(3.0), half = rt::make_float(3.5);
  rt::Ref abc = rt::make_string("abc"), abc2 = rt::make_string("abc"), big = rt::make_string("ABC");
  rt::Ref one = rt::make_string("1"), a1 = rt::make_array(1), a2 = rt::make_array(1);
  rt::Ref nan1 = rt::make_float(std::nan("")), nan2 = rt::make_float(std::nan(""));
  EXPECT_EQ(IsEqual(host::make_int(3), three.get()), 1);
  EXPECT_EQ(IsEqual(three.get(), host::make_int(3)), 1);
  EXPECT_EQ(IsEqual(host::make_int(3), half.get()), 0);
  EXPECT_EQ(IsEqual(abc.get(), abc2.get()), 1);
  EXPECT_EQ(IsEqual(abc.get(), big.get()), 0);
  EXPECT_EQ(IsEqual(host::make_int(1), one.get()), 0);
  EXPECT_EQ(IsEqual(a1.get(), a2.get()), 0);
  EXPECT_EQ(IsEqual(a1.get(), a1.get()), 1);
  EXPECT_EQ(IsEqual(nan1.get(), nan2.get()), 0);
  EXPECT_EQ(IsEqual(nan1.get(), nan1.get()), 1);
  EXPECT_EQ(IsEqual(nil_obj(), nil_obj()), 1);
}

// Called straight, without the interpreter's own check of the row.
TEST_F(Lists, RefusedArgumentsGiveTwoAndNothingElse) {
  rt::Ref list = NewList();
  rt::Ref key = Send(list, "Add", {host::make_int(1)});
  rt::Ref text = rt::make_string("k");
  const HostValue self = list.get(), k = key.get(), v = host::make_int(5), s = text.get();
  // setval as the table has it: debug builds then check the list of its
  // argument 1 when that is a key.
  const BuiltinHandler set_val = KeyRoutine<x_set_val>;
  const struct {
    BuiltinHandler handler;
    std::vector<HostValue> args;  // argument 1 first
  } calls[] = {
      {x_add_at_tail, {v, v}},   {x_add_at_head, {}},    {x_rem, {v, v}},     {x_key_of, {}},
      {x_index_of, {v, v}},      {x_set_at_key, {v, v}}, {x_add_before, {k}}, {x_add_after, {v, v}},
      {set_val, {k, v, v}},      {set_val, {v, v}},      {set_val, {s, v}},   {set_val, {}},
      {x_set_at_key, {k, v, v}},
  };
  const int32_t saved = level;
  level = 9;
  testing::internal::CaptureStdout();
  for (const auto &call : calls) {
    std::vector<HostValue> argv(call.args.rbegin(), call.args.rend());
    argv.push_back(self);
    EXPECT_EQ(call.handler(static_cast<int32_t>(call.args.size()), argv.data() + call.args.size()),
              host::kFailure);
  }
  level = saved;
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(ListOf(list)->count, 1);
}

// Random runs of every operation; after each, the chain, the count, the pins
// (one per key) and the values' reference counts must agree.
TEST_F(Lists, RecordsStayWholeThroughLongRuns) {
  rt::Ref list = NewList();
  DblLnkList *native = ListOf(list);
  std::vector<rt::Ref> values, keys;
  for (int i = 0; i < 6; ++i) values.push_back(rt::make_string("v" + std::to_string(i % 3)));
  values.push_back(rt::make_int(7));
  std::mt19937 random(12345);
  auto pick = [&](size_t n) { return static_cast<size_t>(random() % n); };
  auto live_key = [&]() -> HostValue {
    for (int tries = 0; tries < 8 && !keys.empty(); ++tries) {
      const HostValue k = keys[pick(keys.size())].get();
      if (ItemOf(k)->list != nullptr) return k;
    }
    return 0;
  };
  static const char *const kOps[] = {"AddAtHead", "AddAtTail", "AddBefore", "AddAfter",  "SetAtKey",
                                     "RemAtKey",  "Rem",       "RemAtHead", "RemAtTail", "Flush"};
  for (int step = 0; step < 3000; ++step) {
    const std::string op = kOps[pick(step % 97 == 0 ? 10 : 9)];
    const HostValue value = values[pick(values.size())].get(), k = live_key();
    if (op == "AddAtHead" || op == "AddAtTail") keys.push_back(Send(list, op.c_str(), {value}));
    if ((op == "AddBefore" || op == "AddAfter") && k != 0) keys.push_back(Send(list, op.c_str(), {k, value}));
    if (op == "SetAtKey" && k != 0) Send(list, op.c_str(), {k, value});
    if (op == "RemAtKey" && k != 0) Send(list, op.c_str(), {k});
    if (op == "Rem" || op == "RemAtHead" || op == "RemAtTail" || op == "Flush") {
      Send(list, op.c_str(), op == "Rem" ? std::vector<HostValue>{value} : std::vector<HostValue>{});
    }
    if (keys.size() > 40) keys.erase(keys.begin() + static_cast<std::ptrdiff_t>(pick(keys.size())));

    std::map<const DblLnkItem *, int32_t> pins;
    for (const rt::Ref &key : keys) ++pins[ItemOf(key.get())];
    std::map<HostValue, int32_t> stored;
    int32_t count = 0;
    const DblLnkItem *prev = nullptr;
    for (const DblLnkItem *item = native->head; item != nullptr && count <= native->count;
         item = item->next) {
      ASSERT_EQ(item->list, native);
      ASSERT_EQ(item->prev, prev);
      ++stored[item->object];
      ++count;
      prev = item;
    }
    ASSERT_EQ(count, native->count);
    ASSERT_EQ(native->tail, prev);
    for (const auto &[item, n] : pins) ASSERT_EQ(item->pins, n);
    for (const rt::Ref &v : values) {
      if (host::is_object(v.get())) {
        ASSERT_EQ(host::object_of(v.get())->refcount, 1 + stored[v.get()]);
      }
    }
  }
  list = rt::Ref();
  for (const rt::Ref &key : keys) EXPECT_EQ(ItemOf(key.get())->list, nullptr);
}

// A key outlives its list: every use of it reports the stale key.
TEST_F(Lists, KeysOfAReleasedListAreStale) {
  rt::Ref list = NewList();
  rt::Ref first = Send(list, "Add", {rt::make_string("x").get()});
  rt::Ref second = Send(list, "Add", {host::make_int(2)});
  list = rt::Ref();
  rt::Ref other = NewList();
  testing::internal::CaptureStdout();
  const HostValue cls = rt::find_class("T_DblLnk")->value;
  EXPECT_TRUE(host::is_nil(rt::send(cls, "val", std::vector<HostValue>{first.get()}).get()));
  EXPECT_TRUE(host::is_nil(rt::send(cls, "after", std::vector<HostValue>{first.get()}).get()));
  EXPECT_TRUE(host::is_nil(Send(other, "AddAfter", {second.get(), host::make_int(3)}).get()));
  EXPECT_EQ(Send(other, "RemAtKey", {second.get()}).get(), host::kOne);
  const std::string stale = "Error : Key names an entry that has left its list\n";
  EXPECT_EQ(testing::internal::GetCapturedStdout(), stale + stale + stale + stale);
  EXPECT_EQ(ListOf(other)->count, 0);
}

// The four message names are made when first needed, once each (no test
// before this one sends a message).
TEST_F(Lists, NamesAreMadeOnceWhenFirstNeeded) {
  auto names_made = [] {
    int n = 0;
    for (const std::string &line : rt::take_recording()) n += line.rfind("nam_obj(", 0) == 0;
    return n;
  };
  rt::Ref list = NewList();
  rt::Ref item = rt::send(rt::find_class("zel$object")->value, "new", {});
  rt::record(true);
  Send(list, "Add", {item.get()});
  Send(list, "Flush", {});
  EXPECT_EQ(names_made(), 0);
  ASSERT_EQ(
      zel::run("zel$object:subclass \"Quiet\", \"\";"
               "procedure Quiet:setkey (k); end procedure Quiet:key (); end "
               "procedure Quiet:logaddtolist (l, p); end procedure Quiet:logremovefromlist (l, p); end"),
      "");
  rt::Ref quiet = rt::send(rt::find_class("Quiet")->value, "new", {});
  Send(list, "setenterkeys", {host::kOne});
  Send(list, "setlogtransactions", {host::kOne});
  rt::take_recording();
  for (int i = 0; i < 2; ++i) {
    Send(list, "Add", {quiet.get()});
    Send(list, "KeyOf", {quiet.get()});
    Send(list, "RemAtHead", {});
    EXPECT_EQ(names_made(), i == 0 ? 4 : 0);
  }
  rt::record(false);
}

// A GenObjHandle of another class, or of no record, holds no list (the
// interpreter's own GenObjHandle constructor is open to any class). The
// other class's record would fail every check of a list.
TEST_F(Lists, AHandleOfAnotherClassOrOfNoRecordHoldsNoList) {
  rt::Ref list = NewList();
  const HostValue other = genobj_handle(genobj::kTCObjectClass);
  auto *record = static_cast<DblLnkList *>(z_malloc(sizeof(DblLnkList)));
  *record = DblLnkList{nullptr, nullptr, 0, 0, 0, 0, -1};
  host::payload<genobj::GenObjPayload>(other)->data = record;
  testing::internal::CaptureStdout();
  for (const HostValue handle : {other, genobj_handle(genobj::kTDblLnkClass)}) {
    HostValue &slot = t_c_object::Handle(list.get());
    const HostValue own = std::exchange(slot, handle);
    EXPECT_EQ(Send(list, "Used", {}).get(), host::kOne);
    rt::Ref::adopt(std::exchange(slot, own));  // the handle goes, with its record
  }
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Error : Object does not hold a list\nError : Object does not hold a list\n");
}

// Without room for a handle, create answers 0 and self keeps its list; an
// add keeps its entry, tells the value nil for its key and answers nil.
TEST_F(Lists, WithoutRoomForAHandleCreateKeepsItsListAndAnAddAnswersNil) {
  rt::Ref list = NewList();
  DblLnkList *native = ListOf(list);
  ASSERT_EQ(zel::run("zel$object:subclass \"Told\", \"\"; procedure Told:setkey (k); print \"told\", k; end"),
            "");
  rt::Ref told = rt::send(rt::find_class("Told")->value, "new", {});
  Send(list, "setenterkeys", {host::kOne});
  testing::internal::CaptureStdout();
  rt::fail_next_gen_obj();
  EXPECT_EQ(Send(list, "create", {}).get(), host::kZero);
  EXPECT_EQ(ListOf(list), native);
  rt::fail_next_gen_obj();
  EXPECT_TRUE(host::is_nil(Send(list, "Add", {told.get()}).get()));
  const std::string full = "Fatal error : Out of memory\n";
  EXPECT_EQ(testing::internal::GetCapturedStdout(), full + full + "told nil\n");
  EXPECT_EQ(native->count, 1);
  EXPECT_EQ(native->head->object, told.get());
}

}  // namespace

#ifndef NDEBUG
#ifdef OBJKIT_COVERAGE
extern "C" void __gcov_dump();
#endif

// A child that aborts writes no coverage counts at exit: coverage builds
// write them as the abort begins.
void CountBeforeAbort() {
#ifdef OBJKIT_COVERAGE
  std::signal(SIGABRT, [](int) { __gcov_dump(); });
#endif
}

// Debug builds fail loudly where a list goes wrong: a method on a list whose
// record was corrupted behind its back ends the process, naming the fault.
class ListChecks : public objkit_test::BootedTest {};

// The two items of a list, and another list, for a fault to break them.
struct Records {
  DblLnkList *list;
  DblLnkItem *head;
  DblLnkItem *tail;
  DblLnkList *other;
};

TEST_F(ListChecks, ABrokenRecordEndsTheProcessAfterTheMethod) {
  const HostValue cls = rt::find_class("T_DblLnk")->value;
  const rt::Ref list = rt::send(cls, "new", {}), other = rt::send(cls, "new", {});
  rt::send(list.get(), "create", {});
  rt::send(other.get(), "create", {});
  for (int i = 1; i <= 2; ++i) rt::send(list.get(), "Add", std::vector<HostValue>{host::make_int(i)});
  DblLnkList *record = Lists::ListOf(list);
  Records records{record, record->head, record->tail, Lists::ListOf(other)};
  const struct {
    void (*corrupt)(Records &);
    const char *message;
  } faults[] = {
      {[](Records &r) { r.list->holds = -1; }, "negative holds"},
      {[](Records &r) { r.list->tail = nullptr; }, "head, tail and count disagree"},
      {[](Records &r) { r.list->count = 0; }, "head, tail and count disagree"},
      {[](Records &r) { r.list->count = -1; }, "head, tail and count disagree"},
      {[](Records &r) { r.list->count = 1; }, "chain longer than count"},
      {[](Records &r) { r.list->count = 3; }, "chain shorter than count"},
      {[](Records &r) { r.tail->list = r.other; }, "item names another list"},
      {[](Records &r) { r.head->prev = r.head; }, "prev does not name the item before"},
      {[](Records &r) { r.tail->pins = -1; }, "negative pins"},
      {[](Records &r) { r.list->tail = r.head; }, "chain does not end at tail"},
  };
  for (const auto &fault : faults) {
    EXPECT_DEATH(
        {
          CountBeforeAbort();
          fault.corrupt(records);
          rt::send(list.get(), "Used", {});
        },
        std::string("^objkit: list 0x[0-9a-f]+: ") + fault.message + "\n$")
        << fault.message;
  }
}
#endif
