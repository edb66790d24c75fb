// Built-in tables, argument checks, dispatch and the pending error of obj_send.
#include <gtest/gtest.h>

#include <cstring>
#include <new>
#include <string_view>

#include "runtime/runtime.h"
#include "test_support.h"

namespace rt = zel::rt;

namespace {

struct Seen {
  int32_t argc = 0;
  HostValue receiver = 0, arg1 = 0, arg2 = 0;
  int after_send = 0;
} seen;

HostValue Length(int32_t, HostValue *argv) {
  return host::make_int(static_cast<int32_t>(strlen(host::chars_of(argv[-1]))));
}

HostValue Pair(int32_t argc, HostValue *argv) {
  return checkpar(argc, argv, 1, 2, host::kString, -1) < 0 ? host::kFailure : host::make_int(argc);
}

// Refuses whatever it is given; a check that fits, after two that did not,
// leaves no reason behind.
HostValue Refuse(int32_t argc, HostValue *argv) {
  for (int32_t wanted : {1, 1, 0}) checkpar(argc, argv, wanted, wanted);
  return host::kFailure;
}

HostValue Look(int32_t argc, HostValue *argv) {
  seen = {argc, argv[0], argc > 0 ? argv[-1] : 0, argc > 1 ? argv[-2] : 0, 0};
  return str_obj(4, "look");
}

HostValue Relay(int32_t, HostValue *argv) {
  static const HostValue look = nam_obj(4, "look");
  return obj_send(argv[0], look, 2, host::kOne, host::make_int(2));
}

HostValue SendsAMissingMessage(int32_t, HostValue *argv) {
  const HostValue r = obj_send(argv[0], nam_obj(7, "missing"), 0);
  const HostValue again = obj_send(argv[0], nam_obj(4, "look"), 0);
  if (host::is_nil(r) && host::is_nil(again)) ++seen.after_send;
  return str_obj(2, "ok");
}

HostValue SendsNoName(int32_t, HostValue *argv) {
  rt::drop(obj_send(argv[0], host::kOne, 0));
  return str_obj(2, "ok");
}

HostValue SendsAMissingMessageAndRefuses(int32_t argc, HostValue *argv) {
  rt::drop(SendsAMissingMessage(argc, argv));
  return host::kFailure;
}

// Wants argument 1 of the type code argument 2 gives.
HostValue Want(int32_t argc, HostValue *argv) {
  return checkpar(argc, argv, 2, 2, host::int_of(argv[-2]), -1) < 0 ? host::kFailure : host::kZero;
}

constexpr BuiltinRecord row(const char *name, int16_t argc, BuiltinHandler handler, uint8_t argtype = 0) {
  return {host::kBuiltinRefcount, host::kBuiltin, 0, 24, name, argc, 0, handler, argtype, {}};
}

const BuiltinRecord kTable[] = {
    row("t_length", 1, Length, host::kString),
    row("t_pair", -1, Pair),
    row("t_refuse", 0, Refuse),
    row("t_want", -1, Want),
    row("T_Thing", 1, nullptr),
    row("t_class_look", -1, Look),
    row("t_class_one", 1, Look),
    row("t_class_refuse", 0, Refuse),
    row("T_Thing", 0, nullptr),
    row("look", -1, Look),
    row("peek", -1, Look),
    row("poke", 1, Look, zel::test::kTestType),
    row("relay", 0, Relay),
    row("sends_missing", 0, SendsAMissingMessage),
    row("sends_missing_refuses", 0, SendsAMissingMessageAndRefuses),
    row("sends_no_name", 0, SendsNoName),
    {},
};

const BuiltinRecord kSubTable[] = {row("T_Sub", 0, nullptr), row("which", 0, Look), {}};

// The language stand-in: a procedure handle is the text it answers (the text
// "no memory" runs out of it); exec keeps the line it was given.
rt::Ref Invoke(const void *proc, HostValue, std::span<const HostValue>) {
  if (std::string_view(static_cast<const char *>(proc)) == "no memory") throw std::bad_alloc();
  return rt::make_string(static_cast<const char *>(proc));
}
std::string executed = "none";
int32_t Exec(const char *line) {
  executed = line;
  return 0;
}

using zel::test::error_of;

class Builtins : public ::testing::Test {
 protected:
  void SetUp() override {
    zel::test::register_test_type();
    rt::set_language(Exec, Invoke);
    ASSERT_EQ(init_built_in(kTable), 0);  // bound before the classes exist
    ASSERT_EQ(init_built_in(kSubTable), 0);
    // Bound by a table, the classes cannot be remade: each test finds them made.
    if (thing == nullptr) thing = rt::define_class(rt::root(), "t_thing", {"a", "b"});
    if (sub == nullptr) sub = rt::define_class(thing, "t_sub", {"c"});
  }
  rt::Ref make(rt::Class *cls) { return rt::send(cls->value, "new", {}); }
  static inline rt::Class *thing = nullptr, *sub = nullptr;
};

// The error of calling routine, or sending message, with args, or "no error".
std::string call_error(const char *routine, std::span<const HostValue> args) {
  return error_of([&] { rt::call(routine, args); });
}
std::string send_error(HostValue receiver, const char *message, std::span<const HostValue> args = {}) {
  return error_of([&] { rt::send(receiver, message, args); });
}

TEST_F(Builtins, RowsCheckTheirArguments) {
  const rt::Ref s = rt::make_string("abc"), object = make(thing);
  const HostValue one[] = {s.get()}, number[] = {host::kOne}, two[] = {s.get(), host::kOne};
  EXPECT_EQ(host::int_of(rt::call("T_LENGTH", one).get()), 3);
  EXPECT_EQ(host::int_of(rt::call("t_pair", two).get()), 2);
  EXPECT_EQ(call_error("t_length", {}), "t_length: expects 1 argument, got 0");
  EXPECT_EQ(call_error("t_length", number), "t_length: argument 1 must be a string, got an integer");
  EXPECT_EQ(call_error("t_pair", {}), "t_pair: expects 1 to 2 arguments, got 0");
  EXPECT_EQ(call_error("t_pair", number), "t_pair: argument 1 must be a string, got an integer");
  EXPECT_EQ(call_error("t_refuse", {}), "t_refuse: arguments refused");
  EXPECT_EQ(call_error("no_such", {}), "unknown routine no_such");
  EXPECT_EQ(send_error(object.get(), "poke", number),
            "T_Thing:poke: argument 1 must be a TestHandle, got an integer");
}

TEST_F(Builtins, HandlersAndDispatchAlongTheClassChain) {
  const rt::Ref object = make(sub);
  EXPECT_EQ(rt::show(rt::send(object.get(), "relay", {}).get()), "look");
  EXPECT_EQ(seen.argc, 2);
  EXPECT_EQ((std::vector{seen.receiver, seen.arg1, seen.arg2}),
            (std::vector{object.get(), host::kOne, host::make_int(2)}));

  const HostValue args[] = {host::kOne};
  rt::send(sub->value, "t_class_look", args);  // class-level, found through the parent
  EXPECT_EQ((std::vector{seen.receiver, seen.arg1}), (std::vector{nil_obj(), host::kOne}));

  EXPECT_EQ(rt::show(rt::send(object.get(), "PEEK", {}).get()), "look");
  rt::define_procedure(thing, "peek", "thing procedure");  // classes outlive the test: peek is its own
  EXPECT_EQ(rt::show(rt::send(object.get(), "peek", {}).get()), "thing procedure");
  rt::define_procedure(thing, "which", "thing procedure");
  EXPECT_EQ(rt::show(rt::send(object.get(), "which", {}).get()), "look");  // built-in of t_sub first
  rt::define_procedure(sub, "which", "sub procedure");
  EXPECT_EQ(rt::show(rt::send(object.get(), "which", {}).get()), "sub procedure");
  EXPECT_EQ(rt::show(rt::send_from(thing, object.get(), "which", {}).get()), "thing procedure");
  rt::define_procedure(nullptr, "t_global", "global procedure");  // called by name, as a library may
  EXPECT_EQ(rt::show(rt::call("T_Global", {}).get()), "global procedure");
  EXPECT_EQ(send_error(object.get(), "nothing"), "a t_sub object has no method nothing");
  EXPECT_EQ(send_error(host::kOne, "look"), "cannot send look to an integer");
}

// The stray error waiting, "none" when none does, or "not nil" when the
// answer it came with was not nil.
std::string stray(HostValue answer = nil_obj()) {
  const std::optional<rt::ScriptError> error = rt::take_stray_error();
  return !host::is_nil(answer) ? "not nil" : error ? error->message : "none";
}

TEST_F(Builtins, ErrorOfANestedSendWaitsForTheHandler) {
  const rt::Ref object = make(thing);
  const size_t live = rt::live_objects();
  seen.after_send = 0;
  EXPECT_EQ(send_error(object.get(), "sends_missing"), "a t_thing object has no method missing");
  EXPECT_EQ(seen.after_send, 1);
  EXPECT_EQ(send_error(object.get(), "sends_missing_refuses"), "a t_thing object has no method missing");
  EXPECT_EQ(rt::live_objects(), live);

  // Outside any handler the first error waits as the stray error.
  EXPECT_TRUE(host::is_nil(obj_send(object.get(), nam_obj(7, "missing"), 0)));
  EXPECT_TRUE(host::is_nil(obj_send(object.get(), nam_obj(4, "look"), 0)));  // skipped while one waits
  EXPECT_EQ(stray(), "a t_thing object has no method missing");
  EXPECT_EQ(stray(), "none");

  // A string names a message as a name does; more than two arguments are refused.
  const rt::Ref look = rt::make_string("Look");
  EXPECT_EQ(rt::show(rt::Ref::adopt(obj_send(object.get(), look.get(), 0)).get()), "look");
  EXPECT_EQ(stray(obj_send(object.get(), look.get(), 3, host::kOne, host::kOne, host::kOne)),
            "obj_send: 3 arguments for Look");
  EXPECT_EQ(stray(obj_send(object.get(), look.get(), -1)), "obj_send: -1 arguments for Look");
  // Any other exception of the language is kept the same way.
  rt::define_procedure(thing, "exhaust", "no memory");
  EXPECT_EQ(stray(obj_send(object.get(), nam_obj(7, "exhaust"), 0)), "std::bad_alloc");
}

// Sends the language makes: on the value stack, the receiver at argv[0] and
// argument k at argv[-k], each slot holding a reference.
rt::Ref stack_send(HostValue receiver, const char *name, std::span<const HostValue> args) {
  const rt::Slots slots(args.size() + 1);
  HostValue *argv = slots.data() + args.size();
  argv[0] = receiver;
  for (size_t k = 1; k <= args.size(); ++k) *(argv - k) = args[k - 1];
  for (size_t k = 0; k <= args.size(); ++k) host::ref_take(*(argv - k));
  return rt::send(rt::selector(name), argv, static_cast<int32_t>(args.size()));
}

// Such a send answers the same the second time, through the lookup line the
// first one filled.
TEST_F(Builtins, SendsThroughTheLookupLinesAnswerAsTheFirst) {
  const rt::Ref object = make(thing);
  const int16_t count = host::object_of(thing->value)->refcount;
  const HostValue one[] = {host::kOne};
  const struct {
    HostValue receiver;
    const char *selector;
    std::span<const HostValue> args;
    const char *error;
  } table[] = {
      {object.get(), "poke", {}, "T_Thing:poke: expects 1 argument, got 0"},
      {thing->value, "t_class_one", {}, "T_Thing:t_class_one: expects 1 argument, got 0"},
      {thing->value, "t_class_one", one, "no error"},
      {thing->value, "t_class_refuse", {}, "T_Thing:t_class_refuse: arguments refused"},
      {object.get(), "sends_no_name", {}, "obj_send: the selector is not a name"},
      {object.get(), "init", {}, "no error"},
  };
  for (const auto &row : table) {
    for (int pass = 1; pass <= 2; ++pass) {
      EXPECT_EQ(error_of([&] { stack_send(row.receiver, row.selector, row.args); }), row.error)
          << row.selector << ", pass " << pass;
    }
  }
  EXPECT_EQ(host::object_of(thing->value)->refcount, count);  // each class routine put its receiver back
}

// A refusal names the type wanted and the value got, for every kind of each.
TEST_F(Builtins, RefusalsNameTypesAndValues) {
  const rt::Ref object = make(thing), array = rt::make_array(0), f = rt::make_float(0.5);
  const rt::Ref s = rt::make_string("s"), handle = rt::Ref::adopt(gen_obj(zel::test::kTestType, 4));
  const rt::Ref other = rt::Ref::adopt(gen_obj(99, 4));
  const struct {
    HostValue value;
    int32_t type;
    const char *message;
  } table[] = {
      {host::kOne, host::kBuiltin, "a built-in routine, got an integer"},
      {nil_obj(), rt::kName, "a name, got nil"},
      {array.get(), rt::kClass, "a class, got an array"},
      {thing->value, rt::kScriptObject, "a script object, got a class"},
      {object.get(), rt::kArray, "an array, got a t_thing object"},
      {nam_obj(1, "x"), host::kFloat, "a float, got a name"},
      {f.get(), host::kString, "a string, got a float"},
      {s.get(), zel::test::kTestType, "a TestHandle, got a string"},
      {handle.get(), host::kNil, "nil, got a TestHandle"},
      {other.get(), 98, "an object of type 98, got an object of type 99"},
  };
  for (const auto &row : table) {
    const HostValue args[] = {row.value, host::make_int(row.type)};
    EXPECT_EQ(call_error("t_want", args), std::string("t_want: argument 1 must be ") + row.message);
  }
  EXPECT_EQ(rt::show(other.get()), "<an object of type 99>");
  // Outside a handler checkpar only answers; a code outside 0 to 255 fits nothing.
  HostValue argv[] = {f.get(), nil_obj()};
  EXPECT_EQ(checkpar(1, &argv[1], 1, 1, host::kFloat), 0);
  EXPECT_EQ(checkpar(1, &argv[1], 1, 1, host::kFloat + 256), -1);
  EXPECT_EQ(checkpar(1, &argv[1], 1, 1, host::kFloat - 256), -1);
}

TEST_F(Builtins, ClassesMadeByScripts) {
  const rt::Ref name = rt::make_string("t_made"), ivars = rt::make_string("x$ , handle ");
  const HostValue args[] = {name.get(), ivars.get()};
  const rt::Ref cls = rt::send(thing->value, "subclass", args);
  EXPECT_EQ(rt::as_class(cls.get()), rt::find_class("T_MADE"));
  EXPECT_EQ(error_of([] { rt::define_class(rt::root(), "T_THING", {}); }),
            "class t_thing cannot be remade: the library has built-in methods for it");
  EXPECT_EQ(error_of([] { rt::define_class(rt::root(), "T_SUB", {}); }),
            "class t_sub cannot be remade: the library has built-in methods for it");
  EXPECT_EQ(iv_index("T_Made", "handle", 0), 3);
  EXPECT_EQ(iv_index("t_made", "Handle", 0), -1);
  EXPECT_EQ(iv_index("t_unknown", "x", 0), -1);
  const rt::Ref object = rt::send(cls.get(), "new", {});
  EXPECT_EQ(rt::slot_count(object.get()), 4);
  EXPECT_TRUE(host::is_nil(rt::ivar(object.get(), 3)));
  EXPECT_EQ(rt::show(object.get()), "<t_made>");

  const size_t classes = rt::live_classes();
  rt::define_class(rt::root(), "t_once", {});
  rt::define_class(rt::root(), "t_once", {});
  EXPECT_EQ(rt::live_classes(), classes + 1);  // the first, remade, was freed

  EXPECT_EQ(obj_isa(object.get(), "T_THING"), 1);  // an ancestor, in any case
  EXPECT_EQ(obj_isa(object.get(), "zel$object"), 1);
  EXPECT_EQ(obj_isa(object.get(), "t_sub"), 0);
  const rt::Ref array = rt::make_array(1);
  for (HostValue other : {host::kOne, nil_obj(), cls.get(), name.get(), array.get()}) {
    EXPECT_EQ(obj_isa(other, "t_made"), 0);
  }
}

// Each operation a library calls is recorded with its arguments, a missing
// text as empty.
TEST_F(Builtins, RecorderListsTheOperations) {
  const rt::Ref object = make(thing);
  const BuiltinRecord empty[] = {{}};
  HostValue receiver = rt::nil_value();
  for (int i = 0; i <= 256; ++i) rt::make_float(i);  // object blocks free past the quarantine
  rt::record(true);
  void *zone = zcreate(6, 16384);
  zfree(zone, zalloc(zone, 24), 24);
  init_built_in(kSubTable);
  init_built_in(empty);
  rt::drop(obj_send(thing->value, nam_obj(12, "t_class_look"), 1, host::kOne));
  EXPECT_EQ(stray(obj_send(object.get(), host::kOne, 0)), "obj_send: the selector is not a name");
  iv_index("t_thing", "b", 0);
  EXPECT_EQ(iv_index(nullptr, nullptr, 0), -1);
  obj_isa(object.get(), "t_thing");
  EXPECT_EQ(obj_isa(object.get(), nullptr), 0);
  libmsg(3);
  trm_setvideo(4);
  movb(nullptr, nullptr, 0);
  EXPECT_EQ(atod(nullptr) + atox(nullptr) + atod("2") + atox("1f"), 33.0);
  register_obj_type(62, nullptr, nullptr, nullptr);
  rt::fail_next_gen_obj();
  EXPECT_TRUE(host::is_nil(gen_obj(62, 4)));
  rt::drop(str_obj(-1, nullptr));
  host::ref_drop(flt_obj(2.5));
  obj_release(0);
  obj_vcopy(host::kOne);
  EXPECT_TRUE(host::is_nil(arr_obj(-1, 1)));
  EXPECT_EQ(checkpar(0, &receiver, 0, 0) + exec(nullptr), 0);
  rt::record(false);
  zdelete(zone);
  EXPECT_EQ(executed, "");
  std::string lines;
  for (const std::string &line : rt::take_recording()) lines += line + "\n";
  EXPECT_EQ(lines,
            "zcreate(6, 16384)\nzalloc(24)\nzfree(24)\ninit_built_in(T_Sub)\ninit_built_in()\n"
            "nam_obj(t_class_look)\nobj_send(t_class_look, 1)\nstr_obj(look)\nobj_send(, 0)\n"
            "iv_index(t_thing, b)\niv_index(, )\nobj_isa(t_thing)\nobj_isa()\nlibmsg(3)\ntrm_setvideo(4)\n"
            "movb(0)\natod()\natox()\natod(2)\natox(1f)\nregister_obj_type(62, )\n"
            "gen_obj(62, 4)\nstr_obj()\nflt_obj(2.5)\n"
            "obj_release(a float)\nobj_vcopy(an integer)\narr_obj(-1, 1)\ncheckpar(0, 0, 0)\nexec()\n");
  EXPECT_TRUE(rt::take_recording().empty());
}

}  // namespace
