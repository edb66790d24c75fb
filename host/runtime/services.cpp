// The interpreter's small services: message texts, the terminal's video
// attribute, the fatal exit, byte copying and number reading.
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <iterator>

#include "runtime/internal.h"

using zel::rt::detail::note_numbers;
using zel::rt::detail::note_text;
using zel::rt::detail::recording;

namespace {

// The interpreter's message texts, by number.
constexpr const char *kMessages[] = {
    "no error",
    "file not found",
    "end of file",
    "out of memory",
    "bad argument",
    "wrong number of arguments",
    "unknown variable",
    "unknown routine",
    "unknown method",
    "unknown class",
    "syntax error",
    "division by zero",
    "type mismatch",
    "value out of range",
    "permission denied",
    "file already exists",
    "read error",
    "write error",
    "not a number",
    "string too long",
    "index out of range",
    "object not created",
    "operation interrupted",
    "not implemented",
    "stack overflow",
    "invalid selector",
    "invalid object",
    "zone exhausted",
    "bad format",
    "timed out",
};

constexpr const char *kUnknownMessage = "unknown message";

zel::rt::PlaceHook place_hook = nullptr;

int hex_digit(char ch) {
  if (ch >= '0' && ch <= '9') return ch - '0';
  if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
  if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
  return -1;
}

}  // namespace

namespace zel::rt {

void set_place(PlaceHook place) {
  place_hook = place;
}

std::string place() {
  return place_hook == nullptr ? std::string() : place_hook();
}

}  // namespace zel::rt

extern "C" {

const char *libmsg(int32_t number) {
  if (recording()) note_numbers("libmsg", {number});
  if (number < 0 || number >= static_cast<int32_t>(std::size(kMessages))) return kUnknownMessage;
  return kMessages[number];
}

// Attributes: 0 normal, 1 bold, 2 dim, 4 underline, 5 blink, 7 reverse; any
// other value is taken as 0. Written as an ANSI SGR sequence, and only when
// standard output is a terminal.
void trm_setvideo(int32_t attribute) {
  if (recording()) note_numbers("trm_setvideo", {attribute});
  if (!isatty(fileno(stdout))) return;
  const bool known = attribute == 1 || attribute == 2 || attribute == 4 || attribute == 5 || attribute == 7;
  printf("\033[%dm", known ? static_cast<int>(attribute) : 0);
}

// "zel: file:line: message" on standard error, without the place when the
// language is not running a statement, then exit status 1.
void errexit(const char *message) {
  if (recording()) note_text("errexit", message == nullptr ? "" : message);
  fflush(stdout);
  const std::string where = zel::rt::place();
  fprintf(stderr, "zel: %s%s%s\n", where.c_str(), where.empty() ? "" : ": ",
          message == nullptr ? "" : message);
  exit(1);
}

void movb(const void *source, void *destination, uint32_t length) {
  if (recording()) note_numbers("movb", {length});
  if (length != 0) memmove(destination, source, length);
}

double atod(const char *text) {
  if (recording()) note_text("atod", text == nullptr ? "" : text);
  return text == nullptr ? 0.0 : strtod(text, nullptr);
}

int32_t atox(const char *text) {
  if (recording()) note_text("atox", text == nullptr ? "" : text);
  uint32_t value = 0;
  for (const char *p = text; p != nullptr && hex_digit(*p) >= 0; ++p) {
    value = (value << 4) | static_cast<uint32_t>(hex_digit(*p));
  }
  return static_cast<int32_t>(value);
}

}  // extern "C"
