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
#include "lang/files.h"
#include "lang/lang.h"
#include "runtime/runtime.h"

#ifdef ZEL_HAVE_LIBEDIT
#include <histedit.h>
#endif

namespace {

constexpr const char kUsage[] =
    "usage: zel [options] [script.zel [args...]]\n"
    "       zel [options] -e 'text' [args...]\n"
    "Runs a ZEL script, the text given with -e, or an interactive prompt when\n"
    "standard input is a terminal; otherwise reads the script from standard input.\n"
    "The strings args... are in the global array args.\n"
    "\n"
    "options:\n"
    "  --path DIR      the folder of the logical name WQ_ZEL (compile \"WQ_ZEL:file\"),\n"
    "                  which must hold objkit.zel (default: the environment's WQ_ZEL,\n"
    "                  else zel's own share/objkit)\n"
    "  --lib PATH      the library to load (default: zel's own lib/objkit.so)\n"
    "  --leaks         at exit, once the globals are dropped (as always), report each\n"
    "                  object and zone block still live on standard error, and fail\n"
    "                  if there is any\n"
    "  --fake-clock    the clock starts at 1000000000.25 s and moves only by\n"
    "                  advance_clock (seconds)\n"
    "  --profile NAME  run the profiler's start and stop hooks around each outermost\n"
    "                  call of the procedure NAME (a method: Class:name, named by the\n"
    "                  class that defines it); warns at exit when none ran\n"
    "  --version       show the version\n"
    "  --help          show this text\n";

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

Options parse_options(int argc, char **argv) {
  Options o;
  int i = 1;
  auto value = [&](const char *option) -> std::string {
    if (i + 1 >= argc) usage_error(std::string(option) + " needs a value");
    return argv[++i];
  };
  for (; i < argc; ++i) {
    const std::string_view a = argv[i];
    if (a == "--help") {
      std::fputs(kUsage, stdout);
      std::exit(0);
    } else if (a == "--version") {
      std::puts("zel " OBJKIT_VERSION);
      std::exit(0);
    } else if (a == "--path") {
      o.path = value("--path");
    } else if (a == "--lib") {
      o.lib = value("--lib");
    } else if (a == "--profile") {
      o.profile = value("--profile");
    } else if (a == "--leaks") {
      o.leaks = true;
    } else if (a == "--fake-clock") {
      o.fake_clock = true;
    } else if (a == "-e") {
      o.text = value("-e");
      o.has_text = true;
    } else if (a == "--") {
      ++i;
      break;
    } else if (a.size() > 1 && a[0] == '-') {
      usage_error("unknown option " + std::string(a));
    } else {
      break;
    }
  }
  if (!o.has_text && i < argc) o.script = argv[i++];
  for (; i < argc; ++i) o.args.emplace_back(argv[i]);
  if (!o.path.empty()) check_folder(o.path);
  return o;
}

// The folder of the zel program itself ("." when the system does not say).
std::string program_folder() {
  char exe[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
  const std::string path = n > 0 ? std::string(exe, static_cast<size_t>(n)) : std::string();
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

// `folder` joined with the relative path `relative`, each leading "../" of
// which takes the last name off `folder`.
std::string join(std::string folder, std::string_view relative) {
  size_t slash;
  while (relative.starts_with("../") && (slash = folder.rfind('/')) != std::string::npos) {
    folder.erase(slash);
    relative.remove_prefix(3);
  }
  return folder + "/" + std::string(relative);
}

// The files zel uses when no option names them, found from its own folder.
// In the build folder: objkit.so beside zel and the source tree's scripts/
// through the link scripts there. Installed or unpacked: the library and the
// module source where the install put them relative to bin/.
struct Home {
  std::string lib;
  std::string scripts;
};

Home find_home() {
  const std::string folder = program_folder();
  const std::string beside = folder + "/objkit.so";
  if (access(beside.c_str(), F_OK) == 0) return {beside, folder + "/scripts"};
  return {join(folder, ZEL_INSTALLED_LIB), join(folder, ZEL_INSTALLED_SCRIPTS)};
}

// The folder WQ_ZEL names for the library's start-up, and which setting
// gave it: --path, else the environment's WQ_ZEL, else zel's own.
struct ModuleFolder {
  std::string path;
  const char *from;
};

ModuleFolder module_folder(const Options &o, const Home &home) {
  if (!o.path.empty()) return {o.path, "--path"};
  const char *env = std::getenv("WQ_ZEL");
  if (env != nullptr && *env != '\0') return {env, "the environment"};
  return {home.scripts, "zel's default"};
}

// Ends the process (status 1) unless the module source that the library's
// start-up compiles, objkit.zel in the folder of WQ_ZEL, can be read: the
// library would stop on it with a fatal error that does not say why.
void check_module_folder(const ModuleFolder &folder) {
  try {
    zel::lang::read_file(zel::lang::compile_path("WQ_ZEL:objkit"));
  } catch (const zel::rt::ScriptError &error) {
    std::fprintf(stderr, "zel: WQ_ZEL (from %s) names %s: %s\n", folder.from, folder.path.c_str(),
                 error.text().c_str());
    std::exit(1);
  }
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

// At exit, with or without --leaks: drops every global, so that what their
// releases say is the same in both modes. A message that fails during the
// drop fails the run too (reported when it is the first error). The exit
// status.
int drop_globals(int status) {
  try {
    zel::lang::drop_globals();
  } catch (const zel::rt::ScriptError &error) {
    if (status == 0) zel::lang::report(zel::rt::ScriptError{"at exit: " + error.text()});
    status = 1;
  }
  return status;
}

// --profile NAME that no call matched: a misspelt name, a built-in method or
// a method named by a subclass. Warns on standard error; never fails.
void warn_unmatched_profile(const std::string &name) {
  if (name.empty() || zel::rt::profile_matched()) return;
  std::fflush(stdout);
  std::fprintf(stderr,
               "zel: --profile %s matched nothing: no call of a script procedure of that name ran "
               "(a method is named by the class that defines it, Class:name)\n",
               name.c_str());
}

}  // namespace

int main(int argc, char **argv) {
  const Options o = parse_options(argc, argv);
  const Home home = find_home();
  const ModuleFolder folder = module_folder(o, home);
  zel::boot(folder.path);
  check_module_folder(folder);
  if (o.fake_clock) zel::rt::fake_clock(true);
  if (!o.profile.empty()) zel::rt::set_profiled(o.profile);
  load_library(o.lib.empty() ? home.lib : o.lib);
  check_module_source();
  set_args(o.args);

  int status = drop_globals(run(o));
  warn_unmatched_profile(o.profile);
  std::fflush(stdout);
  if (o.leaks && zel::rt::report_leaks(stderr) > 0) status = 1;
  return status;
}
