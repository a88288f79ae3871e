// The device map's acceptance rules, the adapter probe and the choice of the work port, on
// the simulated world.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "output/error_record.h"
#include "platform/cp1251_literal.h"
#include "serial/discovery.h"
#include "serial/port.h"
#include "sim/world.h"
#include "tests/harness.h"
#include "tests/issp_trace.h"

namespace {

using harness::cp866;
using K = sim::PortKind;

// "\Device\Serial<index>" with an ASCII text value; raw=true stores it without a terminator.
sim::DevmapEntry entry(int index, const std::string& text, bool raw = false, uint32_t type = 1) {
  const std::string name = "\\Device\\Serial" + std::to_string(index);
  sim::DevmapEntry e = sim::devmap_text({name.begin(), name.end()}, {text.begin(), text.end()});
  e.type = type;
  if (raw) e.data.resize(2 * text.size());
  return e;
}

TEST(Discovery, DeviceMap) {
  std::vector<sim::DevmapEntry> many;  // 17 acceptable ports, read from 36 down: 15 are kept
  std::vector<int> many_kept;
  for (int n = 20; n <= 36; ++n) {
    many.insert(many.begin(), entry(n, "COM" + std::to_string(n)));
    if (n >= 22) many_kept.push_back(n);
  }
  const std::u16string long_name = u"\\Device\\" + std::u16string(112, u'x') + u"Serial1";  // 127 units: no room
  // read_error: of the third value; code: a failed map leaves no half list, sorted or not (a fuzzing find).
  const struct { const char* label; std::vector<sim::DevmapEntry> entries; std::vector<int> ports;
      uint32_t read_error = 0; int32_t code = 0; } cases[] = {
      {"names",
       {sim::devmap_text(u"\\Device\\Serial10", u"COM12"), sim::devmap_text(u"\\Device\\Serial0", u"COM1"),
        sim::devmap_text(u"\\Device\\USBSER000", u"COM3"), sim::devmap_text(u"\\Device\\VCP0", u"COM4"),
        sim::devmap_text(u"\\device\\serial1", u"COM5"), sim::devmap_text(u"\\Device\\Serial", u"COM6"),
        sim::devmap_text(u"\\DEVICE\\xSERIAL9", u"COM7"), sim::devmap_text(u"\\Device\\Seri\u0430l1", u"COM8"),
        entry(2, "COM9", false, 3)},
       {1, 5, 7, 12}},
      {"data, judged by its byte count",
       {entry(0, "COM0"), entry(1, "COM100"), entry(2, "COMX"), entry(3, "LPT1"), entry(4, "com9"),
        entry(5, "COM"), entry(6, "COM99"), entry(7, "COM3"), entry(8, "COM3"), entry(9, "COM8", true),
        entry(10, "COM4X", true), entry(11, std::string("COM5\0ZZ", 7), true)},
       {3, 5, 8, 9, 99}},
      {"more than fifteen", many, many_kept},
      {"a value that does not fit", {entry(0, "COM40"), entry(1, "COM39"), sim::devmap_text(long_name, u"COM1")},
       {}, 0, 234},
      {"a failing read", {entry(0, "COM40"), entry(1, "COM39"), entry(2, "COM38")}, {}, 31, 31},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    harness::reset_world();
    sim::set_devmap(c.entries);
    if (c.read_error != 0) sim::set_devmap_read_error(2, c.read_error);
    output::set_error_code(7);
    EXPECT_EQ(serial::enumerate_ports(), c.code == 0 ? 1 : 0);
    std::vector<int> ports = c.ports;
    ports.resize(16, 0);
    EXPECT_EQ(std::vector<int>(serial::port_list, serial::port_list + 16), ports);
    EXPECT_EQ(output::error_code(), c.code);
  }
}

// Each probe result and its line, alone and as the only port of a search.
TEST(Discovery, ProbeResults) {
  // call: any_serial = no fault.
  const struct { const char* label; K kind; sim::Call call; uint32_t error; int result; int32_t code;
      const char* line; } cases[] = {
      {"adapter", K::adapter, sim::Call::any_serial, 0, 1, 0, RU("обнаружен адаптер.")},
      {"plain port", K::plain, sim::Call::any_serial, 0, 126, 0, RU("доступен.")},
      {"busy", K::busy, sim::Call::any_serial, 0, 127, 110, RU("непонятная ошибка ( код 110 ).")},
      {"switch fails with 2", K::adapter, sim::Call::escape, 2, 2, 0, RU("не отвечает.")},
      {"sample fails with 5 while RTS is on", K::adapter, sim::Call::modem_status, 5, 5, 0,
       RU("уже кем-то используется или заблокирован.")},
      {"close fails", K::adapter, sim::Call::purge, 31, 127, 31, RU("непонятная ошибка ( код 31 ).")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    for (bool search : {false, true}) {
      harness::reset_world();
      sim::set_port(1, c.kind);
      if (c.call != sim::Call::any_serial) sim::add_call_fault({c.call, 1, c.error});
      if (search) {
        sim::clear_console_output();
        EXPECT_EQ(serial::find_adapter(), c.result == 1 ? 1 : serial::adapter_none);
        EXPECT_EQ(sim::console_output(),
                  cp866((RU("\r\nНайдено COM-портов - 1:\r\n COM1 - ") + std::string(c.line) + "\r\n\r\n" +
                      (c.result == 1 ? "" : RU("\r\nАдаптер не обнаружен. Завершаем работу.\r\n"))).c_str()));
      } else {
        int32_t code = -1;
        sim::set_trace(true);
        EXPECT_EQ(serial::probe_port(1, &code), c.result);
        EXPECT_EQ(code, c.code);
        if (c.result == 1) {
          // RTS on, off, on, off, on, off, each followed 100 ms later (and the 2 ms every sample
          // waits after opening) by a DSR sample showing it.
          const auto& t = sim::trace();
          for (size_t i = 0; i + 1 < t.size(); ++i) {
            if (t[i].kind != sim::TraceEntry::escape) continue;
            EXPECT_EQ(t[i + 1].kind, sim::TraceEntry::sample);
            EXPECT_TRUE(harness::within(t[i + 1].time_us - t[i].time_us, 102000, 102100));
            EXPECT_EQ((t[i + 1].function & platform::MS_DSR_ON) != 0, t[i].function == platform::SETRTS);
          }
          EXPECT_EQ(issp_trace::escapes(), (std::vector<uint32_t>{platform::SETRTS, platform::CLRRTS, platform::SETRTS,
                                                                 platform::CLRRTS, platform::SETRTS, platform::CLRRTS}));
        }
      }
      EXPECT_EQ(sim::open_port_count(), 0);
      EXPECT_FALSE(serial::port_is_open() || sim::line_state(1).rts);  // no target left powered
      EXPECT_EQ(output::error_code(), 0);
    }
  }
}

// Searches that end the run: exit code 1 for two adapters or none, the record's for the registry.
// A port that refuses every purge is still closed, so the adapter beside it is opened and used.
TEST(Discovery, SearchEndsTheRun) {
  const std::string adapter = RU(" - обнаружен адаптер.\r\n");
  // read_error: of the device map; purge_refused_on: a plain port whose every PurgeComm fails (0 = none).
  const struct { const char* label; std::vector<int> adapters; uint32_t read_error; int purge_refused_on;
      int32_t exit_code; std::string output; } cases[] = {
      {"two", {1, 3}, 0, 0, 1, RU("\r\nНайдено COM-портов - 2:\r\n COM1") + adapter + " COM3" + adapter +
           RU("\r\n\r\nОбнаружено более одного адаптера. Завершаем работу.\r\n")},
      {"no device map", {}, 0, 0, 1, RU("COM-портов не обнаружено. Завершаем работу.\r\n")},
      {"value too long", {1}, 234, 0, 234, RU("Ошибка 234 при обращении к системному реестру.")},
      {"purge refused beside the adapter", {3}, 0, 1, 1,
       RU("\r\nНайдено COM-портов - 2:\r\n COM1 - непонятная ошибка ( код 50 ).\r\n COM3") + adapter +
           RU("\r\nОткрываем порт COM3 - успешно.\r\n")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    harness::reset_world();
    sim::clear_ports();
    for (int n : c.adapters) sim::set_port(n, K::adapter);
    if (c.purge_refused_on != 0) {
      sim::set_port(c.purge_refused_on, K::plain);
      sim::add_call_fault({sim::Call::purge, 1, 50, true, 0, c.purge_refused_on});
    }
    sim::devmap_from_ports();
    sim::set_devmap_missing(c.adapters.empty());  // a machine without serial ports has no map
    if (c.read_error != 0) sim::add_call_fault({sim::Call::devmap_read, 1, c.read_error});
    const harness::RunResult run = harness::run_tool({});
    EXPECT_EQ(run.exit_code, c.exit_code);
    EXPECT_NE(run.console.find(cp866(c.output)), std::string::npos) << run.console;
  }
}

}  // namespace
