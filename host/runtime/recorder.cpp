// The recorder: while it is on, each C operation a library calls appends one
// line, so that tests can see what the library asked of the interpreter.
#include <utility>

#include "runtime/internal.h"

namespace zel::rt {
namespace detail {

bool recorder_on = false;

namespace {

std::vector<std::string> &lines() {
  static std::vector<std::string> &l = *new std::vector<std::string>;
  return l;
}

}  // namespace

void note(std::string line) {
  lines().push_back(std::move(line));
}

void note_text(const char *operation, std::string_view text) {
  std::string line = operation;
  line += '(';
  line += text;
  line += ')';
  note(std::move(line));
}

void note_numbers(const char *operation, std::initializer_list<long long> numbers) {
  std::string line = operation;
  if (numbers.size() != 0) {
    const char *separator = "(";
    for (const long long n : numbers) line += std::exchange(separator, ", ") + std::to_string(n);
    line += ")";
  }
  note(std::move(line));
}

}  // namespace detail

void record(bool on) {
  detail::recorder_on = on;
  detail::forget_fast_zone();
}

std::vector<std::string> take_recording() {
  return std::exchange(detail::lines(), {});
}

}  // namespace zel::rt
