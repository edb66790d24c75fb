// The parser: builds the syntax tree of a ZEL text (docs/zel.md gives the
// grammar), one top-level statement at a time, so that a long script can run
// with no more than one statement's tree in memory.
#pragma once

#include <memory>
#include <string_view>

#include "lang/ast.h"

namespace zel::lang {

class Parser;

// Reads the top-level statements of a text in order. Their variable names go
// into `top`; the procedures they define are named `file` in messages.
class StatementReader {
 public:
  StatementReader(std::string_view text, std::string_view file, Scope &top);
  ~StatementReader();
  StatementReader(const StatementReader &) = delete;
  StatementReader &operator=(const StatementReader &) = delete;

  // Parses the next statement into out; false at the end of the text. Throws
  // SyntaxError at the first error.
  bool next(Stmt &out);

  // True when no statement is left to read. Throws SyntaxError as next()
  // would on the token after the last statement read.
  bool at_end();

 private:
  std::unique_ptr<Parser> parser_;
};

// Parses the whole text without keeping it; throws SyntaxError at the first
// error.
void check(std::string_view text);

}  // namespace zel::lang
