// Power-off, acquisition, the connection loop and the run's ending around them.
#include <gtest/gtest.h>

#include <string>

#include "app/connection_loop.h"
#include "issp/acquire.h"
#include "issp/power.h"
#include "output/cp1251_literal.h"
#include "output/error_record.h"
#include "serial/port.h"
#include "sim/world.h"
#include "tests/harness.h"
#include "tests/issp_trace.h"

namespace {

using issp::mem;
using issp::reg;
using issp_trace::w;

std::string no_response_text(int stage) {
  char text[128];
  std::snprintf(text, sizeof text, RU("Нет ответа от микросхемы ( стадия %d )."), stage);
  return text;
}

class Acquire : public ::testing::Test {
 protected:
  void SetUp() override {
    issp_trace::fresh_world();
    ASSERT_TRUE(issp_trace::open_com1());
  }
};

TEST_F(Acquire, WireOrderAndIdentity) {
  sim::chip_config().silicon_id = 0x0000;  // a zero SiliconID is still an answer
  sim::chip_config().revision_id = 0xBEEF;
  sim::set_trace(true);
  const long long sleeps = sim::counters().sleeps;
  ASSERT_EQ(issp::issp_acquire(17000), 0);
  EXPECT_EQ(issp::chip_identity.RevisionID, 0xBEEF);
  EXPECT_EQ(output::error_code(), 0);
  EXPECT_EQ(serial::port.sample_delay_ms, 0);
  EXPECT_EQ(issp::timing.clock_half_period_us, 2);
  EXPECT_EQ(issp::timing.release_delay_us, 2);

  const auto p = issp_trace::pulses();
  // One 0 bit, then 0x328000 and five zero vectors.
  EXPECT_EQ(issp_trace::bits(p, 0, 1 + 22), "01100101000000000000000");
  EXPECT_EQ(issp_trace::bits(p, 23, 110), std::string(110, '0'));
  const auto d = issp_trace::decode(p, 133, 12 + 15 + 4);
  const std::vector<std::string> expected = {
      // calibrate
      w(0x2F7, 0), w(0x2F6, 0), w(0x0F8, 0x3A), w(0x0F9, 0x03), w(0x2F5, 0), w(0x2F4, 0x03),
      w(0x0FB, 0x80), w(0x2F9, 0x30), w(0x2FA, 0x40), w(0x2F0, 0x09), w(0x2F8, 0), w(0x2FF, 0x12),
      // table read of table 0
      w(0x2F7, 0x10), w(0x2E0, 0x02), w(0x2F7, 0), w(0x2F6, 0), w(0x0F8, 0x3A), w(0x0F9, 0x03),
      w(0x2F5, 0), w(0x2F4, 0x03), w(0x0FB, 0x80), w(0x2F9, 0x30), w(0x2FA, 0x40), w(0x0FA, 0),
      w(0x2F0, 0x06), w(0x2F8, 0), w(0x2FF, 0x12),
      // identity
      "r 0F8=00", "r 0F9=00", "r 2F0=EF", "r 2F3=BE"};
  EXPECT_EQ(d.vectors, expected);
  EXPECT_EQ(d.next, p.size());
  EXPECT_EQ(sim::counters().sleeps - sleeps, 3);  // only the initial power-off sleeps
  EXPECT_TRUE(sim::line_state(1).target_powered);
}

TEST_F(Acquire, StartDelay) {
  const struct {
    int32_t start_delay, waited;
  } cases[] = {{-1, 8000}, {0, 0}, {5000, 5000}};
  for (const auto& c : cases) {
    sim::set_trace(true);
    sim::clear_trace();
    ASSERT_GE(issp::issp_acquire(c.start_delay), 0);
    const auto& t = sim::trace();
    size_t on = 0;
    while (t[on].kind != sim::TraceEntry::escape || t[on].function != platform::SETRTS) ++on;
    // The first sample after power-on is wait_cts_low watching the data line.
    const double gap = t[on + 1].time_us - t[on].time_us;
    EXPECT_GE(gap, c.waited) << c.start_delay;
    EXPECT_LT(gap, c.waited + 50.0) << c.start_delay;
  }
}

TEST_F(Acquire, StageExitsAndFailures) {
  using sim::Call;
  using sim::ChipFault;
  struct Case {
    const char* name;
    ChipFault chip_fault;
    int function;
    Call call;
    int nth;
    uint32_t escape_function;
    int result;
  };
  const Case cases[] = {
      {"no answer after power-on", ChipFault::no_answer_after_power_on, -1, Call::any_serial, 0, 0, -2},
      {"calibrate: line stays high", ChipFault::stuck_high_after_release, 9, Call::any_serial, 0, 0, -12},
      {"calibrate: no busy", ChipFault::no_busy, 9, Call::any_serial, 0, 0, -13},
      {"calibrate: busy forever", ChipFault::busy_never_ends, 9, Call::any_serial, 0, 0, -14},
      {"calibrate: SetCommMask", ChipFault::none, -1, Call::set_mask, 1, 0, -21},
      {"calibrate: CreateEvent", ChipFault::none, -1, Call::create_event, 1, 0, -22},
      {"calibrate: WaitCommEvent", ChipFault::none, -1, Call::wait_event, 1, 0, -23},
      {"table read: line stays high", ChipFault::stuck_high_after_release, 6, Call::any_serial, 0, 0, -22},
      {"table read: no busy", ChipFault::no_busy, 6, Call::any_serial, 0, 0, -23},
      {"table read: busy forever", ChipFault::busy_never_ends, 6, Call::any_serial, 0, 0, -24},
      // The first arming's disarm clears the mask: the second arming is the third SetCommMask.
      {"table read: SetCommMask", ChipFault::none, -1, Call::set_mask, 3, 0, -31},
      {"table read: CreateEvent", ChipFault::none, -1, Call::create_event, 2, 0, -32},
      {"table read: WaitCommEvent", ChipFault::none, -1, Call::wait_event, 2, 0, -33},
      {"initial power-off fails", ChipFault::none, -1, Call::escape, 1, platform::CLRBREAK, -127},
      {"power-on fails", ChipFault::none, -1, Call::escape, 1, platform::SETRTS, -127},
      {"vector fails", ChipFault::none, -1, Call::escape, 40, platform::SETDTR, -127},
      {"stage exit power-off fails", ChipFault::no_busy, 9, Call::escape, 2, platform::CLRRTS, -127},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    issp_trace::fresh_world();
    ASSERT_TRUE(issp_trace::open_com1());
    if (c.chip_fault != ChipFault::none) {
      sim::ChipFaultSpec f;
      f.kind = c.chip_fault;
      f.function = c.function;
      sim::chip_config().faults.push_back(f);
    }
    if (c.call != Call::any_serial) {
      sim::add_call_fault({c.call, c.nth, 31, false, c.escape_function});
    }
    EXPECT_EQ(issp::issp_acquire(17000), c.result);
    if (c.result == -127) {
      EXPECT_EQ(output::error_code(), 31);
      EXPECT_STREQ(output::error_text(), RU("Непонятная ошибка ( код 31 )."));
    } else {
      EXPECT_EQ(output::error_code(), 10);
      EXPECT_EQ(output::error_text(), no_response_text(-c.result));
    }
    // Only a failed final switch can leave the power on.
    EXPECT_EQ(sim::line_state(1).rts, c.escape_function == platform::CLRRTS);
  }
}

TEST_F(Acquire, RevisionReadFailureKeepsSiliconID) {
  ASSERT_GE(issp::issp_acquire(17000), 0);
  const long long samples = sim::counters().modem_status_calls;
  issp_trace::fresh_world();
  ASSERT_TRUE(issp_trace::open_com1());
  // The last sample of a healthy acquisition belongs to the RevisionID's high byte.
  sim::add_call_fault({sim::Call::modem_status, static_cast<int>(samples), 31, false, 0});
  EXPECT_EQ(issp::issp_acquire(17000), -127);
  EXPECT_EQ(issp::chip_identity.SiliconID, 0x0010);
  EXPECT_EQ(issp::chip_identity.RevisionID, 0);
  EXPECT_EQ(output::error_code(), 31);
  EXPECT_FALSE(sim::line_state(1).target_powered);
}

TEST_F(Acquire, PowerOffUnderFailingLine) {
  struct Case {
    int keep_going;
    uint32_t failing;
    int result;
    std::vector<uint32_t> switched;  // the switches that took place
    double slept_ms;
  };
  using namespace platform;
  const Case cases[] = {
      {0, CLRBREAK, -1, {}, 0},
      {0, CLRDTR, -1, {CLRBREAK}, 2},
      {1, CLRBREAK, 1, {CLRDTR, CLRRTS}, 1502},
      {1, CLRDTR, 1, {CLRBREAK, CLRRTS}, 1502},
      {1, CLRRTS, 1, {CLRBREAK, CLRDTR}, 1502},
      {1, 0, 0, {CLRBREAK, CLRDTR, CLRRTS}, 1502},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.keep_going << " " << c.failing);
    issp_trace::fresh_world();
    ASSERT_TRUE(issp_trace::open_com1());
    serial::port.break_state = 1;
    if (c.failing != 0) sim::add_call_fault({sim::Call::escape, 1, 31, false, c.failing});
    sim::set_trace(true);
    const double start = sim::now_us();
    EXPECT_EQ(issp::target_power_off(c.keep_going), c.result);
    std::vector<uint32_t> calls;
    for (const auto& e : sim::trace()) calls.push_back(e.function);
    EXPECT_EQ(calls, c.switched);
    EXPECT_NEAR((sim::now_us() - start) / 1000.0, c.slept_ms, 1.0);
    // A failure is never hidden by a later successful switch.
    EXPECT_EQ(output::error_code(), c.failing != 0 ? 31 : 0);
    EXPECT_EQ(serial::port.break_state, (c.keep_going == 0 && c.failing == CLRBREAK) ? 1 : 0);
  }
}

