// Power-off, acquisition, the connection loop and the run's ending around them.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>

#include "app/connection_loop.h"
#include "app/run.h"
#include "issp/acquire.h"
#include "issp/power.h"
#include "output/error_record.h"
#include "platform/cp1251_literal.h"
#include "serial/port.h"
#include "tests/harness.h"
#include "tests/issp_trace.h"

namespace {

using harness::count;
using harness::cp866;
using issp_trace::as_text;
using issp_trace::call_writes;

TEST(Acquire, WireOrderAndIdentity) {
  ASSERT_TRUE(harness::fresh_com1());
  sim::chip_config().silicon_id = 0x0000;  // a zero SiliconID is still an answer
  sim::chip_config().revision_id = 0xBEEF;
  sim::set_trace(true);
  const long long sleeps = sim::counters().sleeps;
  ASSERT_EQ(issp::issp_acquire(17000), 0);
  const auto p = issp_trace::pulses();
  // One 0 bit, then 0x328000 and five zero vectors.
  EXPECT_EQ(issp_trace::bits(p, 0, 1 + 22), "01100101000000000000000");
  EXPECT_EQ(issp_trace::bits(p, 23, 110), std::string(110, '0'));
  // Calibrate, table read of table 0, the identity; nothing after.
  auto expected = as_text(call_writes(6, {{0x2F7, 0x10}, {0x2E0, 0x02}}), as_text(call_writes(9)));
  expected.insert(expected.end(), {"r 0F8=00", "r 0F9=00", "r 2F0=EF", "r 2F3=BE"});
  EXPECT_EQ(issp_trace::decode(p, 133, 100), expected);
  EXPECT_EQ(sim::counters().sleeps - sleeps, 3);  // only the initial power-off sleeps
}

// The start delay from power-on to the first look at the data line, and the 2 us clock
// phases of every bit after it.
TEST(Acquire, StartDelayAndClockPhases) {
  for (const auto& c : {std::pair<int32_t, double>{17000, 17000}, {-1, 8000}, {0, 0}, {4000, 4000}}) {
    SCOPED_TRACE(c.first);
    ASSERT_TRUE(harness::fresh_com1());
    sim::set_trace(true);
    ASSERT_GE(issp::issp_acquire(c.first), 0);
    const auto& t = sim::trace();
    size_t on = 0;
    while (on < t.size() && !(t[on].kind == sim::TraceEntry::escape && t[on].function == platform::SETRTS)) ++on;
    ASSERT_LT(on + 1, t.size());
    EXPECT_EQ(t[on + 1].kind, sim::TraceEntry::sample);
    EXPECT_TRUE(harness::within(t[on + 1].time_us - t[on].time_us, c.second, c.second + 2));
    double rise = -1;
    int phases = 0;
    for (size_t i = on; i < t.size(); ++i) {
      if (t[i].kind != sim::TraceEntry::escape) continue;
      if (t[i].function == platform::SETDTR) rise = t[i].time_us;
      if (t[i].function == platform::CLRDTR && rise >= 0) {
        EXPECT_LT(t[i].time_us - rise, 2.5);
        ++phases;
        rise = -1;
      }
    }
    EXPECT_GT(phases, 900);
    EXPECT_EQ(sim::counters().timing_violations, 0);
  }
}

// A line that fails during acquisition: -127 with the port error. Only a failed power switch
// can leave the target powered.
TEST(Acquire, LineFailures) {
  using namespace platform;
  // The nth switch: the initial power-off, power-on, a vector, the power-off of a stage exit.
  for (const auto& [nth, line] : {std::pair{1, CLRBREAK}, std::pair{1, SETRTS}, std::pair{40, SETDTR},
                                  std::pair{2, CLRRTS}}) {
    SCOPED_TRACE(line);
    ASSERT_TRUE(harness::fresh_com1());
    if (line == CLRRTS) sim::chip_config().faults.push_back(sim::chip_fault::at_call(sim::ChipFault::no_busy, sim::RomFunction::calibrate));
    sim::add_call_fault({sim::Call::escape, nth, 31, false, line});
    EXPECT_EQ(issp::issp_acquire(17000), -127);
    EXPECT_EQ(output::error_code(), 31);
    EXPECT_STREQ(output::error_text(), RU("Непонятная ошибка ( код 31 )."));
    EXPECT_EQ(sim::line_state(1).rts, line == CLRRTS);
  }
}

// The switches that still happen, and the supply's discharge sleeps, when one fails. A failure is
// never hidden by a later successful switch.
TEST(Acquire, PowerOffUnderFailingLine) {
  using namespace platform;
  const struct {
    int keep_going, result;
    uint32_t failing;
    std::vector<uint32_t> switched;
    double slept_ms;
  } cases[] = {
      {0, -1, CLRDTR, {CLRBREAK}, 2},
      {1, 1, CLRBREAK, {CLRDTR, CLRRTS}, 1502},
      {1, 0, 0, {CLRBREAK, CLRDTR, CLRRTS}, 1502},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.keep_going << " " << c.failing);
    ASSERT_TRUE(harness::fresh_com1());
    if (c.failing != 0) sim::add_call_fault({sim::Call::escape, 1, 31, false, c.failing});
    sim::set_trace(true);
    const double start = sim::now_us();
    EXPECT_EQ(issp::target_power_off(c.keep_going), c.result);
    EXPECT_EQ(issp_trace::escapes(), c.switched);
    EXPECT_NEAR((sim::now_us() - start) / 1000.0, c.slept_ms, 1.0);
    EXPECT_EQ(output::error_code(), c.failing != 0 ? 31 : 0);
  }
}

