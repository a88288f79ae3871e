// Whole runs of the tool on the simulated world: command line, program directory, log file,
// counter check, data file and the endings.
#include <gtest/gtest.h>
#include <sys/fsuid.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/endings.h"
#include "app/program_directory.h"
#include "image/container.h"
#include "platform/cp1251_literal.h"
#include "platform/platform.h"
#include "sim/world.h"
#include "tests/harness.h"

namespace {

using harness::cp866;
using harness::run_tool;
using harness::write_file;

constexpr double shutdown_us = 3502000;  // 2 + 500 + 1000 ms of power-off, 2000 ms pause

std::string counter_line() {
  return cp866(RU("High-Resolution Performance Counter: частота 10000000 тиков в секунду.\r\n"));
}

// The console bytes of a run refused over a file, from the failure notice to the end.
std::string file_error(int error_number, const std::string& path) {
  return cp866(harness::format(RU("\r\n\r\nОшибка %d при работе с файлом:\r\n%s\r\n\a"), error_number, path.c_str())) +
         "\a\r\n";
}

// The console bytes of a run ended on an unexplained code.
std::string unclear(long long code) {
  return cp866(harness::format(RU("\r\nНепонятная ошибка ( код %lld ).\r\n"), code)) + "\a\r\n";
}

TEST(RunSpine, CommandLineForms) {
  const std::string invalid = "\r\n" + cp866(RU("\r\nНеверные параметры.\r\n")) + "\r\n";
  const std::string empty = "\r\n" + cp866(RU("\r\nНепонятная ошибка в строке 3387 программы.\r\n")) + "\a\r\n";
  const std::string forced5 = cp866(RU("\r\nПринудительная работа с портом COM5\r\n\r\nОткрываем порт COM5 - успешно."));
  const std::string discovery = cp866(RU("Открываем порт COM1 - успешно."));
  // A forced port that another program holds: the record's code and text end the run.
  const std::string busy = "\r\n" + counter_line() +
                           cp866(RU("\r\nПринудительная работа с портом COM9\r\n\r\nОткрываем порт COM9\r\n\r\n"
                                    "Порт невозможно открыть.")) + "\a\r\n";
  // exit_code: 1: the run got to its prompt or test mode and the input ended there; expected: the whole transcript, or
  // a part of it with exit code 1.
  const struct { std::vector<std::string> args; int32_t exit_code; std::string expected; } cases[] = {
      {{"-c5"}, 1, forced5}, {{"-C05"}, 1, forced5}, {{"-C7", "-c5"}, 1, forced5},
      {{"-C0"}, 1, discovery}, {{"-t"}, 1, discovery},
      {{"-C9"}, 110, busy}, {{"-C100"}, 127, invalid}, {{"-C"}, 127, invalid},
      {{"-C5x"}, 127, invalid}, {{"-DL"}, 127, invalid}, {{"-V1"}, 127, invalid}, {{"-VV"}, 127, invalid}, {{"-"}, 127, invalid}, {{"C5"}, 127, invalid},
      {{"C5", ""}, 127, invalid}, {{""}, 10, empty}, {{"-C5", "", "x"}, 10, empty},
      // A switch before or after the argument that ends the run never takes effect.
      {{"-Q", "-L"}, 127, invalid}, {{"-L", ""}, 10, empty}, {{"", "-L"}, 10, empty},
  };
  const harness::TempDir tmp;
  const std::string dir = tmp.path();
  const std::string log = dir + "/Tolvern.log";
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    write_file(log, "old log");
    sim::reset();
    sim::set_port(5, sim::PortKind::adapter);
    sim::set_port(9, sim::PortKind::busy);
    const auto r = run_tool(c.args, dir + "/tolvern");
    EXPECT_EQ(r.exit_code, c.exit_code);
    if (c.exit_code == 1) {
      EXPECT_NE(r.console.find(c.expected), std::string::npos) << r.console;
      EXPECT_EQ(r.console.find(cp866(RU("Принудительная"))) != std::string::npos, c.expected != discovery);
      EXPECT_EQ(r.console.find('\a'), std::string::npos);
    } else {
      EXPECT_EQ(r.console, c.expected);
      // Only a refused command line skips the failure shutdown with its pauses.
      EXPECT_EQ(sim::now_us() >= shutdown_us, c.exit_code != 127);
    }
    EXPECT_EQ(harness::read_file(log), "old log");
  }
}

