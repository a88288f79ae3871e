// The simulated world driven directly through the platform calls, as the adapter and the chip
// would be by any host: vectors, initialisation, supervisory calls, the CTS notification, the
// device map and injected call failures.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "platform/platform.h"
#include "sim/world.h"

namespace {

using namespace platform;

// A host on COM1 that clocks ISSP bits the plain way: data settled, clock high, clock low.
struct Host {
  SerialHandle h = no_serial;
  bool brk = false;

  Host() {
    h = serial_open(u"COM1");
    EXPECT_NE(h, no_serial);
  }
  ~Host() { serial_close(h); }

  void line(uint32_t function) { EXPECT_TRUE(serial_escape(h, function)); }
  void clock() {
    line(SETDTR);
    line(CLRDTR);
  }
  void bit(int b) {
    if (b != 0 && !brk) line(SETBREAK);
    if (b == 0 && brk) line(CLRBREAK);
    brk = b != 0;
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
    for (int i = 0; i < 5; ++i) bits(0, 22);
  }
  void write(bool reg, uint8_t address, uint8_t data) {
    bit(1);
    bit(reg);
    bit(0);
    bits(address, 8);
    bits(data, 8);
    bits(7, 3);
  }
  int read(bool reg, uint8_t address) {
    bit(1);
    bit(reg);
    bit(1);
    bits(address, 8);
    line(CLRBREAK);
    brk = false;
    clock();  // turnaround
    int value = 0;
    for (int i = 0; i < 8; ++i) {
      clock();
      value = value * 2 + (cts() ? 1 : 0);
    }
    bit(0);
    bit(1);
    return value;
  }
  // The parameter writes and the start of a supervisory call.
  void start_call(int function, uint8_t argument, bool go = true) {
    if (function == 1 || function == 2 || function == 7) write(false, 0xFA, argument);
    if (function == 2 || function == 4 || function == 5) {
      write(false, 0xFC, 0x15);
      write(false, 0xFE, 0x56);
    }
    const uint8_t fixed[][3] = {{1, 0xF7, 0},    {1, 0xF6, 0},    {0, 0xF8, 0x3A},
                                {0, 0xF9, 0x03}, {1, 0xF5, 0},    {1, 0xF4, 3},
                                {0, 0xFB, 0x80}, {1, 0xF9, 0x30}, {1, 0xFA, 0x40}};
    for (const auto& w : fixed) write(w[0] != 0, w[1], w[2]);
    write(true, 0xF0, static_cast<uint8_t>(function));
    write(true, 0xF8, 0);
    if (go) write(true, 0xFF, 0x12);
  }
  // Release, one clock raises the busy signal, wait for its fall, then the trailing clocks.
  void finish_call(int trailing = 66) {
    line(CLRBREAK);
    brk = false;
    EXPECT_FALSE(cts()) << "line must read low after the release";
    clock();
    EXPECT_TRUE(cts()) << "busy signal";
    for (int i = 0; i < 100 && cts(); ++i) sleep_ms(1);
    EXPECT_FALSE(cts()) << "busy signal must end";
    for (int i = 0; i < trailing; ++i) clock();
  }
  void call(int function, uint8_t argument = 0) {
    start_call(function, argument);
    finish_call();
  }
  void fill_buffer(uint8_t value) {
    for (int k = 0; k < 64; ++k) write(false, static_cast<uint8_t>(0x80 + k), value);
  }
};

TEST(SimChip, WriteThenReadRoundTrip) {
  sim::reset();
  Host host;
  host.power_on_and_init();
  ASSERT_TRUE(sim::chip_in_programming_mode());
  host.write(false, 0x85, 0xA7);
  host.write(true, 0x10, 0x3C);
  EXPECT_EQ(host.read(false, 0x85), 0xA7);
  EXPECT_EQ(host.read(true, 0x10), 0x3C);
  EXPECT_EQ(host.read(false, 0x10), 0x00) << "memory and registers are separate spaces";
  EXPECT_TRUE(host.cts()) << "the last bit of a read vector drives the line high";
  EXPECT_EQ(sim::counters().vectors_write, 2);
  EXPECT_EQ(sim::counters().vectors_read, 3);
  EXPECT_EQ(sim::counters().malformed_frames, 0);
  // A frame whose trailing bits are not 1 is counted and not stored.
  host.bit(1);
  host.bit(0);
  host.bit(0);
  host.bits(0x86, 8);
  host.bits(0x55, 8);
  host.bits(6, 3);
  EXPECT_EQ(sim::counters().malformed_frames, 1);
  EXPECT_EQ(host.read(false, 0x86), 0x00);
}

TEST(SimChip, InitialisationOnlyWithinThePowerOnWindow) {
  struct Case {
    double window_us;
    uint32_t start_delay_ms;
    bool accepted;
  } const cases[] = {{30000, 17, true}, {30000, 31, false}, {10000, 9, true},
                     {10000, 11, false}, {3900, 4, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.window_us << " us window, " << c.start_delay_ms << " ms");
    sim::reset();
    sim::chip_config().power_on_window_us = c.window_us;
    Host host;
    host.power_on_and_init(c.start_delay_ms);
    EXPECT_EQ(sim::chip_in_programming_mode(), c.accepted);
    host.write(false, 0x90, 0x42);
    EXPECT_EQ(host.read(false, 0x90), c.accepted ? 0x42 : 0x00);
    // A late chip stays out of reach until the next power cycle, then answers in time.
    host.line(CLRRTS);
    EXPECT_FALSE(sim::line_state(1).target_powered);
    host.power_on_and_init(1);
    EXPECT_TRUE(sim::chip_in_programming_mode());
    EXPECT_EQ(host.read(false, 0x90), 0x00) << "power-off clears the memory";
  }
}

TEST(SimChip, BusySignalAndTheTrailingClocks) {
  struct Case {
    int trailing;
    bool in_step;
  } const cases[] = {{66, true}, {65, false}, {67, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.trailing);
    sim::reset();
    sim::flash_mut().fill(0);
    sim::flash_mut()[0] = 0x34;
    sim::flash_mut()[100] = 0x12;
    Host host;
    host.power_on_and_init();
    host.start_call(7, 2);
    host.line(CLRBREAK);
    host.brk = false;
    EXPECT_FALSE(host.cts());
    const double rise = sim::now_us();
    host.clock();
    EXPECT_TRUE(host.cts());
    for (int i = 0; i < 30; ++i) host.clock();  // ignored while the call runs
    sleep_ms(1);
    EXPECT_TRUE(host.cts()) << "a checksum takes longer than 1 ms";
    while (host.cts()) sleep_ms(1);
    EXPECT_GE(sim::now_us() - rise, sim::chip_config().checksum_us);
    for (int i = 0; i < c.trailing; ++i) host.clock();
    const int low = host.read(false, 0xF8);
    const int high = host.read(false, 0xF9);
    EXPECT_EQ(low == 0x46 && high == 0 && sim::counters().malformed_frames == 0, c.in_step);
    EXPECT_EQ(sim::counters().srom_calls[7], 1);
  }
}

TEST(SimChip, SupervisoryFunctions) {
  sim::reset();
  Host host;
  host.power_on_and_init();
  host.call(6);
  EXPECT_EQ(host.read(false, 0xF8) | host.read(false, 0xF9) << 8, 0x0010);
  EXPECT_EQ(host.read(true, 0xF0) | host.read(true, 0xF3) << 8, 0x0021);

  // Writing over unerased flash only sets bits; after erase all the block is exactly the data.
  sim::flash_mut()[2 * 64 + 5] = 0x0F;
  host.fill_buffer(0xF0);
  host.call(2, 2);
  EXPECT_EQ(host.read(false, 0xF8), 0);
  EXPECT_EQ(sim::flash()[2 * 64 + 5], 0xFF);
  host.call(5);
  EXPECT_EQ(sim::flash()[2 * 64 + 5], 0x00);
  host.fill_buffer(0xF0);
  host.call(2, 2);
  EXPECT_EQ(sim::flash()[2 * 64 + 5], 0xF0);
  host.fill_buffer(0);
  host.call(1, 2);
  EXPECT_EQ(host.read(false, 0x85), 0xF0);

  // Checksums: count 0 stands for all 128 blocks, and the sum wraps at 16 bits.
  sim::flash_mut().fill(0xFF);
  host.call(7, 0);
  const int all = 8192 * 0xFF % 65536;
  EXPECT_EQ(host.read(false, 0xF8) | host.read(false, 0xF9) << 8, all);
  host.call(7, 3);
  EXPECT_EQ(host.read(false, 0xF8) | host.read(false, 0xF9) << 8, 3 * 64 * 0xFF);

  host.fill_buffer(0xFF);
  host.write(false, 0x9F, 0x00);
  host.call(4);
  EXPECT_TRUE(sim::protection_set());
  EXPECT_EQ(sim::protection()[31], 0x00);
  EXPECT_EQ(sim::protection()[30], 0xFF);

  // A call with a wrong fixed parameter is refused with status 1 and changes nothing.
  host.start_call(5, 0, false);
  host.write(false, 0xFE, 0x55);
  host.write(true, 0xFF, 0x12);
  host.finish_call();
  EXPECT_EQ(host.read(false, 0xF8), 1);
  EXPECT_EQ(sim::counters().rejected_calls, 1);
  EXPECT_TRUE(sim::protection_set());
  EXPECT_EQ(sim::flash()[0], 0xFF);
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
  EXPECT_FALSE(host.cts());
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

  sim::set_wait_completes_immediately(true);
  ASSERT_TRUE(serial_set_mask(host.h, EV_CTS));
  EXPECT_EQ(cts_wait_start(host.h), 1);
}

TEST(SimAdapter, PortsOpenAsWindowsWould) {
  sim::reset();
  sim::set_port(3, sim::PortKind::plain);
  sim::set_port(4, sim::PortKind::busy);
  sim::set_port(12, sim::PortKind::adapter);
  struct Case {
    const char16_t* path;
    uint32_t error;  // 0 = opens
  } const cases[] = {{u"COM1", 0},       {u"com3", 0},        {u"COM12", 2},
                     {u"\\\\.\\COM12", 0}, {u"\\\\.\\COM1", 0}, {u"COM4", 5},
                     {u"COM2", 2},       {u"COM01", 2},       {u"COM1x", 2}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << std::u16string(c.path).size());
    SerialHandle h = serial_open(c.path);
    if (c.error == 0) {
      ASSERT_NE(h, no_serial);
      EXPECT_EQ(sim::open_port_count(), 1);
      EXPECT_EQ(serial_open(c.path), no_serial) << "exclusive";
      EXPECT_EQ(last_error(), err::access_denied);
      EXPECT_TRUE(serial_close(h));
      EXPECT_FALSE(serial_close(h));
      EXPECT_EQ(last_error(), err::invalid_handle);
    } else {
      EXPECT_EQ(h, no_serial);
      EXPECT_EQ(last_error(), c.error);
    }
    EXPECT_EQ(sim::open_port_count(), 0);
  }

