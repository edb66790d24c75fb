// The whole-program profile and the line coverage (see profile.h). Both
// watch the running calls through one rt::CallWatcher, set only when one of
// them is kept.
#include "lang/profile.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <utility>
#include <vector>

#include "lang/lexer.h"
#include "lang/parser.h"
#include "runtime/runtime.h"

namespace zel::lang {

namespace {

// ---- The profile ----

// One procedure, method or built-in of the table. Times in microseconds.
struct Entry {
  uint64_t calls = 0;
  int64_t inclusive = 0;  // of its outermost calls: a recursive one counts once
  int64_t self = 0;       // outside the calls it made
  int active = 0;         // its calls running now
};

// One distinct stack of calls: the call on top and, in `above`, the stacks
// that call made, in the order they first ran.
struct Stack {
  std::string name;
  Entry *entry = nullptr;  // null for the top level
  int64_t self = 0;
  std::vector<std::unique_ptr<Stack>> above;
};

// What the profile keeps of a running call, beside its activation: its
// stack, the clock when it began and the time its inner calls took.
struct Running {
  Stack *stack;
  int64_t began;
  int64_t inner;
};

struct Profile {
  bool on = false;
  int64_t start = 0;
  Stack outermost;                                        // its `above` are the outermost calls
  std::map<std::pair<std::string, bool>, Entry> entries;  // by name and whether built-in
  std::vector<Running> running;                           // one per activation, the innermost last
};

// The profile of this run (off until start_profile).
Profile &profile() {
  static Profile p;
  return p;
}

// The stack of `name` called from `below` (made on its first call).
Stack &stack_above(Stack &below, std::string_view name) {
  for (const std::unique_ptr<Stack> &s : below.above) {
    if (s->name == name) return *s;
  }
  below.above.push_back(std::make_unique<Stack>());
  below.above.back()->name = name;
  return *below.above.back();
}

// A text run at top level inside a call (compile's file, exec's line) is no
// call of its own: its statements count as its caller's.
bool nested_text(const rt::Activation &call) {
  return call.name == nullptr && call.outer != nullptr;
}

// Files a call that begins under its stack and starts its clock. Cannot fail
// but for memory.
void profile_began(const rt::Activation &call) {
  Profile &p = profile();
  Stack *stack = p.running.empty() ? &p.outermost : p.running.back().stack;
  if (call.outer == nullptr && call.name == nullptr) {
    stack = &stack_above(p.outermost, "top");
  } else if (!nested_text(call)) {
    stack = &stack_above(*stack, *call.name);
    if (stack->entry == nullptr) stack->entry = &p.entries[{stack->name, call.file == nullptr}];
    ++stack->entry->calls;
    ++stack->entry->active;
  }
  p.running.push_back({stack, rt::clock_microseconds(), 0});
}

// Adds the time of the innermost call, which ends, to its stack, its entry
// and the call it ran in.
void profile_ended(const rt::Activation &call) {
  Profile &p = profile();
  const Running ended = p.running.back();
  p.running.pop_back();
  const int64_t elapsed = rt::clock_microseconds() - ended.began;
  Running *outer = p.running.empty() ? nullptr : &p.running.back();
  if (nested_text(call)) {
    outer->inner += ended.inner;
    return;
  }
  const int64_t self = elapsed - ended.inner;
  ended.stack->self += self;
  if (outer != nullptr) outer->inner += elapsed;
  if (Entry *e = ended.stack->entry) {
    e->self += self;
    if (--e->active == 0) e->inclusive += elapsed;
  }
}

// "S.UUUUUU": microseconds as seconds, exactly.
std::string seconds(int64_t us) {
  const uint64_t magnitude = us < 0 ? 0 - static_cast<uint64_t>(us) : static_cast<uint64_t>(us);
  char text[40];
  std::snprintf(text, sizeof text, "%s%" PRIu64 ".%06" PRIu64, us < 0 ? "-" : "", magnitude / 1000000,
                magnitude % 1000000);
  return text;
}

// Writes the stacks from `s` up, each after the names below it (`path`).
void write_stack(std::FILE *out, const Stack &s, const std::string &path) {
  const std::string here = path.empty() ? s.name : path + ";" + s.name;
  std::fprintf(out, "%s %" PRId64 "\n", here.c_str(), s.self);
  for (const std::unique_ptr<Stack> &a : s.above) write_stack(out, *a, here);
}

// ---- Coverage ----

// Orders names without regard to case, as the language matches them.
struct CaseLess {
  using is_transparent = void;
  bool operator()(std::string_view a, std::string_view b) const {
    const int order = strncasecmp(a.data(), b.data(), std::min(a.size(), b.size()));
    return order != 0 ? order < 0 : a.size() < b.size();
  }
};

// A procedure of a covered file: the line of its definition, its calls.
struct Function {
  int line = 0;
  uint64_t calls = 0;
};

// A covered script file, under the path it was run by.
struct Covered {
  std::string absolute;
  std::vector<int64_t> counts;                          // by line; -1 where no statement starts
  std::map<std::string, Function, CaseLess> functions;  // by name as written
};

struct Coverage {
  std::map<std::string, Covered, std::less<>> files;  // by the path run
  // The file of the last statement counted, its name as it was then and its
  // record (null for a file not covered): statements mostly follow one another
  // in one file.
  const std::string *last_file = nullptr;
  std::string last_name;
  Covered *last = nullptr;
};

// The coverage of this run (off until start_coverage).
Coverage &coverage() {
  static Coverage c;
  return c;
}

// The record of a covered file by the path it runs by; null for any other.
Covered *covered(const std::string &file) {
  Coverage &c = coverage();
  if (&file != c.last_file || file != c.last_name) {
    const auto it = c.files.find(file);
    c.last = it == c.files.end() ? nullptr : &it->second;
    c.last_file = &file;
    c.last_name = file;
  }
  return c.last;
}

// Counts a call of a procedure of a covered file (other calls are ignored).
void count_call(const rt::Activation &call) {
  const auto file = coverage().files.find(*call.file);
  if (file == coverage().files.end()) return;
  const auto f = file->second.functions.find(*call.name);
  if (f != file->second.functions.end()) ++f->second.calls;
}

// Notes the lines of a block's statements in `file`, and its procedures.
void note_block(const Block &block, Covered &file) {
  for (const Stmt &s : block) {
    if (s.line < 1) continue;
    if (static_cast<size_t>(s.line) >= file.counts.size())
      file.counts.resize(static_cast<size_t>(s.line) + 1, -1);
    file.counts[static_cast<size_t>(s.line)] = 0;
    if (s.kind == Stmt::Kind::kProcedure) {
      const ProcedureDef &def = *s.proc;
      file.functions.try_emplace(def.class_name.empty() ? def.name : def.class_name + ":" + def.name,
                                 Function{s.line, 0});
      note_block(def.body, file);
    }
    note_block(s.body, file);
    note_block(s.orelse, file);
  }
}

// The records of a tracefile: by absolute path, the count of each line and
// the line and calls of each function.
struct Record {
  std::map<int, uint64_t> lines;
  std::map<std::string, Function> functions;
};
using Records = std::map<std::string, Record>;

// The text of `rest` up to its first comma (all of it when there is none),
// taken off `rest` with the comma.
std::string_view field(std::string_view &rest) {
  const size_t comma = std::min(rest.find(','), rest.size());
  const std::string_view text = rest.substr(0, comma);
  rest.remove_prefix(std::min(comma + 1, rest.size()));
  return text;
}

// The whole number that text is, or -1 when it is none (or past 2^62).
int64_t whole_number(std::string_view text) {
  if (text.empty() || text.size() > 18) return -1;
  int64_t n = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return -1;
    n = n * 10 + (c - '0');
  }
  return n;
}

// Adds the records of a tracefile's text (named path in errors) to records.
void read_records(const std::string &text, const std::string &path, Records &records) {
  Record *record = nullptr;
  size_t start = 0;
  for (int number = 1; start < text.size(); ++number) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string_view line(text.data() + start, end - start);
    start = end + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    // The error of a line that no tracefile holds.
    const auto bad = [&] {
      return rt::ScriptError{"the coverage file " + path + " is no lcov tracefile: line " +
                             std::to_string(number) + ": " + std::string(line)};
    };
    const auto in_record = [&]() -> Record & {
      if (record == nullptr) throw bad();
      return *record;
    };
    std::string_view rest = line.substr(std::min(line.find(':') + 1, line.size()));
    if (line.starts_with("SF:")) {
      record = &records[std::string(rest)];
    } else if (line == "end_of_record") {
      record = nullptr;
    } else if (line.starts_with("DA:")) {
      const int64_t at = whole_number(field(rest));
      const int64_t count = whole_number(field(rest));  // a checksum may follow
      if (at < 1 || at > INT32_MAX || count < 0) throw bad();
      in_record().lines[static_cast<int>(at)] += static_cast<uint64_t>(count);
    } else if (line.starts_with("FN:")) {
      const int64_t at = whole_number(field(rest));
      // Newer lcov writes the last line too: FN:first,last,name.
      if (std::string_view name = rest; whole_number(field(name)) >= 0 && !name.empty()) rest = name;
      if (at < 1 || at > INT32_MAX || rest.empty()) throw bad();
      in_record().functions.try_emplace(std::string(rest), Function{static_cast<int>(at), 0});
    } else if (line.starts_with("FNDA:")) {
      const int64_t count = whole_number(field(rest));
      if (count < 0 || rest.empty()) throw bad();
      in_record().functions[std::string(rest)].calls += static_cast<uint64_t>(count);
    } else if (!line.empty()) {
      // TN:, the totals (made again on writing) and what zel does not write
      // (branches, say) are left out.
      const size_t colon = line.find(':');
      if (colon == std::string_view::npos || colon == 0 ||
          !std::all_of(line.begin(), line.begin() + static_cast<ptrdiff_t>(colon),
                       [](char c) { return (c >= 'A' && c <= 'Z') || c == '_'; })) {
        throw bad();
      }
    }
  }
}

