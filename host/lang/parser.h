// The parser: builds the syntax tree of a whole ZEL text (docs/zel.md gives
// the grammar).
#pragma once

#include <string_view>

#include "lang/ast.h"

namespace zel::lang {

// Parses text (named `file` in the procedures it defines) into its
// statements; throws SyntaxError at the first error.
Block parse(std::string_view text, std::string_view file);

}  // namespace zel::lang
