// Part of the evaluator (see host/lang/eval.cpp and eval/frame.h): how a
// statement runs. The one loop over statements (exec_block), each
// statement's kind (exec_work), assignments and stores, `if`, `while`, and
// the run of a text at top level (run), which reads the text whole, then
// binds and runs one statement at a time.
//
// Invariants: exec_stmt sets the frame's running line to the statement's
// as it begins, and an error leaving it takes that line unless a node gave
// it one; a `while` that runs its body's last statement itself (run_while)
// does the same for it. A statement ends on to the next or leaving its loop or procedure
// (Flow). An assignment evaluates its value before it finds the slot it
// writes, so that a failed one makes no global. A failed message the
// library sent outside any built-in fails the statement that was running.
//
// A statement kind is added in Stmt::Kind (host/lang/ast.h) and as a case
// of exec_work (the compiler names one left out), which hands it on to
// exec_other when it is rare.
#pragma once

#include <cstdio>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "lang/eval/expressions.h"
#include "lang/parser.h"

namespace zel::lang {

namespace {

// `=` of the value v into slot, which takes v's reference over: integers
// and a float or string that nothing else holds are stored as they are (a
// copy would be the same); anything else as the runtime assigns.
ZEL_HOT_INLINE void assign(HostValue &slot, Owned v) {
  const HostValue w = v.detach();
  if (host::is_int(w) || ((host::type_of(w) == host::kFloat || host::type_of(w) == host::kString) &&
                          fast_paths && host::object_of(w)->refcount == 1)) {
    rt::drop(std::exchange(slot, w));
  } else {
    rt::assign_owned(slot, w);
  }
}

// `while` (below).
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
    condition = eval(e, f).ref();
    yes = truthy(condition.get());
  }
  return exec_block(yes ? s.body : s.orelse, f);
}

// The prompt's last statement, a bare expression: shows its value as print
// would (nil shows nothing) before dropping it.
[[gnu::noinline]] void exec_shown(const Stmt &s, Frame &f) {
  const Ref v = eval(*s.expr, f).ref();
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
  Ref v = eval(*s.expr, f).ref();
  rt::assign_ref(assign_slot(s.name, f), std::move(v));
}