  // A plain port echoes nothing; the adapter returns RTS on DSR and the break on CTS.
  for (int com : {1, 3}) {
    SerialHandle h = serial_open(com == 1 ? u"COM1" : u"COM3");
    uint32_t s = 0xFF;
    serial_escape(h, SETRTS);
    serial_escape(h, SETBREAK);
    ASSERT_TRUE(serial_modem_status(h, &s));
    EXPECT_EQ(s, com == 1 ? (MS_DSR_ON | MS_CTS_ON) : 0u);
    serial_close(h);
  }

  Dcb dcb{};
  EXPECT_TRUE(serial_build_dcb(u"9600,n,8,1", &dcb));
  EXPECT_EQ(dcb.BaudRate, 9600u);
  EXPECT_EQ(dcb.ByteSize, 8);
  EXPECT_FALSE(serial_build_dcb(u"fast please", &dcb));
  EXPECT_EQ(last_error(), err::invalid_parameter);
}

TEST(SimWorld, DeviceMapHonoursTheRoomGiven) {
  const std::u16string name = u"\\Device\\Serial0";  // 15 units
  struct Case {
    uint32_t name_room, data_room;
    bool terminated;
    uint32_t result;
  } const cases[] = {{16, 10, true, 0},   {15, 10, true, 234}, {16, 9, true, 234},
                     {16, 8, false, 0},   {16, 7, false, 234}, {120, 120, false, 0}};
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
      EXPECT_EQ(bytes, e.data.size());
      EXPECT_EQ(type, reg_sz);
      units = 120;
      bytes = 120;
      EXPECT_EQ(devmap_read(1, got_name, &units, &type, data, &bytes), err::no_more_items);
    }
    EXPECT_EQ(devmap_close(), 0u);
  }
  sim::reset();
  sim::set_devmap_missing(true);
  EXPECT_EQ(devmap_open(), err::file_not_found);
}

