// Script files: the path compile reads for a name and the text of a file (see
// files.h).
#include "lang/files.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "runtime/runtime.h"

namespace zel::lang {

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

std::string read_file(const std::string &path) {
  FILE *in = std::fopen(path.c_str(), "rb");
  if (!in) throw rt::ScriptError{"cannot read " + path + ": " + std::strerror(errno)};
  std::string text;
  struct stat info;
  if (fstat(fileno(in), &info) == 0 && S_ISREG(info.st_mode)) text.reserve(static_cast<size_t>(info.st_size));
  char buffer[65536];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, in)) > 0) text.append(buffer, n);
  const int error = std::ferror(in) ? (errno != 0 ? errno : EIO) : 0;
  std::fclose(in);
  if (error != 0) throw rt::ScriptError{"cannot read " + path + ": " + std::strerror(error)};
  return text;
}

}  // namespace zel::lang
