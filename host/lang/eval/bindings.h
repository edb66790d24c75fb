// Part of the evaluator (see host/lang/eval.cpp and eval/frame.h): names
// to slots and cells. A name's reads and writes (lookup, assign_slot), the
// class a name that is no variable stands for, procedures as they are
// defined (define) and freed, what a statement read at top level is bound
// to before it runs (bind), and the globals (set_global, drop_globals,
// completions).
//
// Invariants: a name is bound once, when its procedure is defined (local
// slot, instance variable or global cell) or as the top level's statements
// are read. Inside a procedure every assigned name is a local or an
// instance variable. A global cell holds the word 0 until its name is
// assigned and never drops it. A procedure lives while the runtime has it
// defined and while a call of it runs (uses counts both).
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "lang/eval/frame.h"
#include "lang/lang.h"
#include "lang/lexer.h"
#include "lang/profile.h"

namespace zel::lang {

namespace {

// drop_globals gives up when releasing the globals still makes new ones after
// this many rounds.
constexpr int kDropRounds = 100;

Cell &cell(const std::string &name) {
  auto &globals = state().globals;
  auto it = globals.find(name);
  if (it == globals.end()) {
    it = globals.emplace(name, Cell{}).first;
    it->second.name = &it->first;
  }
  return it->second;
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

// named_class past its cell's class of this epoch: looks the class up again
// (a class remade or removed moves the epoch on) and keeps it with the epoch
// in the cell; fails when there is none, leaving the cell's epoch as it was,
// so that a cell of this epoch always holds a class.
[[gnu::noinline]] const rt::Class &find_class_named(const Expr &e, Frame &f, Cell &c) {
  const rt::Class *cls = rt::find_class(*c.name);
  if (cls == nullptr) unknown_name(e, f, *c.name);
  c.cls = cls;
  c.epoch = rt::dispatch_epoch();
  return *cls;
}

// The class of the name e, which is no variable, as its global cell c last
// found it in this epoch; fails when there is none.
inline const rt::Class &class_in_cell(const Expr &e, Frame &f, Cell &c) {
  if (c.epoch == rt::dispatch_epoch()) [[likely]]
    return *c.cls;
  return find_class_named(e, f, c);
}

// class_in_cell of the name's own cell.
inline const rt::Class &named_class(const Expr &e, Frame &f) {
  return class_in_cell(e, f, f.bindings[e.name].cell());
}

// named_class's value.
inline HostValue class_named(const Expr &e, Frame &f) {
  return named_class(e, f).value;
}

// The value of the name e, borrowed, v being its slot's word: a local, an
// instance variable, a global, or else (v is 0) the class of that name.
inline HostValue value_or_class(HostValue v, const Expr &e, Frame &f) {
  return v != 0 ? v : class_named(e, f);
}

// A name's value, borrowed (value_or_class).
inline HostValue lookup(const Expr &e, Frame &f) {
  return value_or_class(slot_of(e.name, f), e, f);
}

// The slot an assignment writes, slot being its name's: inside a procedure
// every assigned name is a local or an instance variable; at top level the
// name is a global, made on first assignment.
ZEL_HOT_INLINE HostValue &assigned(HostValue &slot) {
  if (slot == 0) slot = nil();
  return slot;
}
ZEL_HOT_INLINE HostValue &assign_slot(int32_t name, Frame &f) {
  return assigned(slot_of(name, f));
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

}  // namespace

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

}  // namespace zel::lang
