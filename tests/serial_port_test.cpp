// Opening, configuring and closing a port on the simulated world, and the port error texts
// its failures leave in the record.
#include <gtest/gtest.h>

#include <string>

#include "output/cp1251_literal.h"
#include "output/error_record.h"
#include "platform/platform.h"
#include "serial/lines.h"
#include "serial/port.h"
#include "sim/world.h"

namespace {

void fresh_world() {
  sim::reset();
  output::reset_error_record();
  serial::reset_port_state();
  platform::set_last_error(0);
}

struct OpenCase {
  const char* label;
  int number;
  sim::PortKind kind;  // of the port opened
  sim::Call fault;     // any_serial = no fault
  uint32_t error;
  int32_t code;
  const char* text;
  bool open_after;
};

TEST(SerialPort, OpenFailuresLeaveRecordAndState) {
  const OpenCase cases[] = {
      {"number 0", 0, sim::PortKind::adapter, sim::Call::any_serial, 0, 13,
       RU("Неверный номер COM-порта ( 0 )."), false},
      {"number 100", 100, sim::PortKind::adapter, sim::Call::any_serial, 0, 13,
       RU("Неверный номер COM-порта ( 100 )."), false},
      {"absent", 12, sim::PortKind::absent, sim::Call::any_serial, 0, 110,
       RU("Порт невозможно открыть."), false},
      {"held by another program", 12, sim::PortKind::busy, sim::Call::any_serial, 0, 110,
       RU("Порт невозможно открыть."), false},
      {"open refused with 5", 12, sim::PortKind::adapter, sim::Call::open, 5, 110,
       RU("Порт невозможно открыть."), false},
      {"clear errors", 12, sim::PortKind::adapter, sim::Call::clear_errors, 21, 21,
       RU("Порт COM12 - работа была приостановлена."), true},
      {"build dcb", 12, sim::PortKind::adapter, sim::Call::build_dcb, 87, 87,
       RU("Порт COM12 - неверные параметры для открытия."), true},
      {"set state", 12, sim::PortKind::adapter, sim::Call::set_state, 31, 31,
       RU("Непонятная ошибка ( код 31 )."), true},
  };
  for (const OpenCase& c : cases) {
    SCOPED_TRACE(c.label);
    fresh_world();
    sim::set_port(12, c.kind);
    ASSERT_EQ(serial::open_port(1), 1);  // an earlier port is closed by every open
    if (c.fault != sim::Call::any_serial) sim::add_call_fault({c.fault, 1, c.error});
    EXPECT_EQ(serial::open_port(c.number), 0);
    EXPECT_EQ(output::error_code(), c.code);
    EXPECT_STREQ(output::error_text(), c.text);
    EXPECT_EQ(platform::last_error(), static_cast<uint32_t>(c.code));
    EXPECT_FALSE(sim::line_state(1).open);
    EXPECT_EQ(serial::port_is_open(), c.open_after);
    EXPECT_EQ(sim::open_port_count(), c.open_after ? 1 : 0);
    EXPECT_EQ(serial::close_port(), 1);
    EXPECT_EQ(sim::open_port_count(), 0);
  }
}

TEST(SerialPort, OpenOneAndTwoDigitPortsWithLinesOff) {
  for (int number : {9, 10, 99}) {
    SCOPED_TRACE(number);
    fresh_world();
    sim::set_port(number, sim::PortKind::adapter);
    output::set_error_code(5);
    ASSERT_EQ(serial::open_port(number), 1);
    EXPECT_EQ(output::error_code(), 0);
    EXPECT_STREQ(output::error_text(), "");
    EXPECT_EQ(serial::port.port_name, "COM" + std::to_string(number));
    EXPECT_EQ(serial::port.sample_delay_ms, 2);
    const sim::LineState lines = sim::line_state(number);
    EXPECT_TRUE(lines.open);
    EXPECT_FALSE(lines.rts || lines.dtr || lines.brk || lines.target_powered);
  }
}

TEST(SerialPort, CloseFailuresKeepThePortOpen) {
  const struct {
    sim::Call call;
    uint32_t error;
    const char* text;
  } cases[] = {
      {sim::Call::purge, 6, RU("Порт COM1 не открыт.")},
      {sim::Call::close, 2, RU("Порт COM1 не найден.")},
  };
  for (const auto& c : cases) {
    fresh_world();
    ASSERT_EQ(serial::open_port(1), 1);
    sim::add_call_fault({c.call, 1, c.error});
    EXPECT_EQ(serial::close_port(), 0);
    EXPECT_EQ(output::error_code(), static_cast<int32_t>(c.error));
    EXPECT_STREQ(output::error_text(), c.text);
    EXPECT_TRUE(serial::port_is_open());
    EXPECT_STREQ(serial::port.port_name, "COM1");
    EXPECT_EQ(serial::close_port(), 1);  // the fault was one call only
    EXPECT_FALSE(serial::port_is_open());
    EXPECT_EQ(sim::open_port_count(), 0);
  }
  // Closing with nothing open touches no device and empties the record.
  fresh_world();
  output::set_error_code(31);
  output::set_error_text("x");
  sim::add_call_fault({sim::Call::any_serial, 1, 31, true});
  EXPECT_EQ(serial::close_port(), 1);
  EXPECT_EQ(output::error_code(), 0);
  EXPECT_STREQ(output::error_text(), "");
}

// Every port error text, reached through a failing line switch with and without an open port.
TEST(SerialPort, PortErrorTextsThroughLineSwitch) {
  const struct {
    uint32_t error;
    const char* open_text;    // with COM3 open
    const char* closed_text;  // with no port open
  } cases[] = {
      {0, RU("Успешное окончание."), RU("Успешное окончание.")},
      {2, RU("Порт COM3 не найден."), RU("Порт не найден.")},
      {5, RU("Порт COM3 уже используется другим процессом, либо доступ к нему запрещен."),
       RU("Порт уже используется другим процессом, либо доступ к нему запрещен.")},
      {6, RU("Порт COM3 не открыт."), RU("Порт не открыт.")},
      {21, RU("Порт COM3 - работа была приостановлена."), RU("Порт - работа была приостановлена.")},
      {87, RU("Порт COM3 - неверные параметры для открытия."),
       RU("Порт - неверные параметры для открытия.")},
      {110, RU("Порт COM3 невозможно открыть."), RU("Порт невозможно открыть.")},
      {0xFFFFFF81u, RU("Порт COM3 непонятная ошибка."), RU("Порт непонятная ошибка.")},
      {31, RU("Непонятная ошибка ( код 31 )."), RU("Непонятная ошибка ( код 31 ).")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.error);
    for (bool open : {true, false}) {
      fresh_world();
      sim::set_port(3, sim::PortKind::adapter);
      if (open) {
        ASSERT_EQ(serial::open_port(3), 1);
      }
      sim::add_call_fault({sim::Call::escape, 1, c.error});
      EXPECT_EQ(serial::switch_line(platform::SETDTR), 0);
      EXPECT_EQ(output::error_code(), static_cast<int32_t>(c.error));
      EXPECT_STREQ(output::error_text(), open ? c.open_text : c.closed_text);
      EXPECT_EQ(platform::last_error(), c.error);
    }
  }
}

}  // namespace
