// Memory zones and the arena under them: size classes, growth over many
// chunks, reuse, accounting, large blocks, a full arena and one that cannot be
// mapped where it should be.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "runtime/internal.h"
#include "runtime/runtime.h"
#include "test_support.h"

namespace rt = zel::rt;

#ifdef OBJKIT_COVERAGE
// Writes the coverage counts, which abort() would lose.
extern "C" void __gcov_dump(void);
#endif

namespace {

using zel::test::leak_report;
using zel::test::printed;

// Ends a death test's process on abort(), its coverage counts written first.
[[maybe_unused]] void exit_on_abort(int) {
#ifdef OBJKIT_COVERAGE
  __gcov_dump();
#endif
  _exit(134);
}

// A block freed as a size of another class is refused with a message, and
// ends a debug build (its counts written first).
void expect_wrong_size(void *zone, void *block, uint32_t size, const std::string &message) {
#ifdef NDEBUG
  EXPECT_EQ(zfree(zone, block, size), -1) << message;
#else
  EXPECT_DEATH(
      {
        signal(SIGABRT, exit_on_abort);
        zfree(zone, block, size);
      },
      message);
#endif
}

TEST(Zone, ManyBlocksKeepTheirBytesAndAreAllGivenBack) {
  void *zone = zcreate(6, 16384);
  const size_t live = rt::live_zone_blocks();
  const uint32_t sizes[] = {0, 1, 8, 20, 24, 100, 256, 257, 5000};
  std::vector<std::pair<unsigned char *, uint32_t>> blocks;
  for (int i = 0; i < 4000; ++i) {
    const uint32_t size = sizes[i % std::size(sizes)];
    auto *block = static_cast<unsigned char *>(zalloc(zone, size));
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(block) % 8, 0u);
    memset(block, i & 0xFF, size);
    blocks.emplace_back(block, size);
  }
  EXPECT_EQ(rt::live_zone_blocks(), live + blocks.size());
  for (size_t i = 0; i < blocks.size(); ++i) {
    auto [block, size] = blocks[i];
    for (uint32_t b = 0; b < size; ++b) ASSERT_EQ(block[b], i & 0xFF) << "block " << i << " was overwritten";
  }
  for (auto [block, size] : blocks) EXPECT_EQ(zfree(zone, block, size), 0);
  EXPECT_EQ(rt::live_zone_blocks(), live);
  zdelete(zone);
}

// What a zone did not hand out is refused, also in the slab it freed from
// last; so is a zone handle that is gone or null, everywhere, also when no
// zone was used last. A zone made with no chunk size gets the default one.
TEST(Zone, RefusesWhatItDidNotHandOutAndHandlesOfNoZone) {
  void *zone = zcreate(6, 16384);
  void *other = zcreate(6, 16384);
  void *block = zalloc(zone, 24);
  EXPECT_EQ(zfree(zone, zalloc(zone, 24), 24), 0);
  EXPECT_EQ(zfree(other, block, 24), -1);
  EXPECT_EQ(zfree(zone, &zone, 4), -1);
  EXPECT_EQ(zalloc(&zone, 4), nullptr);
  // Addresses below the arena, inside a block and past the part carved so far
  // are no block.
  const auto at = reinterpret_cast<uintptr_t>(block);
  EXPECT_EQ(zfree(zone, reinterpret_cast<void *>(uintptr_t{4096}), 24), -1);
  EXPECT_EQ(zfree(zone, reinterpret_cast<void *>(at + 8), 24), -1);
  EXPECT_EQ(zfree(zone, reinterpret_cast<void *>(at + (uintptr_t{64} << 20)), 24), -1);
  expect_wrong_size(zone, block, 32, "block 0x[0-9a-f]+ of 24 bytes freed as 32 bytes");
  EXPECT_EQ(zfree(zone, block, 17), 0);  // same class: accepted
  for (uint32_t size : {24u, UINT32_MAX}) EXPECT_EQ(zfree(zone, block, size), -1);
  zdelete(other);
  zdelete(zone);

  // The second allocation from the arming fails, and counts, whether the
  // zone is the fast one or not (recording takes the general path).
  zone = zcreate(6, 0);
  void *small = zalloc(zone, 8);
  const uint64_t made = rt::allocations(rt::Alloc::kZoneBlock);
  for (bool recorded : {false, true}) {
    rt::record(recorded);
    rt::fail_allocation(rt::Alloc::kZoneBlock, 2);
    EXPECT_NE(zalloc(zone, 200), nullptr);
    EXPECT_EQ(zalloc(zone, 8), nullptr);
  }
  EXPECT_EQ(rt::allocations(rt::Alloc::kZoneBlock), made + 4);
  EXPECT_EQ(zfree(zone, small, 8), 0);
  zdelete(zone);
  rt::record(false);
  EXPECT_EQ(rt::take_recording(),
            (std::vector<std::string>{"zalloc(200)", "zalloc(8)", "zfree(8)", "zdelete"}));
  for (void *handle : {zone, static_cast<void *>(nullptr)}) {
    EXPECT_EQ(zalloc(handle, 8), nullptr);
    EXPECT_EQ(zfree(handle, handle, 8), -1);
    zdelete(handle);
  }
  rt::fail_allocation(rt::Alloc::kOther, 1);
  EXPECT_EQ(rt::allocations(rt::Alloc::kOther), 0u);
  EXPECT_NO_THROW(rt::make_float(1.5));
}

