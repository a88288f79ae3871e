// tolvern.exe, unmodified, under wine: the command line, the data file, the log, the ports the
// system lists and the whole programming of the simulated chip through a virtual serial port,
// each with its exit code and the exact code page 866 bytes the console receives.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tests/vserial/run_kit.h"
#include "tests/wine/wine_world.h"

namespace {

using wine_world::cp1251;
using wine_world::cp866;
using run_kit::read_file;
using run_kit::write_file;

// Wine's performance counter runs at 10 MHz.
const std::string counter_line = "High-Resolution Performance Counter: частота 10000000 тиков в секунду.\r\n";
const std::string log_notice = "Используется файл журнала.\r\n\r\n";
const std::string prompt = "Последний шанс";

std::string program_file(const char* name) { return wine_world::program_folder() + "/" + name; }

// A container of the demo firmware as tolvern-pack makes it.
std::string demo_container() {
  const std::string out = wine_world::program_folder() + "/packed.tmp";
  const std::string command = std::string(TOLVERN_SOURCE_DIR) + "/build/release/tolvern-pack " + TOLVERN_SOURCE_DIR +
                              "/firmware/demo-firmware.hex -o " + out + " > /dev/null";
  EXPECT_EQ(std::system(command.c_str()), 0);
  std::string bytes = read_file(out);
  unlink(out.c_str());
  return bytes;
}

void clear_program_folder() {
  for (const char* name : {"Tolvern.dat", "Tolvern.log"}) {
    chmod(program_file(name).c_str(), 0644);
    unlink(program_file(name).c_str());
  }
  unlink((wine_world::drive_root_folder('D') + "/Tolvern.log").c_str());
}

// No port is touched: the switches, the data file and the log, with the exact bytes of the
// console and of the log (Windows-1251), and the program directory both ways it is found.
TEST(Wine, CommandLineDataFileAndLog) {
  const std::string container = demo_container();
  ASSERT_EQ(container.size(), 8208u);
  const std::string bell_end = "\a\r\n";
  // drive: 0: started with its path; 'D', 'E': as "tolvern" from that root; data_file: Tolvern.dat beside the program
  // ("" none); read_only_log: an old Tolvern.log that cannot be deleted; output: UTF-8 here, compared as code page 866;
  // log: "" no log expected.
  const struct { const char* what; char drive; const char* command; std::string data_file; bool read_only_log = false;
      long exit_code; std::string output; std::string log; } cases[] = {
      {"a lone dash after a good switch", 0, "-D -", "", false, 127, "\r\n\r\nНеверные параметры.\r\n\r\n", ""},
      {"empty argument after a good switch", 0, "-L \"\" -x", "", false, 10,
       "\r\n\r\nНепонятная ошибка в строке 3387 программы.\r\n" + bell_end, ""},
      {"-D, no data file", 0, "-D", "", false, 3, "\r\n" + counter_line + "\r\nФайл данных не найден.\r\n", ""},
      {"-D, 8207 bytes", 0, "-d", container.substr(0, 8207), false, 111,
       "\r\n" + counter_line + "\r\nНеверная длина файла данных.\r\n" + bell_end, ""},
      {"-L, old log read-only", 0, "-L", "", true, 2,
       "\r\n" + log_notice + "\r\nНевозможно стереть файл журнала.\r\n\a\r\n", ""},
      {"-L with -D, no data file", 0, "-L -D", "", false, 3,
       "\r\n" + log_notice + counter_line + "\r\nФайл данных не найден.\r\n",
       counter_line + "\r\nФайл данных не найден.\r\n"},
      {"started as \"tolvern\" from the root of D:", 'D', "-L -D", "", false, 3,
       "\r\n" + log_notice + counter_line + "\r\nФайл данных не найден.\r\n",
       counter_line + "\r\nФайл данных не найден.\r\n"},
      // The program directory of a drive root ends in two backslashes, as the path shows.
      {"started as \"tolvern\" from the root of the read-only E:", 'E', "-L", "", false, 1,
       "\r\n" + log_notice + "\r\n\r\nОшибка 13 при работе с файлом:\r\nE:\\\\Tolvern.log\r\n\a" + bell_end, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    clear_program_folder();
    if (!c.data_file.empty()) write_file(program_file("Tolvern.dat"), c.data_file);
    if (c.read_only_log) {
      write_file(program_file("Tolvern.log"), "old");
      chmod(program_file("Tolvern.log").c_str(), 0444);
    }
    wine_world::Run run;
    run.command = c.command;
    run.drive = c.drive;
    const wine_world::Outcome o = wine_world::run(run);
    EXPECT_EQ(o.exit_code, c.exit_code) << o.output;
    EXPECT_EQ(o.output, cp866(c.output));
    const std::string log_file = run.drive != 0 ? wine_world::drive_root_folder(run.drive) + "/Tolvern.log"
                                                : program_file("Tolvern.log");
    if (!c.log.empty()) {
      EXPECT_EQ(read_file(log_file), cp1251(c.log));
    }
    if (c.read_only_log) {
      EXPECT_EQ(read_file(log_file), "old");
    }
  }
  clear_program_folder();
}

// The ports the system lists and what is behind them: a port whose open succeeds but whose
// line calls fail, no port at all, discovery past a failing port to the adapter, the line test
// with an adapter that has no chip, and a port with nothing attached.
TEST(Wine, PortsDiscoveryAndLineTest) {
  const int null_port = wine_world::null_port;
  const int adapter = wine_world::adapter_port;
  // One cycle of the line test with the adapter (no chip): DSR follows RTS, CTS follows TxD.
  const std::string echo = "; ответный сигнал - верный.\r\n";
  const std::string line_test_cycle = "RTS = 1" + echo + "RTS = 0" + echo + "TxD = 1" + echo + "TxD = 0" + echo +
                                      "DTR = 1\r\nDTR = 0\r\n";
  const struct { const char* what; wine_world::Run run; long exit_code; std::string output; } cases[] = {
      // Wine opens /dev/null as a file: the first line call fails with 6, as with a handle
      // that is not a port's.
      {"-C3 on /dev/null", {"-C3", {}, {}, {}, false}, 6,
       "\r\n" + counter_line + "\r\nПринудительная работа с портом COM3\r\n\r\nОткрываем порт COM3" +
           "\r\n\r\nПорт COM3 не открыт.\a\r\n"},
      {"no ports", {"", {}, {}, {}, false}, 1,
       "\r\n" + counter_line + "COM-портов не обнаружено. Завершаем работу.\r\n\a\r\n"},
      // The cable path without FTDI's driver: the program still starts and says what is missing.
      {"-F without ftd2xx.dll", {"-F", {}, {}, {}, false}, 1157,
       "\r\n" + counter_line + "\r\n\r\nБиблиотека ftd2xx.dll не найдена ( ошибка 1157 ): установите драйвер FTDI.\a\r\n"},
      {"discovery past a failing port, then the line test",
       {"-T", {null_port, adapter}, {"DTR = 0", "x"}, {"VSERIAL_ATTACH=nochip"}, 0, true}, 1,
       "\r\n" + counter_line + "\r\nНайдено COM-портов - 2:\r\n COM3 - непонятная ошибка ( код 6 ).\r\n" +
           " COM5 - обнаружен адаптер.\r\n\r\nОткрываем порт COM5 - успешно.\r\n\r\n" +
           "Тестовый режим. Для завершения - нажмите любую клавишу.\r\n\r\n" + line_test_cycle +
           "RTS = 1; ответный сигнал - верный.\r\n\r\n"},
      {"nothing attached", {"", {adapter}, {}, {"VSERIAL_ATTACH=plain"}, false}, 1,
       "\r\n" + counter_line + "\r\nНайдено COM-портов - 1:\r\n COM5 - доступен.\r\n\r\n\r\n" +
           "Адаптер не обнаружен. Завершаем работу.\r\n\a\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const wine_world::Outcome o = wine_world::run(c.run);
    EXPECT_EQ(o.exit_code, c.exit_code) << o.output;
    EXPECT_EQ(o.output, cp866(c.output));
    // The line test ends on a key with the lines as its last step left them; the close drops
    // them (HUPCL, as Windows' serial driver does), so the target is off once the port is.
    EXPECT_EQ(o.status.powered, 0);
    EXPECT_EQ(o.status.open_fds, 0);
  }
}

// The whole programming of the simulated chip, the operator's ESC at the prompt and a chip that
// falls silent, through the virtual serial port on COM5.
TEST(Wine, ProgramsTheSimulatedChip) {
  const std::string expected = run_kit::reference_flash(wine_world::program_folder() + "/flash.tmp");
  ASSERT_EQ(expected.size(), 8192u);
  const int adapter = wine_world::adapter_port;
  const struct { const char* what; wine_world::Run run; long exit_code; const char* ending; } cases[] = {
      {"success", {"-C5", {adapter}, {prompt, "\r"}, {"VSERIAL_ATTACH=adapter"}, false}, 0, "Работа успешно завершена."},
      {"ESC at the prompt", {"", {adapter}, {prompt, "\x1b"}, {"VSERIAL_ATTACH=adapter"}, false}, 1, "Работа прервана."},
      {"chip falls silent", {"-C5", {adapter}, {prompt, "\r"}, {"VSERIAL_SILENT_AFTER=20000"}, false}, 101,
       "Ошибка при обмене данными"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const wine_world::Outcome o = wine_world::run(c.run);
    EXPECT_EQ(o.exit_code, c.exit_code) << o.output << run_kit::wire_counts(o.status);
    EXPECT_NE(o.output.find(cp866(c.ending)), std::string::npos) << o.output;
    if (c.exit_code == 0) {
      EXPECT_TRUE(run_kit::flash_of(o.status) == expected);
      run_kit::expect_sound_wire(o.status);
    }
    run_kit::expect_left_clean(o.status);
    std::printf("[ run time ] %s: %.1f s, %lld modem-line calls, %lld vectors, %lld wait-thread sleeps cut, "
                "%lld CTS changes latched for it\n", c.what, o.seconds, static_cast<long long>(o.status.calls),
                static_cast<long long>(o.status.vectors), static_cast<long long>(o.status.wait_polls),
                static_cast<long long>(o.status.latched_changes));
  }
}

// The FT232R cable (-F) through a stand-in ftd2xx.dll in the program's folder: FTDI's driver
// modelled over the virtual FT232R, the adapter and the simulated chip, its time running ahead
// of the real one while bytes are clocked. A whole programming at both readings of the byte rate
// the divisor gives, a type-25 cable, an older library, a packet in flight at the purge, a latch
// lost at the mode switch, and the refusals; every run leaves the UART owning the pins with RTS
// and DTR off and the target unpowered.
TEST(Wine, D2XXCableProgramsTheSimulatedChip) {
  const std::string expected = run_kit::reference_flash(wine_world::program_folder() + "/flash.tmp");
  ASSERT_EQ(expected.size(), 8192u);
  using Library = wine_world::Run::D2xx;
  const std::string in_flight = "VFT232R_IN_FLIGHT_AT_PURGE=1";
  const std::string success = "Работа успешно завершена.";
  // min_phase_us: the shortest clock phase a whole run must show on the pins (2 us at the
  // fastest reading, 16 x 62 500 bytes/s: two bytes; the same two bytes at the slowest,
  // 62 500 / 4); late_bytes: bytes of a packet in flight at the purge that landed after it (at
  // least so many with the older library, whose double purge may catch one more in its pause).
  const struct { const char* what; Library library; std::vector<std::string> cable; long exit_code; std::string ending;
      double min_phase_us = 0; int64_t late_bytes = 0; } cases[] = {
      {"FT232R, fastest reading", Library::full, {}, 0, success, 2},
      {"FT232R, slowest reading", Library::full, {"VFT232R_READING=slowest"}, 0, success, 128},
      {"FT232RNL (type 25)", Library::full, {"VFT232R_TYPE=25"}, 0, success, 2},
      {"a library without FT_StopInTask", Library::no_in_task, {}, 0, success, 2},
      {"a packet in flight at the purge", Library::full, {in_flight}, 0, success, 2},
      // The older library: the packet lands after the first purge (the proof that the case above
      // tests something) and goes with the second, made after a pause.
      {"a packet in flight at the purge, no FT_StopInTask", Library::no_in_task, {in_flight}, 0, success, 2, 1},
      {"latch lost at the mode switch", Library::full, {"VFT232R_LATCH_LOST=1"}, 114, "FT232R"},
      {"nothing attached", Library::full, {"VFT232R_ATTACH=none"}, 1, "Адаптер не обнаружен"},
      {"chip falls silent", Library::full, {"VFT232R_SILENT_AFTER=20000"}, 101, "Ошибка при обмене данными"},
      {"no cable", Library::full, {"VFT232R_CABLES=0"}, 1, "Кабель FT232R не обнаружен"},
      // The cable's last user left the UART's RTS and DTR asserted: powered until the tool takes
      // the pins, and again if the UART got them back so.
      {"RTS and DTR left asserted in the UART", Library::full, {"VFT232R_MODEM_CONTROL=3"}, 0, success, 2},
      // The same cable, and the purge after the switch to synchronous mode fails: the close alone
      // hands the pins back, and must clear RTS and DTR before it does.
      {"RTS and DTR left asserted, FT_Purge fails", Library::full,
       {"VFT232R_MODEM_CONTROL=3", "VFT232R_FAIL_CALL=FT_Purge"}, 1167, "FT232R"},
      // Busy signals that rise late after the release, each within a round trip of the cable
      // or beyond it: the chip must still be clocked, and so sampled, while the host waits.
      {"late busy signal: checksum, 600 us", Library::full, {"VFT232R_LATE_ANSWER=checksum:600"}, 0, success, 2},
      {"late busy signal: read block, 300 us", Library::full, {"VFT232R_LATE_ANSWER=read-block:300"}, 0, success, 2},
      {"late busy signal: table read, 2500 us", Library::full, {"VFT232R_LATE_ANSWER=table-read:2500"}, 0, success, 2},
      // Pulled out 5 s into the cable's time: during the procedure at the fastest reading.
      {"cable pulled out mid-run", Library::full, {"VFT232R_UNPLUG_AT_US=5000000"}, 1167,
       "устройство отключено ( ошибка 1167 )"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    wine_world::Run run;
    run.command = "-F";
    run.keys = {prompt, "\r"};
    run.d2xx = c.library;
    run.cable = c.cable;
    const wine_world::Outcome o = wine_world::run(run);
    const vft232r::Report& d = o.cable.device;
    const ftd2xx_standin::Driver& driver = o.cable.driver;
    const std::string wire = "chip: " + std::to_string(d.malformed_frames) + " malformed frames, " +
                             std::to_string(d.rejected_calls) + " refused calls, " +
                             std::to_string(d.timing_violations) + " timing violations, " +
                             std::to_string(d.contention) + " contention, " + std::to_string(d.vectors) + " vectors";
    EXPECT_EQ(o.exit_code, c.exit_code) << o.output << wire;
    EXPECT_NE(o.output.find(cp866(c.ending)), std::string::npos) << o.output;
    // The UART owns the pins again, TXD, RTS and DTR its outputs, with RTS and DTR off: the
    // target unpowered. A cable pulled out keeps the mode it had and drives nothing.
    const bool pulled_out = std::any_of(c.cable.begin(), c.cable.end(), [](const std::string& setting) {
      return setting.rfind("VFT232R_UNPLUG_AT_US=", 0) == 0;
    });
    if (!pulled_out && d.opened > 0) {
      EXPECT_EQ(d.mode, 0);
      EXPECT_EQ(d.output_mask, 0x15);
      EXPECT_LT(d.powered_us, driver.bitmode_reset_us) << "the target powered at or after the close's bit-mode reset";
      // The latch byte written with every pin an input, 2 ms for it, then synchronous mode.
      EXPECT_GE(driver.latch_pause_us, 2000);
    }
    EXPECT_EQ(d.lines, 0);
    EXPECT_EQ(d.powered, 0);
    EXPECT_EQ(d.uart_bytes, 0) << "serial data sent onto the target's data line";
    if (c.library == Library::full) {
      EXPECT_EQ(driver.late_bytes, c.late_bytes);
    } else {
      // Without FT_StopInTask a packet under way at the first of the two purges lands in the
      // pause between them and goes with the second: at least the forced one lands late.
      EXPECT_GE(driver.late_bytes, c.late_bytes);
    }
    const bool late_answer = std::any_of(c.cable.begin(), c.cable.end(), [](const std::string& setting) {
      return setting.rfind("VFT232R_LATE_ANSWER=", 0) == 0;
    });
    EXPECT_EQ(driver.late_answers, late_answer ? 1 : 0) << "the late busy signal was not set up: the case proves nothing";
    if (c.exit_code == 0) {
      EXPECT_TRUE(std::string(reinterpret_cast<const char*>(d.flash), sizeof d.flash) == expected);
      EXPECT_EQ(d.malformed_frames + d.rejected_calls + d.timing_violations + d.contention, 0) << wire;
      EXPECT_GT(d.calls_started, 0) << wire;
      EXPECT_EQ(d.short_phases, 0);
      EXPECT_GE(d.shortest_phase_us, c.min_phase_us - 1e-6);
      // 62 500 Bd from the 3 MHz base; D2XX refuses a 1 ms latency timer, 2 ms is the nearest.
      EXPECT_EQ(d.divisor, 48);
      EXPECT_EQ(d.latency_ms, 2);
      EXPECT_EQ(driver.short_reads + driver.short_writes, 0) << "a D2XX timeout ran out";
      // IN requests of one packet: a read-back is on its way within 62 samples.
      EXPECT_EQ(driver.in_transfer_size, 64);
      // While the chip runs a supervisory call the pins are sampled on: it clocks what was
      // written ahead while the host waits for a read-back, and a wait that let it stand for a
      // round trip at every decision would do so thousands of times in a run. The stand-in's
      // clock is the program's real time, so a stall of this machine (a loaded test host)
      // still leaves a few such stands: a handful are allowed, not a wait's worth. Shorter
      // stands, where the host's own calls outlast what was written ahead, are printed.
      EXPECT_LT(driver.unsampled_round_trips_in_calls, 100) << driver.unsampled_gaps_in_calls << " stands, "
                                                            << driver.unsampled_us_in_calls << " us in all";
    }
    if (c.exit_code == 0 || c.exit_code == 101 || c.exit_code == 114) {
      // The last power-off in order on the pins: the break off, 2 ms, DTR off (already off
      // unless the lost latch switched it on), 500 ms, RTS off.
      EXPECT_GE(d.brk_off_us, 0);
      EXPECT_TRUE(c.exit_code != 114 || d.dtr_off_us - d.brk_off_us >= 2000) << d.brk_off_us << " " << d.dtr_off_us;
      EXPECT_GE(d.rts_off_us - d.dtr_off_us, 500000) << d.dtr_off_us << " " << d.rts_off_us;
      EXPECT_GE(d.rts_off_us - d.brk_off_us, 502000) << d.brk_off_us << " " << d.rts_off_us;
    }
    if (c.exit_code == 114) {
      // Powered by the lost latch alone, then switched off before any vector.
      EXPECT_GE(d.powered_us, 0) << "the lost latch did not power the target: the case proves nothing";
      EXPECT_EQ(d.vectors, 0);
    }
    std::printf("[ run time ] %s: %.1f s real, %.1f s on the cable's clock, %lld bytes clocked, shortest clock phase "
                "%.1f us, longest read %.1f ms, %lld IN-task stops, unsampled during calls %lld times, %.3f ms, %lld of them 1 ms or longer\n",
                c.what, o.seconds, d.now_us / 1e6, static_cast<long long>(d.bytes_clocked), d.shortest_phase_us,
                driver.longest_read_us / 1000, static_cast<long long>(driver.in_task_stops),
                static_cast<long long>(driver.unsampled_gaps_in_calls), driver.unsampled_us_in_calls / 1000,
                static_cast<long long>(driver.unsampled_round_trips_in_calls));
  }
}

}  // namespace

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  if (!wine_world::enter_private_world() || !wine_world::start()) {
    wine_world::stop();
    std::fprintf(stderr, "wine tests: no wine world, nothing run\n");
    return 1;
  }
  const int result = RUN_ALL_TESTS();
  wine_world::stop();
  return result;
}