// `a[i] = v` and `a[i] == v`: the array, the index and the value in that
// order, then the element is written. Each write stores the new value before
// it drops the old one, which may run a script: the array is held until then.
[[gnu::noinline]] void exec_store(const Stmt &s, Frame &f) {
  const Expr &target = *s.target;
  check_stack(target, f);
  const Ref base = eval(*target.receiver, f).ref();
  const Ref index = eval(*target.args[0], f).ref();
  Ref v = eval(*s.expr, f).ref();
  if (host::has_type(base.get(), host::kString)) fail("a string cannot be changed: its bytes are read only");
  HostValue &slot = host::slot(base.get(), position(base.get(), index.get()));
  if (s.kind == Stmt::Kind::kStore) {
    assign(slot, Owned{v.detach()});
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
  assign(assign_slot(s.name, f),
         n.kind == Number::Kind::kNone ? eval_operator(e, f) : at_node<real>(e, f, n.real));
}

// `name = expr` once expr's value v is made: the slot is found after it.
ZEL_HOT_INLINE void assign_value(const Stmt &s, Frame &f, Owned v) {
  assign(assign_slot(s.name, f), v);
}

// `name = <send>` (Stmt::Kind::kAssignSend): the send's value assigned to
// the slot slot() finds once the send has run.
template <typename Slot>
ZEL_HOT_INLINE void assign_send(const Stmt &s, Frame &f, Slot slot) {
  const Owned v = at_node<eval_send>(*s.expr, f, *s.expr, f);
  assign(assigned(slot()), v);
}

// `name = expr` taken by the general path: any expression exec_assign does
// not take itself, and an update that update does not.
[[gnu::noinline]] void assign_other(const Stmt &s, Frame &f) {
  assign_value(s, f, eval(*s.expr, f));
}

// update past an update whose right side b gave no integer: the operator
// as combine computes it over the integer a.
[[gnu::noinline]] void update_combined(const Stmt &s, Frame &f, HostValue a, Owned b) {
  const Expr &e = *s.expr;
  Ref held_a, held_b = b.ref();
  assign_value(s, f, at_node<combine>(e, f, e, a, held_b.get(), held_a, held_b));
}

// An update of an operator that is no number tree (Stmt::Kind::kUpdate):
// where the name holds an integer, computed as operator_value computes it:
// that integer is the left operand as it would read it, with no reference to
// take, and an integer result goes back into the name, the slot read being
// the slot written, without one. Anything else takes the general path.
ZEL_HOT_INLINE void update(const Stmt &s, Frame &f) {
  const Expr &e = *s.expr;
  HostValue &slot = slot_of(s.name, f);
  const HostValue a = slot;
  if (!host::is_int(a)) return assign_other(s, f);
  check_stack(e, f);
  // Beside a name the right side is no literal and no name, or the tree would
  // be pure: operand() would evaluate it as this does.
  // An integer holds no reference: b needs no drop until it is no integer.
  const Owned b = eval_or_send(*e.args[0], f);
  if (host::is_int(b.word)) [[likely]] {
    const Number n = apply_update(e.op, host::int_of(a), host::int_of(b.word));
    if (!n.is_none()) [[likely]]
      return rt::drop(std::exchange(slot, host::make_int(n.integer)));
  }
  update_combined(s, f, a, b);
}

// An update by an integer literal (Stmt::Kind::kUpdateInt) of the name
// whose slot is slot, where it gives an integer: the result, as int_operand
// computes it, goes back into the name without a reference. False, with
// nothing stored, where the general path must make it.
ZEL_HOT_INLINE bool update_int_in(const Stmt &s, HostValue &slot) {
  const Expr &e = *s.expr;
  const Number n = int_operand<apply_update>(e, slot, e.op);
  if (n.is_none()) [[unlikely]]
    return false;
  slot = host::make_int(n.integer);
  return true;
}

// An update by an integer literal: an integer result as update_int_in
// stores it, anything else as assign_numeric assigns it.
ZEL_HOT_INLINE void update_int(const Stmt &s, Frame &f) {
  if (!update_int_in(s, slot_of(s.name, f))) assign_numeric(s, f);
}

// `name = expr`. A name beside an integer literal that holds an integer
// gives an integer, stored without a reference. A send, a routine call and
// an update have statement kinds of their own (exec_work).
ZEL_HOT_INLINE void exec_assign(const Stmt &s, Frame &f) {
  const Expr &e = *s.expr;
  if (e.form == Expr::Form::kIntOperand) [[likely]] {
    const Number n = int_operand(e, slot_of(e.name, f));
    if (!n.is_none()) [[likely]]
      return store_int(s, f, host::make_int(n.integer));
    return assign_numeric(s, f);
  }
  if (e.form == Expr::Form::kNumeric) return assign_numeric(s, f);
  assign_other(s, f);
}

// The value a `return` gives: nil without an expression. A name beside an
// integer literal, the commonest, is evaluated here as eval_node evaluates it.
ZEL_HOT_INLINE Owned return_value(const Expr *e, Frame &f) {
  if (e == nullptr) return {nil()};
  if (e->form == Expr::Form::kIntOperand) return at_node<eval_int_operand>(*e, f, *e, f);
  return eval(*e, f);
}

// A failed message that the library sent outside any built-in (while
// releasing a value, say) fails the statement that was running.
[[noreturn, gnu::noinline, gnu::cold]] void stray_failure() {
  throw std::move(*rt::take_stray_error());
}

// A statement's own work, by its kind. Every kind has its case and no
// default, so that the compiler names a kind left out and the switch needs
// no bounds test.
ZEL_HOT_INLINE Flow exec_work(const Stmt &s, Frame &f) {
  switch (s.kind) {
    case Stmt::Kind::kExpr:
      rt::drop(eval(*s.expr, f).word);
      return Flow::kNext;
    case Stmt::Kind::kSendExpr:
      rt::drop(at_node<eval_send>(*s.expr, f, *s.expr, f).word);
      return Flow::kNext;
    case Stmt::Kind::kAssign:
      exec_assign(s, f);
      return Flow::kNext;
    case Stmt::Kind::kAssignSend:
      assign_send(s, f, [&s, &f]() -> HostValue & { return slot_of(s.name, f); });
      return Flow::kNext;
    case Stmt::Kind::kAssignCall:
      // The call's value is stored here, without a function of its own
      // between the loop and the call.
      assign_value(s, f, at_node<eval_call>(*s.expr, f, *s.expr, f));
      return Flow::kNext;
    case Stmt::Kind::kUpdate:
      update(s, f);
      return Flow::kNext;
    case Stmt::Kind::kUpdateInt:
      update_int(s, f);
      return Flow::kNext;
    case Stmt::Kind::kReturn:
      // The frame's first and only `return` (see Frame::result).
      f.result = return_value(s.expr.get(), f).detach();
      return Flow::kReturn;
    case Stmt::Kind::kIf:
      return exec_if(s, f);
    case Stmt::Kind::kWhile:
      return exec_while(s, f);
    case Stmt::Kind::kBreak:
      return Flow::kBreak;
    case Stmt::Kind::kStore:
    case Stmt::Kind::kRefStore:
      exec_store(s, f);
      return Flow::kNext;
    case Stmt::Kind::kRefAssign:
    case Stmt::Kind::kProcedure:
    case Stmt::Kind::kCount:
    case Stmt::Kind::kShown:
      exec_other(s, f);
      return Flow::kNext;
  }
  __builtin_unreachable();
}

// Fails the running statement where the library left a failure.
ZEL_HOT_INLINE void check_stray() {
  if (rt::stray_error_pending()) [[unlikely]]
    stray_failure();
}

// Runs a statement (see exec_stmt).
ZEL_HOT_INLINE Flow exec_kind(const Stmt &s, Frame &f) {
  const Flow flow = exec_work(s, f);
  check_stray();
  return flow;
}

// Runs a statement: its line is the frame's running line until a call in it
// or the next statement begins, and an error leaving it takes that line.
ZEL_HOT_INLINE Flow exec_stmt(const Stmt &s, Frame &f) {
  f.line = s.line;
  return at_node<exec_kind>(s, f, s, f);
}

// Runs the statements of a block in order until one leaves it: the one loop
// over statements, taken in line by each of its users.
ZEL_HOT_INLINE Flow exec_block(std::span<const Stmt> block, Frame &f) {
  for (const Stmt &s : block) {
    const Flow flow = exec_stmt(s, f);
    if (flow != Flow::kNext) return flow;
  }
  return Flow::kNext;
}

// Runs statement s out of line: a fast path's way back to the general one.
[[gnu::noinline]] Flow exec_apart(const Stmt &s, Frame &f) {
  return exec_stmt(s, f);
}

// Whether the body of `while` s ends in a statement of the kind given that
// assigns the name its condition reads.
bool ends_in(const Stmt &s, Stmt::Kind kind) {
  return !s.body.empty() && s.body.back().kind == kind && s.body.back().name == s.expr->name;
}

// The update by an integer literal that ends a loop's body (`while i < n do
// ...; i = i + 1; end`), a being its name's slot, which the loop found once:
// run as exec_stmt runs it, but where it gives an integer, with no test of a
// failure the library left, since no integer update calls the library.
ZEL_HOT_INLINE void count_turn(const Stmt &s, Frame &f, HostValue &a) {
  f.line = s.line;
  if (!update_int_in(s, a)) exec_apart(s, f);
}

// assign_send to the slot a, then the test for a failure the library left.
void assign_send_to(const Stmt &s, Frame &f, HostValue &a) {
  assign_send(s, f, [&a]() -> HostValue & { return a; });
  check_stray();
}

// The assignment of a send's value that ends a loop's body (`while k isnt
// nil do ...; k = l:after (k); end`), a being its name's slot, which the loop
// found once: run as exec_stmt runs it.
ZEL_HOT_INLINE void step_turn(const Stmt &s, Frame &f, HostValue &a) {
  f.line = s.line;
  at_node<assign_send_to>(s, f, s, f, a);
}

// A `while` loop whose condition is tested by test (a form of lang::test).
// The condition and the body's bounds are read once: a tree does not change
// while it runs, and read at each turn they would cost a load each, since
// the compiler cannot know that a call in the body leaves them as they were.
// Given a turn (count_turn, step_turn), the loop runs its body's last
// statement itself, a being the slot of the name it assigns, after the rest:
// the statement just past the end of the rest, which the loop holds already.
template <auto turn = nullptr, typename Test>
ZEL_HOT_INLINE Flow run_while(const Stmt &s, Frame &f, Test test, HostValue *a = nullptr) {
  constexpr bool kTurn = !std::is_null_pointer_v<decltype(turn)>;
  const Expr &condition = *s.expr;
  const std::span<const Stmt> body = std::span(s.body).first(s.body.size() - kTurn);
  while (test(condition, f)) {
    spend_step();
    const Flow flow = exec_block(body, f);
    if (flow == Flow::kReturn) return flow;
    if (flow == Flow::kBreak) return Flow::kNext;
    if constexpr (kTurn) turn(body.data()[body.size()], f, *a);
  }
  return Flow::kNext;
}

// A `while` whose condition compares a name with an integer literal (see
// exec_while): out of line, so that its loop has the registers of a
// function of its own.
[[gnu::noinline]] Flow while_int_operand(const Stmt &s, Frame &f) {
  const Expr &e = *s.expr;
  HostValue &a = slot_of(e.name, f);
  const auto less = [&a, n = e.ival](const Expr &c, Frame &cf) {
    return test_int_operand_with(c, cf, Op::kLt, a, n);
  };
  if (e.op == Op::kLt && ends_in(s, Stmt::Kind::kUpdateInt)) return run_while<count_turn>(s, f, less, &a);
  if (e.op == Op::kLt) return run_while(s, f, less);
  return run_while(s, f,
                   [&a](const Expr &c, Frame &cf) { return test_int_operand_with(c, cf, c.op, a, c.ival); });
}

// A `while` whose condition tests a name for nil (see exec_while): out of
// line, so that its loop has the registers of a function of its own.
[[gnu::noinline]] Flow while_nil_test(const Stmt &s, Frame &f) {
  const Expr &e = *s.expr;
  HostValue &a = slot_of(e.name, f);
  const auto isnt = [&a](const Expr &c, Frame &cf) { return nil_test_with(c, cf, Op::kIsnt, a); };
  if (e.op == Op::kIsnt && ends_in(s, Stmt::Kind::kAssignSend)) return run_while<step_turn>(s, f, isnt, &a);
  if (e.op == Op::kIsnt) return run_while(s, f, isnt);
  return run_while(s, f, [&a](const Expr &c, Frame &cf) { return nil_test_with(c, cf, c.op, a); });
}

// A `while` of any other condition (see exec_while).
[[gnu::noinline]] Flow while_any(const Stmt &s, Frame &f) {
  return run_while(s, f, test);
}

// `while`: the body once per true test, each time one step, until a break.
// The commonest conditions, a name compared with an integer (`i < n` apart)
// and a test for nil (`k isnt nil` apart), have each their own loop, which
// does not ask the condition's form at each turn, and reads the name from
// its slot, found once: a slot stays where it is while its frame runs (and
// the literal of `i < n` is read once too). Where the body's last statement
// assigns that name, by an integer update (`i < n`) or a send (`k isnt nil`),
// the loop runs it itself (run_while). Each form's loops are a function of
// their own (while_int_operand, while_nil_test, while_any), which this one
// only picks, keeping no registers: beside each other in one, the loops
// would share its registers, and keep more of what they read each turn in
// memory.
[[gnu::noinline]] Flow exec_while(const Stmt &s, Frame &f) {
  const Expr &e = *s.expr;
  if (e.form == Expr::Form::kIntOperand) return while_int_operand(s, f);
  if (e.form == Expr::Form::kNilTest) return while_nil_test(s, f);
  return while_any(s, f);
}

// Texts up to this long are read once, their statements' trees kept until
// each has run; a longer one is checked whole, then read again one statement
// at a time as it runs, so that it needs little more memory than its text.
constexpr size_t kReadOnce = 16 * 1024;

// The statements of a text up to kReadOnce long, read whole; none for a
// longer text, only checked. Its names go into scope. Throws ScriptError
// (in file) at the first syntax error.
Block read_whole(std::string_view text, const std::string &file, Scope &scope) {
  Block kept;
  try {
    if (text.size() > kReadOnce) {
      check(text);
      return kept;
    }
    StatementReader reader(text, file, scope);
    Stmt s;
    while (reader.next(s)) kept.push_back(std::move(s));
  } catch (const SyntaxError &error) {
    throw ScriptError{error.message, file, error.line};
  }
  return kept;
}

// The next statement of a text already checked; false at its end.
bool next_statement(StatementReader &reader, Stmt &s, const std::string &file) {
  try {
    return reader.next(s);
  } catch (const SyntaxError &error) {
    throw ScriptError{error.message, file, error.line};
  }
}

// The top level of a text as it runs: its frame and the bindings of the
// names its statements read so far.
class TopLevel {
 public:
  TopLevel(const std::string &file, Echo echo)
      : frame_(&file, nullptr, nullptr, nil(), nullptr), running_(frame_), echo_(echo) {}

  // Binds s, with the names of the top scope read so far, and runs it; at
  // the prompt the value of a bare expression that is the text's last
  // statement is shown. Throws ScriptError.
  void exec(Stmt &&s, const Scope &scope, bool last) {
    while (bindings_.size() < scope.names.size())
      bindings_.push_back(Binding::global(cell(scope.names[bindings_.size()])));
    frame_.bindings = bindings_.data();
    const bool shown =
        echo_ == Echo::kLast && (s.kind == Stmt::Kind::kExpr || s.kind == Stmt::Kind::kSendExpr) && last;
    bound_.clear();
    bound_.push_back(std::move(s));
    bind(bound_, shown);
    exec_block(bound_, frame_);
  }

 private:
  std::vector<Binding> bindings_;
  Frame frame_;
  const rt::Activate running_;
  const Echo echo_;
  Block bound_;
};

}  // namespace

void run(std::string_view text, std::string_view file, Echo echo) {
  const std::string name(file);
  Scope scope;
  Block kept = read_whole(text, name, scope);
  TopLevel top(name, echo);
  try {
    if (text.size() <= kReadOnce) {
      for (size_t i = 0; i < kept.size(); ++i) {
        top.exec(std::move(kept[i]), scope, i + 1 == kept.size());
      }
      return;
    }
    StatementReader reader(text, name, scope);
    Stmt s;
    while (next_statement(reader, s, name)) top.exec(std::move(s), scope, reader.at_end());
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

}  // namespace zel::lang
