// The interpreter's services: number reading, messages, the fatal exit, the
// terminal, the clock and the leak report.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "runtime/runtime.h"
#include "test_support.h"

namespace rt = zel::rt;

namespace {

TEST(Services, NumbersMessagesAndTerminal) {
  EXPECT_EQ(atox(""), 0);
  EXPECT_EQ(atox("x"), 0);
  EXPECT_EQ(atox("FFFFFFFF"), -1);
  EXPECT_EQ(atox("40000000"), 0x40000000);
  EXPECT_EQ(atox("1fZ9"), 31);
  EXPECT_EQ(atox("123456789"), 0x23456789);  // wraps at 32 bits
  EXPECT_EQ(atod(""), 0.0);
  EXPECT_EQ(atod("x"), 0.0);
  EXPECT_EQ(atod(" -2.5e1z"), -25.0);
  EXPECT_STREQ(libmsg(0), "no error");
  EXPECT_STREQ(libmsg(-1), "unknown message");
  EXPECT_STREQ(libmsg(1000), "unknown message");
  testing::internal::CaptureStdout();
  trm_setvideo(5);  // standard output is no terminal here
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

// On a terminal each attribute is written as its SGR sequence, an unknown
// one as 0 (normal).
TEST(Services, VideoAttributesOnATerminal) {
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_TRUE(master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0);
  const int terminal = open(ptsname(master), O_RDWR | O_NOCTTY), saved = dup(STDOUT_FILENO);
  fflush(stdout);
  dup2(terminal, STDOUT_FILENO);
  for (int32_t attribute : {0, 1, 2, 3, 4, 5, 6, 7, -1}) trm_setvideo(attribute);
  fflush(stdout);
  dup2(saved, STDOUT_FILENO);
  char out[128];
  const ssize_t got = read(master, out, sizeof out);
  for (int fd : {saved, terminal, master}) close(fd);
  EXPECT_EQ(std::string(out, static_cast<size_t>(std::max<ssize_t>(got, 0))),
            "\033[0m\033[1m\033[2m\033[0m\033[4m\033[5m\033[0m\033[7m\033[0m");
}

// The profiled procedure is matched without regard to case; with no hooks
// given, its calls run untimed.
TEST(Services, ProfiledCallsWithoutHooks) {
  rt::set_profiled("Busy");
  EXPECT_TRUE(rt::profiling("BUSY"));
  EXPECT_FALSE(rt::profiling("busier"));
  EXPECT_FALSE(rt::profile_matched());
  rt::profile_enter();
  rt::profile_leave();
  EXPECT_TRUE(rt::profile_matched());
  rt::set_profiled("");
  EXPECT_FALSE(rt::profiling("busy"));
}

TEST(ServicesDeathTest, ErrexitEndsTheProcess) {
  EXPECT_EXIT(errexit("Out of memory"), testing::ExitedWithCode(1), "^zel: Out of memory\n$");
  EXPECT_EXIT((rt::record(true), errexit(nullptr)), testing::ExitedWithCode(1), "^zel: \n$");
}

// advance_clock moves the fake clock by whole microseconds, rounded; it never
// goes below 0 or past a trillion seconds at once, and a NaN leaves it.
// gettimeofday shows it in a time_t, which a 32-bit target cannot hold past
// 2038: the seconds are compared there only where they fit.
TEST(Services, FakeClockMovesByRoundedMicrosecondsWithinItsRange) {
  const struct {
    double seconds;
    int64_t sec;
    suseconds_t usec;
  } table[] = {
      {0.5, 1000000000, 750000},       {std::nan(""), 1000000000, 750000},
      {-0.25, 1000000000, 500000},     {1.0000004, 1000000001, 500000},
      {0.0000006, 1000000001, 500001}, {-1e300, 0, 0},
      {1e300, 1000000000000, 0},       {-1e12, 0, 0},
  };
  rt::fake_clock(true);
  timeval tv{};
  gettimeofday(&tv, nullptr);
  EXPECT_EQ(tv.tv_sec, 1000000000);
  EXPECT_EQ(tv.tv_usec, 250000);
  rt::advance_clock(1.75);
  const HostValue two[] = {host::make_int(2)};
  rt::call("advance_clock", two);
  gettimeofday(&tv, nullptr);
  EXPECT_EQ(tv.tv_sec, 1000000004);
  EXPECT_EQ(tv.tv_usec, 0);
  rt::fake_clock(true);
  for (const auto &row : table) {
    rt::advance_clock(row.seconds);
    struct timezone zone = {60, 1};
    gettimeofday(&tv, &zone);
    EXPECT_EQ(rt::clock_microseconds(), row.sec * 1000000 + row.usec) << "after " << row.seconds;
    if (sizeof(time_t) >= sizeof(int64_t) || row.sec <= INT32_MAX) {
      EXPECT_EQ(tv.tv_sec, row.sec) << "after " << row.seconds;
    }
    EXPECT_EQ(tv.tv_usec, row.usec) << "after " << row.seconds;
    EXPECT_EQ(zone.tz_minuteswest, 0);
    EXPECT_EQ(zone.tz_dsttime, 0);
  }
  rt::fake_clock(false);
  gettimeofday(&tv, nullptr);
  EXPECT_GT(tv.tv_sec, 1600000000);
}

TEST(Services, LeakReportListsWhatIsLive) {
  const rt::Ref text = rt::make_string("leaky"), number = rt::make_float(2.5);
  void *zone = zcreate(6, 16384);
  void *block = zalloc(zone, 20);
  size_t listed = 0;
  const std::string report = zel::test::leak_report(&listed);
  EXPECT_EQ(listed, rt::live_objects() + rt::live_zone_blocks());
  for (const std::string &line :
       {zel::test::printed("leak: %p a string leaky, count 1\n", reinterpret_cast<void *>(text.get())),
        zel::test::printed("leak: %p a float 2.5, count 1\n", reinterpret_cast<void *>(number.get())),
        zel::test::printed("leak: %p zone block of 20 bytes\n", block)}) {
    EXPECT_NE(report.find(line), std::string::npos) << report;
  }
  zdelete(zone);
}

}  // namespace
