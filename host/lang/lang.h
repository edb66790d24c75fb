// The language half of the zel interpreter: runs ZEL text against the
// runtime. Globals live here; procedures are compiled into handles that the
// runtime's dispatch hands back to the invoke hook.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/runtime.h"

namespace zel::lang {

// Starts the runtime if need be and hands the exec and invoke hooks to it.
// Idempotent.
void install();

// What run() shows of the values of bare expressions: nothing (scripts), or
// the value of the last statement when it is one (the prompt's entries).
enum class Echo : bool { kNone, kLast };

// Parses the whole text and then runs it at top level; `file` names it in
// error messages. Throws rt::ScriptError (with file and line) on a syntax
// error or on the first failing statement. With Echo::kLast, when the last
// statement is a bare expression (no assignment), its value is written on
// standard output as print shows it, unless it is nil, before it is dropped.
void run(std::string_view text, std::string_view file, Echo echo = Echo::kNone);

// Reads and runs a script file, named in messages as `path`; throws
// rt::ScriptError ("cannot read PATH: reason") when it cannot be read, or the
// error it fails with.
void run_file(const std::string &path);

// True unless the text stops in the middle of a statement or block (the
// prompt then reads another line before running it).
bool complete(std::string_view text);

// Bounds the work of scripts: every loop iteration and every procedure call
// spends one step, and once steps are spent the running script fails with
// "step budget exhausted". 0, the default, is no bound. Setting it again
// starts a new budget.
void set_step_budget(std::uint64_t steps);

// Asks the running script to stop: its next loop iteration or procedure
// call fails with ScriptError "interrupted". interrupt(false) withdraws a
// request not taken yet. Safe to call from a signal handler.
void interrupt(bool on);

// The procedures made and not yet freed: those defined, and those replaced
// or forgotten whose call still runs.
size_t live_procedures();

// Sets a global variable (as `name == value`).
void set_global(std::string_view name, rt::Ref value);

// Drops every global variable, in rounds: a release may run a script that
// makes new globals, which the next round drops. Throws rt::ScriptError when
// globals are left after 100 rounds (they stay, and are named in the
// message), or else, once they are all dropped, when a message the library
// sent while releasing them failed.
void drop_globals();

// The names the prompt completes a word from, in no set order, as spelled
// where they were made. Without a receiver: the keywords, every routine
// (built-in or script procedure), class and global variable. With one (the
// name before a ':'): the methods, built-in and script, along the class
// chain of the object a global of that name holds, or of the class the name
// stands for, and then also that class's own routines; none when the name
// stands for neither. Runs no script; never fails.
std::vector<std::string> completions(std::string_view receiver);

// Writes an error as one line "file:line: message" ("zel: message" when it
// has no place) on standard error, after flushing standard output; then,
// when it happened inside a call, its traceback, most recent call last.
void report(const rt::ScriptError &error);

}  // namespace zel::lang
