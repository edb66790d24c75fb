// Runs a program and reports its peak resident set size, for bench/memory.py.
//
//   objkit_peak_rss PROGRAM [ARGS...]
//
// The program inherits the standard streams; when it ends, the last line on
// standard error is "peak rss N KiB" and the exit status is the program's (1
// when it could not be run or was killed). The kernel carries a process's
// peak over exec, so a program started straight from a large process (the
// Python runner) reports that process's size when its own is smaller; started
// from this small one, it reports its own.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

int main(int argc, char **argv) {
  if (argc < 2) {
    std::fputs("usage: objkit_peak_rss PROGRAM [ARGS...]\n", stderr);
    return 2;
  }
  const pid_t child = fork();
  if (child < 0) {
    std::perror("objkit_peak_rss: fork");
    return 1;
  }
  if (child == 0) {
    execvp(argv[1], argv + 1);
    std::perror("objkit_peak_rss: exec");
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  if (wait4(child, &status, 0, &usage) < 0) {
    std::perror("objkit_peak_rss: wait4");
    return 1;
  }
  std::fprintf(stderr, "peak rss %ld KiB\n", usage.ru_maxrss);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}
