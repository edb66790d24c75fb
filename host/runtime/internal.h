// Pieces the runtime's translation units share and nobody else uses.
#pragma once

#include <sanitizer/asan_interface.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "host/host.h"
#include "runtime/runtime.h"

namespace zel::rt::detail {

// The arena at 0x50000000 is shared by heaps: the objects' heaps and one per
// zone. A heap hands out 8-aligned blocks of size classes (8-byte steps up to
// 128 bytes, then four classes per power of two up to kLargestClass; larger
// blocks get a run of their own), knows every live block and its requested
// size, and counts them.
inline constexpr size_t kLargestClass = 32768;
inline constexpr size_t kClasses = 49;  // class indexes 0 to 48
inline constexpr size_t kQuarantineCapacity = 256;
// The quarantine of every mapped heap (a zone's): a freed block waits for 64
// more frees before it is reused, so that a stale use is caught meanwhile and
// printed addresses stay distinct. A constant, so that a free wraps the ring
// without loading its mask.
inline constexpr size_t kMappedQuarantine = 64;

struct Heap;

// Where a free block keeps its link word: a mapped heap's in its first bytes,
// an object heap's past the header, which stays readable.
inline constexpr size_t kMappedLink = 0;
inline constexpr size_t kObjectLink = sizeof(HostObject);

#if UINTPTR_MAX > 0xFFFFFFFFu
__extension__ typedef unsigned __int128 Wide;
#endif

// A run of arena granules: a slab of one class (block != 0) or one large
// block (block == 0, its size in large). Header of the run's first granule;
// a slab's map of one 16-bit word per block (0 when not live, else map_word
// of the requested size) follows the header at the fixed offset kRunHeader,
// so that a map word's address is one addressing mode away from its run.
struct Run {
  Heap *owner;
  Run *prev;  // the owner's runs
  Run *next;
  char *first;       // the first block
  uint64_t divisor;  // 2^64 / block rounded up, for the block index on 64-bit
  uint32_t granules;
  uint32_t cls;
  uint32_t block;   // class size in bytes
  uint32_t count;   // blocks in the slab
  uint32_t carved;  // blocks handed out at least once (from the start)
  uint32_t large;   // the size of a large block
  uint32_t low;     // the smallest request of the class in a mapped heap

  // The slab's map (see above).
  uint16_t *map() const;

  // The index of the block at p (p inside the slab's blocks).
  size_t index_of(const char *p) const {
    const uint64_t offset = reinterpret_cast<uintptr_t>(p) - reinterpret_cast<uintptr_t>(first);
#if UINTPTR_MAX > 0xFFFFFFFFu
    return static_cast<size_t>((static_cast<Wide>(divisor) * offset) >> 64);
#else
    return static_cast<size_t>(offset / block);
#endif
  }

  // True, with its index, when p is where a block this slab has carved
  // starts; false for any other address of the run and for a large block's
  // run. On 64-bit the multiply that gives the index also tells whether p
  // starts a block: the low half of divisor * offset is below divisor exactly
  // when block divides the offset (offsets inside the arena are below 2^32).
  // An address below first wraps to an index past carved, and a large
  // block's run has divisor 0, below which nothing is.
  bool carved_block(const char *p, size_t &index) const {
    const uint64_t offset = reinterpret_cast<uintptr_t>(p) - reinterpret_cast<uintptr_t>(first);
#if UINTPTR_MAX > 0xFFFFFFFFu
    const Wide product = static_cast<Wide>(divisor) * offset;
    index = static_cast<size_t>(product >> 64);
    return static_cast<uint64_t>(product) < divisor && index < carved;
#else
    if (block == 0 || p < first) return false;
    index = static_cast<size_t>(offset / block);
    return offset % block == 0 && index < carved;
#endif
  }

