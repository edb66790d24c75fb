// The module zone: every native record of the library is a block of one
// interpreter zone. The zone needs a block's size when freeing it, so each
// block of z_malloc carries the size of its whole zone allocation in a word
// in front of the caller's bytes; a record whose owner knows its size (a list
// item) goes without that word.
#include <cstring>

#include "objkit/exports.h"
#include "objkit/objkit.h"

namespace objkit {

namespace {

// The start of the zone allocation whose user area is `ptr`.
char *StartOf(void *ptr) {
  return static_cast<char *>(ptr) - kZoneHeader;
}

// The size word of the zone allocation starting at `start`.
uint32_t TotalOf(const char *start) {
  uint32_t total;
  std::memcpy(&total, start, sizeof total);
  return total;
}

// Writes the size word at `start` and returns the user area after it.
void *Stamp(char *start, uint32_t total) {
  std::memcpy(start, &total, sizeof total);
  return start + kZoneHeader;
}

// The size of the zone allocation that holds `size` user bytes; 0 when it
// does not fit 32 bits.
uint32_t TotalFor(uint32_t size) {
  return size > UINT32_MAX - kZoneHeader ? 0 : size + kZoneHeader;
}

}  // namespace

void CreateZone() {
  zone = zcreate(6, 16384);
}

}  // namespace objkit

extern "C" {

// `size` uninitialised bytes from the zone, or null when the zone has no room
// (or the size cannot be represented).
void *z_malloc(uint32_t size) {
  const uint32_t total = objkit::TotalFor(size);
  if (total == 0) return nullptr;
  void *start = zalloc(objkit::zone, total);
  if (start == nullptr) return nullptr;
  return objkit::Stamp(static_cast<char *>(start), total);
}

// Gives a block of z_malloc or z_realloc (never null) back to the zone and
// returns zfree's result.
int32_t z_free(void *ptr) {
  char *start = objkit::StartOf(ptr);
  return zfree(objkit::zone, start, objkit::TotalOf(start));
}

// A block of at least `size` bytes holding the old contents: `ptr` itself
// when it is big enough (blocks never shrink), else a new block, the old one
// freed. Null `ptr` is z_malloc(size). Null on failure, the old block intact.
void *z_realloc(void *ptr, uint32_t size) {
  if (ptr == nullptr) return z_malloc(size);
  char *old_start = objkit::StartOf(ptr);
  const uint32_t old_total = objkit::TotalOf(old_start);
  const uint32_t new_total = objkit::TotalFor(size);
  if (new_total == 0) return nullptr;
  if (old_total >= new_total) return ptr;
  void *start = zalloc(objkit::zone, new_total);
  if (start == nullptr) return nullptr;
  char *user = static_cast<char *>(start) + objkit::kZoneHeader;
  movb(ptr, user, old_total - objkit::kZoneHeader);
  zfree(objkit::zone, old_start, old_total);
  return objkit::Stamp(static_cast<char *>(start), new_total);
}

}  // extern "C"
