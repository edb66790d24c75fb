// Part of the evaluator (host/lang/eval.cpp, which says how it works): its
// frames, its state and the place of its errors. The parts of the evaluator
// are headers of one translation unit, included by eval.cpp and by each
// other only, so that the hot functions (ZEL_HOT_INLINE) inline into each
// other across them; their definitions are internal to that unit.
//
// Holds: a global's cell and a name's binding (which bindings.h fills and
// reads), a defined procedure, a frame (one of the runtime's running calls),
// the evaluator's state (globals, procedures) and counters (stack floor, depth, step budget), the step
// budget and the interrupt, and the one handler that gives an error its line
// (place_at) with the frame's own failures (fail_at, check_stack).
//
// Invariants: a frame's bases[kLocals] is its first local slot and, in a
// method, bases[kIvars] self's first instance variable; bases[kAbsolute] is
// 0, so that a global's binding is its cell's address. A name's
// binding and a frame's bases do not change while the frame runs (the top
// level's bindings only grow, between its statements), so that the name's
// slot stays at one address meanwhile: a `while` finds its condition's once. An error
// leaving a statement has its place, and the frame it left its line
// (place_at).
#pragma once

#include <csignal>
#include <cstddef>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <type_traits>
#include <unordered_set>
#include <utility>
#include <vector>

#include "lang/ast.h"
#include "lang/operators.h"

