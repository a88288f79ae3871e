// The virtual clock and the platform's time services.
#include <cmath>

#include "sim/state.h"

namespace sim::detail {

Clock clock;

void clock_reset() {
  clock.reported_frequency = 10'000'000;
  clock.frequency = 10'000'000;
  clock.step = 1;
  clock.start = 0;
  clock.ticks = 0;
  clock.fraction = 0;
  clock.latency_us = 0;
  clock.real_time_sleeps = false;
}

void advance_us(double us) {
  if (!(us > 0)) return;
  double t = clock.fraction + us * static_cast<double>(clock.frequency) / 1e6;
  double whole = std::floor(t);
  clock.ticks += static_cast<int64_t>(whole);
  clock.fraction = t - whole;
}

}  // namespace sim::detail

namespace sim {

void set_real_time_sleeps(bool on) { detail::clock.real_time_sleeps = on; }

using namespace detail;

void set_frequency(int64_t ticks_per_second) {
  // Time already passed stays the same; only the tick rate changes.
  double us = time_us();
  clock.reported_frequency = ticks_per_second;
  clock.frequency = ticks_per_second > 0 ? ticks_per_second : 10'000'000;
  clock.ticks = 0;
  clock.fraction = 0;
  advance_us(us);
}

void set_counter_step(int64_t ticks) { clock.step = ticks; }
void set_latency_us(double us) { clock.latency_us = us; }
int64_t now_ticks() { return clock.start + clock.ticks; }
double now_us() { return time_us(); }
void set_counter_start(int64_t ticks) { clock.start = ticks; }

}  // namespace sim

namespace platform {

using namespace sim::detail;

bool query_counter(int64_t* ticks) {
  uint32_t error;
  if (call_fault(sim::Call::counter, false, 0, &error)) {
    set_error(error);
    return false;
  }
  ++counter_values.counter_reads;
  clock.ticks += clock.step;
  *ticks = clock.start + clock.ticks;
  return true;
}

bool query_frequency(int64_t* ticks_per_second) {
  uint32_t error;
  if (call_fault(sim::Call::frequency, false, 0, &error)) {
    set_error(error);
    return false;
  }
  *ticks_per_second = clock.reported_frequency;
  return true;
}

void sleep_ms(uint32_t ms) {
  ++counter_values.sleeps;
  advance_us(static_cast<double>(ms) * 1000.0);
  // A person at the keyboard reads the line test at the pace it is meant to run.
  if (clock.real_time_sleeps) real_sleep_ms(ms);
}

}  // namespace platform
