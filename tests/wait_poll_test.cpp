// Waiting for a supervisory call: every outcome with its clock and poll counts and its record.
#include <gtest/gtest.h>

#include "issp/acquire.h"
#include "issp/vectors.h"
#include "issp/wait_poll.h"
#include "output/error_record.h"
#include "output/keyboard.h"
#include "platform/cp1251_literal.h"
#include "serial/ft232r.h"
#include "serial/wire.h"
#include "sim/names.h"
#include "tests/harness.h"
#include "tests/issp_trace.h"

namespace {

// A fresh world, the target acquired, `fault` and `busy_us` set for calibrate calls from now on,
// then a calibrate call written up to its start, leaving the wait to the test.
void start_calibrate_call(sim::ChipFault fault = sim::ChipFault::none, double busy_us = 300,
                          bool cable = false) {
  ASSERT_TRUE(cable ? harness::fresh_cable() : harness::fresh_com1());
  sim::set_usb_round_trip_us(0);  // on the cable, time is the bytes' own
  ASSERT_GE(issp::issp_acquire(17000), 0);
  sim::chip_config().faults.push_back(sim::chip_fault::at_call(fault, sim::RomFunction::calibrate));
  sim::set_rom_busy_us(sim::RomFunction::calibrate, busy_us);
  for (const auto& w : issp_trace::call_writes(static_cast<int>(sim::RomFunction::calibrate))) ASSERT_EQ(issp::issp_write(w.data, w.address), 0);
  ASSERT_EQ(wire::flush(), 0);
  sim::set_trace(true);
}

TEST(WaitPoll, EveryOutcome) {
  using sim::Call;
  using sim::ChipFault;
  const char* const other = RU("Непонятная ошибка ( код 31 ).");
  const struct {
    const char* name;
    ChipFault chip_fault;
    Call failing_call;  // any_serial: none
    uint32_t failing_escape;
    int result;
    long long pulses_min, pulses_max, polls_min, polls_max;  // polls: modem-status reads
    int32_t code;
    const char* text;
    double pace_us = 0;  // the wait after each of the last polls (0: not looked at)
  } cases[] = {
      {"done", ChipFault::none, Call::any_serial, 0, 0, 67, 106, 2, 200000, 0, ""},
      {"never low", ChipFault::stuck_high_after_release, Call::any_serial, 0, -2, 0, 0, 500000,
       500000, 0, "", 1},
      {"no busy", ChipFault::no_busy, Call::any_serial, 0, -3, 40, 40, 100081, 100081, 0, "", 5},
      {"busy forever", ChipFault::busy_never_ends, Call::any_serial, 0, -4, 1, 40, 100002, 100081,
       0, "", 5},
      {"release fails", ChipFault::none, Call::escape, platform::CLRBREAK, -1, 0, 0, 0, 0, 31, other},
      {"clock fails", ChipFault::none, Call::escape, platform::SETDTR, -1, 0, 0, 1, 1, 31, other},
      {"sample fails", ChipFault::none, Call::modem_status, 0, -1, 0, 0, 0, 1, 31, other},
      {"SetCommMask", ChipFault::none, Call::set_mask, 0, -11, 0, 0, 1, 1, 31,
       RU("Порт COM1 - ошибка 31 при вызове SetCommMask.")},
      {"CreateEvent", ChipFault::none, Call::create_event, 0, -12, 0, 0, 1, 1, 31,
       RU("Порт COM1 - ошибка 31 при создании обработчика события.")},
      {"WaitCommEvent", ChipFault::none, Call::wait_event, 0, -13, 0, 0, 1, 1, 31,
       RU("Порт COM1 - ошибка 31 при вызове WaitCommEvent.")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    start_calibrate_call(c.chip_fault, 300);
    if (c.failing_call != Call::any_serial) {
      sim::add_call_fault({c.failing_call, 1, 31, false, c.failing_escape});
    }
    const sim::Counters before = sim::counters();
    EXPECT_EQ(issp::issp_wait_and_poll(), c.result);
    const long long pulses = sim::counters().clock_pulses - before.clock_pulses;
    const long long polls = sim::counters().modem_status_calls - before.modem_status_calls;
    EXPECT_TRUE(harness::within(pulses, c.pulses_min, c.pulses_max + 1));
    EXPECT_TRUE(harness::within(polls, c.polls_min, c.polls_max + 1));
    EXPECT_EQ(output::error_code(), c.code);
    EXPECT_STREQ(output::error_text(), c.text);
    if (c.pace_us > 0) {
      // Serial calls cost nothing here: the step between samples is the wait alone.
      const auto& t = sim::trace();
      ASSERT_GE(t.size(), 2u);
      EXPECT_TRUE(harness::within(t[t.size() - 1].time_us - t[t.size() - 2].time_us, c.pace_us, c.pace_us + 1));
    }
  }
}

// The event word alone counts as the busy signal, for a target that never shows the line high to
// a sample. The call then ends with 66 clocks on the released line and the clock left low.
TEST(WaitPoll, ChangeSeenOnlyByNotification) {
  start_calibrate_call(sim::ChipFault::no_busy);
  sim::set_wait_completes_immediately(true);
  ASSERT_EQ(issp::issp_wait_and_poll(), 0);
  const auto p = issp_trace::pulses(1);
  EXPECT_EQ(p.size(), 1u + 66u);  // busy seen at the first check
  for (const auto& pulse : p) {
    EXPECT_EQ(pulse.data, 0);
    for (uint32_t s : pulse.samples) EXPECT_EQ(s & platform::MS_CTS_ON, 0u);
  }
  EXPECT_FALSE(sim::line_state(1).dtr);
}

// A busy signal already there at the first sample: that pass still ends with the clock low and
// its half-period, no second sample is taken, and no clock follows until the line has fallen.
// The change is reported late (as wine does), so the sample alone sees it.
TEST(WaitPoll, BusyAtFirstSample) {
  start_calibrate_call(sim::ChipFault::none, 2000);
  sim::set_cts_event_delay_us(1300);
  ASSERT_EQ(issp::issp_wait_and_poll(), 0);
  const auto& t = sim::trace();
  size_t clock = 0;
  const auto is_clock = [](const sim::TraceEntry& e) {
    return e.kind == sim::TraceEntry::escape && e.function == platform::SETDTR;
  };
  while (clock < t.size() && !is_clock(t[clock])) ++clock;
  ASSERT_LT(clock + 3, t.size());
  EXPECT_EQ(t[clock + 1].kind, sim::TraceEntry::sample);
  EXPECT_NE(t[clock + 1].function & platform::MS_CTS_ON, 0u);
  EXPECT_EQ(t[clock + 2].function, platform::CLRDTR);
  EXPECT_GE(t[clock + 3].time_us - t[clock + 2].time_us, 2.0);
  ASSERT_LT(clock + 4, t.size());
  EXPECT_GE(t[clock + 4].time_us - t[clock + 3].time_us, 5.0) << "the end of the call is polled";
  EXPECT_EQ(issp_trace::pulses(1).size(), 1u + 66u);
  // The release delay after the line was seen low, before the watch and before the trailing
  // clocks.
  ASSERT_GT(clock, 0u);
  EXPECT_EQ(t[clock - 1].kind, sim::TraceEntry::sample);
  EXPECT_GE(t[clock].time_us - t[clock - 1].time_us, 2.0);
  size_t trailing = clock + 3;
  while (trailing < t.size() && !is_clock(t[trailing])) ++trailing;
  ASSERT_LT(trailing, t.size());
  EXPECT_EQ(t[trailing - 1].kind, sim::TraceEntry::sample);
  EXPECT_GE(t[trailing].time_us - t[trailing - 1].time_us, 2.0);
}

}  // namespace

namespace {

// Every supervisory call's datasheet busy time, ten times over, still ends inside the tool's
// polls, whether a serial call costs nothing or 15 us.
TEST(WaitPoll, PollLimitsOutlastEveryBusyTime) {
  for (const double latency_us : {0.0, 15.0}) {
    SCOPED_TRACE(latency_us);
    sim::reset();
    sim::set_latency_us(latency_us);
    for (const auto& fn : sim::names::rom_functions) sim::set_rom_busy_us(fn.value, 10 * sim::rom_busy_us(fn.value));
    EXPECT_EQ(harness::run_tool({"-C1"}, "/sim/tolvern", output::key_enter).exit_code, 0);
    EXPECT_TRUE(sim::flash_equals_image());
    EXPECT_TRUE(sim::protection_set());
  }
}

}  // namespace
