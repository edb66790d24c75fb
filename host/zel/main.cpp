// zel: the stand-in ZEL interpreter. Loads objkit.so, starts it, then runs a
// script file, the text of -e, the script on standard input, or the prompt.
#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "lang/boot.h"
#include "lang/lang.h"
#include "runtime/runtime.h"
#include "zel/prompt.h"

namespace {

constexpr const char kUsage[] =
    "usage: zel [options] [script.zel [args...]]\n"
    "       zel [options] -e 'text' [args...]\n"
    "Runs a ZEL script, the text given with -e, or an interactive prompt when\n"
    "standard input is a terminal; otherwise reads the script from standard input.\n"
    "The strings args... are in the global array args.\n"
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
    "  --version       show the version\n"
    "  --help          show this text\n"
    "\n"
    "environment:\n"
    "  ZEL_HISTORY     the prompt's history file (default ~/.zel_history; empty: none)\n";

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

// objkit.so in the folder of the zel executable.
std::string default_lib() {
  char exe[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
  std::string path = n > 0 ? std::string(exe, static_cast<size_t>(n)) : std::string();
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
