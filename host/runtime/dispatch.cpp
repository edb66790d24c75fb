// Built-in tables and dispatch: init_built_in binds a library's rows by name;
// send and call find what runs for a message or a routine; a built-in handler
// runs inside a handler call (runtime/handler_call.h) that keeps checkpar's
// reason and the error pending from obj_send, whose ends are here. Also exec,
// the language hooks and the profiler.
#include <cassert>
#include <cctype>
#include <cstdarg>
#include <exception>
#include <memory>
#include <new>
#include <optional>
#include <unordered_map>

#include "runtime/handler_call.h"
#include "runtime/internal.h"

namespace zel::rt {
namespace {

// A row in its table: of a type of this file only, so that the tables' code
// is this file's own, made for init_built_in's one use of it.
struct BoundRow {
  Row row;
};

using RowMap = std::unordered_map<std::string, BoundRow>;  // by lower-case name

struct Dispatch {
  RowMap module_rows;
  std::unordered_map<std::string, RowMap> class_rows;     // by lower-case class name
  std::unordered_map<std::string, RowMap> instance_rows;  // by lower-case class name
  ExecHook exec = nullptr;
  InvokeHook invoke = nullptr;
  std::string profiled;                                                  // lower-case
  int profiled_active = 0;                                               // calls of it under way
  bool profiled_seen = false;                                            // a call of it has begun
  std::unordered_map<std::string, std::unique_ptr<Selector>> selectors;  // by spelling
  std::unordered_map<HostValue, const Selector *> name_selectors;        // by name object
};

// Made on first use and never destroyed: handlers and hooks run until the
// process ends.
Dispatch *the_dispatch = nullptr;

[[gnu::noinline]] Dispatch &make_dispatch() {
  the_dispatch = new Dispatch;
  return *the_dispatch;
}

inline Dispatch &dispatch() {
  return the_dispatch != nullptr ? *the_dispatch : make_dispatch();
}

// The language's hook that runs a procedure over a stack vector, if it set
// one: a plain word too, read by every send of a procedure.
StackInvokeHook stack_invoke = nullptr;

}  // namespace

void leave_running_calls(const HandlerCall &call) {
  if (!(call.state & HandlerCall::kJoined)) return;
  if (detail::call_watcher != nullptr) [[unlikely]]
    detail::watch_ended(call.slot.activation);
  detail::innermost = call.slot.activation.outer;
}

void take_holds(HostValue *argv, int32_t argc) {
  for (int32_t k = 0; k <= argc; ++k) host::ref_take(argv[-k]);
}

void join_running_calls(HandlerCall &call) {
  call.slot.activation = Activation{detail::innermost, nullptr, &call.row.display, 0};
  call.state |= HandlerCall::kJoined;
  detail::innermost = &call.slot.activation;
  if (detail::call_watcher != nullptr) [[unlikely]]
    detail::watch_began(call.slot.activation);
}

namespace {

// Drops the references take_holds took.
void drop_holds(HostValue *argv, int32_t argc) {
  for (int32_t k = 0; k <= argc; ++k) drop(argv[-k]);
}

[[gnu::noinline]] void hold_running_calls() {
  for (HandlerCall *c = current_handler; c != nullptr && !(c->state & HandlerCall::kHeld); c = c->outer) {
    take_holds(c->argv, c->argc());
    c->take_borrowed();
    c->state |= HandlerCall::kHeld;
  }
}

// Before a script may run inside the running handler calls: each of them
// that has not taken its references takes them now, so that every count a
// script can see is as if they had been taken when the calls began; and the
// innermost joins the running calls, where a traceback finds it.
inline void hold_before_script() {
  HandlerCall *const call = current_handler;
  if (call == nullptr) return;
  if (!(call->state & HandlerCall::kHeld)) [[unlikely]]
    hold_running_calls();
  if (!(call->state & HandlerCall::kJoined)) [[unlikely]]
    join_running_calls(*call);
}

std::string count_text(int32_t min, int32_t max) {
  const std::string word = max == 1 ? " argument" : " arguments";
  if (min == max) return "expects " + std::to_string(min) + word;
  return "expects " + std::to_string(min) + " to " + std::to_string(max) + word;
}

std::string count_error(const std::string &name, int32_t min, int32_t max, size_t got) {
  return name + ": " + count_text(min, max) + ", got " + std::to_string(got);
}

std::string type_error(const std::string &name, int32_t i, const std::string &wanted, HostValue got) {
  return name + ": argument " + std::to_string(i) + " must be " + wanted + ", got " + describe(got);
}

const Row *find_row(const std::unordered_map<std::string, RowMap> &sections, const std::string &cls,
                    const std::string &key) {
  auto section = sections.find(cls);
  if (section == sections.end()) return nullptr;
  auto row = section->second.find(key);
  return row == section->second.end() ? nullptr : &row->second.row;
}

// Routines of the library that check their own arguments, and what they
// expect, for the message when they refuse.
struct SelfChecked {
  std::string_view key;
  int32_t count;
};
constexpr SelfChecked kSelfChecked[] = {{"setcurrent", 1}};

// The error of a row that refused its arguments: checkpar's reason when it
// gave one (never empty), else what the routine is known to expect.
ScriptError refusal(const Row &row, const std::string *reason, int32_t argc) {
  if (reason != nullptr) return ScriptError{*reason};
  const std::string key = detail::lower(row.name);
  for (const SelfChecked &known : kSelfChecked) {
    if (known.key == key) {
      return ScriptError{row.display + ": arguments refused: " +
                         count_error(row.display, known.count, known.count, static_cast<size_t>(argc))
                             .substr(row.display.size() + 2)};
    }
  }
  return ScriptError{row.display + ": arguments refused"};
}

}  // namespace

void refuse_unfit(const Row &row, const HostValue *argv, int32_t argc) {
  if (argc != row.argc) {
    throw ScriptError{count_error(row.display, row.argc, row.argc, static_cast<size_t>(argc))};
  }
  throw ScriptError{type_error(row.display, 1, detail::type_phrase(row.argtype), argv[-1])};
}

Ref end_call(const HandlerCall &call, HostValue result) {
  if (call.state & HandlerCall::kHeld) {
    drop_holds(call.argv, call.argc());
    call.drop_borrowed();
  }
  if (const ScriptError *error = call.pending_error()) [[unlikely]] {
    if (result != host::kFailure) drop(result);
    throw *error;
  }
  if (result == host::kFailure) [[unlikely]]
    throw refusal(call.row, call.refusal_reason(), call.argc());
  return Ref::adopt(result);
}

namespace {

// call_row over the value stack (Holds::kSlots), of an instance or a
// class-level routine: out of line and answering the bare word, so that
// send_word reaches them by a jump and saves no registers for them.
[[gnu::noinline]] HostValue call_slots_row(const Row &row, HostValue *argv, int32_t argc) {
  return call_row(row, argv, argc, Holds::kSlots).detach();
}
[[gnu::noinline]] HostValue call_slots_class_row(const Row &row, HostValue *argv, int32_t argc) {
  return call_row<true>(row, argv, argc, Holds::kSlots).detach();
}

// The arguments of a stack vector in their written order, for the routines
// that take a span.
class Forward {
 public:
  Forward(const HostValue *argv, int32_t argc) : heap_(argc > kInline ? argc : 0) {
    HostValue *out = argc > kInline ? heap_.data() : inline_;
    for (int32_t k = 1; k <= argc; ++k) out[k - 1] = argv[-k];
    span_ = std::span<const HostValue>(out, static_cast<size_t>(argc));
  }
  std::span<const HostValue> get() const { return span_; }

