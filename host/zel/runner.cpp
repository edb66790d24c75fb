// zel --test: finds the script tests, runs each in a zel process of its own
// (several at a time with -j), labels the addresses in what they write,
// compares it with the expected files or writes them (--update), and reports
// in TAP on standard output and in JUnit XML (--junit).
#include "zel/runner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <utility>

namespace zel::testing {

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr size_t kOutputLimit = 64u << 20;  // bytes of one stream before a test is stopped
constexpr size_t kDiffLines = 40;           // lines of one file's diff shown
constexpr size_t kDiffCells = 4u << 20;     // the largest table the line diff fills
constexpr int kContext = 3;                 // lines of context around a change

// A file descriptor, closed with its owner.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  Fd(Fd &&other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  // Takes other's descriptor; other closes the one this held.
  Fd &operator=(Fd &&other) noexcept {
    std::swap(fd_, other.fd_);
    return *this;
  }
  Fd(const Fd &) = delete;
  Fd &operator=(const Fd &) = delete;
  ~Fd() { reset(); }

  int get() const { return fd_; }
  bool open() const { return fd_ >= 0; }
  void reset() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

// Makes a pipe whose ends are closed on exec; false (errno set) when it cannot.
bool make_pipe(Fd &read_end, Fd &write_end) {
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) return false;
  read_end = Fd(ends[0]);
  write_end = Fd(ends[1]);
  return true;
}

// ---- Finding the tests ----

struct Test {
  std::string name;    // the path as found, without ".zel": "lists/walk"
  fs::path folder;     // where it runs (absolute)
  std::string script;  // the file name within the folder: "walk.zel"
  fs::path expected;   // folder/stem, to which ".out" and ".err" are added
};

// A path or option that stops zel --test before any test runs.
struct UsageError {
  std::string message;
};

// True for a file name NAME.zel.
bool is_script(const fs::path &path) {
  const std::string name = path.filename().string();
  return name.size() > 4 && name.ends_with(".zel");
}

// The test that the file `path` holds.
Test make_test(const fs::path &path) {
  const fs::path normal = path.lexically_normal();
  const fs::path absolute = fs::absolute(normal).lexically_normal();
  std::string name = normal.generic_string();
  name.resize(name.size() - 4);
  fs::path expected = absolute;
  expected.replace_extension();
  return Test{name, absolute.parent_path(), absolute.filename().string(), expected};
}

// The tests of every path, each folder searched through (except folders
// named lib, which hold the scripts that tests compile) in the order of its
// sorted paths; a test named twice runs once. Throws UsageError for a path
// that is missing, is not a .zel file, or cannot be searched.
std::vector<Test> find_tests(const std::vector<std::string> &paths) {
  std::vector<Test> tests;
  std::set<std::string> seen;
  auto add = [&](const fs::path &path) {
    Test test = make_test(path);
    if (seen.insert(test.name).second) tests.push_back(std::move(test));
  };
  for (const std::string &text : paths) {
    const fs::path path(text);
    std::error_code error;
    const fs::file_status status = fs::status(path, error);
    if (fs::is_directory(status)) {
      std::vector<fs::path> found;
      try {
        for (auto it = fs::recursive_directory_iterator(path); it != fs::recursive_directory_iterator();
             ++it) {
          if (it->is_directory() && it->path().filename() == "lib") {
            it.disable_recursion_pending();
          } else if (it->is_regular_file() && is_script(it->path())) {
            found.push_back(it->path());
          }
        }
      } catch (const fs::filesystem_error &e) {
        throw UsageError{"cannot search " + e.path1().string() + ": " + e.code().message()};
      }
      std::sort(found.begin(), found.end());
      for (const fs::path &file : found) add(file);
    } else if (fs::is_regular_file(status) && is_script(path)) {
      add(path);
    } else if (fs::exists(status)) {
      throw UsageError{text + " is not a .zel script or a folder"};
    } else {
      // status sets `error` for every path that is not there.
      throw UsageError{text + ": " + error.message()};
    }
  }
  return tests;
}

