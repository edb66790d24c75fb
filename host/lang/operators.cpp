// The general path of the operators over values, and the switch that turns
// the fast paths off; the rules themselves are in operators.h.
#include "lang/operators.h"

#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>

namespace zel::lang {

namespace {

[[noreturn]] void fail(std::string message) {
  throw rt::ScriptError{std::move(message)};
}

bool is_string(HostValue v) {
  return host::has_type(v, host::kString);
}

// The operator as written, for messages; indexed by Op.
constexpr auto kSymbols = by_key<Op, const char *>({
    {Op::kAdd, "+"},
    {Op::kSub, "-"},
    {Op::kMul, "*"},
    {Op::kDiv, "/"},
    {Op::kRem, "%"},
    {Op::kLt, "<"},
    {Op::kLe, "<="},
    {Op::kGt, ">"},
    {Op::kGe, ">="},
    {Op::kIs, "is"},
    {Op::kIsnt, "isnt"},
    {Op::kAnd, "and"},
    {Op::kOr, "or"},
    {Op::kNeg, "-"},
    {Op::kNot, "not"},
});
static_assert(std::size(kSymbols) == static_cast<size_t>(Op::kNot) + 1);

bool fast_paths_wanted() {
  const char *off = std::getenv("ZEL_NO_FAST_PATHS");
  return off == nullptr || *off == '\0';
}

}  // namespace

const bool fast_paths = fast_paths_wanted();

const char *symbol(Op op) {
  return kSymbols[static_cast<size_t>(op)];
}

Number operate(Op op, HostValue a, HostValue b) {
  const Number x = number_of_value(a), y = number_of_value(b);
  if (!x.is_none() && !y.is_none()) {
    const Number n = number_op(op, x, y);
    if (n.is_none()) fail(int_fault(op, y.integer));
    return n;
  }
  const bool comparison = is_comparison(op);
  if (comparison && is_string(a) && is_string(b)) {
    return apply(op, std::strcmp(host::chars_of(a), host::chars_of(b)), 0);
  }
  if (op == Op::kIs || op == Op::kIsnt) return Number::of_int((a == b) == (op == Op::kIs));  // identity
  if (comparison) {
    fail(std::string("operator ") + symbol(op) + " cannot compare " + rt::describe(a) + " with " +
         rt::describe(b));
  }
  if (op == Op::kAdd && (is_string(a) || is_string(b))) {
    if (is_string(a) && is_string(b)) return Number::none();
    fail("operator + joins two strings or adds two numbers, got " + rt::describe(a) + " and " +
         rt::describe(b));
  }
  fail(std::string("operator ") + symbol(op) + " needs numbers, got " + rt::describe(a) + " and " +
       rt::describe(b));
}

rt::Ref join(HostValue a, HostValue b) {
  std::string text(host::chars_of(a));
  text += host::chars_of(b);
  return rt::make_string(text);
}

Number negative(HostValue v) {
  const Number n = number_of_value(v);
  if (n.is_none()) fail("operator - needs a number, got " + rt::describe(v));
  const Number r = negate(n);
  if (r.is_none()) fail("integer overflow");
  return r;
}

}  // namespace zel::lang
