// The anchor of bench/memory.py: a std::list of N integers (N is argument 1,
// default 0), built in order as the script builds its list. Prints the size.
#include <cstdio>
#include <cstdlib>
#include <list>

int main(int argc, char **argv) {
  const long count = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 0;
  std::list<int> list;
  for (long i = 0; i < count; ++i) list.push_back(static_cast<int>(i));
  std::printf("%zu\n", list.size());
  return 0;
}