// ---- Running a test ----

// What a test's run gave.
struct Run {
  std::string out, err;
  int status = 0;          // the exit status; 128 + N when signal N ended it
  bool timed_out = false;  // stopped at the time limit
  bool flooded = false;    // stopped for writing more than kOutputLimit
  double seconds = 0;
};

// SIGCHLD writes a byte into this pipe, so that the wait for output also
// wakes when a test ends.
int child_signal_fd = -1;

// The SIGCHLD handler.
void on_child(int) {
  const int saved = errno;
  const char byte = 0;
  (void)!write(child_signal_fd, &byte, 1);
  errno = saved;
}

// The file actions of a posix_spawn, destroyed with their owner.
class SpawnActions {
 public:
  SpawnActions() { posix_spawn_file_actions_init(&actions_); }
  ~SpawnActions() { posix_spawn_file_actions_destroy(&actions_); }
  SpawnActions(const SpawnActions &) = delete;
  SpawnActions &operator=(const SpawnActions &) = delete;

  posix_spawn_file_actions_t &get() { return actions_; }

 private:
  posix_spawn_file_actions_t actions_;
};

// A test running in a process of its own. It stays in zel's process group, so
// that a Ctrl-C that stops zel --test stops the tests too.
class Job {
 public:
  // Starts `command` in `folder` with standard input from /dev/null. A
  // command that cannot be started ends at once with status 127 and a line
  // on its standard error saying why. (posix_spawn rather than fork: under
  // qemu-i386 a forked child hangs before it can exec.)
  Job(size_t index, const std::vector<std::string> &command, const fs::path &folder, unsigned timeout)
      : index_(index), started_(Clock::now()), deadline_(started_ + std::chrono::seconds(timeout)) {
    Fd out_write, err_write;
    if (!make_pipe(out_, out_write) || !make_pipe(err_, err_write)) {
      fail_to_start(std::string("cannot make a pipe: ") + std::strerror(errno));
      return;
    }
    std::vector<char *> argv;
    for (const std::string &word : command) argv.push_back(const_cast<char *>(word.c_str()));
    argv.push_back(nullptr);
    SpawnActions actions;
    posix_spawn_file_actions_addopen(&actions.get(), STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions.get(), out_write.get(), STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions.get(), err_write.get(), STDERR_FILENO);
    posix_spawn_file_actions_addchdir_np(&actions.get(), folder.c_str());
    const int error = posix_spawnp(&pid_, argv[0], &actions.get(), nullptr, argv.data(), environ);
    if (error != 0)
      fail_to_start("cannot run " + command[0] + " in " + folder.string() + ": " + std::strerror(error));
  }
  Job(const Job &) = delete;
  Job &operator=(const Job &) = delete;
  Job(Job &&) = default;
  Job &operator=(Job &&) = default;

  size_t index() const { return index_; }
  // When step must look at the job again though nothing comes: at its
  // deadline, unless it has been stopped and only its end is awaited.
  Clock::time_point wake_at() const {
    return run_.timed_out && pid_ > 0 ? Clock::time_point::max() : deadline_;
  }
  bool done() const { return pid_ < 0 && !out_.open() && !err_.open(); }
  Run &&take() { return std::move(run_); }

  // Adds the pollable ends of the pipes still open to `fds`.
  void watch(std::vector<pollfd> &fds) const {
    for (const Fd *fd : {&out_, &err_}) {
      if (fd->open()) fds.push_back(pollfd{fd->get(), POLLIN, 0});
    }
  }

