// Part of the evaluator (see host/lang/eval.cpp and eval/frame.h): calls
// and the value stack. A send's or a call's argument vector (call_with,
// which every send, routine call and super send takes, or call_lent), a
// script procedure's call (run_procedure, also the runtime's hook) with its
// locals, and compile.
//
// Invariants: an argument vector lies on the value stack (rt::take_slots):
// argv[0] the receiver, argument k at argv[-k], each slot holding one
// reference (but a borrowed receiver's), dropped after the call in order and
// then the receiver, or as far as it was made when anything fails; a vector
// none of whose slots holds one (call_lent) lies in its caller's frame. A
// procedure's locals follow it there: its parameters, sharing the arguments'
// objects, then nil. While a call runs, its line is the frame's running
// line. Procedure calls and compiles nest at most kMaxDepth deep.
#pragma once

#include <cstddef>
#include <string>
#include <type_traits>

#include "lang/eval/bindings.h"
#include "lang/files.h"
#include "lang/profile.h"
#include "runtime/handler_call.h"

namespace zel::lang {

namespace {

// Procedure calls and compiles nested deeper than this fail instead of
// exhausting the stack.
constexpr int kMaxDepth = 400;

// Whether v is a string.
bool is_string(HostValue v) {
  return host::has_type(v, host::kString);
}

// The value of an expression (expressions.h).
Owned eval(const Expr &e, Frame &f);

// The compile routine and a procedure's run (below).
Ref compile(const HostValue *argv, int32_t argc);
Owned run_procedure(const Procedure &proc, HostValue *argv, int32_t argc);

// The argument vector of a call or send on the value stack: argv[0] the
// receiver, argument k at argv[-k], each slot holding one reference.

// Drops the arguments from the last made back to the first, then the
// receiver unless its slot holds no reference (borrowed), and gives the
// slots of a vector of argc arguments back.
inline void drop_vector(HostValue *argv, int32_t made, int32_t argc, bool borrowed) {
  for (int32_t k = made; k >= 1; --k) rt::drop(argv[-k]);
  if (!borrowed) rt::drop(argv[0]);
  rt::give_back_slots(static_cast<size_t>(argc) + 1);
}

// Lays out the receiver (whose reference it takes over) and the arguments
// of e, evaluated in order, and then makes the call; after it, drops the
// arguments in order and then the receiver. Should anything fail, what was
// made is dropped. kArity, when not negative, is e's argument count, known
// where the call is compiled, so that the common counts lay out and drop
// their slots without a loop. kBorrowed: the receiver is borrowed (a bare
// HostValue: nil, which is permanent, or a receiver its caller keeps bound:
// see rt::call_lent_row), its slot holds no reference and it is never
// dropped; otherwise it is Owned, and its slot takes the reference over.
template <int32_t kArity = -1, bool kBorrowed = false, typename Call>
ZEL_HOT_INLINE Owned call_with(const Expr &e, std::conditional_t<kBorrowed, HostValue, Owned> receiver,
                               Frame &f, Call call) {
  HostValue word;
  if constexpr (kBorrowed) {
    word = receiver;
  } else {
    word = receiver.detach();
  }
  const int32_t argc = kArity >= 0 ? kArity : static_cast<int32_t>(e.args.size());
  HostValue *argv;
  try {
    argv = rt::take_slots(static_cast<size_t>(argc) + 1) + argc;
  } catch (...) {
    if (!kBorrowed) rt::drop(word);  // the call cannot be laid out
    throw;
  }
  argv[0] = word;
  const std::unique_ptr<Expr> *arg = e.args.data();
  const std::unique_ptr<Expr> *const end = kArity >= 0 ? arg + kArity : std::to_address(e.args.end());
  HostValue *next = argv - 1;  // the next argument's slot
  try {
    for (; arg != end; ++arg, --next) *next = eval(**arg, f).word;
  } catch (...) {
    drop_vector(argv, static_cast<int32_t>(argv - 1 - next), argc, kBorrowed);
    throw;
  }
  // The call's line is the frame's running line while it runs (see the
  // file's header).
  f.line = e.line;
  HostValue result;
  try {
    result = call(argv, argc).detach();
  } catch (...) {
    drop_vector(argv, argc, argc, kBorrowed);
    throw;
  }
  for (HostValue *slot = argv - 1; slot != next; --slot) rt::drop(*slot);
  if constexpr (!kBorrowed) rt::drop(argv[0]);
  rt::give_back_slots(static_cast<size_t>(argc) + 1);
  return {result};
}

// Lays out a vector of kArity arguments, none or one, over a receiver and
// an argument that are both borrowed: the receiver a bare word its caller
// keeps bound, the argument arg, the value of a variable (Expr::arg_name),
// which a send that borrows keeps bound too (see Expr::borrows). No slot
// holds a reference, so the vector lies in this frame rather than on the
// value stack, and nothing is dropped after the call. Then makes the call,
// at the send's line as call_with does.
template <int32_t kArity, typename Call>
ZEL_HOT_INLINE Owned call_lent(const Expr &e, HostValue receiver, HostValue arg, Frame &f, Call call) {
  HostValue vector[kArity + 1];
  HostValue *const argv = vector + kArity;
  argv[0] = receiver;
  if constexpr (kArity == 1) argv[-1] = arg;
  f.line = e.line;
  return call(argv, kArity);
}

// The message of a send, to the receiver and arguments laid out.
inline Ref send_message(const Expr &e, HostValue *argv, int32_t argc) {
  return rt::send(e.sel, argv, argc);
}

// A send of two arguments or more: call_with over any count, out of line so
// that the common counts' path keeps its registers.
[[gnu::noinline]] Owned eval_send_any(const Expr &e, Owned receiver, Frame &f) {
  return call_with(e, receiver, f,
                   [&e](HostValue *argv, int32_t argc) { return send_message(e, argv, argc); });
}

// The rest of a send once its receiver is evaluated: the arguments, then the
// message. Sends of no argument or one, the most frequent, take call_with at
// their count.
ZEL_HOT_INLINE Owned send_to(const Expr &e, Owned receiver, Frame &f) {
  const auto send = [&e](HostValue *argv, int32_t argc) { return send_message(e, argv, argc); };
  switch (e.args.size()) {
    case 0:
      return call_with<0>(e, receiver, f, send);
    case 1:
      return call_with<1>(e, receiver, f, send);
    default:
      return eval_send_any(e, receiver, f);
  }
}

// A send whose receiver is evaluated as any expression.
[[gnu::noinline]] Owned eval_value_send(const Expr &e, Frame &f) {
  check_stack(e, f);
  return send_to(e, eval(*e.receiver, f), f);
}

// A send whose receiver is a variable, of the value v (borrowed).
[[gnu::noinline]] Owned eval_variable_send(const Expr &e, Frame &f, HostValue v) {
  check_stack(e, f);
  return send_to(e, Owned::share(v), f);
}

// Runs the built-in row a send that borrows its receiver found at once
// (rt::call_lent_row, in this frame) over the vector of kArity arguments laid
// out; kArgBorrowed as rt::call_lent_row's. Found is what the send found,
// read as the call is made: a script object's row (rt::Row), the receiver
// lying in the vector, or a node's class line (rt::SiteLine: the class and
// its class-level row), nil lying in the receiver's slot.
template <typename Found, int32_t kArity, bool kArgBorrowed>
struct RowCall {
  const Found &found;
  ZEL_HOT_INLINE Owned operator()(HostValue *argv, int32_t) const {
    if constexpr (std::is_same_v<Found, rt::Row>) {
      return Owned{rt::call_lent_row<false, kArity, kArgBorrowed>(found, argv)};
    } else {
      const auto &row = *static_cast<const rt::Row *>(found.target.what);
      return Owned{rt::call_lent_row<true, kArity, kArgBorrowed>(row, argv, found.value)};
    }
  }
};

// A send that borrows its receiver, a bare word, to what RowCall finds, of
// one argument that is no variable: call_with, out of line so that the sends of
// call_lent keep no registers for it. A class line is read before the
// argument, which may run the node again and fill it anew.
template <typename Found>
[[gnu::noinline]] Owned eval_row_send(const Expr &e, Frame &f, HostValue receiver, const Found &found) {
  if constexpr (std::is_same_v<Found, rt::SiteLine>) {
    const rt::SiteLine kept = found;
    return call_with<1, true>(e, receiver, f, RowCall<Found, 1, false>{kept});
  } else {
    return call_with<1, true>(e, receiver, f, RowCall<Found, 1, false>{found});
  }
}

// The rest of a send that borrows its receiver, a bare word (nil for a
// class), once RowCall's Found is found: call_lent for no argument or a
// variable, else eval_row_send (also for a name that stands for a class,
// whose lookup may call out, so that this path keeps no registers across a
// call).
template <typename Found>
ZEL_HOT_INLINE Owned row_with(const Expr &e, HostValue receiver, Frame &f, const Found &found) {
  if (e.arg_name >= 0) {
    const HostValue arg = slot_of(e.arg_name, f);
    if (arg != 0) return call_lent<1>(e, receiver, arg, f, RowCall<Found, 1, true>{found});
  } else if (e.args.empty()) {
    return call_lent<0>(e, receiver, 0, f, RowCall<Found, 0, false>{found});
  }
  return eval_row_send(e, f, receiver, found);
}

// A send that borrows its receiver, a variable's value v, to the built-in
// row send_found was given: run over a receiver slot that borrows v
// (rt::call_lent_row).
[[gnu::noinline]] Owned eval_object_row_send(const Expr &e, Frame &f, HostValue v, const rt::Row &row) {
  check_stack(e, f);
  return row_with(e, v, f, row);
}

// A send that borrows its receiver, a variable's value v, to the procedure
// send_found was given: run from here as the runtime's hook would run it,
// over a slot that shares v, a script object, of kArity arguments, none or
// one.
template <int32_t kArity>
[[gnu::noinline]] Owned eval_procedure_send(const Expr &e, Frame &f, HostValue v, const Procedure &proc) {
  if (!host::is_object(v)) __builtin_unreachable();  // so that sharing v tests nothing
  check_stack(e, f);
  return call_with<kArity>(e, Owned::share(v), f, [&proc](HostValue *argv, int32_t argc) {
    return run_procedure(proc, argv, argc);
  });
}

// Runs a send that may borrow its receiver (Expr::borrows), a variable's
// value v, by what its message finds at once (hit; null when a lookup must
// look further): eval_procedure_send or eval_object_row_send, else
// eval_variable_send.
ZEL_HOT_INLINE Owned send_found(const Expr &e, Frame &f, HostValue v, const rt::Target *hit) {
  if (hit != nullptr && hit->kind == rt::Target::Kind::kProcedure) {
    const Procedure &proc = *static_cast<const Procedure *>(hit->what);
    return e.args.empty() ? eval_procedure_send<0>(e, f, v, proc) : eval_procedure_send<1>(e, f, v, proc);
  }
  if (hit != nullptr && hit->kind == rt::Target::Kind::kRow)
    return eval_object_row_send(e, f, v, *static_cast<const rt::Row *>(hit->what));
  return eval_variable_send(e, f, v);
}

// eval_borrowing_send past the node's line: the selector's method line
// (rt::object_line_hit), which fills the node's line when it answers.
[[gnu::noinline]] Owned eval_object_send_missed(const Expr &e, Frame &f, HostValue v) {
  const rt::Target *hit = rt::object_line_hit(e.sel, v);
  if (hit != nullptr) e.object_site.fill(rt::object_key(v), 0, *hit);
  return send_found(e, f, v, hit);
}

// A send that may borrow its receiver, a variable's value v: send_found by
// what the node's line (Expr::object_site) keeps for v's class, else
// eval_object_send_missed. Only picks the path, in line in eval_send, which
// keeps no registers.
ZEL_HOT_INLINE Owned eval_borrowing_send(const Expr &e, Frame &f, HostValue v) {
  const rt::Target *hit = e.object_site.hit(rt::object_key(v));
  if (hit == nullptr) [[unlikely]]
    return eval_object_send_missed(e, f, v);
  return send_found(e, f, v, hit);
}

// eval_class_send and its path past the node's line (below).
Owned eval_class_send(const Expr &e, Frame &f, Cell &c);
Owned eval_class_send_missed(const Expr &e, Frame &f, Cell &c);

// eval_class_send past the node's line: the class the name's cell c holds
// in this epoch and the class-level row the send finds at once
// (rt::class_row_hit), kept in the node's line (Expr::class_site). False
// when there is no such row; fails when the name stands for no class.
[[gnu::noinline]] bool fill_class_site(const Expr &e, Frame &f, Cell &c) {
  const rt::Class &cls = class_in_cell(*e.receiver, f, c);
  const rt::Target *hit = rt::class_row_hit(e.sel, &cls);
  if (hit == nullptr) return false;
  e.class_site.fill(&c, cls.value, *hit);
  return true;
}

// A send to the class a name stands for, which borrows it (see
// Expr::borrows): the class-level row the node's line keeps for the name's
// cell c (the dispatcher found it empty), or finds (fill_class_site), runs
// over a receiver slot that borrows the class (rt::call_lent_row); any other
// send is eval_value_send's.
[[gnu::noinline]] Owned eval_class_send(const Expr &e, Frame &f, Cell &c) {
  check_stack(e, f);
  if (e.class_site.hit(&c) == nullptr) [[unlikely]]
    return eval_class_send_missed(e, f, c);
  return row_with(e, nil(), f, e.class_site);
}

// eval_class_send past the node's line: fills it (fill_class_site) and runs
// the send again, which the line then answers; else eval_value_send. Out of
// line, and reached by a jump, so that eval_class_send keeps no registers
// across it.
[[gnu::noinline]] Owned eval_class_send_missed(const Expr &e, Frame &f, Cell &c) {
  return fill_class_site(e, f, c) ? eval_class_send(e, f, c) : eval_value_send(e, f);
}

// A send: the receiver, then the arguments, then the message. Only picks the
// path by the receiver, so that it keeps no registers.
[[gnu::noinline]] Owned eval_send(const Expr &e, Frame &f) {
  if (e.name < 0) return eval_value_send(e, f);  // the receiver is no name
  HostValue &slot = slot_of(e.name, f);
  if (!e.borrows) return slot != 0 ? eval_variable_send(e, f, slot) : eval_value_send(e, f);
  if (slot != 0) return eval_borrowing_send(e, f, slot);
  // An empty slot is a global cell's (see Cell), the only slot left unset.
  return eval_class_send(e, f, *reinterpret_cast<Cell *>(&slot));
}

// Runs the global routine a call names on the arguments laid out: a script
// procedure here as rt::call would run it, found after the arguments (which
// may redefine it); none is named compile. Taken in line by each count's
// call_with, as a lambda would not be.
struct RoutineCall {
  const Expr &e;
  ZEL_HOT_INLINE Owned operator()(HostValue *argv, int32_t argc) const {
    const rt::Target t = rt::routine_target(e.sel);
    if (t.kind == rt::Target::Kind::kProcedure)
      return run_procedure(*static_cast<const Procedure *>(t.what), argv, argc);
    static const rt::Selector *const kCompile = rt::selector("compile");
    return Owned{(e.sel->folded == kCompile ? compile(argv, argc) : rt::call(e.sel, argv, argc)).detach()};
  }
};

// A routine call of two arguments or more, or a super send: call_with over
// any count, out of line so that the common counts' path keeps its registers.
[[gnu::noinline]] Owned eval_call_any(const Expr &e, Frame &f) {
  if (e.kind == Expr::Kind::kCall) return call_with<-1, true>(e, nil(), f, RoutineCall{e});
  const rt::Class &cls = method_class(f, "super");
  if (!cls.parent) fail(cls.name + " has no superclass");
  return call_with(e, Owned::share(f.self), f, [&e, &cls](HostValue *argv, int32_t argc) {
    return rt::send_from(cls.parent, e.sel, argv, argc);
  });
}

// A routine call or a super send. Routine calls of no argument or one, the
// most frequent, take call_with at their count.
[[gnu::noinline]] Owned eval_call(const Expr &e, Frame &f) {
  check_stack(e, f);
  const RoutineCall call{e};
  if (e.kind == Expr::Kind::kCall) {
    switch (e.args.size()) {
      case 0:
        return call_with<0, true>(e, nil(), f, call);
      case 1:
        return call_with<1, true>(e, nil(), f, call);
      default:
        break;
    }
  }
  return eval_call_any(e, f);
}

// Counts a procedure call or a compile for the length of its run; refuses one
// nested too deeply.
class Nesting {
 public:
  Nesting() {
    if (counters.depth >= kMaxDepth) fail("calls nested too deeply");
    ++counters.depth;
  }
  ~Nesting() { --counters.depth; }
  Nesting(const Nesting &) = delete;
  Nesting &operator=(const Nesting &) = delete;
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
    const rt::Class *const cls = proc_.cls;  // read while the procedure lives
    unuse(&proc_);
    if (cls != nullptr) rt::drop(cls->value);
  }
  Use(const Use &) = delete;
  Use &operator=(const Use &) = delete;

