// Memory zones: size classes, growth over many chunks, reuse and accounting.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "runtime/runtime.h"
#include "test_support.h"

namespace rt = zel::rt;

namespace {

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
  std::set<unsigned char *> freed;
  for (auto [block, size] : blocks) {
    EXPECT_EQ(zfree(zone, block, size), 0);
    if (size == 20 || size == 24) freed.insert(block);
  }
  EXPECT_EQ(rt::live_zone_blocks(), live);

  // Freed blocks of a class come back, after the quarantine, for any size of it.
  int reused = 0;
  for (int i = 0; i < 200; ++i) reused += freed.count(static_cast<unsigned char *>(zalloc(zone, 17))) ? 1 : 0;
  EXPECT_GT(reused, 100);
  zdelete(zone);
  EXPECT_EQ(rt::live_zone_blocks(), live);
}

TEST(Zone, RefusesWhatItDidNotHandOut) {
  void *zone = zcreate(6, 16384);
  void *other = zcreate(6, 16384);
  void *block = zalloc(zone, 24);
  int local = 0;
  EXPECT_EQ(zfree(other, block, 24), -1);
  EXPECT_EQ(zfree(zone, &local, 4), -1);
  EXPECT_EQ(zalloc(&local, 4), nullptr);
  // Addresses below the arena and past the part carved so far are no block.
  const auto at = reinterpret_cast<uintptr_t>(block);
  EXPECT_EQ(zfree(zone, reinterpret_cast<void *>(uintptr_t{4096}), 24), -1);
  EXPECT_EQ(zfree(zone, reinterpret_cast<void *>(at + (uintptr_t{64} << 20)), 24), -1);
#ifndef NDEBUG
  EXPECT_DEATH(zfree(zone, block, 100), "block 0x[0-9a-f]+ of 24 bytes freed as 100 bytes");
#endif
  EXPECT_EQ(zfree(zone, block, 17), 0);  // same class: accepted
  EXPECT_EQ(zfree(zone, block, 24), -1);
  zdelete(other);
  zdelete(zone);
}

// A freed block waits for exactly 64 further frees of its zone, of any class,
// before it is handed out again; then it is the first block of its class.
TEST(Zone, FreedBlocksWaitForSixtyFourFrees) {
  void *zone = zcreate(6, 16384);
  void *first = zalloc(zone, 24);
  ASSERT_EQ(zfree(zone, first, 24), 0);
  for (int i = 0; i < 64; ++i) {
    const uint32_t size = i % 2 == 0 ? 24 : 300;
    void *block = zalloc(zone, size);
    ASSERT_NE(block, first) << "reused after " << i << " frees";
    ASSERT_EQ(zfree(zone, block, size), 0);
  }
  EXPECT_EQ(zalloc(zone, 20), first);
  zdelete(zone);
}

// A block beyond the largest class gets a run of its own, which goes back
// whole: freed once, and refused inside or the second time.
TEST(Zone, LargeBlocksAreLiveUntilFreedOnce) {
  void *zone = zcreate(6, 16384);
  const size_t live = rt::live_zone_blocks();
  auto *big = static_cast<unsigned char *>(zalloc(zone, 40000));
  ASSERT_NE(big, nullptr);
  memset(big, 7, 40000);
  EXPECT_EQ(rt::live_zone_blocks(), live + 1);
  EXPECT_EQ(zfree(zone, big + 8, 40000), -1);
  EXPECT_EQ(zfree(zone, big, 40000), 0);
  EXPECT_EQ(zfree(zone, big, 40000), -1);
  EXPECT_EQ(rt::live_zone_blocks(), live);
  zdelete(zone);
  EXPECT_EQ(rt::live_zone_blocks(), live);
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
    FILE *out = tmpfile();
    ASSERT_NE(out, nullptr);
    rt::report_leaks(out);
    std::string report(static_cast<size_t>(ftell(out)), '\0');
    rewind(out);
    report.resize(fread(report.data(), 1, report.size(), out));
    fclose(out);
    char line[96];
    snprintf(line, sizeof line, "leak: %p zone block of %u bytes\n", static_cast<void *>(b), row.request);
    EXPECT_NE(report.find(line), std::string::npos) << report;
    EXPECT_EQ(zfree(zone, a, row.size_class), 0) << row.request << " bytes";
    EXPECT_EQ(zfree(zone, b, row.request), 0) << row.request << " bytes";
    zdelete(zone);
  }
}

}  // namespace
