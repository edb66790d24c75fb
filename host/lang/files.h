// Script files and logical names: what compile reads and where.
#pragma once

#include <string>
#include <string_view>

namespace zel::lang {

// The path compile reads for "NAME:file": the file in the folder that the
// environment variable NAME names (without a colon, the text is the path);
// ".zel" is added when the file name has no extension. Throws rt::ScriptError
// when the logical name is not set.
std::string compile_path(std::string_view name);

// The whole content of a file. Throws rt::ScriptError ("cannot read PATH:
// reason") when it cannot be read.
std::string read_file(const std::string &path);

// Returns when read_file could open the file `path` to read it (it is
// there, may be read and is no folder), without reading it. Throws the
// ScriptError that read_file would throw otherwise.
void check_readable(const std::string &path);

}  // namespace zel::lang
