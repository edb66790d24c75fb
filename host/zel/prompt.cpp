// zel's interactive prompt: the line readers (libedit when the build has it
// and the library loads, with name completion and a history file; otherwise a
// plain reader), Ctrl-C while an entry is typed or runs, the banner, and the
// loop that runs entries. libedit is opened when the prompt opens, not when
// zel starts: a run of a script maps no line editor.
#include "zel/prompt.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "lang/lang.h"
#include "lang/lexer.h"
#include "runtime/runtime.h"

#ifdef ZEL_HAVE_LIBEDIT
#include <dlfcn.h>
#include <histedit.h>
#endif

namespace zel {

namespace {

constexpr const char kBanner[] =
    "zel " OBJKIT_VERSION " (objkit): zel --help lists the options; Ctrl-D leaves\n";

// Ctrl-C at the prompt. While an entry is read it abandons the entry; while
// one runs it stops the script at its next loop iteration or call; a second
// Ctrl-C before the script has stopped ends zel.
volatile std::sig_atomic_t interrupted = 0;

void on_interrupt(int) {
  if (interrupted != 0) {
    constexpr const char kEnd[] = "\nzel: interrupted\n";
    (void)!write(STDERR_FILENO, kEnd, sizeof kEnd - 1);
    _exit(130);
  }
  interrupted = 1;
  lang::interrupt(true);
}

// Takes a Ctrl-C that came since the last call: true if there was one.
bool take_interrupt() {
  const bool was = interrupted != 0;
  interrupted = 0;
  lang::interrupt(false);
  return was;
}

#ifdef ZEL_HAVE_LIBEDIT

// A character as names are compared, without regard to case.
char folded(char c) {
  return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
}

// True when `name` begins with `prefix`, without regard to case.
bool starts_with_folded(std::string_view name, std::string_view prefix) {
  return name.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), name.begin(),
                                                    [](char a, char b) { return folded(a) == folded(b); });
}

// The names that complete `word` (after `receiver:` when a receiver is
// given), sorted without regard to case and without repeats.
std::vector<std::string> matches(std::string_view receiver, std::string_view word) {
  std::vector<std::string> found;
  for (std::string &name : lang::completions(receiver)) {
    if (starts_with_folded(name, word)) found.push_back(std::move(name));
  }
  std::sort(found.begin(), found.end(), [](const std::string &a, const std::string &b) {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                        [](char x, char y) { return folded(x) < folded(y); });
  });
  found.erase(std::unique(found.begin(), found.end()), found.end());
  return found;
}

// The longest beginning that all the names share without regard to case, as
// the first one spells it.
std::string shared_prefix(const std::vector<std::string> &names) {
  std::string prefix = names.front();
  for (const std::string &name : names) {
    size_t n = 0;
    while (n < prefix.size() && n < name.size() && folded(prefix[n]) == folded(name[n])) ++n;
    prefix.resize(n);
  }
  return prefix;
}

// The history file: ZEL_HISTORY, else ~/.zel_history; "" for none (ZEL_HISTORY
// set empty, or no home).
std::string history_path() {
  if (const char *named = std::getenv("ZEL_HISTORY")) return named;
  const char *home = std::getenv("HOME");
  if (home == nullptr || *home == '\0') return "";
  return std::string(home) + "/.zel_history";
}

// The libedit routines the prompt calls, found in the library at run time.
struct Libedit {
  decltype(&::el_init) init;
  decltype(&::el_end) end;
  decltype(&::el_set) set;
  decltype(&::el_wset) wset;
  decltype(&::el_get) get;
  decltype(&::el_gets) gets;
  decltype(&::el_line) line;
  decltype(&::el_deletestr) deletestr;
  decltype(&::el_insertstr) insertstr;
  decltype(&::history_init) history_init;
  decltype(&::history_end) history_end;
  decltype(&::history) history;
};

// Opens libedit by ZEL_LIBEDIT, the shared-object name of the one the build
// found, and looks up its routines: null when it cannot be loaded or lacks
// one of them.
const Libedit *load_libedit() {
  void *lib = dlopen(ZEL_LIBEDIT, RTLD_NOW | RTLD_LOCAL);
  if (lib == nullptr) return nullptr;
  static Libedit e;
  bool found = true;
  const auto bind = [&](const char *name, auto &fn) {
    fn = reinterpret_cast<std::remove_reference_t<decltype(fn)>>(dlsym(lib, name));
    found = found && fn != nullptr;
  };
  bind("el_init", e.init);
  bind("el_end", e.end);
  bind("el_set", e.set);
  bind("el_wset", e.wset);
  bind("el_get", e.get);
  bind("el_gets", e.gets);
  bind("el_line", e.line);
  bind("el_deletestr", e.deletestr);
  bind("el_insertstr", e.insertstr);
  bind("history_init", e.history_init);
  bind("history_end", e.history_end);
  bind("history", e.history);
  if (found) return &e;
  dlclose(lib);
  return nullptr;
}

