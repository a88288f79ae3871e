// Supervisory calls: wire order per function, the read-side calls and their failure records.
#include <gtest/gtest.h>

#include <string>

#include "issp/acquire.h"
#include "issp/srom.h"
#include "output/cp1251_literal.h"
#include "output/error_record.h"
#include "serial/port.h"
#include "sim/world.h"
#include "tests/issp_trace.h"

namespace {

using issp_trace::w;

class Srom : public ::testing::Test {
 protected:
  void SetUp() override {
    issp_trace::fresh_world();
    ASSERT_TRUE(issp_trace::open_com1());
  }
  void acquire() {
    ASSERT_GE(issp::issp_acquire(17000), 0);
    sim::set_trace(true);
    clear_trace();
  }
  void clear_trace() {
    sim::clear_trace();
    break_before_ = serial::port.break_state;
  }
  // The write vectors of the first call in the trace, up to the start write.
  std::vector<std::string> call_writes() {
    const auto p = issp_trace::pulses(0, break_before_);
    auto d = issp_trace::decode(p, 0, 20);
    std::vector<std::string> out;
    for (const auto& v : d.vectors) {
      out.push_back(v);
      if (v == w(0x2FF, 0x12)) break;
    }
    return out;
  }
  void add_fault(sim::ChipFault kind, int function) {
    sim::ChipFaultSpec f;
    f.kind = kind;
    f.function = function;
    sim::chip_config().faults.push_back(f);
  }
  int break_before_ = 0;
};

std::vector<std::string> with_common(std::vector<std::string> prefix, int function,
                                     bool table_argument = false) {
  const std::vector<std::string> common = {
      w(0x2F7, 0), w(0x2F6, 0), w(0x0F8, 0x3A), w(0x0F9, 0x03), w(0x2F5, 0),
      w(0x2F4, 0x03), w(0x0FB, 0x80), w(0x2F9, 0x30), w(0x2FA, 0x40)};
  prefix.insert(prefix.end(), common.begin(), common.end());
  if (table_argument) prefix.push_back(w(0x0FA, 0));
  prefix.push_back(w(0x2F0, static_cast<uint32_t>(function)));
  prefix.push_back(w(0x2F8, 0));
  prefix.push_back(w(0x2FF, 0x12));
  return prefix;
}

TEST_F(Srom, WireOrderPerFunction) {
  const std::string key1 = w(0x0FC, 0x15), key2 = w(0x0FE, 0x56);
  const struct {
    int function, argument;
    std::vector<std::string> expected;
  } cases[] = {
      {1, 130, with_common({w(0x0FA, 0x02)}, 1)},  // 7-bit block field: block 2
      {2, 0x07, with_common({w(0x0FA, 0x07), key1, key2}, 2)},
      {4, 0x33, with_common({key1, key2}, 4)},
      {5, 0x33, with_common({key1, key2}, 5)},
      {6, 0x00, with_common({w(0x2F7, 0x10), w(0x2E0, 0x02)}, 6, true)},
      {7, 0x80, with_common({w(0x0FA, 0x00)}, 7)},  // count 128 goes out as 0
      {9, 0x33, with_common({}, 9)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.function);
    issp_trace::fresh_world();
    ASSERT_TRUE(issp_trace::open_com1());
    acquire();
    // Read block and checksum through their own operations, which keep 7 bits of the field.
    const int r = c.function == 1   ? issp::srom_read_block(c.argument)
                  : c.function == 7 ? issp::srom_checksum(c.argument)
                                    : issp::srom_call(c.function, c.argument);
    if (c.function == 7) {
      EXPECT_GE(r, 0);
    } else {
      EXPECT_EQ(r, 0);
    }
    EXPECT_EQ(call_writes(), c.expected);
    EXPECT_EQ(sim::counters().srom_calls[c.function], c.function == 9 || c.function == 6 ? 2 : 1);
  }
}

TEST_F(Srom, BlockChecksum) {
  auto& flash = sim::flash_mut();
  flash.fill(0);
  for (int i = 0; i < 64; ++i) {
    flash[static_cast<size_t>(i)] = static_cast<uint8_t>(i);          // block 0: 2016
    flash[static_cast<size_t>(3 * 64 + i)] = 0xFF;                     // block 3: 16320
    flash[static_cast<size_t>(127 * 64 + i)] = static_cast<uint8_t>(2);  // block 127: 128
  }
  acquire();
  const struct {
    int block, result;
    long long calls;
    uint32_t first_count;
  } cases[] = {{0, 2016, 1, 1}, {3, 16320, 2, 4}, {127, 128, 2, 0}, {128 + 3, 16320, 2, 4}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.block);
    clear_trace();
    const long long before = sim::counters().srom_calls[7];
    EXPECT_EQ(issp::srom_block_checksum(c.block), c.result);
    EXPECT_EQ(sim::counters().srom_calls[7] - before, c.calls);
    EXPECT_EQ(call_writes().front(), w(0x0FA, c.first_count));
    EXPECT_EQ(output::error_code(), 0);
  }
}

