// Waiting for a supervisory call: every outcome with its clock and poll counts and its record.
#include <gtest/gtest.h>

#include "issp/acquire.h"
#include "issp/vectors.h"
#include "issp/wait_poll.h"
#include "output/cp1251_literal.h"
#include "output/error_record.h"
#include "serial/port.h"
#include "sim/world.h"
#include "tests/issp_trace.h"

namespace {

using issp::mem;
using issp::reg;

// Acquires the target, gives the chip `fault` for the calls from now on, then writes a calibrate
// call up to its start, leaving the wait to the test.
void start_calibrate_call(sim::ChipFault fault = sim::ChipFault::none) {
  ASSERT_GE(issp::issp_acquire(17000), 0);
  if (fault != sim::ChipFault::none) {
    sim::ChipFaultSpec f;
    f.kind = fault;
    f.function = 9;
    sim::chip_config().faults.push_back(f);
  }
  const std::pair<uint32_t, uint32_t> writes[] = {
      {reg(0xF7), 0x00}, {reg(0xF6), 0x00}, {mem(0xF8), 0x3A}, {mem(0xF9), 0x03},
      {reg(0xF5), 0x00}, {reg(0xF4), 0x03}, {mem(0xFB), 0x80}, {reg(0xF9), 0x30},
      {reg(0xFA), 0x40}, {reg(0xF0), 0x09}, {reg(0xF8), 0x00}, {reg(0xFF), 0x12}};
  for (const auto& w : writes) ASSERT_EQ(issp::issp_write(w.second, w.first), 0);
}

struct Case {
  const char* name;
  sim::ChipFault chip_fault;
  sim::Call failing_call;  // any_serial = none
  uint32_t failing_escape;
  int result;
  long long pulses_min, pulses_max;
  long long polls_min, polls_max;  // modem-status reads during the wait
  int32_t code;
  const char* text;  // nullptr: empty
};

TEST(WaitPoll, EveryOutcome) {
  using sim::Call;
  using sim::ChipFault;
  const Case cases[] = {
      {"done", ChipFault::none, Call::any_serial, 0, 0, 67, 106, 2, 200000, 0, nullptr},
      {"never low", ChipFault::stuck_high_after_release, Call::any_serial, 0, -2, 0, 0, 500000,
       500000, 0, nullptr},
      {"no busy", ChipFault::no_busy, Call::any_serial, 0, -3, 40, 40, 100081, 100081, 0,
       nullptr},
      {"busy forever", ChipFault::busy_never_ends, Call::any_serial, 0, -4, 1, 40, 100002, 100081,
       0, nullptr},
      {"release fails", ChipFault::none, Call::escape, platform::CLRBREAK, -1, 0, 0, 0, 0, 31,
       "*"},
      {"clock fails", ChipFault::none, Call::escape, platform::SETDTR, -1, 0, 0, 1, 1, 31, "*"},
      {"sample fails", ChipFault::none, Call::modem_status, 0, -1, 0, 0, 0, 1, 31, "*"},
      {"SetCommMask", ChipFault::none, Call::set_mask, 0, -11, 0, 0, 1, 1, 31,
       RU("Порт COM1 - ошибка 31 при вызове SetCommMask.")},
      {"CreateEvent", ChipFault::none, Call::create_event, 0, -12, 0, 0, 1, 1, 31,
       RU("Порт COM1 - ошибка 31 при создании обработчика события.")},
      {"WaitCommEvent", ChipFault::none, Call::wait_event, 0, -13, 0, 0, 1, 1, 31,
       RU("Порт COM1 - ошибка 31 при вызове WaitCommEvent.")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    issp_trace::fresh_world();
    ASSERT_TRUE(issp_trace::open_com1());
    start_calibrate_call(c.chip_fault);
    if (c.failing_call != Call::any_serial) {
      sim::add_call_fault({c.failing_call, 1, 31, false, c.failing_escape});
    }
    const sim::Counters before = sim::counters();
    EXPECT_EQ(issp::issp_wait_and_poll(), c.result);
    const long long pulses = sim::counters().clock_pulses - before.clock_pulses;
    const long long polls = sim::counters().modem_status_calls - before.modem_status_calls;
    EXPECT_GE(pulses, c.pulses_min);
    EXPECT_LE(pulses, c.pulses_max);
    EXPECT_GE(polls, c.polls_min);
    EXPECT_LE(polls, c.polls_max);
    EXPECT_EQ(output::error_code(), c.code);
    if (c.text == nullptr) {
      EXPECT_STREQ(output::error_text(), "");
    } else if (c.text[0] != '*') {
      EXPECT_STREQ(output::error_text(), c.text);
    } else {
      EXPECT_STRNE(output::error_text(), "");
    }
  }
}

// A successful call ends with 66 clocks on the released line, after the last sample.
TEST(WaitPoll, TrailingClocksOnReleasedLine) {
  issp_trace::fresh_world();
  ASSERT_TRUE(issp_trace::open_com1());
  start_calibrate_call();
  sim::set_trace(true);
  ASSERT_EQ(issp::issp_wait_and_poll(), 0);
  const auto p = issp_trace::pulses(0, 1);
  size_t last_sampled = 0;
  for (size_t i = 0; i < p.size(); ++i) {
    if (!p[i].samples.empty()) last_sampled = i;
  }
  ASSERT_EQ(p.size() - 1 - last_sampled, 66u);
  for (size_t i = last_sampled + 1; i < p.size(); ++i) EXPECT_EQ(p[i].data, 0);
  EXPECT_EQ(serial::port.break_state, 0);
  EXPECT_FALSE(sim::line_state(1).brk);
  EXPECT_FALSE(sim::line_state(1).dtr);
}

// The event word alone counts as the busy signal: a target that never shows the line high to
// a sample still completes when the notification fired.
TEST(WaitPoll, ChangeSeenOnlyByNotification) {
  issp_trace::fresh_world();
  ASSERT_TRUE(issp_trace::open_com1());
  start_calibrate_call(sim::ChipFault::no_busy);
  sim::set_wait_completes_immediately(true);
  sim::set_trace(true);
  ASSERT_EQ(issp::issp_wait_and_poll(), 0);
  const auto p = issp_trace::pulses(0, 1);
  EXPECT_EQ(p.size(), 1u + 66u);  // busy seen at the first check
  for (const auto& pulse : p) {
    for (uint32_t s : pulse.samples) EXPECT_EQ(s & platform::MS_CTS_ON, 0u);
  }
}

// A busy signal already there at the first sample: that pass still ends with the clock low and
// its half-period, the second sample is skipped, and so is the quiet watch.
TEST(WaitPoll, BusyAtFirstSample) {
  issp_trace::fresh_world();
  sim::chip_config().calibrate_us = 2000;
  ASSERT_TRUE(issp_trace::open_com1());
  start_calibrate_call();
  sim::set_trace(true);
  ASSERT_EQ(issp::issp_wait_and_poll(), 0);
  const auto& t = sim::trace();
  size_t first_clock = 0;
  while (first_clock < t.size() &&
         !(t[first_clock].kind == sim::TraceEntry::escape && t[first_clock].function == platform::SETDTR)) {
    ++first_clock;
  }
  ASSERT_LT(first_clock + 3, t.size());
  EXPECT_EQ(t[first_clock + 1].kind, sim::TraceEntry::sample);
  EXPECT_NE(t[first_clock + 1].function & platform::MS_CTS_ON, 0u);
  EXPECT_EQ(t[first_clock + 2].function, platform::CLRDTR);
  // Next comes the wait for the end of the call: no clock until the line has fallen.
  EXPECT_EQ(issp_trace::pulses(0, 1).size(), 1u + 66u);
  EXPECT_GE(t[first_clock + 3].time_us - t[first_clock + 2].time_us, 2.0);
}

}  // namespace