  // Whether a request of bytes falls in the slab's class: one unsigned
  // comparison against the class's bounds, low and block.
  bool fits(uint32_t bytes) const {
    return bytes - low <= block - low;
  }
};

// The bytes of a run's header, before a slab's map: Run rounded up to the
// map's alignment. Where a slab's blocks start, and so every address a script
// prints, follows from it.
inline constexpr size_t kMapAlign = 16;
inline constexpr size_t kRunHeader = (sizeof(Run) + kMapAlign - 1) & ~(kMapAlign - 1);
static_assert(kRunHeader == (sizeof(void *) == 8 ? 80 : 64));

inline uint16_t *Run::map() const {
  return reinterpret_cast<uint16_t *>(reinterpret_cast<uintptr_t>(this) + kRunHeader);
}

// The map word of a live block of a request of bytes (up to kLargestClass),
// and the requested size back from a map word. The word of a block that is
// not live, 0, gives a size past every uint32_t, so that comparing a size
// with map_size also says whether the block is live.
constexpr uint16_t map_word(size_t bytes) {
  return static_cast<uint16_t>(bytes + 1);
}
constexpr uint64_t map_size(uint16_t word) {
  return uint64_t{word} - 1;
}
// Whether word is that of a live block of a request of bytes: map_size(word)
// == bytes, compared without the subtraction.
constexpr bool map_holds(uint16_t word, uint32_t bytes) {
  return word == uint64_t{bytes} + 1;
}

// The quarantine mask of a heap made for quarantine_blocks (Heap's contract).
constexpr size_t quarantine_mask_of(size_t quarantine_blocks) {
  return std::bit_floor(std::clamp<size_t>(quarantine_blocks, 1, kQuarantineCapacity)) - 1;
}

// What the granule table holds for a granule of the part taken that no run
// covers, and a heap's recent slab before it has one: a run no heap owns,
// of no block (divisor and block 0), so that no address is a block of it.
[[gnu::visibility("hidden")]] extern Run no_run;

// Invariants: a block is live exactly when its map word is not 0 (a mapped
// heap) or when its header's type is not kFreedType (an object heap); a free
// block is on exactly one of the free lists or in the quarantine, and one of
// a mapped heap's class from kNotedClass up holds its map word's address
// (see kNoteOffset); live is the number of a mapped heap's live large blocks
// (its maps count the rest; an object heap counts none: its blocks' headers
// tell them); a mapped heap's recent is no_run or one of its slabs.
struct Heap {
  // slab: the smallest slab in bytes; quarantine_blocks: freed blocks waiting
  // before reuse (a power of two from 1 to kQuarantineCapacity, else the power
  // of two below it); mapped: whether the map words say which blocks are live
  // and their sizes (zones), or the blocks' object headers do (objects).
  constexpr Heap(size_t slab, size_t quarantine_blocks, bool mapped)
      : link_offset(mapped ? kMappedLink : kObjectLink),
        slab_bytes(slab),
        quarantine_mask(quarantine_mask_of(quarantine_blocks)),
        mapped(mapped),
        recent(mapped ? &no_run : nullptr) {}

