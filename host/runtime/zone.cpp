// Memory zones. zcreate(classes, chunk) makes a zone whose blocks of up to
// 32 KiB come from slabs of the arena of at least chunk bytes (16384 when not
// positive), each slab holding one size class; a larger block gets a run of
// the arena of its own. The number of classes is the arena's own (the first
// argument is not used).
// Each zone is a heap of the arena (see internal.h): intrusive free lists, a
// small quarantine before reuse, and a two-byte map word per block that
// tells zfree and the leak report whether a block is live
// and its size. zdelete gives every slab and block back.
#include <sanitizer/asan_interface.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <vector>

#include "runtime/internal.h"

namespace zel::rt {
namespace {

constexpr int32_t kDefaultChunk = 16384;
constexpr size_t kMaxChunk = size_t{16} << 20;

struct Zone {
  explicit Zone(size_t chunk) : heap(chunk, detail::kMappedQuarantine, true) {}
  detail::Heap heap;
};

// The zones made and not deleted.
struct Zones {
  std::vector<std::unique_ptr<Zone>> all;
};

// Made on first use and never destroyed: zones live until the process ends.
Zones *the_zones = nullptr;

Zones &zones() {
  if (the_zones == nullptr) the_zones = new Zones;
  return *the_zones;
}

// The zone of a handle, made the fast zone unless recording; null, with a
// message, when it is none.
[[gnu::noinline]] Zone *find_other_zone(void *handle, const char *operation) {
  for (const auto &zone : zones().all) {
    if (zone.get() != handle) continue;
    if (detail::recording()) {
      detail::forget_fast_zone();
    } else {
      detail::fast_zone = zone.get();
    }
    return zone.get();
  }
  fprintf(stderr, "zel: %s: %p is not a zone\n", operation, handle);
  return nullptr;
}

inline Zone *find_zone(void *handle, const char *operation) {
  if (handle == detail::fast_zone) [[likely]]
    return static_cast<Zone *>(handle);
  return find_other_zone(handle, operation);
}

[[gnu::noinline]] void *zalloc_general(void *handle, uint32_t size) {
  if (detail::recording()) detail::note_numbers("zalloc", {size});
  Zone *zone = find_zone(handle, "zalloc");
  if (zone == nullptr) return nullptr;
  return detail::heap_allocate(zone->heap, size, Alloc::kZoneBlock);
}

[[gnu::noinline]] int32_t zfree_general(void *handle, void *block, uint32_t size) {
  if (detail::recording()) detail::note_numbers("zfree", {size});
  Zone *zone = find_zone(handle, "zfree");
  if (zone == nullptr) return -1;
  const detail::Freed freed = detail::heap_free(zone->heap, block, size);
  if (freed == detail::Freed::kDone) return 0;
  if (freed == detail::Freed::kNotLive) {
    fprintf(stderr, "zel: zfree: %p is not a live block of zone %p\n", block, handle);
    return -1;
  }
  // The rest is kWrongSize (heap_free gives no kLarge).
  fprintf(stderr, "zel: zfree: block %p of %u bytes freed as %u bytes\n", block,
          static_cast<unsigned>(detail::heap_size_of(block)), static_cast<unsigned>(size));
#ifndef NDEBUG
  abort();
#else
  return -1;
#endif
}

}  // namespace

std::vector<std::pair<const void *, uint32_t>> detail::live_blocks() {
  std::vector<std::pair<const void *, uint32_t>> out;
  for (const auto &zone : zones().all) {
    heap_walk(zone->heap, [&out](const void *block, uint32_t size) { out.emplace_back(block, size); });
  }
  return out;
}

// The zones' maps count their live blocks (see Heap).
size_t live_zone_blocks() {
  return detail::live_blocks().size();
}

}  // namespace zel::rt

using zel::rt::zones;
using zel::rt::detail::note;
using zel::rt::detail::recording;

extern "C" {

void *zcreate(int32_t a, int32_t b) {
  if (recording()) zel::rt::detail::note_numbers("zcreate", {a, b});
  zel::rt::start();  // the arena begins with the runtime's own objects
  const size_t chunk = b > 0 ? static_cast<size_t>(b) : zel::rt::kDefaultChunk;
  auto &all = zones().all;
  all.push_back(std::make_unique<zel::rt::Zone>(std::min(chunk, zel::rt::kMaxChunk)));
  return all.back().get();
}

// zalloc and zfree try the fast zone in a path that calls nothing (so it
// saves no registers); anything else takes the general path, which notes the
// operation, finds the zone and explains a refusal.
void *zalloc(void *handle, uint32_t size) {
  if (handle == zel::rt::detail::fast_zone) [[likely]]
    return zel::rt::detail::heap_allocate(static_cast<zel::rt::Zone *>(handle)->heap, size,
                                          zel::rt::Alloc::kZoneBlock);
  return zel::rt::zalloc_general(handle, size);
}

int32_t zfree(void *handle, void *block, uint32_t size) {
  if (handle == zel::rt::detail::fast_zone) [[likely]] {
    // A refusal frees nothing, so the general path can check again.
    if (zel::rt::detail::heap_free_slab(static_cast<zel::rt::Zone *>(handle)->heap, block, size) ==
        zel::rt::detail::Freed::kDone)
      return 0;
  }
  return zel::rt::zfree_general(handle, block, size);
}

void zdelete(void *handle) {
  if (recording()) note("zdelete");
  zel::rt::Zone *zone = zel::rt::find_zone(handle, "zdelete");
  if (zone == nullptr) return;
  zel::rt::detail::heap_clear(zone->heap);
  zel::rt::detail::forget_fast_zone();  // find_zone may have just made it the fast zone
  std::erase_if(zones().all, [zone](const auto &each) { return each.get() == zone; });
}

}  // extern "C"
