// The runtime of the zel interpreter, as the language and the program see it:
// values with RAII references, classes, dispatch, assignment, printing, the
// profiler, the clock, accounting and the recorder for tests.
//
// The C operations of include/host/host.h (the ones a plug-in library calls)
// are implemented by the runtime as well; this header is the C++ side.
//
// Objects. Every object lives in an arena mapped at 0x50000000. Besides the
// shared type codes (float 1, nil 2, built-in record 3, string 4) the runtime
// has its own: kName, kArray, kClass and kScriptObject below. Arrays and script
// objects keep one word after the header (a script object: the value of its
// class, with a reference; an array: nil) and their slots after that
// (host::slot). A class value keeps its Class pointer in that word. Nil, names
// and the root class are permanent. Every object is readable for at least the size of a float
// (host::HostFloat), so a library that reads any object as a number reads
// bytes of that object, whatever its type.
//
// Names. Routine, method and class names are matched without regard to case;
// instance variable names exactly.
//
// Errors. Every failure of a script-level operation throws ScriptError. A
// ScriptError never crosses an extern "C" function: obj_send keeps it pending
// and the runtime raises it again when the built-in handler that called
// obj_send returns. A message the library sends outside any built-in handler
// (a clear hook run by a release, a profiler hook) has no handler to fail:
// its error is kept as the stray error until the language takes it.
#pragma once

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "host/host.h"

// A rule the hot paths take, forced in line where the build optimises. An
// unoptimised build (debugging, coverage) keeps one copy of it, which a
// debugger steps into and coverage counts once, not once per caller.
#ifdef __OPTIMIZE__
#define ZEL_HOT_INLINE [[gnu::always_inline]] inline
#else
#define ZEL_HOT_INLINE inline
#endif

namespace zel::rt {

// The runtime's own type codes.
inline constexpr uint8_t kName = 5;
inline constexpr uint8_t kArray = 6;
inline constexpr uint8_t kClass = 7;
inline constexpr uint8_t kScriptObject = 8;

// A failure in a script: a message, and where it happened once the language
// knows (file empty and line 0 until then).
struct ScriptError {
  ScriptError(std::string message_text, std::string file_name = {}, int line_number = 0)
      : message(std::move(message_text)), file(std::move(file_name)), line(line_number) {}

  std::string message;
  std::string file;
  int line = 0;
  // The calls that were running where the error happened, outermost first,
  // one line each (see traceback()); empty until the language records them.
  std::vector<std::string> trace;

  // "file:line: message", or the message alone when no place is known.
  std::string text() const;
};

// The calls running, linked from the innermost through `outer`: the frame of
// each script procedure call and of each text run at top level (file and the
// line it runs), and each built-in handler once a script may run inside it
// (no file: it runs at its caller's line). Tracebacks read them; so does
// the call watcher below.
struct Activation {
  const Activation *outer;  // set as it becomes the innermost
  const std::string *file;  // null for a built-in
  const std::string *name;  // "Class:name" or "name"; null for a text at top level
  int line;
};

// Watches the running calls (the whole-program profile and coverage): while
// one is set, each activation is handed to `began` once it is the innermost
// and to `ended` just before it stops being so: in the order of a stack, so
// a watcher can keep what it needs of each running call beside it. Neither
// may throw.
struct CallWatcher {
  void (*began)(const Activation &call) noexcept;
  void (*ended)(const Activation &call) noexcept;
};

namespace detail {
inline const Activation *innermost = nullptr;
inline const CallWatcher *call_watcher = nullptr;
// Hand a call to the watcher; out of line, so that a guard stays small
// wherever it is taken in line.
[[gnu::cold, gnu::noinline]] void watch_began(const Activation &call) noexcept;
[[gnu::cold, gnu::noinline]] void watch_ended(const Activation &call) noexcept;
}  // namespace detail

// Sets the watcher of every activation from now on (null: none). Only while
// no call runs, so that each call watched began watched.
inline void watch_calls(const CallWatcher *watcher) {
  detail::call_watcher = watcher;
}

// Makes an activation the innermost for the guard's lifetime. Without a call
// watcher, one test of a word is all the watching costs.
class Activate {
 public:
  explicit Activate(Activation &a) noexcept : a_(a) {
    a.outer = std::exchange(detail::innermost, &a);
    if (detail::call_watcher != nullptr) [[unlikely]]
      detail::watch_began(a);
  }
  ~Activate() {
    if (detail::call_watcher != nullptr) [[unlikely]]
      detail::watch_ended(a_);
    detail::innermost = a_.outer;
  }
  Activate(const Activate &) = delete;
  Activate &operator=(const Activate &) = delete;

