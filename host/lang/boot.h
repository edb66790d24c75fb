// Starting the zel interpreter inside a C++ program, as the library's
// GoogleTests do: they link the library statically, boot, then call
// objkit_init_module() themselves.
//
//   zel::boot();                 // arena, language, WQ_ZEL (zelhost_tree)
//   objkit_init_module();
//   EXPECT_EQ(zel::run("l = T_DblLnk:new (); l:create ();"), "");
#pragma once

#include <cstdlib>
#include <string>
#include <string_view>

namespace zel {

// Maps the arena, installs the language and sets the logical name WQ_ZEL to
// script_folder. May be called again.
void boot(std::string_view script_folder);

#ifdef ZEL_SCRIPTS_DIR
// For programs linked with zelhost_tree: boot with WQ_ZEL from the
// environment, or else the source tree's scripts/ folder.
inline void boot() {
  const char *folder = std::getenv("WQ_ZEL");
  boot(folder != nullptr && *folder != '\0' ? folder : ZEL_SCRIPTS_DIR);
}
#endif

// Runs ZEL text at top level, named "test" in messages. Returns "" on
// success, or the error line ("test:3: unknown variable x").
std::string run(std::string_view text);

// Drops every global variable the scripts made, so that the runtime's count
// of live objects can be compared with its count before them. Returns "", or
// the error of a message the library sent while releasing them.
std::string drop_globals();

}  // namespace zel
