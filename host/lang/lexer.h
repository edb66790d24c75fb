// The lexer: turns ZEL text into tokens. Newlines are whitespace; `//` starts
// a comment that runs to the end of the line.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zel::lang {

enum class Tok {
  kEnd,  // end of the text
  kName,
  kInt,
  kFloat,
  kString,
  kColon,
  kComma,
  kSemi,
  kLParen,
  kRParen,
  kAssign,     // =
  kRefAssign,  // ==
  kPlus,
  kMinus,
  kStar,
  kSlash,
  kPercent,
  kLt,
  kLe,
  kGt,
  kGe,
  // Keywords.
  kProcedure,
  kEndKw,
  kReturn,
  kIf,
  kThen,
  kElse,
  kWhile,
  kDo,
  kNil,
  kSelf,
  kSuper,
  kAnd,
  kOr,
  kNot,
  kIs,
  kIsnt,
};

struct Token {
  Tok kind;
  int line;
  std::string text;  // names and strings (escapes resolved); the source text otherwise
  int64_t ival = 0;  // integer literals, not yet range-checked (the sign comes later)
  double fval = 0;
};

// A syntax error at a line; `at_end` when the text stopped before the
// construct was complete (the prompt then reads another line).
struct SyntaxError {
  int line;
  std::string message;
  bool at_end = false;
};

// How a token is named in a syntax error: 'text', or "end of input".
std::string describe(const Token &token);

// Splits text into tokens, ending with one kEnd token; throws SyntaxError on
// a character that starts no token, an unterminated string or a malformed
// number.
std::vector<Token> tokenize(std::string_view text);

}  // namespace zel::lang