  // Reads what has come on the pipes that `fds` shows ready, reaps the
  // process once it has ended, and stops it at the time or output limit.
  void step(const std::vector<pollfd> &fds, Clock::time_point now) {
    for (const pollfd &p : fds) {
      if (p.revents == 0) continue;
      if (p.fd == out_.get()) drain(out_, run_.out);
      if (p.fd == err_.get()) drain(err_, run_.err);
    }
    if (pid_ > 0) {
      if (now >= deadline_ && !run_.timed_out) {
        run_.timed_out = true;
        kill(pid_, SIGKILL);
      }
      reap();
    } else if (now >= deadline_) {
      // Ended, but something it started still holds the pipes: what came
      // so far is the output.
      out_.reset();
      err_.reset();
    }
  }

 private:
  // Ends a job whose process could not be started. Its deadline passes at
  // once, so that run_all's wait does not hold it back: no process ends to
  // wake that wait.
  void fail_to_start(const std::string &reason) {
    run_.err = "zel --test: " + reason + "\n";
    run_.status = 127;
    pid_ = -1;
    out_.reset();
    err_.reset();
    deadline_ = started_;
  }

  // Reads what is there from `fd` into `into`, closing it at its end; a
  // stream over the limit stops the test.
  void drain(Fd &fd, std::string &into) {
    char buffer[65536];
    const ssize_t n = read(fd.get(), buffer, sizeof buffer);
    if (n > 0) {
      into.append(buffer, static_cast<size_t>(n));
      if (into.size() > kOutputLimit) {
        run_.flooded = true;
        if (pid_ > 0) kill(pid_, SIGKILL);
        fd.reset();
      }
    } else {
      // The end, or an error: poll said the pipe is ready, so the read did
      // not wait and no signal interrupted it.
      fd.reset();
    }
  }

  // Collects the exit status once the process has ended.
  void reap() {
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) != pid_) return;
    run_.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    run_.seconds = std::chrono::duration<double>(Clock::now() - started_).count();
    pid_ = -1;
  }

  size_t index_;
  Clock::time_point started_, deadline_;
  pid_t pid_ = -1;
  Fd out_, err_;
  Run run_;
};

// ---- Comparing ----

// True for a byte of a word: a letter, a digit, '_', or part of a UTF-8
// character (zel runs in the C locale).
bool word_byte(unsigned char c) {
  return std::isalnum(c) || c == '_' || c >= 0x80;
}

// The address a non-empty word of the output is, as lower-case hex digits
// without leading zeros; empty when it is none. Every hex word 0x... is one,
// and every decimal word in the arena's range [0x50000000, 0x60000000).
std::string address_of(std::string_view word) {
  constexpr unsigned long long kArenaStart = 0x50000000, kArenaEnd = 0x60000000;
  // 0x or 0X: | 0x20 makes X lower-case.
  if (word.size() > 2 && word[0] == '0' && (word[1] | 0x20) == 'x') {
    std::string digits(word.substr(2));
    if (!std::all_of(digits.begin(), digits.end(), [](unsigned char c) { return std::isxdigit(c); }))
      return "";
    std::transform(digits.begin(), digits.end(), digits.begin(),
                   [](unsigned char c) { return std::tolower(c); });
    // Keeps the last digit: 0x000 is 0.
    digits.erase(0, std::min(digits.find_first_not_of('0'), digits.size() - 1));
    return digits;
  }
  unsigned long long value = 0;
  const auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), value);
  if (error != std::errc() || end != word.data() + word.size() || value < kArenaStart || value >= kArenaEnd) {
    return "";
  }
  char hex[32];
  std::snprintf(hex, sizeof hex, "%llx", value);
  return hex;
}

// Replaces every address in `text` by its label @1, @2, ..., numbered in the
// order `labels` first meets them.
void label_addresses(std::string &text, std::map<std::string, size_t> &labels) {
  std::string labelled;
  size_t i = 0;
  while (i < text.size()) {
    if (!word_byte(static_cast<unsigned char>(text[i]))) {
      labelled += text[i++];
      continue;
    }
    size_t end = i;
    while (end < text.size() && word_byte(static_cast<unsigned char>(text[end]))) ++end;
    const std::string_view word(text.data() + i, end - i);
    const std::string address = address_of(word);
    if (address.empty()) {
      labelled += word;
    } else {
      const size_t label = labels.emplace(address, labels.size() + 1).first->second;
      labelled += "@" + std::to_string(label);
    }
    i = end;
  }
  text = std::move(labelled);
}

