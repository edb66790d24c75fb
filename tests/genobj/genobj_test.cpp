// The class registry's lookups, genobj_dump on payloads scripts cannot make,
// the handle constructors, and the replace hook's release-once rule.
#include "genobj/genobj.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "lang/boot.h"
#include "runtime/runtime.h"

namespace rt = zel::rt;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

class Genobj : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    zel::boot();
    objkit_init_module();
  }
  void SetUp() override {
    objects_ = rt::live_objects();
    blocks_ = rt::live_zone_blocks();
  }
  void TearDown() override {
    EXPECT_EQ(rt::live_objects(), objects_);
    EXPECT_EQ(rt::live_zone_blocks(), blocks_);
  }

 private:
  size_t objects_ = 0;
  size_t blocks_ = 0;
};

HostObject *Object(const rt::Ref &ref) {
  return host::object_of(ref.get());
}
genobj::GenObjPayload *Payload(const rt::Ref &ref) {
  return host::payload<genobj::GenObjPayload>(ref.get());
}
rt::Ref NewList() {
  return rt::Ref::adopt(T_DblLnk_create(nil_obj()));
}

std::string Format(const char *format, const void *a, const void *b = nullptr) {
  char line[200];
  std::snprintf(line, sizeof line, format, a, b);
  return line;
}

TEST_F(Genobj, LoadSymbolSearchesTheClassThenItsParents) {
  EXPECT_EQ(genobj::LoadSymbol(0, "create"), nullptr);
  EXPECT_EQ(genobj::LoadSymbol(1, "dump"), reinterpret_cast<void *>(T_DblLnk_dump));
  EXPECT_EQ(genobj::LoadSymbol(0, "dump"), reinterpret_cast<void *>(T_C_Object_dump));
  EXPECT_EQ(genobj::LoadSymbol(1, "Dump"), nullptr);
  EXPECT_EQ(genobj::LoadSymbol(-1, "dump"), nullptr);
  EXPECT_EQ(genobj::LoadSymbol(2, "dump"), nullptr);
  CaptureStdout();
  EXPECT_EQ(zel::run("genobj_debug (8);"), "");
  genobj::LoadSymbol(1, "missing");
  EXPECT_EQ(zel::run("genobj_debug (7);"), "");
  genobj::LoadSymbol(1, "missing");
  EXPECT_EQ(zel::run("genobj_debug (0);"), "");
  EXPECT_EQ(GetCapturedStdout(),
            "FILE genobj, ROUTINE LoadSymbol (1, missing)\nFILE genobj, ROUTINE LoadSymbol (0, missing)\n"
            "FILE genobj, ROUTINE LoadSymbol (-1, missing)\n");
}

TEST_F(Genobj, DumpNamesKnownClassesAndReportsUnknownIndexes) {
  char *text = nullptr;
  size_t size = 0;
  FILE *stream = open_memstream(&text, &size);
  genobj::GenObjPayload base{0, nil_obj(), nullptr}, two{2, nil_obj(), nullptr},
      minus{-5, nil_obj(), nullptr};
  genobj_dump(nullptr, stream, 0);
  genobj_dump(&base, stream, 0);
  genobj_dump(&two, stream, 0);
  genobj_dump(&minus, stream, 0);
  std::fclose(stream);
  const void *nil = reinterpret_cast<const void *>(nil_obj());
  EXPECT_EQ(text,
            "genobj : <nil>\n" + Format("genobj : <%p>, class : <T_C_Object>\nob : <%p>\n", &base, nil) +
                "tail : <nil>\n" + Format("genobj : <%p>, class : <unknown : 2>\nob : <%p>\n", &two, nil) +
                Format("genobj : <%p>, class : <unknown : -5>\nob : <%p>\n", &minus, nil));
  std::free(text);
}

TEST_F(Genobj, ConstructorsMakeSharedHandlesOrReportNoMemory) {
  const rt::Ref handle = rt::Ref::adopt(genobj_handle(1)), key = rt::Ref::adopt(refobj_handle(nullptr));
  ASSERT_TRUE(host::has_type(handle.get(), genobj::kGenObjHandle));
  EXPECT_EQ(Object(handle)->flags & host::kSharedFlag, 1);
  EXPECT_EQ(Payload(handle)->class_index, 1);
  EXPECT_EQ(Payload(handle)->ob, nil_obj());
  EXPECT_EQ(Payload(handle)->data, nullptr);
  ASSERT_TRUE(host::has_type(key.get(), genobj::kRefObjHandle));
  EXPECT_EQ(Object(key)->flags & host::kSharedFlag, 1);
  CaptureStdout();
  rt::fail_next_gen_obj();
  EXPECT_TRUE(host::is_nil(genobj_handle(1)));
  rt::fail_next_gen_obj();
  EXPECT_TRUE(host::is_nil(refobj_handle(nullptr)));
  EXPECT_EQ(GetCapturedStdout(), "Fatal error : Out of memory\nFatal error : Out of memory\n");
}

TEST_F(Genobj, ReplacedRecordsAreReleasedOnceByTheLastHandle) {
  rt::Ref a = NewList(), b = NewList(), c = NewList(), fresh = rt::Ref::adopt(genobj_handle(1));
  const size_t live = rt::live_zone_blocks();  // three lists
  CaptureStdout();
  genobj::genobj_handle_rpl(Object(a), Object(b), 1);  // a's list goes; the share table comes
  EXPECT_EQ(rt::live_zone_blocks(), live);
  genobj::GenObjPayload kept = *Payload(c);
  genobj::genobj_handle_rpl(Object(c), Object(b), 0);  // c's list stays the caller's
  EXPECT_EQ(rt::live_zone_blocks(), live);
  T_DblLnk_deallocate(&kept);
  genobj::genobj_handle_rpl(Object(fresh), Object(b), 1);
  genobj::genobj_handle_rpl(Object(a), Object(b), 1);  // the same record: no count changes
  std::string four;
  for (int i = 0; i < 4; ++i) four += "Fatal error : You used = instead of == to assign an object\n";
  EXPECT_EQ(GetCapturedStdout(), four);
  EXPECT_EQ(Payload(a)->data, Payload(b)->data);
  EXPECT_EQ(Payload(fresh)->data, Payload(b)->data);
  a = rt::Ref();
  c = rt::Ref();
  fresh = rt::Ref();
  EXPECT_EQ(rt::live_zone_blocks(), live - 2);  // c's list, the share table; b's list stays
}

TEST_F(Genobj, ShareTableGrowsAndEmpties) {
  const size_t live = rt::live_zone_blocks();
  std::vector<rt::Ref> lists, copies;
  CaptureStdout();
  for (int i = 0; i < 9; ++i) {
    lists.push_back(NewList());
    copies.push_back(rt::Ref::adopt(genobj_handle(1)));
    genobj::genobj_handle_rpl(Object(copies.back()), Object(lists.back()), 1);
  }
  GetCapturedStdout();
  copies.clear();
  EXPECT_EQ(rt::live_zone_blocks(), live + 9);  // the lists; the table went with its last row
}

}  // namespace
