// Whole runs of the tool on the simulated world: command line, program directory, log file,
// counter check, image loading and the endings.
#include <gtest/gtest.h>
#include <sys/fsuid.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "app/endings.h"
#include "app/program_directory.h"
#include "image/container_format.h"
#include "output/cp1251_literal.h"
#include "output/error_record.h"
#include "platform/platform.h"
#include "sim/world.h"
#include "tests/harness.h"

namespace {

using harness::cp866;
using harness::run_tool;

constexpr double shutdown_us = 3502000;  // 2 + 500 + 1000 ms of power-off, 2000 ms pause

std::string counter_line() {
  return cp866(RU("High-Resolution Performance Counter: частота 10000000 тиков в секунду.\r\n"));
}

std::string formatted(const char* format, long long value, const std::string& text = "") {
  char buffer[1024];
  if (text.empty()) {
    std::snprintf(buffer, sizeof buffer, format, value);
  } else {
    std::snprintf(buffer, sizeof buffer, format, static_cast<int>(value), text.c_str());
  }
  return cp866(buffer);
}

bool contains(const std::string& haystack, const std::string& needle) {
  return haystack.find(needle) != std::string::npos;
}

void write_file(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

std::string packed_container(bool corrupt) {
  std::vector<uint8_t> plain(image::image_size);
  for (size_t i = 0; i < plain.size(); ++i) plain[i] = static_cast<uint8_t>(i * 7 + 3);
  std::string container(image::container_size, '\0');
  image::pack_container(plain.data(), 0x12345678u, nullptr, reinterpret_cast<uint8_t*>(container.data()));
  if (corrupt) container[4000] = static_cast<char>(container[4000] ^ 0x01);
  return container;
}

class RunSpine : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::reset();
    dir_ = harness::make_temp_dir();
    ASSERT_FALSE(dir_.empty());
    program_ = dir_ + "/tolvern";
  }
  std::string dir_;
  std::string program_;
};

TEST_F(RunSpine, CommandLineForms) {
  const std::string invalid = "\r\n" + cp866(RU("\r\nНеверные параметры.\r\n")) + "\r\n";
  const std::string empty = "\r\n" + cp866(RU("\r\nНепонятная ошибка в строке 3387 программы.\r\n")) + "\a\r\n";
  const std::string forced5 = cp866(RU("\r\nПринудительная работа с портом COM5\r\n\r\nОткрываем порт COM5 - успешно."));
  const std::string forced7 = cp866(RU("\r\nПринудительная работа с портом COM7\r\n\r\nОткрываем порт COM7 - успешно."));
  const std::string discovery = cp866(RU("Открываем порт COM1 - успешно."));
  struct Case {
    std::vector<std::string> args;
    int32_t exit_code;  // 1: the run got to its prompt or test mode and the input ended there
    std::string expected;  // the whole transcript for 127 and 10, else a part of it
  };
  const Case cases[] = {
      {{"-c5"}, 1, forced5}, {{"-C05"}, 1, forced5}, {{"-C5"}, 1, forced5},
      {{"-C7", "-c5"}, 1, forced5}, {{"-C5", "-C07"}, 1, forced7},
      {{"-C0"}, 1, discovery}, {{"-C00"}, 1, discovery}, {{"-t"}, 1, discovery},
      {{"-C100"}, 127, invalid}, {{"-C"}, 127, invalid}, {{"-Cx"}, 127, invalid},
      {{"-C5x"}, 127, invalid}, {{"-C-1"}, 127, invalid}, {{"-DL"}, 127, invalid},
      {{"-d2"}, 127, invalid}, {{"-T1"}, 127, invalid}, {{"x"}, 127, invalid},
      {{"-"}, 127, invalid}, {{"-X"}, 127, invalid}, {{"C5"}, 127, invalid},
      {{"x", ""}, 127, invalid},
      {{""}, 10, empty}, {{"-T", ""}, 10, empty}, {{"-C5", "", "x"}, 10, empty},
  };
  for (const Case& c : cases) {
    std::string label;
    for (const auto& a : c.args) label += "[" + a + "]";
    sim::reset();
    sim::set_port(5, sim::PortKind::adapter);
    sim::set_port(7, sim::PortKind::adapter);
    const auto r = run_tool(c.args);
    EXPECT_EQ(r.exit_code, c.exit_code) << label;
    if (c.exit_code == 1) {
      EXPECT_TRUE(contains(r.console, c.expected)) << label << "\n" << r.console;
      EXPECT_EQ(contains(r.console, cp866(RU("Принудительная"))), c.expected != discovery) << label;
      EXPECT_EQ(r.console.find('\a'), std::string::npos) << label;
    } else {
      EXPECT_EQ(r.console, c.expected) << label;
      // Only the empty argument takes the failure shutdown with its pauses.
      EXPECT_EQ(sim::now_us() >= shutdown_us, c.exit_code == 10) << label;
    }
    EXPECT_EQ(sim::open_port_count(), 0) << label;
    EXPECT_FALSE(sim::line_state(1).target_powered) << label;
  }
}

