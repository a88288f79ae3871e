// The simulated world driven through the platform calls and the tool's vector code (whose
// bits the vector tests pin down): what only a direct test of the simulator shows.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "issp/vectors.h"
#include "serial/port.h"
#include "sim/model/adapter.h"
#include "tests/harness.h"
#include "tests/issp_trace.h"

namespace {

using namespace platform;
using issp::mem;
using issp::reg;

SerialHandle com1() { return serial::port.port_handle; }
void line(uint32_t function) { EXPECT_TRUE(serial_escape(com1(), function)); }
void clock() { EXPECT_EQ(issp::issp_send_bit(0), 1); }
void write(uint32_t address, uint8_t data) { EXPECT_EQ(issp::issp_write(data, address), 0); }
int read(uint32_t address) { return issp::issp_read(address); }
bool cts() {
  uint32_t s = 0;
  EXPECT_TRUE(serial_modem_status(com1(), &s));
  return (s & MS_CTS_ON) != 0;
}

// Power on, then a 0, the initialisation vector and 110 zeros.
void power_on_and_init(uint32_t start_delay_ms = 17) {
  issp::timing = issp::Timing{2, 2};
  line(SETRTS);
  sleep_ms(start_delay_ms);
  clock();
  EXPECT_EQ(issp::issp_send_raw(0x328000), 0);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(issp::issp_send_raw(0), 0);
}

// The parameter writes and the start of a supervisory call.
using R = sim::RomFunction;
void start_call(R function, uint8_t argument, uint8_t second_key = 0x56) {
  std::vector<issp_trace::Write> own;
  if (function == R::read_block || function == R::write_block || function == R::checksum) own.push_back({0x0FA, argument});
  if (function == R::write_block || function == R::protect || function == R::erase_all)
    own.insert(own.end(), {{0x0FC, 0x15}, {0x0FE, second_key}});
  for (const auto& w : issp_trace::call_writes(static_cast<int>(function), own)) write(w.address, static_cast<uint8_t>(w.data));
}

// Release, one clock raises the busy signal, clocks while it runs are ignored, then the
// trailing clocks after its fall. Returns how long the busy signal lasted.
double finish_call(int trailing = 66) {
  line(CLRBREAK);
  serial::port.break_state = 0;
  EXPECT_FALSE(cts()) << "line must read low after the release";
  const double rise = sim::now_us();
  clock();
  EXPECT_TRUE(cts()) << "busy signal";
  for (int i = 0; i < 10; ++i) clock();
  for (int i = 0; i < 100 && cts(); ++i) sleep_ms(1);
  EXPECT_FALSE(cts()) << "busy signal must end";
  const double busy_us = sim::now_us() - rise;
  for (int i = 0; i < trailing; ++i) clock();
  return busy_us;
}

void call(R function, uint8_t argument = 0) {
  start_call(function, argument);
  finish_call();
}

TEST(SimChip, FramesOnlyAfterInitialisationWithinThePowerOnWindow) {
  const struct { double window_us; uint32_t start_delay_ms; bool accepted; } cases[] = {
      {30000, 17, true}, {30000, 31, false}, {10000, 9, true}, {10000, 11, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.window_us << " us window, " << c.start_delay_ms << " ms");
    ASSERT_TRUE(harness::fresh_com1());
    sim::chip_config().power_on_window_us = c.window_us;
    power_on_and_init(c.start_delay_ms);
    EXPECT_EQ(sim::chip_in_programming_mode(), c.accepted);
    write(mem(0x90), 0x42);
    write(reg(0x90), 0x3C);
    EXPECT_EQ(read(mem(0x90)), c.accepted ? 0x42 : 0x00) << "memory apart from registers";
    EXPECT_EQ(read(reg(0x90)), c.accepted ? 0x3C : 0x00);
    // A late chip stays out of reach until the next power cycle, which also clears the memory.
    line(CLRRTS);
    sleep_ms(500);  // the supply drains
    power_on_and_init(1);
    EXPECT_TRUE(sim::chip_in_programming_mode());
    EXPECT_EQ(read(mem(0x90)), 0x00);
  }
}

TEST(SimChip, BusySignalAndTheTrailingClocks) {
  for (int trailing : {66, 65, 67}) {
    SCOPED_TRACE(trailing);
    ASSERT_TRUE(harness::fresh_com1());
    sim::flash_mut().fill(1);  // two blocks sum to 0x0080
    power_on_and_init();
    start_call(R::checksum, 2);
    EXPECT_GE(finish_call(trailing), sim::checksum_busy_us(2));
    // Only exactly 66 trailing clocks put the host back in step with the frames.
    const int low = read(mem(0xF8));
    const int high = read(mem(0xF9));
    EXPECT_EQ(low == 0x80 && high == 0 && sim::counters().malformed_frames == 0, trailing == 66);
  }
}

// How long each ROM function keeps the line high, to the microsecond (every serial call costs
// 1 us while the line is watched); a refused call takes a table read's time.
TEST(SimChip, BusyTimeOfEveryRomFunction) {
  const struct { R function; uint8_t second_key; double busy_us; } rows[] = {
      {R::read_block, 0x56, 400}, {R::write_block, 0x56, 8000}, {R::protect, 0x56, 8000}, {R::erase_all, 0x56, 20000},
      {R::table_read, 0x56, 200}, {R::checksum, 0x56, 1636}, {R::calibrate, 0x56, 300}, {R::erase_all, 0x55, 200}};
  for (const auto& r : rows) {
    SCOPED_TRACE(testing::Message() << static_cast<int>(r.function) << " key " << int{r.second_key});
    ASSERT_TRUE(harness::fresh_com1());
    power_on_and_init();
    start_call(r.function, 0, r.second_key);
    line(CLRBREAK);
    serial::port.break_state = 0;
    sim::set_latency_us(1);
    const double before = sim::now_us();
    clock();  // the rising edge is its first call, 1 us in
    ASSERT_TRUE(cts());
    while (cts()) {
    }
    // The first sample at or after the fall, each one 1 us after the last.
    const double seen_low_after = sim::now_us() - before - 1;
    EXPECT_GE(seen_low_after, r.busy_us);
    EXPECT_LT(seen_low_after, r.busy_us + 1);
  }
}

// The adapter and chip models driven straight, on a time scale of the caller's own that starts
// far from the world's: power-up phase, DSR's RC delay, the power-on window edge to the
// microsecond, the chip's shortest clock phase, and the supply's charge after RTS goes off.
TEST(SimModel, DrivenByTheCallersClock) {
  namespace a = sim::adapter;
  struct Row { double first_edge_after_us; double half_period_us; bool acquired; };
  for (const Row& r : {Row{29999, 2, true}, Row{30001, 2, false}, Row{1000, 1.99, false}}) {
    SCOPED_TRACE(r.first_edge_after_us);
    sim::reset();
    a::Outputs lines;
    const int port = 42;
    const double t0 = 7.5e9;
    a::drive(port, &lines, a::Output::rts, true, t0);
    EXPECT_FALSE(a::dsr(lines, t0 + a::dsr_delay_us - 0.1)) << "DSR still shows the old level";
    EXPECT_TRUE(a::dsr(lines, t0 + a::dsr_delay_us));
    EXPECT_TRUE(a::powers_target(port));
    EXPECT_TRUE(a::data_line_high(port, lines, t0 + 199.9)) << "power-up phase";
    EXPECT_FALSE(a::data_line_high(port, lines, t0 + 200.1));
    EXPECT_FALSE(a::data_line_high(port + 1, lines, t0 + 100)) << "only the supplying port";
    // A 0, the initialisation vector, 110 zeros.
    double t = t0 + r.first_edge_after_us;
    const uint64_t bits = 0x328000;
    for (int i = -1; i < 22 + 110; ++i) {
      const bool bit = i >= 0 && i < 22 && ((bits >> (21 - i)) & 1) != 0;
      a::drive(port, &lines, a::Output::brk, bit, t);
      a::drive(port, &lines, a::Output::dtr, true, t);
      a::drive(port, &lines, a::Output::dtr, false, t + r.half_period_us);
      t += 2 * r.half_period_us;
    }
    EXPECT_EQ(sim::chip_in_programming_mode(), r.acquired);
    EXPECT_EQ(sim::chip::counters().timing_violations > 0, r.half_period_us < 2);
    // Off for less than the supply needs to drain: the chip comes back as it was.
    t = std::max(t, t0 + a::dsr_delay_us);
    a::drive(port, &lines, a::Output::rts, false, t);
    EXPECT_FALSE(a::powers_target(port));
    EXPECT_TRUE(a::dsr(lines, t + a::dsr_delay_us - 0.1));
    EXPECT_FALSE(a::dsr(lines, t + a::dsr_delay_us));
    t += a::power_reset_off_us - 0.1;
    a::drive(port, &lines, a::Output::rts, true, t);
    EXPECT_EQ(sim::chip_in_programming_mode(), r.acquired) << "never reset";
    EXPECT_EQ(sim::chip::counters().power_ons, 1);
    a::drive(port, &lines, a::Output::rts, false, t);
    a::drive(port, &lines, a::Output::rts, true, t + a::power_reset_off_us);
    EXPECT_FALSE(sim::chip_in_programming_mode());
    EXPECT_EQ(sim::chip::counters().power_ons, 2);
  }
}

// Faults that strike at a count: the nth power-on, the vector after the nth.
TEST(SimChip, FaultsAtTheirCount) {
  ASSERT_TRUE(harness::fresh_com1());
  sim::chip_config().faults.push_back(sim::chip_fault::no_answer_after_power_on(2));
  for (const bool answers : {true, false, true}) {
    line(SETRTS);
    sleep_ms(1);
    EXPECT_EQ(cts(), !answers) << "the data line after power-on";
    line(CLRRTS);
    sleep_ms(500);  // long enough for the supply to drain
  }

  ASSERT_TRUE(harness::fresh_com1());
  sim::chip_config().faults.push_back(sim::chip_fault::silence_after_vectors(2));
  power_on_and_init();
  write(mem(0x90), 0x42);
  EXPECT_EQ(read(mem(0x90)), 0x42) << "the second vector is still answered";
  EXPECT_EQ(read(mem(0x90)), 0x00);
}

TEST(SimChip, FlashAndRefusedCalls) {
  ASSERT_TRUE(harness::fresh_com1());
  power_on_and_init();
  // Writing over unerased flash only sets bits; after erase all the block is exactly the data.
  sim::flash_mut()[2 * 64 + 5] = 0x0F;
  for (int k = 0; k < 64; ++k) write(mem(0x80 + k), 0xF0);
  call(R::write_block, 2);
  EXPECT_EQ(sim::flash()[2 * 64 + 5], 0xFF);
  call(R::erase_all);
  EXPECT_EQ(sim::flash()[2 * 64 + 5], 0x00);
  call(R::write_block, 2);
  EXPECT_EQ(sim::flash()[2 * 64 + 5], 0xF0);

  // A call with a wrong fixed parameter is refused with status 1 and changes nothing.
  start_call(R::erase_all, 0, 0x55);
  finish_call();
  EXPECT_EQ(read(mem(0xF8)), 1);
  EXPECT_EQ(sim::flash()[2 * 64 + 5], 0xF0);

  // Parameters left from the previous call do not count: the ROM used them as scratch.
  write(reg(0xF0), static_cast<uint8_t>(R::checksum));
  write(reg(0xFF), 0x12);
  finish_call();
  EXPECT_EQ(read(mem(0xF8)), 1);
  const long long refused = sim::counters().rejected_calls;
  EXPECT_EQ(refused, 2);

  // Protected blocks (pattern byte k covers blocks 2k and 2k+1) refuse read and write block;
  // the unprotected pair and checksums still work.
  for (int k = 0; k < 64; ++k) write(mem(0x80 + k), k == 31 ? 0x00 : 0xFF);
  call(R::protect);
  const std::pair<R, int> refusals[] = {{R::read_block, 2}, {R::write_block, 3}, {R::read_block, 62},
                                        {R::write_block, 63}};
  for (const auto& c : refusals) {
    call(c.first, static_cast<uint8_t>(c.second));
    EXPECT_EQ(read(mem(0xF8)), c.second < 62 ? sim::protected_status : 0) << c.second;
  }
  call(R::checksum, 3);
  EXPECT_EQ(read(mem(0xF8)) + 256 * read(mem(0xF9)), 64 * 0xF0);
  EXPECT_EQ(sim::counters().rejected_calls, refused);
}

TEST(SimAdapter, CtsNotificationCatchesAPulseBetweenSamples) {
  ASSERT_TRUE(harness::fresh_com1());
  sim::set_rom_busy_us(R::calibrate, 50);
  power_on_and_init();
  start_call(R::calibrate, 0);
  line(CLRBREAK);
  EXPECT_FALSE(cts());
  ASSERT_TRUE(serial_set_mask(com1(), EV_CTS));
  ASSERT_TRUE(cts_event_create());
  ASSERT_EQ(cts_wait_start(com1()), 0);
  EXPECT_EQ(*cts_event_word(), 0u) << "no change yet";
  line(SETDTR);  // the busy pulse rises here
  sleep_ms(1);   // ... and falls before anybody looks
  EXPECT_FALSE(cts());
  EXPECT_EQ(*cts_event_word(), EV_CTS);
  serial_set_mask(com1(), 0);
  cts_event_close();

  // Disarmed, a change leaves the word alone.
  *cts_event_word() = 0;
  line(SETBREAK);
  EXPECT_TRUE(cts());
  EXPECT_EQ(*cts_event_word(), 0u);
}

TEST(SimAdapter, PortsAboveNineOnlyThroughTheDeviceNamespace) {
  sim::reset();
  sim::set_port(12, sim::PortKind::adapter);
  EXPECT_EQ(serial_open(u"COM12"), no_serial);
  EXPECT_EQ(last_error(), err::file_not_found);
  const SerialHandle h = serial_open(u"\\\\.\\COM12");
  ASSERT_NE(h, no_serial);
  EXPECT_EQ(serial_open(u"\\\\.\\COM12"), no_serial) << "exclusive";
  EXPECT_EQ(last_error(), err::access_denied);
  EXPECT_TRUE(serial_close(h));
  EXPECT_EQ(sim::open_port_count(), 0);
}

TEST(SimWorld, DeviceMapHonoursTheRoomGiven) {
  const std::u16string name = u"\\Device\\Serial0";  // 15 units
  // The name needs room for its terminator as well; the data exactly its stored bytes.
  const struct { uint32_t name_room, data_room; bool terminated; uint32_t result; } cases[] = {
      {16, 10, true, 0}, {15, 10, true, 234}, {16, 9, true, 234}, {16, 8, false, 0}, {16, 7, false, 234}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.name_room << "/" << c.data_room);
    sim::reset();
    sim::DevmapEntry e = sim::devmap_text(name, u"COM1");
    if (!c.terminated) e.data.resize(8);
    sim::set_devmap({e});
    ASSERT_EQ(devmap_open(), 0u);
    char16_t got_name[120];
    uint8_t data[120];
    uint32_t units = c.name_room, bytes = c.data_room, type = 0;
    EXPECT_EQ(devmap_read(0, got_name, &units, &type, data, &bytes), c.result);
    if (c.result == 0) {
      EXPECT_EQ(std::u16string(got_name, units), name);
    }
    EXPECT_EQ(devmap_close(), 0u);
  }
}

