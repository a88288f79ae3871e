// Bits and vectors as the adapter's lines see them; supervisory calls: wire order per function,
// the read-side calls and their failure records.
#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "issp/acquire.h"
#include "issp/srom.h"
#include "issp/vectors.h"
#include "output/error_record.h"
#include "platform/cp1251_literal.h"
#include "serial/port.h"
#include "tests/harness.h"
#include "tests/issp_trace.h"

namespace {

using issp_trace::w;
using issp_trace::Write;

// A fresh world with the target acquired and tracing from here on.
void acquired() {
  ASSERT_TRUE(harness::fresh_com1());
  ASSERT_GE(issp::issp_acquire(17000), 0);
  sim::set_trace(true);
  sim::clear_trace();
}

// The first `count` vectors in the trace.
std::vector<std::string> traced(size_t count) {
  return issp_trace::decode(issp_trace::pulses(1), 0, count);
}

TEST(Srom, WireOrderPerFunction) {
  const Write key1 = {0x0FC, 0x15}, key2 = {0x0FE, 0x56};
  const struct { int function, argument; std::vector<Write> own; } cases[] = {
      {1, 130, {{0x0FA, 0x02}}},  // 7-bit block field: block 2
      {2, 0x07, {{0x0FA, 0x07}, key1, key2}},
      {4, 0x33, {key1, key2}},
      {5, 0x33, {key1, key2}},
      {6, 0x00, {{0x2F7, 0x10}, {0x2E0, 0x02}}},
      {7, 0x80, {{0x0FA, 0x00}}},  // count 128 goes out as 0
      {9, 0x33, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.function);
    acquired();
    // Read block and checksum through their own operations, which keep 7 bits of the field.
    const int r = c.function == 1   ? issp::srom_read_block(c.argument)
                  : c.function == 7 ? issp::srom_checksum(c.argument)
                                    : issp::srom_call(c.function, c.argument);
    EXPECT_TRUE(c.function == 7 ? r >= 0 : r == 0) << r;
    const auto expected = issp_trace::as_text(issp_trace::call_writes(c.function, c.own));
    EXPECT_EQ(traced(expected.size()), expected);
  }
}

TEST(Srom, BlockChecksum) {
  acquired();
  auto& flash = sim::flash_mut();
  flash.fill(0);
  for (size_t i = 0; i < 64; ++i) {
    flash[i] = static_cast<uint8_t>(i);  // block 0: 2016
    flash[3 * 64 + i] = 0xFF;            // block 3: 16320, the largest possible
    flash[4 * 64 + i] = 0xFF;            // block 4: one more than possible, by the fault below
    flash[127 * 64 + i] = 2;             // block 127: 128
  }
  const struct {
    int block, result, calls, first_count;
  } cases[] = {{0, 2016, 1, 1}, {3, 16320, 2, 4}, {127, 128, 2, 0}, {128 + 3, 16320, 2, 4},
               {4, -126, 2, 5}};
  sim::chip_config().faults.push_back(sim::chip_fault::checksum_off(5, 1));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.block);
    sim::clear_trace();
    const long long before = sim::rom_calls(sim::RomFunction::checksum);
    EXPECT_EQ(issp::srom_block_checksum(c.block), c.result);
    EXPECT_EQ(sim::rom_calls(sim::RomFunction::checksum) - before, c.calls);
    EXPECT_EQ(traced(1), std::vector<std::string>{w(0x0FA, c.first_count)});
  }
}

TEST(Srom, NoResponseRecords) {
  for (const auto& [fault, rc] : {std::pair{sim::ChipFault::stuck_high_after_release, -2},
                                  std::pair{sim::ChipFault::no_busy, -3},
                                  std::pair{sim::ChipFault::busy_never_ends, -4}}) {
    // 0 read block, 1 checksum, 2 block checksum (which passes the checksum's result on)
    for (int caller = 0; caller < 3; ++caller) {
      SCOPED_TRACE(testing::Message() << caller << " " << rc);
      acquired();
      sim::chip_config().faults.push_back(sim::chip_fault::at_call(fault, caller == 0 ? sim::RomFunction::read_block : sim::RomFunction::checksum));
      const int result = caller == 0   ? issp::srom_read_block(4)
                         : caller == 1 ? issp::srom_checksum(4)
                                       : issp::srom_block_checksum(9);
      EXPECT_EQ(result, caller == 0 ? 10 - rc : rc - 10);
      char text[128];
      std::snprintf(text, sizeof text, RU("Нет ответа от микросхемы ( стадия %d )."), 10 - rc);
      EXPECT_EQ(output::error_code(), 10);
      EXPECT_STREQ(output::error_text(), text);  // the record survives the power-off
      EXPECT_FALSE(sim::line_state(1).target_powered);
    }
  }
}

// A failed write, or a no-response whose power-off fails: -127 with the port error; only a
// failed power switch leaves the target powered.
TEST(Srom, OtherFailures) {
  for (const bool no_busy : {false, true}) {
    for (const int function : {1, 7}) {
      SCOPED_TRACE(testing::Message() << no_busy << " " << function);
      acquired();
      const uint32_t line = no_busy ? platform::CLRRTS : platform::SETDTR;
      if (no_busy) sim::chip_config().faults.push_back(sim::chip_fault::at_call(sim::ChipFault::no_busy, static_cast<sim::RomFunction>(function)));
      sim::add_call_fault({sim::Call::escape, no_busy ? 1 : 5, 31, false, line});
      EXPECT_EQ(function == 1 ? issp::srom_read_block(1) : issp::srom_checksum(1), -127);
      EXPECT_EQ(output::error_code(), 31);
      EXPECT_EQ(sim::line_state(1).rts, no_busy);
    }
  }
}

class IsspVectors : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(harness::fresh_com1());
    sim::set_trace(true);
  }
};

TEST_F(IsspVectors, WriteVectorBits) {
  const struct { uint32_t data, address; const char* bits; } cases[] = {
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