int count(const std::string& haystack, const std::string& needle) {
  int n = 0;
  for (size_t at = haystack.find(needle); at != std::string::npos; at = haystack.find(needle, at + 1)) ++n;
  return n;
}

TEST_F(Acquire, ConnectionLoop) {
  const std::string attempt = harness::cp866(RU("\r\nНачальная задержка "));
  const std::string missed = harness::cp866(RU(" - нет ответа от микросхемы ( код 13 )."));
  const std::string gave_up = harness::cp866(RU("\r\n\r\nСвязь не установлена, завершаем работу.\r\n"));
  struct Case {
    double window_us;
    int result, attempts_min, attempts_max;
  };
  // 3000 us: below the shortest start delay, so every one of the 27 attempts misses.
  const Case cases[] = {{30000, 1, 1, 1}, {9000, 1, 2, 26}, {3000, 0, 27, 27}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.window_us);
    issp_trace::fresh_world();
    sim::chip_config().power_on_window_us = c.window_us;
    sim::chip_config().silicon_id = 0x1234;
    ASSERT_TRUE(issp_trace::open_com1());
    sim::clear_console_output();
    EXPECT_EQ(app::run_connection_loop(), c.result);
    const std::string out = sim::console_output();
    const int attempts = count(out, attempt);
    EXPECT_GE(attempts, c.attempts_min);
    EXPECT_LE(attempts, c.attempts_max);
    EXPECT_EQ(count(out, missed), attempts - c.result);
    EXPECT_EQ(out.find(harness::cp866(RU("\r\nНачальная задержка 3500 мкс"))), std::string::npos);
    if (c.result == 1) {
      EXPECT_NE(out.find(harness::cp866(RU(" мкс - ответ получен.\r\n\r\nДанные идентификации микросхемы:\r\n"
                                           "  SiliconID:  0x1234\r\n  RevisionID: 0x0021\r\n\r\n\r\n"))),
                std::string::npos);
      EXPECT_EQ(output::error_code(), 0);
      EXPECT_FALSE(sim::line_state(1).brk);
      EXPECT_EQ(serial::port.break_state, 0);
      EXPECT_TRUE(sim::line_state(1).target_powered);
    } else {
      EXPECT_NE(out.find(harness::cp866(RU("\r\nНачальная задержка 4000 мкс"))), std::string::npos);
      EXPECT_EQ(out.substr(out.size() - gave_up.size()), gave_up);
      EXPECT_EQ(output::error_code(), 10);
      EXPECT_EQ(output::error_text(), no_response_text(13));
      EXPECT_FALSE(sim::line_state(1).target_powered);
    }
  }
}

