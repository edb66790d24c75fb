#include "lang/parser.h"

#include <algorithm>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "lang/lexer.h"
#include "runtime/runtime.h"

namespace zel::lang {

namespace {

constexpr int64_t kMaxInt = (int64_t{1} << 30) - 1;

// Expressions and blocks nested deeper than this are refused instead of
// exhausting the stack; an expression's depth counts every operator and send
// of a chain (a literal is 0 deep, a + b + c is 2 deep).
constexpr int kMaxNesting = 200;

using ExprPtr = std::unique_ptr<Expr>;

ExprPtr make(Expr::Kind kind, int line) {
  auto e = std::make_unique<Expr>();
  e->kind = kind;
  e->line = line;
  return e;
}

// Gives a node whose operands are complete its height; refuses one too deep to
// evaluate.
ExprPtr measured(ExprPtr e) {
  int below = e->receiver ? e->receiver->height : 0;
  for (const ExprPtr &arg : e->args) below = std::max(below, arg->height);
  e->height = below + 1;
  if (e->height - 1 > kMaxNesting) throw SyntaxError{e->line, "expression nested too deeply"};
  return e;
}

// Adds to `names` every name the block assigns, nested procedures aside.
void collect_assigned(const Block &block, std::vector<std::string> &names) {
  for (const Stmt &s : block) {
    if (s.kind == Stmt::Kind::kAssign || s.kind == Stmt::Kind::kRefAssign) {
      if (std::find(names.begin(), names.end(), s.name) == names.end()) names.push_back(s.name);
    }
    collect_assigned(s.body, names);
    collect_assigned(s.orelse, names);
  }
}

class Parser {
 public:
  Parser(std::vector<Token> tokens, std::string_view file) : tokens_(std::move(tokens)), file_(file) {}

  Block program() {
    Block out;
    while (!at(Tok::kEnd)) out.push_back(statement());
    return out;
  }

 private:
  const Token &cur() const { return tokens_[pos_]; }
  const Token &ahead(size_t n) const { return tokens_[std::min(pos_ + n, tokens_.size() - 1)]; }
  bool at(Tok kind) const { return cur().kind == kind; }

  bool accept(Tok kind) {
    if (!at(kind)) return false;
    ++pos_;
    return true;
  }

  [[noreturn]] void fail(const std::string &expected) const {
    throw SyntaxError{cur().line, "syntax error: expected " + expected + ", found " + describe(cur()),
                      at(Tok::kEnd)};
  }

  const Token &expect(Tok kind, const char *what) {
    if (!at(kind)) fail(what);
    return tokens_[pos_++];
  }

  // A simple statement ends with ';' or with the end of the text.
  void terminator() {
    if (!accept(Tok::kSemi) && !at(Tok::kEnd)) fail("';'");
  }

  // Statements up to one of the given closing keywords (not consumed).
  Block block_until(Tok close1, Tok close2) {
    Block out;
    while (!at(close1) && !at(close2)) {
      if (at(Tok::kEnd)) fail("'end'");
      out.push_back(statement());
    }
    return out;
  }

  void close_block() {
    expect(Tok::kEndKw, "'end'");
    accept(Tok::kSemi);
  }

  Stmt statement() {
    const Nested nested(*this);
    Stmt s{};
    s.line = cur().line;
    switch (cur().kind) {
      case Tok::kProcedure:
        ++pos_;
        s.kind = Stmt::Kind::kProcedure;
        s.proc = procedure(s.line);
        return s;
      case Tok::kIf:
        ++pos_;
        s.kind = Stmt::Kind::kIf;
        s.expr = expression(false);
        expect(Tok::kThen, "'then'");
        s.body = block_until(Tok::kElse, Tok::kEndKw);
        if (accept(Tok::kElse)) s.orelse = block_until(Tok::kEndKw, Tok::kEndKw);
        close_block();
        return s;
      case Tok::kWhile:
        ++pos_;
        s.kind = Stmt::Kind::kWhile;
        s.expr = expression(false);
        expect(Tok::kDo, "'do'");
        s.body = block_until(Tok::kEndKw, Tok::kEndKw);
        close_block();
        return s;
      case Tok::kReturn:
        if (!in_procedure_) throw SyntaxError{s.line, "return outside a procedure"};
        ++pos_;
        s.kind = Stmt::Kind::kReturn;
        if (!at(Tok::kSemi) && !at(Tok::kEnd)) s.expr = expression(true);
        terminator();
        return s;
      default:
        break;
    }
    if (at(Tok::kName) && (ahead(1).kind == Tok::kAssign || ahead(1).kind == Tok::kRefAssign)) {
      s.kind = ahead(1).kind == Tok::kAssign ? Stmt::Kind::kAssign : Stmt::Kind::kRefAssign;
      s.name = cur().text;
      pos_ += 2;
      s.expr = expression(true);
    } else {
      s.kind = Stmt::Kind::kExpr;
      s.expr = expression(true);
    }
    terminator();
    return s;
  }

