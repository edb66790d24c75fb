// The rules of ZEL's operators, each written once here and used by every way
// the evaluator computes an expression: the general path over values
// (operate, negative), the number trees computed without objects
// (number_op, negate) and the name beside an integer literal (apply).
//
// The rules, and the invariants every path keeps:
// - An integer is 31 bits, kMinInt to kMaxInt. An integer result outside that
//   range, negation included, fails with "integer overflow".
// - On two integers / truncates toward zero and % takes the sign of its left
//   side; either by 0 fails with "division by zero" (kMinInt / -1
//   overflows).
// - With a float on either side both operands are taken as doubles and the
//   result is a float: IEEE arithmetic, % is C's fmod (float_remainder),
//   division by 0 gives an infinity or a NaN.
// - < <= > >= order two numbers by value and two strings by byte order; a NaN
//   is unordered, so every ordering with a NaN operand is 0. Anything else is
//   "operator < cannot compare ...".
// - `is` compares numbers by value (3 is 3.0; a NaN is not even itself),
//   strings by text and every other value by identity; `isnt` is its
//   negation.
// - + joins two strings into a new one; a string beside anything else is an
//   error, and - * / % on a string (or nil, or an object) "needs numbers".
// - nil, the integer 0 and the float 0.0 are false; every other value is true.
//
// A number computed without an object (Number) is none where the general
// path must decide: an integer fault (int_fault says which), or an operand
// that is no number. apply() holds the rules over two numbers, for integers
// and for doubles alike.
//
// The fast paths (number trees, the name beside an integer literal, the nil
// test, a float result written into a float nothing else holds, an unshared
// float or string stored as it is) must give what the general path gives.
// Started with ZEL_NO_FAST_PATHS set to a non-empty value in the environment,
// zel takes none of them, so a test can run every script both ways.
#pragma once

#include <cmath>
#include <cstdint>
#include <type_traits>

#include "lang/ast.h"
#include "runtime/runtime.h"

namespace zel::lang {

constexpr int64_t kMinInt = -(int64_t{1} << 30);
constexpr int64_t kMaxInt = (int64_t{1} << 30) - 1;

// False when ZEL_NO_FAST_PATHS was set at start: every fast path is off.
extern const bool fast_paths;

// True when v is in the 31-bit range of an integer.
ZEL_HOT_INLINE bool fits(int64_t v) {
  return v >= kMinInt && v <= kMaxInt;
}

// A number computed without an object: an integer in the 31-bit range, a
// float, or none. Small enough to come back in registers.
struct Number {
  enum class Kind : uint8_t { kNone, kInt, kReal };
  double real;
  int32_t integer;
  Kind kind;

  static Number none() { return {0.0, 0, Kind::kNone}; }
  static Number of_int(int64_t v) { return {0.0, static_cast<int32_t>(v), Kind::kInt}; }
  static Number of_real(double v) { return {v, 0, Kind::kReal}; }
  bool is_none() const { return kind == Kind::kNone; }
  double as_double() const { return kind == Kind::kReal ? real : integer; }
};

// < <= > >= is isnt, which come in a row in Op.
inline bool is_comparison(Op op) {
  return op >= Op::kLt && op <= Op::kIsnt;
}

// The result of an operation computed wide: an integer in the 31-bit range
// (none outside it), or a float.
ZEL_HOT_INLINE Number made(int64_t r) {
  return fits(r) ? Number::of_int(r) : Number::none();
}
ZEL_HOT_INLINE Number made(double r) {
  return Number::of_real(r);
}

// x % y on floats: C's fmod, bit for bit, computed here so that zel needs
// no math library (one shared library fewer to load at each start). The
// remainder of x / y truncated toward zero, exact, with the sign of x; x
// itself when |x| < |y| (y infinite included); a NaN when x is infinite or
// a NaN, or y is 0 or a NaN. Cannot fail.
double float_remainder(double x, double y);

// An operator but and, or over two integers (T int32_t) or two doubles:
// integers are computed in 64 bits, and an integer result out of range or
// divided by 0 is none (int_fault gives the error); comparisons are 1 or 0,
// and every ordering with a NaN is 0. Also orders two strcmp results
// against 0. One switch serves both types, so the rules are written once.
template <typename T>
ZEL_HOT_INLINE Number apply(Op op, T x, T y) {
  constexpr bool kInt = std::is_integral_v<T>;
  using Wide = std::conditional_t<kInt, int64_t, double>;
  switch (op) {
    case Op::kAdd:
      return made(Wide{x} + y);
    case Op::kSub:
      return made(Wide{x} - y);
    case Op::kMul:
      return made(Wide{x} * y);
    case Op::kDiv:
      if constexpr (kInt) {
        if (y == 0) return Number::none();
      }
      return made(Wide{x} / y);
    case Op::kRem:
      if constexpr (kInt) {
        if (y == 0) return Number::none();
        return made(Wide{x} % y);
      } else {
        return made(float_remainder(x, y));
      }
    case Op::kLt:
      return Number::of_int(x < y);
    case Op::kLe:
      return Number::of_int(x <= y);
    case Op::kGt:
      return Number::of_int(x > y);
    case Op::kGe:
      return Number::of_int(x >= y);
    case Op::kIs:
      return Number::of_int(x == y);
    case Op::kIsnt:
      return Number::of_int(x != y);
    case Op::kAnd:
    case Op::kOr:
    case Op::kNeg:
    case Op::kNot:
      return Number::none();
  }
  __builtin_unreachable();  // every operator has its case: no bounds test
}

// The error of an integer operation that apply refused, y its right side.
inline const char *int_fault(Op op, int32_t y) {
  return (op == Op::kDiv || op == Op::kRem) && y == 0 ? "division by zero" : "integer overflow";
}

// An operator but and, or over two numbers, promoted to doubles unless both
// are integers; none when an operand is none or apply refuses.
ZEL_HOT_INLINE Number number_op(Op op, Number a, Number b) {
  if (a.kind == Number::Kind::kInt && b.kind == Number::Kind::kInt) return apply(op, a.integer, b.integer);
  if (a.is_none() || b.is_none()) return Number::none();
  return apply(op, a.as_double(), b.as_double());
}

// Negation; none for none and for kMinInt, whose negation overflows.
inline Number negate(Number v) {
  if (v.kind == Number::Kind::kReal) return Number::of_real(-v.real);
  if (v.is_none() || !fits(-int64_t{v.integer})) return Number::none();
  return Number::of_int(-int64_t{v.integer});
}

// A value as a number: an integer, a float, or none for anything else.
inline Number number_of_value(HostValue v) {
  if (host::is_int(v)) return Number::of_int(host::int_of(v));
  if (host::has_type(v, host::kFloat)) return Number::of_real(host::float_of(v));
  return Number::none();
}

// nil, the integer 0 and the float 0.0 are false; every other value is true.
inline bool truthy(HostValue v) {
  if (host::is_int(v)) return host::int_of(v) != 0;
  if (host::is_nil(v)) return false;
  if (host::has_type(v, host::kFloat)) return host::float_of(v) != 0.0;
  return true;
}

// Any operator but and, or on two values: its number (1 or 0 for a
// comparison), or none for + on two strings, whose result join makes. Fails
// with the operator's error.
Number operate(Op op, HostValue a, HostValue b);

// + on two strings: a new string, a's text then b's. Fails when out of memory.
rt::Ref join(HostValue a, HostValue b);

// Negation of a value; fails when it is no number or the result overflows.
Number negative(HostValue v);

// The operator as written, for messages.
const char *symbol(Op op);

}  // namespace zel::lang
