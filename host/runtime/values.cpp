// Values as the language meets them: how they are described in messages and
// shown by print, and the assignments of a Ref (assign_owned, which releases
// inline, is with the releases in objects.cpp).
#include <cmath>
#include <cstring>

#include "runtime/internal.h"

namespace zel::rt {
namespace {

constexpr int kMaxShowDepth = 16;
// Array elements one show writes at most, nested ones included.
constexpr size_t kMaxShownElements = 10000;

std::string show_float(double v) {
  char text[64];
  if (std::isnan(v)) return "nan";  // whatever its sign bit
  if (std::isfinite(v) && v == std::trunc(v) && std::fabs(v) < 1e15) {
    snprintf(text, sizeof text, "%.1f", v);
  } else {
    snprintf(text, sizeof text, "%g", v);
  }
  return text;
}

std::string show_at(HostValue v, int depth, size_t &budget);

// "[a, b]": the elements until the budget of elements is spent, then "...".
std::string show_array(HostValue v, int depth, size_t &budget) {
  if (depth >= kMaxShowDepth) return "[...]";
  std::string out = "[";
  for (int32_t i = 0; i < slot_count(v); ++i) {
    if (i > 0) out += ", ";
    if (budget == 0) {
      out += "...";
      break;
    }
    --budget;
    out += show_at(host::slot(v, i), depth + 1, budget);
  }
  return out + "]";
}

std::string show_at(HostValue v, int depth, size_t &budget) {
  if (host::is_int(v)) return std::to_string(host::int_of(v));
  const uint8_t type = host::type_of(v);
  switch (type) {
    case host::kFloat:
      return show_float(host::float_of(v));
    case host::kNil:
      return "nil";
    case host::kString:
    case kName:
      return host::chars_of(v);
    case kScriptObject:
      return "<" + class_of(v)->name + ">";
    case kClass:
      return "<class " + as_class(v)->name + ">";
    case kArray:
      return show_array(v, depth, budget);
    default: {
      return "<" + (detail::registered(type) ? detail::type_name(type) : detail::type_phrase(type)) + ">";
    }
  }
}

}  // namespace

std::string ScriptError::text() const {
  if (file.empty()) return message;
  std::string out = file;
  out += ':';
  out += std::to_string(line);
  out += ": ";
  out += message;
  return out;
}

std::string detail::type_phrase(uint8_t type) {
  switch (type) {
    case host::kFloat:
      return "a float";
    case host::kNil:
      return "nil";
    case host::kBuiltin:
      return "a built-in routine";
    case host::kString:
      return "a string";
    case kName:
      return "a name";
    case kArray:
      return "an array";
    case kClass:
      return "a class";
    case kScriptObject:
      return "a script object";
    default: {
      if (registered(type)) return "a " + type_name(type);
      return "an object of type " + std::to_string(type);
    }
  }
}

std::string describe(HostValue v) {
  if (host::is_int(v)) return "an integer";
  if (const Class *cls = class_of(v)) return "a " + cls->name + " object";
  return detail::type_phrase(host::type_of(v));
}

int32_t size_of(HostValue v) {
  if (host::has_type(v, kArray)) return slot_count(v);
  if (host::has_type(v, host::kString)) return static_cast<int32_t>(std::strlen(host::chars_of(v)));
  return -1;
}

void detail::watch_began(const Activation &call) noexcept {
  call_watcher->began(call);
}

void detail::watch_ended(const Activation &call) noexcept {
  call_watcher->ended(call);
}

std::vector<std::string> traceback() {
  std::vector<const Activation *> calls;
  for (const Activation *a = detail::innermost; a != nullptr; a = a->outer) calls.push_back(a);
  std::vector<std::string> lines;
  std::string where;  // the place of the last script frame: a built-in's caller
  for (auto it = calls.rbegin(); it != calls.rend(); ++it) {
    const Activation &a = **it;
    if (a.file != nullptr) where = *a.file + ":" + std::to_string(a.line) + ": ";
    if (a.file == nullptr) {
      lines.push_back(where + "in " + *a.name + " (built-in)");
    } else if (a.name == nullptr) {
      lines.push_back(where + "at top level");
    } else {
      lines.push_back(where + "in " + *a.name);
    }
  }
  return lines;
}

std::string show(HostValue v) {
  size_t budget = kMaxShownElements;
  return show_at(v, 0, budget);
}

void assign_value(HostValue &slot, Ref value) {
  assign_owned(slot, value.detach());
}

void assign_ref(HostValue &slot, Ref value) {
  const HostValue old = slot;
  slot = value.detach();
  drop(old);
}

}  // namespace zel::rt
