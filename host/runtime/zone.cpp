// Memory zones. zcreate(classes, chunk) makes a zone with that many size
// classes of 8, 16, 32, ... bytes (8 << (classes - 1) the largest; 1 to 20
// classes) whose blocks are carved from chunks of chunk bytes taken from the
// arena (at least one largest block; 16384 when not positive). Each class has
// a free list; a freed block is poisoned and waits in a small quarantine
// before reuse. A block larger than the largest class comes from the arena on
// its own. zdelete gives every chunk and every such block back.
#include <sanitizer/asan_interface.h>

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <deque>
#include <memory>
#include <unordered_map>

#include "runtime/internal.h"

namespace zel::rt {
namespace {

constexpr int32_t kMaxClasses = 20;
constexpr int32_t kDefaultChunk = 16384;
constexpr size_t kMaxChunk = size_t{16} << 20;
constexpr size_t kQuarantineBlocks = 64;

struct Zone {
  int32_t classes = 0;
  size_t chunk_bytes = 0;
  std::vector<char *> chunks;
  char *top = nullptr;
  char *end = nullptr;
  std::vector<std::vector<char *>> free;
  std::deque<std::pair<char *, int32_t>> quarantine;  // block, class
};

struct Block {
  Zone *zone;
  uint32_t size;
};

struct Zones {
  std::unordered_map<const void *, std::unique_ptr<Zone>> zones;
  std::unordered_map<const void *, Block> live;
};

Zones &zones() {
  static Zones &z = *new Zones;
  return z;
}

size_t class_bytes(int32_t k) {
  return size_t{8} << k;
}

// The class of a block of size bytes; -1 when it is larger than the largest.
int32_t class_of_size(const Zone &zone, uint32_t size) {
  const int32_t k = size <= 8 ? 0 : static_cast<int32_t>(std::bit_width(size - 1u)) - 3;
  return k < zone.classes ? k : -1;
}

Zone *find_zone(void *handle, const char *operation) {
  auto it = zones().zones.find(handle);
  if (it != zones().zones.end()) return it->second.get();
  fprintf(stderr, "zel: %s: %p is not a zone\n", operation, handle);
  return nullptr;
}

char *carve(Zone &zone, int32_t k) {
  std::vector<char *> &list = zone.free[static_cast<size_t>(k)];
  if (list.empty() && !zone.quarantine.empty() && static_cast<size_t>(zone.end - zone.top) < class_bytes(k)) {
    for (auto [block, c] : zone.quarantine) zone.free[static_cast<size_t>(c)].push_back(block);
    zone.quarantine.clear();
  }
  if (!list.empty()) {
    char *block = list.back();
    list.pop_back();
    return block;
  }
  if (static_cast<size_t>(zone.end - zone.top) < class_bytes(k)) {
    auto *chunk = static_cast<char *>(detail::arena_allocate(zone.chunk_bytes));
    if (chunk == nullptr) return nullptr;
    ASAN_POISON_MEMORY_REGION(chunk, zone.chunk_bytes);
    zone.chunks.push_back(chunk);
    zone.top = chunk;
    zone.end = chunk + zone.chunk_bytes;
  }
  char *block = zone.top;
  zone.top += class_bytes(k);
  return block;
}

}  // namespace

size_t live_zone_blocks() {
  return zones().live.size();
}

std::vector<std::pair<const void *, uint32_t>> detail::live_blocks() {
  std::vector<std::pair<const void *, uint32_t>> out;
  for (const auto &[block, info] : zones().live) out.emplace_back(block, info.size);
  return out;
}

}  // namespace zel::rt

using zel::rt::zones;
using zel::rt::detail::note;
using zel::rt::detail::recording;

extern "C" {

void *zcreate(int32_t a, int32_t b) {
  if (recording()) note("zcreate(" + std::to_string(a) + ", " + std::to_string(b) + ")");
  zel::rt::start();  // the arena begins with the runtime's own objects
  auto zone = std::make_unique<zel::rt::Zone>();
  zone->classes = std::clamp(a, int32_t{1}, zel::rt::kMaxClasses);
  const size_t largest = zel::rt::class_bytes(zone->classes - 1);
  const size_t chunk = b > 0 ? static_cast<size_t>(b) : zel::rt::kDefaultChunk;
  zone->chunk_bytes = std::min(std::max(chunk, largest), std::max(largest, zel::rt::kMaxChunk));
  zone->free.resize(static_cast<size_t>(zone->classes));
  void *handle = zone.get();
  zones().zones.emplace(handle, std::move(zone));
  return handle;
}

void *zalloc(void *handle, uint32_t size) {
  if (recording()) note("zalloc(" + std::to_string(size) + ")");
  zel::rt::Zone *zone = zel::rt::find_zone(handle, "zalloc");
  if (zone == nullptr) return nullptr;
  const int32_t k = zel::rt::class_of_size(*zone, size);
  char *block;
  if (k < 0) {
    block = static_cast<char *>(zel::rt::detail::arena_allocate(size));
  } else {
    block = zel::rt::carve(*zone, k);
    if (block != nullptr) ASAN_UNPOISON_MEMORY_REGION(block, size);
  }
  if (block != nullptr) zones().live[block] = {zone, size};
  return block;
}

int32_t zfree(void *handle, void *block, uint32_t size) {
  if (recording()) note("zfree(" + std::to_string(size) + ")");
  zel::rt::Zone *zone = zel::rt::find_zone(handle, "zfree");
  if (zone == nullptr) return -1;
  auto it = zones().live.find(block);
  if (it == zones().live.end() || it->second.zone != zone) {
    fprintf(stderr, "zel: zfree: %p is not a live block of zone %p\n", block, handle);
    return -1;
  }
  const uint32_t recorded = it->second.size;
  const int32_t k = zel::rt::class_of_size(*zone, recorded);
  if (zel::rt::class_of_size(*zone, size) != k || (k < 0 && size != recorded)) {
    fprintf(stderr, "zel: zfree: block %p of %u bytes freed as %u bytes\n", block,
            static_cast<unsigned>(recorded), static_cast<unsigned>(size));
#ifndef NDEBUG
    abort();
#endif
  }
  zones().live.erase(it);
  if (k < 0) {
    zel::rt::detail::arena_release(block, recorded);
    return 0;
  }
  ASAN_POISON_MEMORY_REGION(block, zel::rt::class_bytes(k));
  zone->quarantine.emplace_back(static_cast<char *>(block), k);
  if (zone->quarantine.size() > zel::rt::kQuarantineBlocks) {
    auto [oldest, c] = zone->quarantine.front();
    zone->quarantine.pop_front();
    zone->free[static_cast<size_t>(c)].push_back(oldest);
  }
  return 0;
}

void zdelete(void *handle) {
  if (recording()) note("zdelete");
  zel::rt::Zone *zone = zel::rt::find_zone(handle, "zdelete");
  if (zone == nullptr) return;
  auto &live = zones().live;
  for (auto it = live.begin(); it != live.end();) {
    if (it->second.zone != zone) {
      ++it;
      continue;
    }
    if (zel::rt::class_of_size(*zone, it->second.size) < 0) {
      zel::rt::detail::arena_release(const_cast<void *>(it->first), it->second.size);
    }
    it = live.erase(it);
  }
  for (char *chunk : zone->chunks) zel::rt::detail::arena_release(chunk, zone->chunk_bytes);
  zones().zones.erase(handle);
}

}  // extern "C"