TEST_F(RunSpine, ArgumentsAfterTheEndingOneAreNeverUsed) {
  const std::string log = dir_ + "/Tolvern.log";
  for (const auto& args : std::vector<std::vector<std::string>>{{"-L", ""}, {"-Q", "-L"}, {"", "-L"}}) {
    write_file(log, "old log");
    sim::reset();
    const auto r = run_tool(args, program_);
    EXPECT_NE(r.exit_code, 0);
    EXPECT_EQ(harness::read_file(log), "old log");  // -L never took effect
    EXPECT_FALSE(contains(r.console, cp866(RU("Используется файл журнала."))));
  }
}

TEST_F(RunSpine, ProgramDirectory) {
  struct Case {
    std::string program;
    std::string cwd;
    char separator;
    uint32_t cwd_error;
    bool ok;
    std::string dir;
  };
  const std::string long_cwd(254, 'c');
  const Case cases[] = {
      {"tolvern", "/work/here", '/', 0, true, "/work/here/"},
      {"/opt/tool/tolvern", "/work/here", '/', 0, true, "/opt/tool/"},
      {"bin/tolvern", "/work", '/', 0, true, "bin/"},
      {"C:\\Tools\\tolvern.exe", "D:\\", '/', 0, true, "D:\\/"},  // only the separator counts
      {"C:\\Tools\\tolvern.exe", "D:\\", '\\', 0, true, "C:\\Tools\\"},
      {"tolvern.exe", "D:\\", '\\', 0, true, "D:\\\\"},       // a root keeps its own backslash
      {"/" + std::string(252, 'p') + "/x", "/w", '/', 0, true, "/" + std::string(252, 'p') + "/"},
      {"/" + std::string(253, 'p') + "/x", "/w", '/', 0, false, ""},  // 256 characters
      {"tolvern", "/" + std::string(253, 'c'), '/', 0, true, "/" + std::string(253, 'c') + "/"},
      {"tolvern", "/" + long_cwd, '/', 0, false, ""},  // 255 characters: no room for the separator
      {"tolvern", "/" + std::string(300, 'c'), '/', 0, false, ""},
      {"tolvern", "/w", '/', 5, false, ""},
  };
  for (const Case& c : cases) {
    sim::reset();
    sim::set_current_directory(c.cwd);
    sim::set_path_separator(c.separator);
    if (c.cwd_error != 0) sim::add_call_fault({sim::Call::current_directory, 1, c.cwd_error, true});
    char out[app::path_capacity + 16];
    std::memset(out, '#', sizeof out);
    platform::set_last_error(0);
    EXPECT_EQ(app::get_program_directory(c.program.c_str(), out), c.ok) << c.program << " in " << c.cwd;
    EXPECT_EQ(std::string(out), c.dir) << c.program << " in " << c.cwd;
    if (!c.ok) { EXPECT_EQ(platform::last_error(), 10u); }
    EXPECT_EQ(out[app::path_capacity], '#');
  }

  // A directory that cannot be found ends the run with its own code.
  sim::reset();
  sim::set_current_directory("/" + long_cwd);
  const auto r = run_tool({}, "tolvern");
  EXPECT_EQ(r.exit_code, 10);
  EXPECT_EQ(r.console, cp866(RU("\r\nНепонятная ошибка ( код 10 ).\r\n")) + "\a\r\n");
}

TEST_F(RunSpine, LogFileTrouble) {
  const std::string long_dir = "/" + std::string(245, 'd') + "/";  // the program fits, its log not
  struct Case {
    std::string name;
    std::string program;
    int32_t exit_code;
    std::string tail;  // the console after "Используется файл журнала.\r\n\r\n"
  };
  ASSERT_EQ(mkdir((dir_ + "/Tolvern.log").c_str(), 0755), 0);
  write_file(dir_ + "/Tolvern.log/keep", "x");  // a non-empty directory cannot be deleted
  const std::string missing = dir_ + "/no%s%n/";
  const Case cases[] = {
      {"undeletable", program_, 2, cp866(RU("\r\nНевозможно стереть файл журнала.\r\n\a")) + "\r\n"},
      {"uncreatable", missing + "tolvern", 1,
       formatted(RU("\r\n\r\nОшибка %d при работе с файлом:\r\n%s\r\n\a"), ENOENT, missing + "Tolvern.log") +
           "\a\r\n"},
      {"too long", long_dir + "tolvern", 1,
       formatted(RU("\r\n\r\nОшибка %d при работе с файлом:\r\n%s\r\n\a"), ENAMETOOLONG,
                 long_dir + "Tolvern.log") + "\a\r\n"},
  };
  for (const Case& c : cases) {
    sim::reset();
    const auto r = run_tool({"-L"}, c.program);
    EXPECT_EQ(r.exit_code, c.exit_code) << c.name;
    EXPECT_EQ(r.console, "\r\n" + cp866(RU("Используется файл журнала.\r\n\r\n")) + c.tail) << c.name;
    if (c.exit_code == 1) { EXPECT_GE(sim::now_us(), shutdown_us) << c.name; }
  }
  EXPECT_EQ(harness::read_file(dir_ + "/Tolvern.log/keep"), "x");
}

