// Switching the adapter's outputs, sampling its inputs and arming the CTS change notification
// on the simulated world.
#include <gtest/gtest.h>

#include "output/cp1251_literal.h"
#include "output/error_record.h"
#include "platform/platform.h"
#include "serial/lines.h"
#include "serial/port.h"
#include "sim/world.h"

namespace {

void open_com(int number) {
  sim::reset();
  output::reset_error_record();
  serial::reset_port_state();
  sim::set_port(number, sim::PortKind::adapter);
  ASSERT_EQ(serial::open_port(number), 1);
}

TEST(SerialLines, ReadModemLineMasks) {
  // Break on drives CTS high; RTS on powers the target and comes back on DSR.
  const struct {
    bool rts, brk;
    int cts, dsr, either;
  } cases[] = {
      {false, true, 1, 0, 1},
      {true, false, 0, 1, 1},
      {false, false, 0, 0, 0},
  };
  for (const auto& c : cases) {
    open_com(1);
    if (c.rts) {
      ASSERT_EQ(serial::switch_line(platform::SETRTS), 1);
    }
    if (c.brk) {
      ASSERT_EQ(serial::switch_line(platform::SETBREAK), 1);
    }
    EXPECT_EQ(serial::read_modem_line(platform::MS_CTS_ON), c.cts);
    EXPECT_EQ(serial::read_modem_line(platform::MS_DSR_ON), c.dsr);
    EXPECT_EQ(serial::read_modem_line(0x30), c.either);
    EXPECT_EQ(serial::port.break_state, 0);  // kept by the ISSP engine, not by switch_line
  }
}

TEST(SerialLines, SampleDelayRunsOnTheVirtualClock) {
  for (int delay : {2, 0}) {
    open_com(1);
    serial::port.sample_delay_ms = delay;
    const double before = sim::now_us();
    ASSERT_GE(serial::read_modem_line(0x20), 0);
    const double took = sim::now_us() - before;
    if (delay == 2) {
      EXPECT_GE(took, 2000.0);
    } else {
      EXPECT_LT(took, 100.0);
    }
  }
}

TEST(SerialLines, ArmCtsEventOutcomes) {
  const struct {
    const char* label;
    sim::Call call;
    uint32_t error;
    int result;
    const char* text;
  } cases[] = {
      {"set mask", sim::Call::set_mask, 6, -1, RU("Порт COM4 - ошибка 6 при вызове SetCommMask.")},
      {"event", sim::Call::create_event, 8, -2,
       RU("Порт COM4 - ошибка 8 при создании обработчика события.")},
      {"wait", sim::Call::wait_event, 1167, -3,
       RU("Порт COM4 - ошибка 1167 при вызове WaitCommEvent.")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    open_com(4);
    sim::add_call_fault({c.call, 1, c.error});
    // The disarm after a failed wait fails with another number, which must not replace the
    // wait's own.
    sim::add_call_fault({sim::Call::set_mask, 2, 87});
    EXPECT_EQ(serial::arm_cts_event(), c.result);
    EXPECT_EQ(output::error_code(), static_cast<int32_t>(c.error));
    EXPECT_STREQ(output::error_text(), c.text);
  }

  // Completed at once: the word already says CTS changed; the record is left alone.
  open_com(4);
  output::set_error_code(77);
  sim::set_wait_completes_immediately(true);
  EXPECT_EQ(serial::arm_cts_event(), 0);
  EXPECT_EQ(*serial::cts_event_mask_word(), platform::EV_CTS);
  EXPECT_EQ(output::error_code(), 77);
  serial::disarm_cts_event();

  // Pending: the word stays 0 until CTS moves.
  open_com(4);
  ASSERT_EQ(serial::arm_cts_event(), 0);
  EXPECT_EQ(*serial::cts_event_mask_word(), 0u);
  ASSERT_EQ(serial::switch_line(platform::SETBREAK), 1);
  EXPECT_NE(*serial::cts_event_mask_word(), 0u);
  serial::disarm_cts_event();
}

}  // namespace