 private:
  const Activation &a_;
};

// The running calls, outermost first, one line each: "FILE:LINE: at top
// level", "FILE:LINE: in NAME", and for a built-in "FILE:LINE: in NAME
// (built-in)" at the line of the script that called it. Cannot fail but for
// memory.
std::vector<std::string> traceback();

// Maps the arena and makes nil and the root class. Idempotent; every other
// function of the runtime calls it when needed, so calling it is optional.
void start();

namespace detail {
// The nil object once start() has made it, 0 before: the inline test that
// the runtime has started.
inline HostValue nil_word = 0;
// The rest of drop for an object whose count is 1 or less.
void drop_last(HostValue v) noexcept;
}  // namespace detail

// The nil object (made by start() on first use).
HostValue nil_value_slow();
inline HostValue nil_value() {
  return detail::nil_word != 0 ? detail::nil_word : nil_value_slow();
}

// Drops one reference (the decrement rule) without recording an operation:
// the one drop of the interpreter, which every owner of a reference (Ref,
// the value stack's slots, the language's locals and cells) takes. An
// integer and a permanent object are left alone; the common case, an object
// that keeps other references, is inline; a count of 1 (a last reference)
// or 0 (a released object's, which drop_last reports) goes to drop_last.
//
// The word 0 is no value: only the language's global cells hold it, meaning
// "not defined", and they are read, or filled with nil before they are
// written, never dropped. Guarding drop against it would cost two
// instructions per drop (1% of the walk benchmark); debug builds check it.
// drop_object is drop past the test of an object, for a caller that has
// made it already.
[[gnu::always_inline]] inline void drop_object(HostObject *o) noexcept {
  if (o->refcount > 1) {
    --o->refcount;
    return;
  }
  if (o->refcount < 0) return;
  detail::drop_last(host::value_of(o));
}
inline void drop(HostValue v) noexcept {
  assert(v != 0 && "the word 0 is no value");
  if (!host::is_object(v)) return;
  drop_object(host::object_of(v));
}

// RAII owner of one reference to a value: the owned value's type, where a
// HostValue word is borrowed (the language's evaluator hands a reference on
// in a word of its own type, Owned, in host/lang/eval/frame.h). Integers and
// permanent objects are held too, at no cost. Empty (default made, moved
// from or detached), a Ref holds the integer 0, whose drop costs nothing.
//
// The language writes a float result in place on one rule: every holder of
// a float or string object counts itself in its count (a Ref, a value-stack
// slot, a local, an instance variable, a global cell, an element), save an
// operand borrowed while nothing evaluated after it can run a script or
// assign, which is never the object written. So a float whose count is 1 has
// one holder, and when that holder is the one writing, no one else can see
// the write (host/lang/eval/expressions.h's real_into() checks it in debug
// builds).
class Ref {
 public:
  Ref() noexcept : value_(host::kZero) {}
  // Takes over a reference the caller owns (a fresh object, a handler result).
  static Ref adopt(HostValue v) noexcept { return Ref(v); }
  // Takes a new reference on v.
  static Ref share(HostValue v) noexcept {
    host::ref_take(v);
    return Ref(v);
  }