TEST(SimWorld, CallFaults) {
  struct Case {
    const char* name;
    sim::CallFault fault;
    const char* expected;  // per escape call of the script: '.' succeeds, 'x' fails
  } const cases[] = {
      {"second escape once", {sim::Call::escape, 2, 31, false, 0}, ".x...."},
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
  sim::reset();
  sim::add_call_fault({sim::Call::counter, 2, 0, false, 0});
  int64_t t = 0;
  EXPECT_TRUE(query_counter(&t));
  set_last_error(7);
  EXPECT_FALSE(query_counter(&t));
  EXPECT_EQ(last_error(), 0u);
  EXPECT_TRUE(query_counter(&t));
}

TEST(SimWorld, ClockAndKeys) {
  sim::reset();
  sim::set_frequency(3'579'545);
  sim::set_counter_start(-10);
  int64_t a = 0, b = 0;
  ASSERT_TRUE(query_counter(&a));
  ASSERT_TRUE(query_counter(&b));
  EXPECT_EQ(b - a, 1);
  EXPECT_LT(a, 0);
  sleep_ms(1000);
  ASSERT_TRUE(query_counter(&a));
  EXPECT_EQ(a - b, 3'579'545 + 1);
  sim::set_frequency(0);
  int64_t f = -1;
  EXPECT_TRUE(query_frequency(&f));
  EXPECT_EQ(f, 0);

  EXPECT_TRUE(keyboard_closed());
  EXPECT_TRUE(key_waiting());
  EXPECT_EQ(read_key(), 27);
  sim::push_keys_after("prompt", {13});
  sim::push_keys_after("prompt", {0xE0, 0x48});
  EXPECT_FALSE(keyboard_closed());
  EXPECT_FALSE(key_waiting());
  console_write("a prompt\a", 9);
  EXPECT_TRUE(key_waiting());
  EXPECT_EQ(read_key(), 13);
  EXPECT_FALSE(key_waiting()) << "the second script waits for a second prompt";
  console_write("prompt", 6);
  EXPECT_EQ(read_key(), 0xE0);
  EXPECT_EQ(read_key(), 0x48);
  EXPECT_TRUE(keyboard_closed());
  EXPECT_EQ(sim::console_output(), "a prompt\aprompt");
}

}  // namespace
