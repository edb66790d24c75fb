// The profiler's side of T_Timer: the start-up calibration of the hooks'
// overhead and the two hooks that start and stop the current timer.
#include "T_Timer/timer.h"
#include "objkit/trace.h"

namespace t_timer {

namespace {

// Clock readings between the opening and the closing one of Calibrate.
constexpr int32_t kCalibrationReadings = 100;

// The share of the calibration span charged to each hook.
constexpr double kOverheadFactor = 0.009;

}  // namespace

void Calibrate() {
  objkit::Trace(level, 7, "FILE t_timer, ROUTINE Calibrate ()\n");
  const double start = ReadNow();
  int32_t count = 0;
  do {
    ReadClock();
  } while (++count < kCalibrationReadings);
  const double end = ReadNow();
  timer_overhead = (end - start) * kOverheadFactor;
}

// Both slots hold their new contents before either old one is let go (the
// order of the drops is is_running's, then value's): a release may run a
// script that lets the timer go or writes its slots, and the hook touches
// neither afterwards. Holding nothing, the hooks allocate only the float.
void StartCurrentTimer() {
  objkit::Trace(level, 7, "FILE t_timer, ROUTINE StartCurrentTimer ()\n");
  if (!current_is_timer) return;
  HostValue &value = host::slot(current_timer, kValueSlot);
  HostValue &running = host::slot(current_timer, kRunningSlot);
  const double total = NumberIn(value);
  if (RunningIn(running)) return;
  const HostValue old_running = running;
  running = host::kOne;
  // The reading as late as it can be: only the float is made after it.
  const double now = ReadNow();
  const HostValue old_value = value;
  value = flt_obj(total - (now + timer_overhead));
  host::ref_drop(old_running);
  host::ref_drop(old_value);
}

void StopCurrentTimer() {
  // The reading before anything else, so that the hook's own work is not
  // counted.
  const double now = ReadNow();
  objkit::Trace(level, 7, "FILE t_timer, ROUTINE StopCurrentTimer ()\n");
  if (!current_is_timer) return;
  const double total = NumberIn(host::slot(current_timer, kValueSlot));
  if (!RunningIn(host::slot(current_timer, kRunningSlot))) return;
  StoreState(current_timer, flt_obj(total + (now - timer_overhead)), host::kZero);
}

}  // namespace t_timer