  Ref(const Ref &other) noexcept : value_(other.value_) { host::ref_take(value_); }
  Ref(Ref &&other) noexcept : value_(std::exchange(other.value_, host::kZero)) {}
  Ref &operator=(const Ref &other) noexcept {
    host::ref_take(other.value_);
    drop(std::exchange(value_, other.value_));
    return *this;
  }
  Ref &operator=(Ref &&other) noexcept {
    if (this != &other) drop(std::exchange(value_, std::exchange(other.value_, host::kZero)));
    return *this;
  }
  ~Ref() { drop(value_); }

  HostValue get() const noexcept { return value_; }
  // Hands the reference on to the caller; the Ref is left empty.
  HostValue detach() noexcept { return std::exchange(value_, host::kZero); }

 private:
  explicit Ref(HostValue v) noexcept : value_(v) {}
  HostValue value_;
};

// Values. make_float/make_string/make_array throw ScriptError("out of memory")
// when the arena is full.
Ref make_int(int32_t v);
Ref make_float(double v);
Ref make_string(std::string_view text);
Ref make_array(size_t count);  // every element nil
Ref nil();

// The number of slots of an array or a script object; 0 for anything else.
int32_t slot_count(HostValue v);

// "an integer", "a float", "nil", "a string", "a name", "an array",
// "a class", "a T_DblLnk object", "a GenObjHandle" (registered types by their
// name), "an object of type 9" for anything unknown.
std::string describe(HostValue v);

// The length of a value that has one: an array's element count, a string's
// byte count; -1 for any other value.
int32_t size_of(HostValue v);

// How print shows a value: integers in decimal; floats with %g, or with one
// decimal (".0") when integral; strings and names as their text; nil as
// "nil"; script objects as "<ClassName>"; class values as "<class Name>";
// registered types as "<TypeName>"; arrays as "[a, b]" with their elements
// shown the same way (nested more than 16 deep: "[...]"; after 10000
// elements in all, the rest of each open array as "...").
std::string show(HostValue v);

// What a name stands for in a lookup, cached per class and selector until the
// dispatch epoch moves on (a procedure, class or built-in table is defined).
struct Target {
  enum class Kind : uint8_t { kNone, kProcedure, kRow, kOwn, kNew, kSubclass, kInit };
  Kind kind = Kind::kNone;
  const void *what = nullptr;  // the procedure handle, built-in row or own routine's table entry
};

struct Class;

// The last lookup of one selector from one class: valid while `epoch` is the
// dispatch epoch. A class is made only after the epoch has moved on, so a
// class made where a freed one was never matches a line filled before.
struct LookupLine {
  const Class *cls = nullptr;
  std::uint64_t epoch = 0;
  Target target;
};

// Selectors: routine, message and class names interned once, case-folded, so
// that dispatch compares pointers. A selector lives as long as the process.
struct Selector {
  std::string name;        // as written, for messages
  const Selector *folded;  // the lower-case selector lookups use (itself when name is lower case)
  // On the folded selector: the last method lookup of a script object's send,
  // the last class-level lookup of a send to a class, and what a call of the
  // routine found (cls null).
  mutable LookupLine method_line{};
  mutable LookupLine routine_line{};
  mutable LookupLine call_line{};
};
const Selector *selector(std::string_view name);

// Classes. Redefining a name replaces the class under that name, while
// objects and subclasses made before keep the old one. A class value is
// counted: the class lives while the class table binds its name, an object
// or subclass of it exists, a call of one of its methods runs or anything
// else holds its value; then it is freed with its procedures (handed to the
// forget hook). The root class is permanent, and so in effect are the classes
// a library binds built-in methods to, as they cannot be remade.
struct Class {
  std::string name;
  Class *parent = nullptr;
  std::vector<std::string> ivars;                  // inherited first
  std::map<std::string, const void *> procedures;  // key lower-case
  HostValue value = 0;                             // the class value (type kClass)
  // Lookups already made, valid while cache_epoch is the dispatch epoch.
  std::unordered_map<const Selector *, Target> method_cache;
  std::unordered_map<const Selector *, Target> routine_cache;
  std::uint64_t cache_epoch = 0;
};

// zel$object: no instance variables; its init does nothing and accepts any
// arguments.
Class *root();
// The class of that name (without regard to case), or null.
Class *find_class(std::string_view name);
// Defines (or redefines) a class under parent (not null): the parent's ivars
// followed by the new ones. The name and the ivars are identifiers (subclass
// checks them). Throws
// ScriptError for a repeated instance variable, or the redefinition of a class
// a library has bound built-in methods or routines to (the library relies on
// the layout it found).
Class *define_class(Class *parent, std::string_view name, const std::vector<std::string> &ivars);
// The class a class value stands for; null for any other value. Inline, as
// every send asks.
inline Class *as_class(HostValue v) {
  return host::has_type(v, kClass) ? *host::payload<Class *>(v) : nullptr;
}
// The class of a script object; null for any other value. A script object's
// head word is always the value of its class, which it holds.
inline Class *class_of(HostValue v) {
  return host::has_type(v, kScriptObject) ? *host::payload<Class *>(*host::payload<HostValue>(v)) : nullptr;
}
// Instance variable i of a script object (0 <= i < its class's ivar count).
HostValue &ivar(HostValue object, int32_t i);

// Defines a script procedure: a method of cls, or a global procedure when cls
// is null. The handle is opaque to the runtime; it goes back to the language's
// invoke hook. Redefining replaces; returns the handle replaced, or null.
const void *define_procedure(Class *cls, std::string_view name, const void *proc);

// True when name is a routine that comes before global script procedures in
// call (a built-in module row or one of the runtime's own).
bool is_builtin_routine(std::string_view name);
// True when name is a routine call finds (a built-in one or a global script
// procedure).
bool is_routine(std::string_view name);

// Names for completing a word at the prompt, spelled as they were bound, in
// no set order; none of them fails. builtin_routine_names: the routines call
// finds before global script procedures (the library's module rows and the
// runtime's own). class_names: every class bound to a name.
// builtin_message_names: the built-in messages a value answers along the
// chain from cls: for an object of cls its classes' built-in instance
// methods; for the class value itself (to_class) their class-level routines,
// new and subclass.
std::vector<std::string> builtin_routine_names();
std::vector<std::string> class_names();
std::vector<std::string> builtin_message_names(const Class &cls, bool to_class);

namespace detail {
// The dispatch epoch's word (see dispatch_epoch).
inline std::uint64_t epoch = 1;
}  // namespace detail
// Moves on whenever what a lookup finds may change; caches compare it.
inline std::uint64_t dispatch_epoch() noexcept {
  return detail::epoch;
}

// The value stack: argument vectors laid out for built-in handlers (argv[0]
// the receiver, argument k at argv[-k]) and the locals of procedure calls.
// Slots are taken and given back in stack order; each holds one reference,
// which its taker drops before giving it back. Slots stay where they are
// until given back, so a handler may keep argv while it sends. take_slots and
// give_back_slots are the one way to it (Slots below, the language's
// argument vectors and locals); both are inline, a compare and an add.
namespace detail {
// The value stack's block (reserved on first use, never moved) and its use.
struct ValueStack {
  HostValue *slots = nullptr;
  size_t top = 0;
  size_t capacity = 0;
};
inline ValueStack value_stack;
// Reserves the block; ScriptError when count more slots do not fit.
void value_stack_overflow(size_t count);
}  // namespace detail

// Takes count slots at the top of the value stack and returns the first, its
// content unset: the taker fills each before anything can fail. ScriptError
// when count more slots do not fit (the block is reserved on first use).
inline HostValue *take_slots(size_t count) {
  detail::ValueStack &s = detail::value_stack;
  if (count > s.capacity - s.top) [[unlikely]]
    detail::value_stack_overflow(count);
  HostValue *const base = s.slots + s.top;
  s.top += count;
  return base;
}

// Gives back the count slots at the top, whose references the taker has
// dropped.
inline void give_back_slots(size_t count) noexcept {
  detail::value_stack.top -= count;
}

class Slots {
 public:
  // count slots, each the integer 0; ScriptError when the stack is full.
  explicit Slots(size_t count) : base_(take_slots(count)), count_(count) {
    for (size_t i = 0; i < count; ++i) base_[i] = host::kZero;
  }
  ~Slots() {
    for (size_t i = 0; i < count_; ++i) drop(base_[i]);
    give_back_slots(count_);
  }
  Slots(const Slots &) = delete;
  Slots &operator=(const Slots &) = delete;
  HostValue *data() const noexcept { return base_; }