// A missed power-on window (code 13) is retried with a shorter start delay until one hits it;
// then the identity is shown and the data line handed back. If that hand-back fails, the loop
// ends on the port error with the line still driven. A line failure inside acquisition gives up
// at once, with no no-response line.
TEST(Acquire, ConnectionLoop) {
  ASSERT_TRUE(harness::fresh_com1());
  sim::chip_config().power_on_window_us = 9000;
  sim::chip_config().silicon_id = 0x1234;
  sim::set_trace(true);
  sim::clear_console_output();
  EXPECT_EQ(app::run_connection_loop(), 1);
  const std::string out = sim::console_output();
  const int attempts = count(out, cp866(RU("\r\nНачальная задержка ")));
  EXPECT_GE(attempts, 2);
  EXPECT_LE(attempts, 26);
  EXPECT_EQ(count(out, cp866(RU(" - нет ответа от микросхемы ( код 13 )."))), attempts - 1);
  EXPECT_NE(out.find(cp866(RU(" мкс - ответ получен.\r\n\r\nДанные идентификации микросхемы:\r\n"
                              "  SiliconID:  0x1234\r\n  RevisionID: 0x0021\r\n\r\n"))),
            std::string::npos);
  EXPECT_EQ(output::error_code(), 0);
  EXPECT_TRUE(sim::line_state(1).target_powered);
  EXPECT_FALSE(sim::line_state(1).brk);

  const auto switched = issp_trace::escapes();  // the last CLRBREAK hands the line back
  const int clear_breaks = static_cast<int>(std::count(switched.begin(), switched.end(), platform::CLRBREAK));
  ASSERT_TRUE(harness::fresh_com1());
  sim::chip_config().power_on_window_us = 9000;
  sim::add_call_fault({sim::Call::escape, clear_breaks, 31, false, platform::CLRBREAK});
  EXPECT_EQ(app::run_connection_loop(), 0);
  EXPECT_EQ(output::error_code(), 31);
  EXPECT_EQ(serial::port.break_state, 1);

  ASSERT_TRUE(harness::fresh_com1());
  sim::add_call_fault({sim::Call::escape, 40, 31, false, platform::SETDTR});
  sim::clear_console_output();
  EXPECT_EQ(app::run_connection_loop(), 0);
  const std::string gave_up = sim::console_output();
  EXPECT_EQ(count(gave_up, cp866(RU("\r\nНачальная задержка "))), 1);
  EXPECT_EQ(gave_up.find(cp866(RU(" - нет ответа"))), std::string::npos);
  EXPECT_EQ(output::error_code(), 31);
}

