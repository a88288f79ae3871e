// Shared state of the simulated world, visible only to sim/*.cpp.
#pragma once

#include <array>
#include <csetjmp>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "sim/world.h"

namespace sim::detail {

// ---- clock ---------------------------------------------------------------------------------
// The counter is the master time: whole ticks since reset plus a sub-tick remainder, kept at a
// positive frequency even while the query is made to report 0.
struct Clock {
  int64_t reported_frequency;
  int64_t frequency;
  int64_t step;
  int64_t start;
  int64_t ticks;
  double fraction;
  double latency_us;
  bool real_time_sleeps;
};
extern Clock clock;
void clock_reset();
void advance_us(double us);
inline double time_us() {
  return (static_cast<double>(clock.ticks) + clock.fraction) * 1e6 /
         static_cast<double>(clock.frequency);
}
// A sleep of the real process (kept apart from this clock's names).
void real_sleep_ms(uint32_t ms);
// The cost of one serial-device or device-map call.
inline void charge_call() {
  if (clock.latency_us > 0) advance_us(clock.latency_us);
}

// ---- counters and trace -----------------------------------------------------------------------
extern Counters counter_values;
extern bool trace_on;
extern std::vector<TraceEntry> trace_entries;

// ---- call faults --------------------------------------------------------------------------
// One bit per Call kind that a fault or the call observer watches; any_serial's bit stands
// for every serial kind. Counter reads come by the million: unwatched they cost nothing.
extern uint32_t watched_kinds;
void faults_reset();
// True when this call is to fail; *error then holds the number to leave behind.
// port is the COM number a serial call acts on, 0 when it names none.
bool call_fault_slow(Call kind, bool serial, uint32_t escape_function, uint32_t* error, int port);
inline bool call_fault(Call kind, bool serial, uint32_t escape_function, uint32_t* error,
                       int port = 0) {
  const uint32_t bits = (1u << static_cast<int>(kind)) |
                        (serial ? 1u << static_cast<int>(Call::any_serial) : 0u);
  return (watched_kinds & bits) != 0 && call_fault_slow(kind, serial, escape_function, error, port);
}

void set_error(uint32_t code);

// ---- the end of the process after a signal's emergency stop ---------------------------------
// Where run_tool takes the run back when the tool ends the process (nullptr outside a run).
extern std::jmp_buf* emergency_exit;

// ---- the pieces' resets ---------------------------------------------------------------------
void console_reset();
void devmap_reset();
void ports_reset();
void files_reset();
void cables_reset();

}  // namespace sim::detail