TEST(RunSpine, ProgramDirectory) {
  // dir: "" = refused.
  const struct { std::string program, cwd; char separator; std::string dir; } cases[] = {
      {"tolvern", "/work/here", '/', "/work/here/"},
      {"/opt/tool/tolvern", "/work/here", '/', "/opt/tool/"},
      {"C:\\Tools\\tolvern.exe", "D:\\", '\\', "C:\\Tools\\"},
      {"/" + std::string(252, 'p') + "/x", "/w", '/', "/" + std::string(252, 'p') + "/"},
      {"/" + std::string(253, 'p') + "/x", "/w", '/', ""},  // 256 characters
      {"tolvern", "/" + std::string(253, 'c'), '/', "/" + std::string(253, 'c') + "/"},
      {"tolvern", "/" + std::string(254, 'c'), '/', ""},  // no room left for the separator
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.program + " in " + c.cwd);
    harness::reset_world();
    sim::set_current_directory(c.cwd);
    sim::set_path_separator(c.separator);
    char out[app::path_capacity + 16];
    std::memset(out, '#', sizeof out);
    EXPECT_EQ(app::get_program_directory(c.program.c_str(), out), !c.dir.empty());
    EXPECT_EQ(std::string(out), c.dir);
    if (c.dir.empty()) { EXPECT_EQ(platform::last_error(), 10u); }
    EXPECT_EQ(out[app::path_capacity], '#');
  }

  // A directory that cannot be found ends the run with its own code, whatever the system said.
  sim::reset();
  sim::add_call_fault({sim::Call::current_directory, 1, 5, true});
  const auto r = run_tool({}, "tolvern");
  EXPECT_EQ(r.exit_code, 10);
  EXPECT_EQ(r.console, unclear(10));
}

TEST(RunSpine, LogFileTrouble) {
  const harness::TempDir tmp;
  const std::string dir = tmp.path();
  const std::string long_dir = "/" + std::string(245, 'd') + "/";  // the program fits, its log not
  const std::string missing = dir + "/no%s%n/";
  ASSERT_EQ(mkdir((dir + "/Tolvern.log").c_str(), 0755), 0);
  write_file(dir + "/Tolvern.log/keep", "x");  // a non-empty directory cannot be deleted
  // tail: the console after "Используется файл журнала.\r\n\r\n".
  const struct { std::string name, program; int32_t exit_code; std::string tail; } cases[] = {
      {"undeletable", dir + "/tolvern", 2, cp866(RU("\r\nНевозможно стереть файл журнала.\r\n\a")) + "\r\n"},
      {"uncreatable", missing + "tolvern", 1, file_error(ENOENT, missing + "Tolvern.log")},
      {"too long", long_dir + "tolvern", 1, file_error(ENAMETOOLONG, long_dir + "Tolvern.log")},
  };
  for (const auto& c : cases) {
    sim::reset();
    const auto r = run_tool({"-L"}, c.program);
    EXPECT_EQ(r.exit_code, c.exit_code) << c.name;
    EXPECT_EQ(r.console, "\r\n" + cp866(RU("Используется файл журнала.\r\n\r\n")) + c.tail) << c.name;
    EXPECT_EQ(sim::now_us() >= shutdown_us, c.exit_code == 1) << c.name;
  }
  EXPECT_EQ(harness::read_file(dir + "/Tolvern.log/keep"), "x");
}