  const size_t link_offset;  // kMappedLink or kObjectLink
  const size_t slab_bytes;
  const size_t quarantine_mask;  // the quarantine's size less 1
  const bool mapped;
  std::array<char *, kClasses> free{};
  std::array<Run *, kClasses> carving{};  // the slab of each class still being carved
  Run *runs = nullptr;
  // The slab of the block a mapped heap freed last, where a free looks first
  // (null in an object heap, whose frees need no run, so that its constant
  // initialisation needs no relocation).
  Run *recent;
  size_t live = 0;  // a mapped heap's large blocks
  // The quarantine: a ring of quarantine_mask + 1 slots, null when empty. The
  // slot at quarantine_next holds the oldest block, and the next freed block
  // takes its place.
  std::array<char *, kQuarantineCapacity> quarantine{};
  std::array<uint8_t, kQuarantineCapacity> quarantine_class{};
  size_t quarantine_next = 0;
};

// The header type of an object block that is not live.
inline constexpr uint8_t kFreedType = 0;

// The class index of a request.
constexpr size_t class_index(size_t bytes) {
  if (bytes <= 128) return (bytes + 7) >> 3;
  const unsigned s = static_cast<unsigned>(std::bit_width(bytes - 1)) - 3;
  const size_t q = (bytes - 1) >> s;
  return 17 + 4 * (s - 5) + (q - 4);
}

// The class size of index k.
constexpr size_t class_size(size_t k) {
  if (k <= 16) return k * 8;
  const size_t s = (k - 17) / 4 + 5;
  return ((k - 17) % 4 + 5) << s;
}

// The arena's granules: the arena starts at base, [base, base + span) is the
// part runs have been taken from, and, per granule of that part, the run
// covering it or, when none does, a run no heap owns (the table covers the
// whole arena; past span it is null).
inline constexpr unsigned kGranuleShift = 14;
struct Granules {
  uintptr_t base = 0;
  uintptr_t span = 0;
  Run *const *runs = nullptr;
};
extern Granules granules;

// The run of h holding an address; null when no run of h holds it. One
// comparison for both ends of the part taken (below base the offset wraps
// past span), and one of the owner, as a granule no run covers has a run of
// no heap's.
inline Run *run_of(const Heap &h, const void *address) {
  const uintptr_t offset = reinterpret_cast<uintptr_t>(address) - granules.base;
  if (offset >= granules.span) return nullptr;
  Run *run = granules.runs[offset >> kGranuleShift];
  return run->owner == &h ? run : nullptr;
}

// The run holding an address of the carved part of the arena.
inline Run *run_at(const void *address) {
  return granules.runs[(reinterpret_cast<uintptr_t>(address) - granules.base) >> kGranuleShift];
}

// The allocations of each kind, counted down: left is how many more are made
// before one fails (kUnarmed when none is armed to), and the allocations so
// far are until - left. An allocation costs one decrement and a test of 0.
inline constexpr uint64_t kUnarmed = uint64_t{1} << 62;
struct Faults {
  std::array<uint64_t, kAllocKinds> left;
  std::array<uint64_t, kAllocKinds> until;
  constexpr Faults() {
    left.fill(kUnarmed);
    until.fill(kUnarmed);
  }
};
extern Faults faults;

// Disarms the allocations of kind index k when the one armed to fail has come.
[[gnu::cold]] void disarm(size_t k);

// Counts an allocation of kind; true when it is the one armed to fail.
inline bool injected(Alloc kind) {
  if (kind == Alloc::kOther) return false;
  const auto k = static_cast<size_t>(kind);
  if (--faults.left[k] != 0) [[likely]]
    return false;
  disarm(k);
  return true;
}

// heap_allocate and the object makers when the class's free list is empty (or
// the block is large); bytes fits 32 bits (the callers' sizes do).
void *heap_allocate_slow(Heap &h, size_t bytes);

// Takes the first block of class k's free list (not empty), its link word
// read through its poison at link, the heap's link offset (a constant for
// the callers).
inline char *pop_free(Heap &h, size_t k, size_t link_offset) {
  assert(link_offset == h.link_offset);
  char *block = h.free[k];
  char *link;
  ASAN_UNPOISON_MEMORY_REGION(block + link_offset, sizeof link);
  std::memcpy(&link, block + link_offset, sizeof link);
  h.free[k] = link;
  return block;
}

// A free block of a mapped heap of a class that has room past its link word
// (kNotedClass and up) keeps there the address of its map word, which
// heap_free_slab notes, so that an allocation from a free list marks the
// block live without finding its run.
inline constexpr size_t kNoteOffset = kMappedLink + sizeof(char *);
inline constexpr size_t kNotedClass = class_index(kNoteOffset + sizeof(uint16_t *));

// The map word a free block of a mapped heap noted (see kNoteOffset), read
// through its poison.
inline uint16_t *noted_word(char *block) {
  uint16_t *word;
  ASAN_UNPOISON_MEMORY_REGION(block + kNoteOffset, sizeof word);
  std::memcpy(&word, block + kNoteOffset, sizeof word);
  return word;
}

// A block of a mapped heap of at least bytes bytes, readable for exactly bytes
// bytes, or null when the arena is full or the allocation is one armed to
// fail (kind). The common case, a block of a free list of a noted class, is
// inline.
// A request of 0 bytes has class 0, whose free list stays empty (the smallest
// class of a heap holds its link word), so that the slow path serves it.
[[gnu::always_inline]] inline void *heap_allocate(Heap &h, size_t bytes, Alloc kind) {
  if (injected(kind)) return nullptr;
  const size_t k = class_index(bytes);
  if (bytes > kLargestClass) [[unlikely]]
    return heap_allocate_slow(h, bytes);
  // Tested after the free list, so that a block carved from a slab, which
  // has no note, pays nothing for it.
  if (h.free[k] == nullptr || k < kNotedClass) return heap_allocate_slow(h, bytes);
  char *block = pop_free(h, k, kMappedLink);
  assert(noted_word(block) == &run_at(block)->map()[run_at(block)->index_of(block)] &&
         "a free block notes its own map word");
  *noted_word(block) = map_word(bytes);
  ASAN_POISON_MEMORY_REGION(block, kNoteOffset + sizeof(uint16_t *));
  ASAN_UNPOISON_MEMORY_REGION(block, bytes);
  return block;
}

// Gives a block back. kDone: freed; kNotLive: block is not a live block of h
// (nothing changes); kWrongSize: bytes is not of the block's class (nothing
// changes); kLarge (heap_free_slab only): block is in the run of a large
// block of h, which heap_free_large checks and frees.
enum class Freed { kDone, kNotLive, kWrongSize, kLarge };
Freed heap_free_large(Heap &h, Run *run, char *block, size_t bytes);
// The requested size of a live block of a mapped heap.
uint32_t heap_size_of(const void *block);

// Writes the link word of a free block at link_offset, through its poison.
inline void store_link(size_t link_offset, char *block, char *link) {
  ASAN_UNPOISON_MEMORY_REGION(block + link_offset, sizeof link);
  std::memcpy(block + link_offset, &link, sizeof link);
  ASAN_POISON_MEMORY_REGION(block + link_offset, sizeof link);
}

// Puts a freed block of class k (already poisoned and not live) in the
// quarantine of h, a mapped heap when kMapped, else an object heap; the oldest
// block there, when the ring is full, goes to its free list, linked at the
// heap's link offset. mask is the heap's quarantine mask: the link offset and
// the mask are constants for the callers (a mapped heap's ring has
// kMappedQuarantine slots, an object heap's mask is known from the heap).
template <bool kMapped>
inline void quarantine(Heap &h, char *block, size_t k, size_t mask) {
  constexpr size_t link_offset = kMapped ? kMappedLink : kObjectLink;
  assert(kMapped == h.mapped && mask == h.quarantine_mask);
  const size_t at = h.quarantine_next;
  if (char *oldest = h.quarantine[at]) {
    const size_t c = h.quarantine_class[at];
    store_link(link_offset, oldest, h.free[c]);
    h.free[c] = oldest;
  }
  h.quarantine[at] = block;
  h.quarantine_class[at] = static_cast<uint8_t>(k);
  h.quarantine_next = (at + 1) & mask;
}

// The largest request whose free looks first in its heap's recent slab: a
// slab (16 KiB at least) of its class holds over 120 blocks, so that blocks
// freed in turn, such as the quarantine's in rotation, mostly share one.
// Larger blocks, a few to a slab, would switch slabs too often to gain.
inline constexpr uint32_t kRecentLargest = 128;

// Frees a block of a slab of a mapped heap after checking that it is a live
// block of h of bytes' class: the run, the recent slab when the request is
// up to kRecentLargest and the block one of the slab's, else the one the
// granule table gives, which becomes the recent slab for such a request;
// the block's index and map word from the slab, and the class from the
// slab's bounds. A block freed with its requested size, the common case,
// passes both tests in one comparison of its map word. It calls nothing, so
// that a caller's fast path saves no registers.
[[gnu::always_inline]] inline Freed heap_free_slab(Heap &h, void *pointer, uint32_t bytes) {
  auto *block = static_cast<char *>(pointer);
  Run *run = h.recent;
  size_t index;
  const bool small = bytes <= kRecentLargest;
  if (!small || !run->carved_block(block, index)) [[unlikely]] {
    run = run_of(h, block);
    if (run == nullptr) return Freed::kNotLive;
    if (!run->carved_block(block, index)) return run->block == 0 ? Freed::kLarge : Freed::kNotLive;
    if (small) h.recent = run;
  }
  uint16_t &word = run->map()[index];
  if (!map_holds(word, bytes)) [[unlikely]] {
    if (word == 0) return Freed::kNotLive;
    if (!run->fits(bytes)) return Freed::kWrongSize;
  }
  word = 0;
  const size_t k = run->cls;
  if (k >= kNotedClass) {  // the note heap_allocate reads
    uint16_t *noted = &word;
    ASAN_UNPOISON_MEMORY_REGION(block + kNoteOffset, sizeof noted);
    std::memcpy(block + kNoteOffset, &noted, sizeof noted);
  }
  ASAN_POISON_MEMORY_REGION(block, run->block);
  quarantine<true>(h, block, k, kMappedQuarantine - 1);
  return Freed::kDone;
}

// Frees any block of a mapped heap (heap_free_slab's contract, large blocks
// included; never kLarge).
Freed heap_free(Heap &h, void *pointer, uint32_t bytes);

// Frees a live block of an object heap of bytes bytes (as allocated) whose
// header the caller has already marked kFreedType; mask is the heap's
// quarantine mask. Cannot fail.
inline void object_free(Heap &h, void *pointer, size_t bytes, size_t mask) {
  auto *block = static_cast<char *>(pointer);
  assert(static_cast<HostObject *>(pointer)->type == kFreedType && "a freed object must be marked free");
  if (bytes > kLargestClass) {
    heap_free_large(h, run_at(block), block, bytes);
    return;
  }
  const size_t k = class_index(bytes);
  ASAN_POISON_MEMORY_REGION(block, bytes);
  quarantine<false>(h, block, k, mask);
}

// Gives every run of h back to the arena; h is then empty.
void heap_clear(Heap &h);
// Calls visit with every live block of h and its requested size.
void heap_walk(const Heap &h, const std::function<void(const void *, uint32_t)> &visit);
// The number of live blocks of h (an object heap keeps no count of them).
[[gnu::visibility("hidden")]] size_t heap_live(const Heap &h);

// A fresh object of the given type with payload bytes zeroed, count 1 and
// counted as live; null when the arena is full. A permanent object (count
// -30000) is not counted.
// kind says which allocations of a library it counts as (Alloc::kOther for
// the runtime's own).
HostObject *new_object(uint8_t type, size_t payload_bytes, Alloc kind = Alloc::kOther);
HostObject *new_permanent(uint8_t type, size_t payload_bytes, Alloc kind = Alloc::kOther);
// A fresh class value (count 1) for a class that can be freed: counted by
// reference like any object, but kept out of the live objects' accounting (its
// block comes from the permanent heap), as the class table holds every class
// that is defined until the process ends. Null when the arena is full.
HostObject *new_class_object(size_t payload_bytes);
// A fresh array or script object of count slots, all nil, whose word at byte 8
// holds head and a reference to it; null when the arena is full.
HostObject *new_slotted(uint8_t type, HostValue head, size_t count, Alloc kind = Alloc::kOther);
// Fresh strings and floats (null when the arena is full).
HostObject *new_string(std::string_view text, Alloc kind = Alloc::kOther);
HostObject *new_float(double v, Alloc kind = Alloc::kOther);
// The interned name of a text; null when it is new and cannot be made.
HostObject *intern_name(std::string_view text, Alloc kind);
// Throws ScriptError("out of memory"); out of line, so that the makers that
// may throw it build no error on their own paths.
[[noreturn, gnu::cold]] void out_of_memory();
// The value of an object one of the makers above just made for the runtime's
// own use; throws ScriptError("out of memory") when it made none (null).
inline HostValue made_value(HostObject *o) {
  if (o == nullptr) [[unlikely]]
    out_of_memory();
  return host::value_of(o);
}
// The release of an object whose count is 0 (no recording).
void release(HostValue v) noexcept;
// release past its checks, for a live object whose count has just dropped to
// 0 (a drop already made them).
void release_unheld(HostObject *o) noexcept;

// The hooks of the types registered with register_obj_type, by type code:
// static tables of a word each, so that a release (clear_hooks) or an
// assignment (type_hooks, the replace hooks) reads a type's hook in one load
// indexed by the type code alone. A registered type's replace hook is never
// null (one that does nothing stands for a type registered without one), so
// that type_hooks also says which types are registered; every other type's
// hooks are null.
extern std::array<ClearHook, 256> clear_hooks;
extern std::array<ReplaceHook, 256> type_hooks;
// Whether a type code was registered with register_obj_type.
inline bool registered(uint8_t type) {
  return type_hooks[type] != nullptr;
}
// The name a registered type was given ("" for any other type).
const std::string &type_name(uint8_t type);
// How a type is named in messages: "a float", "nil", "a RefObjHandle", ...
std::string type_phrase(uint8_t type);

// The copy obj_vcopy makes (no recording); kind counts the float or string
// it makes.
HostValue vcopy(HostValue v, Alloc kind = Alloc::kOther);

// The zone handle zalloc and zfree serve without looking it up or recording:
// the zone found last while the recorder was off, else no_zone, an address
// that is no zone's (switching the recorder and deleting a zone reset it).
// Never null, so that one comparison tells a null handle from it too.
inline char no_zone;
inline void *fast_zone = &no_zone;
inline void forget_fast_zone() {
  fast_zone = &no_zone;
}

// The recorder: recording() says whether lines are wanted.
extern bool recorder_on;
inline bool recording() {
  return recorder_on;
}
void note(std::string line);
// Notes "operation(text)"; cold, as note_numbers.
[[gnu::cold]] void note_text(const char *operation, std::string_view text);
// Notes "operation(n1, n2, ...)", or the operation alone without numbers.
// Out of line and cold, so that the operations on hot paths build no text.
[[gnu::cold]] void note_numbers(const char *operation, std::initializer_list<long long> numbers);

// The zone blocks allocated and not freed: address and size.
std::vector<std::pair<const void *, uint32_t>> live_blocks();

// True when a built-in table has a class-level or instance section for the
// class of that name (without regard to case).
bool library_bound(std::string_view class_name);

// A global script procedure by lower-case name; null when there is none.
const void *global_procedure(const std::string &key);

// Moves the dispatch epoch on: lookups cached before are stale.
inline void next_epoch() noexcept {
  ++epoch;
}

// Makes the root class (called once by start()).
void make_root();

// Frees a class whose value is released: moves the dispatch epoch on, hands
// each of its procedures to the language's forget hook and drops its parent.
void release_class(Class *cls) noexcept;

// Lower-case copy of a name.
std::string lower(std::string_view text);

}  // namespace zel::rt::detail
