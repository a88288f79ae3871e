// What the operator sees beyond the messages: the progress line, the firmware line, the
// SiliconID the container is meant for, and the verify-only run (-V).
#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/run.h"
#include "image/container.h"
#include "image/container_format.h"
#include "output/keyboard.h"
#include "output/messages.h"
#include "output/progress.h"
#include "platform/cp1251_literal.h"
#include "platform/platform.h"
#include "sim/world.h"
#include "tests/harness.h"
#include "tests/issp_trace.h"

namespace {

using harness::cp866;

// What a terminal leaves on the screen: a carriage return goes back to the line's start,
// text overwrites, the bell takes no room; trailing blanks are not seen.
std::string screen(const std::string& bytes) {
  std::vector<std::string> lines(1);
  std::size_t col = 0;
  for (const char c : bytes) {
    if (c == '\r') {
      col = 0;
    } else if (c == '\n') {
      lines.emplace_back();
      col = 0;
    } else if (c != '\a') {
      std::string& l = lines.back();
      if (l.size() <= col) l.resize(col + 1, ' ');
      l[col++] = c;
    }
  }
  std::string out;
  for (std::string& l : lines) out += l.erase(l.find_last_not_of(' ') + 1) + "\n";
  return out;
}

// The progress writer on the simulated clock: one update every 10 ms of work.
TEST(Progress, RedrawsFourTimesASecondOnATerminalOnly) {
  for (const bool interactive : {true, false}) {
    SCOPED_TRACE(interactive ? "terminal" : "pipe");
    harness::reset_world();
    sim::set_console_interactive(interactive);
    output::show_message("%s", RU("Стадия 2"));
    const long long reads_before = sim::counters().counter_reads;
    output::progress_start(60);
    std::vector<double> draws;
    for (int b = 0; b < 300; ++b) {
      const std::size_t before = sim::console_output().size();
      output::progress_update(RU("запись блока"), b + 1, 300, static_cast<uint32_t>(b), 300);
      if (sim::console_output().size() != before) draws.push_back(sim::now_us());
      platform::sleep_ms(10);
    }
    output::show_message(" - OK\r\n");
    EXPECT_EQ(screen(sim::console_output()), cp866(RU("Стадия 2 - OK\n\n")));
    if (!interactive) {
      EXPECT_EQ(sim::console_output(), cp866(RU("Стадия 2 - OK\r\n")));
      EXPECT_EQ(sim::counters().counter_reads, reads_before);
      continue;
    }
    ASSERT_EQ(draws.size(), 12u);  // 3 s of work: at 0, 0.25, ..., 2.75 s
    for (std::size_t k = 1; k < draws.size(); ++k) EXPECT_TRUE(harness::within(draws[k] - draws[k - 1], 250e3, 260e3));
    const std::string first = "\r" + cp866(RU("Стадия 2  запись блока 1 из 300, прошло 0:00"));
    EXPECT_EQ(sim::console_output().find(first), cp866(RU("Стадия 2")).size());
  }
}

// The estimate replaces the announced minute only where that is off by half or double.
TEST(Progress, MeasuredEstimateWhereTheAnnouncedTimeIsPlainlyWrong) {
  // elapsed_ms: before half of the work is done; done: of 1000; shown: the estimate, or "" for none.
  const struct { uint32_t announced_s; uint32_t elapsed_ms; uint32_t done; const char* shown; } cases[] = {
      {60, 14400, 500, RU(", осталось около 0:14")}, {60, 15600, 500, ""}, {60, 59400, 500, ""},
      {60, 60600, 500, RU(", осталось около 1:01")}, {60, 150000, 500, RU(", осталось около 2:30")},
      {60, 150000, 49, ""}, {60, 15000, 50, RU(", осталось около 4:45")}, {0, 30000, 500, RU(", осталось около 0:30")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.elapsed_ms);
    harness::reset_world();
    sim::set_console_interactive(true);
    output::progress_start(c.announced_s);
    platform::sleep_ms(c.elapsed_ms);
    output::progress_update(RU("проверка блока"), 7, 128, c.done, 1000);
    const std::string text = sim::console_output();
    const std::string estimate = cp866(RU(", осталось"));
    if (c.shown[0] == '\0') {
      EXPECT_EQ(text.find(estimate), std::string::npos) << text;
    } else {
      EXPECT_NE(text.find(cp866(RU("проверка блока 7 из 128, прошло "))), std::string::npos) << text;
      EXPECT_EQ(text.substr(text.find(estimate)), cp866(c.shown));
    }
  }
}

// A line that would wrap an 80-column console cannot be redrawn in place: nothing is drawn.
TEST(Progress, NeverWiderThanTheConsole) {
  for (const std::size_t prefix : {41u, 42u}) {
    harness::reset_world();
    sim::set_console_interactive(true);
    output::show_message("%s", std::string(prefix, 'x').c_str());
    output::progress_start(60);
    output::progress_update(RU("запись блока"), 100, 128, 0, 1);  // 38 columns
    EXPECT_EQ(sim::console_output().size() > prefix, prefix + 38 <= 79);
  }
}

// Whole runs on an interactive console: the screen keeps exactly the logged text, and the
// log is the same as without a terminal.
TEST(Progress, ScreenAndLogKeepTheMessagesExactly) {
  for (const bool fail : {false, true}) {
    SCOPED_TRACE(fail ? "verify difference in block 100" : "success");
    std::string logs[2];
    for (const bool interactive : {false, true}) {
      const harness::TempDir dir;
      sim::reset();
      sim::set_console_interactive(interactive);
      if (fail) sim::chip_config().faults.push_back(sim::chip_fault::corrupt_written_block(100, 3, 0x10));
      const auto r = harness::run_tool({"-C1", "-L"}, dir / "tolvern", output::key_enter);
      EXPECT_EQ(r.exit_code, fail ? 101 : 0);
      logs[interactive] = harness::read_file(dir / "Tolvern.log");
      const std::string plain = "\r\n" + cp866(RU("Используется файл журнала.\r\n\r\n")) + cp866(logs[interactive]);
      EXPECT_EQ(r.console.find(cp866(RU("Стадия 2  запись блока"))) != std::string::npos, interactive);
      EXPECT_EQ(r.console.find(cp866(RU("Стадия 3  проверка блока"))) != std::string::npos, interactive && !fail);
      EXPECT_EQ(screen(r.console), screen(plain));
      if (!interactive) {  // the same bytes, but for the bell of a failure
        std::string console = r.console;
        if (fail) console.erase(console.rfind('\a'), 1);
        EXPECT_EQ(console, plain);
      }
    }
    EXPECT_EQ(logs[0], logs[1]);
  }
}

TEST(OperatorView, SiliconIdAndFirmwareLine) {
  std::vector<uint8_t> img(image::image_size);
  for (std::size_t i = 0; i < img.size(); ++i) img[i] = static_cast<uint8_t>(i * 13 + (i >> 7));
  uint8_t meant_for_10[image::tail_size], meant_for_11[image::tail_size], damaged[image::tail_size];
  image::put_expected_silicon_id(0x0010, meant_for_10);
  image::put_expected_silicon_id(0x0011, meant_for_11);
  image::put_expected_silicon_id(0x0010, damaged);
  damaged[9] ^= 1;
  const uint8_t marker_only[image::tail_size] = {'T', 'v', 'S', 'I', 'D', 2, 0, 0x11, 0xFF, 0xEE};
  // tail: null: ten zero bytes, as every container before.
  const struct { const char* name; const uint8_t* tail; int32_t exit_code; const char* meant_for; } cases[] = {
      {"no marker", nullptr, 0, ""}, {"another marker", marker_only, 0, ""},
      {"meant for this chip", meant_for_10, 0, RU(", для SiliconID 0x0010")},
      {"meant for another chip", meant_for_11, 113, ""}, {"damaged", damaged, 112, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const harness::TempDir dir;
    uint16_t v = 0;
    const std::string program = harness::program_with_container(dir, img, 0xC0FFEE01u, c.tail, "Tolvern-unit.dat", &v);
    sim::reset();
    sim::flash_mut().fill(0x5A);
    sim::set_trace(true);
    const auto r = harness::run_tool({"-C1", "-D", "-L"}, program, output::key_enter);
    EXPECT_EQ(r.exit_code, c.exit_code);
    const std::string log = harness::read_file(dir / "Tolvern.log");
    const std::string line = harness::format(RU("  Прошивка: файл Tolvern-unit.dat, контрольное значение 0x%04X"), v) +
                             c.meant_for + ".\r\n\r\n";
    const std::string identity = RU("  RevisionID: 0x0021\r\n\r\n");
    if (c.exit_code == 0) {
      EXPECT_NE(log.find(identity + line + app::last_chance_prompt()), std::string::npos) << log;
      EXPECT_TRUE(sim::flash_equals_image());
    } else {
      EXPECT_EQ(sim::rom_calls(sim::RomFunction::erase_all), 0);
      EXPECT_EQ(sim::flash()[0], 0x5A);
    }
    if (c.exit_code == 113) {
      // Off before the message, as after a failed check, and again in the failure shutdown.
      const auto switched = issp_trace::escapes();
      const auto last_on = std::find(switched.rbegin(), switched.rend(), platform::SETRTS).base();
      EXPECT_EQ(std::count(last_on, switched.end(), platform::CLRRTS), 2);
      EXPECT_EQ(log.substr(log.find(identity)), identity + RU("\r\n\r\nНеверная микросхема: SiliconID 0x0010, ожидался "
                                                               "0x0011, завершаем работу.\r\n\r\n"));
    }
    if (c.exit_code == 112) {
      EXPECT_EQ(r.console.find(cp866(RU("Начало работы."))), std::string::npos);
    }
  }
}

// -V on a chip the procedure has programmed and protected, then on one that differs in a byte.
TEST(OperatorView, VerifyOnlyWritesNothing) {
  const harness::TempDir dir;
  sim::reset();
  ASSERT_EQ(harness::run_tool({"-C1"}, dir / "tolvern", output::key_enter).exit_code, 0);
  ASSERT_TRUE(sim::protection_set());
  const std::string verify = cp866(RU("\r\n\r\nПроверка без стирания и записи.\r\n\r\nСтадия 3"));
  // flipped: flash byte changed before the run, -1 none.
  const struct { const char* name; std::string arg; int flipped; int32_t exit_code; std::string tail; } cases[] = {
      {"programmed", "-V", -1, 0, cp866(RU(" - OK\r\n\r\nПрошивка микросхемы совпадает с образом.\r\n\r\n"))},
      {"lower case", "-v", -1, 0, cp866(RU(" - OK\r\n\r\nПрошивка микросхемы совпадает с образом.\r\n\r\n"))},
      {"block 77 differs", "-V", 77 * 64 + 9, 101,
       cp866(RU("\r\n\r\nОшибка при окончательной проверке результатов, завершаем работу.\r\n")) + "\r\n\r\n\a\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.flipped >= 0) sim::flash_mut()[static_cast<std::size_t>(c.flipped)] ^= 0x40;
    const auto flash = sim::flash();
    long long calls[sim::rom_function_slots];
    for (int f = 0; f < sim::rom_function_slots; ++f) calls[f] = sim::counters().srom_calls[f];
    const auto r = harness::run_tool({"-C1", c.arg}, dir / "tolvern");
    EXPECT_EQ(r.exit_code, c.exit_code);
    ASSERT_NE(r.console.find(verify), std::string::npos) << r.console;
    EXPECT_EQ(r.console.substr(r.console.find(verify) + verify.size()), c.tail);
    EXPECT_EQ(r.console.find(cp866(app::last_chance_prompt())), std::string::npos);
    EXPECT_EQ(sim::flash(), flash);
    for (const auto f : {sim::RomFunction::erase_all, sim::RomFunction::write_block, sim::RomFunction::protect,
                         sim::RomFunction::read_block}) {
      EXPECT_EQ(sim::counters().srom_calls[static_cast<int>(f)], calls[static_cast<int>(f)]);
    }
    if (c.exit_code == 0) {
      EXPECT_EQ(sim::counters().srom_calls[static_cast<int>(sim::RomFunction::checksum)] -
                    calls[static_cast<int>(sim::RomFunction::checksum)], 255);
    }
  }
}

}  // namespace
