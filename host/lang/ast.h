// The syntax tree of a ZEL text: expressions and statements as the parser
// builds them and the evaluator walks them. Every node keeps the line it
// starts on so that errors can name it.
//
// Names are resolved by index: every variable name of a procedure (or of the
// top level) has one index in its scope's table, parameters first, and a
// node refers to its name by that index. What the index stands for (a local
// slot, an instance variable or a global) is decided when the procedure is
// defined. Routine and message names are interned selectors.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "runtime/runtime.h"

namespace zel::lang {

// One entry of a table indexed by an enum: the enumerator it stands for, and
// its value.
template <typename Key, typename Value>
struct Keyed {
  Key key;
  Value value;
};

// The values of a table indexed by an enum, written entry by entry with the
// enumerator each stands for. Evaluated when compiled: an entry out of the
// enum's order stops the build there, so that a kind added to an enum must
// be given its own entry. The caller checks the count.
template <typename Key, typename Value, size_t N>
consteval std::array<Value, N> by_key(const Keyed<Key, Value> (&entries)[N]) {
  std::array<Value, N> values{};
  for (size_t i = 0; i < N; ++i) {
    if (static_cast<size_t>(entries[i].key) != i) throw "a table entry is not at its enumerator's place";
    values[i] = entries[i].value;
  }
  return values;
}

// The comparisons kLt to kIsnt come in a row (is_comparison tests them so).
enum class Op : uint8_t {
  kAdd,
  kSub,
  kMul,
  kDiv,
  kRem,
  kLt,
  kLe,
  kGt,
  kGe,
  kIs,
  kIsnt,
  kAnd,
  kOr,
  kNeg,
  kNot
};

struct Expr {
  enum class Kind : uint8_t {
    kInt,     // ival
    kFloat,   // number
    kString,  // text
    kNil,
    kSelf,
    kVar,     // name: the index of text in the scope
    kCall,    // sel: the routine; args
    kSend,    // sel: the selector; receiver, args
    kSuper,   // sel: the selector; args (sent to self, lookup above the method's class)
    kIndex,   // receiver[args[0]]: an element of an array or a byte of a string
    kUnary,   // op; receiver is the operand
    kBinary,  // op; receiver and args[0] are the operands
  };
  // How the evaluator takes the node, chosen from its shape once it is
  // complete, so that the frequent shapes cost no test of their operands.
  enum class Form : uint8_t {
    kInt,  // an integer literal
    kVar,  // a name
    kNil,
    kIntOperand,  // + - < <= > >= is isnt on a name and an integer literal
    kNilTest,     // is, isnt on a name and nil
    // (Both carry their name's index as name, and a kIntOperand its
    // literal's value as ival, read without a step to the operand.)
    kNumeric,   // any other pure operator but and, or: tried over numbers first
    kLogic,     // and, or
    kOperator,  // an operator that is not pure
    kSend,
    kCall,
    kSuper,
    kFloat,
    kIndex,
    kOther,  // string literals, self, and the prefix operators
  };
  Kind kind;
  Form form = Form::kOther;
  Op op = Op::kAdd;
  int line;
  int height = 1;  // levels of the tree from this node down
  // Evaluating the node runs no script and assigns no variable (only
  // literals, names, self and operators below it), so an operand read before
  // it stays valid while it is evaluated.
  bool pure = true;
  // A send whose arguments, none or one, are pure, so that nothing evaluated
  // before the message can unbind a receiver read from a name: the send may
  // borrow it. A fast path: never set with the fast paths off.
  bool borrows = false;
  int32_t ival = 0;  // a kInt's value, and a kIntOperand's literal's
  // A kVar's index, and a kIntOperand's or kNilTest's name's, or a send's
  // receiver's when that is a name.
  int32_t name = -1;
  // A send of one argument that is a name: that name's index.
  int32_t arg_name = -1;
  // A float literal's value, laid out as a permanent float object so that an
  // operator can read it in place; the value the literal evaluates to is a
  // new float object.
  host::HostFloat number{{host::kPermanent, host::kFloat, 0, sizeof(host::HostFloat)}, 0.0};
  std::string text;
  // A name that names no variable: whether it is the receiver of new or
  // subclass (then it was meant as a class), and the operand of a `-` written
  // after it ("-1"), which was meant as a call's argument when the name is a
  // routine.
  bool class_expected = false;
  std::string call_hint;
  const rt::Selector *sel = nullptr;
  // A send that borrows its receiver: what it found last (rt::SiteLine), for
  // a receiver that is a script object (keyed by its class value) and for a
  // receiver that is the class a global name stands for (keyed by the name's
  // cell, the line's value the class's). Filled by the evaluator.
  mutable rt::SiteLine object_site;
  mutable rt::SiteLine class_site;
  std::unique_ptr<Expr> receiver;
  std::vector<std::unique_ptr<Expr>> args;
};

struct Stmt;
using Block = std::vector<Stmt>;

// The variable names of a procedure or of the top level: parameters first,
// then every other name in order of first use.
struct Scope {
  std::vector<std::string> names;
  std::vector<bool> assigned;  // per name: some statement assigns it
  std::unordered_map<std::string, int32_t> index;
  size_t params = 0;

  // The index of a name, added on first use.
  int32_t of(const std::string &name) {
    const auto [it, added] = index.try_emplace(name, static_cast<int32_t>(names.size()));
    if (added) {
      names.push_back(name);
      assigned.push_back(false);
    }
    return it->second;
  }
};

// A procedure as written: a global one (class_name empty) or a method.
struct ProcedureDef {
  std::string class_name;
  std::string name;
  Scope scope;
  Block body;
  std::string file;
};

struct Stmt {
  enum class Kind : uint8_t {
    kExpr,       // expr
    kAssign,     // name = expr
    kRefAssign,  // name == expr
    kStore,      // target = expr: target is an index node
    kRefStore,   // target == expr
    kBreak,
    kReturn,     // expr, or none
    kIf,         // expr; body; orelse (an elseif is an if alone in orelse)
    kWhile,      // expr; body
    kProcedure,  // proc
    // Chosen by the parser for the commonest forms of expr, so that the
    // statement loop's one switch takes them without a test of the form:
    kSendExpr,    // expr: a send, whose value is dropped
    kAssignSend,  // name = expr: a send
    kAssignCall,  // name = expr: a routine call
    // Updates, `name = name op right`, chosen only with the fast paths on:
    kUpdate,     // name = expr: an operator that is no number tree (Expr::Form::kOperator)
    kUpdateInt,  // name = expr: right is an integer literal (Expr::Form::kIntOperand)
    // Made by the evaluator as it binds a statement, never by the parser:
    kCount,  // counts a run of the line for the coverage, before the statement of that line
    kShown,  // expr: the prompt's last bare expression, whose value is shown
  };
  Kind kind;
  int line;
  int32_t name = -1;  // the assigned name's index in the scope
  std::unique_ptr<Expr> expr;
  std::unique_ptr<Expr> target;  // the element a store writes
  Block body;
  Block orelse;
  std::shared_ptr<const ProcedureDef> proc;
};

}  // namespace zel::lang