  // procedure NAME[:NAME] ( params ) ; statements end
  std::shared_ptr<const ProcedureDef> procedure(int line) {
    auto def = std::make_shared<ProcedureDef>();
    def->file = file_;
    def->name = expect(Tok::kName, "a procedure name").text;
    if (accept(Tok::kColon)) {
      def->class_name = std::move(def->name);
      def->name = expect(Tok::kName, "a method name").text;
    }
    expect(Tok::kLParen, "'('");
    if (!at(Tok::kRParen)) {
      do {
        std::string param = expect(Tok::kName, "a parameter name").text;
        if (std::find(def->params.begin(), def->params.end(), param) != def->params.end()) {
          throw SyntaxError{line, "parameter " + param + " appears twice"};
        }
        def->params.push_back(std::move(param));
      } while (accept(Tok::kComma));
    }
    expect(Tok::kRParen, "')'");
    expect(Tok::kSemi, "';'");
    const bool outer = in_procedure_;
    in_procedure_ = true;
    def->body = block_until(Tok::kEndKw, Tok::kEndKw);
    in_procedure_ = outer;
    close_block();
    collect_assigned(def->body, def->assigned);
    return def;
  }

  // `command` allows the parenthesis-free argument list to the call or send
  // that begins the expression.
  ExprPtr expression(bool command) {
    const Nested nested(*this);
    return disjunction(command);
  }

  ExprPtr binary(Op op, ExprPtr left, ExprPtr right) {
    auto e = make(Expr::Kind::kBinary, left->line);
    e->op = op;
    e->receiver = std::move(left);
    e->args.push_back(std::move(right));
    return measured(std::move(e));
  }

  ExprPtr disjunction(bool command) {
    ExprPtr left = conjunction(command);
    while (accept(Tok::kOr)) left = binary(Op::kOr, std::move(left), conjunction(false));
    return left;
  }

  ExprPtr conjunction(bool command) {
    ExprPtr left = negation(command);
    while (accept(Tok::kAnd)) left = binary(Op::kAnd, std::move(left), negation(false));
    return left;
  }

  ExprPtr negation(bool command) {
    if (!at(Tok::kNot)) return comparison(command);
    const Nested nested(*this);
    auto e = make(Expr::Kind::kUnary, cur().line);
    ++pos_;
    e->op = Op::kNot;
    e->receiver = negation(false);
    return measured(std::move(e));
  }

  ExprPtr comparison(bool command) {
    ExprPtr left = sum(command);
    static constexpr std::pair<Tok, Op> kOps[] = {{Tok::kLt, Op::kLt}, {Tok::kLe, Op::kLe},
                                                  {Tok::kGt, Op::kGt}, {Tok::kGe, Op::kGe},
                                                  {Tok::kIs, Op::kIs}, {Tok::kIsnt, Op::kIsnt}};
    for (const auto &[tok, op] : kOps) {
      if (accept(tok)) return binary(op, std::move(left), sum(false));
    }
    return left;
  }

  ExprPtr sum(bool command) {
    ExprPtr left = term(command);
    for (;;) {
      if (accept(Tok::kPlus)) {
        left = binary(Op::kAdd, std::move(left), term(false));
      } else if (accept(Tok::kMinus)) {
        left = binary(Op::kSub, std::move(left), term(false));
      } else {
        return left;
      }
    }
  }

  ExprPtr term(bool command) {
    ExprPtr left = unary(command);
    for (;;) {
      if (accept(Tok::kStar)) {
        left = binary(Op::kMul, std::move(left), unary(false));
      } else if (accept(Tok::kSlash)) {
        left = binary(Op::kDiv, std::move(left), unary(false));
      } else if (accept(Tok::kPercent)) {
        left = binary(Op::kRem, std::move(left), unary(false));
      } else {
        return left;
      }
    }
  }

