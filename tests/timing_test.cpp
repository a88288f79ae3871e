// Microsecond delays and the timed wait for a low data line, on the simulated clock.
#include <gtest/gtest.h>

#include <cstdio>

#include "output/cp1251_literal.h"
#include "output/error_record.h"
#include "platform/platform.h"
#include "serial/lines.h"
#include "serial/port.h"
#include "serial/timing.h"
#include "sim/world.h"

namespace {

void fresh_world() {
  sim::reset();
  output::reset_error_record();
  serial::reset_port_state();
  platform::set_last_error(0);
}

TEST(Timing, DelayWaitsTheTruncatedTickCount) {
  const struct {
    int64_t frequency;
    int32_t us;
    int64_t ticks;
    int64_t step;  // ticks added by each counter read
  } cases[] = {
      {3579545, 100000, 357954, 1},  // 357954.5: the fraction is dropped
      {10000000, 1000, 10000, 1},
      // us x frequency is beyond 64 bits here; the wait must still be the full 2000 s.
      {10000000000, 2000000000, 20000000000000, 10000000},
      {10000000, 0, 0, 1},
      {10000000, -5, 0, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.us);
    fresh_world();
    sim::set_frequency(c.frequency);
    sim::set_counter_step(c.step);
    output::set_error_code(7);  // a good delay leaves the record alone
    const int64_t before = sim::now_ticks();
    EXPECT_EQ(serial::delay_us(c.us), 0);
    const int64_t waited = sim::now_ticks() - before;
    EXPECT_GE(waited, c.ticks);
    EXPECT_LE(waited, c.ticks + 4 * c.step);
    EXPECT_EQ(output::error_code(), 7);
  }
}

TEST(Timing, CounterFailuresNeverLeaveCodeZero) {
  const struct {
    const char* label;
    sim::Call call;  // any_serial = no fault
    int nth;
    uint32_t error;
    int64_t frequency;
    int64_t counter_start;
    int32_t code;
  } cases[] = {
      {"first read, no error number", sim::Call::counter, 1, 0, 10000000, 0, 10},
      {"first read, error 5", sim::Call::counter, 1, 5, 10000000, 0, 5},
      {"read in the wait, error 5", sim::Call::counter, 2, 5, 10000000, 0, 5},
      {"frequency query, no error number", sim::Call::frequency, 1, 0, 10000000, 0, 10},
      {"frequency 0", sim::Call::any_serial, 1, 0, 0, 0, 10},
      {"negative reading", sim::Call::any_serial, 1, 0, 10000000, -1000000, 10},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    fresh_world();
    sim::set_frequency(c.frequency);
    sim::set_counter_start(c.counter_start);
    if (c.call != sim::Call::any_serial) sim::add_call_fault({c.call, c.nth, c.error});
    EXPECT_EQ(serial::delay_us(1000), -1);
    EXPECT_EQ(output::error_code(), c.code);
    char expected[128];
    std::snprintf(expected, sizeof expected,
                  RU("Проблемы при работе с High-Resolution Performance Counter ( %d )."), c.code);
    EXPECT_STREQ(output::error_text(), expected);
  }
}

TEST(Timing, WaitCtsLow) {
  const struct {
    const char* label;
    bool hold_high;        // break on keeps CTS high
    sim::Call call;        // any_serial = no fault
    int nth;
    uint32_t error;
    int64_t frequency;
    int32_t result;
    int32_t code;
    const char* text;
  } cases[] = {
      {"already low", false, sim::Call::any_serial, 1, 0, 10000000, 1, 0, ""},
      {"stays high", true, sim::Call::any_serial, 1, 0, 10000000, 0, 0, ""},
      {"counter error 5", true, sim::Call::counter, 2, 5, 10000000, -5, 5,
       RU("Ошибка 5 при работе с High-Resolution Performance Counter.")},
      {"counter error 0", false, sim::Call::counter, 1, 0, 10000000, -10, 10,
       RU("Ошибка 10 при работе с High-Resolution Performance Counter.")},
      {"frequency 0", false, sim::Call::any_serial, 1, 0, 0, -10, 10,
       RU("Ошибка 10 при работе с High-Resolution Performance Counter.")},
      {"sample fails", false, sim::Call::modem_status, 1, 21, 10000000, -1, 21,
       RU("Порт COM1 - работа была приостановлена.")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    fresh_world();
    sim::set_frequency(c.frequency);
    ASSERT_EQ(serial::open_port(1), 1);
    if (c.hold_high) {
      ASSERT_EQ(serial::switch_line(platform::SETBREAK), 1);
    }
    if (c.call != sim::Call::any_serial) sim::add_call_fault({c.call, c.nth, c.error});
    const double start = sim::now_us();
    EXPECT_EQ(serial::wait_cts_low(), c.result);
    EXPECT_EQ(output::error_code(), c.code);
    EXPECT_STREQ(output::error_text(), c.text);
    if (c.result == 0) {
      // Ends at the first sample a second or more after the start: at most one sample delay late.
      EXPECT_GE(sim::now_us() - start, 1000000.0);
      EXPECT_LT(sim::now_us() - start, 1000000.0 + 2 * 2000.0);
    }
  }
}

TEST(Timing, WaitCtsLowMeasuresTheHighTime) {
  fresh_world();
  sim::chip_config().power_up_high_us = 5000;
  ASSERT_EQ(serial::open_port(1), 1);
  serial::port.sample_delay_ms = 0;
  ASSERT_EQ(serial::switch_line(platform::SETRTS), 1);  // the target drives the line high a while
  const int32_t elapsed = serial::wait_cts_low();
  EXPECT_GT(elapsed, 4000);
  EXPECT_LT(elapsed, 6000);
}

}  // namespace