TEST(RunSpine, DataFile) {
  const std::string good(reinterpret_cast<const char*>(image::embedded_container), image::container_size);
  std::string corrupt = good;
  corrupt[4000] = static_cast<char>(corrupt[4000] ^ 0x01);
  const std::string not_found = cp866(RU("\r\nФайл данных не найден.")) + "\r\n";
  const std::string wrong_length = cp866(RU("\r\nНеверная длина файла данных.\r\n")) + "\a\r\n";
  const harness::TempDir tmp;
  const std::string dir = tmp.path();
  ASSERT_EQ(chmod(dir.c_str(), 0755), 0);  // searchable for the unprivileged reader below
  // A directory of 229 characters: the program fits beside it, a long data file name not.
  const harness::TempDir deep_tmp;
  std::string deep = deep_tmp.path();
  for (int i = 0; i < 5; ++i) deep += "/" + std::string(40, 'n');
  ASSERT_TRUE(std::filesystem::create_directories(deep));
  const std::string locked = dir + "/TolvernA.dat", long_name = deep + "/Tolvern-with-a-long-name.dat";
  // file: the name beside the program ("" = none); expected: the console after the counter line.
  const struct { std::string name, dir, file, content; int32_t exit_code; std::string expected; } cases[] = {
      {"missing", dir, "", "", 3, not_found},
      {"other name", dir, "Tolvern.bin", good, 3, not_found},
      // Names are matched without regard to case.
      {"short", dir, "TOLVERN1.DAT", good.substr(1), 111, wrong_length},
      {"long", dir, "tolvern-2.Dat", good + "x", 111, wrong_length},
      {"corrupt", dir, "Tolvern1.dat", corrupt, 112,
       cp866(RU("\r\nРабота с внешним файлом данных.\r\n\r\nНеверные исходные данные.\r\n")) + "\a\r\n"},
      // Mode 000, read without root's override.
      {"unreadable", dir, "TolvernA.dat", good, 1, file_error(EACCES, locked)},
      {"path too long", deep, "Tolvern-with-a-long-name.dat", good, 1, file_error(ENAMETOOLONG, long_name)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = c.dir + "/" + c.file;
    if (!c.file.empty()) write_file(path, c.content);
    const bool unreadable = path == locked;
    if (unreadable) {
      ASSERT_EQ(chmod(path.c_str(), 0), 0);
      setfsuid(65534);  // this thread only
    }
    sim::reset();
    const auto r = run_tool({"-D", "-C1"}, c.dir + "/tolvern");
    if (unreadable) setfsuid(0);
    if (!c.file.empty()) std::remove(path.c_str());
    EXPECT_EQ(r.exit_code, c.exit_code);
    EXPECT_EQ(r.console, "\r\n" + counter_line() + c.expected);
    // A file that is not there ends without the failure shutdown; every other refusal takes it.
    EXPECT_EQ(sim::now_us() >= shutdown_us, c.exit_code != 3);
    EXPECT_LT(sim::now_us(), shutdown_us + 100000);
  }
}

TEST(RunSpine, CounterCheck) {
  const std::string not_working = cp866(RU("High-Resolution Performance Counter не работает, ошибка "));
  // expected: follows the first "\r\n".
  const struct { std::string name; sim::CallFault fault; int32_t exit_code; std::string expected; } cases[] = {
      // The busy wait or the frequency query fails: the check says so and the run goes on.
      {"delay fails without a code", {sim::Call::counter, 1, 0}, 1, not_working + "10.\r\n"},
      {"delay fails", {sim::Call::counter, 1, 31}, 1, not_working + "31.\r\n"},
      // 1000 us at 10 MHz, one tick per read: the wait is still reading near its 10000th tick.
      {"delay fails near its end", {sim::Call::counter, 9990, 31}, 1, not_working + "31.\r\n"},
      {"frequency fails", {sim::Call::frequency, 2, 0}, 1, not_working + "10.\r\n"},
      // The counter fails right after working: fatal, and never with exit code 0.
      {"read fails without a code", {sim::Call::counter, 3, 0}, 10, counter_line() + unclear(10)},
      {"read fails", {sim::Call::counter, 3, 1167}, 1167, counter_line() + unclear(1167)},
  };
  for (const auto& c : cases) {
    sim::reset();
    // The fatal rows fail the third read: a counter that jumps a whole second per read ends
    // the wait after exactly two.
    if (c.exit_code != 1) sim::set_counter_step(10000000);
    sim::add_call_fault(c.fault);
    const auto r = run_tool({"-C1"});
    EXPECT_EQ(r.exit_code, c.exit_code) << c.name;
    EXPECT_EQ(r.console.rfind("\r\n" + c.expected, 0), 0u) << c.name << "\n" << r.console;
  }
}

TEST(RunSpine, RecordEndingWithoutACodeNeverReportsSuccess) {
  harness::reset_world();
  EXPECT_EQ(app::finish(app::Ending::record), 10);
  EXPECT_EQ(sim::console_output(), unclear(10));
}

}  // namespace
