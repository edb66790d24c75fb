// zel: the stand-in ZEL interpreter. Loads objkit.so, starts it, then runs a
// script file, the text of -e, the script on standard input, or the prompt.
#include <dlfcn.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "lang/boot.h"
#include "lang/lang.h"
#include "runtime/runtime.h"
#include "zel/runner.h"

#ifdef ZEL_HAVE_LIBEDIT
#include <histedit.h>
#endif

namespace {

constexpr const char kUsage[] =
    "usage: zel [options] [script.zel [args...]]\n"
    "       zel [options] -e 'text' [args...]\n"
    "       zel --test [--lib PATH] [--path DIR] [test options] PATH...\n"
    "Runs a ZEL script, the text given with -e, or an interactive prompt when\n"
    "standard input is a terminal; otherwise reads the script from standard input.\n"
    "The strings args... are in the global array args. A first line\n"
    "// zel: OPTIONS [-- ARGS] of a script file gives options (those given here\n"
    "win) and the args when none are given here.\n"
    "\n"
    "options:\n"
    "  --path DIR      the folder of the logical name WQ_ZEL (compile \"WQ_ZEL:file\")\n"
    "  --lib PATH      the library to load (default: objkit.so next to zel)\n"
    "  --leaks         at exit, drop every global, report each object and zone block\n"
    "                  still live on standard error, and fail if there is any\n"
    "  --fake-clock    the clock starts at 1000000000.25 s and moves only by\n"
    "                  advance_clock (seconds)\n"
    "  --profile NAME  run the profiler's start and stop hooks around every call of\n"
    "                  the procedure NAME (a method: Class:name)\n"
    "  --test          run each script test NAME.zel in the files and folders PATH...\n"
    "                  (folders searched through, but not their folders named lib) as\n"
    "                  zel --leaks --fake-clock NAME.zel in its folder, and compare\n"
    "                  its standard output with NAME.out and standard error with\n"
    "                  NAME.err; one TAP line per test\n"
    "  --version       show the version\n"
    "  --help          show this text\n"
    "\n"
    "test options:\n"
    "  --update        write NAME.out and NAME.err from the run instead of comparing\n"
    "  --junit FILE    also write a JUnit XML report into FILE\n"
    "  -j N            run N tests at a time (default 1)\n"
    "  --timeout S     stop and fail a test that runs longer than S seconds\n"
    "                  (default 60)\n"
    "  --exec 'CMD'    run each test's zel under the command CMD (an emulator, say)\n";

// Options as parsed. Those a script's first line may set too come first.
struct Options {
  std::string path;
  std::string lib;
  std::string profile;
  bool leaks = false;
  bool fake_clock = false;
  bool has_text = false;
  std::string text;    // -e
  std::string script;  // empty: -e, standard input or the prompt
  std::vector<std::string> args;
  bool test = false;             // --test
  std::string test_option;       // the first option of --test seen, if any
  zel::testing::Settings tests;  // with --test
};

using Words = std::vector<std::string>;

// A word that is not a valid option where it stands.
struct OptionError {
  std::string message;
};

[[noreturn]] void usage_error(const std::string &message) {
  std::fprintf(stderr, "zel: %s\n%s", message.c_str(), kUsage);
  std::exit(2);
}

// Ends the process (status 2) unless `path`, the folder of --path, is a
// folder: the library would otherwise stop on a script source it cannot find.
void check_folder(const std::string &path) {
  struct stat st;
  const char *problem = nullptr;
  if (stat(path.c_str(), &st) != 0) {
    problem = errno == ENOENT ? "no such folder" : std::strerror(errno);
  } else if (!S_ISDIR(st.st_mode)) {
    problem = "not a folder";
  }
  if (problem == nullptr) return;
  std::fprintf(stderr, "zel: --path %s: %s\n", path.c_str(), problem);
  std::exit(2);
}

// The value of the option at words[i], moving i onto it. Throws OptionError
// when there is none.
const std::string &value_of(const Words &words, size_t &i) {
  if (i + 1 >= words.size()) throw OptionError{words[i] + " needs a value"};
  return words[++i];
}

// The whole number, from 1 to 100000, given to the option at words[i],
// moving i onto it. Throws OptionError for anything else.
unsigned count_of(const Words &words, size_t &i) {
  const std::string &option = words[i];
  const std::string &text = value_of(words, i);
  char *end = nullptr;
  errno = 0;
  const unsigned long n = std::strtoul(text.c_str(), &end, 10);
  if (text.empty() || text[0] == '-' || *end != '\0' || errno != 0 || n < 1 || n > 100000) {
    throw OptionError{option + " needs a whole number from 1 to 100000, not " + text};
  }
  return static_cast<unsigned>(n);
}

// Takes the option at words[i] (and its value) if it is one that a script's
// first line may set too: true when it did. Throws OptionError when its value
// is missing.
bool take_run_option(const Words &words, size_t &i, Options &o) {
  const std::string &a = words[i];
  if (a == "--path") {
    o.path = value_of(words, i);
  } else if (a == "--lib") {
    o.lib = value_of(words, i);
  } else if (a == "--profile") {
    o.profile = value_of(words, i);
  } else if (a == "--leaks") {
    o.leaks = true;
  } else if (a == "--fake-clock") {
    o.fake_clock = true;
  } else {
    return false;
  }
  return true;
}

// Takes an option of --test at words[i] (and its value): true when it did.
// Throws OptionError for a bad value.
bool take_test_option(const Words &words, size_t &i, Options &o) {
  const std::string &a = words[i];
  if (a == "--update") {
    o.tests.update = true;
  } else if (a == "--junit") {
    o.tests.junit = value_of(words, i);
  } else if (a == "-j") {
    o.tests.jobs = count_of(words, i);
  } else if (a == "--timeout") {
    o.tests.timeout = count_of(words, i);
  } else if (a == "--exec") {
    const std::string &command = value_of(words, i);
    o.tests.exec.clear();
    if (!zel::testing::split_words(command, o.tests.exec)) throw OptionError{"--exec has an unclosed quote"};
    if (o.tests.exec.empty()) throw OptionError{"--exec needs a command"};
  } else {
    return false;
  }
  if (o.test_option.empty()) o.test_option = a;
  return true;
}

// Parses the command line `words` (without the program's name) into `o`, on
// top of what `o` holds. Ends the process with the usage (status 2) on a bad
// option; --help and --version end it with status 0.
void parse_command_line(const Words &words, Options &o) {
  size_t i = 0;
  try {
    for (; i < words.size(); ++i) {
      const std::string &a = words[i];
      if (take_run_option(words, i, o) || take_test_option(words, i, o)) continue;
      if (a == "--help") {
        std::fputs(kUsage, stdout);
        std::exit(0);
      } else if (a == "--version") {
        std::puts("zel " OBJKIT_VERSION);
        std::exit(0);
      } else if (a == "--test") {
        o.test = true;
      } else if (a == "-e") {
        o.text = value_of(words, i);
        o.has_text = true;
      } else if (a == "--") {
        ++i;
        break;
      } else if (a.size() > 1 && a[0] == '-') {
        throw OptionError{"unknown option " + a};
      } else {
        break;
      }
    }
  } catch (const OptionError &error) {
    usage_error(error.message);
  }
  if (o.test) {
    if (o.has_text || !o.profile.empty() || o.leaks || o.fake_clock) {
      usage_error(
          "--test takes only --lib, --path and the test options (each test runs with --leaks and "
          "--fake-clock)");
    }
    if (i == words.size()) usage_error("--test needs a file or folder of tests");
    o.tests.paths.assign(words.begin() + static_cast<ptrdiff_t>(i), words.end());
    o.tests.lib = o.lib;
    o.tests.path = o.path;
    return;
  }
  if (!o.test_option.empty()) usage_error(o.test_option + " needs --test");
  if (!o.has_text && i < words.size()) o.script = words[i++];
  o.args.assign(words.begin() + static_cast<ptrdiff_t>(i), words.end());
}

// The words after "// zel:" on the first line of the script file `script`
// (after a byte-order mark): false when it has no such line or cannot be read.
bool read_script_line(const std::string &script, std::string &words) {
  std::FILE *file = std::fopen(script.c_str(), "rb");
  if (file == nullptr) return false;
  std::string line;
  int c;
  while ((c = std::fgetc(file)) != EOF && c != '\n') line += static_cast<char>(c);
  std::fclose(file);
  std::string_view rest = line;
  if (rest.starts_with("\xEF\xBB\xBF")) rest.remove_prefix(3);
  constexpr std::string_view kBlanks = " \t\r\v\f";
  auto skip_blanks = [&] { rest.remove_prefix(std::min(rest.find_first_not_of(kBlanks), rest.size())); };
  skip_blanks();
  if (!rest.starts_with("//")) return false;
  rest.remove_prefix(2);
  skip_blanks();
  if (!rest.starts_with("zel:")) return false;
  words = rest.substr(4);
  return true;
}

// Parses the command line; for a script file, under the options of its first
// line `// zel: OPTIONS [-- ARGS]` (the command line wins where both set one;
// ARGS are the args when the command line gives none). Ends the process
// (status 2) on a bad option, with the usage for one on the command line.
Options parse_options(int argc, char **argv) {
  const Words words(argv + 1, argv + argc);
  Options o;
  parse_command_line(words, o);
  std::string text;
  if (!o.script.empty() && read_script_line(o.script, text)) {
    const std::string place = o.script + ":1: the // zel: line";
    Words line;
    if (!zel::testing::split_words(text, line)) {
      std::fprintf(stderr, "%s has an unclosed quote\n", place.c_str());
      std::exit(2);
    }
    Options merged;
    size_t i = 0;
    try {
      for (; i < line.size() && line[i] != "--"; ++i) {
        if (!take_run_option(line, i, merged)) {
          throw OptionError{"cannot set " + line[i] + " (the args come after --)"};
        }
      }
    } catch (const OptionError &error) {
      std::fprintf(stderr, "%s: %s\n", place.c_str(), error.message.c_str());
      std::exit(2);
    }
    parse_command_line(words, merged);
    if (merged.args.empty() && i < line.size())
      merged.args.assign(line.begin() + static_cast<ptrdiff_t>(i) + 1, line.end());
    o = std::move(merged);
  }
  if (!o.path.empty()) check_folder(o.path);
  return o;
}

// objkit.so in the folder of the zel executable.
std::string default_lib() {
  const std::string path = zel::testing::program_path();
  const size_t slash = path.rfind('/');
  return (slash == std::string::npos ? std::string(".") : path.substr(0, slash)) + "/objkit.so";
}

// Loads the library with its symbols resolved now and made global, then
// starts it. Ends the process when it cannot be loaded.
void load_library(const std::string &path) {
  void *lib = dlopen(path.c_str(), RTLD_NOW | RTLD_GLOBAL);
  if (!lib) {
    std::fprintf(stderr, "zel: cannot load %s: %s\n", path.c_str(), dlerror());
    std::exit(1);
  }
  auto init = reinterpret_cast<void (*)()>(dlsym(lib, "objkit_init_module"));
  if (!init) {
    std::fprintf(stderr, "zel: %s has no objkit_init_module\n", path.c_str());
    std::exit(1);
  }
  init();
}

// The list class that the module's script source defines must keep `handle`
// at instance variable 4, as t_c_object does (the library checks
// t_c_object itself): the list's native methods read the list there. A
// source that does not fit ends zel with a clear error before any script
// runs, instead of letting those methods read past the object.
void check_module_source() {
  constexpr int32_t kHandleIndex = 4;
  if (zel::rt::find_class("T_DblLnk") == nullptr) return;
  if (iv_index("T_DblLnk", "handle", 0) == kHandleIndex) return;
  std::fflush(stdout);
  std::fprintf(stderr,
               "zel: the module source defines class T_DblLnk without instance variable handle at index 4, "
               "where the list methods read it (build it on t_c_object)\n");
  std::exit(1);
}

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
  zel::lang::interrupt(true);
}

