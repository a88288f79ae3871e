// The line test mode's transcript, key handling and failure ending on the simulated world.
#include <gtest/gtest.h>

#include <string>

#include "app/endings.h"
#include "app/line_test.h"
#include "harness.h"
#include "output/cp1251_literal.h"
#include "output/error_record.h"
#include "output/messages.h"
#include "serial/port.h"
#include "sim/world.h"

namespace {

std::string ru(const char* text) { return harness::cp866(text); }

const std::string banner = ru(RU("\r\nТестовый режим. Для завершения - нажмите любую клавишу.\r\n\r\n"));

void open_test_port(sim::PortKind kind) {
  sim::reset();
  output::reset_error_record();
  output::reset_messages();
  serial::reset_port_state();
  app::reset_run_state();
  sim::set_port(1, kind);
  ASSERT_EQ(serial::open_port(1), 1);
  sim::clear_console_output();
}

TEST(LineTest, OneCycleTranscript) {
  const std::string good = ru(RU("; ответный сигнал - верный.\r\n"));
  const std::string bad = ru(RU("; ответный сигнал - неверный.\r\n"));
  const struct {
    sim::PortKind kind;
    std::string lines;
  } cases[] = {
      {sim::PortKind::adapter,
       "RTS = 1" + good + "RTS = 0" + good + "TxD = 1" + good + "TxD = 0" + good + "DTR = 1\r\nDTR = 0\r\n"},
      {sim::PortKind::plain,
       "RTS = 1" + bad + "RTS = 0" + good + "TxD = 1" + bad + "TxD = 0" + good + "DTR = 1\r\nDTR = 0\r\n"},
  };
  for (const auto& c : cases) {
    open_test_port(c.kind);
    sim::push_keys_after("DTR = 0\r\n", {'q'});
    EXPECT_EQ(app::run_line_test(), app::Ending::cleanup);
    EXPECT_EQ(app::run_state.exit_code, 1);
    EXPECT_EQ(sim::console_output(), banner + c.lines);
    // Lines stay as the last phase left them until the port is closed.
    const sim::LineState lines = sim::line_state(1);
    EXPECT_FALSE(lines.rts || lines.brk || lines.dtr);
  }
}

TEST(LineTest, KeyHandling) {
  // A key waiting at the start is discarded; one pressed during a phase ends the test after
  // that phase's report, about a second after the banner.
  open_test_port(sim::PortKind::adapter);
  sim::push_keys({'a'});
  sim::push_keys_after("RTS = 1", {'b'});
  const double start = sim::now_us();
  EXPECT_EQ(app::run_line_test(), app::Ending::cleanup);
  EXPECT_EQ(app::run_state.exit_code, 1);
  EXPECT_EQ(sim::console_output(), banner + "RTS = 1" + ru(RU("; ответный сигнал - верный.\r\n")));
  EXPECT_GE(sim::now_us() - start, 1002000.0);
  EXPECT_TRUE(sim::line_state(1).rts);

  // The end of input counts as a key: no hang.
  open_test_port(sim::PortKind::adapter);
  EXPECT_EQ(app::run_line_test(), app::Ending::cleanup);
  EXPECT_EQ(sim::console_output(), banner);
}

TEST(LineTest, WholeToolExitCodes) {
  // A key: exit code 1, no bell, no power-off pause.
  sim::reset();
  sim::push_keys_after("TxD = 1", {'q'});
  harness::RunResult run = harness::run_tool({"-C1", "-T"});
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_EQ(run.console.find('\a'), std::string::npos);
  EXPECT_NE(run.console.find(banner + "RTS = 1"), std::string::npos);
  EXPECT_EQ(sim::open_port_count(), 0);

  // A failing switch (the third, break on): the record ending with the port error text, whose
  // code becomes the exit code.
  sim::reset();
  sim::push_keys_after("DTR = 0", {'q'});
  sim::add_call_fault({sim::Call::escape, 3, 21});
  run = harness::run_tool({"-C1", "-T"});
  EXPECT_EQ(run.exit_code, 21);
  EXPECT_NE(run.console.find("RTS = 0" + ru(RU("; ответный сигнал - верный.\r\n\r\n\r\nПорт COM1 - работа была приостановлена."))),
            std::string::npos);
  EXPECT_EQ(sim::open_port_count(), 0);
  EXPECT_FALSE(sim::line_state(1).target_powered);
}

}  // namespace
