// Bits and vectors as the adapter's lines see them.
#include <gtest/gtest.h>

#include "issp/acquire.h"
#include "issp/vectors.h"
#include "output/error_record.h"
#include "serial/port.h"
#include "tests/harness.h"
#include "tests/issp_trace.h"

namespace {

class IsspVectors : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(harness::fresh_com1());
    sim::set_trace(true);
  }
};

TEST_F(IsspVectors, WriteVectorBits) {
  const struct {
    uint32_t data, address;
    const char* bits;
  } cases[] = {
      {0x00, issp::reg(0xF7), "1101111011100000000111"},
      {0xA5, 0x1F8, "1001111100010100101111"},   // bit 8 dropped: memory 0xF8
      {0x1C3, 0x0F0, "1001111000011000011111"},  // only the data's low byte is sent
  };
  for (const auto& c : cases) {
    const int break_before = serial::port.break_state;
    sim::clear_trace();
    ASSERT_EQ(issp::issp_write(c.data, c.address), 0);
    const auto p = issp_trace::pulses(break_before);
    EXPECT_EQ(p.size(), 22u);
    EXPECT_EQ(issp_trace::bits(p, 0, 22), c.bits) << std::hex << c.address;
    EXPECT_TRUE(sim::line_state(1).brk);
    EXPECT_FALSE(sim::line_state(1).dtr);
  }
}

TEST_F(IsspVectors, BreakSwitchedOnlyOnLevelChange) {
  for (int bit : {2, -1, 1, 0, 0, 1}) ASSERT_EQ(issp::issp_send_bit(bit), 1);
  std::vector<uint32_t> calls;
  for (const auto& e : sim::trace()) calls.push_back(e.function);
  using namespace platform;
  const std::vector<uint32_t> expected = {
      SETBREAK, SETDTR, CLRDTR, SETDTR, CLRDTR, SETDTR, CLRDTR,  // 2, -1, 1 all send 1
      CLRBREAK, SETDTR, CLRDTR, SETDTR, CLRDTR,                  // 0, 0
      SETBREAK, SETDTR, CLRDTR};                                 // 1
  EXPECT_EQ(calls, expected);
}

TEST_F(IsspVectors, FailedBreakSwitchKeepsCacheAndClock) {
  sim::add_call_fault({sim::Call::escape, 1, 31, false, platform::SETBREAK});
  EXPECT_EQ(issp::issp_send_bit(1), 0);
  EXPECT_EQ(serial::port.break_state, 0);
  EXPECT_EQ(output::error_code(), 31);
  EXPECT_EQ(sim::counters().clock_pulses, 0);
  // The next attempt switches the break again instead of trusting a stale cache.
  EXPECT_EQ(issp::issp_send_bit(1), 1);
  EXPECT_TRUE(sim::line_state(1).brk);
  EXPECT_EQ(output::error_code(), 0);
}

TEST_F(IsspVectors, ReadVector) {
  ASSERT_GE(issp::issp_acquire(17000), 0);  // a read needs a target in programming mode
  ASSERT_EQ(issp::issp_write(0x5A, issp::mem(0x80)), 0);
  sim::clear_trace();
  ASSERT_EQ(issp::issp_read(issp::mem(0x80)), 0x5A);
  const auto p = issp_trace::pulses(1);
  ASSERT_EQ(p.size(), 22u);
  // Header, address, released line: turnaround, eight sampled clocks, one more; then high.
  EXPECT_EQ(issp_trace::bits(p, 0, 22), "1011000000000000000001");
  for (size_t i = 0; i < p.size(); ++i) {
    EXPECT_EQ(p[i].samples.size(), (i >= 12 && i <= 19) ? 1u : 0u) << i;
  }
  EXPECT_TRUE(sim::line_state(1).brk);

  sim::add_call_fault({sim::Call::modem_status, 3, 87, false, 0});
  EXPECT_EQ(issp::issp_read(issp::mem(0xF8)), -1);
  EXPECT_EQ(output::error_code(), 87);
}

}  // namespace