// libedit, loaded on the first call; null when it cannot be (see load_libedit).
const Libedit *libedit() {
  static const Libedit *const loaded = load_libedit();
  return loaded;
}

// Reads a line (with its newline) for the prompt through libedit: edits it,
// completes names on Tab and keeps the history of entries in its file.
class EditingReader {
 public:
  explicit EditingReader(const Libedit &edit)
      : edit_(edit),
        el_(edit.init("zel", stdin, stdout, stderr)),
        history_(edit.history_init()),
        history_file_(history_path()) {
    HistEvent ev;
    edit_.history(history_, &ev, H_SETSIZE, 1000);
    edit_.history(history_, &ev, H_SETUNIQUE, 1);
    edit_.set(el_, EL_HIST, edit_.history, history_);
    edit_.set(el_, EL_EDITOR, "emacs");
    edit_.set(el_, EL_CLIENTDATA, this);
    edit_.set(el_, EL_PROMPT, &EditingReader::prompt_text);
    edit_.set(el_, EL_GETCFN, &EditingReader::read_char);
    // The wide form keeps the names as given; the narrow one copies them and
    // never frees the copies.
    edit_.wset(el_, EL_ADDFN, L"zel-complete", L"complete the name before the cursor",
               &EditingReader::complete);
    edit_.set(el_, EL_BIND, "^I", "zel-complete", nullptr);
    load_history();
  }
  ~EditingReader() {
    edit_.end(el_);
    edit_.history_end(history_);
  }

  EditingReader(const EditingReader &) = delete;
  EditingReader &operator=(const EditingReader &) = delete;

  // The next line, with its newline: false at the end of input or when
  // Ctrl-C interrupts the reading.
  bool read(bool continued, std::string &line) {
    continued_ = continued;
    int count = 0;
    const char *text = edit_.gets(el_, &count);
    if (count <= 0) return false;  // text is null then, and only then
    line = text;
    return true;
  }

  // Adds an entry to the history and saves the history in its file.
  void remember(const std::string &entry) {
    HistEvent ev;
    edit_.history(history_, &ev, H_ENTER, entry.c_str());
    if (history_file_.empty()) return;
    // What fails in saving (opening, writing the file) sets errno.
    if (edit_.history(history_, &ev, H_SAVE, history_file_.c_str()) < 0) {
      give_up("history not saved: cannot write " + history_file_ + ": " + std::strerror(errno));
    }
  }

 private:
  // The reader that owns `el`, set before the editor first reads.
  static EditingReader &reader_of(EditLine *el) {
    EditingReader *reader = nullptr;
    libedit()->get(el, EL_CLIENTDATA, &reader);
    return *reader;
  }

  static char *prompt_text(EditLine *el) {
    return const_cast<char *>(reader_of(el).continued_ ? "...> " : "zel> ");
  }

  // The editor's next character from standard input: 1 with it in *out, 0 at
  // the end of input, -1 (errno EINTR) on Ctrl-C or when the wait fails.
  // SIGINT stays blocked but inside ppoll, so a Ctrl-C that comes before the
  // wait is seen by the test of the flag and one during it ends the wait:
  // none is lost while the editor draws its prompt. zel runs in the C
  // locale, where each byte below 0x80 is a character; the others are
  // skipped.
  static int read_char(EditLine *, wchar_t *out) {
    sigset_t intr, open;
    sigemptyset(&intr);
    sigaddset(&intr, SIGINT);
    for (;;) {
      sigprocmask(SIG_BLOCK, &intr, &open);
      pollfd in{STDIN_FILENO, POLLIN, 0};
      const int ready = interrupted != 0 ? -1 : ppoll(&in, 1, nullptr, &open);
      sigprocmask(SIG_SETMASK, &open, nullptr);
      if (ready < 0) {
        errno = EINTR;
        return -1;
      }
      unsigned char byte;
      const ssize_t got = ::read(STDIN_FILENO, &byte, 1);
      if (got <= 0) return static_cast<int>(got);  // 0 at the end, -1 on an error
      const wint_t c = std::btowc(byte);
      if (c == WEOF) continue;
      *out = static_cast<wchar_t>(c);
      return 1;
    }
  }

