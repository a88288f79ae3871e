// End-to-end runs of the programming procedure on the simulated adapter and chip: the success
// path, every row of the failure table, ESC at the prompt, and an external data file.
#include <array>
#include <cstdio>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "image/container.h"
#include "output/cp1251_literal.h"
#include "platform/platform.h"
#include "sim/world.h"
#include "tests/harness.h"

namespace {

using harness::cp866;

const char* prompt() {
  return RU("  Последний шанс отказаться. Нажмите ESC для отмены или ENTER для продолжения.");
}

void script_key(int key) { sim::push_keys_after(cp866(prompt()), {key}); }

std::string format(const char* cp1251_format, int a = 0, int b = 0, int c = 0) {
  char buffer[512];
  std::snprintf(buffer, sizeof buffer, cp1251_format, a, b, c);
  return buffer;
}

// What the console shows after a failure: a check failure's message and the record ending's
// blank line, a no-response line, or the record's own text; then the bell of the failure
// shutdown and the final cleanup's line end.
std::string check_tail(const char* message) { return cp866(message) + "\r\n\r\n\a\r\n"; }
std::string no_response_tail(int code) {
  return cp866(format(RU("\r\n\r\nНет ответа от микросхемы ( код %d ).\r\n"), code).c_str()) +
         "\a\r\n";
}
std::string record_tail(const std::string& text_cp1251) {
  return "\r\n\r\n" + cp866(text_cp1251.c_str()) + "\a\r\n";
}

bool ends_with(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// The image as the tool reads it, taken before a run (the embedded container).
std::vector<int> embedded_image() {
  image::reset_image();
  image::load_embedded_container();
  EXPECT_EQ(image::image_verify(), 0);
  std::vector<int> bytes(image::image_size);
  for (int i = 0; i < static_cast<int>(image::image_size); ++i) bytes[i] = image::image_byte(i);
  return bytes;
}

int block_sum(const std::vector<int>& img, int block) {
  int sum = 0;
  for (int k = 0; k < 64; ++k) sum += img[static_cast<std::size_t>(block * 64 + k)];
  return sum;
}

void expect_unpowered_and_closed() {
  EXPECT_FALSE(sim::line_state(1).target_powered);
  EXPECT_EQ(sim::open_port_count(), 0);
}

// A plain image whose byte 5 of every block is 0x00, packed beside a program path in a fresh
// directory. Returns the program path.
std::string program_with_data_file(std::vector<uint8_t>* plain) {
  const std::string dir = harness::make_temp_dir();
  EXPECT_FALSE(dir.empty());
  plain->resize(image::image_size);
  for (std::size_t i = 0; i < plain->size(); ++i) {
    (*plain)[i] = (i % 64 == 5) ? 0x00 : static_cast<uint8_t>(i * 7 + 3 + (i >> 8));
  }
  const std::string plain_path = dir + "/plain.bin";
  std::ofstream(plain_path, std::ios::binary)
      .write(reinterpret_cast<const char*>(plain->data()), static_cast<std::streamsize>(plain->size()));
  const std::string command = std::string(TOLVERN_PACKER) + " " + plain_path + " -o " + dir +
                              "/Tolvern-test.dat >/dev/null 2>&1";
  EXPECT_EQ(std::system(command.c_str()), 0);
  std::remove(plain_path.c_str());
  return dir + "/tolvern";
}

// The procedure's own text of a successful run, from the prompt on, in Windows-1251.
std::string success_text() {
  return std::string(prompt()) +
         RU("\r\n\r\nНачало работы ( займет около 1 минуты ).\r\n\r\nСтадия 1 - OK\r\n"
            "Стадия 2 - OK\r\nСтадия 3 - OK\r\n\r\nРабота успешно завершена.\r\n\r\n");
}

TEST(ProcedureRun, SuccessWritesVerifiesProtectsAndLogs) {
  const std::vector<int> img = embedded_image();
  const std::string dir = harness::make_temp_dir();
  sim::reset();
  script_key(13);
  const harness::RunResult r = harness::run_tool({"-C1", "-L"}, dir + "/tolvern");

  EXPECT_EQ(r.exit_code, 0);
  EXPECT_TRUE(ends_with(r.console, cp866(success_text().c_str()))) << r.console;
  // The log keeps the Windows-1251 bytes of the same messages.
  EXPECT_TRUE(ends_with(harness::read_file(dir + "/Tolvern.log"), success_text()));
  EXPECT_EQ(std::vector<int>(sim::flash().begin(), sim::flash().end()), img);
  std::array<uint8_t, 64> pattern;
  pattern.fill(0xFF);
  pattern[31] = 0x00;
  EXPECT_TRUE(sim::protection_set());
  EXPECT_EQ(sim::protection(), pattern);
  const auto& calls = sim::counters().srom_calls;
  // erase all, write block, read block (two passes), protect, checksum
  EXPECT_EQ((std::vector<long long>{calls[5], calls[2], calls[1], calls[4], calls[7]}),
            (std::vector<long long>{1, 128, 256, 1, 255}));
  expect_unpowered_and_closed();
}

TEST(ProcedureRun, EscapeAtThePromptTouchesNoFlash) {
  sim::reset();
  script_key(27);
  const harness::RunResult r = harness::run_tool({"-C1"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_TRUE(ends_with(r.console, cp866(RU("\r\n\r\nРабота прервана.\r\n")) + "\r\n")) << r.console;
  EXPECT_EQ(sim::counters().srom_calls[5], 0);
  EXPECT_EQ(sim::counters().srom_calls[2], 0);
  expect_unpowered_and_closed();
}

TEST(ProcedureRun, ExternalDataFileIsWritten) {
  std::vector<uint8_t> plain;
  const std::string program = program_with_data_file(&plain);
  sim::reset();
  script_key(13);
  const harness::RunResult r = harness::run_tool({"-C1", "-D"}, program);
  EXPECT_EQ(r.exit_code, 0) << r.console;
  EXPECT_NE(r.console.find(cp866(RU("\r\nРабота с внешним файлом данных.\r\n"))), std::string::npos);
  EXPECT_TRUE(std::equal(plain.begin(), plain.end(), sim::flash().begin()));
  expect_unpowered_and_closed();
}

// Escape calls of the run before the procedure's first one, and CLRRTS calls up to and
// including the power-off after ESC, both from a run cancelled at the prompt.
struct CancelCounts {
  int escapes_before_procedure;
  int clrrts_through_cancel;
  long long modem_status;
};

CancelCounts cancel_counts() {
  sim::reset();
  sim::set_trace(true);
  script_key(27);
  harness::run_tool({"-C1"});
  std::vector<uint32_t> escapes;
  for (const auto& e : sim::trace()) {
    if (e.kind == sim::TraceEntry::escape) escapes.push_back(e.function);
  }
  CancelCounts c{0, 0, sim::counters().modem_status_calls};
  for (std::size_t i = 0; i + 2 < escapes.size(); ++i) {
    if (escapes[i] == platform::CLRBREAK && escapes[i + 1] == platform::CLRDTR &&
        escapes[i + 2] == platform::CLRRTS) {
      c.escapes_before_procedure = static_cast<int>(i);  // the last such triple is ESC's
    }
  }
  for (uint32_t f : escapes) c.clrrts_through_cancel += f == platform::CLRRTS ? 1 : 0;
  return c;
}

// Fault builders, so that each row of the table below reads as one line.
sim::ChipFaultSpec chip(sim::ChipFault kind, int function = -1, int nth = 0) {
  sim::ChipFaultSpec f;
  f.kind = kind;
  f.function = function;
  f.nth_call = nth;
  return f;
}
sim::ChipFaultSpec status(int function, int nth, int value) {
  sim::ChipFaultSpec f = chip(sim::ChipFault::wrong_status, function, nth);
  f.value = value;
  return f;
}
sim::ChipFaultSpec stuck(int position, int value) {
  sim::ChipFaultSpec f = chip(sim::ChipFault::buffer_byte_stuck);
  f.position = position;
  f.value = value;
  return f;
}
sim::ChipFaultSpec checksum_off(int count, int value) {
  sim::ChipFaultSpec f = chip(sim::ChipFault::checksum_off);
  f.count = count;
  f.value = value;
  return f;
}
sim::CallFault call(sim::Call kind, int nth, uint32_t error, uint32_t line = 0) {
  sim::CallFault f;
  f.call = kind;
  f.nth = nth;
  f.error = error;
  f.escape_function = line;
  return f;
}

TEST(ProcedureRun, EveryFailureEndsNonZeroWithTheTargetOff) {
  const std::vector<int> img = embedded_image();
  int loaded_position = 0;  // a byte of block 0 that is not zero
  while (img[static_cast<std::size_t>(loaded_position)] == 0) ++loaded_position;
  const int wrap = -(block_sum(img, 1) + 16);  // block 1's upper sum 16 below its lower one
  const CancelCounts cancel = cancel_counts();
  ASSERT_GT(cancel.escapes_before_procedure, 0);
  std::vector<uint8_t> plain;
  const std::string data_program = program_with_data_file(&plain);
  sim::ChipFaultSpec corrupt = chip(sim::ChipFault::corrupt_written_block);
  corrupt.block = 5;
  corrupt.position = 3;
  corrupt.value = 0x10;

  using C = sim::ChipFault;
  const auto wrong_answer = check_tail(RU("\r\n\r\nНеверный ответ от микросхемы, завершаем работу.\r\n"));
  const auto port_text = "\r\n\r\n" + cp866(RU("Порт COM1 "));
  const int first_escape = cancel.escapes_before_procedure + 1;
  const int some_sample = static_cast<int>(cancel.modem_status) + 20000;
  struct Row {
    const char* name;
    std::vector<sim::ChipFaultSpec> chip_faults;
    std::vector<sim::CallFault> call_faults;
    bool data_file;
    int exit_code;
    std::function<std::string()> tail;  // built after the run, when the image is loaded
  };
  const auto text = [](std::string t) { return [t] { return t; }; };
  const std::vector<Row> rows = {
      {"cleared buffer not zero at block 0", {stuck(7, 0x5A)}, {}, false, 101,
       text(check_tail(RU("\r\n\r\nСвязь потеряна, завершаем работу.\r\n")))},
      {"loaded buffer differs", {stuck(loaded_position, 0)}, {}, false, 101,
       text(check_tail(RU("\r\n\r\nОшибка при обмене данными, завершаем работу.\r\n")))},
      {"write block status not zero", {status(2, 0, 3)}, {}, false, 101, text(wrong_answer)},
      {"write block no response", {chip(C::stuck_high_after_release, 2)}, {}, false, 100,
       text(no_response_tail(32))},
      {"read block status 9, first pass", {status(1, 1, 9)}, {}, false, 101, text(wrong_answer)},
      {"read block status 10, first pass", {status(1, 1, 10)}, {}, false, 100, text(no_response_tail(40))},
      {"read block status 9, second pass", {status(1, 129, 9)}, {}, false, 101, text(wrong_answer)},
      {"read block status 10, second pass", {status(1, 129, 10)}, {}, false, 100, text(no_response_tail(50))},
      {"read block busy never ends", {chip(C::busy_never_ends, 1, 3)}, {}, false, 100,
       text(no_response_tail(44))},
      {"first-pass verify differs at block 5 position 3", {corrupt}, {}, false, 101,
       [] {
         const int expected = image::image_byte(323);
         return check_tail(format(RU("\r\n\r\nОшибка при проверке данных ( %d, 0x%02X - 0x%02X ), "
                                     "завершаем работу.\r\n"),
                                  5, expected, expected ^ 0x10).c_str());
       }},
      // The data file's image has 0x00 at byte 5 of every block: only the pattern check sees it.
      {"protection pattern reads back wrong", {stuck(5, 0)}, {}, true, 101,
       text(check_tail(RU("\r\n\r\nОшибка при обмене, завершаем работу.\r\n")))},
      {"protect no response", {chip(C::stuck_high_after_release, 4)}, {}, false, 100,
       text(no_response_tail(62))},
      {"erase all no response", {chip(C::stuck_high_after_release, 5)}, {}, false, 100,
       text(no_response_tail(22))},
      {"erase all call cannot be written", {}, {call(sim::Call::escape, first_escape, 5)}, false, 5,
       text(cp866(RU("Стадия 1")) + port_text)},
      {"a sample fails in the middle", {}, {call(sim::Call::modem_status, some_sample, 6)}, false, 6,
       text(port_text)},
      {"a line switch fails in the middle", {}, {call(sim::Call::escape, first_escape + 100000, 21)},
       false, 21, text(port_text)},
      {"block checksum differs", {checksum_off(10, 1)}, {}, false, 101,
       text(check_tail(RU("\r\n\r\nОшибка при окончательной проверке результатов, завершаем работу.\r\n")))},
      {"block checksum wraps below the lower one", {checksum_off(2, wrap)}, {}, false, 126,
       text(record_tail(RU("Получено неверное значение контрольной суммы блока ( 0xFFF0 )."))) },
      {"checksum no response", {chip(C::no_busy, 7)}, {}, false, 10,
       text(record_tail(RU("Нет ответа от микросхемы ( стадия 13 ).")))},
      {"final power-off fails",
       {}, {call(sim::Call::escape, cancel.clrrts_through_cancel, 5, platform::CLRRTS)}, false, 5,
       text(cp866(RU("Стадия 3")) + " - OK\r\n" + port_text)},
  };

  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    sim::reset();
    sim::chip_config().faults = row.chip_faults;
    for (const sim::CallFault& f : row.call_faults) sim::add_call_fault(f);
    script_key(13);
    const harness::RunResult r = row.data_file ? harness::run_tool({"-C1", "-D"}, data_program)
                                               : harness::run_tool({"-C1"});
    EXPECT_NE(r.exit_code, 0);
    EXPECT_EQ(r.exit_code, row.exit_code);
    EXPECT_NE(r.console.find(row.tail()), std::string::npos) << r.console;
    EXPECT_TRUE(ends_with(r.console, "\a\r\n")) << r.console;
    EXPECT_EQ(r.console.find(cp866(RU("Работа успешно завершена."))), std::string::npos);
    expect_unpowered_and_closed();
  }
}

}  // namespace