 private:
  HostValue *base_;
  size_t count_;
};

// As send, send_from and call below with the arguments on the value stack:
// argv[0] the receiver (nil for call), argument k at argv[-k], each slot
// holding a reference for the length of the call.
// send_word is send's reply as a bare word, which carries the reference.
HostValue send_word(const Selector *sel, HostValue *argv, int32_t argc);
// Whether a line filled for the key `filled` in `epoch` answers for `key`
// now: the one rule of the lookup lines and the send sites' lines.
inline bool line_fresh(const void *filled, std::uint64_t epoch, const void *key) noexcept {
  return filled == key && epoch == detail::epoch;
}
// The target of a selector's line when it was filled from that class in
// this epoch; null when a lookup must look further.
inline const Target *line_hit(const LookupLine &line, const Class *from) {
  return line_fresh(line.cls, line.epoch, from) ? &line.target : nullptr;
}
// What one send site found last (a language keeps one in a send node): the
// target for receivers of one key, and the receiver's value where the key
// fixes it. The key is what fixes the class: a script object's class value
// (object_key), or, for a site that sends to a class it finds by name, what
// the name is bound to. Valid while the epoch it was filled in is the
// dispatch epoch, as a lookup line is. A site is read and filled only before
// its message runs, so that a run of the site nested in the message may
// fill it again.
struct SiteLine {
  const void *key = nullptr;
  std::uint64_t epoch = 0;  // 0, before any epoch: empty
  HostValue value = 0;
  Target target;