// A freed block waits for exactly 64 further frees of its zone, of any class,
// before it is handed out again; then it is the first of its class, live.
TEST(Zone, FreedBlocksWaitForSixtyFourFrees) {
  for (uint32_t wanted : {24u, 8u}) {
    void *zone = zcreate(6, 16384);
    void *first = zalloc(zone, wanted);
    ASSERT_EQ(zfree(zone, first, wanted), 0);
    for (int i = 0; i < 64; ++i) {
      const uint32_t size = i % 2 == 0 ? 24 : 300;
      void *block = zalloc(zone, size);
      ASSERT_NE(block, first) << "reused after " << i << " frees";
      ASSERT_EQ(zfree(zone, block, size), 0);
    }
    EXPECT_EQ(zalloc(zone, wanted - 4), first);
    EXPECT_EQ(zfree(zone, first, wanted - 4), 0);
    zdelete(zone);
  }
}

// Requests are rounded up to a size class: steps of 8 bytes up to 128, then
// four classes per power of two. Consecutive blocks of a fresh zone lie one
// class size apart; the leak report still gives the size asked for, and the
// block may be freed as any size of its class.
TEST(Zone, RequestsRoundUpToTheirSizeClass) {
  const struct {
    uint32_t request, size_class;
  } table[] = {{0, 8},       {1, 8},       {8, 8},         {9, 16},       {127, 128}, {128, 128},
               {129, 160},   {160, 160},   {161, 192},     {200, 224},    {256, 256}, {257, 320},
               {1000, 1024}, {1025, 1280}, {20000, 20480}, {32768, 32768}};
  for (const auto &row : table) {
    void *zone = zcreate(6, 16384);
    auto *a = static_cast<char *>(zalloc(zone, row.request));
    auto *b = static_cast<char *>(zalloc(zone, row.request));
    EXPECT_EQ(b - a, static_cast<ptrdiff_t>(row.size_class)) << row.request << " bytes";
    const std::string line =
        printed("leak: %p zone block of %u bytes\n", static_cast<void *>(b), row.request);
    EXPECT_NE(leak_report().find(line), std::string::npos) << line;
    EXPECT_EQ(zfree(zone, a, row.size_class), 0) << row.request << " bytes";
    EXPECT_EQ(zfree(zone, b, row.request), 0) << row.request << " bytes";
    zdelete(zone);
  }
}

