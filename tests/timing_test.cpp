// Microsecond delays and the timed wait for a low data line, on the simulated clock.
#include <gtest/gtest.h>

#include <string>

#include "output/cp1251_literal.h"
#include "output/error_record.h"
#include "platform/platform.h"
#include "serial/lines.h"
#include "serial/port.h"
#include "serial/timing.h"
#include "sim/world.h"

namespace {

using Call = sim::Call;

void fresh_world(int64_t frequency) {
  sim::reset();
  output::reset_error_record();
  serial::reset_port_state();
  platform::set_last_error(0);
  sim::set_frequency(frequency);
}

TEST(Timing, DelayWaitsTheTruncatedTickCount) {
  const struct {
    int64_t frequency;
    int32_t us;
    int64_t ticks;
    int64_t step;  // ticks added by each counter read
  } cases[] = {
      {3579545, 100000, 357954, 1},  // 357954.5: the fraction is dropped
      // us x frequency is beyond 64 bits here; the wait must still be the full 2000 s.
      {10000000000, 2000000000, 20000000000000, 10000000},
      {10000000, -5, 0, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.us);
    fresh_world(c.frequency);
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

// A failed counter must never leave code 0 in the record, or the run could end with exit 0.
TEST(Timing, CounterFailuresNeverLeaveCodeZero) {
  const struct {
    const char* label;
    sim::CallFault fault;  // any_serial = none
    int64_t frequency, counter_start;
    int32_t code;
  } cases[] = {
      {"first read, no error number", {Call::counter, 1, 0}, 10000000, 0, 10},
      {"read in the wait, error 5", {Call::counter, 2, 5}, 10000000, 0, 5},
      {"frequency 0", {}, 0, 0, 10},
      {"negative reading", {}, 10000000, -1000000, 10},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    fresh_world(c.frequency);
    sim::set_counter_start(c.counter_start);
    if (c.fault.call != Call::any_serial) sim::add_call_fault(c.fault);
    EXPECT_EQ(serial::delay_us(1000), -1);
    EXPECT_EQ(output::error_code(), c.code);
    EXPECT_EQ(output::error_text(), RU("Проблемы при работе с High-Resolution Performance Counter ( ") +
                                        std::to_string(c.code) + " ).");
  }
}

TEST(Timing, WaitCtsLow) {
  const std::string counter_10 = RU("Ошибка 10 при работе с High-Resolution Performance Counter.");
  const struct {
    const char* label;
    uint32_t line;         // switched on first: RTS powers the target (high 5 ms), break holds CTS high
    sim::CallFault fault;  // any_serial = none
    int64_t frequency;
    int32_t low, high;  // the result's range
    int32_t code;
    std::string text;
  } cases[] = {
      {"already low", 0, {}, 10000000, 1, 1, 0, ""},
      {"high for 5 ms", platform::SETRTS, {}, 10000000, 3000, 6000, 0, ""},
      {"stays high", platform::SETBREAK, {}, 10000000, 0, 0, 0, ""},
      {"counter error 5", platform::SETBREAK, {Call::counter, 2, 5}, 10000000, -5, -5, 5,
       RU("Ошибка 5 при работе с High-Resolution Performance Counter.")},
      {"counter error 0", 0, {Call::counter, 1, 0}, 10000000, -10, -10, 10, counter_10},
      {"frequency 0", 0, {}, 0, -10, -10, 10, counter_10},
      {"sample fails", 0, {Call::modem_status, 1, 21}, 10000000, -1, -1, 21,
       RU("Порт COM1 - работа была приостановлена.")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    fresh_world(c.frequency);
    sim::chip_config().power_up_high_us = 5000;
    ASSERT_EQ(serial::open_port(1), 1);
    if (c.line != 0) {
      ASSERT_EQ(serial::switch_line(c.line), 1);
    }
    if (c.fault.call != Call::any_serial) sim::add_call_fault(c.fault);
    const double start = sim::now_us();
    const int32_t result = serial::wait_cts_low();
    EXPECT_GE(result, c.low);
    EXPECT_LE(result, c.high);
    EXPECT_EQ(output::error_code(), c.code);
    EXPECT_EQ(output::error_text(), c.text);
    if (result == 0) {
      // Ends at the first sample a second or more after the start: at most one sample delay late.
      EXPECT_GE(sim::now_us() - start, 1000000.0);
      EXPECT_LT(sim::now_us() - start, 1000000.0 + 2 * 2000.0);
    }
  }
}

}  // namespace