  // The target kept for key when it was found in this epoch; null otherwise.
  const Target *hit(const void *k) const noexcept { return line_fresh(key, epoch, k) ? &target : nullptr; }
  // Keeps t, found for k (and v) in this epoch.
  void fill(const void *k, HostValue v, const Target &t) noexcept { *this = {k, detail::epoch, v, t}; }
};
// The key of a site's line for a receiver that is a script object: its class
// value, its head word; null, for which no line answers, for any other
// receiver.
inline const void *object_key(HostValue receiver) {
  return host::has_type(receiver, kScriptObject)
             ? reinterpret_cast<const void *>(*host::payload<HostValue>(receiver))
             : nullptr;
}
// The target of sel's method line for a receiver that is a script object
// when its class filled the line in this epoch; null for any other receiver,
// and when a lookup must look further.
inline const Target *object_line_hit(const Selector *sel, HostValue receiver) {
  return host::has_type(receiver, kScriptObject) ? line_hit(sel->folded->method_line, class_of(receiver))
                                                 : nullptr;
}
// What send_word finds at once for a message sel to the class value of cls:
// the class-level built-in row (a target of kind kRow) its routine line
// holds from cls in this epoch; null for any other send.
inline const Target *class_row_hit(const Selector *sel, const Class *cls) {
  const Target *hit = line_hit(sel->folded->routine_line, cls);
  return hit != nullptr && hit->kind == Target::Kind::kRow ? hit : nullptr;
}
inline Ref send(const Selector *sel, HostValue *argv, int32_t argc) {
  return Ref::adopt(send_word(sel, argv, argc));
}
Ref send_from(const Class *cls, const Selector *sel, HostValue *argv, int32_t argc);
Ref call(const Selector *sel, HostValue *argv, int32_t argc);

namespace detail {
// routine_target past the selector's call line: searches and fills it.
Target find_routine(const Selector *folded);
}  // namespace detail
// What a call of the routine sel runs, in call's order (below): a built-in
// module row (kRow), one of the runtime's own (kOwn), a global script
// procedure (kProcedure, `what` its handle), or nothing (kNone). Kept on the
// selector until the dispatch epoch moves on, so that a language may run a
// procedure found here itself, as call would. Fails only for memory.
inline Target routine_target(const Selector *sel) {
  const LookupLine &line = sel->folded->call_line;
  return line.epoch == detail::epoch ? line.target : detail::find_routine(sel->folded);
}

// Sends a message; the result carries one reference.
//  - A script object: from its class up to the root, at each class first a
//    script procedure of that class, then a built-in instance method bound to
//    that class's name; the first found runs. The root also answers init.
//  - A class value: the class-level built-in routines bound to the class or an
//    ancestor, then new (makes the object with every ivar nil, sends it init
//    with the arguments, returns it) and subclass (name, "iv,iv" list).
//  - Anything else, or nothing found: ScriptError.
// Built-in rows are checked before their handler runs: the argument count of
// a row of count 0 or 1, and the type of argument 1 when the row names one.
Ref send(HostValue receiver, std::string_view selector, std::span<const HostValue> args);
// As send to a script object, but the lookup starts at cls (super sends).
Ref send_from(const Class *cls, HostValue receiver, std::string_view selector,
              std::span<const HostValue> args);
// Calls a module routine: the built-in module rows, then the runtime's own
// routines (print, advance_clock, refcount, size, string), then global script
// procedures.
Ref call(std::string_view routine, std::span<const HostValue> args);

// `=`: when slot holds an object of a registered type and value is an object
// of the same type, that type's replace hook gets (slot's object, value, 1)
// and the slot keeps its object; otherwise the slot gets a copy of a float or
// string, or the same word of anything else, with its own reference. The old
// content's reference is dropped after the new one is taken.
void assign_value(HostValue &slot, Ref value);
// assign_value of a reference the caller owns and hands over, passed as a
// word (a Ref argument goes through memory); the reference is dropped or
// stored whether or not the assignment fails.
void assign_owned(HostValue &slot, HostValue value);
// `==`: the slot gets the same word, with its reference.
void assign_ref(HostValue &slot, Ref value);

// The first error of a message sent outside any built-in handler since the
// last call, which forgets it; nothing when there was none.
std::optional<ScriptError> take_stray_error();
namespace detail {
// That error, kept until it is taken.
inline std::unique_ptr<ScriptError> stray_error;
}  // namespace detail
// True when there is such an error to take (asked after every statement).
inline bool stray_error_pending() noexcept {
  return detail::stray_error != nullptr;
}

// True when the main thread's stack is nearly used up. The language checks it
// where it recurses, and a release nested that deep is finished later by the
// outermost one. Always false on another thread or when the stack's bounds are
// unknown.
bool stack_nearly_full();
// The lowest frame address before stack_nearly_full() is true (0 when the
// stack's bounds are unknown), for callers that test it inline.
uintptr_t stack_floor();

// The language: exec runs one line of text (0, or -1 after reporting the
// error) and must not throw; invoke runs a procedure handle given to
// define_procedure, with self nil for a global procedure, and may throw.
using ExecHook = int32_t (*)(const char *line);
using InvokeHook = Ref (*)(const void *proc, HostValue self, std::span<const HostValue> args);
void set_language(ExecHook exec, InvokeHook invoke);
// The language's faster invoke, taking the arguments as laid out on the value
// stack and answering the reply as a bare word, which carries the reference;
// used instead of the invoke hook when set. set_language clears it.
using StackInvokeHook = HostValue (*)(const void *proc, HostValue *argv, int32_t argc);
void set_stack_invoke(StackInvokeHook invoke);
// The language's forget hook gets each procedure handle of a class being
// freed: the runtime no longer has it defined (it never runs again unless a
// call of it is running). It must not run a script.
using ForgetHook = void (*)(const void *proc);
void set_forget(ForgetHook forget);
// Where the language is running, "file:line", or "" when it is not running a
// statement; errexit names it.
using PlaceHook = std::string (*)();
void set_place(PlaceHook place);
// The place hook's answer ("" without a hook).
std::string place();

// Profiler. set_profiled names the procedure to profile ("" for none);
// profiling(name) says whether a call of that procedure is profiled (name
// compared without regard to case); profile_start/profile_stop call the hooks
// handed to profilesetup, when there are any.
void set_profiled(std::string_view proc_name);
// A profiled call begins or ends: the hooks run only around the outermost
// such call active, so a recursive procedure is timed by its outermost call.
// profile_enter also notes that the name matched a call. Never fail.
void profile_enter();
void profile_leave();
// True once a call of the procedure set_profiled named has begun.
bool profile_matched();
namespace detail {
// True while set_profiled holds a name; every call asks, so the test is inline.
inline bool any_profiled = false;
bool profiling_named(std::string_view proc_name);
}  // namespace detail
inline bool profiling(std::string_view proc_name) {
  return detail::any_profiled && detail::profiling_named(proc_name);
}
namespace detail {
// The hooks handed to profilesetup (null until then).
inline ProfileHook profile_start_hook = nullptr;
inline ProfileHook profile_stop_hook = nullptr;
}  // namespace detail
inline void profile_start() {
  if (ProfileHook hook = detail::profile_start_hook) hook();
}
inline void profile_stop() {
  if (ProfileHook hook = detail::profile_stop_hook) hook();
}

// The clock behind gettimeofday. fake_clock(true) sets the fake time to
// 1000000000.250000 s and freezes it there; advance_clock moves it (to the
// nearest microsecond; a negative amount moves it back). fake_clock(false)
// goes back to the real time.
void fake_clock(bool on);
bool clock_is_fake();
void advance_clock(double seconds);
// The clock's time in microseconds, fake or real, as gettimeofday gives it.
int64_t clock_microseconds();

// Accounting. Objects that are not permanent by birth and zone blocks that
// are allocated and not freed. Class values are kept out of the objects: the
// classes made and not freed are counted apart (the root included).
size_t live_objects();
size_t live_zone_blocks();
size_t live_classes();
// Writes one line per live object and live zone block to out, in address
// order, and returns how many there were.
size_t report_leaks(FILE *out);

// Test hooks. The next gen_obj answers nil, as when the arena is full.
void fail_next_gen_obj();

// Allocation failure. The runtime counts the allocations a library asks for,
// by kind: zone blocks (zalloc), and the objects of gen_obj, nam_obj (a name
// not made before), flt_obj and str_obj (obj_vcopy's copies included) and
// arr_obj. fail_allocation(kind, n) makes the nth allocation of that kind
// from now on fail, exactly as when the arena is full (n 0: none fails).
// kOther stands for the runtime's own allocations: never counted or failed.
enum class Alloc : uint8_t { kZoneBlock, kGenObj, kNamObj, kFltObj, kStrObj, kArrObj, kOther };
inline constexpr size_t kAllocKinds = 6;
uint64_t allocations(Alloc kind);
void fail_allocation(Alloc kind, uint64_t n);

// Recorder: while on, each C operation a library calls appends one line
// ("zcreate(6, 16384)", "obj_send(setkey, 1)", ...). take_recording returns the
// lines so far and clears them.
void record(bool on);
std::vector<std::string> take_recording();

}  // namespace zel::rt
