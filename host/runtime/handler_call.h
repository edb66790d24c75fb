// A built-in handler's call: the bound row it runs, the record of the call
// (HandlerCall) that keeps checkpar's reason and the error pending from
// obj_send, and call_row, which runs a row over a vector laid out for it.
// The runtime's sends and the language's sends that borrow their receiver
// (call_lent_row) run the same call_row in their own frames: the header is
// the runtime's, shared with the language only for that.
//
// Invariants: current_handler is the innermost running handler call, and
// the running ones form a chain through HandlerCall::outer; a call that is
// held holds a reference on its receiver and each argument (and so do all
// the calls outside it); a row's address never changes once bound (its
// table's node keeps it), so that a lookup line may point at it.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <utility>

#include "host/host.h"
#include "runtime/runtime.h"

// Hidden: the program reaches all of it from inside, a library never does,
// and none of it joins the symbols the program exports to libraries.
#pragma GCC visibility push(hidden)

namespace zel::rt {

// One bound row of a built-in table.
struct Row {
  std::string name;
  std::string display;  // "Class:name" for a class's row, the name for a module routine
  BuiltinHandler handler;
  int16_t argc;
  uint8_t argtype;
  // The argument counts that fit: bit k for k arguments (k < kManyArguments),
  // bit kManyArguments for any more; all of them for a row of any count (-1).
  uint8_t counts;
};

// The bit of Row::counts for counts from this one up.
constexpr int32_t kManyArguments = 2;

// The first error of a send that no caller can take at once, kept until it can.
using PendingError = std::unique_ptr<ScriptError>;

// Who holds the receiver and the arguments of a handler call. A call holds
// them with references of its own while it runs; a vector whose slots hold a
// reference each (the value stack) keeps them alive anyway, and then the
// call's references are taken only when a script may run inside it and look
// at the counts: kSlots. kNone: nothing does (a vector over borrowed values),
// and the call takes them as it starts.
enum class Holds : uint8_t { kNone, kSlots };

// Room for a handler call's place among the running calls (rt::Activation),
// left unwritten until the call joins them: a handler that runs no script
// costs no stores for it.
union ActivationSlot {
  ActivationSlot() {}
  Activation activation;
};

// Room for a receiver, left unwritten unless a call puts it there.
union ReceiverSlot {
  ReceiverSlot() {}
  HostValue value;
};

// The state of one running built-in handler; the running ones form a chain
// from the innermost through `outer`. A call whose receiver and arguments
// carry its references is held (kHeld), and so are all the calls outside it.
// The reason and the error are made only when either is first needed
// (kErrors), and freed out of line, so that a call that needed neither writes
// nothing to them and keeps no registers for them. A call none of whose
// kChanges bits is set ends as it began: one test at its end.
struct HandlerCall {
  // The bits of `state` that change while the call runs.
  static constexpr uint64_t kHeld = 1;
  // The call joined the running calls, which it does only once a script may
  // run inside it: `slot` holds its activation from then on.
  static constexpr uint64_t kJoined = 2;
  // The reason and the error are made (errors()); either may be empty.
  static constexpr uint64_t kErrors = 4;
  static constexpr uint64_t kChanges = kHeld | kJoined | kErrors;

  // The bits of `state` set as the call begins, the values whose slots hold
  // no reference of their own (call_lent_row). The call's holds take one on
  // each of them as well, the one such a slot would hold, so that the counts
  // a script sees are the same, and the end of the call drops them with the
  // holds. 0 (kOwned): every slot holds its reference.
  static constexpr uint64_t kOwned = 0;
  // The receiver, in argv[0], which keeps it for the length of the call.
  static constexpr uint64_t kReceiverInArgv = 8;
  // The receiver, in `receiver` (a class-level routine's; argv[0] holds nil).
  static constexpr uint64_t kReceiverInCall = 16;
  // Argument 1, in argv[-1].
  static constexpr uint64_t kArgument = 32;

  // The bits of `state` from this one up hold the argument count.
  static constexpr int kArgcShift = 32;

  HandlerCall(const Row &r, HandlerCall *out, HostValue *args, int32_t count, bool is_held, uint64_t borrowed)
      : row(r),
        outer(out),
        argv(args),
        state(static_cast<uint64_t>(count) << kArgcShift | borrowed | (is_held ? kHeld : 0)) {}