// The lines of a text, each with its newline (the last may have none).
std::vector<std::string_view> lines_of(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    const size_t end = std::min(text.find('\n'), text.size() - 1) + 1;
    lines.push_back(text.substr(0, end));
    text.remove_prefix(end);
  }
  return lines;
}

// One line of an edit script: ' ' kept, '-' only expected, '+' only actual;
// a and b index the lines of each side.
struct Edit {
  char op;
  size_t a, b;
};

// The edits that turn lines `a` into lines `b`: a longest common subsequence
// of the lines between their common head and tail, or, when that table
// would be too large, all of them replaced.
std::vector<Edit> edits(const std::vector<std::string_view> &a, const std::vector<std::string_view> &b) {
  size_t head = 0;
  while (head < a.size() && head < b.size() && a[head] == b[head]) ++head;
  size_t tail = 0;
  while (tail < a.size() - head && tail < b.size() - head && a[a.size() - 1 - tail] == b[b.size() - 1 - tail])
    ++tail;
  const size_t n = a.size() - head - tail, m = b.size() - head - tail;
  std::vector<Edit> script;
  for (size_t i = 0; i < head; ++i) script.push_back({' ', i, i});
  if ((n + 1) * (m + 1) <= kDiffCells) {
    // common[i][j]: the longest common subsequence of the middles from i and j on.
    std::vector<uint32_t> common((n + 1) * (m + 1), 0);
    auto at = [&](size_t i, size_t j) -> uint32_t & { return common[i * (m + 1) + j]; };
    for (size_t i = n; i-- > 0;) {
      for (size_t j = m; j-- > 0;) {
        at(i, j) = a[head + i] == b[head + j] ? at(i + 1, j + 1) + 1 : std::max(at(i + 1, j), at(i, j + 1));
      }
    }
    size_t i = 0, j = 0;
    while (i < n || j < m) {
      if (i < n && j < m && a[head + i] == b[head + j]) {
        script.push_back({' ', head + i++, head + j++});
      } else if (j == m || (i < n && at(i + 1, j) >= at(i, j + 1))) {
        script.push_back({'-', head + i++, head + j});
      } else {
        script.push_back({'+', head + i, head + j++});
      }
    }
  } else {
    for (size_t i = 0; i < n; ++i) script.push_back({'-', head + i, head});
    for (size_t j = 0; j < m; ++j) script.push_back({'+', head + n, head + j});
  }
  for (size_t i = 0; i < tail; ++i) script.push_back({' ', head + n + i, head + m + i});
  return script;
}

// A hunk's range as a unified diff writes it: "start,length", "start" alone
// for one line, the line before it for none.
std::string range(size_t start, size_t length) {
  if (length == 1) return std::to_string(start + 1);
  return std::to_string(length == 0 ? start : start + 1) + "," + std::to_string(length);
}