// Adds this run's counts to records.
void add_counts(Records &records) {
  for (const auto &[path, file] : coverage().files) {
    Record &r = records[file.absolute];
    for (size_t line = 1; line < file.counts.size(); ++line) {
      if (file.counts[line] >= 0) r.lines[static_cast<int>(line)] += static_cast<uint64_t>(file.counts[line]);
    }
    for (const auto &[name, f] : file.functions) {
      Function &kept = r.functions.try_emplace(name, Function{f.line, 0}).first->second;
      if (kept.line == 0) kept.line = f.line;
      kept.calls += f.calls;
    }
  }
}

// The text of the records as an lcov tracefile.
std::string tracefile(const Records &records) {
  std::string out;
  for (const auto &[path, r] : records) {
    out += "TN:\nSF:" + path + "\n";
    // By line, and those of one line by name: the order of r.functions.
    std::vector<std::pair<int, const std::string *>> by_line;
    for (const auto &[name, f] : r.functions) by_line.emplace_back(f.line, &name);
    std::stable_sort(by_line.begin(), by_line.end(),
                     [](const auto &a, const auto &b) { return a.first < b.first; });
    size_t hit = 0;
    for (const auto &[line, name] : by_line) out += "FN:" + std::to_string(line) + "," + *name + "\n";
    for (const auto &[line, name] : by_line) {
      const uint64_t calls = r.functions.at(*name).calls;
      hit += calls > 0;
      out += "FNDA:" + std::to_string(calls) + "," + *name + "\n";
    }
    out += "FNF:" + std::to_string(by_line.size()) + "\nFNH:" + std::to_string(hit) + "\n";
    hit = 0;
    for (const auto &[line, count] : r.lines) {
      hit += count > 0;
      out += "DA:" + std::to_string(line) + "," + std::to_string(count) + "\n";
    }
    out += "LF:" + std::to_string(r.lines.size()) + "\nLH:" + std::to_string(hit) + "\nend_of_record\n";
  }
  return out;
}

