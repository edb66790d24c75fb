// zel --test: runs script tests, each NAME.zel in a zel process of its own,
// and compares what it writes with NAME.out and NAME.err; reports in TAP and,
// on request, JUnit XML.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace zel::testing {

struct Settings {
  std::vector<std::string> paths;  // test files and folders, searched in this order
  std::string lib;                 // --lib for every test; empty: zel's default
  std::string path;                // --path for every test; empty: zel's default
  std::vector<std::string> exec;   // command prefix each test's zel runs under
  std::string junit;               // the JUnit report's file; empty: none
  unsigned jobs = 1;               // tests running at a time
  unsigned timeout = 60;           // seconds before a test is stopped and fails
  bool update = false;             // write the expected files instead of comparing
};

// Finds the tests under settings.paths, runs them and writes one TAP line per
// test on standard output, then "N passed, N failed". The exit status: 0 when
// every test passed, 1 when one failed, 2 (after a "zel:" line on standard
// error, before any test runs) for a path that is not there or not a .zel
// file, no test at all, or a report file that cannot be written.
int run_tests(const Settings &settings);

// Splits text into words as a POSIX shell does without expansions: blanks
// separate words; '...' takes its text as it is; "..." too, except that \"
// and \\ stand for " and \; outside quotes \ takes the next character as it
// is. False when a quote is left open.
bool split_words(std::string_view text, std::vector<std::string> &words);

// The path of the running zel program (empty when the system does not say).
std::string program_path();

}  // namespace zel::testing
