// The serial layer on the simulated world: opening, configuring and closing a port and the
// port error texts its failures leave in the record; switching and sampling the adapter's
// lines and arming the CTS change notification; microsecond delays and the timed wait for a
// low data line.
#include <gtest/gtest.h>

#include <string>

#include "output/error_record.h"
#include "platform/cp1251_literal.h"
#include "platform/platform.h"
#include "serial/lines.h"
#include "serial/port.h"
#include "serial/timing.h"
#include "sim/world.h"
#include "tests/harness.h"

namespace {

using K = sim::PortKind;
using Call = sim::Call;

TEST(SerialPort, OpenLeavesRecordAndState) {
  // kind: of COM12 (COM9, COM10 and COM99 carry adapters); fault: any_serial = none, else it fails with code.
  const struct { const char* label; int number; K kind; Call fault; int32_t code; const char* text; bool open_after;
      } cases[] = {
      {"COM9", 9, K::adapter, Call::any_serial, 0, "", true},
      {"COM10", 10, K::adapter, Call::any_serial, 0, "", true},
      {"COM99", 99, K::adapter, Call::any_serial, 0, "", true},
      {"number 0", 0, K::adapter, Call::any_serial, 13, RU("Неверный номер COM-порта ( 0 )."), false},
      {"number 100", 100, K::adapter, Call::any_serial, 13, RU("Неверный номер COM-порта ( 100 )."), false},
      {"held by another program", 12, K::busy, Call::any_serial, 110, RU("Порт невозможно открыть."), false},
      {"clear errors", 12, K::adapter, Call::clear_errors, 21, RU("Порт COM12 - работа была приостановлена."), true},
      {"build dcb", 12, K::adapter, Call::build_dcb, 87, RU("Порт COM12 - неверные параметры для открытия."), true},
      {"set state", 12, K::adapter, Call::set_state, 31, RU("Непонятная ошибка ( код 31 )."), true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    harness::reset_world();
    sim::set_port(12, c.kind);
    for (int n : {9, 10, 99}) sim::set_port(n, K::adapter);
    ASSERT_EQ(serial::open_port(1), 1);  // an earlier port is closed by every open
    if (c.fault != Call::any_serial) sim::add_call_fault({c.fault, 1, static_cast<uint32_t>(c.code)});
    output::set_error_code(5);
    EXPECT_EQ(serial::open_port(c.number), c.code == 0 ? 1 : 0);
    EXPECT_EQ(output::error_code(), c.code);
    EXPECT_STREQ(output::error_text(), c.text);
    EXPECT_EQ(platform::last_error(), static_cast<uint32_t>(c.code));
    EXPECT_FALSE(sim::line_state(1).open);
    EXPECT_EQ(serial::port_is_open(), c.open_after);
    EXPECT_EQ(sim::open_port_count(), c.open_after ? 1 : 0);
    if (c.code == 0) {
      EXPECT_EQ(serial::port.port_name, std::string(c.label));
      const sim::LineState lines = sim::line_state(c.number);
      EXPECT_FALSE(lines.rts || lines.dtr || lines.brk || lines.target_powered);
      // 9600 8N1 from the mode text; the handshake the system filled in is cleared again.
      const platform::Dcb d = sim::applied_dcb(c.number);
      EXPECT_EQ(harness::format("%u %u %d %d %d %#x %d %d %02x %02x %02x %02x %02x", d.DCBlength, d.BaudRate, d.ByteSize,
                                d.Parity, d.StopBits, d.flags, d.XonLim, d.XoffLim, d.XonChar, d.XoffChar, d.ErrorChar,
                                d.EofChar, d.EvtChar),
                harness::format("28 9600 8 0 0 %#x 1 8 11 13 00 19 1b", platform::dcb_binary));
    }
  }
}

// A failed purge is reported but the handle is closed all the same, so the next open is not
// blocked by it; a failed CloseHandle keeps the port open and recorded.
TEST(SerialPort, CloseFailures) {
  for (Call call : {Call::purge, Call::close}) {
    harness::reset_world();
    ASSERT_EQ(serial::open_port(1), 1);
    sim::add_call_fault({call, 1, 6});
    EXPECT_EQ(serial::close_port(), 0);
    EXPECT_EQ(output::error_code(), 6);
    EXPECT_STREQ(output::error_text(), RU("Порт COM1 не открыт."));
    EXPECT_EQ(serial::port_is_open(), call == Call::close);
    EXPECT_EQ(sim::open_port_count(), call == Call::close ? 1 : 0);
    EXPECT_EQ(serial::close_port(), 1);  // the fault was one call only
    EXPECT_EQ(sim::open_port_count(), 0);
  }
}

void open_com4() {
  harness::reset_world();
  sim::set_port(4, K::adapter);
  ASSERT_EQ(serial::open_port(4), 1);
}

TEST(SerialLines, ReadModemLineMasks) {
  // Break on drives CTS high; RTS on powers the target and comes back on DSR.
  const struct {
    uint32_t line;  // switched on first (0 = none)
    int cts, dsr, either;
  } cases[] = {
      {platform::SETBREAK, 1, 0, 1},
      {platform::SETRTS, 0, 1, 1},
      {0, 0, 0, 0},
  };
  for (const auto& c : cases) {
    open_com4();
    if (c.line != 0) {
      ASSERT_EQ(serial::switch_line(c.line), 1);
      platform::sleep_ms(40);  // the adapter's DSR echo lags RTS
    }
    EXPECT_EQ(serial::read_modem_line(platform::MS_CTS_ON), c.cts);
    EXPECT_EQ(serial::read_modem_line(platform::MS_DSR_ON), c.dsr);
    EXPECT_EQ(serial::read_modem_line(0x30), c.either);
  }
  // After opening, every sample waits 2 ms for the adapter's echo; the ISSP engine's 0 none.
  for (int32_t delay_ms : {2, 0}) {
    serial::port.sample_delay_ms = delay_ms;
    const double before = sim::now_us();
    ASSERT_GE(serial::read_modem_line(platform::MS_CTS_ON), 0);
    EXPECT_TRUE(harness::within(sim::now_us() - before, delay_ms * 1000.0, delay_ms * 1000.0 + 100.0));
  }
}

TEST(SerialLines, ArmCtsEvent) {
  // A failed wait is followed by a disarm that fails with another number, which must not
  // replace the wait's own.
  open_com4();
  sim::add_call_fault({Call::wait_event, 1, 1167});
  sim::add_call_fault({Call::set_mask, 2, 87});
  EXPECT_EQ(serial::arm_cts_event(), -3);
  EXPECT_EQ(output::error_code(), 1167);
  EXPECT_STREQ(output::error_text(), RU("Порт COM4 - ошибка 1167 при вызове WaitCommEvent."));

  // Completed at once: the word already says CTS changed; the record is left alone.
  open_com4();
  output::set_error_code(77);
  sim::set_wait_completes_immediately(true);
  EXPECT_EQ(serial::arm_cts_event(), 0);
  EXPECT_EQ(*serial::cts_event_mask_word(), platform::EV_CTS);
  EXPECT_EQ(output::error_code(), 77);
  serial::disarm_cts_event();

  // Pending: the word stays 0 until CTS moves.
  open_com4();
  ASSERT_EQ(serial::arm_cts_event(), 0);
  EXPECT_EQ(*serial::cts_event_mask_word(), 0u);
  ASSERT_EQ(serial::switch_line(platform::SETBREAK), 1);
  EXPECT_NE(*serial::cts_event_mask_word(), 0u);
  serial::disarm_cts_event();
}

void fresh_world(int64_t frequency) {
  harness::reset_world();
  sim::set_frequency(frequency);
}

// A good delay waits the truncated tick count and leaves the record alone. A failed counter
// must never leave code 0 in the record, or the run could end with exit 0.
TEST(Timing, Delay) {
  // step: ticks added by each counter read; fault: any_serial = none; code: 0: the delay succeeds.
  const struct { const char* label; int64_t frequency, counter_start, step; sim::CallFault fault; int32_t us;
      int64_t ticks; int32_t code; } cases[] = {
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
  // line: switched on first: RTS powers the target (high 5 ms), break holds CTS high; fault: any_serial = none;
  // low, high: the result's range.
  const struct { const char* label; uint32_t line; sim::CallFault fault; int64_t frequency; int32_t low, high;
      int32_t code; std::string text; } cases[] = {
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
      EXPECT_TRUE(harness::within(sim::now_us() - start, 1000000.0, 1000000.0 + 2 * 2000.0));
    }
  }
}

}  // namespace
