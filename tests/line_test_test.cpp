// The line test mode's transcript, key handling and failure ending on the simulated world.
#include <gtest/gtest.h>

#include <string>

#include "app/endings.h"
#include "app/line_test.h"
#include "platform/cp1251_literal.h"
#include "serial/port.h"
#include "sim/world.h"
#include "tests/harness.h"

namespace {

std::string ru(const char* text) { return harness::cp866(text); }

const std::string banner = ru(RU("\r\nТестовый режим. Для завершения - нажмите любую клавишу.\r\n\r\n"));
const std::string good = ru(RU("; ответный сигнал - верный.\r\n"));
const std::string bad = ru(RU("; ответный сигнал - неверный.\r\n"));

void open_test_port(sim::PortKind kind) {
  harness::reset_world();
  sim::set_port(1, kind);
  ASSERT_EQ(serial::open_port(1), 1);
  sim::clear_console_output();
}

TEST(LineTest, TranscriptAndKeys) {
  const auto cycle = [](const std::string& echo_on) {  // the echo of RTS and break switched on
    return banner + "RTS = 1" + echo_on + "RTS = 0" + good + "TxD = 1" + echo_on + "TxD = 0" + good +
           "DTR = 1\r\nDTR = 0\r\n";
  };
  // key_after: nullptr: no key, the input ends at once.
  const struct { const char* label; sim::PortKind kind; const char* key_after; std::string output; } cases[] = {
      {"adapter", sim::PortKind::adapter, "DTR = 0\r\n", cycle(good)},
      {"no adapter", sim::PortKind::plain, "DTR = 0\r\n", cycle(bad)},
      // A key pressed during a phase ends the test after that phase's report, leaving RTS on
      // until the port is closed.
      {"key in the first phase", sim::PortKind::adapter, "RTS = 1", banner + "RTS = 1" + good},
      {"end of input counts as a key", sim::PortKind::adapter, nullptr, banner},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    open_test_port(c.kind);
    if (c.key_after != nullptr) {
      sim::push_keys({'a'});  // waiting before the test began: discarded
      sim::push_keys_after(c.key_after, {'q'});
    }
    sim::set_trace(true);
    double last = sim::now_us();
    EXPECT_EQ(app::run_line_test(), app::Ending::cleanup);
    EXPECT_EQ(app::run_state.exit_code, 1);
    // Every switch 900 ms after the last phase, its echo sampled 100 ms (and the 2 ms every
    // sample waits after opening) after it.
    const auto& t = sim::trace();
    for (size_t i = 0; i < t.size(); ++i) {
      if (t[i].kind != sim::TraceEntry::escape) continue;
      EXPECT_TRUE(harness::within(t[i].time_us - last, 900000, 900100));
      last = t[i].time_us + 100000;
      if (i + 1 < t.size() && t[i + 1].kind == sim::TraceEntry::sample) {
        EXPECT_TRUE(harness::within(t[i + 1].time_us - t[i].time_us, 102000, 102100));
        last = t[i + 1].time_us;
      }
    }
    EXPECT_EQ(sim::console_output(), c.output);
    EXPECT_EQ(sim::line_state(1).rts, c.output == banner + "RTS = 1" + good);
  }
}

// A failing switch (the third, break on) ends the whole run on the port error text, whose code
// becomes the exit code, with the target powered off.
TEST(LineTest, PortFailureEndsTheRun) {
  sim::reset();
  sim::push_keys_after("DTR = 0", {'q'});
  sim::add_call_fault({sim::Call::escape, 3, 21});
  const harness::RunResult run = harness::run_tool({"-C1", "-T"});
  EXPECT_EQ(run.exit_code, 21);
  EXPECT_NE(run.console.find(banner + "RTS = 1" + good + "RTS = 0" + good +
                             ru(RU("\r\n\r\nПорт COM1 - работа была приостановлена."))), std::string::npos);
}

}  // namespace
