// The evaluator: walks the syntax tree over runtime values. An expression's
// value comes back as a word carrying one reference; every value it holds is
// owned by a Ref, a value-stack slot, a frame's locals or a global cell, so
// a statement that fails releases what it made. An operator reads literals,
// nil and (when nothing evaluated after them can change them) names in place,
// without a reference, and works on two integers without touching an object.
//
// The operators' rules (ranges, division, promotion, comparisons, `is`) are
// host/lang/operators.h's; the number trees, the name beside an integer
// literal and the general path below all compute through them.
//
// A number tree (a pure operator over literals and names) is computed as a
// Number without making an object; when it cannot be (an operand that is no
// number, an error to report), the general path evaluates the same tree
// again, which being pure gives the same operands. A float result is written
// into a float that only the operation holds (see rt::Ref for the rule).
//
// Statements run through one loop, exec_block, taken in line by a `while`, a
// procedure call and the top level. A statement read at top level is bound
// before it runs (bind): the prompt's last bare expression becomes one whose
// value is shown, and with the coverage on a count of its line is put before
// each statement, so that the loop never tests whether lines are counted.
//
// Names are bound once: a procedure's are bound when it is defined (local
// slot, instance variable or global cell), the top level's as its statements
// are read.
//
// Lines. An error takes the line of the innermost node or statement it
// leaves, given as it unwinds by one handler (place_at): eval gives it the
// line of the node it evaluates (every node but an integer literal or a name
// passes through eval), exec_stmt the statement's. The few ways into a node
// that bypass eval do the same: a name that names nothing and a full stack
// fail at their node (fail_at), and eval_operator, which a condition or an
// assignment enters when its number path gives up, and a send made as a
// statement have a handler of their own. A handler costs nothing until an
// error is thrown, where a line stored as each node begins costs every node
// (2% on the walk benchmark).
//
// The frame's line is the running line, which tracebacks and running_place
// (the library's errexit) read: the statement loop sets it as each statement begins, the
// call path (call_with, which every call and send takes) as each call
// begins, and place_at to the error's line, so that a traceback names the
// error's line in its innermost frame. After a call returns the frame keeps
// the call's line until the next statement or call. Each frame is one of the
// runtime's running calls (rt::Activation): an error takes its traceback from
// them at the innermost frame it leaves.
#include <cassert>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <map>
#include <memory>
#include <new>
#include <optional>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "lang/ast.h"
#include "lang/files.h"
#include "lang/lang.h"
#include "lang/lexer.h"
#include "lang/operators.h"
#include "lang/parser.h"
#include "lang/profile.h"

namespace zel::lang {

namespace {

using rt::Ref;
using rt::ScriptError;

// Procedure calls and compiles nested deeper than this fail instead of
// exhausting the stack.
constexpr int kMaxDepth = 400;

// drop_globals gives up when releasing the globals still makes new ones after
// this many rounds.
constexpr int kDropRounds = 100;

[[noreturn]] void fail(std::string message) {
  throw ScriptError{std::move(message)};
}

// A global variable: its value, the word 0 while the name is no global (read
// by lookup, filled with nil by assign_slot before any write, skipped by
// drop_globals: never dropped, see rt::drop). The class of the same name is
// cached for reads of a name that is no variable.
struct Cell {
  HostValue value = 0;
  const rt::Class *cls = nullptr;
  std::uint64_t epoch = 0;
  const std::string *name = nullptr;
};

// A global's binding is the address of its cell, which is that of its value.
static_assert(offsetof(Cell, value) == 0);

// What a name of a scope stands for in one procedure or at top level: a
// slot at an offset from one of the frame's bases (its locals, its self's
// instance variables, or address 0 for a global cell).
struct Binding {
  enum class Base : uint8_t { kLocals, kIvars, kAbsolute };
  uintptr_t offset;  // in bytes
  Base base;

