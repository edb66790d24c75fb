// The zone's size words and the calls it makes, and the attribute setvideo
// hands to the terminal.
#include "objkit/objkit.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "booted_test.h"
#include "lang/boot.h"
#include "objkit/exports.h"
#include "runtime/runtime.h"

namespace rt = zel::rt;

namespace {

class Objkit : public objkit_test::BootedTest {
 protected:
  void TearDown() override { rt::record(false); }
};

uint32_t SizeWord(const void *block) {
  uint32_t total;
  std::memcpy(&total, static_cast<const char *>(block) - objkit::kZoneHeader, sizeof total);
  return total;
}

std::string Call(const char *name, uint32_t user_bytes) {
  return std::string(name) + "(" + std::to_string(user_bytes + objkit::kZoneHeader) + ")";
}

TEST_F(Objkit, ZoneBlocksKeepTheirTotalAndOnlyGrow) {
  const size_t live = rt::live_zone_blocks();
  rt::record(true);
  void *empty = z_malloc(0);
  EXPECT_EQ(SizeWord(empty), objkit::kZoneHeader);
  auto *p = static_cast<char *>(z_malloc(16));
  std::memcpy(p, "0123456789abcdef", 16);
  EXPECT_EQ(z_realloc(p, 8), p);
  EXPECT_EQ(z_realloc(p, 16), p);
  EXPECT_EQ(SizeWord(p), 16 + objkit::kZoneHeader);
  auto *q = static_cast<char *>(z_realloc(p, 40));
  EXPECT_EQ(SizeWord(q), 40 + objkit::kZoneHeader);
  EXPECT_EQ(std::memcmp(q, "0123456789abcdef", 16), 0);
  EXPECT_EQ(z_realloc(q, 0xF0000000u), nullptr);
  EXPECT_EQ(z_realloc(q, UINT32_MAX), nullptr);  // too big for the size word: the zone is not asked
  EXPECT_EQ(SizeWord(q), 40 + objkit::kZoneHeader);
  EXPECT_EQ(z_malloc(UINT32_MAX), nullptr);
  void *r = z_realloc(nullptr, 3);
  z_free(empty);
  z_free(q);
  z_free(r);
  EXPECT_EQ(rt::take_recording(),
            (std::vector<std::string>{Call("zalloc", 0), Call("zalloc", 16), Call("zalloc", 40), "movb(16)",
                                      Call("zfree", 16), Call("zalloc", 0xF0000000u), Call("zalloc", 3),
                                      Call("zfree", 0), Call("zfree", 40), Call("zfree", 3)}));
  EXPECT_EQ(rt::live_zone_blocks(), live);
}

TEST_F(Objkit, SetVideoAddsToTheAttributeAndZeroResetsIt) {
  rt::record(true);
  EXPECT_EQ(
      zel::run("setvideo (0); setvideo (4); setvideo (1); setvideo (2.9); setvideo (-1); setvideo (0);"), "");
  std::vector<std::string> sent;
  for (const std::string &line : rt::take_recording()) {
    if (line.starts_with("trm_setvideo")) sent.push_back(line);
  }
  EXPECT_EQ(sent, (std::vector<std::string>{"trm_setvideo(0)", "trm_setvideo(4)", "trm_setvideo(5)",
                                            "trm_setvideo(7)", "trm_setvideo(6)", "trm_setvideo(0)"}));
}

}  // namespace