TEST(SimWorld, CallFaults) {
  // expected: per escape call of the script: '.' succeeds, 'x' fails.
  struct Case { const char* name; sim::CallFault fault; const char* expected; } const cases[] = {
      {"sticky from the third", {sim::Call::escape, 3, 5, true, 0}, "..xxxx"},
      {"only SETDTR, second one", {sim::Call::escape, 2, 1167, false, SETDTR}, "..x..."},
      {"any serial call, fourth", {sim::Call::any_serial, 4, 0, false, 0}, "..x..."},
  };
  // The script: open, then SETDTR, CLRDTR alternating; any_serial counts the open too.
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sim::reset();
    sim::add_call_fault(c.fault);
    SerialHandle h = serial_open(u"COM1");
    ASSERT_NE(h, no_serial);
    std::string got;
    for (int i = 0; i < 6; ++i) {
      set_last_error(12345);
      const bool dtr_before = sim::line_state(1).dtr;
      const bool ok = serial_escape(h, i % 2 == 0 ? SETDTR : CLRDTR);
      got += ok ? '.' : 'x';
      if (!ok) {
        EXPECT_EQ(last_error(), c.fault.error);
        EXPECT_EQ(sim::line_state(1).dtr, dtr_before) << "a failed call changes nothing";
      }
    }
    EXPECT_EQ(got, c.expected);
    serial_close(h);
  }
}

}  // namespace
