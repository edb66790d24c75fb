#include "lang/parser.h"

#include <algorithm>
#include <cstddef>
#include <iterator>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "lang/lexer.h"
#include "lang/operators.h"
#include "runtime/runtime.h"

namespace zel::lang {

namespace {

// Blocks, parentheses, parenthesized argument lists and prefix operators
// nested deeper than this (all of them together) are refused instead of
// exhausting the stack; so is an expression higher than this, whose height
// counts every operator and send of a chain (a literal is 0 high, a + b + c
// is 2 high).
constexpr int kMaxNesting = 200;

using ExprPtr = std::unique_ptr<Expr>;

// The form of each kind of node but an operator's, indexed by Expr::Kind.
constexpr auto kForms = by_key<Expr::Kind, Expr::Form>({
    {Expr::Kind::kInt, Expr::Form::kInt},
    {Expr::Kind::kFloat, Expr::Form::kFloat},
    {Expr::Kind::kString, Expr::Form::kOther},
    {Expr::Kind::kNil, Expr::Form::kNil},
    {Expr::Kind::kSelf, Expr::Form::kOther},
    {Expr::Kind::kVar, Expr::Form::kVar},
    {Expr::Kind::kCall, Expr::Form::kCall},
    {Expr::Kind::kSend, Expr::Form::kSend},
    {Expr::Kind::kSuper, Expr::Form::kSuper},
    {Expr::Kind::kIndex, Expr::Form::kIndex},
    {Expr::Kind::kUnary, Expr::Form::kOther},
});
static_assert(std::size(kForms) == static_cast<size_t>(Expr::Kind::kBinary));

// The form of a leaf, or of a node once its operands are complete.
Expr::Form form_of(const Expr &e) {
  if (e.kind != Expr::Kind::kBinary) return kForms[static_cast<size_t>(e.kind)];
  if (e.op == Op::kAnd || e.op == Op::kOr) return Expr::Form::kLogic;
  if (!e.pure || !fast_paths) return Expr::Form::kOperator;
  const Expr::Kind left = e.receiver->kind, right = e.args[0]->kind;
  const bool arithmetic = e.op == Op::kMul || e.op == Op::kDiv || e.op == Op::kRem;
  if (left == Expr::Kind::kVar && right == Expr::Kind::kInt && !arithmetic) return Expr::Form::kIntOperand;
  if (left == Expr::Kind::kVar && right == Expr::Kind::kNil && (e.op == Op::kIs || e.op == Op::kIsnt)) {
    return Expr::Form::kNilTest;
  }
  return Expr::Form::kNumeric;
}

// The kind of a bare expression statement (kExpr) or of `name = expr`
// (kAssign, name the assigned name's index) by the form of its expression e
// (see Stmt::Kind).
Stmt::Kind refined(Stmt::Kind kind, const Expr &e, int32_t name) {
  if (e.form == Expr::Form::kSend)
    return kind == Stmt::Kind::kExpr ? Stmt::Kind::kSendExpr : Stmt::Kind::kAssignSend;
  if (e.form == Expr::Form::kCall && kind == Stmt::Kind::kAssign) return Stmt::Kind::kAssignCall;
  // Both forms are operators', whose receiver is the left operand.
  const bool update = kind == Stmt::Kind::kAssign && fast_paths &&
                      (e.form == Expr::Form::kOperator || e.form == Expr::Form::kIntOperand) &&
                      e.receiver->kind == Expr::Kind::kVar && e.receiver->name == name;
  if (!update) return kind;
  return e.form == Expr::Form::kOperator ? Stmt::Kind::kUpdate : Stmt::Kind::kUpdateInt;
}

// The selectors whose statements and sends the parser reads apart, looked up
// once: a selector lives as long as the process.
struct Known {
  const rt::Selector *print = rt::selector("print");
  const rt::Selector *make = rt::selector("new");
  const rt::Selector *subclass = rt::selector("subclass");
};

const Known &known() {
  static const Known selectors;
  return selectors;
}

// A node of that kind and line, its other members at their initialisers
// (default-initialised: the node is not cleared first, which its every
// member's initialiser would make a second write).
ExprPtr make(Expr::Kind kind, int line) {
  auto e = std::make_unique_for_overwrite<Expr>();
  e->kind = kind;
  e->line = line;
  if (kind != Expr::Kind::kBinary) e->form = form_of(*e);  // an operator's once its operands are in
  return e;
}

// Gives a node whose operands are complete its height, whether it is pure
// and whether, a send, it borrows its receiver;
// refuses one too deep to evaluate.
ExprPtr measured(ExprPtr e) {
  int below = e->receiver ? e->receiver->height : 0;
  for (const ExprPtr &arg : e->args) below = std::max(below, arg->height);
  e->height = below + 1;
  e->pure = e->kind == Expr::Kind::kUnary || e->kind == Expr::Kind::kBinary;
  if (e->receiver) e->pure = e->pure && e->receiver->pure;
  for (const ExprPtr &arg : e->args) e->pure = e->pure && arg->pure;
  e->borrows = e->kind == Expr::Kind::kSend && fast_paths &&
               (e->args.empty() || (e->args.size() == 1 && e->args[0]->pure));
  if (e->height - 1 > kMaxNesting) throw SyntaxError{e->line, "expression nested too deeply"};
  e->form = form_of(*e);
  // Read without a step to the operands.
  const bool named = e->receiver && e->receiver->kind == Expr::Kind::kVar;
  if (e->form == Expr::Form::kIntOperand || e->form == Expr::Form::kNilTest ||
      (e->form == Expr::Form::kSend && named))
    e->name = e->receiver->name;
  if (e->form == Expr::Form::kIntOperand) e->ival = e->args[0]->ival;
  if (e->form == Expr::Form::kSend && e->args.size() == 1 && e->args[0]->kind == Expr::Kind::kVar)
    e->arg_name = e->args[0]->name;
  return e;
}

}  // namespace

class Parser {
 public:
  Parser(std::string_view text, std::string_view file, Scope &top)
      : lexer_(text), file_(file), scope_(&top) {}