  static Binding local(int32_t i) { return {sizeof(HostValue) * static_cast<uintptr_t>(i), Base::kLocals}; }
  static Binding ivar(int32_t i) { return {sizeof(HostValue) * static_cast<uintptr_t>(i), Base::kIvars}; }
  static Binding global(Cell &c) { return {reinterpret_cast<uintptr_t>(&c), Base::kAbsolute}; }
  // The global cell of a binding made by global().
  Cell &cell() const { return *reinterpret_cast<Cell *>(offset); }
};

// A defined procedure. It lives while the runtime has it defined and while
// any call of it runs (uses counts both). A method's class holds the method
// while it is defined, and a running call holds the class.
struct Procedure {
  std::shared_ptr<const ProcedureDef> def;
  rt::Class *cls = nullptr;  // null for a global procedure
  std::string display;       // "name" or "Class:name"
  std::vector<Binding> bindings;
  size_t params = 0;
  size_t local_count = 0;
  int uses = 1;
};

// One activation: a procedure call, or a text running at top level. Its
// file, line and name are the runtime's record of the calls running.
// Invariant: bases[kLocals] is the first local slot and, in a method,
// bases[kIvars] self's first instance variable; bases[kAbsolute] is 0.
struct Frame : rt::Activation {
  // Every member set by name: an aggregate's initialisation may clear the
  // whole frame first (rep stos), which costs more than a procedure call's
  // statements.
  Frame(const std::string *file, const std::string *name, const Procedure *p, HostValue s, const Binding *b)
      : rt::Activation{nullptr, file, name, 0}, proc(p), self(s), bindings(b) {}
  const Procedure *proc;  // null at top level
  HostValue self;
  const Binding *bindings;
  uintptr_t bases[3] = {0, 0, 0};
  Ref result;  // what `return` gave
};

struct State {
  HostValue nil = 0;
  uintptr_t stack_floor = 0;
  std::map<std::string, Cell, std::less<>> globals;
  std::unordered_set<const Procedure *> procedures;  // every procedure made and not yet freed
  int depth = 0;
  std::uint64_t step_budget = 0;
  std::uint64_t steps_left = 0;
};

// Never destroyed: procedures may still run while the process exits.
State *const the_state = new State;

inline State &state() {
  return *the_state;
}

Cell &cell(const std::string &name) {
  auto &globals = state().globals;
  auto it = globals.find(name);
  if (it == globals.end()) {
    it = globals.emplace(name, Cell{}).first;
    it->second.name = &it->first;
  }
  return it->second;
}

HostValue nil() {
  State &s = state();
  if (s.nil == 0) s.nil = rt::nil_value();
  return s.nil;
}

// True when the stack is nearly used up (see rt::stack_nearly_full).
inline bool stack_nearly_full() {
  return reinterpret_cast<uintptr_t>(__builtin_frame_address(0)) < state().stack_floor;
}

// `=`: integers and a float or string that nothing else holds are stored as
// they are (a copy would be the same); anything else as the runtime assigns.
void assign(HostValue &slot, Ref v) {
  const HostValue w = v.get();
  const bool alone = fast_paths && host::is_object(w) && host::object_of(w)->refcount == 1 &&
                     (host::type_of(w) == host::kFloat || host::type_of(w) == host::kString);
  if (host::is_int(w) || alone) {
    const HostValue old = std::exchange(slot, v.detach());
    rt::drop(old);
  } else {
    rt::assign_value(slot, std::move(v));
  }
}

// Set by interrupt(), from a signal handler; taken by the next step.
volatile std::sig_atomic_t interrupt_requested = 0;

// One step of the budget: a loop iteration or a procedure call. Fails once
// the budget is spent, or when an interrupt is requested.
[[gnu::noinline]] void spend_counted_step() {
  if (interrupt_requested != 0) {
    interrupt_requested = 0;
    fail("interrupted");
  }
  State &s = state();
  if (s.step_budget == 0) return;
  if (s.steps_left == 0) fail("step budget exhausted");
  --s.steps_left;
}
inline void spend_step() {
  if (interrupt_requested != 0 || state().step_budget != 0) [[unlikely]]
    spend_counted_step();
}

[[gnu::noinline]] void free_procedure(Procedure *p) {
  state().procedures.erase(p);
  delete p;
}

inline void unuse(const Procedure *proc) {
  Procedure *p = const_cast<Procedure *>(proc);
  if (--p->uses == 0) free_procedure(p);
}

// The runtime's forget hook, and the end of a procedure replaced: the runtime
// no longer has the handle defined. Handles that are no procedure of ours are
// ignored.
void forget(const void *handle) {
  const auto *proc = static_cast<const Procedure *>(handle);
  if (state().procedures.count(proc) != 0) unuse(proc);
}

bool is_string(HostValue v) {
  return host::has_type(v, host::kString);
}

HostValue boolean(bool b) {
  return b ? host::kOne : host::kZero;
}

// A new float object with one reference; fails when the arena is full.
HostValue real(double v) {
  return rt::make_float(v).detach();
}

// Whether a float may take a result in place: nothing but the one holder
// that asks holds it (its count is 1). Never with the fast paths off.
inline bool writable_float(HostValue w) {
  return fast_paths && host::has_type(w, host::kFloat) && host::object_of(w)->refcount == 1;
}

// A float result with one reference: written into an operand that nothing
// but the operation holds (a float it made), or else a new float. a and b
// are the operands as the operation read them: each is held by held_a or
// held_b, or else borrowed.
HostValue real(double v, [[maybe_unused]] HostValue a, [[maybe_unused]] HostValue b, Ref &held_a,
               Ref &held_b) {
  for (Ref *held : {&held_a, &held_b}) {
    if (writable_float(held->get())) {
      // The rule of rt::Ref: no borrowed operand is the float written.
      assert((a == held_a.get() || a != held->get()) && (b == held_b.get() || b != held->get()));
      *host::payload<double>(held->get()) = v;
      return held->detach();
    }
  }
  return real(v);
}

// The value of a number computed from the operands a and b: an integer
// word, or a float (see real()).
HostValue value_of(Number n, HostValue a, HostValue b, Ref &held_a, Ref &held_b) {
  return n.kind == Number::Kind::kInt ? host::make_int(n.integer) : real(n.real, a, b, held_a, held_b);
}

HostValue eval(const Expr &e, Frame &f);
bool test(const Expr &e, Frame &f);
Ref compile(const HostValue *argv, int32_t argc);

// Gives an error that has no place yet the line of the node or statement it
// leaves, and the frame that line, which its traceback reads: the one place
// an error's line is set (see the file's header). Cannot fail.
[[gnu::cold, gnu::noinline]] void place_at(ScriptError &error, int line, Frame &f) noexcept {
  if (error.line != 0) return;
  error.file = *f.file;
  error.line = line;
  f.line = line;
}

// Fails at node e, which is the node that fails (a name that names nothing,
// the stack full where e recurses).
[[noreturn, gnu::cold, gnu::noinline]] void fail_at(const Expr &e, Frame &f, std::string message) {
  ScriptError error{std::move(message)};
  place_at(error, e.line, f);
  throw error;
}

// Fails (at the node's line) when the stack is nearly used up; checked
// wherever evaluation recurses.
inline void check_stack(const Expr &e, Frame &f) {
  if (stack_nearly_full()) fail_at(e, f, "nested too deeply: the stack is full");
}

// The slot a name denotes: a local, an instance variable, or a global cell's
// value (0 while the name is no global).
inline HostValue &slot_of(int32_t name, Frame &f) {
  const Binding &b = f.bindings[name];
  return *reinterpret_cast<HostValue *>(f.bases[static_cast<size_t>(b.base)] + b.offset);
}

// Fails for a name that is no variable and no class, saying what it is
// instead when it was meant as a class or is a routine.
[[noreturn, gnu::cold, gnu::noinline]] void unknown_name(const Expr &e, Frame &f, const std::string &name) {
  if (e.class_expected) fail_at(e, f, "unknown class " + name);
  if (rt::is_routine(name)) {
    fail_at(e, f,
            name + " is a " + (rt::is_builtin_routine(name) ? "routine" : "procedure") + ": write " + name +
                " (" + e.call_hint + ")");
  }
  fail_at(e, f, "unknown variable " + name);
}

// The class of a name that is no variable; fails when there is none.
[[gnu::noinline]] HostValue class_named(const Expr &e, Frame &f) {
  Cell &c = f.bindings[e.name].cell();
  if (c.epoch != rt::dispatch_epoch()) {
    c.cls = rt::find_class(*c.name);
    c.epoch = rt::dispatch_epoch();
  }
  if (c.cls != nullptr) return c.cls->value;
  unknown_name(e, f, *c.name);
}

// A name's value, borrowed: a local, an instance variable, a global, or else
// the class of that name.
inline HostValue lookup(const Expr &e, Frame &f) {
  const HostValue v = slot_of(e.name, f);
  return v != 0 ? v : class_named(e, f);
}

// The slot an assignment writes: inside a procedure every assigned name is a
// local or an instance variable; at top level the name is a global, made on
// first assignment.
inline HostValue &assign_slot(int32_t name, Frame &f) {
  HostValue &slot = slot_of(name, f);
  if (slot == 0) slot = nil();
  return slot;
}

const rt::Class &method_class(Frame &f, const char *word) {
  if (!f.proc || !f.proc->cls) fail(std::string(word) + " outside a method");
  return *f.proc->cls;
}

// The argument vector of a call or send on the value stack: argv[0] the
// receiver, argument k at argv[-k], each slot holding one reference.

// Drops the arguments from the last made back to the first, then the
// receiver, and gives the slots of a vector of argc arguments back.
inline void drop_vector(HostValue *argv, int32_t made, int32_t argc) {
  for (int32_t k = made; k >= 1; --k) rt::drop(argv[-k]);
  rt::drop(argv[0]);
  rt::give_back_slots(static_cast<size_t>(argc) + 1);
}

// Lays out the receiver (whose reference it takes over) and the arguments
// of e, evaluated in order, and then makes the call; after it, drops the
// arguments in order and then the receiver. Should anything fail, what was
// made is dropped.
template <typename Call>
ZEL_HOT_INLINE HostValue call_with(const Expr &e, HostValue receiver, Frame &f, Call call) {
  const int32_t argc = static_cast<int32_t>(e.args.size());
  HostValue *argv;
  try {
    argv = rt::take_slots(static_cast<size_t>(argc) + 1) + argc;
  } catch (...) {
    rt::drop(receiver);  // the call cannot be laid out
    throw;
  }
  argv[0] = receiver;
  int32_t made = 0;
  try {
    for (; made < argc; ++made) argv[-(made + 1)] = eval(*e.args[static_cast<size_t>(made)], f);
  } catch (...) {
    drop_vector(argv, made, argc);
    throw;
  }
  // The call's line is the frame's running line while it runs (see the
  // file's header).
  f.line = e.line;
  HostValue result;
  try {
    result = call(argv, argc).detach();
  } catch (...) {
    drop_vector(argv, argc, argc);
    throw;
  }
  for (int32_t k = 1; k <= argc; ++k) rt::drop(argv[-k]);
  drop_vector(argv, 0, argc);
  return result;
}

// A send: the receiver, then the arguments, then the message.
[[gnu::noinline]] HostValue eval_send(const Expr &e, Frame &f) {
  check_stack(e, f);
  return call_with(e, eval(*e.receiver, f), f,
                   [&e](HostValue *argv, int32_t argc) { return rt::send(e.sel, argv, argc); });
}

// A routine call or a super send.
[[gnu::noinline]] HostValue eval_call(const Expr &e, Frame &f) {
  check_stack(e, f);
  if (e.kind == Expr::Kind::kCall) {
    static const rt::Selector *const kCompile = rt::selector("compile");
    return call_with(e, nil(), f, [&e](HostValue *argv, int32_t argc) {
      return e.sel->folded == kCompile ? compile(argv, argc) : rt::call(e.sel, argv, argc);
    });
  }
  const rt::Class &cls = method_class(f, "super");
  if (!cls.parent) fail(cls.name + " has no superclass");
  host::ref_take(f.self);
  return call_with(e, f.self, f, [&e, &cls](HostValue *argv, int32_t argc) {
    return rt::send_from(cls.parent, e.sel, argv, argc);
  });
}

// `and`, `or`: the right operand only when the left does not decide.
[[gnu::noinline]] HostValue eval_logic(const Expr &e, Frame &f) {
  check_stack(e, f);
  const bool left = test(*e.receiver, f);
  if (left == (e.op == Op::kOr)) return boolean(left);
  return boolean(test(*e.args[0], f));
}

// An operand of an operator, as a word: a literal or nil read in place, a name's
// value borrowed when nothing evaluated after it can change it (borrow), or
// else evaluated and kept in held.
inline HostValue operand(const Expr &e, bool borrow, Frame &f, Ref &held) {
  switch (e.kind) {
    case Expr::Kind::kInt:
      return host::make_int(e.ival);
    case Expr::Kind::kFloat:
      return host::value_of(&e.number.header);
    case Expr::Kind::kNil:
      return nil();
    case Expr::Kind::kVar:
      if (borrow) return lookup(e, f);
      break;
    default:
      break;
  }
  held = Ref::adopt(eval(e, f));
  return held.get();
}

// Any operator but `and` and `or`, on any operands. A condition or an
// assignment whose number path gave up enters it without eval: it gives an
// error leaving it its line as eval would.
[[gnu::noinline]] HostValue eval_operator(const Expr &e, Frame &f) {
  try {
    check_stack(e, f);
    const Expr &right = *e.args[0];
    Ref held_a, held_b;
    const HostValue a = operand(*e.receiver, right.pure, f, held_a);
    const HostValue b = operand(right, true, f, held_b);
    if (host::is_int(a) && host::is_int(b)) {
      const Number n = apply(e.op, host::int_of(a), host::int_of(b));
      if (!n.is_none()) return host::make_int(n.integer);
    }
    const Number n = operate(e.op, a, b);
    return n.is_none() ? join(a, b).detach() : value_of(n, a, b, held_a, held_b);
  } catch (ScriptError &error) {
    place_at(error, e.line, f);
    throw;
  }
}

Number numeric(const Expr &e, Frame &f);

// A literal or a name as a number, or else a subtree through numeric().
ZEL_HOT_INLINE Number number_of(const Expr &e, Frame &f) {
  switch (e.kind) {
    case Expr::Kind::kInt:
      return Number::of_int(e.ival);
    case Expr::Kind::kFloat:
      return Number::of_real(e.number.value);
    case Expr::Kind::kVar: {
      const HostValue v = slot_of(e.name, f);
      if (host::is_int(v)) return Number::of_int(host::int_of(v));
      if (v == 0 || !host::has_type(v, host::kFloat)) return Number::none();
      return Number::of_real(host::float_of(v));
    }
    case Expr::Kind::kBinary:
    case Expr::Kind::kUnary:
      return numeric(e, f);
    default:
      return Number::none();
  }
}

// The number a pure operator tree gives, computed without objects; none when
// an operand is no number or an operation needs the general path (an error
// to report, `not`, `and`, `or`): being pure, the tree gives the same values
// when that path evaluates it again. Callers test the stack first: the
// parser bounds a tree's height, so its recursion fits in the stack's reserve.
ZEL_HOT_INLINE Number numeric_node(const Expr &e, Frame &f) {
  if (e.kind == Expr::Kind::kUnary)
    return e.op == Op::kNeg ? negate(number_of(*e.receiver, f)) : Number::none();
  const Number a = number_of(*e.receiver, f);
  if (a.is_none()) return a;
  return number_op(e.op, a, number_of(*e.args[0], f));
}

Number numeric(const Expr &e, Frame &f) {
  return numeric_node(e, f);
}

// numeric() at the top of a tree, which it takes in line: none when the
// stack is nearly full.
ZEL_HOT_INLINE Number numeric_top(const Expr &e, Frame &f) {
  return stack_nearly_full() ? Number::none() : numeric_node(e, f);
}

// A pure operator: over numbers without objects, else the general path.
[[gnu::noinline]] HostValue eval_numeric(const Expr &e, Frame &f) {
  const Number n = numeric_top(e, f);
  if (n.kind == Number::Kind::kInt) return host::make_int(n.integer);
  if (n.kind == Number::Kind::kNone) return eval_operator(e, f);
  return real(n.real);
}

// A kIntOperand node over its name's value a: none when a is no integer or
// the general path must make the value.
ZEL_HOT_INLINE Number int_operand(const Expr &e, HostValue a) {
  return host::is_int(a) ? apply(e.op, host::int_of(a), e.args[0]->ival) : Number::none();
}

// A name beside an integer literal: no operand to hold.
inline HostValue eval_int_operand(const Expr &e, Frame &f) {
  const Number n = int_operand(e, lookup(*e.receiver, f));
  if (!n.is_none()) [[likely]]
    return host::make_int(n.integer);
  return eval_numeric(e, f);
}

// String literals, self, and the prefix operators.
[[gnu::noinline]] HostValue eval_other(const Expr &e, Frame &f) {
  switch (e.kind) {
    case Expr::Kind::kString:
      return rt::make_string(e.text).detach();
    case Expr::Kind::kSelf:
      method_class(f, "self");
      host::ref_take(f.self);
      return f.self;
    default:
      break;
  }
  check_stack(e, f);
  const Ref v = Ref::adopt(eval(*e.receiver, f));
  if (e.op == Op::kNot) return boolean(!truthy(v.get()));
  const Number n = negative(v.get());
  return n.kind == Number::Kind::kInt ? host::make_int(n.integer) : real(n.real);
}

// The position index denotes in base, an array or a string; fails when base
// is neither, or when the index is not an integer, negative or past the end,
// naming the index and the size.
int32_t position(HostValue base, HostValue index) {
  const int32_t size = rt::size_of(base);
  if (size < 0) fail("cannot index " + rt::describe(base));
  const std::string extent =
      host::has_type(base, rt::kArray)
          ? "the array has " + std::to_string(size) + (size == 1 ? " element" : " elements")
          : "the string has " + std::to_string(size) + (size == 1 ? " byte" : " bytes");
  if (host::has_type(index, host::kFloat))
    fail("index " + rt::show(index) + " is not an integer (" + extent + ")");
  if (!host::is_int(index)) fail("the index is " + rt::describe(index) + ", not an integer (" + extent + ")");
  const int32_t i = host::int_of(index);
  if (i < 0) fail("index " + std::to_string(i) + " is negative (" + extent + ")");
  if (i >= size) fail("index " + std::to_string(i) + " is past the end (" + extent + ")");
  return i;
}

// base[index]: an array's element (shared), or a string's byte as a new
// string of one byte.
[[gnu::noinline]] HostValue eval_index(const Expr &e, Frame &f) {
  check_stack(e, f);
  const Ref base = Ref::adopt(eval(*e.receiver, f));
  const Ref index = Ref::adopt(eval(*e.args[0], f));
  const int32_t i = position(base.get(), index.get());
  if (host::has_type(base.get(), rt::kArray)) {
    const HostValue element = host::slot(base.get(), i);
    host::ref_take(element);
    return element;
  }
  return rt::make_string(std::string_view(host::chars_of(base.get()) + i, 1)).detach();
}

// The value of a node that is no integer literal or name, with one
// reference the caller owns.
[[gnu::noinline]] HostValue eval_node(const Expr &e, Frame &f) {
  switch (e.form) {
    case Expr::Form::kNil:
      return nil();
    case Expr::Form::kIntOperand:
      return eval_int_operand(e, f);
    case Expr::Form::kNilTest:
      return boolean((lookup(*e.receiver, f) == nil()) == (e.op == Op::kIs));
    case Expr::Form::kNumeric:
      return eval_numeric(e, f);
    case Expr::Form::kLogic:
      return eval_logic(e, f);
    case Expr::Form::kOperator:
      return eval_operator(e, f);
    case Expr::Form::kSend:
      return eval_send(e, f);
    case Expr::Form::kCall:
    case Expr::Form::kSuper:
      return eval_call(e, f);
    case Expr::Form::kFloat:
      return real(e.number.value);
    case Expr::Form::kIndex:
      return eval_index(e, f);
    default:
      return eval_other(e, f);
  }
}

// The value of an expression, with one reference the caller owns. Integer
// literals and names, the most frequent nodes, are read where they are used;
// any other node is evaluated by eval_node, and an error leaving it takes the
// node's line.
inline HostValue eval(const Expr &e, Frame &f) {
  if (e.kind == Expr::Kind::kInt) return host::make_int(e.ival);
  if (e.kind != Expr::Kind::kVar) {
    try {
      return eval_node(e, f);
    } catch (ScriptError &error) {
      place_at(error, e.line, f);
      throw;
    }
  }
  const HostValue v = lookup(e, f);
  host::ref_take(v);
  return v;
}

// Whether a condition's value is true, read without making one where it can.
[[gnu::noinline]] bool test_slow(const Expr &e, Frame &f) {
  if (e.form == Expr::Form::kNumeric) {
    const Number n = numeric_top(e, f);
    if (n.kind != Number::Kind::kNone) return n.kind == Number::Kind::kReal ? n.real != 0.0 : n.integer != 0;
  }
  const Ref v = Ref::adopt(e.form == Expr::Form::kNumeric ? eval_operator(e, f) : eval(e, f));
  return truthy(v.get());
}

// Evaluates a condition: whether its value is true.
ZEL_HOT_INLINE bool test(const Expr &e, Frame &f) {
  if (e.form == Expr::Form::kIntOperand) {
    const Number n = int_operand(e, lookup(*e.receiver, f));
    if (!n.is_none()) [[likely]]
      return n.integer != 0;
  }
  return test_slow(e, f);
}

// Makes a procedure from its definition and hands it to the runtime; the one
// it replaces is freed once no call of it runs.
void define(const std::shared_ptr<const ProcedureDef> &def) {
  rt::Class *cls = nullptr;
  if (!def->class_name.empty()) {
    cls = rt::find_class(def->class_name);
    if (!cls) fail("unknown class " + def->class_name);
  } else if (rt::is_builtin_routine(def->name) ||
             rt::selector(def->name)->folded == rt::selector("compile")) {
    fail("procedure " + def->name + " cannot be defined: " + def->name + " is a built-in routine");
  }
  auto proc = std::make_unique<Procedure>();
  proc->def = def;
  proc->cls = cls;
  proc->display = cls ? cls->name + ":" + def->name : def->name;
  const Scope &scope = def->scope;
  std::unordered_map<std::string_view, int32_t> ivars;
  if (cls) {
    for (size_t i = 0; i < cls->ivars.size(); ++i) ivars.try_emplace(cls->ivars[i], static_cast<int32_t>(i));
  }
  int32_t next = static_cast<int32_t>(scope.params);
  proc->bindings.reserve(scope.names.size());
  for (size_t i = 0; i < scope.names.size(); ++i) {
    const std::string &name = scope.names[i];
    if (i < scope.params) {
      proc->bindings.push_back(Binding::local(static_cast<int32_t>(i)));
    } else if (auto iv = ivars.find(name); iv != ivars.end()) {
      proc->bindings.push_back(Binding::ivar(iv->second));
    } else if (scope.assigned[i]) {
      proc->bindings.push_back(Binding::local(next++));
    } else {
      proc->bindings.push_back(Binding::global(cell(name)));
    }
  }
  proc->params = scope.params;
  proc->local_count = static_cast<size_t>(next);
  const Procedure *made = proc.release();
  state().procedures.insert(made);
  forget(rt::define_procedure(cls, def->name, made));
}

// How a statement ends: on to the next, or leaving its procedure or loop.
enum class Flow { kNext, kReturn, kBreak };

Flow exec_block(const Block &block, Frame &f);
Flow exec_while(const Stmt &s, Frame &f);

// `if`: the condition's value is dropped after the branch has run (an
// operator's, which is a number, at once).
[[gnu::noinline]] Flow exec_if(const Stmt &s, Frame &f) {
  const Expr &e = *s.expr;
  Ref condition;
  bool yes;
  if (e.form == Expr::Form::kIntOperand || e.form == Expr::Form::kNumeric) {
    yes = test(e, f);
  } else {
    condition = Ref::adopt(eval(e, f));
    yes = truthy(condition.get());
  }
  return exec_block(yes ? s.body : s.orelse, f);
}

// The prompt's last statement, a bare expression: shows its value as print
// would (nil shows nothing) before dropping it.
[[gnu::noinline]] void exec_shown(const Stmt &s, Frame &f) {
  const Ref v = Ref::adopt(eval(*s.expr, f));
  if (v.get() != nil()) std::fputs((rt::show(v.get()) + '\n').c_str(), stdout);
}

// `name == expr`, procedure definitions, and the statements that bind()
// makes: kept out of exec_stmt's switch, which the frequent statements take.
[[gnu::noinline]] void exec_other(const Stmt &s, Frame &f) {
  switch (s.kind) {
    case Stmt::Kind::kProcedure:
      return define(s.proc);
    case Stmt::Kind::kCount:
      return detail::count_statement(*f.file, s.line);
    case Stmt::Kind::kShown:
      return exec_shown(s, f);
    default:
      break;
  }
  Ref v = Ref::adopt(eval(*s.expr, f));
  rt::assign_ref(assign_slot(s.name, f), std::move(v));
}

// `a[i] = v` and `a[i] == v`: the array, the index and the value in that
// order, then the element is written. Each write stores the new value before
// it drops the old one, which may run a script: the array is held until then.
[[gnu::noinline]] void exec_store(const Stmt &s, Frame &f) {
  const Expr &target = *s.target;
  check_stack(target, f);
  const Ref base = Ref::adopt(eval(*target.receiver, f));
  const Ref index = Ref::adopt(eval(*target.args[0], f));
  Ref v = Ref::adopt(eval(*s.expr, f));
  if (host::has_type(base.get(), host::kString)) fail("a string cannot be changed: its bytes are read only");
  HostValue &slot = host::slot(base.get(), position(base.get(), index.get()));
  if (s.kind == Stmt::Kind::kStore) {
    assign(slot, std::move(v));
  } else {
    rt::assign_ref(slot, std::move(v));
  }
}

// Stores an integer in a variable.
inline void store_int(const Stmt &s, Frame &f, HostValue v) {
  rt::drop(std::exchange(assign_slot(s.name, f), v));
}

// `name = expr` of a pure operator: a float result goes into the float the
// variable holds when nothing else holds it, else into a new one.
// The expression's value is made as eval makes a node's, and an error leaving
// it takes the expression's line.
[[gnu::noinline]] void assign_numeric(const Stmt &s, Frame &f) {
  const Expr &e = *s.expr;
  const Number n = numeric_top(e, f);
  if (n.kind == Number::Kind::kInt) return store_int(s, f, host::make_int(n.integer));
  if (n.kind == Number::Kind::kReal) {
    const HostValue slot = assign_slot(s.name, f);
    if (writable_float(slot)) {
      *host::payload<double>(slot) = n.real;
      return;
    }
  }
  Ref v;
  try {
    v = Ref::adopt(n.kind == Number::Kind::kNone ? eval_operator(e, f) : real(n.real));
  } catch (ScriptError &error) {
    place_at(error, e.line, f);
    throw;
  }
  assign(assign_slot(s.name, f), std::move(v));
}

// `name = expr` of any other expression.
[[gnu::noinline]] void assign_other(const Stmt &s, Frame &f) {
  Ref v = Ref::adopt(eval(*s.expr, f));
  assign(assign_slot(s.name, f), std::move(v));
}

// `name = expr`. A name beside an integer literal that holds an integer
// gives an integer, stored without a reference; in `i = i + 1` the slot read
// is the slot written.
ZEL_HOT_INLINE void exec_assign(const Stmt &s, Frame &f) {
  const Expr &e = *s.expr;
  switch (e.form) {
    case Expr::Form::kIntOperand: {
      HostValue &slot = slot_of(e.receiver->name, f);
      const Number n = int_operand(e, slot);
      if (!n.is_none()) [[likely]] {
        if (e.receiver->name == s.name) {
          slot = host::make_int(n.integer);
          return;
        }
        return store_int(s, f, host::make_int(n.integer));
      }
      return assign_numeric(s, f);
    }
    case Expr::Form::kNumeric:
      return assign_numeric(s, f);
    default:
      return assign_other(s, f);
  }
}

// A failed message that the library sent outside any built-in (while
// releasing a value, say) fails the statement that was running.
[[noreturn, gnu::noinline, gnu::cold]] void stray_failure() {
  throw std::move(*rt::take_stray_error());
}

// A send made as a statement of its own, taken without eval's dispatch: an
// error leaving it takes its line as eval gives it.
ZEL_HOT_INLINE HostValue eval_send_statement(const Expr &e, Frame &f) {
  try {
    return eval_send(e, f);
  } catch (ScriptError &error) {
    place_at(error, e.line, f);
    throw;
  }
}

// Runs a statement (see exec_stmt).
ZEL_HOT_INLINE Flow exec_kind(const Stmt &s, Frame &f) {
  Flow flow = Flow::kNext;
  switch (s.kind) {
    case Stmt::Kind::kExpr:
      rt::drop(s.expr->form == Expr::Form::kSend ? eval_send_statement(*s.expr, f) : eval(*s.expr, f));
      break;
    case Stmt::Kind::kAssign:
      exec_assign(s, f);
      break;
    case Stmt::Kind::kReturn:
      f.result = Ref::adopt(s.expr ? eval(*s.expr, f) : nil());
      flow = Flow::kReturn;
      break;
    case Stmt::Kind::kIf:
      flow = exec_if(s, f);
      break;
    case Stmt::Kind::kWhile:
      flow = exec_while(s, f);
      break;
    case Stmt::Kind::kBreak:
      flow = Flow::kBreak;
      break;
    case Stmt::Kind::kStore:
    case Stmt::Kind::kRefStore:
      exec_store(s, f);
      break;
    default:
      exec_other(s, f);
      break;
  }
  if (rt::stray_error_pending()) [[unlikely]]
    stray_failure();
  return flow;
}

// Runs a statement: its line is the frame's running line until a call in it
// or the next statement begins, and an error leaving it takes that line.
ZEL_HOT_INLINE Flow exec_stmt(const Stmt &s, Frame &f) {
  f.line = s.line;
  try {
    return exec_kind(s, f);
  } catch (ScriptError &error) {
    place_at(error, s.line, f);
    throw;
  }
}

// Runs the statements of a block in order until one leaves it: the one loop
// over statements, taken in line by each of its users.
ZEL_HOT_INLINE Flow exec_block(const Block &block, Frame &f) {
  for (const Stmt &s : block) {
    const Flow flow = exec_stmt(s, f);
    if (flow != Flow::kNext) return flow;
  }
  return Flow::kNext;
}

// `while`: the body once per true test, each time one step, until a break.
[[gnu::noinline]] Flow exec_while(const Stmt &s, Frame &f) {
  while (test(*s.expr, f)) {
    spend_step();
    const Flow flow = exec_block(s.body, f);
    if (flow == Flow::kReturn) return flow;
    if (flow == Flow::kBreak) return Flow::kNext;
  }
  return Flow::kNext;
}

// The runtime's place hook: where the innermost script frame is, as
// "file:line", or "" when no script runs.
std::string running_place() {
  for (const rt::Activation *a = rt::detail::innermost; a != nullptr; a = a->outer) {
    if (a->file != nullptr) return *a->file + ":" + std::to_string(a->line);
  }
  return {};
}

// Gives an error without a traceback the calls running now, of which the
// frame it leaves is the innermost script frame. Every error leaving a
// statement has its place (place_at), and the frame the error's line.
void trace(ScriptError &error) {
  if (error.trace.empty()) error.trace = rt::traceback();
}

// Counts a procedure call or a compile for the length of its run; refuses one
// nested too deeply.
class Nesting {
 public:
  explicit Nesting(int &depth) : depth_(depth) {
    if (depth_ >= kMaxDepth) fail("calls nested too deeply");
    ++depth_;
  }
  ~Nesting() { --depth_; }
  Nesting(const Nesting &) = delete;
  Nesting &operator=(const Nesting &) = delete;

