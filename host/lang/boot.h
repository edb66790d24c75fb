// Starting the zel interpreter inside a C++ program, as the library's
// GoogleTests do: they link the library statically, boot, then call
// objkit_init_module() themselves.
//
//   zel::boot();                 // arena, language, WQ_ZEL
//   objkit_init_module();
//   EXPECT_EQ(zel::run("l = T_DblLnk:new (); l:create ();"), "");
#pragma once

#include <string>
#include <string_view>

namespace zel {

// Maps the arena, installs the language and sets the logical name WQ_ZEL:
// to script_folder when one is given, otherwise to the source tree's scripts/
// folder unless the environment sets it already. May be called again.
void boot(std::string_view script_folder = {});

// Runs ZEL text at top level, named "test" in messages. Returns "" on
// success, or the error line ("test:3: unknown variable x").
std::string run(std::string_view text);

// Drops every global variable the scripts made, so that the runtime's count
// of live objects can be compared with its count before them. Returns "", or
// the error of a message the library sent while releasing them.
std::string drop_globals();

}  // namespace zel