 private:
  Procedure &proc_;
};

// The locals of a call on the value stack: the parameters first, sharing the
// arguments' objects, then nil in every other local. Each holds a reference,
// dropped on the way out. argc is the procedure's parameter count, checked
// by the caller: where it is known as the call is compiled, the parameters
// are laid out without a loop.
class Locals {
 public:
  ZEL_HOT_INLINE Locals(const Procedure &proc, const HostValue *argv, int32_t argc)
      : base_(rt::take_slots(proc.local_count)), count_(proc.local_count) {
    const size_t params = static_cast<size_t>(argc);
    HostValue *const base = base_;
    for (size_t i = 0; i < params; ++i) {
      base[i] = argv[-static_cast<ptrdiff_t>(i + 1)];
      host::ref_take(base[i]);
    }
    const size_t count = count_;
    if (params < count) {
      const HostValue none = nil();
      for (size_t i = params; i < count; ++i) base[i] = none;
    }
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

// Runs the body of the procedure whose frame f is, as the innermost of the
// calls running: its result (nil without a `return`), taken from the
// frame, or the error that left it, given the calls running (trace).
ZEL_HOT_INLINE Owned run_body(const Procedure &proc, Frame &f) {
  const rt::Activate running(f);
  try {
    if (exec_block(proc.def->body, f) == Flow::kReturn) return {f.result};
  } catch (ScriptError &error) {
    trace(error);
    throw;
  }
  return {nil()};
}

// run_body for a call made while a procedure is profiled: the profiler
// brackets it when it is a call of that procedure.
[[gnu::noinline, gnu::cold]] Owned run_profiled(const Procedure &proc, Frame &f) {
  const Profiling profiling(rt::profiling(proc.display));
  return run_body(proc, f);
}

// Runs a procedure with the arguments of a stack vector (argv[0] self, nil
// for a global procedure): its result. Profiled when the program asked for
// it. Fails for a wrong argument count, calls nested too deeply, the step
// budget spent, and with whatever error leaves its body. Taken in line
// where a script calls a global procedure, and by the runtime's hook.
ZEL_HOT_INLINE Owned run_procedure(const Procedure &proc, HostValue *argv, int32_t argc) {
  if (static_cast<size_t>(argc) != proc.params) [[unlikely]]
    wrong_count(proc, argc);
  const Use use(proc);
  const Locals locals(proc, argv, argc);
  // Only a method's bindings use self's instance variables; elsewhere self is
  // nil and the base is never read.
  Frame f(&proc.def->file, &proc.display, &proc, argv[0], proc.bindings.data(), locals.base(),
          reinterpret_cast<uintptr_t>(host::slots(argv[0])));
  try {
    const Nesting nesting;
    spend_step();
    if (rt::detail::any_profiled) [[unlikely]]
      return run_profiled(proc, f);
    return run_body(proc, f);
  } catch (...) {
    rt::drop(f.result);  // what a `return` gave before a failure, or nil
    throw;
  }
}

// compile "NAME:file" reads and runs the file compile_path names.
Ref compile(const HostValue *argv, int32_t argc) {
  if (argc != 1 || !is_string(argv[-1])) fail("compile expects one string, \"NAME:file\"");
  const std::string path = compile_path(host::chars_of(argv[-1]));
  const Nesting nesting;
  run_file(path);
  return rt::make_int(1);
}

}  // namespace

}  // namespace zel::lang