  // The next top-level statement into out; false at the end of the text.
  bool next(Stmt &out) {
    if (at(Tok::kEnd)) return false;
    out = statement();
    return true;
  }

  // True when no statement is left.
  bool at_end() { return at(Tok::kEnd); }

 private:
  // The token n ahead of the parse (n is 0 or 1).
  const Token &ahead(size_t n) {
    while (count_ <= n) tokens_[count_++] = lexer_.next();
    return tokens_[n];
  }
  const Token &cur() { return ahead(0); }
  bool at(Tok kind) { return cur().kind == kind; }

  // The current token, consumed.
  Token take() {
    cur();
    Token t = std::move(tokens_[0]);
    if (--count_ != 0) tokens_[0] = std::move(tokens_[1]);
    return t;
  }

  bool accept(Tok kind) {
    if (!at(kind)) return false;
    take();
    return true;
  }

  [[noreturn]] void fail(const std::string &expected, const std::string &more = "") {
    throw SyntaxError{cur().line, "syntax error: expected " + expected + ", found " + describe(cur()) + more,
                      at(Tok::kEnd)};
  }

  // The keyword that opened a block, for the message when its `end` is
  // missing.
  struct Opener {
    const char *keyword;
    int line;
  };

  // The block opened by `open` has no `end` where the parse stands. When a
  // procedure definition began inside the procedure being read, a block
  // above it was probably left open, and the message says so.
  [[noreturn]] void unclosed(Opener open) {
    std::string more;
    if (inner_procedure_line_ != 0) {
      more = " (the procedure of line " + std::to_string(inner_procedure_line_) +
             " begins inside another procedure's body: a block above it was probably left open)";
    }
    fail(std::string("'end' closing the '") + open.keyword + "' of line " + std::to_string(open.line), more);
  }