  ExprPtr unary(bool command) {
    if (!at(Tok::kMinus)) return postfix(command);
    const Nested nested(*this);
    const int line = cur().line;
    ++pos_;
    if (at(Tok::kInt) && ahead(1).kind != Tok::kColon) {
      // A negative literal: -1073741824 is in range although 1073741824 is not.
      auto e = make(Expr::Kind::kInt, line);
      if (cur().ival > kMaxInt + 1) throw SyntaxError{line, "integer -" + cur().text + " is out of range"};
      e->ival = static_cast<int32_t>(-cur().ival);
      ++pos_;
      return e;
    }
    auto e = make(Expr::Kind::kUnary, line);
    e->op = Op::kNeg;
    e->receiver = unary(false);
    return measured(std::move(e));
  }

  // True when the current token can begin a parenthesis-free argument.
  bool starts_command_argument() const {
    switch (cur().kind) {
      case Tok::kInt:
      case Tok::kFloat:
      case Tok::kString:
      case Tok::kName:
      case Tok::kNil:
      case Tok::kSelf:
      case Tok::kSuper:
      case Tok::kNot:
        return true;
      default:
        return false;
    }
  }

  // ( expr, ... ), or with `command` the bare list expr, ... . The bare
  // arguments are whole expressions, so they run to the end of the statement.
  void arguments(Expr &call, bool command) {
    if (accept(Tok::kLParen)) {
      if (!accept(Tok::kRParen)) {
        do call.args.push_back(expression(false));
        while (accept(Tok::kComma));
        expect(Tok::kRParen, "')'");
      }
      return;
    }
    if (!command || !starts_command_argument()) return;
    do call.args.push_back(expression(false));
    while (accept(Tok::kComma));
  }

  ExprPtr postfix(bool command) {
    ExprPtr e = primary(command);
    while (accept(Tok::kColon)) {
      auto send = make(Expr::Kind::kSend, e->line);
      send->text = expect(Tok::kName, "a message name").text;
      send->receiver = std::move(e);
      arguments(*send, command);
      e = measured(std::move(send));
    }
    return e;
  }

  ExprPtr primary(bool command) {
    const Token &t = cur();
    const int line = t.line;
    switch (t.kind) {
      case Tok::kInt: {
        if (t.ival > kMaxInt) throw SyntaxError{line, "integer " + t.text + " is out of range"};
        auto e = make(Expr::Kind::kInt, line);
        e->ival = static_cast<int32_t>(t.ival);
        ++pos_;
        return e;
      }
      case Tok::kFloat: {
        auto e = make(Expr::Kind::kFloat, line);
        e->fval = t.fval;
        ++pos_;
        return e;
      }
      case Tok::kString: {
        auto e = make(Expr::Kind::kString, line);
        e->text = t.text;
        ++pos_;
        return e;
      }
      case Tok::kNil:
        ++pos_;
        return make(Expr::Kind::kNil, line);
      case Tok::kSelf:
        ++pos_;
        return make(Expr::Kind::kSelf, line);
      case Tok::kSuper: {
        ++pos_;
        expect(Tok::kColon, "':' after super");
        auto e = make(Expr::Kind::kSuper, line);
        e->text = expect(Tok::kName, "a message name").text;
        arguments(*e, command);
        return measured(std::move(e));
      }
      case Tok::kLParen: {
        ++pos_;
        ExprPtr e = expression(false);
        expect(Tok::kRParen, "')'");
        return e;
      }
      case Tok::kName: {
        ++pos_;
        if (at(Tok::kLParen) || (command && starts_command_argument())) {
          auto e = make(Expr::Kind::kCall, line);
          e->text = t.text;
          arguments(*e, command);
          return measured(std::move(e));
        }
        auto e = make(Expr::Kind::kVar, line);
        e->text = t.text;
        return e;
      }
      default:
        fail("an expression");
    }
  }

  // Counts one level of nesting for the length of a parse step.
  class Nested {
   public:
    explicit Nested(Parser &p) : p_(p) {
      if (++p_.nesting_ > kMaxNesting || rt::stack_nearly_full()) {
        throw SyntaxError{p_.cur().line, "nested too deeply"};
      }
    }
    ~Nested() { --p_.nesting_; }
    Nested(const Nested &) = delete;
    Nested &operator=(const Nested &) = delete;

   private:
    Parser &p_;
  };

  std::vector<Token> tokens_;
  std::string file_;
  size_t pos_ = 0;
  int nesting_ = 0;
  bool in_procedure_ = false;
};

}  // namespace

Block parse(std::string_view text, std::string_view file) {
  return Parser(tokenize(text), file).program();
}

}  // namespace zel::lang