// Takes a Ctrl-C that came since the last call: true if there was one.
bool take_interrupt() {
  const bool was = interrupted != 0;
  interrupted = 0;
  zel::lang::interrupt(false);
  return was;
}

// Reads a line (with its newline) for the prompt; false at the end of input
// or when Ctrl-C interrupts the reading.
class LineReader {
 public:
#ifdef ZEL_HAVE_LIBEDIT
  LineReader() : el_(el_init("zel", stdin, stdout, stderr)), history_(history_init()) {
    HistEvent ev;
    history(history_, &ev, H_SETSIZE, 1000);
    el_set(el_, EL_HIST, history, history_);
    el_set(el_, EL_EDITOR, "emacs");
    el_set(el_, EL_CLIENTDATA, this);
    el_set(el_, EL_PROMPT, &LineReader::prompt_text);
    el_set(el_, EL_GETCFN, &LineReader::read_char);
  }
  ~LineReader() {
    el_end(el_);
    history_end(history_);
  }

  bool read(bool continued, std::string &line) {
    continued_ = continued;
    int count = 0;
    const char *text = el_gets(el_, &count);
    if (!text || count <= 0) return false;
    line = text;
    return true;
  }

  void remember(const std::string &entry) {
    HistEvent ev;
    history(history_, &ev, H_ENTER, entry.c_str());
  }