  Token expect(Tok kind, const char *what) {
    if (!at(kind)) fail(what);
    return take();
  }

  // A simple statement ends with ';' or with the end of the text.
  void terminator() {
    if (!accept(Tok::kSemi) && !at(Tok::kEnd)) fail("';'");
  }

  // The body of an if, while or procedure, one level of nesting: statements
  // up to `end`, `else` or `elseif` (not consumed), which close a block and
  // begin no statement.
  Block block(Opener open) {
    const Nested nested(*this);
    Block out;
    while (!at(Tok::kEndKw) && !at(Tok::kElse) && !at(Tok::kElseif)) {
      if (at(Tok::kEnd)) unclosed(open);
      out.push_back(statement());
    }
    return out;
  }

  void close_block(Opener open) {
    if (!accept(Tok::kEndKw)) unclosed(open);
    accept(Tok::kSemi);
  }

  // The rest of an if, or of an elseif, which is an if alone in the else
  // branch of the one before: condition, then, body, and what follows.
  void if_rest(Stmt &s, Opener open) {
    s.kind = Stmt::Kind::kIf;
    s.expr = expression(false);
    expect(Tok::kThen, "'then'");
    s.body = block(open);
    if (at(Tok::kElseif)) {
      const Nested nested(*this);
      Stmt inner{};
      inner.line = take().line;
      if_rest(inner, open);
      s.orelse.push_back(std::move(inner));
      return;
    }
    if (accept(Tok::kElse)) s.orelse = block(open);
    close_block(open);
  }

  Stmt statement() {
    Stmt s{};
    s.line = cur().line;
    switch (cur().kind) {
      case Tok::kProcedure:
        take();
        if (in_procedure_ && inner_procedure_line_ == 0) inner_procedure_line_ = s.line;
        s.kind = Stmt::Kind::kProcedure;
        s.proc = procedure(s.line);
        return s;
      case Tok::kIf:
        take();
        if_rest(s, {"if", s.line});
        return s;
      case Tok::kWhile: {
        take();
        s.kind = Stmt::Kind::kWhile;
        s.expr = expression(false);
        expect(Tok::kDo, "'do'");
        ++loops_;
        s.body = block({"while", s.line});
        --loops_;
        close_block({"while", s.line});
        return s;
      }
      case Tok::kBreak:
        if (loops_ == 0) throw SyntaxError{s.line, "break outside a while loop"};
        take();
        s.kind = Stmt::Kind::kBreak;
        terminator();
        return s;
      case Tok::kReturn:
        if (!in_procedure_) throw SyntaxError{s.line, "return outside a procedure"};
        take();
        s.kind = Stmt::Kind::kReturn;
        if (!at(Tok::kSemi) && !at(Tok::kEnd)) s.expr = expression(true);
        terminator();
        return s;
      default:
        break;
    }
    if (at(Tok::kName) && (ahead(1).kind == Tok::kAssign || ahead(1).kind == Tok::kRefAssign)) {
      s.kind = ahead(1).kind == Tok::kAssign ? Stmt::Kind::kAssign : Stmt::Kind::kRefAssign;
      s.name = scope_->of(take().text);
      scope_->assigned[static_cast<size_t>(s.name)] = true;
      take();
      s.expr = expression(true);
      if (s.kind == Stmt::Kind::kAssign) s.kind = refined(s.kind, *s.expr, s.name);
    } else if (at(Tok::kName) && rt::selector(cur().text)->folded == known_.print) {
      s.kind = Stmt::Kind::kExpr;
      s.expr = print_command();
    } else {
      s.kind = Stmt::Kind::kExpr;
      s.expr = expression(true);
      if (s.expr->kind == Expr::Kind::kIndex && (at(Tok::kAssign) || at(Tok::kRefAssign))) {
        s.kind = take().kind == Tok::kAssign ? Stmt::Kind::kStore : Stmt::Kind::kRefStore;
        s.target = std::move(s.expr);
        s.expr = expression(true);
      } else {
        s.kind = refined(s.kind, *s.expr, s.name);
      }
    }
    terminator();
    return s;
  }