 private:
  int &depth_;
};

// Brackets a profiled call for the profiler (rt::profile_enter), which runs
// its hooks around the outermost one; the call's end counts also when it
// ends by an error.
class Profiling {
 public:
  explicit Profiling(bool on) : on_(on) {
    if (on_) rt::profile_enter();
  }
  ~Profiling() {
    if (on_) rt::profile_leave();
  }
  Profiling(const Profiling &) = delete;
  Profiling &operator=(const Profiling &) = delete;

 private:
  bool on_;
};

// Keeps a procedure and its class alive for the length of a call.
class Use {
 public:
  explicit Use(const Procedure &proc) : proc_(const_cast<Procedure &>(proc)) {
    ++proc_.uses;
    if (proc_.cls != nullptr) host::ref_take(proc_.cls->value);
  }
  ~Use() {
    const HostValue cls = proc_.cls == nullptr ? host::kZero : proc_.cls->value;
    unuse(&proc_);
    rt::drop(cls);
  }
  Use(const Use &) = delete;
  Use &operator=(const Use &) = delete;

 private:
  Procedure &proc_;
};

// The locals of a call on the value stack: the parameters first, sharing the
// arguments' objects, then nil in every other local. Each holds a reference,
// dropped on the way out.
class Locals {
 public:
  ZEL_HOT_INLINE Locals(const Procedure &proc, const HostValue *argv)
      : base_(rt::take_slots(proc.local_count)), count_(proc.local_count) {
    for (size_t i = 0; i < proc.params; ++i) {
      base_[i] = argv[-static_cast<ptrdiff_t>(i + 1)];
      host::ref_take(base_[i]);
    }
    const HostValue none = nil();
    for (size_t i = proc.params; i < count_; ++i) base_[i] = none;
  }
  ~Locals() {
    for (size_t i = 0; i < count_; ++i) rt::drop(base_[i]);
    rt::give_back_slots(count_);
  }
  Locals(const Locals &) = delete;
  Locals &operator=(const Locals &) = delete;
  uintptr_t base() const { return reinterpret_cast<uintptr_t>(base_); }

