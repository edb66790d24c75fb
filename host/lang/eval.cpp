// The evaluator: walks the syntax tree over runtime values. Every value it
// holds is owned by a Ref or by a frame's or the globals' slots, so a
// statement that fails releases what it made.
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <new>
#include <optional>
#include <unordered_map>
#include <utility>
#include <vector>

#include "lang/ast.h"
#include "lang/lang.h"
#include "lang/lexer.h"
#include "lang/parser.h"

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

// A name inside a procedure: a parameter or local (a slot of the frame) or an
// instance variable of self.
struct Binding {
  bool is_ivar;
  int32_t index;
};

// A defined procedure: its text, its class, and where each of its names lives.
struct Procedure {
  std::shared_ptr<const ProcedureDef> def;
  rt::Class *cls = nullptr;  // null for a global procedure
  std::string display;       // "name" or "Class:name"
  std::unordered_map<std::string, Binding> names;
  size_t local_count = 0;
};

// One activation: a procedure call, or a text running at top level.
struct Frame {
  const Procedure *proc;
  const std::string &file;
  HostValue self;
  std::vector<HostValue> locals;  // each holds one reference
  Ref result;

  Frame(const Procedure *p, const std::string &f, HostValue s, size_t count)
      : proc(p), file(f), self(s), locals(count, rt::nil_value()) {}
  Frame(const Frame &) = delete;
  Frame &operator=(const Frame &) = delete;
  ~Frame() {
    for (HostValue v : locals) rt::drop(v);
  }
};

struct State {
  std::map<std::string, HostValue, std::less<>> globals;  // each holds one reference
  std::vector<std::unique_ptr<Procedure>> procedures;     // kept for good: the runtime holds handles
  int depth = 0;
  uint64_t steps_left = 0;  // 0: no step budget
};

// Never destroyed: procedures may still run while the process exits.
State &state() {
  static State *const s = new State;
  return *s;
}

[[noreturn]] void fail(std::string message) {
  throw ScriptError{std::move(message)};
}

bool same_name(std::string_view a, std::string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
  });
}

bool is_number(HostValue v) {
  return host::is_int(v) || host::has_type(v, host::kFloat);
}
bool is_string(HostValue v) {
  return host::has_type(v, host::kString);
}
double as_double(HostValue v) {
  return host::is_int(v) ? host::int_of(v) : host::float_of(v);
}

// nil, the integer 0 and the float 0.0 are false; every other value is true.
bool truthy(HostValue v) {
  if (host::is_int(v)) return host::int_of(v) != 0;
  if (host::is_nil(v)) return false;
  if (host::has_type(v, host::kFloat)) return host::float_of(v) != 0.0;
  return true;
}

Ref integer(int64_t v) {
  if (v < -(int64_t{1} << 30) || v >= (int64_t{1} << 30)) fail("integer overflow");
  return rt::make_int(static_cast<int32_t>(v));
}

Ref boolean(bool b) {
  return rt::make_int(b ? 1 : 0);
}

// The operator as written, for messages; indexed by Op.
constexpr const char *kSymbols[] = {"+",  "-",  "*",    "/",   "%",  "<", "<=", ">",
                                    ">=", "is", "isnt", "and", "or", "-", "not"};
const char *symbol(Op op) {
  return kSymbols[static_cast<int>(op)];
}

// + - * / % over numbers: integers stay integers (division truncates), any
// float makes the result a float.
Ref arithmetic(Op op, HostValue a, HostValue b) {
  if (!is_number(a) || !is_number(b)) {
    fail(std::string("operator ") + symbol(op) + " needs numbers, got " + rt::describe(a) + " and " +
         rt::describe(b));
  }
  if (host::is_int(a) && host::is_int(b)) {
    const int64_t x = host::int_of(a), y = host::int_of(b);
    if ((op == Op::kDiv || op == Op::kRem) && y == 0) fail("division by zero");
    switch (op) {
      case Op::kAdd:
        return integer(x + y);
      case Op::kSub:
        return integer(x - y);
      case Op::kMul:
        return integer(x * y);
      case Op::kDiv:
        return integer(x / y);
      default:
        return integer(x % y);
    }
  }
  const double x = as_double(a), y = as_double(b);
  switch (op) {
    case Op::kAdd:
      return rt::make_float(x + y);
    case Op::kSub:
      return rt::make_float(x - y);
    case Op::kMul:
      return rt::make_float(x * y);
    case Op::kDiv:
      return rt::make_float(x / y);
    default:
      return rt::make_float(std::fmod(x, y));
  }
}