  const Row &row;
  HandlerCall *outer;
  HostValue *argv;
  // The bits above and the argument count in one word of 64 bits, which the
  // call's start sets with one store (of a constant where the count is
  // known; two words of 32 would be stored as a pair read from constant
  // memory).
  uint64_t state;
  union {
    std::unique_ptr<std::string> reason;  // why checkpar refused, if it did
  };
  union {
    PendingError pending;  // the first error a nested send raised
  };
  // A class-level routine's receiver, which its call puts back in argv[0]
  // when it ends (the slot holds nil meanwhile); unwritten for other rows.
  ReceiverSlot receiver;
  ActivationSlot slot;

  ~HandlerCall() {
    // changed() first: the test the call's end made (call_row), so that the
    // compiler knows its answer there and tests nothing more.
    if (changed() && (state & kErrors)) [[unlikely]]
      free_errors();
  }

  // Whether the call's state changed since it began: then its end has more
  // to do (kChanges). Cannot fail.
  bool changed() const { return (state & kChanges) != 0; }

  // The number of arguments in argv. Cannot fail.
  int32_t argc() const { return static_cast<int32_t>(state >> kArgcShift); }

  // The reason and the error, made empty when the call has not made them
  // yet. Cannot fail.
  [[gnu::noinline, gnu::cold]] HandlerCall &errors() {
    if (!(state & kErrors)) {
      new (&reason) std::unique_ptr<std::string>();
      new (&pending) PendingError();
      state |= kErrors;
    }
    return *this;
  }

  // Why checkpar refused, or null when it did not.
  const std::string *refusal_reason() const { return state & kErrors ? reason.get() : nullptr; }

  // The first error a nested send raised, or null.
  const ScriptError *pending_error() const { return state & kErrors ? pending.get() : nullptr; }

  // Takes the references of the borrowed values (see kOwned), beside the
  // holds. Cannot fail.
  void take_borrowed() const {
    if (state & kReceiverInArgv) host::ref_take(argv[0]);
    if (state & kReceiverInCall) host::ref_take(receiver.value);
    if (state & kArgument) host::ref_take(argv[-1]);
  }

  // Drops what take_borrowed took, in its order. Cannot fail.
  void drop_borrowed() const {
    if (state & kReceiverInArgv) drop(argv[0]);
    if (state & kReceiverInCall) drop(receiver.value);
    if (state & kArgument) drop(argv[-1]);
  }

  // Frees the reason and the error.
  [[gnu::noinline, gnu::cold]] void free_errors() {
    reason.~unique_ptr();
    pending.~unique_ptr();
  }
};

// The innermost running handler call: a plain word, so that a send reads it
// without making the dispatch tables.
inline HandlerCall *current_handler = nullptr;

// Makes call the innermost of the running calls, where a traceback finds
// it; takes it out of them again if it joined them. Cannot fail.
[[gnu::noinline]] void join_running_calls(HandlerCall &call);
[[gnu::noinline]] void leave_running_calls(const HandlerCall &call);

// Makes a handler call the innermost for its lifetime; when it has become
// one of the running calls, it leaves them at the end. While the calls are
// watched, every handler call joins them as it begins.
class HandlerScope {
 public:
  explicit HandlerScope(HandlerCall &call) : call_(call) {
    current_handler = &call;
    if (detail::call_watcher != nullptr) [[unlikely]]
      join_running_calls(call);
  }
  // In line also where an error unwinds the call, so that the scope keeps
  // the call's address in no memory of its own.
  ZEL_HOT_INLINE ~HandlerScope() {
    current_handler = call_.outer;
    if (call_.changed()) [[unlikely]]
      leave_running_calls(call_);
  }
  HandlerScope(const HandlerScope &) = delete;
  HandlerScope &operator=(const HandlerScope &) = delete;

