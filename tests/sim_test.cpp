// The simulated world driven directly through the platform calls: what only a direct test of
// the simulator shows (power-on window, 66-clock resync, CTS notification, device-map room,
// call faults); the ISSP and procedure tests exercise the chip through the tool.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "platform/platform.h"
#include "sim/world.h"

namespace {

using namespace platform;

// A host on COM1 that clocks ISSP bits the plain way: data settled, clock high, clock low.
struct Host {
  SerialHandle h = serial_open(u"COM1");

  ~Host() { serial_close(h); }

  void line(uint32_t function) { EXPECT_TRUE(serial_escape(h, function)); }
  void clock() {
    line(SETDTR);
    line(CLRDTR);
  }
  void bit(int b) {
    line(b != 0 ? SETBREAK : CLRBREAK);
    clock();
  }
  void bits(uint32_t value, int count) {
    for (int i = count - 1; i >= 0; --i) bit((value >> i) & 1);
  }
  bool cts() {
    uint32_t s = 0;
    EXPECT_TRUE(serial_modem_status(h, &s));
    return (s & MS_CTS_ON) != 0;
  }
  void power_on_and_init(uint32_t start_delay_ms = 17) {
    line(SETRTS);
    sleep_ms(start_delay_ms);
    bit(0);
    bits(0x328000, 22);
    for (int i = 0; i < 110; ++i) bit(0);
  }
  void write(bool reg, uint8_t address, uint8_t data) {
    bits(reg ? 6 : 4, 3);  // start 1, space (1 = registers), 0 = write
    bits(address, 8);
    bits(data, 8);
    bits(7, 3);
  }
  int read(bool reg, uint8_t address) {
    bits(reg ? 7 : 5, 3);  // start 1, space, 1 = read
    bits(address, 8);
    bit(0);  // turnaround: the host lets go of the line
    int value = 0;
    for (int i = 0; i < 8; ++i) {
      clock();
      value = value * 2 + (cts() ? 1 : 0);
    }
    bits(1, 2);  // a 0, then the closing 1
    return value;
  }
  // The parameter writes and the start of a supervisory call.
  void start_call(int function, uint8_t argument, uint8_t second_key = 0x56) {
    if (function == 1 || function == 2 || function == 7) write(false, 0xFA, argument);
    if (function == 2 || function == 4 || function == 5) {
      write(false, 0xFC, 0x15);
      write(false, 0xFE, second_key);
    }
    const uint8_t fixed[][3] = {{1, 0xF7, 0},    {1, 0xF6, 0},    {0, 0xF8, 0x3A},
                                {0, 0xF9, 0x03}, {1, 0xF5, 0},    {1, 0xF4, 3},
                                {0, 0xFB, 0x80}, {1, 0xF9, 0x30}, {1, 0xFA, 0x40}};
    for (const auto& w : fixed) write(w[0] != 0, w[1], w[2]);
    write(true, 0xF0, static_cast<uint8_t>(function));
    write(true, 0xF8, 0);
    write(true, 0xFF, 0x12);
  }
  // Release, one clock raises the busy signal, clocks while it runs are ignored, then the
  // trailing clocks after its fall. Returns how long the busy signal lasted.
  double finish_call(int trailing = 66) {
    line(CLRBREAK);
    EXPECT_FALSE(cts()) << "line must read low after the release";
    const double rise = sim::now_us();
    clock();
    EXPECT_TRUE(cts()) << "busy signal";
    for (int i = 0; i < 30; ++i) clock();
    for (int i = 0; i < 100 && cts(); ++i) sleep_ms(1);
    EXPECT_FALSE(cts()) << "busy signal must end";
    const double busy_us = sim::now_us() - rise;
    for (int i = 0; i < trailing; ++i) clock();
    return busy_us;
  }
  void call(int function, uint8_t argument = 0) {
    start_call(function, argument);
    finish_call();
  }
};

TEST(SimChip, FramesOnlyAfterInitialisationWithinThePowerOnWindow) {
  struct Case {
    double window_us;
    uint32_t start_delay_ms;
    bool accepted;
  } const cases[] = {{30000, 17, true}, {30000, 31, false}, {10000, 9, true}, {10000, 11, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.window_us << " us window, " << c.start_delay_ms << " ms");
    sim::reset();
    sim::chip_config().power_on_window_us = c.window_us;
    Host host;
    host.power_on_and_init(c.start_delay_ms);
    EXPECT_EQ(sim::chip_in_programming_mode(), c.accepted);
    host.write(false, 0x90, 0x42);
    host.write(true, 0x90, 0x3C);
    EXPECT_EQ(host.read(false, 0x90), c.accepted ? 0x42 : 0x00) << "memory apart from registers";
    EXPECT_EQ(host.read(true, 0x90), c.accepted ? 0x3C : 0x00);
    // A late chip stays out of reach until the next power cycle, which also clears the memory.
    host.line(CLRRTS);
    host.power_on_and_init(1);
    EXPECT_TRUE(sim::chip_in_programming_mode());
    EXPECT_EQ(host.read(false, 0x90), 0x00);
  }
}

TEST(SimChip, BusySignalAndTheTrailingClocks) {
  for (int trailing : {66, 65, 67}) {
    SCOPED_TRACE(trailing);
    sim::reset();
    sim::flash_mut().fill(1);  // two blocks sum to 0x0080
    Host host;
    host.power_on_and_init();
    host.start_call(7, 2);
    EXPECT_GE(host.finish_call(trailing), sim::chip_config().checksum_us);
    // Only exactly 66 trailing clocks put the host back in step with the frames.
    const int low = host.read(false, 0xF8);
    const int high = host.read(false, 0xF9);
    EXPECT_EQ(low == 0x80 && high == 0 && sim::counters().malformed_frames == 0, trailing == 66);
  }
}

TEST(SimChip, FlashAndRefusedCalls) {
  sim::reset();
  Host host;
  host.power_on_and_init();
  // Writing over unerased flash only sets bits; after erase all the block is exactly the data.
  sim::flash_mut()[2 * 64 + 5] = 0x0F;
  for (int k = 0; k < 64; ++k) host.write(false, static_cast<uint8_t>(0x80 + k), 0xF0);
  host.call(2, 2);
  EXPECT_EQ(sim::flash()[2 * 64 + 5], 0xFF);
  host.call(5);
  EXPECT_EQ(sim::flash()[2 * 64 + 5], 0x00);
  host.call(2, 2);
  EXPECT_EQ(sim::flash()[2 * 64 + 5], 0xF0);

  // A call with a wrong fixed parameter is refused with status 1 and changes nothing.
  host.start_call(5, 0, 0x55);
  host.finish_call();
  EXPECT_EQ(host.read(false, 0xF8), 1);
  EXPECT_EQ(sim::flash()[2 * 64 + 5], 0xF0);
}

TEST(SimAdapter, CtsNotificationCatchesAPulseBetweenSamples) {
  sim::reset();
  sim::chip_config().calibrate_us = 50;
  Host host;
  host.power_on_and_init();
  host.start_call(9, 0);
  host.line(CLRBREAK);
  EXPECT_FALSE(host.cts());
  ASSERT_TRUE(serial_set_mask(host.h, EV_CTS));
  ASSERT_TRUE(cts_event_create());
  ASSERT_EQ(cts_wait_start(host.h), 0);
  EXPECT_EQ(*cts_event_word(), 0u) << "no change yet";
  host.line(SETDTR);  // the busy pulse rises here
  sleep_ms(1);        // ... and falls before anybody looks
  EXPECT_FALSE(host.cts());
  EXPECT_EQ(*cts_event_word(), EV_CTS);
  serial_set_mask(host.h, 0);
  cts_event_close();

  // Disarmed, a change leaves the word alone.
  *cts_event_word() = 0;
  host.line(SETBREAK);
  EXPECT_TRUE(host.cts());
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
  struct Case {
    uint32_t name_room, data_room;
    bool terminated;
    uint32_t result;
  } const cases[] = {{16, 10, true, 0},   {15, 10, true, 234}, {16, 9, true, 234},
                     {16, 8, false, 0},   {16, 7, false, 234}};
  for (const Case& c : cases) {
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
  struct Case {
    const char* name;
    sim::CallFault fault;
    const char* expected;  // per escape call of the script: '.' succeeds, 'x' fails
  } const cases[] = {
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
