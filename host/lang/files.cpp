// Script files: the path compile reads for a name and the text of a file (see
// files.h). A file is read with the system's calls, not through stdio: one
// open, one fstat and, for a regular file, one read of its size and one that
// finds its end, into the string itself.
#include "lang/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "runtime/runtime.h"

namespace zel::lang {

namespace {

// Throws the ScriptError of a file that cannot be read: "cannot read PATH:
// reason", the reason being the system's text for `error`.
[[noreturn]] void cannot_read(const std::string &path, int error) {
  throw rt::ScriptError{"cannot read " + path + ": " + std::strerror(error)};
}

// The descriptor of the file `path` opened to be read, with its status in
// `info` (left as it was if fstat failed, which it cannot on an open
// descriptor). Throws ScriptError when it cannot be opened.
int open_to_read(const std::string &path, struct stat &info) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) cannot_read(path, errno);
  fstat(fd, &info);
  return fd;
}

}  // namespace

std::string compile_path(std::string_view name) {
  std::string path(name);
  if (const size_t colon = name.find(':'); colon != std::string_view::npos) {
    const std::string logical(name.substr(0, colon));
    const char *folder = std::getenv(logical.c_str());
    if (!folder || !*folder) throw rt::ScriptError{"compile: logical name " + logical + " is not set"};
    path = std::string(folder) + "/" + std::string(name.substr(colon + 1));
  }
  // The file's own name begins after the last '/' (npos + 1 is 0: at the
  // start when there is none).
  const size_t base = path.rfind('/') + 1;
  if (path.find('.', base) == std::string::npos) path += ".zel";
  return path;
}

void check_readable(const std::string &path) {
  struct stat info {};
  close(open_to_read(path, info));
  // A folder opens, but reading it fails.
  if (S_ISDIR(info.st_mode)) cannot_read(path, EISDIR);
}

std::string read_file(const std::string &path) {
  struct stat info {};
  const int fd = open_to_read(path, info);
  // Room for a regular file's size and one byte more, so that the read that
  // meets its end needs no growth; a file that grows meanwhile is read on.
  std::string text(S_ISREG(info.st_mode) ? static_cast<size_t>(info.st_size) + 1 : 4096, '\0');
  size_t used = 0;
  int error = 0;
  for (;;) {
    if (used == text.size()) text.resize(2 * text.size());
    const ssize_t n = read(fd, text.data() + used, text.size() - used);
    if (n == 0) break;
    if (n > 0) {
      used += static_cast<size_t>(n);
    } else if (errno != EINTR) {
      error = errno;
      break;
    }
  }
  close(fd);
  if (error != 0) cannot_read(path, error);
  text.resize(used);
  return text;
}

}  // namespace zel::lang