 private:
  static char *prompt_text(EditLine *el) {
    LineReader *reader = nullptr;
    el_get(el, EL_CLIENTDATA, &reader);
    return const_cast<char *>(reader != nullptr && reader->continued_ ? "...> " : "zel> ");
  }

  // The editor's next character from standard input: 1 with it in *out, 0 at
  // the end of input, -1 (errno EINTR) on Ctrl-C. SIGINT stays blocked but
  // inside ppoll, so a Ctrl-C that comes before the wait is seen by the test
  // of the flag and one during it ends the wait: none is lost while the
  // editor draws its prompt. Bytes that do not make a character are skipped.
  static int read_char(EditLine *, wchar_t *out) {
    sigset_t intr, open;
    sigemptyset(&intr);
    sigaddset(&intr, SIGINT);
    std::mbstate_t state{};
    for (;;) {
      sigprocmask(SIG_BLOCK, &intr, &open);
      pollfd in{STDIN_FILENO, POLLIN, 0};
      const int ready = interrupted != 0 ? -1 : ppoll(&in, 1, nullptr, &open);
      const int waited = errno;
      sigprocmask(SIG_SETMASK, &open, nullptr);
      if (ready < 0 && (interrupted != 0 || waited == EINTR)) {
        errno = EINTR;
        return -1;
      }
      char byte;
      const ssize_t got = ::read(STDIN_FILENO, &byte, 1);
      if (got <= 0) return got == 0 ? 0 : -1;
      wchar_t c;
      const size_t made = std::mbrtowc(&c, &byte, 1, &state);
      if (made == static_cast<size_t>(-2)) continue;
      if (made == static_cast<size_t>(-1)) {
        state = std::mbstate_t{};
        continue;
      }
      *out = c;
      return 1;
    }
  }

