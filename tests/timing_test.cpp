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
#include "tests/harness.h"

namespace {

using Call = sim::Call;

void fresh_world(int64_t frequency) {
  harness::reset_world();
  sim::set_frequency(frequency);
}

// A good delay waits the truncated tick count and leaves the record alone. A failed counter
// must never leave code 0 in the record, or the run could end with exit 0.
TEST(Timing, Delay) {
  const struct {
    const char* label;
    int64_t frequency, counter_start, step;  // step: ticks added by each counter read
    sim::CallFault fault;                    // any_serial = none
    int32_t us;
    int64_t ticks;
    int32_t code;  // 0: the delay succeeds
  } cases[] = {
      {"fraction dropped", 3579545, 0, 1, {}, 100000, 357954, 0},  // 357954.5 ticks
      // us x frequency is beyond 64 bits here; the wait must still be the full 2000 s.
      {"no overflow", 10000000000, 0, 10000000, {}, 2000000000, 20000000000000, 0},
      {"negative", 10000000, 0, 1, {}, -5, 0, 0},
      {"read in the wait, error 5", 10000000, 0, 1, {Call::counter, 2, 5}, 1000, 0, 5},
      {"frequency 0", 0, 0, 1, {}, 1000, 0, 10},
      {"negative reading", 10000000, -1000000, 1, {}, 1000, 0, 10},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    fresh_world(c.frequency);
    sim::set_counter_start(c.counter_start);
    sim::set_counter_step(c.step);
    if (c.fault.call != Call::any_serial) sim::add_call_fault(c.fault);
    output::set_error_code(7);
    const int64_t before = sim::now_ticks();
    EXPECT_EQ(serial::delay_us(c.us), c.code == 0 ? 0 : -1);
    if (c.code != 0) {
      EXPECT_EQ(output::error_code(), c.code);
      EXPECT_EQ(output::error_text(), RU("Проблемы при работе с High-Resolution Performance Counter ( ") +
                                          std::to_string(c.code) + " ).");
      continue;
    }
    const int64_t waited = sim::now_ticks() - before;
    EXPECT_GE(waited, c.ticks);
    EXPECT_LE(waited, c.ticks + 4 * c.step);
    EXPECT_EQ(output::error_code(), 7);
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