TEST_F(Acquire, ConnectionLoopStopsAtOtherStages) {
  sim::ChipFaultSpec f;
  f.kind = sim::ChipFault::no_answer_after_power_on;
  sim::chip_config().faults.push_back(f);
  sim::clear_console_output();
  EXPECT_EQ(app::run_connection_loop(), 0);
  EXPECT_EQ(count(sim::console_output(), harness::cp866(RU("Начальная задержка"))), 1);
  EXPECT_EQ(output::error_code(), 10);
  EXPECT_EQ(output::error_text(), no_response_text(2));
}

// The whole tool: every stage exit a silent chip can cause ends with exit code 10 and the stage
// in the text, the target unpowered.
TEST(AcquireRun, StageExitsEndWithCode10) {
  using sim::ChipFault;
  const struct {
    ChipFault fault;
    int function, stage;
  } cases[] = {{ChipFault::no_answer_after_power_on, -1, 2},
               {ChipFault::stuck_high_after_release, 9, 12},
               {ChipFault::no_busy, 9, 13},
               {ChipFault::busy_never_ends, 9, 14},
               {ChipFault::stuck_high_after_release, 6, 22},
               {ChipFault::no_busy, 6, 23},
               {ChipFault::busy_never_ends, 6, 24}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.stage);
    sim::reset();
    sim::ChipFaultSpec f;
    f.kind = c.fault;
    f.function = c.function;
    sim::chip_config().faults.push_back(f);
    const harness::RunResult r = harness::run_tool({});
    EXPECT_EQ(r.exit_code, 10);
    EXPECT_NE(r.console.find(harness::cp866(("\r\n\r\n" + no_response_text(c.stage)).c_str())),
              std::string::npos);
    EXPECT_FALSE(sim::line_state(1).target_powered);
    EXPECT_EQ(sim::counters().srom_calls[5], 0);
  }
}

