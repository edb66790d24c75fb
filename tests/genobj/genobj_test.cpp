// The class registry's lookups, genobj_dump on payloads scripts cannot make,
// the handle constructors, and the replace hook's release-once rule.
#include "genobj/genobj.h"

#include <gtest/gtest.h>
#include <stdio_ext.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "booted_test.h"
#include "lang/boot.h"
#include "runtime/runtime.h"

namespace rt = zel::rt;
using genobj::genobj_handle_rpl;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

// Every test leaves as many objects and zone blocks as it found.
using Genobj = objkit_test::LeakCheckedTest;

HostObject *Object(const rt::Ref &ref) {
  return host::object_of(ref.get());
}
genobj::GenObjPayload *Payload(const rt::Ref &ref) {
  return host::payload<genobj::GenObjPayload>(ref.get());
}
rt::Ref NewList() {
  return rt::Ref::adopt(T_DblLnk_create(nil_obj()));
}
rt::Ref NewHandle() {
  return rt::Ref::adopt(genobj_handle(1));
}

std::string Dump(const char *format, const void *payload) {
  char line[200];
  std::snprintf(line, sizeof line, format, payload, reinterpret_cast<void *>(nil_obj()));
  return line;
}

TEST_F(Genobj, LoadSymbolSearchesTheClassThenItsParents) {
  EXPECT_EQ(genobj::LoadSymbol(0, "create"), nullptr);
  EXPECT_EQ(genobj::LoadSymbol(1, "dump"), reinterpret_cast<void *>(T_DblLnk_dump));
  EXPECT_EQ(genobj::LoadSymbol(1, "Dump"), nullptr);
  EXPECT_EQ(genobj::LoadSymbol(-1, "dump"), nullptr);
  EXPECT_EQ(genobj::LoadSymbol(2, "dump"), nullptr);
  genobj::level = 7;
  CaptureStdout();
  genobj::LoadSymbol(1, "missing");
  genobj::level = 0;
  EXPECT_EQ(GetCapturedStdout(), "");  // from level 8 (start-up shows the lines)
}

TEST_F(Genobj, DumpNamesKnownClassesAndReportsUnknownIndexes) {
  char *text = nullptr;
  size_t size = 0;
  FILE *stream = open_memstream(&text, &size);
  genobj::GenObjPayload base{0, nil_obj(), nullptr}, two{2, nil_obj(), nullptr},
      minus{-5, nil_obj(), nullptr};
  for (genobj::GenObjPayload *payload :
       {static_cast<genobj::GenObjPayload *>(nullptr), &base, &two, &minus}) {
    genobj_dump(payload, stream, 0);
  }
  std::fclose(stream);
  EXPECT_EQ(text, "genobj : <nil>\n" + Dump("genobj : <%p>, class : <T_C_Object>\nob : <%p>\n", &base) +
                      "tail : <nil>\n" + Dump("genobj : <%p>, class : <unknown : 2>\nob : <%p>\n", &two) +
                      Dump("genobj : <%p>, class : <unknown : -5>\nob : <%p>\n", &minus));
  std::free(text);
}

TEST_F(Genobj, ConstructorsMakeSharedHandlesOrReportNoMemory) {
  const rt::Ref handle = NewHandle(), key = rt::Ref::adopt(refobj_handle(nullptr));
  EXPECT_EQ(Object(handle)->flags, host::kSharedFlag);
  EXPECT_EQ(Payload(handle)->ob, nil_obj());
  EXPECT_EQ(Payload(handle)->data, nullptr);
  EXPECT_EQ(Object(key)->flags, host::kSharedFlag);
  // The messages stay in stdout's buffer; a trace line flushes it.
  std::fflush(stdout);
  std::setvbuf(stdout, nullptr, _IOFBF, BUFSIZ);
  CaptureStdout();
  rt::fail_next_gen_obj();
  EXPECT_TRUE(host::is_nil(genobj_handle(1)));
  rt::fail_next_gen_obj();
  EXPECT_TRUE(host::is_nil(refobj_handle(nullptr)));
  const std::string message = "Fatal error : Out of memory\n";
  EXPECT_EQ(__fpending(stdout), 2 * message.size());
  genobj::level = 7;
  rt::fail_next_gen_obj();
  genobj_handle(1);
  genobj::level = 0;
  EXPECT_EQ(__fpending(stdout), message.size());
  EXPECT_EQ(GetCapturedStdout(), message + message + "FILE genobj, PROCEDURE genobj_handle (1)\n" + message);
}

TEST_F(Genobj, ReplacedRecordsAreReleasedOnceByTheLastHandle) {
  rt::Ref a = NewList(), b = NewList(), c = NewList();
  const size_t lists = rt::live_zone_blocks();
  CaptureStdout();
  genobj_handle_rpl(Object(a), Object(b), 1);  // a's list goes, the share table comes
  genobj::GenObjPayload kept = *Payload(c);
  genobj_handle_rpl(Object(c), Object(b), 0);  // c's list is left to the caller
  EXPECT_EQ(rt::live_zone_blocks(), lists);
  T_DblLnk_deallocate(&kept);
  genobj_handle_rpl(Object(a), Object(b), 1);  // already the same record
  const std::string message = "Fatal error : You used = instead of == to assign an object\n";
  EXPECT_EQ(GetCapturedStdout(), message + message + message);
  EXPECT_EQ(Payload(a)->data, Payload(b)->data);
  a = c = rt::Ref();
  EXPECT_EQ(rt::live_zone_blocks(), lists - 2);  // c's list and the share table; b's list stays
}

// A handle of a class outside the table has no deallocate: its release
// leaves the record alone.
TEST_F(Genobj, ARecordOfAnUnknownClassIsLeftToItsMaker) {
  int record = 7;
  rt::Ref handle = rt::Ref::adopt(genobj_handle(2));
  Payload(handle)->data = &record;
  handle = rt::Ref();
  EXPECT_EQ(record, 7);
}

// Handles never filled take records from nine lists; the lists outlive them.
TEST_F(Genobj, ShareTableGrowsAndEmpties) {
  const size_t live = rt::live_zone_blocks();
  std::vector<rt::Ref> lists, copies;
  CaptureStdout();
  for (int i = 0; i < 9; ++i) {
    lists.push_back(NewList());
    copies.push_back(NewHandle());
    genobj_handle_rpl(Object(copies.back()), Object(lists.back()), 1);
  }
  GetCapturedStdout();
  copies.clear();
  EXPECT_EQ(rt::live_zone_blocks(), live + 9);
}

}  // namespace