// < <= > >= over two numbers or two strings.
bool order(Op op, HostValue a, HostValue b) {
  int c;
  if (is_number(a) && is_number(b)) {
    const double x = as_double(a), y = as_double(b);
    c = x < y ? -1 : (x > y ? 1 : 0);
  } else if (is_string(a) && is_string(b)) {
    c = std::strcmp(host::chars_of(a), host::chars_of(b));
  } else {
    fail(std::string("operator ") + symbol(op) + " cannot compare " + rt::describe(a) + " with " +
         rt::describe(b));
  }
  switch (op) {
    case Op::kLt:
      return c < 0;
    case Op::kLe:
      return c <= 0;
    case Op::kGt:
      return c > 0;
    default:
      return c >= 0;
  }
}

// `is`: numbers by value, strings by text, everything else by identity.
bool equal(HostValue a, HostValue b) {
  if (is_number(a) && is_number(b)) return as_double(a) == as_double(b);
  if (is_string(a) && is_string(b)) return std::strcmp(host::chars_of(a), host::chars_of(b)) == 0;
  return a == b;
}

Ref eval(const Expr &e, Frame &f);
Ref compile(std::span<const HostValue> args);

// Evaluated arguments, held for the length of a call.
struct Args {
  std::vector<Ref> refs;
  std::vector<HostValue> words;

  Args(const std::vector<std::unique_ptr<Expr>> &exprs, Frame &f) {
    refs.reserve(exprs.size());
    for (const auto &x : exprs) {
      refs.push_back(eval(*x, f));
      words.push_back(refs.back().get());
    }
  }
};

// The slot a name denotes in this frame (parameter, local, instance variable
// or global), or null.
HostValue *find_slot(std::string_view name, Frame &f) {
  if (f.proc) {
    const auto it = f.proc->names.find(std::string(name));
    if (it != f.proc->names.end()) {
      return it->second.is_ivar ? &rt::ivar(f.self, it->second.index) : &f.locals[it->second.index];
    }
  }
  const auto g = state().globals.find(name);
  return g == state().globals.end() ? nullptr : &g->second;
}

// The slot an assignment writes: inside a procedure every assigned name is
// bound; at top level the name is a global, made on first assignment.
HostValue &assign_slot(const std::string &name, Frame &f) {
  if (f.proc) {
    const Binding &b = f.proc->names.at(name);
    return b.is_ivar ? rt::ivar(f.self, b.index) : f.locals[b.index];
  }
  return state().globals.try_emplace(name, rt::nil_value()).first->second;
}

// A variable's value, or else the class of that name.
HostValue lookup(const std::string &name, Frame &f) {
  if (const HostValue *slot = find_slot(name, f)) return *slot;
  if (const rt::Class *cls = rt::find_class(name)) return cls->value;
  fail("unknown variable " + name);
}

const rt::Class &method_class(Frame &f, const char *word) {
  if (!f.proc || !f.proc->cls) fail(std::string(word) + " outside a method");
  return *f.proc->cls;
}

Ref eval_node(const Expr &e, Frame &f) {
  switch (e.kind) {
    case Expr::Kind::kInt:
      return rt::make_int(e.ival);
    case Expr::Kind::kFloat:
      return rt::make_float(e.fval);
    case Expr::Kind::kString:
      return rt::make_string(e.text);
    case Expr::Kind::kNil:
      return rt::nil();
    case Expr::Kind::kSelf:
      method_class(f, "self");
      return Ref::share(f.self);
    case Expr::Kind::kVar:
      return Ref::share(lookup(e.text, f));
    case Expr::Kind::kCall: {
      Args args(e.args, f);
      if (same_name(e.text, "compile")) return compile(args.words);
      return rt::call(e.text, args.words);
    }
    case Expr::Kind::kSend: {
      Ref receiver = eval(*e.receiver, f);
      Args args(e.args, f);
      return rt::send(receiver.get(), e.text, args.words);
    }
    case Expr::Kind::kSuper: {
      const rt::Class &cls = method_class(f, "super");
      if (!cls.parent) fail(cls.name + " has no superclass");
      Args args(e.args, f);
      return rt::send_from(cls.parent, f.self, e.text, args.words);
    }
    case Expr::Kind::kUnary: {
      Ref v = eval(*e.receiver, f);
      if (e.op == Op::kNot) return boolean(!truthy(v.get()));
      if (host::is_int(v.get())) return integer(-int64_t{host::int_of(v.get())});
      if (host::has_type(v.get(), host::kFloat)) return rt::make_float(-host::float_of(v.get()));
      fail("operator - needs a number, got " + rt::describe(v.get()));
    }
    case Expr::Kind::kBinary:
      break;
  }
  if (e.op == Op::kAnd || e.op == Op::kOr) {
    const bool left = truthy(eval(*e.receiver, f).get());
    if (left == (e.op == Op::kOr)) return boolean(left);
    return boolean(truthy(eval(*e.args[0], f).get()));
  }
  Ref a = eval(*e.receiver, f);
  Ref b = eval(*e.args[0], f);
  switch (e.op) {
    case Op::kIs:
      return boolean(equal(a.get(), b.get()));
    case Op::kIsnt:
      return boolean(!equal(a.get(), b.get()));
    case Op::kLt:
    case Op::kLe:
    case Op::kGt:
    case Op::kGe:
      return boolean(order(e.op, a.get(), b.get()));
    default:
      return arithmetic(e.op, a.get(), b.get());
  }
}

