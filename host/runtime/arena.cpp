// The arena every object and zone block comes from: one mapping at a fixed
// address (so that printed addresses are the same on every build), cut into
// runs of 16 KiB granules. A run is a slab of one size class or one large
// block, and belongs to one heap. A granule table gives the run of any arena
// address, so a block's slab is found without any per-block bookkeeping.
//
// A slab is a header, a side map of one 16-bit word per block, then the
// blocks. A map word is 0 for a block that is not live, else the requested
// size plus 1 (map_word): liveness and the exact size cost two bytes a block. Free blocks of a heap wait on
// intrusive lists, one per class, the link word at the heap's link offset. A freed block is poisoned for
// AddressSanitizer and first waits in a FIFO quarantine, so that a stale use
// is caught before the block is handed out again.
#include <sanitizer/asan_interface.h>
#include <sys/mman.h>

#include <algorithm>
#include <bit>
#include <cassert>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <utility>
#include <vector>

#include "runtime/internal.h"

namespace zel::rt::detail {
namespace {

constexpr uintptr_t kArenaAddress = 0x50000000;
constexpr size_t kArenaBytes = size_t{256} << 20;
constexpr size_t kSmallestArena = size_t{16} << 20;
constexpr size_t kGranule = size_t{1} << kGranuleShift;
constexpr size_t kMinBlocksPerSlab = 8;

struct Arena {
  char *base = nullptr;
  char *top = nullptr;
  char *end = nullptr;
  Run **runs = nullptr;                     // by granule: the run covering it, or null
  std::multimap<size_t, char *> free_runs;  // granule count, start
};

// Maps an arena of bytes starting at base, its granule table just below it,
// as one mapping (only the table's pages of granules in use are ever
// touched), or anywhere when base is 0; false when the system refuses. A
// system that takes the address as a hint only (an old kernel, valgrind)
// may put it elsewhere: that mapping is given back.
bool map_arena_at(Arena &a, uintptr_t base, size_t bytes) {
  constexpr int kFlags = MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE;
  const size_t table = bytes / kGranule * sizeof(Run *);
  void *want = base == 0 ? nullptr : reinterpret_cast<void *>(base - table);
  void *p = mmap(want, table + bytes, PROT_READ | PROT_WRITE,
                 want == nullptr ? kFlags : kFlags | MAP_FIXED_NOREPLACE, -1, 0);
  if (p == MAP_FAILED) return false;
  if (want != nullptr && p != want) {
    munmap(p, table + bytes);
    return false;
  }
  a.runs = static_cast<Run **>(p);
  a.base = a.top = static_cast<char *>(p) + table;
  a.end = a.base + bytes;
  granules.base = reinterpret_cast<uintptr_t>(a.base);
  granules.runs = a.runs;
  return true;
}

// The arena, mapped and published to run_of on first use: at the fixed
// address if the system lets us (trying smaller sizes before giving the
// address up), anywhere otherwise; empty, after a message, when it cannot be
// mapped at all (then every allocation fails).
Arena *the_arena = nullptr;

[[gnu::noinline]] Arena &map_arena() {
  the_arena = new Arena;
  for (uintptr_t base : {kArenaAddress, uintptr_t{0}}) {
    for (size_t bytes = kArenaBytes; bytes >= kSmallestArena; bytes /= 2) {
      if (map_arena_at(*the_arena, base, bytes)) return *the_arena;
    }
  }
  fputs("zel: cannot map the object arena\n", stderr);
  return *the_arena;
}

Arena &arena() {
  return the_arena != nullptr ? *the_arena : map_arena();
}

// A run of granules granules, its header unpoisoned and the rest poisoned;
// null when the arena is full.
Run *take_run(size_t granules) {
  Arena &a = arena();
  const size_t bytes = granules * kGranule;
  char *start = nullptr;
  auto fit = a.free_runs.lower_bound(granules);
  if (fit != a.free_runs.end()) {
    start = fit->second;
    const size_t rest = fit->first - granules;
    a.free_runs.erase(fit);
    if (rest > 0) a.free_runs.emplace(rest, start + bytes);
  } else if (static_cast<size_t>(a.end - a.top) >= bytes) {
    start = a.top;
    a.top += bytes;
    detail::granules.span = static_cast<uintptr_t>(a.top - a.base);
  } else {
    return nullptr;
  }
  auto *run = reinterpret_cast<Run *>(start);
  const size_t first = static_cast<size_t>(start - a.base) / kGranule;
  std::fill_n(a.runs + first, granules, run);
  ASAN_POISON_MEMORY_REGION(start, bytes);
  ASAN_UNPOISON_MEMORY_REGION(start, sizeof(Run));
  *run = Run{};
  run->granules = static_cast<uint32_t>(granules);
  return run;
}

// Gives a run back to the arena, poisoned, for a later take_run.
void give_run(Run *run) {
  Arena &a = arena();
  auto *start = reinterpret_cast<char *>(run);
  const size_t granules = run->granules;
  const size_t first = static_cast<size_t>(start - a.base) / kGranule;
  std::fill_n(a.runs + first, granules, &no_run);
  ASAN_POISON_MEMORY_REGION(start, granules * kGranule);
  a.free_runs.emplace(granules, start);
}

// The link word of a free block, read and written through its poison.
char *load_link(const Heap &h, char *block) {
  char *link;
  ASAN_UNPOISON_MEMORY_REGION(block + h.link_offset, sizeof link);
  std::memcpy(&link, block + h.link_offset, sizeof link);
  ASAN_POISON_MEMORY_REGION(block + h.link_offset, sizeof link);
  return link;
}

// Moves every quarantined block to its free list, the oldest first; false
// when the quarantine was empty.
bool release_quarantine(Heap &h) {
  bool any = false;
  for (size_t i = 0; i <= h.quarantine_mask; ++i) {
    const size_t at = (h.quarantine_next + i) & h.quarantine_mask;
    char *block = std::exchange(h.quarantine[at], nullptr);
    if (block == nullptr) continue;
    const size_t k = h.quarantine_class[at];
    store_link(h.link_offset, block, h.free[k]);
    h.free[k] = block;
    any = true;
  }
  return any;
}

// The header type of an object block, read through its poison when it is
// free.
[[gnu::no_sanitize_address]] uint8_t type_at(const char *block) {
  return reinterpret_cast<const HostObject *>(block)->type;
}

// Makes run one of h's runs.
void link_run(Heap &h, Run *run) {
  run->owner = &h;
  run->next = h.runs;
  if (h.runs != nullptr) h.runs->prev = run;
  h.runs = run;
}

// A new slab of class k for h, or null when the arena is full.
Run *new_slab(Heap &h, size_t k) {
  const size_t size = class_size(k);
  const size_t want =
      std::max(h.slab_bytes, kMinBlocksPerSlab * (size + sizeof(uint16_t)) + kRunHeader + kMapAlign);
  const size_t granules = (want + kGranule - 1) / kGranule;
  Run *run = take_run(granules);
  if (run == nullptr) return nullptr;
  const size_t room = granules * kGranule - kRunHeader - kMapAlign;
  run->cls = static_cast<uint32_t>(k);
  // The heap's smallest class holds every request up to the link word's end.
  const auto low =
      k == class_index(h.link_offset + sizeof(char *)) ? 0 : static_cast<uint32_t>(class_size(k - 1) + 1);
  run->low = low;
  run->block = static_cast<uint32_t>(size);
  const size_t count = room / (size + sizeof(uint16_t));
  run->count = static_cast<uint32_t>(count);
  uint16_t *map = run->map();
  const uintptr_t blocks = reinterpret_cast<uintptr_t>(map + count);
  run->first = reinterpret_cast<char *>((blocks + kMapAlign - 1) & ~uintptr_t{kMapAlign - 1});
#if UINTPTR_MAX > 0xFFFFFFFFu
  run->divisor = UINT64_MAX / size + 1;
#endif
  ASAN_UNPOISON_MEMORY_REGION(map, count * sizeof(uint16_t));
  std::memset(map, 0, count * sizeof(uint16_t));
  link_run(h, run);
  return run;
}

// Takes run out of its owner's runs.
void unlink_run(Heap &h, Run *run) {
  (run->prev != nullptr ? run->prev->next : h.runs) = run->next;
  if (run->next != nullptr) run->next->prev = run->prev;
}

// A large block of h in a run of its own; null when the arena is full.
void *allocate_large(Heap &h, size_t bytes) {
  if (bytes > kArenaBytes) return nullptr;
  const size_t granules = (kRunHeader + bytes + kGranule - 1) / kGranule;
  Run *run = take_run(granules);
  if (run == nullptr) return nullptr;
  run->count = 1;
  run->carved = 1;
  run->large = static_cast<uint32_t>(bytes);
  run->first = reinterpret_cast<char *>(run) + kRunHeader;
  link_run(h, run);
  if (h.mapped) ++h.live;
  ASAN_UNPOISON_MEMORY_REGION(run->first, bytes);
  return run->first;
}

}  // namespace

Granules granules;
constinit Faults faults;
constinit Run no_run{};

void disarm(size_t k) {
  faults.left[k] = kUnarmed;
  faults.until[k] += kUnarmed;
}

void *heap_allocate_slow(Heap &h, size_t bytes) {
  const size_t k = class_index(std::max(bytes, h.link_offset + sizeof(char *)));
  if (k >= kClasses) return allocate_large(h, bytes);
  char *block = h.free[k];
  Run *run;
  size_t index;
  if (block != nullptr) {
    h.free[k] = load_link(h, block);
    run = run_at(block);
    index = run->index_of(block);
  } else {
    run = h.carving[k];
    if (run == nullptr || run->carved == run->count) {
      run = new_slab(h, k);
      if (run == nullptr) {
        if (!release_quarantine(h)) return nullptr;
        return heap_allocate_slow(h, bytes);
      }
      h.carving[k] = run;
    }
    index = run->carved++;
    block = run->first + index * run->block;
  }
  if (h.mapped) run->map()[index] = map_word(bytes);
  ASAN_UNPOISON_MEMORY_REGION(block, bytes);
  return block;
}

Freed heap_free_large(Heap &h, Run *run, char *block, size_t bytes) {
  // A large block's run is in the granule table exactly while it is live.
  if (block != run->first) return Freed::kNotLive;
  if (bytes != run->large) return Freed::kWrongSize;
  if (h.mapped) --h.live;
  unlink_run(h, run);
  give_run(run);
  return Freed::kDone;
}

Freed heap_free(Heap &h, void *pointer, uint32_t bytes) {
  const Freed freed = heap_free_slab(h, pointer, bytes);
  if (freed != Freed::kLarge) return freed;
  auto *block = static_cast<char *>(pointer);
  return heap_free_large(h, run_at(block), block, bytes);
}

uint32_t heap_size_of(const void *block) {
  const Run *run = run_at(block);
  if (run->block == 0) return run->large;
  return static_cast<uint32_t>(map_size(run->map()[run->index_of(static_cast<const char *>(block))]));
}

void heap_clear(Heap &h) {
  while (h.runs != nullptr) {
    Run *run = h.runs;
    h.runs = run->next;
    give_run(run);
  }
  h.free.fill(nullptr);
  h.carving.fill(nullptr);
  h.quarantine.fill(nullptr);
  h.recent = h.mapped ? &no_run : nullptr;
  h.live = 0;
}

namespace {

// Calls visit with every live block of h and its requested size; returns how
// many there are, the large ones counted in large too.
template <typename Visit>
size_t each_live(const Heap &h, const Visit &visit, size_t &large) {
  size_t seen = 0;
  for (const Run *run = h.runs; run != nullptr; run = run->next) {
    if (run->block == 0) {
      visit(run->first, run->large);
      ++seen;
      ++large;
      continue;
    }
    for (uint32_t i = 0; i < run->carved; ++i) {
      const char *block = run->first + size_t{i} * run->block;
      if (!h.mapped) {
        if (type_at(block) == kFreedType) continue;
        visit(block, reinterpret_cast<const HostObject *>(block)->reserved);
      } else if (run->map()[i] != 0) {
        visit(block, static_cast<uint32_t>(map_size(run->map()[i])));
      } else {
        continue;
      }
      ++seen;
    }
  }
  return seen;
}

}  // namespace

void heap_walk(const Heap &h, const std::function<void(const void *, uint32_t)> &visit) {
  size_t large = 0;
  each_live(h, visit, large);
  assert((!h.mapped || large == h.live) && "a mapped heap's count of large blocks disagrees with its runs");
}

size_t heap_live(const Heap &h) {
  size_t large = 0;
  return each_live(
      h, [](const void *, uint32_t) {}, large);
}

}  // namespace zel::rt::detail

namespace zel::rt {

uint64_t allocations(Alloc kind) {
  if (kind == Alloc::kOther) return 0;
  const auto k = static_cast<size_t>(kind);
  return detail::faults.until[k] - detail::faults.left[k];
}

void fail_allocation(Alloc kind, uint64_t n) {
  if (kind == Alloc::kOther) return;
  detail::Faults &f = detail::faults;
  const auto k = static_cast<size_t>(kind);
  const uint64_t made = f.until[k] - f.left[k];
  f.left[k] = n == 0 ? detail::kUnarmed : n;
  f.until[k] = made + f.left[k];
}

}  // namespace zel::rt