// The whole tool: a stage exit ends with exit code 10 and the stage in the text, the target off,
// the flash untouched. Only stage 13 is retried, from 17000 us down to 4000 us: 27 attempts.
TEST(AcquireRun, StageExitsEndWithCode10) {
  using sim::Call;
  using sim::ChipFault;
  using sim::chip_fault::at_call;
  constexpr auto calibrate = sim::RomFunction::calibrate, table_read = sim::RomFunction::table_read;
  const struct {
    sim::ChipFaultSpec fault;
    Call call;  // arming the CTS notification fails at the nth such call
    int nth, stage;
  } cases[] = {
      {sim::chip_fault::no_answer_after_power_on(), Call::any_serial, 0, 2},
      {at_call(ChipFault::stuck_high_after_release, calibrate), Call::any_serial, 0, 12},
      {at_call(ChipFault::no_busy, calibrate), Call::any_serial, 0, 13},
      {at_call(ChipFault::busy_never_ends, calibrate), Call::any_serial, 0, 14},
      {{}, Call::set_mask, 1, 21},
      {{}, Call::create_event, 1, 22},
      {{}, Call::wait_event, 1, 23},
      {at_call(ChipFault::stuck_high_after_release, table_read), Call::any_serial, 0, 22},
      {at_call(ChipFault::no_busy, table_read), Call::any_serial, 0, 23},
      {at_call(ChipFault::busy_never_ends, table_read), Call::any_serial, 0, 24},
      // The first arming's disarm clears the mask: the second arming is the third SetCommMask.
      {{}, Call::set_mask, 3, 31},
      {{}, Call::create_event, 2, 32},
      {{}, Call::wait_event, 2, 33},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.stage);
    sim::reset();
    sim::chip_config().faults.push_back(c.fault);
    if (c.call != Call::any_serial) sim::add_call_fault({c.call, c.nth, 31, false, 0});
    const harness::RunResult r = harness::run_tool({});
    EXPECT_EQ(r.exit_code, 10);
    EXPECT_NE(r.console.find(cp866(harness::format(RU("\r\n\r\nНет ответа от микросхемы ( стадия %d )."), c.stage))),
              std::string::npos);
    EXPECT_EQ(count(r.console, cp866(RU("Начальная задержка"))), c.stage == 13 ? 27 : 1);
    EXPECT_EQ(count(r.console, cp866(RU("\r\n\r\nСвязь не установлена, завершаем работу.\r\n"))),
              c.stage == 13 ? 1 : 0);
    EXPECT_EQ(sim::rom_calls(sim::RomFunction::erase_all), 0);
  }
}

// The last-chance prompt: keys pressed before it are dropped, arrows and letters typed at it
// are ignored, only ESC and ENTER act. Erase all is made to fail at once, so that ENTER shows
// as exit code 100 after one erase call.
TEST(AcquireRun, LastChanceKeys) {
  const std::vector<int> up{0xE0, 0x48}, left{0xE0, 0x4B};
  const struct {
    const char* name;
    int early;                             // pressed while the identity shows
    std::vector<std::vector<int>> typed;   // typed at the prompt, one at a time
    int exit_code;
  } cases[] = {
      {"early ENTER, then arrow, letter, ESC", 13, {up, {'a'}, {27}}, 1},
      {"early ESC, then arrow, letter, ENTER", 27, {left, {'q'}, {13}}, 100},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    sim::reset();
    sim::chip_config().faults.push_back(sim::chip_fault::at_call(sim::ChipFault::stuck_high_after_release, sim::RomFunction::erase_all));
    sim::push_keys_after(cp866(RU("Данные идентификации")), {c.early});
    sim::type_keys_after(cp866(app::last_chance_prompt()), c.typed, 100000);
    const harness::RunResult r = harness::run_tool({});
    EXPECT_EQ(r.exit_code, c.exit_code);
    EXPECT_EQ(sim::rom_calls(sim::RomFunction::erase_all), c.exit_code == 100 ? 1 : 0);
    EXPECT_EQ(count(r.console, cp866(RU("\r\n\r\nРабота прервана.\r\n"))), c.exit_code == 1 ? 1 : 0);
  }
}

}  // namespace
