// The device map's acceptance rules, the adapter probe and the choice of the work port, on
// the simulated world.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "harness.h"
#include "output/cp1251_literal.h"
#include "output/error_record.h"
#include "output/messages.h"
#include "platform/platform.h"
#include "serial/discovery.h"
#include "serial/port.h"
#include "sim/world.h"

namespace {

void fresh_world() {
  sim::reset();
  output::reset_error_record();
  output::reset_messages();
  serial::reset_port_state();
  serial::reset_discovery();
}

std::vector<int> listed_ports() {
  std::vector<int> ports;
  for (uint8_t n : serial::port_list) {
    if (n == 0) break;
    ports.push_back(n);
  }
  return ports;
}

sim::DevmapEntry raw(const std::u16string& name, const std::u16string& text, uint32_t type = 1) {
  sim::DevmapEntry e{name, type, {}};
  for (char16_t u : text) {
    e.data.push_back(static_cast<uint8_t>(u & 0xFF));
    e.data.push_back(static_cast<uint8_t>(u >> 8));
  }
  return e;
}

TEST(Discovery, DeviceMapAcceptanceRules) {
  std::vector<sim::DevmapEntry> many;
  for (int n = 36; n >= 20; --n) {  // 17 acceptable ports: only the first 15 read enter the list
    const std::string number = std::to_string(n);
    many.push_back(sim::devmap_text(u"\\Device\\Serial" + std::u16string(number.begin(), number.end()),
                                    u"COM" + std::u16string(number.begin(), number.end())));
  }
  std::vector<int> many_expected;
  for (int n = 22; n <= 36; ++n) many_expected.push_back(n);

  const struct {
    const char* label;
    std::vector<sim::DevmapEntry> entries;
    std::vector<int> ports;
  } cases[] = {
      {"names",
       {sim::devmap_text(u"\\Device\\Serial10", u"COM12"), sim::devmap_text(u"\\Device\\Serial0", u"COM1"),
        sim::devmap_text(u"\\Device\\USBSER000", u"COM3"), sim::devmap_text(u"\\Device\\VCP0", u"COM4"),
        sim::devmap_text(u"\\device\\serial1", u"COM5"), sim::devmap_text(u"\\Device\\Serial", u"COM6"),
        sim::devmap_text(u"\\DEVICE\\xSERIAL9", u"COM7"), sim::devmap_text(u"\\Device\\Seri\u0430l1", u"COM8")},
       {1, 5, 7, 12}},
      {"data",
       {sim::devmap_text(u"\\Device\\Serial0", u"COM0"), sim::devmap_text(u"\\Device\\Serial1", u"COM100"),
        sim::devmap_text(u"\\Device\\Serial2", u"COMX"), sim::devmap_text(u"\\Device\\Serial3", u"LPT1"),
        sim::devmap_text(u"\\Device\\Serial4", u"com9"), sim::devmap_text(u"\\Device\\Serial5", u"COM"),
        sim::devmap_text(u"\\Device\\Serial6", u"COM99")},
       {9, 99}},
      {"data without terminator",
       {raw(u"\\Device\\Serial0", u"COM8"), raw(u"\\Device\\Serial1", u"COM4X"),
        raw(u"\\Device\\Serial2", std::u16string(u"COM3\0ZZ", 7))},
       {3, 8}},
      {"not a text value", {raw(u"\\Device\\Serial0", u"COM2", 3)}, {}},
      {"duplicates", {sim::devmap_text(u"\\Device\\Serial0", u"COM3"), sim::devmap_text(u"\\Device\\Serial1", u"COM3")}, {3}},
      {"sixteen and more", many, many_expected},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    fresh_world();
    sim::set_devmap(c.entries);
    output::set_error_code(5);
    EXPECT_EQ(serial::enumerate_ports(), 1);
    EXPECT_EQ(listed_ports(), c.ports);
    EXPECT_EQ(output::error_code(), 0);
  }
}

TEST(Discovery, DeviceMapFailures) {
  const struct {
    const char* label;
    sim::Call call;
    uint32_t error;
  } cases[] = {
      {"open", sim::Call::devmap_open, 5},
      {"read, more data", sim::Call::devmap_read, 234},
      {"close", sim::Call::devmap_close, 6},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    fresh_world();
    sim::add_call_fault({c.call, 1, c.error});
    EXPECT_EQ(serial::enumerate_ports(), 0);
    EXPECT_EQ(output::error_code(), static_cast<int32_t>(c.error));
    char expected[128];
    std::snprintf(expected, sizeof expected, RU("Ошибка %d при обращении к системному реестру."),
                  static_cast<int>(c.error));
    EXPECT_STREQ(output::error_text(), expected);
    EXPECT_EQ(platform::last_error(), c.error);
  }
  // A machine without serial ports has no map at all: an empty list, not a failure.
  fresh_world();
  sim::set_devmap_missing(true);
  EXPECT_EQ(serial::enumerate_ports(), 1);
  EXPECT_TRUE(listed_ports().empty());
}

TEST(Discovery, ProbeResults) {
  const struct {
    const char* label;
    sim::PortKind kind;
    sim::Call call;  // any_serial = no fault
    int nth;
    uint32_t error;
    int result;
    int32_t code;
  } cases[] = {
      {"adapter", sim::PortKind::adapter, sim::Call::any_serial, 1, 0, 1, 0},
      {"plain port", sim::PortKind::plain, sim::Call::any_serial, 1, 0, 126, 0},
      {"busy", sim::PortKind::busy, sim::Call::any_serial, 1, 0, 127, 110},
      {"absent", sim::PortKind::absent, sim::Call::any_serial, 1, 0, 127, 110},
      {"switch fails with 2", sim::PortKind::adapter, sim::Call::escape, 1, 2, 2, 0},
      {"sample fails with 5 while RTS is on", sim::PortKind::adapter, sim::Call::modem_status, 1, 5, 5, 0},
      {"sample fails with 21", sim::PortKind::adapter, sim::Call::modem_status, 4, 21, 127, 21},
      {"close fails", sim::PortKind::adapter, sim::Call::purge, 1, 31, 127, 31},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    fresh_world();
    sim::set_port(1, c.kind);
    if (c.call != sim::Call::any_serial) sim::add_call_fault({c.call, c.nth, c.error});
    int32_t code = -1;
    EXPECT_EQ(serial::probe_port(1, &code), c.result);
    EXPECT_EQ(code, c.code);
    EXPECT_FALSE(serial::port_is_open());
    EXPECT_EQ(sim::open_port_count(), 0);
    EXPECT_FALSE(sim::line_state(1).rts);  // no target left powered
    EXPECT_EQ(output::error_code(), 0);
    EXPECT_STREQ(output::error_text(), "");
  }
}

std::string ru(const char* text) { return harness::cp866(text); }

TEST(Discovery, FindAdapterOutcomes) {
  using K = sim::PortKind;
  const struct {
    const char* label;
    std::vector<std::pair<int, K>> ports;
    uint32_t escape_error;  // 0 = none; else every line switch fails with it
    int result;
    std::string output;
  } cases[] = {
      {"one adapter", {{1, K::adapter}, {3, K::plain}}, 0, 1,
       ru(RU("\r\nНайдено COM-портов - 2:\r\n COM1 - обнаружен адаптер.\r\n COM3 - доступен.\r\n\r\n"))},
      {"none", {{2, K::plain}, {11, K::busy}}, 0, serial::adapter_none,
       ru(RU("\r\nНайдено COM-портов - 2:\r\n COM2 - доступен.\r\n COM11 - непонятная ошибка ( код 110 ).\r\n"
             "\r\n\r\nАдаптер не обнаружен. Завершаем работу.\r\n"))},
      {"two", {{1, K::adapter}, {3, K::adapter}}, 0, serial::adapter_several,
       ru(RU("\r\nНайдено COM-портов - 2:\r\n COM1 - обнаружен адаптер.\r\n COM3 - обнаружен адаптер.\r\n"
             "\r\n\r\nОбнаружено более одного адаптера. Завершаем работу.\r\n"))},
      {"denied", {{4, K::adapter}}, 5, serial::adapter_none,
       ru(RU("\r\nНайдено COM-портов - 1:\r\n COM4 - уже кем-то используется или заблокирован.\r\n"
             "\r\n\r\nАдаптер не обнаружен. Завершаем работу.\r\n"))},
      {"not answering", {{4, K::adapter}}, 2, serial::adapter_none,
       ru(RU("\r\nНайдено COM-портов - 1:\r\n COM4 - не отвечает.\r\n"
             "\r\n\r\nАдаптер не обнаружен. Завершаем работу.\r\n"))},
      {"no ports", {}, 0, serial::adapter_no_ports,
       ru(RU("COM-портов не обнаружено. Завершаем работу.\r\n"))},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    fresh_world();
    sim::clear_ports();
    for (const auto& p : c.ports) sim::set_port(p.first, p.second);
    sim::devmap_from_ports();
    if (c.escape_error != 0) sim::add_call_fault({sim::Call::escape, 1, c.escape_error, true});
    sim::clear_console_output();
    EXPECT_EQ(serial::find_adapter(), c.result);
    EXPECT_EQ(sim::console_output(), c.output);
    EXPECT_EQ(sim::open_port_count(), 0);
  }
  fresh_world();
  sim::add_call_fault({sim::Call::devmap_open, 1, 5});
  EXPECT_EQ(serial::find_adapter(), serial::adapter_enumeration_failed);
  EXPECT_EQ(output::error_code(), 5);
}

TEST(Discovery, TwoAdaptersEndTheRunWithExitCodeOne) {
  sim::reset();
  sim::set_port(3, sim::PortKind::adapter);
  sim::devmap_from_ports();
  const harness::RunResult run = harness::run_tool({});
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_NE(run.console.find(ru(RU(" COM3 - обнаружен адаптер.\r\n"))), std::string::npos);
  EXPECT_EQ(sim::open_port_count(), 0);
  EXPECT_FALSE(sim::line_state(1).target_powered || sim::line_state(3).target_powered);
}

}  // namespace