 private:
  HostValue *base_;
  size_t count_;
};

[[noreturn, gnu::noinline, gnu::cold]] void wrong_count(const Procedure &proc, int32_t argc) {
  fail(proc.display + " expects " + std::to_string(proc.params) +
       (proc.params == 1 ? " argument, got " : " arguments, got ") + std::to_string(argc));
}

// Runs a procedure with the arguments of a stack vector (argv[0] self, nil
// for a global procedure). Profiled when the program asked for it.
Ref invoke(const void *handle, HostValue *argv, int32_t argc) {
  const Procedure &proc = *static_cast<const Procedure *>(handle);
  if (static_cast<size_t>(argc) != proc.params) [[unlikely]]
    wrong_count(proc, argc);
  const Use use(proc);
  const Locals locals(proc, argv);
  Frame f(&proc.def->file, &proc.display, &proc, argv[0], proc.bindings.data());
  f.bases[static_cast<size_t>(Binding::Base::kLocals)] = locals.base();
  // Only a method's bindings use self's instance variables; elsewhere self is
  // nil and the base is never read.
  f.bases[static_cast<size_t>(Binding::Base::kIvars)] = reinterpret_cast<uintptr_t>(host::slots(argv[0]));
  f.result = Ref::adopt(nil());
  const Nesting nesting(state().depth);
  spend_step();
  const Profiling profiling(rt::profiling(proc.display));
  const rt::Activate running(f);
  try {
    exec_block(proc.def->body, f);
  } catch (ScriptError &error) {
    trace(error);
    throw;
  }
  return std::move(f.result);
}

// The runtime's exec hook: runs one line of text; reports an error and
// answers -1.
int32_t exec_line(const char *line) {
  try {
    run(line, "<exec>");
    return 0;
  } catch (const ScriptError &error) {
    report(error);
  } catch (const std::bad_alloc &) {
    report(ScriptError{"out of memory", "<exec>"});
  }
  return -1;
}

// compile "NAME:file" reads and runs the file compile_path names.
Ref compile(const HostValue *argv, int32_t argc) {
  if (argc != 1 || !is_string(argv[-1])) fail("compile expects one string, \"NAME:file\"");
  const std::string path = compile_path(host::chars_of(argv[-1]));
  const Nesting nesting(state().depth);
  run_file(path);
  return rt::make_int(1);
}

}  // namespace

void install() {
  state().stack_floor = rt::stack_floor();
  rt::set_language(exec_line, nullptr);
  rt::set_stack_invoke(invoke);
  rt::set_forget(forget);
  rt::set_place(running_place);
}

void set_step_budget(std::uint64_t steps) {
  state().step_budget = steps;
  state().steps_left = steps;
}

void interrupt(bool on) {
  interrupt_requested = on ? 1 : 0;
}

namespace {

// Puts a count of its line before each statement of a block, of the blocks
// in it and of the procedures it defines.
void count_lines(Block &block) {
  Block counted;
  counted.reserve(2 * block.size());
  for (Stmt &s : block) {
    count_lines(s.body);
    count_lines(s.orelse);
    // The parser hands a definition over as const; until the statement that
    // defines it has been bound, nothing else holds it.
    if (s.kind == Stmt::Kind::kProcedure) count_lines(const_cast<ProcedureDef &>(*s.proc).body);
    Stmt count{};
    count.kind = Stmt::Kind::kCount;
    count.line = s.line;
    counted.push_back(std::move(count));
    counted.push_back(std::move(s));
  }
  block = std::move(counted);
}

// Binds a statement read at top level (alone in its block) before it runs,
// once: at the prompt, the last bare expression becomes one whose value is
// shown; with the coverage on, its lines are counted as they run. The
// statement loop itself never asks.
void bind(Block &block, bool shown) {
  if (shown) block.back().kind = Stmt::Kind::kShown;
  if (detail::covering) count_lines(block);
}

// The next statement of a text already checked; false at its end.
bool next_statement(StatementReader &reader, Stmt &s, const std::string &file) {
  try {
    return reader.next(s);
  } catch (const SyntaxError &error) {
    throw ScriptError{error.message, file, error.line};
  }
}

}  // namespace

void run(std::string_view text, std::string_view file, Echo echo) {
  const std::string name(file);
  try {
    check(text);
  } catch (const SyntaxError &error) {
    throw ScriptError{error.message, name, error.line};
  }
  // The text is known to be well formed: read it again one statement at a
  // time, running each as soon as it is read.
  Scope scope;
  StatementReader reader(text, name, scope);
  std::vector<Binding> bindings;
  Frame top(&name, nullptr, nullptr, nil(), nullptr);
  const rt::Activate running(top);
  Stmt s;
  Block bound;
  try {
    while (next_statement(reader, s, name)) {
      while (bindings.size() < scope.names.size()) {
        bindings.push_back(Binding::global(cell(scope.names[bindings.size()])));
      }
      top.bindings = bindings.data();
      const bool shown = echo == Echo::kLast && s.kind == Stmt::Kind::kExpr && reader.at_end();
      bound.clear();
      bound.push_back(std::move(s));
      bind(bound, shown);
      exec_block(bound, top);
    }
  } catch (ScriptError &error) {
    trace(error);
    rt::take_stray_error();  // the first error is the one to report
    throw;
  }
}

void run_file(const std::string &path) {
  const std::string text = read_file(path);
  cover_file(path, text);
  run(text, path);
}

bool complete(std::string_view text) {
  try {
    check(text);
  } catch (const SyntaxError &error) {
    return !error.at_end;
  }
  return true;
}

size_t live_procedures() {
  return state().procedures.size();
}

void set_global(std::string_view name, rt::Ref value) {
  Cell &c = cell(std::string(name));
  if (c.value == 0) c.value = nil();
  rt::assign_ref(c.value, std::move(value));
}

void drop_globals() {
  // In name order; a release may make new globals, which the next round drops,
  // up to kDropRounds rounds.
  bool dropped = true;
  for (int round = 0; dropped && round < kDropRounds; ++round) {
    dropped = false;
    for (auto &[name, c] : state().globals) {
      if (c.value == 0) continue;
      rt::drop(std::exchange(c.value, 0));
      dropped = true;
    }
  }
  std::optional<ScriptError> stray = rt::take_stray_error();
  std::string left;
  for (const auto &[name, c] : state().globals) {
    if (c.value != 0) left += (left.empty() ? "" : ", ") + name;
  }
  if (!left.empty()) {
    fail("releasing the globals still made new ones after " + std::to_string(kDropRounds) +
         " rounds; not dropped: " + left);
  }
  if (stray) throw std::move(*stray);
}

std::vector<std::string> completions(std::string_view receiver) {
  const State &st = state();
  std::vector<std::string> names;
  if (receiver.empty()) {
    names = rt::builtin_routine_names();
    names.emplace_back("compile");  // the language's own routine
    for (const std::string_view word : keywords()) names.emplace_back(word);
    for (std::string &name : rt::class_names()) names.push_back(std::move(name));
    for (const Procedure *proc : st.procedures) {
      if (proc->cls == nullptr) names.push_back(proc->def->name);
    }
    for (const auto &[name, c] : st.globals) {
      if (c.value != 0) names.push_back(name);
    }
    return names;
  }
  // The receiver as a send finds it: a global's value, else the class named.
  const rt::Class *cls = nullptr;
  bool is_class = true;
  if (auto global = st.globals.find(receiver); global != st.globals.end() && global->second.value != 0) {
    is_class = rt::class_of(global->second.value) == nullptr;
    cls = is_class ? rt::as_class(global->second.value) : rt::class_of(global->second.value);
  } else {
    cls = rt::find_class(receiver);
  }
  if (cls == nullptr) return names;
  names = rt::builtin_message_names(*cls, false);
  for (const rt::Class *c = cls; c != nullptr; c = c->parent) {
    for (const auto &[key, handle] : c->procedures) {
      const auto *proc = static_cast<const Procedure *>(handle);
      if (st.procedures.count(proc) != 0) names.push_back(proc->def->name);
    }
  }
  if (is_class) {
    for (std::string &name : rt::builtin_message_names(*cls, true)) names.push_back(std::move(name));
  }
  return names;
}

void report(const rt::ScriptError &error) {
  std::fflush(stdout);
  std::fprintf(stderr, "%s%s\n", error.file.empty() ? "zel: " : "", error.text().c_str());
  // A traceback only where calls ran: an error of a statement at top level
  // is its one line. A line repeated (a recursion) is written once.
  const std::vector<std::string> &trace = error.trace;
  if (trace.size() < 2) return;
  std::fputs("traceback, most recent call last:\n", stderr);
  for (size_t i = 0; i < trace.size();) {
    size_t same = i + 1;
    while (same < trace.size() && trace[same] == trace[i]) ++same;
    std::fprintf(stderr, "  %s\n", trace[i].c_str());
    if (same - i > 1) std::fprintf(stderr, "  (the line above %zu more times)\n", same - i - 1);
    i = same;
  }
}

}  // namespace zel::lang
