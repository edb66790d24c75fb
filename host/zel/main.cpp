// zel: the stand-in ZEL interpreter. Loads objkit.so, starts it, then runs a
// script file, the text of -e, the script on standard input, or the prompt.
#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "lang/boot.h"
#include "lang/files.h"
#include "lang/lang.h"
#include "lang/profile.h"
#include "runtime/runtime.h"
#include "zel/prompt.h"
#include "zel/runner.h"

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
    "  --profile-all   at exit, write on standard error the time of the run and a\n"
    "                  table of every procedure, method and built-in that ran: calls,\n"
    "                  inclusive, self and per call seconds, by self time\n"
    "  --profile-stacks FILE\n"
    "                  at exit, write into FILE one line per distinct stack of calls,\n"
    "                  top;f;g and the microseconds spent on top of it (for\n"
    "                  flame graphs)\n"
    "  --coverage FILE at exit, add how often each line and procedure of the script\n"
    "                  files ran to the lcov tracefile FILE (made when missing)\n"
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
    "  --exec 'CMD'    run each test's zel under the command CMD (an emulator, say)\n"
    "  --coverage FILE add the coverage of every test to the lcov tracefile FILE\n"
    "\n"
    "environment:\n"
    "  WQ_ZEL          the folder of objkit.zel when --path is not given\n"
    "  ZEL_HISTORY     the prompt's history file (default ~/.zel_history; empty: none)\n";

// Options as parsed. Those a script's first line may set too come first.
struct Options {
  std::string path;
  std::string lib;
  std::string profile;
  bool profile_all = false;    // --profile-all
  std::string profile_stacks;  // --profile-stacks FILE
  std::string coverage;        // --coverage FILE
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
  unsigned n = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), n);
  if (error != std::errc() || end != text.data() + text.size() || n < 1 || n > 100000) {
    throw OptionError{option + " needs a whole number from 1 to 100000, not " + text};
  }
  return n;
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
  } else if (a == "--profile-all") {
    o.profile_all = true;
  } else if (a == "--profile-stacks") {
    o.profile_stacks = value_of(words, i);
  } else if (a == "--coverage") {
    o.coverage = value_of(words, i);
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
    if (o.has_text || !o.profile.empty() || o.profile_all || !o.profile_stacks.empty() || o.leaks ||
        o.fake_clock) {
      usage_error(
          "--test takes only --lib, --path, --coverage and the test options (each test runs with --leaks "
          "and --fake-clock)");
    }
    if (i == words.size()) usage_error("--test needs a file or folder of tests");
    o.tests.paths.assign(words.begin() + static_cast<ptrdiff_t>(i), words.end());
    o.tests.lib = o.lib;
    o.tests.path = o.path;
    o.tests.coverage = o.coverage;
    return;
  }
  if (!o.test_option.empty()) usage_error(o.test_option + " needs --test");
  if (!o.has_text && i < words.size()) o.script = words[i++];
  o.args.assign(words.begin() + static_cast<ptrdiff_t>(i), words.end());
}

// The words after "// zel:" on the first line of the script file `script`
// (after a byte-order mark): false when it has no such line or cannot be read.
// Read with the C library: a C++ stream would set up the C++ locales first,
// some 45K instructions at the start of every script file.
bool read_script_line(const std::string &script, std::string &words) {
  std::FILE *file = std::fopen(script.c_str(), "rb");
  if (file == nullptr) return false;
  char *chars = nullptr;
  size_t capacity = 0;
  const ssize_t n = getline(&chars, &capacity, file);  // -1 when there is no line
  const std::string line(chars, static_cast<size_t>(std::max<ssize_t>(n, 0)));
  std::free(chars);
  std::fclose(file);
  std::string_view rest = line;
  if (rest.ends_with('\n')) rest.remove_suffix(1);
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

// The files zel uses when no option names them, found from its own folder.
// In the build folder: objkit.so beside zel and the source tree's scripts/
// through the link scripts there. Installed or unpacked: the library and the
// module source where the install put them relative to bin/.
struct Home {
  std::string lib;
  std::string scripts;
};

Home find_home() {
  // The folder of the zel program itself with its last '/' (empty, the
  // current folder, when the system does not say). The build folder's case,
  // the one each benchmark run takes, is plain string work.
  std::string folder = zel::testing::program_path();
  folder.erase(folder.rfind('/') + 1);
  std::string beside = folder + "objkit.so";
  if (access(beside.c_str(), F_OK) == 0) return {std::move(beside), folder + "scripts"};
  return {std::filesystem::path(folder + ZEL_INSTALLED_LIB).lexically_normal(),
          std::filesystem::path(folder + ZEL_INSTALLED_SCRIPTS).lexically_normal()};
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
// start-up compiles, objkit.zel in the folder of WQ_ZEL, can be opened to be
// read: the library would stop on it with a fatal error that does not say
// why. The start-up reads it; this only opens it.
void check_module_folder(const ModuleFolder &folder) {
  try {
    zel::lang::check_readable(zel::lang::compile_path("WQ_ZEL:objkit"));
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

// The whole of standard input. Throws ScriptError when it cannot be read
// (a folder, say).
std::string read_stdin() {
  std::string text;
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, stdin)) > 0) text.append(buffer, n);
  // A failed read sets errno.
  if (std::ferror(stdin))
    throw zel::rt::ScriptError{std::string("cannot read standard input: ") + std::strerror(errno)};
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
      zel::prompt();
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

// Writes what --profile-all, --profile-stacks and --coverage ask for once
// the run is over. The exit status: 1 when a file cannot be written (said on
// standard error), else `status`.
int write_reports(const Options &o, int status) {
  std::fflush(stdout);
  if (o.profile_all) zel::lang::write_profile(stderr);
  const auto write = [&](const std::string &path, void (*writer)(const std::string &)) {
    if (path.empty()) return;
    try {
      writer(path);
    } catch (const zel::rt::ScriptError &error) {
      zel::lang::report(error);
      status = 1;
    }
  };
  write(o.profile_stacks, zel::lang::write_stacks);
  write(o.coverage, zel::lang::write_coverage);
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

// Ends the process with `status` once the C library's streams are written
// out; never returns. All that exit would do besides is run the destructors
// of static objects and the libraries' finalisers, which give back memory
// that the end of the process takes back anyway, touching pages for nothing
// (4 page faults and some 20 us of a 1 ms run): left out. The sanitizer and
// coverage builds (without ZEL_QUICK_EXIT) end through exit, which writes
// their leak check and counters.
[[noreturn]] void end(int status) {
#ifdef ZEL_QUICK_EXIT
  std::fflush(nullptr);
  _exit(status);
#else
  std::exit(status);
#endif
}

}  // namespace

int main(int argc, char **argv) {
  const Options o = parse_options(argc, argv);
  if (o.test) return zel::testing::run_tests(o.tests);
  const Home home = find_home();
  const ModuleFolder folder = module_folder(o, home);
  zel::boot(folder.path);
  check_module_folder(folder);
  if (o.fake_clock) zel::rt::fake_clock(true);
  if (!o.profile.empty()) zel::rt::set_profiled(o.profile);
  load_library(o.lib.empty() ? home.lib : o.lib);
  check_module_source();
  set_args(o.args);
  if (o.profile_all || !o.profile_stacks.empty()) zel::lang::start_profile();
  if (!o.coverage.empty()) zel::lang::start_coverage();

  int status = drop_globals(run(o));
  warn_unmatched_profile(o.profile);
  std::fflush(stdout);
  if (o.leaks && zel::rt::report_leaks(stderr) > 0) status = 1;
  end(write_reports(o, status));
}
