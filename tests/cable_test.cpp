// The adapter on a simulated FT232R cable (-F): a whole run with its timing on the pins, and
// every refusal and failure of the cable itself.
#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <tuple>
#include <vector>

#include "app/command_line.h"
#include "app/endings.h"
#include "app/run.h"
#include "image/container.h"
#include "issp/acquire.h"
#include "issp/vectors.h"
#include "output/error_record.h"
#include "output/keyboard.h"
#include "platform/cp1251_literal.h"
#include "platform/ftdi.h"
#include "platform/platform.h"
#include "serial/discovery.h"
#include "serial/ft232r.h"
#include "sim/names.h"
#include "serial/lines.h"
#include "serial/port.h"
#include "serial/wire.h"
#include "sim/world.h"
#include "tests/harness.h"

namespace {

using harness::cp866;

// The time from the trace entry at `from` to the next one of `function`, -1 when none follows.
double time_to(const std::vector<sim::TraceEntry>& t, size_t from, uint32_t function, size_t* at) {
  for (size_t i = from + 1; i < t.size(); ++i) {
    if (t[i].kind == sim::TraceEntry::escape && t[i].function == function) {
      *at = i;
      return t[i].time_us - t[from].time_us;
    }
  }
  return -1;
}

TEST(Cable, ProgramsTheChipWithTheTimingOnThePins) {
  sim::reset();
  ft232r::reset_counters();
  sim::set_usb_devices({sim::UsbDevice{}});
  sim::set_trace(true);
  const harness::RunResult r = harness::run_tool({"-F"}, "/sim/tolvern", output::key_enter);
  ASSERT_EQ(r.exit_code, 0) << r.console;
  EXPECT_TRUE(sim::flash_equals_image());
  EXPECT_TRUE(sim::protection_set());
  EXPECT_NE(r.console.find(cp866(RU("Открываем кабель FT232R A10KSIM1 - успешно."))), std::string::npos);
  const sim::CableState after = sim::cable_state(0);
  EXPECT_FALSE(after.rts || after.dtr || after.brk || after.bitbang);

  const std::vector<sim::TraceEntry>& t = sim::trace();
  ASSERT_FALSE(t.empty());
  // Entering bit-bang mode neither powers nor clocks the target: the first change on the lines
  // is the adapter check's RTS.
  EXPECT_EQ(t[0].function, platform::SETRTS);
  // Every clock phase is the 2 us half period to the byte: never shorter (the chip counts
  // that), and not stretched to two bytes.
  long long phases = 0;
  for (size_t i = 0; i < t.size(); ++i) {
    if (t[i].function != platform::SETDTR) continue;
    size_t fall = 0;
    const double high = time_to(t, i, platform::CLRDTR, &fall);
    ASSERT_GE(high, 0);
    EXPECT_TRUE(harness::within(high, 2 - 1e-6, 2.5)) << i;
    size_t next = 0;
    const double low = time_to(t, fall, platform::SETDTR, &next);
    // Between the bits of a vector the clock stays low one byte; waits and round trips only
    // lengthen it.
    if (low >= 0) {
      EXPECT_GE(low, 2 - 1e-6) << fall;
    }
    ++phases;
  }
  EXPECT_EQ(phases, sim::counters().clock_pulses);
  // The start delay of the first attempt, 17 ms, from power-on to the first clock, plus at most
  // a few round trips while the data line is watched.
  size_t first_clock = 0;
  while (first_clock < t.size() && t[first_clock].function != platform::SETDTR) ++first_clock;
  size_t on = first_clock;
  while (on > 0 && t[on].function != platform::SETRTS) --on;
  EXPECT_TRUE(harness::within(t[first_clock].time_us - t[on].time_us, 17000, 17000 + 3000));
  // A round trip only where a decision must reach the pins: a block's 64 reads share one, and a
  // call's wait takes two, the clock after the line was seen low and the trailing clocks after
  // the busy signal's end; seeing the busy signal itself costs none. The chip never stood
  // without bytes to clock while a call ran.
  long long calls = 0;
  for (const auto& f : sim::names::rom_functions) calls += sim::rom_calls(f.value);
  EXPECT_EQ(calls, 643);
  EXPECT_EQ(ft232r::counters().watches, 2 * calls);
  EXPECT_LT(ft232r::counters().decisions, 4 * calls);
  EXPECT_EQ(sim::cable_counters().gaps_in_calls, 0);
  // Divisor 48: a byte every 1 us at the fastest reading, every 64 us at the slowest.
  EXPECT_EQ(sim::cable_counters().baud, 62500u);
  EXPECT_EQ(sim::cable_counters().slowest_byte_rate, 15625u);
  EXPECT_EQ(sim::cable_counters().pin_reads, 1);
  EXPECT_EQ(sim::cable_counters().reset_mask, 0x15);
  EXPECT_EQ(sim::cable_counters().latency_ms, 1);  // a partly filled packet comes back at once
}

// A chip whose busy signal rises late, or lasts almost as long as the wait for its end allows,
// is programmed through the cable as through the COM port. Every function answers late at every
// call by each delay; then, in one run, the first call of each function answers just inside
// the clocked and quiet watches, and the single calls stay busy just inside the wait; and a
// chip whose calls start at the release, without a clock, answers 300 us after it.
TEST(Cable, LateBusySignalsAsOnTheComPort) {
  struct Way {
    const char* name;
    std::vector<std::string> args;
  };
  const Way ways[] = {{"COM1", {"-C1"}}, {"cable", {"-F"}}};
  const double just_inside_us = 499000, without_clock = -300;
  for (const Way& way : ways) {
    for (const double late_us : {100.0, 300.0, 600.0, 1500.0, 2500.0, just_inside_us, without_clock}) {
      SCOPED_TRACE(std::string(way.name) + ", late by " + std::to_string(late_us) + " us");
      sim::reset();
      sim::set_usb_devices({sim::UsbDevice{}});
      if (late_us == without_clock) {
        sim::ChipFaultSpec every = sim::chip_fault::answer_without_clock(sim::RomFunction::checksum, -late_us);
        every.function = sim::any_function;
        sim::chip_config().faults.push_back(every);
      } else if (late_us < just_inside_us) {
        sim::ChipFaultSpec every = sim::chip_fault::late_answer(sim::RomFunction::checksum, late_us);
        every.function = sim::any_function;
        sim::chip_config().faults.push_back(every);
      } else {
        for (const auto& f : sim::names::rom_functions) {
          sim::chip_config().faults.push_back(sim::chip_fault::late_answer(f.value, late_us, 1));
        }
        for (const sim::RomFunction once : {sim::RomFunction::erase_all, sim::RomFunction::protect,
                                            sim::RomFunction::table_read, sim::RomFunction::calibrate}) {
          sim::set_rom_busy_us(once, just_inside_us);
        }
      }
      const harness::RunResult r = harness::run_tool(way.args, "/sim/tolvern", output::key_enter);
      EXPECT_EQ(r.exit_code, 0) << r.console;
      EXPECT_TRUE(sim::flash_equals_image());
      EXPECT_TRUE(sim::protection_set());
      EXPECT_EQ(sim::counters().timing_violations, 0);
      EXPECT_EQ(sim::counters().malformed_frames, 0);
      EXPECT_EQ(sim::cable_counters().gaps_in_calls, 0);
    }
  }
}

// A 1 ms round trip, from a sample to the host, costs a whole run at most 2.5 ms per
// supervisory call over the same run with a free one: the two round trips of a call's wait,
// and the bytes written ahead no longer than they must be.
TEST(Cable, RoundTripCostsAtMostTwoAndAHalfMsPerCall) {
  double run_us[2] = {};
  long long calls = 0;
  for (const double round_trip_us : {1000.0, 0.0}) {
    sim::reset();
    sim::set_usb_devices({sim::UsbDevice{}});
    sim::set_usb_round_trip_us(round_trip_us);
    ASSERT_EQ(harness::run_tool({"-F"}, "/sim/tolvern", output::key_enter).exit_code, 0);
    run_us[round_trip_us > 0 ? 0 : 1] = sim::now_us();
    calls = 0;
    for (const auto& f : sim::names::rom_functions) calls += sim::rom_calls(f.value);
  }
  EXPECT_LE(run_us[0] - run_us[1], 2500.0 * static_cast<double>(calls)) << (run_us[0] - run_us[1]) / calls;
}

// What the cable path refuses or meets, with its exit code, message and the target left off.
TEST(Cable, RefusalsAndFailures) {
  const sim::UsbDevice ft232r{};
  const sim::UsbDevice on_com5{"FT232R", "B5", 5};
  const sim::UsbDevice on_com6{"FT232R", "B6", 6};
  const sim::UsbDevice ch340{"CH340", "", 3};
  const sim::UsbDevice busy{"FT232R", "A10KSIM1", 0, true};
  const std::string not_supported =
      cp866(RU("CH340 не поддерживается: по USB работает только кабель на FT232R, без ключа -F "
               "порт доступен как обычный COM-порт. Завершаем работу."));
  const struct {
    const char* name;
    std::vector<sim::UsbDevice> devices;
    std::vector<std::string> args;
    std::vector<sim::CallFault> faults;
    int dsr_stuck;  // -1: the adapter echoes RTS
    int key;
    int32_t exit_code;
    std::string message;
    std::vector<sim::ChipFaultSpec> chip_faults = {};
  } rows[] = {
      {"none", {}, {"-F"}, {}, -1, 0, 1, cp866(RU("Кабель FT232R не обнаружен. Завершаем работу."))},
      {"two", {on_com5, on_com6}, {"-F"}, {}, -1, 0, 1,
       cp866(RU("Обнаружено более одного кабеля FT232R, укажите нужный ключом -C."))},
      {"-C picks one of two", {on_com5, on_com6}, {"-F", "-C6"}, {}, -1, output::key_esc, 1,
       cp866(RU("Открываем кабель FT232R B6 - успешно."))},
      {"-C names no device", {on_com5}, {"-F", "-C7"}, {}, -1, 0, 1,
       cp866(RU("На порту COM7 нет USB-адаптера. Завершаем работу."))},
      {"only another make", {ch340}, {"-F"}, {}, -1, 0, 50, not_supported},
      {"-C names another make", {ch340, on_com5}, {"-F", "-C3"}, {}, -1, 0, 50, not_supported},
      {"no D2XX library", {ft232r}, {"-F"}, {{sim::Call::usb_list, 1, platform::err::dll_not_found}}, -1, 0,
       1157, cp866(RU("Библиотека ftd2xx.dll не найдена ( ошибка 1157 ): установите драйвер FTDI."))},
      {"cannot be opened", {busy}, {"-F"}, {}, -1, 0, 110, cp866(RU("Порт FT232R A10KSIM1 невозможно открыть."))},
      {"setup refused", {ft232r}, {"-F"}, {{sim::Call::usb_setup, 3, 31}}, -1, 0, 31,
       cp866(RU("Непонятная ошибка ( код 31 )."))},
      {"no adapter on it", {ft232r}, {"-F"}, {}, 0, 0, 1, cp866(RU("Адаптер не обнаружен. Завершаем работу."))},
      // The one-second wait for the data line to fall after power-on, on the pins.
      {"data line never falls", {ft232r}, {"-F"}, {}, -1, 0, 10, cp866(RU("Нет ответа от микросхемы ( стадия 2 ).")),
       {sim::chip_fault::no_answer_after_power_on()}},
      {"unplugged mid-run", {ft232r}, {"-F"}, {{sim::Call::usb_transfer, 2000, platform::err::device_not_connected}},
       -1, output::key_enter, 1167,
       cp866(RU("Порт FT232R A10KSIM1 - устройство отключено ( ошибка 1167 )."))},
      // A round trip that fails with the cable still there: the target is still switched off.
      {"a round trip fails", {ft232r}, {"-F"}, {{sim::Call::usb_transfer, 2000, 31}}, -1, output::key_enter, 31,
       cp866(RU("Непонятная ошибка ( код 31 )."))},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    sim::reset();
    sim::set_usb_devices(row.devices);
    sim::adapter::config().dsr_stuck = row.dsr_stuck;
    sim::chip_config().faults = row.chip_faults;
    for (const sim::CallFault& f : row.faults) sim::add_call_fault(f);
    sim::set_trace(true);
    const harness::RunResult r = harness::run_tool(row.args, "/sim/tolvern", row.key);
    EXPECT_EQ(r.exit_code, row.exit_code) << r.console;
    // A cable still there had the target switched off by the tool's power-off, whose pause of
    // a second follows it, not by the pins let go at the end.
    if (row.exit_code != 1167 && !sim::trace().empty()) {
      const sim::TraceEntry& last = sim::trace().back();
      EXPECT_EQ(last.function, platform::CLRRTS);
      EXPECT_GE(sim::now_us() - last.time_us, 1000000);
    }
    EXPECT_NE(r.console.find(row.message), std::string::npos) << r.console;
    EXPECT_EQ(sim::rom_calls(sim::RomFunction::protect), 0);
  }
}

// The CTS watch of wait-and-poll sees a pulse that no sample caught, on both ways to the lines:
// the COM port by its event, the cable in the bytes it sampled between the samples asked for.
TEST(Cable, WatchSeesAPulseBetweenSamples) {
  for (const bool cable : {false, true}) {
    SCOPED_TRACE(cable ? "cable" : "COM1");
    ASSERT_TRUE(cable ? harness::fresh_cable() : harness::fresh_com1());
    const int64_t from = cable ? wire::position() : 0;
    if (!cable) {
      ASSERT_EQ(wire::arm_cts_event(), serial::arm_ok);
    }
    // The break drives the data line, which CTS reads, high for a moment.
    ASSERT_EQ(wire::set(platform::SETBREAK), 1);
    ASSERT_EQ(wire::delay_us(4), 0);
    ASSERT_EQ(wire::set(platform::CLRBREAK), 1);
    ASSERT_EQ(wire::delay_us(4), 0);
    if (cable) {
      // Every byte is looked at: the pulse's first read-back, one byte after the switch.
      const int64_t seen = wire::watch(1, from, wire::position() - 1);
      EXPECT_EQ(seen, from + 1);
      EXPECT_EQ(wire::watch(0, seen, wire::position() - 1), from + 1 + 4);
    } else {
      EXPECT_EQ(wire::read(platform::MS_CTS_ON), 0);
      EXPECT_NE(*wire::cts_event_word(), 0u);
      wire::disarm_cts_event();
    }
    ASSERT_EQ(serial::close_port(), 1);
  }
}

// The line test runs on the pins: each echo is read through the cable and found right.
TEST(Cable, LineTestOnThePins) {
  sim::reset();
  sim::set_usb_devices({sim::UsbDevice{}});
  sim::push_keys_after("DTR = 0", {'q'});
  const harness::RunResult r = harness::run_tool({"-F", "-T"}, "/sim/tolvern");
  EXPECT_EQ(r.exit_code, 1);
  const std::string right = cp866(RU("; ответный сигнал - верный.\r\n"));
  EXPECT_EQ(harness::count(r.console, right), 4) << r.console;
}

}  // namespace