// A unified diff of `expected` against `actual` (three lines of context),
// cut after kDiffLines lines; empty when they are the same.
std::vector<std::string> unified_diff(const std::string &expected, const std::string &actual,
                                      const std::string &name) {
  if (expected == actual) return {};
  const std::vector<std::string_view> a = lines_of(expected), b = lines_of(actual);
  const std::vector<Edit> script = edits(a, b);
  std::vector<std::string> diff{"--- expected " + name, "+++ actual " + name};
  size_t k = 0;
  while (k < script.size()) {
    if (script[k].op == ' ') {
      ++k;
      continue;
    }
    // A hunk: from kContext lines before this change to kContext lines
    // after the last change that follows with at most 2 * kContext kept
    // lines between.
    const size_t first = k >= kContext ? k - kContext : 0;
    size_t last = k, kept = 0;
    for (size_t e = k; e < script.size() && kept <= 2 * kContext; ++e) {
      if (script[e].op == ' ') {
        ++kept;
      } else {
        last = e;
        kept = 0;
      }
    }
    const size_t end = std::min(last + kContext + 1, script.size());
    size_t a_length = 0, b_length = 0;
    for (size_t e = first; e < end; ++e) {
      a_length += script[e].op != '+';
      b_length += script[e].op != '-';
    }
    diff.push_back("@@ -" + range(script[first].a, a_length) + " +" + range(script[first].b, b_length) +
                   " @@");
    for (size_t e = first; e < end; ++e) {
      const std::string_view line = script[e].op == '+' ? b[script[e].b] : a[script[e].a];
      if (line.back() == '\n') {
        diff.push_back(script[e].op + std::string(line.substr(0, line.size() - 1)));
      } else {
        diff.push_back(script[e].op + std::string(line));
        diff.push_back("\\ No newline at end of file");
      }
    }
    k = end;
  }
  if (diff.size() > kDiffLines) {
    const size_t more = diff.size() - kDiffLines;
    diff.resize(kDiffLines);
    diff.push_back("... " + std::to_string(more) + " more lines of the diff");
  }
  return diff;
}

// The text of a file; empty when there is none.
std::string read_text(const fs::path &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Writes `text` into the file `path`; an empty string, or why it could not.
std::string write_text(const fs::path &path, const std::string &text) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file << text;
  file.close();
  if (file) return "";
  return "cannot write " + path.string() + ": " + std::strerror(errno);
}

