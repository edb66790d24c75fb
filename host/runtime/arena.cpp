// The arena every object and zone block comes from: one mapping at a fixed
// address (so that printed addresses are the same on every build), carved by a
// bump pointer into blocks of size classes, with a free list per class. A freed
// block is poisoned for AddressSanitizer and waits in a FIFO quarantine before
// it may be handed out again, so that a stale use is caught.
#include <sanitizer/asan_interface.h>
#include <sys/mman.h>

#include <bit>
#include <cstdio>
#include <deque>
#include <unordered_map>
#include <utility>
#include <vector>

#include "runtime/internal.h"

namespace zel::rt::detail {
namespace {

constexpr uintptr_t kArenaAddress = 0x50000000;
constexpr size_t kArenaBytes = size_t{256} << 20;
constexpr size_t kSmallestArena = size_t{16} << 20;
constexpr size_t kQuarantineBlocks = 256;
constexpr size_t kQuarantineBytes = size_t{1} << 20;

struct Arena {
  char *top = nullptr;
  char *end = nullptr;
  std::unordered_map<size_t, std::vector<char *>> free;
  std::deque<std::pair<char *, size_t>> quarantine;
  size_t quarantined = 0;
};

// Maps the arena: at the fixed address if the system lets us (trying smaller
// sizes before giving the address up), anywhere otherwise.
Arena *map_arena() {
  auto *a = new Arena;
  const int flags = MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE;
  for (size_t bytes = kArenaBytes; bytes >= kSmallestArena; bytes /= 2) {
    void *want = reinterpret_cast<void *>(kArenaAddress);
    void *p = mmap(want, bytes, PROT_READ | PROT_WRITE, flags | MAP_FIXED_NOREPLACE, -1, 0);
    if (p == want) {
      a->top = static_cast<char *>(p);
      a->end = a->top + bytes;
      return a;
    }
    if (p != MAP_FAILED) munmap(p, bytes);
  }
  for (size_t bytes = kArenaBytes; bytes >= kSmallestArena; bytes /= 2) {
    void *p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, flags, -1, 0);
    if (p != MAP_FAILED) {
      a->top = static_cast<char *>(p);
      a->end = a->top + bytes;
      return a;
    }
  }
  fputs("zel: cannot map the object arena\n", stderr);
  return a;
}

Arena &arena() {
  static Arena &a = *map_arena();
  return a;
}

// Moves the oldest quarantined block to its free list.
void evict_oldest(Arena &a) {
  auto [block, size] = a.quarantine.front();
  a.quarantine.pop_front();
  a.quarantined -= size;
  a.free[size].push_back(block);
}

}  // namespace

size_t arena_class(size_t bytes) {
  if (bytes < 16) bytes = 16;
  if (bytes <= 128) return (bytes + 7) & ~size_t{7};
  const size_t step = size_t{1} << (std::bit_width(bytes - 1) - 3);
  return (bytes + step - 1) & ~(step - 1);
}

void *arena_allocate(size_t bytes) {
  Arena &a = arena();
  const size_t size = arena_class(bytes);
  if (size < bytes) return nullptr;  // the request wrapped around
  std::vector<char *> &list = a.free[size];
  char *block = nullptr;
  if (list.empty() && static_cast<size_t>(a.end - a.top) < size) {
    while (!a.quarantine.empty()) evict_oldest(a);
  }
  if (!list.empty()) {
    block = list.back();
    list.pop_back();
  } else if (static_cast<size_t>(a.end - a.top) >= size) {
    block = a.top;
    a.top += size;
  } else {
    return nullptr;
  }
  ASAN_POISON_MEMORY_REGION(block, size);
  ASAN_UNPOISON_MEMORY_REGION(block, bytes);
  return block;
}

void arena_release(void *block, size_t bytes) {
  Arena &a = arena();
  const size_t size = arena_class(bytes);
  ASAN_POISON_MEMORY_REGION(block, size);
  a.quarantine.emplace_back(static_cast<char *>(block), size);
  a.quarantined += size;
  while (a.quarantine.size() > kQuarantineBlocks || a.quarantined > kQuarantineBytes) evict_oldest(a);
}

}  // namespace zel::rt::detail
