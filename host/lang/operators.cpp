// The general path of the operators over values, and the switch that turns
// the fast paths off; the rules themselves are in operators.h.
#include "lang/operators.h"

#include <algorithm>
#include <bit>
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

double float_remainder(double x, double y) {
  constexpr uint64_t kSign = uint64_t{1} << 63, kHidden = uint64_t{1} << 52,
                     kInfinity = uint64_t{0x7FF} << 52;
  const uint64_t bits_x = std::bit_cast<uint64_t>(x);
  const uint64_t abs_x = bits_x & ~kSign, abs_y = std::bit_cast<uint64_t>(y) & ~kSign;
  // The C library's NaN for these: (x * y) / (x * y).
  if (abs_x >= kInfinity || abs_y > kInfinity || abs_y == 0) return (x * y) / (x * y);
  if (abs_x < abs_y) return x;
  // |v| is mantissa * 2^(exponent - 1075): the hidden bit set for a normal
  // number, a subnormal one taken as exponent 1 without it.
  const auto split = [](uint64_t abs, int &exponent) {
    exponent = static_cast<int>(abs >> 52);
    const uint64_t mantissa = abs & (kHidden - 1);
    if (exponent != 0) return mantissa | kHidden;
    exponent = 1;
    return mantissa;
  };
  int exponent_x = 0, exponent_y = 0;
  uint64_t r = split(abs_x, exponent_x);
  const uint64_t m = split(abs_y, exponent_y);
  // Long division of x's mantissa, shifted up to y's exponent, by y's: up to
  // 11 bits at a time, as r < m < 2^53 leaves room for them in 64.
  r %= m;
  for (int shift = 0; exponent_x > exponent_y; exponent_x -= shift) {
    shift = std::min(exponent_x - exponent_y, 11);
    r = (r << shift) % m;
  }
  // r * 2^(exponent_y - 1075) < |y| is exact: normalised back to a double.
  while (r != 0 && r < kHidden && exponent_y > 1) {
    r <<= 1;
    --exponent_y;
  }
  const uint64_t abs_r = r >= kHidden ? (static_cast<uint64_t>(exponent_y) << 52) | (r & (kHidden - 1)) : r;
  return std::bit_cast<double>(abs_r | (bits_x & kSign));
}

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