 private:
  HandlerCall &call_;
};

// Takes a reference on argv[0] (the receiver) to argv[-argc]. Cannot fail.
void take_holds(HostValue *argv, int32_t argc);

// True when the arguments fit what the row states: its count, and the type
// of argument 1 when it names one. Only a row of one argument names a type
// (init_built_in), so that a count known to be another tests none.
inline bool fits_row(const Row &row, const HostValue *argv, int32_t argc) {
  return (row.counts & (1u << std::min(argc, kManyArguments))) != 0 &&
         (argc != 1 || row.argtype == 0 || host::has_type(argv[-1], row.argtype));
}

// Throws the error of arguments that do not fit what the row states. A row of
// any count (-1) names no type (init_built_in refuses it), so it fits always.
[[noreturn, gnu::cold, gnu::noinline]] void refuse_unfit(const Row &row, const HostValue *argv, int32_t argc);

// The end of a handler call whose state changed (HandlerCall::changed), or
// that failed, once its scope ended: drops the references if it took them,
// then throws the error the call ended in: the first error of a nested send
// (the result, if any, is dropped), else the refusal of the arguments;
// otherwise returns the result.
[[gnu::noinline]] Ref end_call(const HandlerCall &call, HostValue result);

// Runs a built-in row over a vector laid out for it (argv[0] the receiver,
// argument k at argv[-k]): checks the arguments the row states, holds the
// receiver and the arguments for the length of the call (see Holds), and
// turns a refusal or a pending error into a ScriptError. A class-level
// routine (kClassRow), which does not read its receiver, finds nil in the
// receiver's slot for the length of the call: the receiver waits in the
// call's record, which the running calls reach through current_handler, so
// that it is read back from memory rather than kept in a register across the
// handler; it goes back to its slot as the call ends unless the slot is
// borrowed, which its caller gives back unread. kBorrowed, kArgBorrowed: the
// receiver's slot, argument 1's slot holds no reference (see
// HandlerCall::kOwned); a borrowed class receiver is lent_class, handed over
// directly, and its caller lays out nil in the slot.
template <bool kClassRow = false, bool kBorrowed = false, bool kArgBorrowed = false>
[[gnu::always_inline]] inline Ref call_row(const Row &row, HostValue *argv, int32_t argc, Holds holds,
                                           HostValue lent_class = 0) {
  if (!fits_row(row, argv, argc)) [[unlikely]]
    refuse_unfit(row, argv, argc);
  const bool held = holds == Holds::kNone;
  constexpr uint64_t receiver = !kBorrowed  ? HandlerCall::kOwned
                                : kClassRow ? HandlerCall::kReceiverInCall
                                            : HandlerCall::kReceiverInArgv;
  constexpr uint64_t how = receiver | (kArgBorrowed ? HandlerCall::kArgument : HandlerCall::kOwned);
  HandlerCall call(row, current_handler, argv, argc, held, how);
  // A class receiver is made after nil, so nil's word is set.
  if constexpr (kClassRow && kBorrowed)
    call.receiver.value = lent_class;
  else if constexpr (kClassRow)
    call.receiver.value = std::exchange(argv[0], detail::nil_word);
  if (held) take_holds(argv, argc);
  HostValue result;
  // Read once the handler returned, when nothing is left to change it, so
  // that the scope's end and the call's end test the state once.
  bool changed;
  {
    HandlerScope scope(call);
    result = call.row.handler(call.argc(), call.argv);
    changed = call.changed();
  }
  constexpr bool kRestore = kClassRow && !kBorrowed;
  // What the call needs after the handler is read back from `call`, so that
  // the common case keeps nothing else across the handler, and frees nothing.
  if (changed || result == host::kFailure) [[unlikely]] {
    if constexpr (kRestore) {
      // The receiver goes back once end_call has dropped the holds, which
      // include the nil in its slot, or has thrown.
      struct Restore {
        const HandlerCall &call;
        ~Restore() { call.argv[0] = call.receiver.value; }
      } restore{call};
      return end_call(call, result);
    }
    return end_call(call, result);
  }
  if constexpr (kRestore) call.argv[0] = call.receiver.value;
  return Ref::adopt(result);
}

// call_row over a vector whose receiver slot holds no reference of its own,
// to a receiver for which the row was found with nothing run since that could
// move the epoch on: kClass, a class value cls for which class_row_hit found
// a class-level row (the caller lays out nil in its slot), else a script
// object for which object_line_hit found one (it stays in its slot), or a send
// site's line (SiteLine) kept what they found in this epoch. The caller
// keeps the receiver bound (nothing it runs before the call can unbind it)
// and leaves the slot without a drop. The call takes the slot's reference
// itself should a script run inside it, so the counts a script sees are as
// send_word's, and drops it as it ends. The vector holds kArity arguments,
// none or one (the counts of a send that borrows its receiver).
// kArgBorrowed: argument 1's slot holds no reference either, a variable's
// value that the caller keeps assigned; the call takes that one too. Answers
// the reply as a bare word, which carries the reference; throws what
// call_row throws.
template <bool kClass, int32_t kArity, bool kArgBorrowed>
[[gnu::always_inline]] inline HostValue call_lent_row(const Row &row, HostValue *argv, HostValue cls = 0) {
  return call_row<kClass, true, kArgBorrowed>(row, argv, kArity, Holds::kSlots, cls).detach();
}

}  // namespace zel::rt

#pragma GCC visibility pop