// Evaluates an expression; an error without a place gets this one.
Ref eval(const Expr &e, Frame &f) {
  try {
    if (rt::stack_nearly_full()) fail("nested too deeply: the stack is full");
    return eval_node(e, f);
  } catch (ScriptError &error) {
    if (error.line == 0) {
      error.file = f.file;
      error.line = e.line;
    }
    throw;
  }
}

// Makes a procedure from its definition and hands it to the runtime.
void define(const std::shared_ptr<const ProcedureDef> &def) {
  rt::Class *cls = nullptr;
  if (!def->class_name.empty()) {
    cls = rt::find_class(def->class_name);
    if (!cls) fail("unknown class " + def->class_name);
  }
  auto proc = std::make_unique<Procedure>();
  proc->def = def;
  proc->cls = cls;
  proc->display = cls ? cls->name + ":" + def->name : def->name;
  int32_t next = 0;
  for (const std::string &param : def->params) proc->names.emplace(param, Binding{false, next++});
  if (cls) {
    for (size_t i = 0; i < cls->ivars.size(); ++i) {
      proc->names.try_emplace(cls->ivars[i], Binding{true, static_cast<int32_t>(i)});
    }
  }
  for (const std::string &name : def->assigned) {
    if (proc->names.try_emplace(name, Binding{false, next}).second) ++next;
  }
  proc->local_count = static_cast<size_t>(next);
  rt::define_procedure(cls, def->name, proc.get());
  state().procedures.push_back(std::move(proc));
}

// Set by interrupt(), from a signal handler; taken by the next step.
volatile std::sig_atomic_t interrupt_requested = 0;

// Spends one step of the budget, if there is one; fails once it is spent, or
// when an interrupt is requested.
void spend_step() {
  if (interrupt_requested != 0) {
    interrupt_requested = 0;
    fail("interrupted");
  }
  uint64_t &left = state().steps_left;
  if (left == 0) return;
  if (left == 1) fail("step budget exhausted");
  --left;
}

enum class Flow { kNext, kReturn };

Flow exec_block(const Block &block, Frame &f);

Flow run_stmt(const Stmt &s, Frame &f) {
  switch (s.kind) {
    case Stmt::Kind::kExpr:
      eval(*s.expr, f);
      return Flow::kNext;
    case Stmt::Kind::kAssign: {
      Ref v = eval(*s.expr, f);
      rt::assign_value(assign_slot(s.name, f), std::move(v));
      return Flow::kNext;
    }
    case Stmt::Kind::kRefAssign: {
      Ref v = eval(*s.expr, f);
      rt::assign_ref(assign_slot(s.name, f), std::move(v));
      return Flow::kNext;
    }
    case Stmt::Kind::kReturn:
      f.result = s.expr ? eval(*s.expr, f) : rt::nil();
      return Flow::kReturn;
    case Stmt::Kind::kIf:
      return exec_block(truthy(eval(*s.expr, f).get()) ? s.body : s.orelse, f);
    case Stmt::Kind::kWhile:
      while (truthy(eval(*s.expr, f).get())) {
        spend_step();
        if (exec_block(s.body, f) == Flow::kReturn) return Flow::kReturn;
      }
      return Flow::kNext;
    case Stmt::Kind::kProcedure:
      define(s.proc);
      return Flow::kNext;
  }
  return Flow::kNext;
}

// Runs a statement. A failed message that the library sent meanwhile outside
// any built-in (while releasing a value, say) fails the statement; an error
// without a place gets this statement's.
Flow exec_stmt(const Stmt &s, Frame &f) {
  try {
    const Flow flow = run_stmt(s, f);
    if (std::optional<ScriptError> stray = rt::take_stray_error()) throw std::move(*stray);
    return flow;
  } catch (ScriptError &error) {
    if (error.line == 0) {
      error.file = f.file;
      error.line = s.line;
    }
    throw;
  }
}

