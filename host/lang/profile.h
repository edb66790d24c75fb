// The whole-program profile (zel --profile-all, --profile-stacks) and the
// line coverage (zel --coverage) of a run. Both belong to the language rather
// than the runtime: the profile files its times under the runtime's record of
// the running calls (rt::Activation, through the call watcher), but coverage
// needs what only the parser knows, the lines of a file that can run and
// where its procedures are. docs/profiling.md and docs/coverage.md describe
// what they write.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

namespace zel::lang {

namespace detail {
// True while coverage is kept; the evaluator asks as it binds statements.
inline bool covering = false;
// Counts one run of the statement that starts on `line` of the script file
// `file`; a file that is not covered is ignored.
void count_statement(const std::string &file, int line);
}  // namespace detail

// Starts the profile of every call: its calls, its time and the stacks of
// calls it ran in, and the time of the whole run. Only while no call runs.
void start_profile();

// Writes the profile table on out: the time since start_profile, then one
// row per procedure, method and built-in that ran, by self time.
void write_profile(std::FILE *out);

// Writes the collapsed stacks of the profile into the file at path, one line
// "top;f;g MICROSECONDS" per distinct stack. Throws rt::ScriptError when the
// file cannot be written.
void write_stacks(const std::string &path);

// Starts counting how often each statement and procedure of the covered
// files runs. Only while no call runs.
void start_coverage();

// Makes the script file at path (whose text is given) covered: its record
// holds every line on which a statement starts and every procedure it
// defines. Does nothing without coverage, for a file already covered, or
// for a text that does not parse (running it reports that).
void cover_file(const std::string &path, std::string_view text);

// Writes the counts as an lcov tracefile into the file at path, adding them
// to the counts it holds when it is a file already. Throws rt::ScriptError
// when it cannot be read or written, or holds a line that is not lcov's.
void write_coverage(const std::string &path);

}  // namespace zel::lang