// A word as a shell reads it back: quoted unless it is plain.
std::string shell_quoted(const std::string &word) {
  const bool plain = !word.empty() && word.find_first_not_of(
                                          "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                          "0123456789_-+=/.,:@%") == std::string::npos;
  if (plain) return word;
  std::string quoted = "'";
  for (char c : word) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  return quoted + "'";
}

// The verdict on one test.
struct Verdict {
  bool ok = true;
  bool updated = false;               // --update changed an expected file
  std::string reason;                 // why it failed, in a few words
  std::vector<std::string> comments;  // the lines that show why
};

// Fails the verdict for `reason`, which is also its first comment line.
void fail(Verdict &verdict, const std::string &reason) {
  if (verdict.ok) verdict.reason = reason;
  verdict.ok = false;
  verdict.comments.push_back(reason);
}

// The exit status must be 0 exactly when no .err file expects a failure.
void check_status(Verdict &verdict, const Run &run, bool failure_expected, const std::string &stem) {
  if (failure_expected && run.status == 0) {
    fail(verdict, "exit status 0, but " + stem + ".err expects a failure");
  } else if (!failure_expected && run.status != 0) {
    fail(verdict, "exit status " + std::to_string(run.status) + (run.status > 128 ? " (a signal)" : "") +
                      ", and there is no " + stem + ".err");
  }
}

// Judges a finished run against the expected files, or with --update
// writes them from it (an empty standard error removes the .err file) and
// checks that the run will pass against them.
Verdict judge(const Test &test, Run &run, const Settings &settings, const std::vector<std::string> &command) {
  Verdict verdict;
  if (run.timed_out) {
    fail(verdict, "no end after " + std::to_string(settings.timeout) + " s");
  } else if (run.flooded) {
    fail(verdict, "wrote more than " + std::to_string(kOutputLimit >> 20) + " MiB");
  }
  std::map<std::string, size_t> labels;
  label_addresses(run.out, labels);
  label_addresses(run.err, labels);
  const std::string stem = test.expected.filename().string();
  const fs::path out_file = fs::path(test.expected) += ".out";
  const fs::path err_file = fs::path(test.expected) += ".err";
  if (verdict.ok && settings.update) {
    std::error_code ignored;
    verdict.updated = read_text(out_file) != run.out || fs::exists(err_file) != !run.err.empty() ||
                      read_text(err_file) != run.err;
    if (const std::string problem = write_text(out_file, run.out); !problem.empty()) fail(verdict, problem);
    if (run.err.empty()) {
      fs::remove(err_file, ignored);
    } else if (const std::string problem = write_text(err_file, run.err); !problem.empty()) {
      fail(verdict, problem);
    }
    check_status(verdict, run, !run.err.empty(), stem);
  } else if (verdict.ok) {
    const std::vector<std::string> out_diff = unified_diff(read_text(out_file), run.out, test.name + ".out");
    const std::vector<std::string> err_diff = unified_diff(read_text(err_file), run.err, test.name + ".err");
    if (!out_diff.empty()) fail(verdict, "standard output differs from " + stem + ".out");
    verdict.comments.insert(verdict.comments.end(), out_diff.begin(), out_diff.end());
    if (!err_diff.empty()) fail(verdict, "standard error differs from " + stem + ".err");
    verdict.comments.insert(verdict.comments.end(), err_diff.begin(), err_diff.end());
    check_status(verdict, run, fs::exists(err_file), stem);
  }
  if (!verdict.ok) {
    std::string line = "run: cd " + shell_quoted(test.folder.string()) + " &&";
    for (const std::string &word : command) line += " " + shell_quoted(word);
    verdict.comments.push_back(line);
  }
  return verdict;
}

// ---- Reporting ----

// The test's name as a TAP description: '\' and '#' escaped, a line break
// shown as a blank.
std::string tap_name(const std::string &name) {
  std::string text;
  for (char c : name) {
    if (c == '\\' || c == '#') text += '\\';
    text += c == '\n' || c == '\r' ? ' ' : c;
  }
  return text;
}

// Text as XML character data or an attribute value: markup characters
// escaped, and what XML 1.0 cannot hold (bytes that are not UTF-8, control
// characters) written as U+FFFD.
std::string xml_text(std::string_view text) {
  static constexpr uint32_t kShortest[] = {0, 0, 0x80, 0x800, 0x10000};
  std::string xml;
  size_t i = 0;
  while (i < text.size()) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    const size_t length = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
    uint32_t code = length == 1 ? c : length == 2 ? c & 0x1F : length == 3 ? c & 0x0F : c & 0x07;
    bool encoded = length != 0 && i + length <= text.size();
    for (size_t k = 1; encoded && k < length; ++k) {
      const unsigned char more = static_cast<unsigned char>(text[i + k]);
      encoded = (more & 0xC0) == 0x80;
      code = (code << 6) | (more & 0x3F);
    }
    encoded = encoded && code >= kShortest[length];
    const bool allowed = code == 0x9 || code == 0xA || code == 0xD || (code >= 0x20 && code <= 0xD7FF) ||
                         (code >= 0xE000 && code <= 0xFFFD) || (code >= 0x10000 && code <= 0x10FFFF);
    if (!encoded || !allowed) {
      xml += "\xEF\xBF\xBD";
      i += encoded ? length : 1;
      continue;
    }
    switch (c) {
      case '&':
        xml += "&amp;";
        break;
      case '<':
        xml += "&lt;";
        break;
      case '>':
        xml += "&gt;";
        break;
      case '"':
        xml += "&quot;";
        break;
      default:
        xml.append(text.substr(i, length));
    }
    i += length;
  }
  return xml;
}

// A test with its run and its verdict.
struct Result {
  const Test *test;
  Verdict verdict;
  Run run;
};

