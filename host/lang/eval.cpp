// The evaluator: runs ZEL's syntax tree (host/lang/ast.h) over the runtime's
// values. This file holds its hooks into the runtime (install), the run of
// one line for the library (exec_line) and the report of an error; the
// evaluation is in the parts under host/lang/eval/, headers of this one
// translation unit, so that the hot functions (ZEL_HOT_INLINE) inline into
// each other across them as they would within one file (host/lang/
// CMakeLists.txt raises GCC's budget for the unit's growth):
//   eval/frame.h        frames, the evaluator's state, an error's place
//   eval/bindings.h     names to slots and cells, define, bind, the globals
//   eval/calls.h        argument vectors on the value stack, sends, calls,
//                       a procedure's call (run_procedure), compile
//   eval/expressions.h  eval over the node forms, operators, conditions
//   eval/statements.h   the statement loop, assignments, if, while, run
// The operators' rules are host/lang/operators.h's; values, drop and the
// value stack are host/runtime/runtime.h's.
//
// How it works. A text is read whole, then bound and run one
// statement at a time. Names are bound once: a procedure's when it is
// defined (local slot, instance variable or global cell), the top level's
// as its statements are read; a binding is an offset from one of the
// frame's three bases. The parser gives each node a form (Expr::Form)
// chosen from its shape, and eval dispatches on it: integer literals and
// names are read where they are used, an operator reads literals, nil and
// (when nothing evaluated after them can change them) names in place,
// without a reference, and works on two integers without touching an
// object. A number tree (a pure operator over literals and names) is
// computed as a Number without making an object; when it cannot be (an
// operand that is no number, an error to report), the general path
// evaluates the same tree again, which being pure gives the same operands.
// A float result is written into a float that only the operation holds
// (see rt::Ref for the rule).
//
// Ownership is in the types: a HostValue is borrowed, a Ref (or a
// value-stack slot, a frame's local, a global cell) owns one reference, and
// an expression's value comes back as an Owned (eval/frame.h), one word
// carrying one reference that the caller takes over at once, so a statement
// that fails releases what it made. It is not returned as a Ref: a class
// with a destructor comes back through memory, which every node would pay.
//
// Statements run through one loop, exec_block, taken in line by a `while`, a
// procedure call and the top level. A statement read at top level is bound
// before it runs (bind): the prompt's last bare expression becomes one whose
// value is shown, and with the coverage on a count of its line is put before
// each statement, so that the loop never tests whether lines are counted.
//
// Why a tree walker over bound nodes, not a compiled instruction form. What
// a compiled form chiefly buys, names resolved before they run and no test
// of a node's shape as it runs, the bound tree has already: a name is an
// offset from a base, a node's form is chosen once. What is left to gain is
// part of the dispatch over node forms, and that dispatch is a small part of
// a step: the evaluator's own share is about a third of a step's
// instructions (bench/HISTORY.md: churn 329 of 1546, send 535 of 940), the
// rest being the runtime's dispatch and the library. A compiled form would
// be a second representation for every change to the language, beside the
// tree that the parser, the coverage and the errors' lines need, and would
// need a table of lines where a node carries its own.
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
// (the library's errexit) read: the statement loop sets it as each statement
// begins, the call path (call_with, which every call and send takes) as each
// call begins, and place_at to the error's line, so that a traceback names
// the error's line in its innermost frame. After a call returns the frame
// keeps the call's line until the next statement or call. Each frame is one
// of the runtime's running calls (rt::Activation): an error takes its
// traceback from them at the innermost frame it leaves.
#include <cstdio>
#include <new>
#include <string>
#include <string_view>

#include "lang/eval/statements.h"

namespace zel::lang {

namespace {

// The runtime's place hook: where the innermost script frame is, as
// "file:line", or "" when no script runs.
std::string running_place() {
  for (const rt::Activation *a = rt::detail::innermost; a != nullptr; a = a->outer) {
    if (a->file != nullptr) return *a->file + ":" + std::to_string(a->line);
  }
  return {};
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

// The runtime's stack invoke hook: runs the procedure proc is
// (run_procedure); its result as a bare word, which carries the reference.
// Throws what run_procedure throws.
HostValue invoke_word(const void *proc, HostValue *argv, int32_t argc) {
  return run_procedure(*static_cast<const Procedure *>(proc), argv, argc).detach();
}

}  // namespace

void install() {
  rt::start();  // nil exists before any text runs (see nil())
  counters.stack_floor = rt::stack_floor();
  rt::set_language(exec_line, nullptr);
  rt::set_stack_invoke(invoke_word);
  rt::set_forget(forget);
  rt::set_place(running_place);
}

void set_step_budget(std::uint64_t steps) {
  counters.step_budget = steps;
  counters.steps_left = steps;
  step_watched = 1;
}

void interrupt(bool on) {
  interrupt_requested = on ? 1 : 0;
  if (on) step_watched = 1;
}

bool complete(std::string_view text) {
  try {
    check(text);
  } catch (const SyntaxError &error) {
    return !error.at_end;
  }
  return true;
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