  // Tab: completes the name before the cursor (a message name after
  // `receiver:`) as far as the names that fit agree, or else lists them
  // under the line. The editor's answer: redraw, or beep when none fits.
  static unsigned char complete(EditLine *el, int) {
    const Libedit &edit = reader_of(el).edit_;
    const LineInfo *line = edit.line(el);
    const char *start = line->cursor;
    while (start > line->buffer && lang::in_name(start[-1])) --start;
    const std::string_view word(start, static_cast<size_t>(line->cursor - start));
    std::string_view receiver;
    if (start > line->buffer && start[-1] == ':') {
      const char *r = start - 1;
      while (r > line->buffer && lang::in_name(r[-1])) --r;
      receiver = std::string_view(r, static_cast<size_t>(start - 1 - r));
      if (receiver.empty()) return CC_REFRESH_BEEP;
    }
    const std::vector<std::string> found = matches(receiver, word);
    if (found.empty()) return CC_REFRESH_BEEP;
    const std::string prefix = shared_prefix(found);
    if (prefix.size() > word.size() || (found.size() == 1 && prefix != word)) {
      edit.deletestr(el, static_cast<int>(word.size()));
      edit.insertstr(el, prefix.c_str());
      return CC_REFRESH;
    }
    if (found.size() == 1) return CC_REFRESH;
    std::string list = "\n";
    for (const std::string &name : found) list += (list.size() > 1 ? "  " : "") + name;
    list += '\n';
    std::fputs(list.c_str(), stdout);
    std::fflush(stdout);
    return CC_REDISPLAY;
  }

  // Loads the history from its file. A file that is not there, or is empty,
  // is an empty history; one that cannot be read (a folder opens, then fails
  // to read), or does not hold a history, is left alone (with a warning).
  // With no history file (""), fopen fails with ENOENT: nothing is loaded.
  void load_history() {
    std::FILE *in = std::fopen(history_file_.c_str(), "r");
    const int first = in != nullptr ? std::fgetc(in) : EOF;
    const int error = in == nullptr || std::ferror(in) ? errno : 0;
    if (in != nullptr) std::fclose(in);
    HistEvent ev;
    if (error != 0 && error != ENOENT) {
      give_up("history not loaded or saved: cannot read " + history_file_ + ": " + std::strerror(error));
    } else if (first != EOF && edit_.history(history_, &ev, H_LOAD, history_file_.c_str()) < 0) {
      give_up("history not loaded or saved: " + history_file_ + " is not a zel history file");
    }
  }

  // Stops using the history file, with one warning line on standard error:
  // after it, the history is kept for this run only.
  void give_up(const std::string &problem) {
    std::fprintf(stderr, "zel: %s\n", problem.c_str());
    history_file_.clear();
  }

  const Libedit &edit_;
  bool continued_ = false;
  EditLine *el_;
  History *history_;
  std::string history_file_;  // "" when the history is not saved
};

#endif

// Reads a line for the prompt from standard input as it comes, without
// editing or history.
class PlainReader {
 public:
  PlainReader() = default;
  PlainReader(const PlainReader &) = delete;
  PlainReader &operator=(const PlainReader &) = delete;

  // The next line, with its newline: false at the end of input or when
  // Ctrl-C interrupts the reading.
  bool read(bool continued, std::string &line) {
    std::fputs(continued ? "...> " : "zel> ", stdout);
    std::fflush(stdout);
    line.clear();
    int c;
    while ((c = std::fgetc(stdin)) != EOF) {
      line += static_cast<char>(c);
      if (c == '\n') break;
    }
    if (std::ferror(stdin)) {
      std::clearerr(stdin);
      return false;
    }
    return !line.empty();
  }

  // Keeps no history.
  void remember(const std::string &) {}
};

// Reads entries with `reader` and runs each once it is complete, to the end
// of input, then ends the prompt's line (see prompt()).
template <typename Reader>
void run_entries(Reader &reader) {
  std::string entry, line;
  for (;;) {
    if (!reader.read(!entry.empty(), line)) {
      if (!take_interrupt()) break;
      std::fputc('\n', stdout);
      entry.clear();
      continue;
    }
    entry += line;
    if (!lang::complete(entry)) continue;
    if (entry.find_first_not_of(" \t\r\n") != std::string::npos) {
      // Without its newlines; the entry holds more than blanks.
      reader.remember(entry.substr(0, entry.find_last_not_of('\n') + 1));
      take_interrupt();
      try {
        lang::run(entry, "<prompt>", lang::Echo::kLast);
      } catch (const rt::ScriptError &error) {
        lang::report(error);
      }
      take_interrupt();
    }
    entry.clear();
  }
  std::fputc('\n', stdout);
}

}  // namespace

void prompt() {
  struct sigaction action {};
  action.sa_handler = on_interrupt;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);  // no SA_RESTART: the reading returns
  if (isatty(STDOUT_FILENO)) {
    std::fputs(kBanner, stdout);
    std::fflush(stdout);
  }
#ifdef ZEL_HAVE_LIBEDIT
  if (const Libedit *edit = libedit()) {
    EditingReader reader(*edit);
    run_entries(reader);
    return;
  }
#endif
  PlainReader reader;
  run_entries(reader);
}

}  // namespace zel