 private:
  static constexpr int32_t kInline = 8;
  HostValue inline_[kInline];
  std::vector<HostValue> heap_;
  std::span<const HostValue> span_;
};

// A stack vector over values the caller holds: the slots are emptied again
// before they are given back, so no reference is dropped.
class Borrowed {
 public:
  Borrowed(HostValue receiver, std::span<const HostValue> args)
      : slots_(args.size() + 1), argc_(args.size()) {
    HostValue *base = slots_.data();
    base[argc_] = receiver;
    for (size_t k = 1; k <= argc_; ++k) base[argc_ - k] = args[k - 1];
  }
  ~Borrowed() { std::fill(slots_.data(), slots_.data() + argc_ + 1, host::kZero); }
  Borrowed(const Borrowed &) = delete;
  Borrowed &operator=(const Borrowed &) = delete;
  HostValue *argv() const { return slots_.data() + argc_; }
  int32_t argc() const { return static_cast<int32_t>(argc_); }

 private:
  Slots slots_;
  size_t argc_;
};

// invoke_word through the language's hook over the arguments in their
// written order, for a language that set no stack hook. Throws what the call
// throws.
[[gnu::noinline]] HostValue invoke_forwarded(const void *proc, HostValue *argv, int32_t argc) {
  const Dispatch &d = dispatch();
  // Only a language defines procedures, and it sets its hooks first.
  assert(d.invoke != nullptr && "a procedure runs without a language");
  return d.invoke(proc, argv[0], Forward(argv, argc).get()).detach();
}

// Runs a script procedure over a stack vector: what it returns, as a bare
// word that carries the reference; throws what the call throws. Kept small,
// so that a send reaches either hook by a jump.
inline HostValue invoke_word(const void *proc, HostValue *argv, int32_t argc) {
  if (stack_invoke != nullptr) [[likely]]
    return stack_invoke(proc, argv, argc);
  return invoke_forwarded(proc, argv, argc);
}

// invoke_word's reply as a Ref.
inline Ref invoke(const void *proc, HostValue *argv, int32_t argc) {
  return Ref::adopt(invoke_word(proc, argv, argc));
}

bool is_identifier(std::string_view text) {
  if (text.empty() || std::isdigit(static_cast<unsigned char>(text[0]))) return false;
  for (char ch : text) {
    if (!std::isalnum(static_cast<unsigned char>(ch)) && ch != '_' && ch != '$') return false;
  }
  return true;
}

// "value, is_running" -> {"value", "is_running"}; blanks around names ignored.
std::vector<std::string> split_ivars(std::string_view list) {
  std::vector<std::string> out;
  while (!list.empty()) {
    const size_t comma = list.find(',');
    std::string_view item = list.substr(0, comma);
    list = comma == std::string_view::npos ? std::string_view{} : list.substr(comma + 1);
    while (!item.empty() && item.front() == ' ') item.remove_prefix(1);
    while (!item.empty() && item.back() == ' ') item.remove_suffix(1);
    if (!is_identifier(item))
      throw ScriptError{"subclass: bad instance variable name '" + std::string(item) + "'"};
    out.emplace_back(item);
  }
  return out;
}

Ref subclass(Class *cls, std::span<const HostValue> args) {
  if (args.empty() || args.size() > 2) throw ScriptError{count_error("subclass", 1, 2, args.size())};
  for (size_t i = 0; i < args.size(); ++i) {
    if (!host::has_type(args[i], host::kString)) {
      throw ScriptError{type_error("subclass", static_cast<int32_t>(i + 1), "a string", args[i])};
    }
  }
  const std::string_view name = host::chars_of(args[0]);
  if (!is_identifier(name)) throw ScriptError{"subclass: bad class name '" + std::string(name) + "'"};
  const std::vector<std::string> ivars =
      args.size() == 2 ? split_ivars(host::chars_of(args[1])) : std::vector<std::string>{};
  return Ref::share(define_class(cls, name, ivars)->value);
}

Ref send_borrowed(const Selector *sel, HostValue *argv, int32_t argc);

Ref make_object(Class *cls, const HostValue *argv, int32_t argc) {
  Ref object =
      Ref::adopt(detail::made_value(detail::new_slotted(kScriptObject, cls->value, cls->ivars.size())));
  static const Selector *const kInit = selector("init");
  const Borrowed init(object.get(), Forward(argv, argc).get());
  send_borrowed(kInit, init.argv(), init.argc());
  return object;
}

// The cache of a class, emptied when the epoch has moved on since it was filled.
std::unordered_map<const Selector *, Target> &cache_of(
    const Class *cls, std::unordered_map<const Selector *, Target> Class::*which) {
  Class &c = const_cast<Class &>(*cls);
  if (c.cache_epoch != detail::epoch) {
    c.method_cache.clear();
    c.routine_cache.clear();
    c.cache_epoch = detail::epoch;
  }
  return c.*which;
}

void fill_line(LookupLine &line, const Class *from, const Target &found) {
  line = {from, detail::epoch, found};
}

// A lookup past the selector's line: the class's cache (which), else search
// along the chain from the class, whose finding is cached; either fills line.
template <typename Search>
Target cached_lookup(const Class *from, const Selector *sel, LookupLine &line,
                     std::unordered_map<const Selector *, Target> Class::*which, Search search) {
  auto &cache = cache_of(from, which);
  if (auto hit = cache.find(sel); hit != cache.end()) {
    fill_line(line, from, hit->second);
    return hit->second;
  }
  const Target found = search(sel->name);
  cache.emplace(sel, found);
  fill_line(line, from, found);
  return found;
}

// find_method past the selector's line: a script procedure before a built-in
// row at each class, the most derived class first.
[[gnu::noinline]] Target find_method_slow(const Class *from, const Selector *sel) {
  return cached_lookup(from, sel, sel->method_line, &Class::method_cache, [from](const std::string &key) {
    Target found;
    for (const Class *c = from; c != nullptr && found.kind == Target::Kind::kNone; c = c->parent) {
      if (auto proc = c->procedures.find(key); proc != c->procedures.end()) {
        found = {Target::Kind::kProcedure, proc->second};
      } else if (const Row *row = find_row(dispatch().instance_rows, detail::lower(c->name), key)) {
        found = {Target::Kind::kRow, row};
      }
    }
    if (found.kind == Target::Kind::kNone && key == "init") found.kind = Target::Kind::kInit;
    return found;
  });
}

inline Target find_method(const Class *from, const Selector *sel) {
  if (const Target *hit = line_hit(sel->method_line, from)) [[likely]]
    return *hit;
  return find_method_slow(from, sel);
}

// find_class_routine past the selector's line.
[[gnu::noinline]] Target find_class_routine_slow(const Class *cls, const Selector *sel) {
  return cached_lookup(cls, sel, sel->routine_line, &Class::routine_cache, [cls](const std::string &key) {
    Target found;
    for (const Class *c = cls; c != nullptr && found.kind == Target::Kind::kNone; c = c->parent) {
      if (const Row *row = find_row(dispatch().class_rows, detail::lower(c->name), key))
        found = {Target::Kind::kRow, row};
    }
    if (found.kind == Target::Kind::kNone && key == "new") found.kind = Target::Kind::kNew;
    if (found.kind == Target::Kind::kNone && key == "subclass") found.kind = Target::Kind::kSubclass;
    return found;
  });
}

inline Target find_class_routine(const Class *cls, const Selector *sel) {
  if (const Target *hit = line_hit(sel->routine_line, cls)) [[likely]]
    return *hit;
  return find_class_routine_slow(cls, sel);
}

[[noreturn, gnu::cold, gnu::noinline]] void no_method(HostValue receiver, const Selector *sel) {
  throw ScriptError{describe(receiver) + " has no method " + sel->name};
}

Ref send_to_object(const Class *from, const Selector *sel, HostValue *argv, int32_t argc, Holds holds) {
  const Target t = find_method(from, sel->folded);
  switch (t.kind) {
    case Target::Kind::kProcedure:
      return invoke(t.what, argv, argc);
    case Target::Kind::kRow:
      return call_row(*static_cast<const Row *>(t.what), argv, argc, holds);
    case Target::Kind::kInit:
      return nil();
    default:
      no_method(argv[0], sel);
  }
}

Ref send_to_class(Class *cls, const Selector *sel, HostValue *argv, int32_t argc, Holds holds) {
  const Target t = find_class_routine(cls, sel->folded);
  switch (t.kind) {
    case Target::Kind::kRow:
      return call_row<true>(*static_cast<const Row *>(t.what), argv, argc, holds);
    case Target::Kind::kNew:
      return make_object(cls, argv, argc);
    case Target::Kind::kSubclass:
      return subclass(cls, Forward(argv, argc).get());
    default:
      throw ScriptError{"class " + cls->name + " has no routine " + sel->name};
  }
}

// The runtime's own routines.
Ref print_routine(std::span<const HostValue> args) {
  std::string line;
  for (size_t i = 0; i < args.size(); ++i) line += (i == 0 ? "" : " ") + show(args[i]);
  line += '\n';
  fputs(line.c_str(), stdout);
  return nil();
}

Ref advance_clock_routine(std::span<const HostValue> args) {
  if (args.size() != 1) throw ScriptError{count_error("advance_clock", 1, 1, args.size())};
  if (!host::is_int(args[0]) && !host::has_type(args[0], host::kFloat)) {
    throw ScriptError{type_error("advance_clock", 1, "a number", args[0])};
  }
  if (!clock_is_fake()) throw ScriptError{"advance_clock: the clock is not fake (zel --fake-clock)"};
  advance_clock(host::is_int(args[0]) ? host::int_of(args[0]) : host::float_of(args[0]));
  return nil();
}

Ref refcount_routine(std::span<const HostValue> args) {
  if (args.size() != 1) throw ScriptError{count_error("refcount", 1, 1, args.size())};
  return make_int(host::is_int(args[0]) ? 0 : host::object_of(args[0])->refcount);
}

// size (v): an array's element count or a string's byte count.
Ref size_routine(std::span<const HostValue> args) {
  if (args.size() != 1) throw ScriptError{count_error("size", 1, 1, args.size())};
  const int32_t size = size_of(args[0]);
  if (size < 0) throw ScriptError{type_error("size", 1, "an array or a string", args[0])};
  return make_int(size);
}

// string (v): the text print shows for v.
Ref string_routine(std::span<const HostValue> args) {
  if (args.size() != 1) throw ScriptError{count_error("string", 1, 1, args.size())};
  return make_string(show(args[0]));
}

using OwnRoutine = Ref (*)(std::span<const HostValue>);

// The runtime's own routines by lower-case name.
struct OwnEntry {
  std::string_view name;
  OwnRoutine routine;
};
constexpr OwnEntry kOwnRoutines[] = {{"print", print_routine},
                                     {"advance_clock", advance_clock_routine},
                                     {"refcount", refcount_routine},
                                     {"size", size_routine},
                                     {"string", string_routine}};

// The runtime's own routine of that name (key lower-case): its entry in
// kOwnRoutines, or null.
const OwnRoutine *own_routine(const std::string &key) {
  for (const OwnEntry &own : kOwnRoutines) {
    if (own.name == key) return &own.routine;
  }
  return nullptr;
}

}  // namespace

bool detail::library_bound(std::string_view class_name) {
  const Dispatch &d = dispatch();
  const std::string key = detail::lower(class_name);
  return d.class_rows.count(key) != 0 || d.instance_rows.count(key) != 0;
}

std::optional<ScriptError> take_stray_error() {
  const PendingError stray = std::move(detail::stray_error);
  if (stray == nullptr) return std::nullopt;
  return *stray;
}

const Selector *selector(std::string_view name) {
  auto &selectors = dispatch().selectors;
  const std::string text(name);
  if (auto it = selectors.find(text); it != selectors.end()) return it->second.get();
  const std::string key = detail::lower(name);
  const Selector *folded = key == text ? nullptr : selector(key);
  auto made = std::make_unique<Selector>(Selector{text, folded});
  if (folded == nullptr) made->folded = made.get();
  return selectors.emplace(text, std::move(made)).first->second.get();
}

namespace {

[[noreturn, gnu::cold, gnu::noinline]] void cannot_send(HostValue receiver, const Selector *sel) {
  throw ScriptError{"cannot send " + sel->name + " to " + describe(receiver)};
}

// The rest of send past the inline case: a class receiver, a lookup line
// filled from another class or in an earlier epoch, and every error.
[[gnu::noinline]] Ref send_slow(const Selector *sel, HostValue *argv, int32_t argc, Holds holds) {
  const HostValue receiver = argv[0];
  if (Class *cls = class_of(receiver)) return send_to_object(cls, sel, argv, argc, holds);
  if (Class *cls = as_class(receiver)) return send_to_class(cls, sel, argv, argc, holds);
  cannot_send(receiver, sel);
}

// send over a vector whose slots hold nothing (Borrowed).
[[gnu::noinline]] Ref send_borrowed(const Selector *sel, HostValue *argv, int32_t argc) {
  return send_slow(sel, argv, argc, Holds::kNone);
}

}  // namespace

// The common cases are kept small: a script object whose class filled the
// selector's method line in this epoch, with a built-in row or a procedure,
// and a class whose routine line holds a class-level row. A class value
// points at its class from its making on, so the class read from the
// receiver, never null, goes to the line untested.
HostValue send_word(const Selector *sel, HostValue *argv, int32_t argc) {
  const HostValue receiver = argv[0];
  if (host::has_type(receiver, kScriptObject)) {
    if (const Target *hit = object_line_hit(sel, receiver)) [[likely]] {
      if (hit->kind == Target::Kind::kRow)
        return call_slots_row(*static_cast<const Row *>(hit->what), argv, argc);
      if (hit->kind == Target::Kind::kProcedure) return invoke_word(hit->what, argv, argc);
    }
  } else if (host::has_type(receiver, kClass)) {
    if (const Target *hit = class_row_hit(sel, as_class(receiver))) [[likely]]
      return call_slots_class_row(*static_cast<const Row *>(hit->what), argv, argc);
  }
  return send_slow(sel, argv, argc, Holds::kSlots).detach();
}

Ref send_from(const Class *cls, const Selector *sel, HostValue *argv, int32_t argc) {
  return send_to_object(cls, sel, argv, argc, Holds::kSlots);
}

namespace {

Ref call_routine(const Selector *sel, HostValue *argv, int32_t argc, Holds holds) {
  const Target t = routine_target(sel);
  switch (t.kind) {
    case Target::Kind::kRow:
      return call_row(*static_cast<const Row *>(t.what), argv, argc, holds);
    case Target::Kind::kOwn:
      return (*static_cast<const OwnRoutine *>(t.what))(Forward(argv, argc).get());
    case Target::Kind::kProcedure:
      return invoke(t.what, argv, argc);
    default:
      throw ScriptError{"unknown routine " + sel->name};
  }
}

}  // namespace

Target detail::find_routine(const Selector *folded) {
  const RowMap &rows = dispatch().module_rows;
  Target found;
  if (auto row = rows.find(folded->name); row != rows.end()) {
    found = {Target::Kind::kRow, &row->second.row};
  } else if (const OwnRoutine *own = own_routine(folded->name)) {
    found = {Target::Kind::kOwn, own};
  } else if (const void *proc = global_procedure(folded->name)) {
    found = {Target::Kind::kProcedure, proc};
  }
  folded->call_line = {nullptr, epoch, found};
  return found;
}

Ref call(const Selector *sel, HostValue *argv, int32_t argc) {
  return call_routine(sel, argv, argc, Holds::kSlots);
}

bool is_builtin_routine(std::string_view name) {
  const std::string key = detail::lower(name);
  return dispatch().module_rows.count(key) != 0 || own_routine(key) != nullptr;
}

bool is_routine(std::string_view name) {
  if (is_builtin_routine(name)) return true;
  return detail::global_procedure(detail::lower(name)) != nullptr;
}

std::vector<std::string> builtin_routine_names() {
  std::vector<std::string> names;
  for (const auto &[key, bound] : dispatch().module_rows) names.push_back(bound.row.name);
  for (const OwnEntry &own : kOwnRoutines) names.emplace_back(own.name);
  return names;
}

std::vector<std::string> builtin_message_names(const Class &cls, bool to_class) {
  const auto &sections = to_class ? dispatch().class_rows : dispatch().instance_rows;
  std::vector<std::string> names;
  if (to_class) {
    names.emplace_back("new");
    names.emplace_back("subclass");
  }
  for (const Class *c = &cls; c != nullptr; c = c->parent) {
    auto section = sections.find(detail::lower(c->name));
    if (section == sections.end()) continue;
    for (const auto &[key, bound] : section->second) names.push_back(bound.row.name);
  }
  return names;
}

Ref send(HostValue receiver, std::string_view selector_name, std::span<const HostValue> args) {
  const Borrowed b(receiver, args);
  return send_borrowed(selector(selector_name), b.argv(), b.argc());
}

Ref send_from(const Class *cls, HostValue receiver, std::string_view selector_name,
              std::span<const HostValue> args) {
  const Borrowed b(receiver, args);
  return send_to_object(cls, selector(selector_name), b.argv(), b.argc(), Holds::kNone);
}

Ref call(std::string_view routine, std::span<const HostValue> args) {
  const Borrowed b(nil_value(), args);
  return call_routine(selector(routine), b.argv(), b.argc(), Holds::kNone);
}

void set_language(ExecHook exec, InvokeHook invoke) {
  dispatch().exec = exec;
  dispatch().invoke = invoke;
  stack_invoke = nullptr;
}

void set_stack_invoke(StackInvokeHook invoke) {
  stack_invoke = invoke;
}

void set_profiled(std::string_view proc_name) {
  Dispatch &d = dispatch();
  d.profiled = detail::lower(proc_name);
  d.profiled_active = 0;
  d.profiled_seen = false;
  detail::any_profiled = !proc_name.empty();
}

void profile_enter() {
  Dispatch &d = dispatch();
  d.profiled_seen = true;
  if (d.profiled_active++ == 0) profile_start();
}

void profile_leave() {
  if (--dispatch().profiled_active == 0) profile_stop();
}

bool profile_matched() {
  return dispatch().profiled_seen;
}

bool detail::profiling_named(std::string_view proc_name) {
  // Asked only while any_profiled, that is while the name is not empty.
  return detail::lower(proc_name) == dispatch().profiled;
}

}  // namespace zel::rt