TEST_F(Srom, ImpossibleBlockChecksum) {
  sim::flash_mut().fill(0);
  sim::ChipFaultSpec upper, lower;
  upper.kind = lower.kind = sim::ChipFault::checksum_off;
  upper.count = 6;
  upper.value = 16;
  lower.count = 5;
  lower.value = 32;
  sim::chip_config().faults = {upper, lower};
  acquire();
  EXPECT_EQ(issp::srom_block_checksum(5), -126);
  EXPECT_EQ(output::error_code(), 126);
  EXPECT_STREQ(output::error_text(),
               RU("Получено неверное значение контрольной суммы блока ( 0xFFF0 )."));
  EXPECT_TRUE(sim::line_state(1).target_powered);  // the caller decides
}

TEST_F(Srom, NoResponseRecords) {
  const struct {
    sim::ChipFault fault;
    int rc;
  } cases[] = {{sim::ChipFault::stuck_high_after_release, -2},
               {sim::ChipFault::no_busy, -3},
               {sim::ChipFault::busy_never_ends, -4}};
  for (const auto& c : cases) {
    // 0 read block, 1 checksum, 2 block checksum (which passes the checksum's result on)
    for (int caller = 0; caller < 3; ++caller) {
      SCOPED_TRACE(testing::Message() << caller << " " << c.rc);
      issp_trace::fresh_world();
      ASSERT_TRUE(issp_trace::open_com1());
      acquire();
      add_fault(c.fault, caller == 0 ? 1 : 7);
      const int result = caller == 0   ? issp::srom_read_block(4)
                         : caller == 1 ? issp::srom_checksum(4)
                                       : issp::srom_block_checksum(9);
      EXPECT_EQ(result, caller == 0 ? 10 - c.rc : c.rc - 10);
      char text[128];
      std::snprintf(text, sizeof text, RU("Нет ответа от микросхемы ( стадия %d )."), 10 - c.rc);
      EXPECT_EQ(output::error_code(), 10);
      EXPECT_STREQ(output::error_text(), text);
      EXPECT_FALSE(sim::line_state(1).target_powered);
    }
  }
}

TEST_F(Srom, OtherFailuresPowerOff) {
  const struct {
    const char* name;
    bool no_busy;
    sim::Call call;
    int nth;
    uint32_t escape;
  } cases[] = {
      {"write vector", false, sim::Call::escape, 5, platform::SETDTR},
      {"status read", false, sim::Call::modem_status, 0, 0},  // nth filled below
      {"no response, power-off fails", true, sim::Call::escape, 1, platform::CLRRTS},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    for (int function : {1, 7}) {
      issp_trace::fresh_world();
      ASSERT_TRUE(issp_trace::open_com1());
      acquire();
      int nth = c.nth;
      if (nth == 0) {
        // The first sample of the result read: count the samples of a healthy call first.
        const long long before = sim::counters().modem_status_calls;
        ASSERT_GE(function == 1 ? issp::srom_read_block(1) : issp::srom_checksum(1), 0);
        nth = static_cast<int>(sim::counters().modem_status_calls - before) - (function == 1 ? 7 : 15);
      }
      if (c.no_busy) add_fault(sim::ChipFault::no_busy, function);
      sim::add_call_fault({c.call, nth, 31, false, c.escape});
      const int result = function == 1 ? issp::srom_read_block(1) : issp::srom_checksum(1);
      EXPECT_EQ(result, -127);
      EXPECT_EQ(output::error_code(), 31);
      EXPECT_EQ(sim::line_state(1).rts, c.escape == platform::CLRRTS);
    }
  }
}

}  // namespace