TEST_F(RunSpine, LogHoldsTheRunIn1251AndTheConsoleIn866) {
  write_file(dir_ + "/Tolvern.log", std::string(20000, 'o'));  // an old log is replaced
  const auto r = run_tool({"-L", "-C1"}, program_);
  EXPECT_EQ(r.exit_code, 1);  // the input has ended: the prompt is answered with ESC
  const std::string log = harness::read_file(dir_ + "/Tolvern.log");
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log.rfind("High-Resolution Performance Counter", 0), 0u);
  EXPECT_TRUE(contains(log, RU("\r\n\r\nРабота прервана.\r\n")));
  EXPECT_EQ(r.console, "\r\n" + cp866(RU("Используется файл журнала.\r\n\r\n")) + cp866(log.c_str()));
}

TEST_F(RunSpine, DataFile) {
  const std::string good = packed_container(false);
  const std::string not_found = cp866(RU("\r\nФайл данных не найден.")) + "\r\n";
  const std::string wrong_length = cp866(RU("\r\nНеверная длина файла данных.\r\n")) + "\a\r\n";
  const std::string bad_image = cp866(RU("\r\nНеверные исходные данные.\r\n")) + "\a\r\n";
  const std::string in_use = cp866(RU("\r\nРабота с внешним файлом данных.\r\n"));
  struct Case {
    std::string name;
    std::string file;      // name in the program directory ("" = none)
    std::string content;   // "->target" makes a symbolic link
    int32_t exit_code;
    std::string expected;  // console after the counter line (whole), or a part with exit 1
    bool shutdown;
  };
  const Case cases[] = {
      {"missing", "", "", 3, not_found, false},
      {"other name", "Tolvern.bin", good, 3, not_found, false},
      {"short", "Tolvern1.dat", good.substr(1), 111, wrong_length, true},
      {"long", "Tolvern1.dat", good + "x", 111, wrong_length, true},
      {"corrupt", "Tolvern1.dat", packed_container(true), 112, in_use + bad_image, true},
      {"unreadable", "TolvernA.dat", good, 1, "", true},  // mode 000, opened without the owner's rights
      {"good", "tolvern-2.DAT", good, 1, in_use, false},
  };
  for (const Case& c : cases) {
    const std::string dir = harness::make_temp_dir();
    if (!c.file.empty()) {
      const std::string path = dir + "/" + c.file;
      if (c.content.rfind("->", 0) == 0) {
        ASSERT_EQ(symlink(c.content.substr(2).c_str(), path.c_str()), 0);
      } else {
        write_file(path, c.content);
      }
    }
    const bool unreadable = c.name == "unreadable";
    if (unreadable) {
      ASSERT_EQ(chmod(dir.c_str(), 0755), 0);
      ASSERT_EQ(chmod((dir + "/" + c.file).c_str(), 0), 0);
      setfsuid(65534);  // this thread only; a root test run loses its override of file modes
    }
    sim::reset();
    const auto r = run_tool({"-D", "-C1"}, dir + "/tolvern");
    if (unreadable) setfsuid(0);
    EXPECT_EQ(r.exit_code, c.exit_code) << c.name;
    std::string expected = c.expected;
    if (unreadable) {
      expected = formatted(RU("\r\n\r\nОшибка %d при работе с файлом:\r\n%s\r\n\a"), EACCES,
                           dir + "/TolvernA.dat") + "\a\r\n";
    }
    if (c.exit_code == 1 && c.name == "good") {
      EXPECT_TRUE(contains(r.console, "\r\n" + counter_line() + expected)) << c.name;
    } else {
      EXPECT_EQ(r.console, "\r\n" + counter_line() + expected) << c.name;
    }
    if (c.shutdown) { EXPECT_GE(sim::now_us(), shutdown_us) << c.name; }
    if (c.shutdown) { EXPECT_LT(sim::now_us(), shutdown_us + 100000) << c.name; }
  }
}