// Writes the JUnit XML report of `results` into `file`; false when it could
// not be written (what stays in the buffer fails at fclose).
bool write_junit(std::FILE *file, const std::vector<Result> &results) {
  size_t failures = 0;
  double seconds = 0;
  for (const Result &r : results) {
    failures += !r.verdict.ok;
    seconds += r.run.seconds;
  }
  std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
  char totals[160];
  std::snprintf(totals, sizeof totals, "tests=\"%zu\" failures=\"%zu\" errors=\"0\" time=\"%.3f\"",
                results.size(), failures, seconds);
  xml += "<testsuites " + std::string(totals) + ">\n";
  xml += "  <testsuite name=\"zel --test\" " + std::string(totals) + ">\n";
  for (const Result &r : results) {
    char time[32];
    std::snprintf(time, sizeof time, "%.3f", r.run.seconds);
    xml += "    <testcase classname=\"zel\" name=\"" + xml_text(r.test->name) + "\" time=\"" + time + "\"";
    if (r.verdict.ok) {
      xml += "/>\n";
      continue;
    }
    std::string details;
    for (const std::string &line : r.verdict.comments) details += line + "\n";
    xml += ">\n      <failure message=\"" + xml_text(r.verdict.reason) + "\">" + xml_text(details) +
           "</failure>\n";
    xml += "      <system-out>" + xml_text(r.run.out) + "</system-out>\n";
    xml += "      <system-err>" + xml_text(r.run.err) + "</system-err>\n";
    xml += "    </testcase>\n";
  }
  xml += "  </testsuite>\n</testsuites>\n";
  return std::fwrite(xml.data(), 1, xml.size(), file) == xml.size();
}

// The TAP lines of one result.
void print_result(size_t number, const Result &r) {
  std::printf("%s %zu - %s%s\n", r.verdict.ok ? "ok" : "not ok", number, tap_name(r.test->name).c_str(),
              r.verdict.updated ? " # updated" : "");
  for (const std::string &line : r.verdict.comments) std::printf("# %s\n", line.c_str());
  std::fflush(stdout);
}

// The command that runs one test in its folder.
std::vector<std::string> test_command(const Test &test, const Settings &settings, const std::string &zel) {
  std::vector<std::string> command = settings.exec;
  command.push_back(zel);
  command.push_back("--leaks");
  command.push_back("--fake-clock");
  for (const auto &[option, value] : {std::pair{"--lib", &settings.lib}, std::pair{"--path", &settings.path},
                                      std::pair{"--coverage", &settings.coverage}}) {
    if (value->empty()) continue;
    command.push_back(option);
    command.push_back(fs::absolute(*value).string());
  }
  command.push_back("--");
  command.push_back(test.script);
  return command;
}

// Runs every test, at most settings.jobs at a time, and prints each result
// in the order of the tests as soon as it and those before it are known.
std::vector<Result> run_all(const std::vector<Test> &tests, const Settings &settings,
                            const std::string &zel) {
  Fd signal_read, signal_write;
  if (make_pipe(signal_read, signal_write)) {
    fcntl(signal_write.get(), F_SETFL, O_NONBLOCK);
    fcntl(signal_read.get(), F_SETFL, O_NONBLOCK);
  }
  child_signal_fd = signal_write.get();
  struct sigaction action {};
  action.sa_handler = on_child;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART | SA_NOCLDSTOP;
  struct sigaction before {};
  sigaction(SIGCHLD, &action, &before);

  std::vector<Result> results(tests.size());
  std::vector<bool> finished(tests.size(), false);
  std::vector<std::vector<std::string>> commands(tests.size());
  std::vector<Job> running;
  size_t next = 0, printed = 0;
  while (printed < tests.size()) {
    while (running.size() < settings.jobs && next < tests.size()) {
      commands[next] = test_command(tests[next], settings, zel);
      running.emplace_back(next, commands[next], tests[next].folder, settings.timeout);
      ++next;
    }
    std::vector<pollfd> fds{pollfd{signal_read.get(), POLLIN, 0}};
    Clock::time_point wake = Clock::time_point::max();
    for (const Job &job : running) {
      job.watch(fds);
      wake = std::min(wake, job.wake_at());
    }
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(wake - Clock::now()).count();
    poll(fds.data(), fds.size(), static_cast<int>(std::clamp<long long>(wait, 0, INT_MAX)));
    char drained[64];
    while (read(signal_read.get(), drained, sizeof drained) > 0) {
    }
    const Clock::time_point now = Clock::now();
    for (Job &job : running) job.step(fds, now);
    for (auto it = running.begin(); it != running.end();) {
      if (!it->done()) {
        ++it;
        continue;
      }
      const size_t i = it->index();
      results[i].test = &tests[i];
      results[i].run = it->take();
      results[i].verdict = judge(tests[i], results[i].run, settings, commands[i]);
      finished[i] = true;
      it = running.erase(it);
    }
    for (; printed < tests.size() && finished[printed]; ++printed)
      print_result(printed + 1, results[printed]);
  }
  sigaction(SIGCHLD, &before, nullptr);
  child_signal_fd = -1;
  return results;
}

}  // namespace

