#include "lang/lexer.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <utility>

namespace zel::lang {

namespace {

struct Keyword {
  std::string_view text;
  Tok kind;
};

constexpr Keyword kKeywords[] = {
    {"procedure", Tok::kProcedure},
    {"end", Tok::kEndKw},
    {"return", Tok::kReturn},
    {"if", Tok::kIf},
    {"then", Tok::kThen},
    {"else", Tok::kElse},
    {"elseif", Tok::kElseif},
    {"while", Tok::kWhile},
    {"do", Tok::kDo},
    {"break", Tok::kBreak},
    {"nil", Tok::kNil},
    {"self", Tok::kSelf},
    {"super", Tok::kSuper},
    {"and", Tok::kAnd},
    {"or", Tok::kOr},
    {"not", Tok::kNot},
    {"is", Tok::kIs},
    {"isnt", Tok::kIsnt},
};

// The grammar's classes of bytes are ASCII's: the program stays in the C
// locale, where <cctype>'s say the same.
bool is_letter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
bool starts_name(char c) {
  return is_letter(c) || c == '_';
}
bool is_digit(char c) {
  return c >= '0' && c <= '9';
}
bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

}  // namespace

Lexer::Lexer(std::string_view text) : text_(text) {
  if (text_.starts_with(kByteOrderMark)) pos_ = kByteOrderMark.size();
}

bool in_name(char c) {
  return is_letter(c) || is_digit(c) || c == '_' || c == '$';
}

std::vector<std::string_view> keywords() {
  std::vector<std::string_view> words;
  for (const Keyword &k : kKeywords) words.push_back(k.text);
  return words;
}

void Lexer::skip_space() {
  while (pos_ < text_.size()) {
    const char c = text_[pos_];
    if (c == '\n') {
      ++line_;
      ++pos_;
    } else if (is_space(c)) {
      ++pos_;
    } else if (c == '/' && peek(1) == '/') {
      pos_ = std::min(text_.find('\n', pos_), text_.size());
    } else {
      return;
    }
  }
}

Token Lexer::simple(Tok kind, size_t length) {
  Token t{kind, line_, std::string(text_.substr(pos_, length))};
  pos_ += length;
  return t;
}

Token Lexer::next() {
  skip_space();
  if (pos_ == text_.size()) return {Tok::kEnd, line_, ""};
  const char c = text_[pos_];
  if (starts_name(c)) return name();
  if (is_digit(c)) return number();
  switch (c) {
    case '"':
      return string();
    case ':':
      return simple(Tok::kColon, 1);
    case ',':
      return simple(Tok::kComma, 1);
    case ';':
      return simple(Tok::kSemi, 1);
    case '(':
      return simple(Tok::kLParen, 1);
    case ')':
      return simple(Tok::kRParen, 1);
    case '[':
      return simple(Tok::kLBracket, 1);
    case ']':
      return simple(Tok::kRBracket, 1);
    case '=':
      return peek(1) == '=' ? simple(Tok::kRefAssign, 2) : simple(Tok::kAssign, 1);
    case '+':
      return simple(Tok::kPlus, 1);
    case '-':
      return simple(Tok::kMinus, 1);
    case '*':
      return simple(Tok::kStar, 1);
    case '/':
      return simple(Tok::kSlash, 1);
    case '%':
      return simple(Tok::kPercent, 1);
    case '<':
      return peek(1) == '=' ? simple(Tok::kLe, 2) : simple(Tok::kLt, 1);
    case '>':
      return peek(1) == '=' ? simple(Tok::kGe, 2) : simple(Tok::kGt, 1);
    default:
      break;
  }
  if (std::isprint(static_cast<unsigned char>(c)))
    throw SyntaxError{line_, "unexpected character '" + std::string(1, c) + "'"};
  throw SyntaxError{line_, "unexpected byte " + std::to_string(static_cast<unsigned char>(c))};
}

Token Lexer::name() {
  size_t end = pos_;
  while (end < text_.size() && in_name(text_[end])) ++end;
  const std::string_view word = text_.substr(pos_, end - pos_);
  for (const Keyword &k : kKeywords) {
    if (k.text == word) return simple(k.kind, word.size());
  }
  return simple(Tok::kName, word.size());
}

// digits [. digits] [e [sign] digits]; a '.' makes a float ("0." included).
Token Lexer::number() {
  size_t end = pos_;
  while (end < text_.size() && is_digit(text_[end])) ++end;
  bool is_float = false;
  if (end < text_.size() && text_[end] == '.') {
    is_float = true;
    ++end;
    while (end < text_.size() && is_digit(text_[end])) ++end;
  }
  if (end < text_.size() && (text_[end] == 'e' || text_[end] == 'E')) {
    size_t exp = end + 1;
    if (exp < text_.size() && (text_[exp] == '+' || text_[exp] == '-')) ++exp;
    if (exp < text_.size() && is_digit(text_[exp])) {
      is_float = true;
      end = exp;
      while (end < text_.size() && is_digit(text_[end])) ++end;
    }
  }
  if (end < text_.size() && in_name(text_[end])) {
    throw SyntaxError{line_, "malformed number '" + std::string(text_.substr(pos_, end - pos_ + 1)) + "'"};
  }
  Token t = simple(is_float ? Tok::kFloat : Tok::kInt, end - pos_);
  if (is_float) {
    t.fval = std::strtod(t.text.c_str(), nullptr);
  } else {
    // Digits beyond any integer the language holds are clamped; the parser
    // reports them as out of range.
    for (const char d : t.text) t.ival = std::min<int64_t>(t.ival * 10 + (d - '0'), int64_t{1} << 40);
  }
  return t;
}

// "text" with the escapes \n \t \" \\; a string ends on its line.
Token Lexer::string() {
  Token t{Tok::kString, line_, ""};
  ++pos_;
  for (;;) {
    if (pos_ == text_.size() || text_[pos_] == '\n') throw SyntaxError{t.line, "unterminated string"};
    const char c = text_[pos_++];
    if (c == '"') return t;
    if (c == '\0') throw SyntaxError{t.line, "unexpected byte 0 in string"};
    if (c != '\\') {
      t.text += c;
      continue;
    }
    if (pos_ == text_.size()) throw SyntaxError{t.line, "unterminated string"};
    const char e = text_[pos_++];
    switch (e) {
      case 'n':
        t.text += '\n';
        break;
      case 't':
        t.text += '\t';
        break;
      case '"':
      case '\\':
        t.text += e;
        break;
      default:
        throw SyntaxError{t.line, "unknown escape in string"};
    }
  }
}

std::string describe(const Token &token) {
  if (token.kind == Tok::kEnd) return "end of input";
  if (token.kind == Tok::kString) return "string \"" + token.text + "\"";
  return "'" + token.text + "'";
}

}  // namespace zel::lang
