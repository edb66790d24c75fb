// What scripts cannot reach: start-up and calibration over a clock that moves
// at every reading, the clock's origin, the hooks' overhead correction,
// setcurrent's argument count and the hooks on a host without obj_isa.
#include "T_Timer/timer.h"

#include <gtest/gtest.h>
#include <sys/time.h>

#include "lang/boot.h"
#include "objkit/exports.h"
#include "runtime/runtime.h"

namespace rt = zel::rt;

// Linked with --wrap=gettimeofday: the library's readings are counted, and
// the fake clock moves on by `step` after each.
static int readings = 0;
static double step = 0.0;
extern "C" int __real_gettimeofday(struct timeval *tv, void *tz);
extern "C" int __wrap_gettimeofday(struct timeval *tv, void *tz) {
  const int result = __real_gettimeofday(tv, tz);
  ++readings;
  rt::advance_clock(step);
  return result;
}

namespace {

// This process's start-up, once, with the clock stepping 0.01 s a reading;
// `readings` and timer_overhead stay as it left them.
void Start() {
  static const bool started = [] {
    zel::boot();
    rt::fake_clock(true);
    step = 0.01;
    objkit_init_module();
    step = 0.0;
    return true;
  }();
  EXPECT_TRUE(started);
}

HostValue SetCurrent(int32_t argc, HostValue value) {
  HostValue argv[3] = {value, value, 0};
  return t_timer::x_set_current(argc, &argv[2]);
}

TEST(Timer, StartUpCalibratesOverAHundredReadingsBetweenTwo) {
  Start();
  EXPECT_EQ(readings, 102);
  EXPECT_NEAR(t_timer::timer_overhead, 0.009 * 101 * 0.01, 1e-12);
  EXPECT_TRUE(host::is_nil(t_timer::current_timer));

  // The first reading fixes the origin second.
  t_timer::clock_origin = 0;
  rt::fake_clock(true);
  EXPECT_EQ(t_timer::ReadClock(), 25.0);
  EXPECT_EQ(t_timer::clock_origin, 1000000000);
  rt::advance_clock(1.25);
  EXPECT_EQ(t_timer::ReadClock(), 150.0);
}

TEST(Timer, HooksChargeTheOverheadAndSetCurrentKeepsItsTimer) {
  Start();
  const size_t objects = rt::live_objects();
  t_timer::timer_overhead = 0.25;
  rt::fake_clock(true);
  rt::advance_clock(9.75);  // 10 s after the origin second
  HostValue t = rt::send(rt::find_class("T_Timer")->value, "new", {}).detach();
  SetCurrent(1, t);
  rt::drop(t);  // the module's reference alone: setting it again must not release it
  EXPECT_EQ(SetCurrent(1, t), host::kOne);
  EXPECT_EQ(host::object_of(t)->refcount, 1);
  t_timer::level = 4;
  testing::internal::CaptureStdout();
  EXPECT_EQ(SetCurrent(0, rt::nil_value()), host::kFailure);
  EXPECT_EQ(SetCurrent(2, rt::nil_value()), host::kFailure);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");  // refused before its trace line
  t_timer::level = 0;
  EXPECT_EQ(t_timer::current_timer, t);

  auto total = [t] { return t_timer::NumberIn(host::slot(t, t_timer::kValueSlot)); };
  t_timer::StartCurrentTimer();
  rt::advance_clock(1);
  EXPECT_EQ(host::float_of(rt::send(t, "lap", {}).get()), 0.75);
  rt::advance_clock(1);
  t_timer::StopCurrentTimer();
  EXPECT_EQ(total(), 1.5);
  rt::send(t, "start", {});
  rt::advance_clock(2);
  t_timer::StopCurrentTimer();
  EXPECT_EQ(total(), 3.25);
  t_timer::StartCurrentTimer();
  rt::advance_clock(2);
  rt::send(t, "stop", {});
  EXPECT_EQ(total(), 5.0);

  SetCurrent(1, rt::nil_value());
  EXPECT_EQ(rt::live_objects(), objects);
}

// On our interpreter (obj_isa) and on a host that offers only the published
// operations alike, a timer made current is driven by the very next hooks.
TEST(Timer, HooksDriveANewCurrentTimerOnAnyHost) {
  Start();
  const double overhead = 0.009 * 101 * 0.01;  // as calibrated by Start
  for (const auto isa : {&obj_isa, static_cast<decltype(&obj_isa)>(nullptr)}) {
    t_timer::isa_operation = isa;
    t_timer::timer_overhead = overhead;
    rt::fake_clock(true);
    rt::advance_clock(9.75);  // 10 s after the origin second
    const rt::Ref t = rt::send(rt::find_class("T_Timer")->value, "new", {});
    SetCurrent(1, t.get());
    t_timer::StartCurrentTimer();
    EXPECT_EQ(host::slot(t.get(), t_timer::kRunningSlot), host::kOne);
    rt::advance_clock(2);
    t_timer::StopCurrentTimer();
    EXPECT_NEAR(t_timer::NumberIn(host::slot(t.get(), t_timer::kValueSlot)), 1.98182, 1e-9);
    EXPECT_EQ(host::slot(t.get(), t_timer::kRunningSlot), host::kZero);
    SetCurrent(1, host::make_int(3));  // not an object: the hooks leave it alone
    EXPECT_EQ(t_timer::current_is_timer, 0);
    SetCurrent(1, rt::nil_value());
  }
  t_timer::isa_operation = obj_isa;
}

}  // namespace
