// Part of the evaluator (see host/lang/eval.cpp and eval/frame.h): how an
// expression is evaluated. eval and its dispatch over the node forms
// (eval_node), the operators over values (eval_operator) and over numbers
// without objects (numeric), conditions (test), `and`, `or`, the prefix
// operators and indexing. The operators' rules are host/lang/operators.h's.
//
// Invariants: an expression's value comes back as an Owned, one reference
// that the caller takes over at once (a Ref, a slot, or a drop). An
// operand is read in place (a literal, nil, a name) only while nothing
// evaluated after it can run a script or assign. The number path gives
// what the general path gives, and gives up (none) where the general path
// must decide; a pure tree evaluated again gives the same operands.
//
// A node form is added in Expr::Form (host/lang/ast.h), where the parser
// chooses it, and as a case of eval_node; a fast path for it in a condition
// or an assignment goes in test or exec_assign.
#pragma once

#include <cassert>
#include <string>
#include <string_view>

#include "lang/eval/calls.h"

namespace zel::lang {

namespace {

// The integer 1 or 0.
Owned boolean(bool b) {
  return {b ? host::kOne : host::kZero};
}

// A new float object with one reference; fails when the arena is full.
Owned real(double v) {
  return {rt::make_float(v).detach()};
}

// Whether a float may take a result in place: nothing but the one holder
// that asks holds it (its count is 1). Never with the fast paths off.
inline bool writable_float(HostValue w) {
  return fast_paths && host::has_type(w, host::kFloat) && host::object_of(w)->refcount == 1;
}

// A float result with one reference: written into an operand that nothing
// but the operation holds (a float it made), or else a new float. a and b
// are the operands as the operation read them: each is held by held_a or
// held_b, or else borrowed.
ZEL_HOT_INLINE Owned real_into(double v, [[maybe_unused]] HostValue a, [[maybe_unused]] HostValue b,
                               Ref &held_a, Ref &held_b) {
  for (Ref *held : {&held_a, &held_b}) {
    if (writable_float(held->get())) {
      // The rule of rt::Ref: no borrowed operand is the float written.
      assert((a == held_a.get() || a != held->get()) && (b == held_b.get() || b != held->get()));
      *host::payload<double>(held->get()) = v;
      return {held->detach()};
    }
  }
  return real(v);
}

// The value of a number computed from the operands a and b: an integer
// word, or a float (see real()).
ZEL_HOT_INLINE Owned value_of(Number n, HostValue a, HostValue b, Ref &held_a, Ref &held_b) {
  return n.kind == Number::Kind::kInt ? Owned{host::make_int(n.integer)}
                                      : real_into(n.real, a, b, held_a, held_b);
}

// Whether a condition's value is true (below).
bool test(const Expr &e, Frame &f);

// `and`, `or`: the right operand only when the left does not decide.
[[gnu::noinline]] Owned eval_logic(const Expr &e, Frame &f) {
  check_stack(e, f);
  const bool left = test(*e.receiver, f);
  if (left == (e.op == Op::kOr)) return boolean(left);
  return boolean(test(*e.args[0], f));
}

// eval where a send is the most frequent node (an operand evaluated): a send
// goes straight to eval_send and places an error as eval would.
ZEL_HOT_INLINE Owned eval_or_send(const Expr &e, Frame &f) {
  if (e.form == Expr::Form::kSend) [[likely]]
    return at_node<eval_send>(e, f, e, f);
  return eval(e, f);
}

// A kNilTest node whose operator is op (e.op, or that operator where the
// caller knows it), a being its name's slot's word: whether the name's value
// is nil (`is`) or is not (`isnt`).
ZEL_HOT_INLINE bool nil_test_with(const Expr &e, Frame &f, Op op, HostValue a) {
  return (value_or_class(a, *e.receiver, f) == nil()) == (op == Op::kIs);
}
ZEL_HOT_INLINE bool nil_test(const Expr &e, Frame &f) {
  return nil_test_with(e, f, e.op, slot_of(e.name, f));
}

// An operand of an operator, as a word: a literal or nil read in place, a name's
// value borrowed when nothing evaluated after it can change it (borrow), or
// else evaluated and kept in held.
ZEL_HOT_INLINE HostValue operand(const Expr &e, bool borrow, Frame &f, Ref &held) {
  switch (e.kind) {
    case Expr::Kind::kInt:
      return host::make_int(e.ival);
    case Expr::Kind::kFloat:
      return host::value_of(&e.number.header);
    case Expr::Kind::kNil:
      return nil();
    case Expr::Kind::kVar:
      if (borrow) return lookup(e, f);
      break;
    default:
      break;
  }
  held = eval_or_send(e, f).ref();
  return held.get();
}

// Operator e (no `and`, `or`) over its operands a and b as operand() read
// them, each held by held_a or held_b or else borrowed: its value. Fails with
// the operator's error.
ZEL_HOT_INLINE Owned combine(const Expr &e, HostValue a, HostValue b, Ref &held_a, Ref &held_b) {
  if (host::is_int(a) && host::is_int(b)) {
    const Number n = apply(e.op, host::int_of(a), host::int_of(b));
    if (!n.is_none()) return {host::make_int(n.integer)};
  }
  const Number n = operate(e.op, a, b);
  return n.is_none() ? Owned{join(a, b).detach()} : value_of(n, a, b, held_a, held_b);
}

// Any operator but `and` and `or`, on any operands (see eval_operator).
ZEL_HOT_INLINE Owned operator_value(const Expr &e, Frame &f) {
  check_stack(e, f);
  const Expr &right = *e.args[0];
  Ref held_a, held_b;
  const HostValue a = operand(*e.receiver, right.pure, f, held_a);
  const HostValue b = operand(right, true, f, held_b);
  return combine(e, a, b, held_a, held_b);
}

// Any operator but `and` and `or`, on any operands. A condition or an
// assignment whose number path gave up enters it without eval: it gives an
// error leaving it its line as eval would.
[[gnu::noinline]] Owned eval_operator(const Expr &e, Frame &f) {
  return at_node<operator_value>(e, f, e, f);
}

Number numeric(const Expr &e, Frame &f);
template <bool kLeaves = false>
ZEL_HOT_INLINE Number numeric_node(const Expr &e, Frame &f);

// A literal or a name as a number, or else a subtree: through numeric(), or
// in line where its operands are leaves (a tree two levels high), so that the
// commonest subtree costs no call. kLeaves where e is known to be a leaf.
template <bool kLeaves = false>
ZEL_HOT_INLINE Number number_of(const Expr &e, Frame &f) {
  switch (e.kind) {
    case Expr::Kind::kInt:
      return Number::of_int(e.ival);
    case Expr::Kind::kFloat:
      return Number::of_real(e.number.value);
    case Expr::Kind::kVar: {
      const HostValue v = slot_of(e.name, f);
      if (host::is_int(v)) return Number::of_int(host::int_of(v));
      // An object, or 0 for a name that is no variable.
      if (v == 0 || host::type_of(v) != host::kFloat) return Number::none();
      return Number::of_real(host::float_of(v));
    }
    case Expr::Kind::kBinary:
    case Expr::Kind::kUnary:
      if constexpr (!kLeaves) {
        if (e.height == 2) return numeric_node<true>(e, f);
        return numeric(e, f);
      }
      [[fallthrough]];
    default:
      return Number::none();
  }
}

// The number a pure operator tree gives, computed without objects; none when
// an operand is no number or an operation needs the general path (an error
// to report, `not`, `and`, `or`): being pure, the tree gives the same values
// when that path evaluates it again. Callers test the stack first: the
// parser bounds a tree's height, so its recursion fits in the stack's reserve.
// kLeaves where e's operands are leaves.
template <bool kLeaves>
ZEL_HOT_INLINE Number numeric_node(const Expr &e, Frame &f) {
  if (e.kind == Expr::Kind::kUnary)
    return e.op == Op::kNeg ? negate(number_of<kLeaves>(*e.receiver, f)) : Number::none();
  const Number a = number_of<kLeaves>(*e.receiver, f);
  if (a.is_none()) return a;
  return number_op(e.op, a, number_of<kLeaves>(*e.args[0], f));
}

Number numeric(const Expr &e, Frame &f) {
  return numeric_node(e, f);
}

// numeric() at the top of a tree, which it takes in line: none when the
// stack is nearly full.
ZEL_HOT_INLINE Number numeric_top(const Expr &e, Frame &f) {
  return stack_nearly_full() ? Number::none() : numeric_node(e, f);
}

// A pure operator: over numbers without objects, else the general path.
[[gnu::noinline]] Owned eval_numeric(const Expr &e, Frame &f) {
  const Number n = numeric_top(e, f);
  if (n.kind == Number::Kind::kInt) return {host::make_int(n.integer)};
  if (n.kind == Number::Kind::kNone) return eval_operator(e, f);
  return real(n.real);
}

// apply over two integers where an update or a value computes them (not a
// condition): `+`, the commonest operator there, is tested apart from the
// others' switch.
ZEL_HOT_INLINE Number apply_update(Op op, int32_t x, int32_t y) {
  return op == Op::kAdd ? apply(Op::kAdd, x, y) : apply(op, x, y);
}

// A kIntOperand node over its name's slot's word a, op being its operator
// (e.op, or that operator where the caller knows it) and literal its
// literal (e.ival, or that value where the caller read it once), computed by
// compute (apply or apply_update): none when a is no integer (0 for a name
// that is no variable) or the general path must make the value, which then
// reads the name as eval does.
template <auto compute = apply<int32_t>>
ZEL_HOT_INLINE Number int_operand(HostValue a, Op op, int32_t literal) {
  return host::is_int(a) ? compute(op, host::int_of(a), literal) : Number::none();
}
template <auto compute = apply<int32_t>>
ZEL_HOT_INLINE Number int_operand(const Expr &e, HostValue a, Op op) {
  return int_operand<compute>(a, op, e.ival);
}
ZEL_HOT_INLINE Number int_operand(const Expr &e, HostValue a) {
  return int_operand(e, a, e.op);
}

// A name beside an integer literal as a value: no operand to hold.
ZEL_HOT_INLINE Owned eval_int_operand(const Expr &e, Frame &f) {
  const Number n = int_operand<apply_update>(e, slot_of(e.name, f), e.op);
  if (!n.is_none()) [[likely]]
    return {host::make_int(n.integer)};
  return eval_numeric(e, f);
}

// String literals, self, and the prefix operators.
[[gnu::noinline]] Owned eval_other(const Expr &e, Frame &f) {
  switch (e.kind) {
    case Expr::Kind::kString:
      return {rt::make_string(e.text).detach()};
    case Expr::Kind::kSelf:
      method_class(f, "self");
      return Owned::share(f.self);
    default:
      break;
  }
  check_stack(e, f);
  const Ref v = eval(*e.receiver, f).ref();
  if (e.op == Op::kNot) return boolean(!truthy(v.get()));
  const Number n = negative(v.get());
  return n.kind == Number::Kind::kInt ? Owned{host::make_int(n.integer)} : real(n.real);
}

// The position index denotes in base, an array or a string; fails when base
// is neither, or when the index is not an integer, negative or past the end,
// naming the index and the size.
int32_t position(HostValue base, HostValue index) {
  const int32_t size = rt::size_of(base);
  if (size < 0) fail("cannot index " + rt::describe(base));
  const std::string extent =
      host::has_type(base, rt::kArray)
          ? "the array has " + std::to_string(size) + (size == 1 ? " element" : " elements")
          : "the string has " + std::to_string(size) + (size == 1 ? " byte" : " bytes");
  if (host::has_type(index, host::kFloat))
    fail("index " + rt::show(index) + " is not an integer (" + extent + ")");
  if (!host::is_int(index)) fail("the index is " + rt::describe(index) + ", not an integer (" + extent + ")");
  const int32_t i = host::int_of(index);
  if (i < 0) fail("index " + std::to_string(i) + " is negative (" + extent + ")");
  if (i >= size) fail("index " + std::to_string(i) + " is past the end (" + extent + ")");
  return i;
}

// base[index]: an array's element (shared), or a string's byte as a new
// string of one byte.
[[gnu::noinline]] Owned eval_index(const Expr &e, Frame &f) {
  check_stack(e, f);
  const Ref base = eval(*e.receiver, f).ref();
  const Ref index = eval(*e.args[0], f).ref();
  const int32_t i = position(base.get(), index.get());
  if (host::has_type(base.get(), rt::kArray)) return Owned::share(host::slot(base.get(), i));
  return {rt::make_string(std::string_view(host::chars_of(base.get()) + i, 1)).detach()};
}

// The value of a node that is no integer literal or name, with one
// reference the caller owns.
[[gnu::noinline]] Owned eval_node(const Expr &e, Frame &f) {
  switch (e.form) {
    case Expr::Form::kNil:
      return {nil()};
    case Expr::Form::kIntOperand:
      return eval_int_operand(e, f);
    case Expr::Form::kNilTest:
      return boolean(nil_test(e, f));
    case Expr::Form::kNumeric:
      return eval_numeric(e, f);
    case Expr::Form::kLogic:
      return eval_logic(e, f);
    case Expr::Form::kOperator:
      return eval_operator(e, f);
    case Expr::Form::kSend:
      return eval_send(e, f);
    case Expr::Form::kCall:
    case Expr::Form::kSuper:
      return eval_call(e, f);
    case Expr::Form::kFloat:
      return real(e.number.value);
    case Expr::Form::kIndex:
      return eval_index(e, f);
    default:
      return eval_other(e, f);
  }
}

// The value of an expression, with one reference the caller owns. Integer
// literals and names, the most frequent nodes, are read where they are used;
// any other node is evaluated by eval_node, and an error leaving it takes the
// node's line.
ZEL_HOT_INLINE Owned eval(const Expr &e, Frame &f) {
  if (e.kind == Expr::Kind::kInt) return {host::make_int(e.ival)};
  if (e.kind != Expr::Kind::kVar) return at_node<eval_node>(e, f, e, f);
  return Owned::share(lookup(e, f));
}

// Whether a condition's value is true, read without making one where it can.
[[gnu::noinline]] bool test_slow(const Expr &e, Frame &f) {
  if (e.form == Expr::Form::kNumeric) {
    const Number n = numeric_top(e, f);
    if (n.kind != Number::Kind::kNone) return n.kind == Number::Kind::kReal ? n.real != 0.0 : n.integer != 0;
  }
  const Ref v = (e.form == Expr::Form::kNumeric ? eval_operator(e, f) : eval(e, f)).ref();
  return truthy(v.get());
}

// test for a condition of the form kIntOperand whose operator is op and
// literal literal, a being its name's slot's word (see int_operand): whether
// its value is true; fails as evaluating it fails.
ZEL_HOT_INLINE bool test_int_operand_with(const Expr &e, Frame &f, Op op, HostValue a, int32_t literal) {
  const Number n = int_operand(a, op, literal);
  if (!n.is_none()) [[likely]]
    return n.integer != 0;
  return test_slow(e, f);
}
ZEL_HOT_INLINE bool test_int_operand(const Expr &e, Frame &f) {
  return test_int_operand_with(e, f, e.op, slot_of(e.name, f), e.ival);
}

// Evaluates a condition: whether its value is true.
ZEL_HOT_INLINE bool test(const Expr &e, Frame &f) {
  if (e.form == Expr::Form::kIntOperand) return test_int_operand(e, f);
  if (e.form == Expr::Form::kNilTest) return nil_test(e, f);
  return test_slow(e, f);
}

}  // namespace

}  // namespace zel::lang
