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
  kLBracket,
  kRBracket,
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
  kElseif,
  kWhile,
  kDo,
  kBreak,
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
  Tok kind = Tok::kEnd;
  int line = 0;
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

// True for a character that may follow the first one of a name.
bool in_name(char c);

// The keywords of the language, in no set order.
std::vector<std::string_view> keywords();

// Reads the tokens of a text one at a time: newlines are whitespace, `//`
// starts a comment, and a UTF-8 byte-order mark at the start is skipped. next() throws SyntaxError on a
// character that starts no token, a string that is not closed on its line or holds a NUL byte, or a malformed
// number; after the last token it gives kEnd tokens.
class Lexer {
 public:
  explicit Lexer(std::string_view text);
  Token next();

 private:
  void skip_space();
  char peek(size_t ahead) const { return pos_ + ahead < text_.size() ? text_[pos_ + ahead] : '\0'; }
  Token simple(Tok kind, size_t length);
  Token name();
  Token number();
  Token string();

  std::string_view text_;
  size_t pos_ = 0;
  int line_ = 1;
};

}  // namespace zel::lang
