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

void open_com4() {
  sim::reset();
  output::reset_error_record();
  serial::reset_port_state();
  sim::set_port(4, sim::PortKind::adapter);
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
    const double took = sim::now_us() - before;
    EXPECT_GE(took, delay_ms * 1000.0);
    EXPECT_LT(took, delay_ms * 1000.0 + 100.0);
  }
}

TEST(SerialLines, ArmCtsEvent) {
  // A failed wait is followed by a disarm that fails with another number, which must not
  // replace the wait's own.
  open_com4();
  sim::add_call_fault({sim::Call::wait_event, 1, 1167});
  sim::add_call_fault({sim::Call::set_mask, 2, 87});
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

}  // namespace