// Acquired, but the data line cannot be handed back: the run ends on the port error.
TEST_F(Acquire, ConnectionLoopReleaseFails) {
  sim::set_trace(true);
  ASSERT_GE(issp::issp_acquire(17000), 0);
  int clear_breaks = 0;
  for (const auto& e : sim::trace()) clear_breaks += e.function == platform::CLRBREAK ? 1 : 0;
  issp_trace::fresh_world();
  ASSERT_TRUE(issp_trace::open_com1());
  sim::add_call_fault({sim::Call::escape, clear_breaks + 1, 31, false, platform::CLRBREAK});
  EXPECT_EQ(app::run_connection_loop(), 0);
  EXPECT_EQ(output::error_code(), 31);
  EXPECT_EQ(serial::port.break_state, 1);
}

TEST(AcquireRun, LastChanceKeys) {
  const std::string prompt = harness::cp866(RU("Последний шанс"));
  const struct {
    std::vector<int> early, at_prompt;
    int exit_code;
    long long erase_calls;
  } cases[] = {
      {{}, {27}, 1, 0},
      // A key that does nothing empties the keyboard, so each case holds one such key; the
      // keyboard then runs dry, which answers as ESC.
      {{13}, {'a'}, 1, 0},        // early ENTER discarded, a letter ignored
      {{13}, {0xE0, 0x48}, 1, 0},  // an arrow ignored
      {{27}, {13}, 0, 1},         // early ESC discarded, ENTER goes on
  };
  for (const auto& c : cases) {
    sim::reset();
    sim::push_keys(c.early);
    sim::push_keys_after(prompt, c.at_prompt);
    const harness::RunResult r = harness::run_tool({});
    EXPECT_EQ(r.exit_code, c.exit_code);
    EXPECT_EQ(sim::counters().srom_calls[5], c.erase_calls);
    EXPECT_FALSE(sim::line_state(1).target_powered);
    if (c.exit_code == 1) {
      EXPECT_NE(r.console.find(harness::cp866(RU("\r\n\r\nРабота прервана.\r\n"))), std::string::npos);
    }
  }
}

}  // namespace