// An open file descriptor, closed at the end of its scope.
class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) close(fd_);
  }
  Fd(const Fd &) = delete;
  Fd &operator=(const Fd &) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// Fails with what could not be done to the file and errno's reason.
[[noreturn]] void system_error(const std::string &what, const std::string &path) {
  throw rt::ScriptError{what + " the coverage file " + path + ": " + std::strerror(errno)};
}

// The whole of an open file from where it stands; fails as system_error does.
std::string read_all(int fd, const std::string &path) {
  std::string text;
  char buffer[65536];
  ssize_t n;
  while ((n = read(fd, buffer, sizeof buffer)) != 0) {
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) system_error("cannot read", path);
    text.append(buffer, static_cast<size_t>(n));
  }
  return text;
}

// Writes all of text to an open file; fails as system_error does.
void write_all(int fd, const std::string &text, const std::string &path) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) system_error("cannot write", path);
    done += static_cast<size_t>(n);
  }
}

// The call watcher of the profile and coverage: what each keeps of a call
// that begins, and of one that ends.
void call_began(const rt::Activation &call) noexcept {
  if (profile().on) profile_began(call);
  if (detail::covering && call.file != nullptr && call.name != nullptr) count_call(call);
}

void call_ended(const rt::Activation &call) noexcept {
  if (profile().on) profile_ended(call);
}