TEST_F(RunSpine, DataPathThatWouldNotFitIsRefused) {
  // A real directory whose path leaves no room for the data file's name.
  std::string dir = dir_;
  while (dir.size() < 230) {
    dir += "/" + std::string(std::min<size_t>(40, 238 - dir.size()), 'n');
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0) << dir;
  }
  const std::string name = "Tolvern-with-a-long-name.dat";
  write_file(dir + "/" + name, packed_container(false));
  const auto r = run_tool({"-D"}, dir + "/tolvern");
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.console, "\r\n" + counter_line() +
                           formatted(RU("\r\n\r\nОшибка %d при работе с файлом:\r\n%s\r\n\a"), ENAMETOOLONG,
                                     dir + "/" + name) + "\a\r\n");
}

TEST_F(RunSpine, CounterCheck) {
  const std::string not_working = cp866(RU("High-Resolution Performance Counter не работает, ошибка "));
  struct Case {
    std::string name;
    sim::CallFault fault;
    bool jumping_counter;  // one read jumps a whole second: the wait takes exactly two reads
    int32_t exit_code;
    std::string expected;  // follows the first "\r\n"
  };
  const Case cases[] = {
      // The busy wait itself fails: the check says so and the run goes on.
      {"delay fails", {sim::Call::counter, 1, 0}, false, 1, not_working + "10.\r\n"},
      {"delay fails with a code", {sim::Call::counter, 1, 31}, false, 1, not_working + "31.\r\n"},
      // The frequency query fails after a good wait: the same, never a frequency of -1.
      {"frequency fails", {sim::Call::frequency, 2, 0}, false, 1, not_working + "10.\r\n"},
      // The counter fails right after working: fatal, and never with exit code 0.
      {"read fails without a code", {sim::Call::counter, 3, 0}, true, 10,
       counter_line() + cp866(RU("\r\nНепонятная ошибка ( код 10 ).\r\n")) + "\a\r\n"},
      {"read fails", {sim::Call::counter, 3, 1167}, true, 1167,
       counter_line() + cp866(RU("\r\nНепонятная ошибка ( код 1167 ).\r\n")) + "\a\r\n"},
  };
  for (const Case& c : cases) {
    sim::reset();
    if (c.jumping_counter) sim::set_counter_step(10000000);
    sim::add_call_fault(c.fault);
    const auto r = run_tool({"-C1"});
    EXPECT_EQ(r.exit_code, c.exit_code) << c.name;
    EXPECT_EQ(r.console.rfind("\r\n" + c.expected, 0), 0u) << c.name << "\n" << r.console;
    EXPECT_FALSE(contains(r.console, "-1")) << c.name;
  }
}

TEST_F(RunSpine, RecordEndingWithoutACodeNeverReportsSuccess) {
  output::clear_error();
  app::set_exit_code(0);
  sim::clear_console_output();
  EXPECT_EQ(app::finish(app::Ending::record), 10);
  EXPECT_EQ(sim::console_output(), cp866(RU("\r\nНепонятная ошибка ( код 10 ).\r\n")) + "\a\r\n");
}

TEST_F(RunSpine, RecordEndingAndLastChance) {
  // A forced port that another program holds: the record's code and text end the run.
  sim::reset();
  sim::set_port(9, sim::PortKind::busy);
  auto r = run_tool({"-C9"});
  EXPECT_EQ(r.exit_code, 110);
  EXPECT_EQ(r.console,
            "\r\n" + counter_line() +
                cp866(RU("\r\nПринудительная работа с портом COM9\r\n\r\nОткрываем порт COM9\r\n\r\n"
                         "Порт невозможно открыть.")) +
                "\a\r\n");
  EXPECT_GE(sim::now_us(), shutdown_us);

  // A key pressed before the prompt is dropped; the prompt then meets the end of input (ESC).
  sim::reset();
  sim::push_keys({13});
  r = run_tool({"-C1"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_TRUE(contains(r.console, cp866(RU("\r\n\r\nРабота прервана.\r\n"))));
  EXPECT_FALSE(sim::line_state(1).target_powered);
  EXPECT_EQ(sim::open_port_count(), 0);

  // ENTER at the prompt runs the procedure to success.
  sim::reset();
  std::string prompt = cp866(RU("  Последний шанс отказаться. Нажмите ESC для отмены или ENTER для продолжения."));
  sim::push_keys_after(prompt, {13});
  r = run_tool({"-C1"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_TRUE(contains(r.console, cp866(RU("\r\nРабота успешно завершена.\r\n"))));
  EXPECT_EQ(r.console.find('\a'), std::string::npos);
  EXPECT_EQ(sim::open_port_count(), 0);
}

}  // namespace