bool split_words(std::string_view text, std::vector<std::string> &words) {
  constexpr std::string_view kBlanks = " \t\r\n\v\f";
  size_t i = 0;
  for (;;) {
    while (i < text.size() && kBlanks.find(text[i]) != std::string_view::npos) ++i;
    if (i == text.size()) return true;
    std::string word;
    while (i < text.size() && kBlanks.find(text[i]) == std::string_view::npos) {
      const char c = text[i++];
      if (c == '\\') {
        if (i < text.size()) word += text[i++];
      } else if (c == '\'') {
        const size_t close = text.find('\'', i);
        if (close == std::string_view::npos) return false;
        word += text.substr(i, close - i);
        i = close + 1;
      } else if (c == '"') {
        for (;;) {
          if (i == text.size()) return false;
          const char q = text[i++];
          if (q == '"') break;
          if (q == '\\' && i < text.size() && (text[i] == '"' || text[i] == '\\')) {
            word += text[i++];
          } else {
            word += q;
          }
        }
      } else {
        word += c;
      }
    }
    words.push_back(std::move(word));
  }
}

std::string program_path() {
  char path[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof path);
  return std::string(path, static_cast<size_t>(std::max<ssize_t>(n, 0)));
}

int run_tests(const Settings &settings) {
  std::vector<Test> tests;
  std::FILE *junit = nullptr;
  try {
    tests = find_tests(settings.paths);
    if (tests.empty()) throw UsageError{"no NAME.zel script under the paths given"};
  } catch (const UsageError &error) {
    std::fprintf(stderr, "zel: --test: %s\n", error.message.c_str());
    return 2;
  }
  const std::string zel = program_path();
  if (zel.empty()) {
    std::fprintf(stderr, "zel: --test: cannot find the zel program to run: %s\n", std::strerror(errno));
    return 2;
  }
  if (!settings.junit.empty() && (junit = std::fopen(settings.junit.c_str(), "w")) == nullptr) {
    std::fprintf(stderr, "zel: --junit %s: %s\n", settings.junit.c_str(), std::strerror(errno));
    return 2;
  }
  std::printf("1..%zu\n", tests.size());
  std::fflush(stdout);
  const std::vector<Result> results = run_all(tests, settings, zel);
  const size_t failed =
      std::count_if(results.begin(), results.end(), [](const Result &r) { return !r.verdict.ok; });
  std::printf("%zu passed, %zu failed\n", results.size() - failed, failed);
  std::fflush(stdout);
  int status = failed > 0 ? 1 : 0;
  if (junit != nullptr) {
    const bool written = write_junit(junit, results);
    if (std::fclose(junit) != 0 || !written) {
      std::fprintf(stderr, "zel: --junit %s: cannot write the report\n", settings.junit.c_str());
      status = 1;
    }
  }
  return status;
}

}  // namespace zel::testing