  bool continued_ = false;
  EditLine *el_;
  History *history_;
#else
  LineReader() = default;

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

  void remember(const std::string &) {}
#endif

  LineReader(const LineReader &) = delete;
  LineReader &operator=(const LineReader &) = delete;
};

// The interactive prompt: runs each complete entry; an error is reported and
// the prompt carries on. Ctrl-C abandons the entry being typed, or stops the
// one running (see on_interrupt).
void prompt() {
  struct sigaction action {};
  action.sa_handler = on_interrupt;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);  // no SA_RESTART: the reading returns
  LineReader reader;
  std::string entry, line;
  for (;;) {
    if (!reader.read(!entry.empty(), line)) {
      if (!take_interrupt()) break;
      std::fputc('\n', stdout);
      entry.clear();
      continue;
    }
    entry += line;
    if (!zel::lang::complete(entry)) continue;
    if (entry.find_first_not_of(" \t\r\n") != std::string::npos) {
      std::string remembered = entry;
      while (!remembered.empty() && remembered.back() == '\n') remembered.pop_back();
      reader.remember(remembered);
      take_interrupt();
      try {
        zel::lang::run(entry, "<prompt>");
      } catch (const zel::rt::ScriptError &error) {
        zel::lang::report(error);
      }
      take_interrupt();
    }
    entry.clear();
  }
  std::fputc('\n', stdout);
}