Flow exec_block(const Block &block, Frame &f) {
  for (const Stmt &s : block) {
    if (exec_stmt(s, f) == Flow::kReturn) return Flow::kReturn;
  }
  return Flow::kNext;
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

// Brackets a profiled call with the profiler's start and stop hooks, the stop
// hook also when the call ends by an error.
class Profiling {
 public:
  explicit Profiling(bool on) : on_(on) {
    if (on_) rt::profile_start();
  }
  ~Profiling() {
    if (on_) rt::profile_stop();
  }
  Profiling(const Profiling &) = delete;
  Profiling &operator=(const Profiling &) = delete;

 private:
  bool on_;
};

// The runtime's invoke hook: runs a procedure with self and the arguments,
// which the parameters share. Profiled when the program asked for it.
Ref invoke(const void *handle, HostValue self, std::span<const HostValue> args) {
  const Procedure &proc = *static_cast<const Procedure *>(handle);
  const std::vector<std::string> &params = proc.def->params;
  if (args.size() != params.size()) {
    fail(proc.display + " expects " + std::to_string(params.size()) +
         (params.size() == 1 ? " argument, got " : " arguments, got ") + std::to_string(args.size()));
  }
  spend_step();
  Frame f(&proc, proc.def->file, self, proc.local_count);
  for (size_t i = 0; i < args.size(); ++i) rt::assign_ref(f.locals[i], Ref::share(args[i]));
  const Nesting nesting(state().depth);
  const Profiling profiling(rt::profiling(proc.display));
  exec_block(proc.def->body, f);
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

// compile "NAME:file": the file in the folder that the environment variable
// NAME names (without a colon, the path itself); ".zel" is added when the
// file name has no extension.
Ref compile(std::span<const HostValue> args) {
  if (args.size() != 1 || !is_string(args[0])) fail("compile expects one string, \"NAME:file\"");
  const std::string name = host::chars_of(args[0]);
  std::string path = name;
  if (const size_t colon = name.find(':'); colon != std::string::npos) {
    const std::string logical = name.substr(0, colon);
    const char *folder = std::getenv(logical.c_str());
    if (!folder || !*folder) fail("compile: logical name " + logical + " is not set");
    path = std::string(folder) + "/" + name.substr(colon + 1);
  }
  const size_t base = path.rfind('/');
  if (path.find('.', base == std::string::npos ? 0 : base + 1) == std::string::npos) path += ".zel";
  const Nesting nesting(state().depth);
  run_file(path);
  return rt::make_int(1);
}

}  // namespace

void install() {
  rt::set_language(exec_line, invoke);
}

void run(std::string_view text, std::string_view file) {
  const std::string name(file);
  Block program;
  try {
    program = parse(text, name);
  } catch (const SyntaxError &error) {
    throw ScriptError{error.message, name, error.line};
  }
  Frame top(nullptr, name, rt::nil_value(), 0);
  try {
    exec_block(program, top);
  } catch (const ScriptError &) {
    rt::take_stray_error();  // the first error is the one to report
    throw;
  }
}

void run_file(const std::string &path) {
  FILE *in = std::fopen(path.c_str(), "rb");
  if (!in) fail("cannot read " + path + ": " + std::strerror(errno));
  std::string text;
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, in)) > 0) text.append(buffer, n);
  const int error = std::ferror(in) ? (errno != 0 ? errno : EIO) : 0;
  std::fclose(in);
  if (error != 0) fail("cannot read " + path + ": " + std::strerror(error));
  run(text, path);
}

bool complete(std::string_view text) {
  try {
    parse(text, "");
  } catch (const SyntaxError &error) {
    return !error.at_end;
  }
  return true;
}

void set_step_budget(uint64_t steps) {
  state().steps_left = steps == 0 ? 0 : steps + 1;
}

void interrupt(bool on) {
  interrupt_requested = on ? 1 : 0;
}

void set_global(std::string_view name, rt::Ref value) {
  rt::assign_ref(state().globals.try_emplace(std::string(name), rt::nil_value()).first->second,
                 std::move(value));
}

void drop_globals() {
  auto &globals = state().globals;
  // A round drops the globals there are when it begins; a release may run a
  // script that makes new ones, which the next round drops.
  for (int round = 0; round < kDropRounds && !globals.empty(); ++round) {
    std::vector<std::string> names;
    for (const auto &entry : globals) names.push_back(entry.first);
    for (const std::string &name : names) {
      auto node = globals.extract(name);
      if (!node.empty()) rt::drop(node.mapped());
    }
  }
  std::optional<ScriptError> stray = rt::take_stray_error();
  if (!globals.empty()) {
    std::string left;
    for (const auto &entry : globals) left += (left.empty() ? "" : ", ") + entry.first;
    fail("releasing the globals still made new ones after " + std::to_string(kDropRounds) +
         " rounds; not dropped: " + left);
  }
  if (stray) throw std::move(*stray);
}

void report(const rt::ScriptError &error) {
  std::fflush(stdout);
  std::fprintf(stderr, "%s%s\n", error.file.empty() ? "zel: " : "", error.text().c_str());
}

}  // namespace zel::lang