using zel::rt::dispatch;
using zel::rt::detail::note;
using zel::rt::detail::note_text;
using zel::rt::detail::recording;

extern "C" {

int32_t init_built_in(const BuiltinRecord *table) {
  if (table == nullptr) return -1;
  if (recording()) note_text("init_built_in", table->name == nullptr ? "" : table->name);
  zel::rt::Dispatch &d = dispatch();
  zel::rt::RowMap *section = &d.module_rows;
  std::string owner;  // "Class:" in a class's section
  int32_t result = 0;
  zel::rt::detail::next_epoch();
  for (const BuiltinRecord *r = table; r->name != nullptr; ++r) {
    const char *problem = nullptr;
    if (r->refcount != host::kBuiltinRefcount || r->type != host::kBuiltin) {
      problem = "has no built-in record header";
    } else if (r->handler == nullptr && r->argc == 1) {
      section = &d.class_rows[zel::rt::detail::lower(r->name)];
      owner.assign(r->name).push_back(':');
    } else if (r->handler == nullptr && r->argc == 0) {
      section = &d.instance_rows[zel::rt::detail::lower(r->name)];
      owner.assign(r->name).push_back(':');
    } else if (r->handler == nullptr || r->argc < -1 || r->argc > 1) {
      problem = "has a bad argument count";
    } else if (r->argtype != 0 && r->argc != 1) {
      problem = "names an argument type without taking one argument";
    } else {
      const auto counts =
          static_cast<uint8_t>(r->argc < 0 ? (2 << zel::rt::kManyArguments) - 1 : 1 << r->argc);
      section->insert_or_assign(
          zel::rt::detail::lower(r->name),
          zel::rt::BoundRow{{r->name, owner + r->name, r->handler, r->argc, r->argtype, counts}});
    }
    if (problem != nullptr) {
      fprintf(stderr, "zel: init_built_in: row %s %s\n", r->name, problem);
      result = -1;
    }
  }
  return result;
}

int32_t checkpar(int32_t argc, HostValue *argv, int32_t min, int32_t max, ...) {
  if (recording()) [[unlikely]]
    zel::rt::detail::note_numbers("checkpar", {argc, min, max});
  zel::rt::HandlerCall *call = zel::rt::current_handler;
  // The argument that has the wrong type (0: none), and the type it must have.
  int32_t wrong = 0;
  int32_t wanted = -1;
  const bool counted = argc >= min && argc <= max;
  if (counted) {
    va_list ap;
    va_start(ap, max);
    for (int32_t i = 1; i <= argc && wrong == 0; ++i) {
      const int32_t type = va_arg(ap, int32_t);
      if (type != -1 && (type < 0 || type > 255 || !host::has_type(argv[-i], static_cast<uint8_t>(type)))) {
        wrong = i;
        wanted = type;
      }
    }
    va_end(ap);
  }
  if (counted && wrong == 0) {
    if (call != nullptr && (call->state & zel::rt::HandlerCall::kErrors)) call->reason.reset();
    return 0;
  }
  if (call == nullptr) return -1;  // no handler to give the reason to
  const std::string &name = call->row.display;
  if (!counted) {
    call->errors().reason = std::make_unique<std::string>(
        zel::rt::count_error(name, min, max, static_cast<size_t>(argc < 0 ? 0 : argc)));
  } else {
    const std::string wanted_phrase = zel::rt::detail::type_phrase(static_cast<uint8_t>(wanted));
    call->errors().reason =
        std::make_unique<std::string>(zel::rt::type_error(name, wrong, wanted_phrase, argv[-wrong]));
  }
  return -1;
}

HostValue obj_send(HostValue receiver, HostValue selector, int32_t argc, ...) {
  const bool named = host::has_type(selector, zel::rt::kName) || host::has_type(selector, host::kString);
  if (zel::rt::detail::recording()) {
    note("obj_send(" + std::string(named ? host::chars_of(selector) : "") + ", " + std::to_string(argc) +
         ")");
  }
  zel::rt::HandlerCall *call = zel::rt::current_handler;
  // The first error of a send that fails here is kept by the running handler
  // call, or else as the stray error.
  auto fail = [call](zel::rt::ScriptError error) {
    zel::rt::PendingError &pending = call == nullptr ? zel::rt::detail::stray_error : call->errors().pending;
    if (!pending) pending = std::make_unique<zel::rt::ScriptError>(std::move(error));
    return zel::rt::nil_value();
  };
  if (call == nullptr ? zel::rt::detail::stray_error != nullptr : call->pending_error() != nullptr)
    return zel::rt::nil_value();
  if (!named) return fail({"obj_send: the selector is not a name"});
  if (argc < 0 || argc > 2) {
    return fail({"obj_send: " + std::to_string(argc) + " arguments for " + host::chars_of(selector)});
  }
  HostValue args[2] = {0, 0};
  va_list ap;
  va_start(ap, argc);
  for (int32_t i = 0; i < argc; ++i) args[i] = va_arg(ap, HostValue);
  va_end(ap);
  zel::rt::hold_before_script();
  try {
    // Name objects are permanent: their selector is looked up once.
    const zel::rt::Selector *sel = nullptr;
    if (host::has_type(selector, zel::rt::kName)) {
      const zel::rt::Selector *&known = dispatch().name_selectors[selector];
      if (known == nullptr) known = zel::rt::selector(host::chars_of(selector));
      sel = known;
    } else {
      sel = zel::rt::selector(host::chars_of(selector));
    }
    const zel::rt::Borrowed b(receiver, std::span<const HostValue>(args, static_cast<size_t>(argc)));
    return zel::rt::send_borrowed(sel, b.argv(), b.argc()).detach();
  } catch (zel::rt::ScriptError &error) {
    return fail(std::move(error));
  } catch (std::exception &error) {
    return fail({error.what()});
  }
}

int32_t exec(const char *line) {
  const std::string text = line == nullptr ? "" : line;
  if (recording()) note_text("exec", text);
  const zel::rt::ExecHook hook = dispatch().exec;
  // A library runs inside a language, which sets its hooks before it starts
  // one; the hook reports its own errors and never throws.
  assert(hook != nullptr && "exec without a language");
  zel::rt::hold_before_script();
  return hook(text.c_str());
}

void profilesetup(ProfileHook start, ProfileHook stop) {
  if (recording()) note("profilesetup");
  zel::rt::detail::profile_start_hook = start;
  zel::rt::detail::profile_stop_hook = stop;
}

}  // extern "C"