const rt::CallWatcher kWatcher{call_began, call_ended};

}  // namespace

void detail::count_statement(const std::string &file, int line) {
  Covered *c = covered(file);
  if (c == nullptr || line < 1 || static_cast<size_t>(line) >= c->counts.size()) return;
  int64_t &count = c->counts[static_cast<size_t>(line)];
  if (count >= 0) ++count;
}

void start_profile() {
  profile().on = true;
  profile().start = rt::clock_microseconds();
  rt::watch_calls(&kWatcher);
}

void write_profile(std::FILE *out) {
  const Profile &p = profile();
  std::vector<std::pair<const std::pair<std::string, bool> *, const Entry *>> rows;
  for (const auto &[key, e] : p.entries) rows.emplace_back(&key, &e);
  std::stable_sort(rows.begin(), rows.end(),
                   [](const auto &a, const auto &b) { return a.second->self > b.second->self; });
  std::fprintf(out, "zel profile: %s seconds in all\n", seconds(rt::clock_microseconds() - p.start).c_str());
  std::fprintf(out, "%10s %14s %14s %14s  %s\n", "calls", "inclusive", "self", "per call", "name");
  for (const auto &[key, e] : rows) {
    const int64_t per_call = e->inclusive / static_cast<int64_t>(e->calls);
    std::fprintf(out, "%10" PRIu64 " %14s %14s %14s  %s\n", e->calls, seconds(e->inclusive).c_str(),
                 seconds(e->self).c_str(), seconds(per_call).c_str(), key->first.c_str());
  }
}

void write_stacks(const std::string &path) {
  std::FILE *out = std::fopen(path.c_str(), "w");
  if (out == nullptr)
    throw rt::ScriptError{"cannot write the stacks file " + path + ": " + std::strerror(errno)};
  for (const std::unique_ptr<Stack> &s : profile().outermost.above) write_stack(out, *s, "");
  const bool failed = std::ferror(out) != 0;
  if (std::fclose(out) != 0 || failed) {
    throw rt::ScriptError{"cannot write the stacks file " + path + ": " +
                          std::strerror(errno != 0 ? errno : EIO)};
  }
}

void start_coverage() {
  detail::covering = true;
  rt::watch_calls(&kWatcher);
}

void cover_file(const std::string &path, std::string_view text) {
  if (!detail::covering || coverage().files.count(path) != 0) return;
  Covered file;
  std::error_code error;
  file.absolute = std::filesystem::weakly_canonical(std::filesystem::absolute(path, error), error).string();
  if (error) file.absolute = path;
  try {
    Scope scope;
    StatementReader reader(text, path, scope);
    Stmt s;
    Block block;
    while (reader.next(s)) block.push_back(std::move(s));
    note_block(block, file);
  } catch (const SyntaxError &) {
    return;
  }
  coverage().files.emplace(path, std::move(file));
  coverage().last_file = nullptr;
}

void write_coverage(const std::string &path) {
  Records records;
  struct stat st;
  const bool exists = stat(path.c_str(), &st) == 0;
  if (exists && !S_ISREG(st.st_mode)) {
    // A terminal or a pipe (/dev/stdout, say): nothing to add to.
    add_counts(records);
    const Fd fd(open(path.c_str(), O_WRONLY | O_CLOEXEC));
    if (fd.get() < 0) system_error("cannot write", path);
    write_all(fd.get(), tracefile(records), path);
    return;
  }
  // Runs that end at once (zel --test -j N) take turns through the lock.
  const Fd fd(open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666));
  if (fd.get() < 0) system_error("cannot write", path);
  while (flock(fd.get(), LOCK_EX) != 0) {
    if (errno != EINTR) system_error("cannot lock", path);
  }
  read_records(read_all(fd.get(), path), path, records);
  add_counts(records);
  if (ftruncate(fd.get(), 0) != 0 || lseek(fd.get(), 0, SEEK_SET) != 0) system_error("cannot write", path);
  write_all(fd.get(), tracefile(records), path);
}

}  // namespace zel::lang