// A block beyond the largest class gets a run of its own, live until freed
// once and refused inside, twice or as any other size. Large blocks are
// listed with their sizes and go back from anywhere in their zone's runs; a
// freed run is cut for the next runs that fit in it.
TEST(Zone, LargeBlocksAreListedAndGoBackOnceInAnyOrder) {
  void *zone = zcreate(6, 16384);
  const size_t live = rt::live_zone_blocks();
  auto *first = static_cast<char *>(zalloc(zone, 40000));
  ASSERT_NE(first, nullptr);
  memset(first, 7, 40000);
  EXPECT_EQ(rt::live_zone_blocks(), live + 1);
  EXPECT_EQ(zfree(zone, first + 8, 40000), -1);
  void *small = zalloc(zone, 24);
  auto *second = static_cast<char *>(zalloc(zone, 5 << 20));
  void *third = zalloc(zone, 40000);
  const std::string report = leak_report();
  for (auto [block, size] : {std::pair{static_cast<void *>(first), 40000}, {second, 5 << 20}}) {
    EXPECT_NE(report.find(printed("leak: %p zone block of %d bytes\n", block, size)), std::string::npos)
        << report;
  }
  expect_wrong_size(zone, third, 40008, "block 0x[0-9a-f]+ of 40000 bytes freed as 40008 bytes");
  EXPECT_EQ(zfree(zone, second, 5 << 20), 0);
  auto *cut = static_cast<char *>(zalloc(zone, 2 << 20));
  auto *rest = static_cast<char *>(zalloc(zone, 2 << 20));
  EXPECT_EQ(cut, second);
  EXPECT_TRUE(rest > cut && rest < second + (5 << 20));
  for (void *block : {static_cast<void *>(cut), static_cast<void *>(first), static_cast<void *>(rest)})
    EXPECT_EQ(zfree(zone, block, static_cast<char *>(block) == first ? 40000 : 2 << 20), 0);
  EXPECT_EQ(zfree(zone, first, 40000), -1);
  EXPECT_EQ(zfree(zone, third, 40000), 0);
  EXPECT_EQ(zfree(zone, small, 24), 0);
  EXPECT_EQ(rt::live_zone_blocks(), live);
  EXPECT_EQ(leak_report().find("zone block"), std::string::npos);
  zdelete(zone);
}

// A full arena refuses blocks, then hands out a quarantined block early
// rather than none; everything freed, it serves again.
TEST(Arena, AFullArenaHandsOutQuarantinedBlocks) {
  void *zone = zcreate(6, 16384);
  std::vector<std::pair<void *, uint32_t>> blocks;
  EXPECT_EQ(zalloc(zone, 300u << 20), nullptr);
  for (uint32_t size : {8u << 20, 4000u}) {
    while (void *block = zalloc(zone, size)) blocks.emplace_back(block, size);
  }
  ASSERT_GT(blocks.size(), 2u);
  auto [last, size] = blocks.back();
  blocks.pop_back();
  ASSERT_EQ(zfree(zone, last, size), 0);
  EXPECT_EQ(zalloc(zone, size), last);
  EXPECT_EQ(zalloc(zone, size), nullptr);
  EXPECT_EQ(zfree(zone, last, size), 0);
  for (auto [block, bytes] : blocks) ASSERT_EQ(zfree(zone, block, bytes), 0);
  EXPECT_NE(zalloc(zone, 8u << 20), nullptr);
  zdelete(zone);
}

// With its address taken, the arena is mapped elsewhere and works there.
TEST(Arena, MapsElsewhereWhenItsAddressIsTaken) {
  // A forked child maps its own arena only when this process has none yet.
  if (zel::rt::detail::granules.base != 0) GTEST_SKIP() << "needs a process of its own";
  EXPECT_EXIT(
      {
        void *at = reinterpret_cast<void *>(0x50000000);
        if (mmap(at, 4096, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0) != at)
          _exit(0);
        void *zone = zcreate(6, 16384);
        const auto block = reinterpret_cast<uintptr_t>(zalloc(zone, 24));
        const bool elsewhere = block != 0 && (block < 0x50000000 || block >= 0x60000000);
        _exit(elsewhere && zfree(zone, reinterpret_cast<void *>(block), 24) == 0 ? 0 : 1);
      },
      testing::ExitedWithCode(0), "");
}

}  // namespace
