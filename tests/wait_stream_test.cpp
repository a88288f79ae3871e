// Waiting for a supervisory call on the FT232R cable, where every byte is a sample and the host
// sees it a round trip later: the watches' lengths in time, the clocks the chip gets, and a
// busy signal that comes and goes while the host is still deciding.
#include <gtest/gtest.h>

#include <vector>

#include "issp/acquire.h"
#include "issp/vectors.h"
#include "issp/wait_poll.h"
#include "platform/ftdi.h"
#include "serial/ft232r.h"
#include "serial/port.h"
#include "serial/wire.h"
#include "sim/model/chip.h"
#include "tests/harness.h"
#include "tests/issp_trace.h"

namespace {

std::vector<double> times_of(uint32_t function) {
  std::vector<double> times;
  for (const sim::TraceEntry& e : sim::trace()) {
    if (e.kind == sim::TraceEntry::escape && e.function == function) times.push_back(e.time_us);
  }
  return times;
}

// A fresh cable with its 1 ms round trip, the target acquired, the calibrate call given `fault`
// and `busy_us`, and written up to its start, leaving the wait to the test.
void start_calibrate_on_cable(sim::ChipFaultSpec fault, double busy_us) {
  ASSERT_TRUE(harness::fresh_cable());
  ASSERT_GE(issp::issp_acquire(17000), 0);
  sim::chip_config().faults.push_back(fault);
  sim::set_rom_busy_us(sim::RomFunction::calibrate, busy_us);
  const auto writes = issp_trace::call_writes(static_cast<int>(sim::RomFunction::calibrate));
  for (size_t i = 0; i + 1 < writes.size(); ++i) ASSERT_EQ(issp::issp_write(writes[i].data, writes[i].address), 0);
  ASSERT_EQ(wire::flush(), 0);
  sim::set_trace(true);
  // The write that starts the call goes out with the wait, as in a run.
  ASSERT_EQ(issp::issp_write(writes.back().data, writes.back().address), 0);
}

// The rises of the clock after t.
long long rises_after(double t) {
  long long n = 0;
  for (const double rise : times_of(platform::SETDTR)) n += rise > t ? 1 : 0;
  return n;
}


using sim::ChipFault;
namespace cf = sim::chip_fault;
constexpr sim::RomFunction calibrate = sim::RomFunction::calibrate;

// Each watch lasts at least what its polls and pauses take on a COM port whose calls cost
// nothing (500 000 x 1 us, 100 000 x 5 us), and not much more: the decision comes with the
// read-back of its last byte. The clocked watch is 40 clocks. A call that answers at all ends
// with exactly 66 clocks after its busy signal, however late it rose, and the chip is ready
// for the next vector. The chip never stood without bytes to clock during the call.
TEST(WaitStream, WatchLengthsAndClocksOnTheCable) {
  enum class From { release, last_pass, first_clock, none };
  const struct {
    const char* name;
    sim::ChipFaultSpec fault;
    double busy_us;
    int result;
    long long passes_min, passes_max;
    From from;         // where the timed watch starts
    double length_us;  // how long it lasts
  } cases[] = {
      {"done", cf::at_call(ChipFault::none, calibrate), 300, 0, 1, 1, From::none, 0},
      {"never low", cf::at_call(ChipFault::stuck_high_after_release, calibrate), 300, issp::wait_not_low, 0, 0,
       From::release, 500000},
      {"no busy", cf::at_call(ChipFault::no_busy, calibrate), 300, issp::wait_no_busy, 40, 40, From::last_pass,
       500000},
      {"busy forever", cf::at_call(ChipFault::busy_never_ends, calibrate), 300, issp::wait_busy_stuck, 1, 1,
       From::first_clock, 500000},
      // Rising after the first pass was decided and falling before the second pass's clock:
      // that clock lands after the end and counts among the 66.
      {"late 300 us, busy 112 us", cf::late_answer(calibrate, 300), 112, 0, 2, 2, From::none, 0},
      {"late 600 us, busy 112 us", cf::late_answer(calibrate, 600), 112, 0, 2, 2, From::none, 0},
      {"late 2.5 ms, busy 112 us", cf::late_answer(calibrate, 2500), 112, 0, 3, 4, From::none, 0},
      {"late 1.5 ms, busy 3 ms", cf::late_answer(calibrate, 1500), 3000, 0, 2, 3, From::none, 0},
      // A chip that starts its call at the release, before any clock: its busy signal, over
      // before the first pass's clock lands, is seen in the bytes written ahead after the low,
      // and that clock is one of the 66.
      {"no clock needed, busy at 300 us", cf::answer_without_clock(calibrate, 300), 112, 0, 1, 1, From::none, 0},
      // Just inside the quiet watch, and a busy signal just inside the wait for its end.
      {"late 499 ms", cf::late_answer(calibrate, 499000), 112, 0, 40, 40, From::none, 0},
      {"busy 499 ms", cf::at_call(ChipFault::none, calibrate), 499000, 0, 1, 1, From::none, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    start_calibrate_on_cable(c.fault, c.busy_us);
    ASSERT_EQ(issp::issp_wait_and_poll(), c.result);
    const double decided = sim::now_us();
    EXPECT_EQ(sim::cable_counters().gaps_in_calls, 0);
    // After the release no break is switched until the trailing clocks, which are still queued:
    // every rise after it is a pass of the clocked watch.
    const double release = times_of(platform::CLRBREAK).back();
    const long long passes = rises_after(release);
    EXPECT_TRUE(harness::within(passes, c.passes_min, c.passes_max + 1)) << passes;
    if (c.result != 0) {
      double from = release;
      if (c.from == From::last_pass) from = times_of(platform::CLRDTR).back();
      if (c.from == From::first_clock) from = decided - 1e9;
      for (const double rise : times_of(platform::SETDTR)) {
        if (c.from == From::first_clock && rise > release) {
          from = rise;
          break;
        }
      }
      EXPECT_TRUE(harness::within(decided - from, c.length_us, c.length_us + 3000)) << decided - from;
      continue;
    }
    ASSERT_EQ(wire::flush(), 0);  // the trailing clocks onto the lines
    EXPECT_EQ(rises_after(sim::chip::timed_fall()), issp::trailing_clocks);
    EXPECT_EQ(issp::issp_read(issp::mem(0xF8)), 0) << "the chip takes the next vector";
    EXPECT_EQ(sim::counters().timing_violations, 0);
    EXPECT_EQ(sim::counters().malformed_frames, 0);
  }
}

// A watch looks at every byte from its first through its last, wherever the transfers end:
// here the data line rises on exactly the last byte, the first byte not yet back when the
// watch starts.
TEST(WaitStream, WatchLooksThroughItsLastByte) {
  ASSERT_TRUE(harness::fresh_cable());
  const int64_t from = wire::position();
  ASSERT_EQ(wire::delay_us(298), 0);
  ASSERT_EQ(wire::set(platform::SETBREAK), 1);  // the break drives the data line, CTS reads it high
  const int64_t high = wire::position();
  ASSERT_EQ(wire::flush(), 0);  // every byte up to the rise is back, the rise's own not
  EXPECT_EQ(wire::watch(1, from, high - 1), wire::not_seen);
  EXPECT_EQ(wire::watch(1, from, high), high);
  EXPECT_EQ(wire::watch(1, high + 1, high + 5), high + 1);
  ASSERT_EQ(wire::set(platform::CLRBREAK), 1);
  ASSERT_EQ(serial::close_port(), 1);
}

// The simulated cable's round trip: a transfer starts when it is handed over or when the one
// before it has been clocked out, its read-back reaches the host one round trip after its last
// byte, and bytes written on what it showed reach the pins no sooner, however many transfers
// were in flight.
TEST(WaitStream, SimulatedRoundTrip) {
  ASSERT_TRUE(harness::fresh_cable());
  sim::set_trace(true);
  constexpr double round_trip_us = 1000;
  uint8_t clock_high[200], clock_low[200], in_a[200], in_b[200], in_c[1];
  for (uint8_t& b : clock_high) b = ft232r::idle_pins & ~ft232r::pin_dtr;
  for (uint8_t& b : clock_low) b = ft232r::idle_pins;
  const double t0 = sim::now_us();
  ASSERT_TRUE(platform::ftdi_submit(clock_high, in_a, sizeof clock_high));
  ASSERT_TRUE(platform::ftdi_submit(clock_low, in_b, sizeof clock_low));
  ASSERT_TRUE(platform::ftdi_done());
  EXPECT_DOUBLE_EQ(sim::now_us() - t0, 200 + round_trip_us);
  ASSERT_TRUE(platform::ftdi_done());
  EXPECT_DOUBLE_EQ(sim::now_us() - t0, 400 + round_trip_us);
  // The second transfer followed the first without a gap: one rise, one fall 200 us later.
  ASSERT_EQ(times_of(platform::SETDTR).size(), 1u);
  ASSERT_EQ(times_of(platform::CLRDTR).size(), 1u);
  EXPECT_DOUBLE_EQ(times_of(platform::CLRDTR)[0] - times_of(platform::SETDTR)[0], 200);
  // A byte decided on the last sample reaches the pins a round trip after that sample.
  const double last_sample = t0 + 399;
  ASSERT_TRUE(platform::ftdi_submit(clock_high, in_c, 1));
  ASSERT_TRUE(platform::ftdi_done());
  ASSERT_EQ(times_of(platform::SETDTR).size(), 2u);
  EXPECT_GE(times_of(platform::SETDTR)[1] - last_sample, round_trip_us);
  ASSERT_EQ(serial::close_port(), 1);
}

// The chip without bytes to clock while a call runs is counted, with how long: here a host
// that let the stream stand 5 ms after the write that starts the call.
TEST(WaitStream, UnsampledTimeDuringACallIsCounted) {
  start_calibrate_on_cable(cf::at_call(ChipFault::none, calibrate), 300);
  ASSERT_EQ(wire::flush(), 0);
  EXPECT_EQ(sim::cable_counters().gaps_in_calls, 0);
  wire::sleep_ms(5);
  ASSERT_EQ(issp::issp_wait_and_poll(), 0);
  EXPECT_EQ(sim::cable_counters().gaps_in_calls, 1);
  EXPECT_TRUE(harness::within(sim::cable_counters().gap_us_in_calls, 5000, 5000 + 1001));
}

}  // namespace
