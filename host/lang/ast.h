// The syntax tree of a ZEL text: expressions and statements as the parser
// builds them and the evaluator walks them. Every node keeps the line it
// starts on so that errors can name it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace zel::lang {

enum class Op { kAdd, kSub, kMul, kDiv, kRem, kLt, kLe, kGt, kGe, kIs, kIsnt, kAnd, kOr, kNeg, kNot };

struct Expr {
  enum class Kind {
    kInt,     // ival
    kFloat,   // fval
    kString,  // text
    kNil,
    kSelf,
    kVar,     // text: the name
    kCall,    // text: the routine; args
    kSend,    // text: the selector; receiver, args
    kSuper,   // text: the selector; args (sent to self, lookup above the method's class)
    kUnary,   // op; receiver is the operand
    kBinary,  // op; receiver and args[0] are the operands
  };
  Kind kind;
  int line;
  int height = 1;  // levels of the tree from this node down
  int32_t ival = 0;
  double fval = 0;
  std::string text;
  Op op = Op::kAdd;
  std::unique_ptr<Expr> receiver;
  std::vector<std::unique_ptr<Expr>> args;
};

struct Stmt;
using Block = std::vector<Stmt>;

// A procedure as written: a global one (class_name empty) or a method.
struct ProcedureDef {
  std::string class_name;
  std::string name;
  std::vector<std::string> params;
  std::vector<std::string> assigned;  // names the body assigns, in order of first assignment
  Block body;
  std::string file;
};

struct Stmt {
  enum class Kind {
    kExpr,       // expr
    kAssign,     // name = expr
    kRefAssign,  // name == expr
    kReturn,     // expr, or none
    kIf,         // expr; body; orelse
    kWhile,      // expr; body
    kProcedure,  // proc
  };
  Kind kind;
  int line;
  std::string name;
  std::unique_ptr<Expr> expr;
  Block body;
  Block orelse;
  std::shared_ptr<const ProcedureDef> proc;
};

}  // namespace zel::lang