  // A statement that begins with print: the call and nothing else, so that
  // print never shows a value before the rest of its statement fails.
  ExprPtr print_command() {
    const int line = cur().line;
    const Tok next = ahead(1).kind;
    if (next == Tok::kSemi || next == Tok::kEnd) {
      throw SyntaxError{line, "syntax error: print needs arguments (print (); writes an empty line)"};
    }
    if (next == Tok::kMinus) {
      throw SyntaxError{line, "syntax error: print's first argument begins with '-': put it in parentheses"};
    }
    // The statement begins with the name print: a call at its root is print's.
    ExprPtr e = expression(true);
    if (e->kind != Expr::Kind::kCall) {
      throw SyntaxError{line,
                        "syntax error: print's arguments end at its ')': put the whole expression in "
                        "parentheses"};
    }
    return e;
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
    Scope &scope = def->scope;
    if (!at(Tok::kRParen)) {
      do {
        const std::string param = expect(Tok::kName, "a parameter name").text;
        if (scope.index.count(param) != 0) throw SyntaxError{line, "parameter " + param + " appears twice"};
        scope.of(param);
      } while (accept(Tok::kComma));
    }
    scope.params = scope.names.size();
    expect(Tok::kRParen, "')'");
    expect(Tok::kSemi, "';'");
    const bool outer = in_procedure_;
    Scope *const outer_scope = scope_;
    const int outer_loops = std::exchange(loops_, 0);
    const int outer_inner = std::exchange(inner_procedure_line_, 0);
    in_procedure_ = true;
    scope_ = &scope;
    def->body = block({"procedure", line});
    close_block({"procedure", line});
    in_procedure_ = outer;
    scope_ = outer_scope;
    loops_ = outer_loops;
    inner_procedure_line_ = outer_inner;
    return def;
  }

  // `command` allows the parenthesis-free argument list to the call or send
  // that begins the expression.
  ExprPtr expression(bool command) { return disjunction(command); }

  // An expression inside parentheses or an argument list: one level deeper.
  ExprPtr nested_expression() {
    const Nested nested(*this);
    return disjunction(false);
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
    auto e = make(Expr::Kind::kUnary, take().line);
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
      if (!accept(tok)) continue;
      ExprPtr e = binary(op, std::move(left), sum(false));
      for (const auto &[next, unused] : kOps) {
        if (at(next)) {
          throw SyntaxError{cur().line, "syntax error: comparisons do not chain: write (a < b) and (b < c)"};
        }
      }
      return e;
    }
    return left;
  }

  ExprPtr sum(bool command) {
    ExprPtr left = term(command);
    for (;;) {
      if (accept(Tok::kPlus)) {
        left = binary(Op::kAdd, std::move(left), term(false));
      } else if (accept(Tok::kMinus)) {
        ExprPtr right = term(false);
        if (left->kind == Expr::Kind::kVar) left->call_hint = "-" + source_of(*right);
        left = binary(Op::kSub, std::move(left), std::move(right));
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
    const int line = take().line;
    if (at(Tok::kInt) && ahead(1).kind != Tok::kColon) {
      // A negative literal: -1073741824 is in range although 1073741824 is not.
      auto e = make(Expr::Kind::kInt, line);
      if (cur().ival > kMaxInt + 1) throw SyntaxError{line, "integer -" + cur().text + " is out of range"};
      e->ival = static_cast<int32_t>(-take().ival);
      return e;
    }
    auto e = make(Expr::Kind::kUnary, line);
    e->op = Op::kNeg;
    e->receiver = unary(false);
    return measured(std::move(e));
  }

  // True when the current token can begin a parenthesis-free argument.
  bool starts_command_argument() {
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
        do call.args.push_back(nested_expression());
        while (accept(Tok::kComma));
        expect(Tok::kRParen, "')'");
      }
      return;
    }
    if (!command || !starts_command_argument()) return;
    do call.args.push_back(expression(false));
    while (accept(Tok::kComma));
  }

