// The module T_Timer: its state and start-up, the clock, the slot rules of a
// T_Timer object, the built-in table and the handlers of the script class.
#include "T_Timer/timer.h"

#include <sys/time.h>

#include <cmath>

#include "objkit/builtin.h"
#include "objkit/exports.h"
#include "objkit/trace.h"

// An extension of our interpreter; another host may not define it.
extern "C" __attribute__((weak)) int32_t obj_isa(HostValue value, const char *class_name);

namespace t_timer {

int32_t initialised = 0;
int32_t level = 0;
int32_t clock_origin = 0;
HostValue current_timer = 0;
double timer_overhead = 0.0;
int32_t current_is_timer = 0;
int32_t (*isa_operation)(HostValue, const char *) = obj_isa;

namespace {

// Defines the script class T_Timer with its procedures init, Value, setValue
// and IsRunning, then registers the table. Results are not tested.
void InitialiseZEL() {
  objkit::Trace(level, 4, "FILE T_Timer, ROUTINE InitialiseZEL ()\n");
  exec("zel$object:subclass \"T_Timer\", \"value,is_running\"");
  exec("procedure  T_Timer:init ();  super:init ();  value = 0.;  is_running = 0;  end");
  exec("procedure  T_Timer:Value ();  return  value;  end");
  exec("procedure  T_Timer:setValue (v);  value = v;  end");
  exec("procedure  T_Timer:IsRunning ();  return  is_running;  end");
  init_built_in(kBuiltins);
}

// Whether the hooks may drive `timer` once it is current (see
// current_is_timer).
int32_t IsTimer(HostValue timer) {
  if (isa_operation != nullptr) return isa_operation(timer, "T_Timer");
  return host::is_object(timer) && !host::is_nil(timer) ? 1 : 0;
}

}  // namespace

constexpr BuiltinRecord kBuiltins[10] = {
    objkit::Routine("T_Timer_debug", 1, SetDebugLevel),
    objkit::Section("T_Timer", objkit::kClassSection),
    objkit::Routine("current", 0, x_current),
    objkit::Routine("setcurrent", objkit::kAnyCount, x_set_current),
    objkit::Section("T_Timer", objkit::kInstanceSection),
    objkit::Routine("start", 0, x_start),
    objkit::Routine("stop", 0, x_stop),
    objkit::Routine("lap", 0, x_lap),
    objkit::Routine("reset", 0, x_reset),
    objkit::kEndOfTable,
};

double ReadClock() {
  struct timeval now;
  struct timezone zone;
  gettimeofday(&now, &zone);
  // The clock is a pair of 32-bit integers, whatever the system's widths.
  const int32_t seconds = static_cast<int32_t>(now.tv_sec);
  const int32_t micros = static_cast<int32_t>(now.tv_usec);
  if (clock_origin == 0) clock_origin = seconds;
  return (static_cast<double>(seconds) - static_cast<double>(clock_origin)) * 100.0 +
         static_cast<double>(micros) / 10000.0;
}

HostValue SetDebugLevel(int32_t, HostValue *argv) {
  return objkit::SetLevel(level, "FILE T_Timer, ROUTINE SetDebugLevel (%d)\n", argv);
}

HostValue x_current(int32_t, HostValue *) {
  objkit::Trace(level, 4, "FILE t_timer, ROUTINE x_current ()\n");
  host::ref_take(current_timer);
  return current_timer;
}

HostValue x_set_current(int32_t argc, HostValue *argv) {
  if (argc != 1) return host::kFailure;
  const HostValue timer = argv[-1];
  objkit::Trace(level, 4, "FILE t_timer, ROUTINE x_set_current (%d)\n", static_cast<int>(timer));
  // The new reference first: making the current timer current again leaves
  // its count as it was and never releases it. The value and its flag are
  // stored before the old timer is let go; a setcurrent run by that release
  // then replaces both, with the reference taken here, and this call touches
  // nothing afterwards.
  host::ref_take(timer);
  const HostValue old = current_timer;
  current_timer = timer;
  current_is_timer = IsTimer(timer);
  host::ref_drop(old);
  return host::kOne;
}

// The receiver is held by the caller for the call; the slots are written
// only through StoreState or before their single drop.
HostValue x_start(int32_t, HostValue *argv) {
  const HostValue self = argv[0];
  const double total = NumberIn(host::slot(self, kValueSlot));
  const bool is_running = RunningIn(host::slot(self, kRunningSlot));
  objkit::Trace(level, 4, "FILE t_timer, ROUTINE x_start (%d)\n", static_cast<int>(self));
  if (is_running) return host::kOne;
  StoreState(self, flt_obj(total - ReadNow()), host::kOne);
  return host::kOne;
}

HostValue x_stop(int32_t, HostValue *argv) {
  const HostValue self = argv[0];
  const double total = NumberIn(host::slot(self, kValueSlot));
  const bool is_running = RunningIn(host::slot(self, kRunningSlot));
  objkit::Trace(level, 4, "FILE t_timer, ROUTINE x_stop (%d)\n", static_cast<int>(self));
  if (!is_running) return host::kOne;
  StoreState(self, flt_obj(ReadNow() + total), host::kZero);
  return host::kOne;
}

HostValue x_lap(int32_t, HostValue *argv) {
  const HostValue self = argv[0];
  const double total = NumberIn(host::slot(self, kValueSlot));
  const bool is_running = RunningIn(host::slot(self, kRunningSlot));
  objkit::Trace(level, 4, "FILE t_timer, ROUTINE x_lap (%d)\n", static_cast<int>(self));
  if (!is_running) return flt_obj(0.0);
  return flt_obj(ReadNow() + total);
}

HostValue x_reset(int32_t, HostValue *argv) {
  const HostValue self = argv[0];
  const bool is_running = RunningIn(host::slot(self, kRunningSlot));
  objkit::Trace(level, 5, "FILE t_timer, ROUTINE x_reset (%d)\n", static_cast<int>(self));
  if (is_running) return host::kOne;
  // Store first, drop last, as in StoreState.
  HostValue &value = host::slot(self, kValueSlot);
  const HostValue old = value;
  value = flt_obj(0.0);
  host::ref_drop(old);
  return host::kOne;
}

}  // namespace t_timer

extern "C" {

// Starts the module once: the script class and table, the current timer
// (nil), the calibration, the profiler hooks, then the flag. Later calls only
// trace. Never fails.
void T_Timer_init_module(void) {
  objkit::Trace(t_timer::level, 1, "FILE T_Timer, PROCEDURE T_Timer_init_module ()\n");
  if (t_timer::initialised) return;
  t_timer::InitialiseZEL();
  t_timer::current_timer = nil_obj();
  t_timer::Calibrate();
  profilesetup(t_timer::StartCurrentTimer, t_timer::StopCurrentTimer);
  t_timer::initialised = 1;
}

}  // extern "C"
