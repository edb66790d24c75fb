#include "lang/boot.h"

#include <cstdlib>
#include <string>

#include "lang/lang.h"
#include "runtime/runtime.h"

namespace zel {

void boot(std::string_view script_folder) {
  rt::start();
  lang::install();
  setenv("WQ_ZEL", std::string(script_folder).c_str(), 1);
}

std::string run(std::string_view text) {
  try {
    lang::run(text, "test");
  } catch (const rt::ScriptError &error) {
    return error.text();
  }
  return "";
}

std::string drop_globals() {
  try {
    lang::drop_globals();
  } catch (const rt::ScriptError &error) {
    return error.text();
  }
  return "";
}

}  // namespace zel
