// The module T_Timer: the script class T_Timer (a stopwatch in seconds whose
// whole state lives in the script object's two instance variables), the
// module's current timer, the clock, start-up calibration and the profiler
// hooks. Internal to the library (hidden); T_Timer_init_module is exported
// through objkit/exports.h.
#pragma once

#include <cmath>
#include <cstdint>

#include "host/host.h"

namespace t_timer {

// Instance variables of a T_Timer object, by their fixed index: `value` holds
// the total in seconds while stopped and the total minus the reading at which
// the run began while running; `is_running` holds the integer 1 or 0.
inline constexpr int32_t kValueSlot = 0;
inline constexpr int32_t kRunningSlot = 1;

// Module state. All zero at load; lives for the life of the process. Hidden,
// so that the hooks read it directly rather than through the GOT.
[[gnu::visibility("hidden")]] extern int32_t initialised;  // 1 once T_Timer_init_module has run
[[gnu::visibility("hidden")]] extern int32_t level;        // debug level, set by T_Timer_debug
// whole second of the first clock reading; 0 = not yet read
[[gnu::visibility("hidden")]] extern int32_t clock_origin;
// the timer the profiler hooks drive; counted, except nil
[[gnu::visibility("hidden")]] extern HostValue current_timer;
[[gnu::visibility("hidden")]] extern double timer_overhead;  // seconds, measured once by Calibrate

// 1 while the hooks may drive current_timer, set together with it by
// setcurrent (before the old timer is let go, so that a setcurrent nested in
// that release replaces both). With the interpreter's obj_isa: the value is a
// T_Timer object (of the script class T_Timer or a subclass). Without it, as
// on any host that offers only the published operations: the value is an
// object other than nil, and the script answers for its being a T_Timer.
[[gnu::visibility("hidden")]] extern int32_t current_is_timer;

// The interpreter's obj_isa, bound weakly: null when the host lacks that
// extension.
extern int32_t (*isa_operation)(HostValue value, const char *class_name);

// The T_Timer table: T_Timer_debug; class level current, setcurrent;
// instances start, stop, lap, reset; the terminator.
extern const BuiltinRecord kBuiltins[10];

// Hundredths of a second since the start of the origin second, read from
// gettimeofday; the first call sets clock_origin. Never fails.
double ReadClock();

// ReadClock() in seconds.
inline double ReadNow() {
  return ReadClock() / 100.0;
}

// A slot read as a number: an integer's value, a float's double, 0.0 for
// anything else. Inline, as the hooks read both slots on every call.
inline double NumberIn(HostValue word) {
  if (host::is_int(word)) return host::int_of(word);
  if (host::has_type(word, host::kFloat)) return host::float_of(word);
  return 0.0;
}

// Stores new contents in a timer's two slots, then drops the old contents,
// `value`'s first. Store first, drop last: a release may run a script that
// writes the slots or lets the timer itself go, and nothing of the timer is
// touched after the first drop. Never fails.
// Inline: the stop hook's path stays free of calls besides the clock and the
// float.
inline void StoreState(HostValue timer, HostValue value, HostValue running) {
  HostValue &value_slot = host::slot(timer, kValueSlot);
  HostValue &running_slot = host::slot(timer, kRunningSlot);
  const HostValue old_value = value_slot;
  const HostValue old_running = running_slot;
  value_slot = value;
  running_slot = running;
  host::ref_drop(old_value);
  host::ref_drop(old_running);
}

// A slot read as a running flag: an integer or a float truncated toward zero
// is not 0 (a float that is not a number counts as 0). Anything else: false.
inline bool RunningIn(HostValue word) {
  if (host::is_int(word)) return host::int_of(word) != 0;
  // Truncation toward zero leaves a non-zero integer exactly when |x| >= 1.
  if (host::has_type(word, host::kFloat)) return std::fabs(host::float_of(word)) >= 1.0;
  return false;
}

// Handler of "T_Timer_debug": sets the module's debug level; returns 1.
HostValue SetDebugLevel(int32_t argc, HostValue *argv);
// Handler of "current": current_timer with a reference taken (nil before any
// setcurrent). Never fails.
HostValue x_current(int32_t argc, HostValue *argv);
// Handler of "setcurrent": makes argument 1 (any value, counted) the current
// timer, decides current_is_timer, and returns 1; any count but 1 returns the
// failure word 2 and changes nothing.
HostValue x_set_current(int32_t argc, HostValue *argv);
// Handlers of the instance methods "start", "stop", "lap", "reset" (receiver
// at argv[0]). start, stop and reset return 1; lap returns a new float, the
// running total or 0.0 for a stopped timer. Never fail.
HostValue x_start(int32_t argc, HostValue *argv);
HostValue x_stop(int32_t argc, HostValue *argv);
HostValue x_lap(int32_t argc, HostValue *argv);
HostValue x_reset(int32_t argc, HostValue *argv);

// Measures timer_overhead: 0.009 times the span of 100 clock readings plus
// the closing one. Makes the module's first clock reading. Never fails.
void Calibrate();

// The profiler's start hook: starts the current timer, ahead by
// timer_overhead; does nothing unless current_is_timer is set and the timer
// is stopped. No lookups, no sends.
void StartCurrentTimer();
// The profiler's stop hook: stops the current timer, less timer_overhead; does
// nothing unless current_is_timer is set and the timer runs.
void StopCurrentTimer();

}  // namespace t_timer