// The whole of standard input. Throws ScriptError when it cannot be read
// (a folder, say).
std::string read_stdin() {
  std::string text;
  char buffer[4096];
  size_t n;
  errno = 0;
  while ((n = std::fread(buffer, 1, sizeof buffer, stdin)) > 0) text.append(buffer, n);
  if (std::ferror(stdin)) {
    throw zel::rt::ScriptError{std::string("cannot read standard input: ") +
                               std::strerror(errno != 0 ? errno : EIO)};
  }
  return text;
}

// The strings after the script, as the global array args.
void set_args(const std::vector<std::string> &args) {
  zel::rt::Ref array = zel::rt::make_array(args.size());
  for (size_t i = 0; i < args.size(); ++i) {
    zel::rt::assign_ref(host::slot(array.get(), static_cast<int32_t>(i)), zel::rt::make_string(args[i]));
  }
  zel::lang::set_global("args", std::move(array));
}

// Runs what the options name; the exit status.
int run(const Options &o) {
  try {
    if (o.has_text) {
      zel::lang::run(o.text, "-e");
    } else if (!o.script.empty()) {
      zel::lang::run_file(o.script);
    } else if (isatty(STDIN_FILENO)) {
      prompt();
    } else {
      zel::lang::run(read_stdin(), "<stdin>");
    }
  } catch (const zel::rt::ScriptError &error) {
    zel::lang::report(error);
    return 1;
  } catch (const std::bad_alloc &) {
    zel::lang::report(zel::rt::ScriptError{"out of memory"});
    return 1;
  }
  return 0;
}

// --leaks: drops every global, then reports what is still live. A message
// that fails during the drop fails the run too (reported when it is the first
// error). The exit status.
int check_leaks(int status) {
  try {
    zel::lang::drop_globals();
  } catch (const zel::rt::ScriptError &error) {
    if (status == 0) zel::lang::report(zel::rt::ScriptError{"at exit: " + error.text()});
    status = 1;
  }
  std::fflush(stdout);
  if (zel::rt::report_leaks(stderr) > 0) status = 1;
  return status;
}

}  // namespace

int main(int argc, char **argv) {
  const Options o = parse_options(argc, argv);
  if (o.test) return zel::testing::run_tests(o.tests);
  zel::boot(o.path);
  if (o.fake_clock) zel::rt::fake_clock(true);
  if (!o.profile.empty()) zel::rt::set_profiled(o.profile);
  load_library(o.lib.empty() ? default_lib() : o.lib);
  check_module_source();
  set_args(o.args);

  int status = run(o);
  if (o.leaks) status = check_leaks(status);
  std::fflush(stdout);
  return status;
}