namespace {

// The trace entries of one line function from `after` on.
std::vector<double> times_of(uint32_t function, double after) {
  std::vector<double> times;
  for (const sim::TraceEntry& e : sim::trace()) {
    if (e.kind == sim::TraceEntry::escape && e.function == function && e.time_us >= after) times.push_back(e.time_us);
  }
  return times;
}

// A signal on the cable: the handler only notes it; the stream takes it at its next round trip
// and, from the levels on the pins, releases the data line, 2 ms later drops the clock, 500 ms
// later the supply, closes the cable and ends the process with 128 + the signal. Each pause
// grows by the round trip that carries the next switch (1 ms here, and its one byte).
TEST(Cable, SignalPowersTheTargetOffInOrder) {
  ASSERT_TRUE(harness::fresh_cable());
  sim::set_trace(true);
  for (const uint32_t on : {platform::SETRTS, platform::SETDTR, platform::SETBREAK}) ASSERT_EQ(wire::set(on), 1);
  ASSERT_EQ(wire::flush(), 0);
  ASSERT_TRUE(sim::cable_state(0).target_powered);
  sim::raise_signal_at_us(SIGINT, sim::now_us());
  // Queued, never sent: the emergency starts from what the pins show.
  ASSERT_EQ(wire::set(platform::CLRDTR), 1);
  EXPECT_NE(wire::flush(), 0);
  EXPECT_EQ(sim::ended_for_signal(), SIGINT);
  const double seen = sim::signal_seen_at_us();
  const std::vector<double> brk = times_of(platform::CLRBREAK, seen), dtr = times_of(platform::CLRDTR, seen),
                            rts = times_of(platform::CLRRTS, seen);
  ASSERT_EQ(brk.size(), 1u);
  ASSERT_EQ(dtr.size(), 1u);
  ASSERT_EQ(rts.size(), 1u);
  constexpr double round_trip_us = 1000 + ft232r::byte_period_us;
  EXPECT_TRUE(harness::within(dtr[0] - brk[0], 2000 + round_trip_us, 2000 + round_trip_us + 1)) << dtr[0] - brk[0];
  EXPECT_TRUE(harness::within(rts[0] - dtr[0], 500000 + round_trip_us, 500000 + round_trip_us + 1))
      << rts[0] - dtr[0];
  EXPECT_TRUE(times_of(platform::SETRTS, seen).empty() && times_of(platform::SETDTR, seen).empty() &&
              times_of(platform::SETBREAK, seen).empty());
  const sim::CableState after = sim::cable_state(0);
  EXPECT_FALSE(after.open || after.bitbang || after.rts || after.dtr || after.brk || after.target_powered);
  EXPECT_EQ(&wire::driver(), &wire::com_port);
}

// A chip whose output latch does not survive the switch into synchronous mode comes up with
// every line on (the latch's zeros): the one pin read after the switch sees it, and before
// anything else the lines go off in the power-off order from where the pins stand.
TEST(Cable, PinsNotIdleAfterTheModeSwitch) {
  sim::reset();
  sim::UsbDevice lost{};
  lost.latch_lost = true;
  sim::set_usb_devices({lost});
  sim::set_trace(true);
  const harness::RunResult r = harness::run_tool({"-F"}, "/sim/tolvern");
  EXPECT_EQ(r.exit_code, 114) << r.console;
  EXPECT_NE(r.console.find(cp866(RU("Выводы кабеля FT232R A10KSIM1 не пришли в исходное состояние ( 0x00 вместо "
                                    "0x15 ), возможно, на микросхему подано питание. Отключаем линии, завершаем "
                                    "работу."))),
            std::string::npos)
      << r.console;
  EXPECT_EQ(sim::cable_counters().pin_reads, 1);
  // The mode switch itself turned everything on; the tool switched nothing on after it.
  const std::vector<double> brk = times_of(platform::CLRBREAK, 0), dtr = times_of(platform::CLRDTR, 0),
                            rts = times_of(platform::CLRRTS, 0);
  ASSERT_EQ(times_of(platform::SETRTS, 0).size(), 1u);
  ASSERT_EQ(times_of(platform::SETDTR, 0).size(), 1u);
  ASSERT_FALSE(brk.empty());
  ASSERT_FALSE(dtr.empty());
  ASSERT_FALSE(rts.empty());
  EXPECT_LT(brk[0], dtr[0]);
  EXPECT_GE(dtr[0] - brk[0], 2000);
  EXPECT_GE(rts[0] - dtr[0], 500000);
  EXPECT_EQ(sim::rom_calls(sim::RomFunction::erase_all), 0);
  const sim::CableState after = sim::cable_state(0);
  EXPECT_FALSE(after.open || after.bitbang || after.rts || after.dtr || after.brk || after.target_powered);
}

// The same in the middle of a programming run and while the adapter is checked: the run ends
// there with 128 + the signal, the target unpowered and the cable closed.
TEST(Cable, SignalEndsTheRunWithTheTargetOff) {
  const struct { const char* name; double at_us; int answer; bool powered; } rows[] = {
      {"mid-run", 6e6, output::key_enter, true},
      {"adapter check", 0, sim::no_answer, false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    sim::reset();
    sim::set_usb_devices({sim::UsbDevice{}});
    sim::set_trace(true);
    sim::raise_signal_at_us(SIGTERM, row.at_us);
    const harness::RunResult r = harness::run_tool({"-F"}, "/sim/tolvern", row.answer);
    EXPECT_EQ(r.exit_code, 128 + SIGTERM) << r.console;
    EXPECT_EQ(sim::ended_for_signal(), SIGTERM);
    const double seen = sim::signal_seen_at_us();
    ASSERT_GE(seen, row.at_us);
    if (row.powered) {
      EXPECT_NE(r.console.find(cp866(RU("Стадия 2"))), std::string::npos) << r.console;
      const std::vector<double> rts = times_of(platform::CLRRTS, seen);
      ASSERT_EQ(rts.size(), 1u);
      EXPECT_GE(rts[0] - seen, 502000);
    }
    EXPECT_EQ(r.console.find(cp866(RU("Работа успешно завершена."))), std::string::npos);
    const sim::CableState after = sim::cable_state(0);
    EXPECT_FALSE(after.open || after.bitbang || after.rts || after.dtr || after.brk || after.target_powered);
  }
}

}  // namespace

namespace {

// app::reset_modules gives what a fresh process has: the same cable run twice in one process
// gives the same transcript and stream counters, and every module's state, dirtied, comes back.
TEST(Cable, ResetModulesGivesAFreshProcess) {
  const auto cable_run = [] {
    sim::reset();
    sim::set_usb_devices({sim::UsbDevice{}});
    const harness::RunResult r = harness::run_tool({"-F"}, "/sim/tolvern", output::key_enter);
    const ft232r::Counters c = ft232r::counters();
    return std::make_tuple(r.exit_code, r.console, c.transfers, c.bytes, c.samples);
  };
  const auto first = cable_run();
  EXPECT_EQ(std::get<0>(first), 0);
  EXPECT_GT(std::get<2>(first), 0);
  EXPECT_EQ(cable_run(), first);

  ASSERT_TRUE(harness::fresh_cable());
  ASSERT_EQ(wire::set(platform::SETRTS), 1);
  ASSERT_EQ(wire::flush(), 0);
  output::set_error_code(5);
  serial::port_list[0] = 3;
  issp::timing = issp::Timing{2, 2};
  issp::chip_identity = issp::ChipIdentity{0x1234, 0x5678};
  image::header_position = 5;
  image::image_counters.byte_calls = 1;
  app::options.log = true;
  app::set_exit_code(7);
  app::reset_modules();
  EXPECT_EQ(output::error_code(), 0);
  EXPECT_FALSE(serial::port.on_cable);
  EXPECT_STREQ(serial::port.port_name, "");
  EXPECT_EQ(serial::port_list[0], 0);
  EXPECT_EQ(&wire::driver(), &wire::com_port);
  EXPECT_EQ(ft232r::counters().transfers + ft232r::counters().bytes + ft232r::counters().samples, 0);
  EXPECT_EQ(issp::timing.clock_half_period_us + issp::timing.release_delay_us, 0);
  EXPECT_EQ(issp::chip_identity.SiliconID + issp::chip_identity.RevisionID, 0);
  EXPECT_EQ(image::header_position + image::image_counters.byte_calls, 0u);
  EXPECT_FALSE(app::options.log);
  EXPECT_EQ(app::run_state.exit_code, 0);
}

}  // namespace

namespace {

// Takes a sample and returns, leaving it queued, as a wait that ends on its event word does.
wire::Sample sample_and_leave() {
  wire::Sample s;
  EXPECT_EQ(wire::sample(platform::MS_CTS_ON, &s), wire::pending);
  return s;
}

// A queued sample keeps its value through a transfer that makes room in a full stream, and
// one left queued by a caller that has moved on is filled in the stream's own slot: the flush
// writes into no caller's memory, and later samples read right.
TEST(Cable, SamplesLiveInTheStreamsSlots) {
  ASSERT_TRUE(harness::fresh_cable());
  ASSERT_EQ(wire::set(platform::SETBREAK), 1);  // the break drives the data line, CTS reads it high
  ASSERT_EQ(wire::delay_us(4), 0);
  const wire::Sample high = sample_and_leave();
  // Far more bytes than one round trip holds: the stream goes out to make room.
  const long long transfers = ft232r::counters().transfers;
  for (int i = 0; i < 200000; ++i) ASSERT_EQ(wire::set(platform::SETBREAK), 1);
  EXPECT_GT(ft232r::counters().transfers, transfers);
  ASSERT_EQ(wire::set(platform::CLRBREAK), 1);
  ASSERT_EQ(wire::delay_us(4), 0);
  const wire::Sample abandoned = sample_and_leave();
  const wire::Sample low = sample_and_leave();
  ASSERT_EQ(wire::flush(), 0);
  EXPECT_EQ(wire::level(high), 1);
  EXPECT_EQ(wire::level(abandoned), 0);
  EXPECT_EQ(wire::level(low), 0);
  EXPECT_EQ(wire::read(platform::MS_CTS_ON), 0);
}

}  // namespace