  // A short text of a simple operand for a hint: a literal or a name, else
  // "...".
  static std::string source_of(const Expr &e) {
    switch (e.kind) {
      case Expr::Kind::kInt:
        return std::to_string(e.ival);
      case Expr::Kind::kVar:
        return e.text;
      case Expr::Kind::kString:
        return "\"" + e.text + "\"";
      default:
        return "...";
    }
  }

  ExprPtr postfix(bool command) {
    ExprPtr e = primary(command);
    for (;;) {
      if (at(Tok::kLBracket)) {
        auto index = make(Expr::Kind::kIndex, take().line);
        index->receiver = std::move(e);
        index->args.push_back(nested_expression());
        expect(Tok::kRBracket, "']'");
        e = measured(std::move(index));
        continue;
      }
      if (!accept(Tok::kColon)) return e;
      auto send = make(Expr::Kind::kSend, e->line);
      send->sel = rt::selector(expect(Tok::kName, "a message name").text);
      if (e->kind == Expr::Kind::kVar &&
          (send->sel->folded == known_.make || send->sel->folded == known_.subclass)) {
        e->class_expected = true;
      }
      send->receiver = std::move(e);
      arguments(*send, command);
      e = measured(std::move(send));
    }
  }

  ExprPtr primary(bool command) {
    const int line = cur().line;
    switch (cur().kind) {
      case Tok::kInt: {
        if (cur().ival > kMaxInt) throw SyntaxError{line, "integer " + cur().text + " is out of range"};
        auto e = make(Expr::Kind::kInt, line);
        e->ival = static_cast<int32_t>(take().ival);
        return e;
      }
      case Tok::kFloat: {
        auto e = make(Expr::Kind::kFloat, line);
        e->number.value = take().fval;
        return e;
      }
      case Tok::kString: {
        auto e = make(Expr::Kind::kString, line);
        e->text = take().text;
        return e;
      }
      case Tok::kNil:
        take();
        return make(Expr::Kind::kNil, line);
      case Tok::kSelf:
        take();
        return make(Expr::Kind::kSelf, line);
      case Tok::kSuper: {
        take();
        expect(Tok::kColon, "':' after super");
        auto e = make(Expr::Kind::kSuper, line);
        e->sel = rt::selector(expect(Tok::kName, "a message name").text);
        arguments(*e, command);
        return measured(std::move(e));
      }
      case Tok::kLParen: {
        take();
        ExprPtr e = nested_expression();
        expect(Tok::kRParen, "')'");
        return e;
      }
      case Tok::kName: {
        std::string name = take().text;
        if (at(Tok::kLParen) || (command && starts_command_argument())) {
          auto e = make(Expr::Kind::kCall, line);
          e->sel = rt::selector(name);
          arguments(*e, command);
          return measured(std::move(e));
        }
        auto e = make(Expr::Kind::kVar, line);
        e->name = scope_->of(name);
        e->text = std::move(name);
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

  Lexer lexer_;
  Token tokens_[2];  // read ahead of the parse
  size_t count_ = 0;
  std::string file_;
  Scope *scope_;
  const Known &known_ = known();
  int nesting_ = 0;
  bool in_procedure_ = false;
  int loops_ = 0;                 // the while loops open in the procedure (or top level) being read
  int inner_procedure_line_ = 0;  // the first procedure definition inside the one being read
};

StatementReader::StatementReader(std::string_view text, std::string_view file, Scope &top)
    : parser_(std::make_unique<Parser>(text, file, top)) {}

StatementReader::~StatementReader() = default;

bool StatementReader::next(Stmt &out) {
  return parser_->next(out);
}

bool StatementReader::at_end() {
  return parser_->at_end();
}

void check(std::string_view text) {
  Scope scope;
  StatementReader reader(text, "", scope);
  Stmt s;
  while (reader.next(s)) {
  }
}

}  // namespace zel::lang