namespace zel::lang {

namespace {

using rt::Ref;
using rt::ScriptError;

// Throws a ScriptError without a place: the node or statement it leaves
// gives it one (place_at).
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

// The nil object (the runtime's), read without a test: install() starts the
// runtime, so nil exists before any text runs.
inline HostValue nil() {
  return rt::detail::nil_word;
}

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
// file, line and name are the runtime's record of the calls running; its
// bases are indexed by Binding::Base (see the file's header).
struct Frame : rt::Activation {
  // Every member set by name, each once: an aggregate's initialisation may
  // clear the whole frame first (rep stos), which costs more than a
  // procedure call's statements. `outer` is set when the frame becomes the
  // innermost (rt::Activate).
  Frame(const std::string *file, const std::string *name, const Procedure *p, HostValue s, const Binding *b,
        uintptr_t locals = 0, uintptr_t ivars = 0)
      : proc(p), self(s), bindings(b), bases{locals, ivars, 0}, result(nil()) {
    this->file = file;
    this->name = name;
    line = 0;
  }
  const Procedure *proc;  // null at top level
  HostValue self;
  const Binding *bindings;
  uintptr_t bases[3];
  // What `return` gave, with its reference, nil before: a bare word, which
  // run_procedure takes over, so that a call's result is not taken out of a
  // Ref and the Ref then dropped empty. A `return` ends its procedure's run
  // and the parser refuses one at top level, so one runs at most per frame.
  HostValue result;
};

// A base for each kind of binding, in the order Frame's constructor sets them.
static_assert(std::extent_v<decltype(Frame::bases)> == static_cast<size_t>(Binding::Base::kAbsolute) + 1);
static_assert(static_cast<size_t>(Binding::Base::kLocals) == 0 &&
              static_cast<size_t>(Binding::Base::kIvars) == 1);

struct State {
  std::map<std::string, Cell, std::less<>> globals;
  std::unordered_set<const Procedure *> procedures;  // every procedure made and not yet freed
};

// The depth of the procedure calls and compiles running, the step budget (0
// for none) with the steps left of it, and the lowest address the stack may
// reach before evaluation stops recursing: apart from State, at a fixed
// address, since every call, loop iteration and recursing node reads them.
struct Counters {
  uintptr_t stack_floor = 0;
  int depth = 0;
  std::uint64_t step_budget = 0;
  std::uint64_t steps_left = 0;
};
constinit Counters counters;

// Never destroyed: procedures may still run while the process exits.
State *const the_state = new State;

// The evaluator's state.
inline State &state() {
  return *the_state;
}

// True when the stack is nearly used up (see rt::stack_nearly_full). The
// address of a local of the caller's frame stands for the frame's: reading
// the frame address would make every caller keep a frame pointer.
inline bool stack_nearly_full() {
  const char here = 0;
  return reinterpret_cast<uintptr_t>(&here) < counters.stack_floor;
}

// Set by interrupt(), from a signal handler; taken by the next step.
volatile std::sig_atomic_t interrupt_requested = 0;
// Set whenever a step may have more to do than go on (an interrupt requested,
// a step budget set), so that a step reads one word; the step that finds
// nothing to do clears it. Set after interrupt_requested, and cleared before
// interrupt_requested is read again, so that it is never left clear while an
// interrupt is requested.
volatile std::sig_atomic_t step_watched = 0;

// One step of the budget: a loop iteration or a procedure call. Fails once
// the budget is spent, or when an interrupt is requested.
[[gnu::noinline]] void spend_counted_step() {
  if (interrupt_requested != 0) {
    interrupt_requested = 0;
    fail("interrupted");
  }
  if (counters.step_budget == 0) {
    step_watched = 0;
    if (interrupt_requested != 0) step_watched = 1;
    return;
  }
  if (counters.steps_left == 0) fail("step budget exhausted");
  --counters.steps_left;
}
inline void spend_step() {
  if (step_watched != 0) [[unlikely]]
    spend_counted_step();
}

// The slot a name denotes: a local, an instance variable, or a global cell's
// value (0 while the name is no global).
inline HostValue &slot_of(int32_t name, Frame &f) {
  const Binding &b = f.bindings[name];
  return *reinterpret_cast<HostValue *>(f.bases[static_cast<size_t>(b.base)] + b.offset);
}

// Gives an error that has no place yet the line of the node or statement it
// leaves, and the frame that line, which its traceback reads: the one place
// an error's line is set (see the file's header). Cannot fail.
[[gnu::cold, gnu::noinline]] void place_at(ScriptError &error, int line, Frame &f) noexcept {
  if (error.line != 0) return;
  error.file = *f.file;
  error.line = line;
  f.line = line;
}

// Runs run(args...), the evaluation of node (an Expr or a Stmt): an error
// leaving it without a place takes the node's line (place_at). Costs
// nothing until an error is thrown. run is a template argument, not a
// callable object, so that it is a direct call, taken in line where it is
// ZEL_HOT_INLINE; the line is read from the node only when an error leaves,
// so that no register keeps it meanwhile.
template <auto run, typename Node, typename... Args>
ZEL_HOT_INLINE auto at_node(const Node &node, Frame &f, Args &&...args)
    -> decltype(run(std::forward<Args>(args)...)) {
  try {
    return run(std::forward<Args>(args)...);
  } catch (ScriptError &error) {
    place_at(error, node.line, f);
    throw;
  }
}

// Fails at node e, which is the node that fails (a name that names nothing,
// the stack full where e recurses).
[[noreturn, gnu::cold, gnu::noinline]] void fail_at(const Expr &e, Frame &f, std::string message) {
  ScriptError error{std::move(message)};
  place_at(error, e.line, f);
  throw error;
}

// Fails at node e for a stack nearly used up; out of line with its message,
// so that a caller keeps no registers for making it.
[[noreturn, gnu::cold, gnu::noinline]] void stack_full(const Expr &e, Frame &f) {
  fail_at(e, f, "nested too deeply: the stack is full");
}

// Fails (at the node's line) when the stack is nearly used up; checked
// wherever evaluation recurses.
inline void check_stack(const Expr &e, Frame &f) {
  if (stack_nearly_full()) stack_full(e, f);
}

// The class of the method f runs; fails (naming word, "self" or "super")
// outside a method.
const rt::Class &method_class(Frame &f, const char *word) {
  if (!f.proc || !f.proc->cls) fail(std::string(word) + " outside a method");
  return *f.proc->cls;
}

// A value handed on with one reference: what an expression gives its
// caller, who takes the reference over at once (ref(), a slot, or a drop).
// Its own type, so that an owned word is never taken for a borrowed one (a
// HostValue), and [[nodiscard]], so that none is left untaken. One word,
// returned in a register, where a Ref, having a destructor, would come back
// through memory, which every node would pay.
struct [[nodiscard]] Owned {
  HostValue word;  // an integer or nil (permanent) holds no reference

  // A new reference on a borrowed value.
  static Owned share(HostValue v) noexcept {
    host::ref_take(v);
    return {v};
  }
  // The reference as a Ref.
  Ref ref() const noexcept { return Ref::adopt(word); }
  // The word, whose reference the caller takes over (as Ref::detach).
  HostValue detach() const noexcept { return word; }
};

// How a statement ends: on to the next, or leaving its procedure or loop.
enum class Flow { kNext, kReturn, kBreak };

// Runs the statements of a block (statements.h).
Flow exec_block(std::span<const Stmt> block, Frame &f);

// Gives an error without a traceback the calls running now, of which the
// frame it leaves is the innermost script frame. Every error leaving a
// statement has its place (place_at), and the frame the error's line.
void trace(ScriptError &error) {
  if (error.trace.empty()) error.trace = rt::traceback();
}

}  // namespace

}  // namespace zel::lang
