// End-to-end runs of the programming procedure on the simulated adapter and chip: the success
// path, every row of the failure table, ESC at the prompt, and an external data file.
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

// The procedure's own console text of a successful run, from the prompt on.
std::string success_transcript() {
  return cp866(prompt()) +
         cp866(RU("\r\n\r\nНачало работы ( займет около 1 минуты ).\r\n\r\n")) +
         cp866(RU("Стадия 1")) + " - OK\r\n" + cp866(RU("Стадия 2")) + " - OK\r\n" +
         cp866(RU("Стадия 3")) + " - OK\r\n" + cp866(RU("\r\nРабота успешно завершена.\r\n")) +
         "\r\n";
}

TEST(ProcedureRun, SuccessWritesVerifiesProtectsAndLogs) {
  const std::vector<int> img = embedded_image();
  const std::string dir = harness::make_temp_dir();
  sim::reset();
  script_key(13);
  const harness::RunResult r = harness::run_tool({"-C1", "-L"}, dir + "/tolvern");

  EXPECT_EQ(r.exit_code, 0);
  EXPECT_TRUE(ends_with(r.console, success_transcript())) << r.console;
  for (int i = 0; i < static_cast<int>(image::image_size); ++i) {
    ASSERT_EQ(sim::flash()[static_cast<std::size_t>(i)], img[static_cast<std::size_t>(i)])
        << "flash byte " << i;
  }
  ASSERT_TRUE(sim::protection_set());
  for (int k = 0; k < 64; ++k) EXPECT_EQ(sim::protection()[k], k == 31 ? 0x00 : 0xFF) << k;
  const auto& calls = sim::counters().srom_calls;
  EXPECT_EQ(calls[5], 1);    // erase all
  EXPECT_EQ(calls[2], 128);  // write block
  EXPECT_EQ(calls[1], 256);  // read block, two passes
  EXPECT_EQ(calls[4], 1);    // protect
  EXPECT_EQ(calls[7], 255);  // checksum
  expect_unpowered_and_closed();

  // The log keeps the Windows-1251 bytes of the same messages.
  const std::string expected_log = std::string(prompt()) +
                 RU("\r\n\r\nНачало работы ( займет около 1 минуты ).\r\n\r\nСтадия 1 - OK\r\n"
                    "Стадия 2 - OK\r\nСтадия 3 - OK\r\n\r\nРабота успешно завершена.\r\n\r\n");
  const std::string log = harness::read_file(dir + "/Tolvern.log");
  EXPECT_TRUE(ends_with(log, expected_log)) << log;
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

sim::ChipFaultSpec chip_fault(sim::ChipFault kind, int function = -1) {
  sim::ChipFaultSpec f;
  f.kind = kind;
  f.function = function;
  return f;
}

TEST(ProcedureRun, EveryFailureEndsNonZeroWithTheTargetOff) {
  const std::vector<int> img = embedded_image();
  int loaded_position = 0;  // a byte of block 0 that is not zero
  while (img[static_cast<std::size_t>(loaded_position)] == 0) ++loaded_position;
  const int block1_sum = block_sum(img, 1);
  const CancelCounts cancel = cancel_counts();
  ASSERT_GT(cancel.escapes_before_procedure, 0);
  std::vector<uint8_t> plain;
  const std::string data_program = program_with_data_file(&plain);

  struct Row {
    const char* name;
    std::function<void(std::string* program, std::vector<std::string>* args)> setup;
    int exit_code;
    std::function<std::string()> tail;  // built after the run: the image is loaded then
  };
  const auto chip = [](sim::ChipFaultSpec f) { sim::chip_config().faults.push_back(f); };
  const auto status = [&](int nth, int value) {
    sim::ChipFaultSpec f = chip_fault(sim::ChipFault::wrong_status, 1);
    f.nth_call = nth;
    f.value = value;
    chip(f);
  };
  const auto wrong_answer = [] {
    return check_tail(RU("\r\n\r\nНеверный ответ от микросхемы, завершаем работу.\r\n"));
  };
  const std::vector<Row> rows = {
      {"cleared buffer not zero at block 0",
       [&](auto*, auto*) {
         sim::ChipFaultSpec f = chip_fault(sim::ChipFault::buffer_byte_stuck);
         f.position = 7;
         f.value = 0x5A;
         chip(f);
       },
       101, [] { return check_tail(RU("\r\n\r\nСвязь потеряна, завершаем работу.\r\n")); }},
      {"loaded buffer differs",
       [&](auto*, auto*) {
         sim::ChipFaultSpec f = chip_fault(sim::ChipFault::buffer_byte_stuck);
         f.position = loaded_position;
         f.value = 0;
         chip(f);
       },
       101, [] { return check_tail(RU("\r\n\r\nОшибка при обмене данными, завершаем работу.\r\n")); }},
      {"write block status not zero",
       [&](auto*, auto*) {
         sim::ChipFaultSpec f = chip_fault(sim::ChipFault::wrong_status, 2);
         f.value = 3;
         chip(f);
       },
       101, wrong_answer},
      {"write block no response", [&](auto*, auto*) { chip(chip_fault(sim::ChipFault::stuck_high_after_release, 2)); },
       100, [] { return no_response_tail(32); }},
      {"read block status 9, first pass", [&](auto*, auto*) { status(1, 9); }, 101, wrong_answer},
      {"read block status 10, first pass", [&](auto*, auto*) { status(1, 10); }, 100,
       [] { return no_response_tail(40); }},
      {"read block status 9, second pass", [&](auto*, auto*) { status(129, 9); }, 101, wrong_answer},
      {"read block status 10, second pass", [&](auto*, auto*) { status(129, 10); }, 100,
       [] { return no_response_tail(50); }},
      {"read block busy never ends", [&](auto*, auto*) {
         sim::ChipFaultSpec f = chip_fault(sim::ChipFault::busy_never_ends, 1);
         f.nth_call = 3;
         chip(f);
       },
       100, [] { return no_response_tail(44); }},
      {"first-pass verify differs at block 5 position 3",
       [&](auto*, auto*) {
         sim::ChipFaultSpec f = chip_fault(sim::ChipFault::corrupt_written_block);
         f.block = 5;
         f.position = 3;
         f.value = 0x10;
         chip(f);
       },
       101,
       [] {
         const int expected = image::image_byte(323);
         return check_tail(format(RU("\r\n\r\nОшибка при проверке данных ( %d, 0x%02X - 0x%02X ), "
                                     "завершаем работу.\r\n"),
                                  5, expected, expected ^ 0x10).c_str());
       }},
      {"protection pattern reads back wrong",
       [&](std::string* program, std::vector<std::string>* args) {
         *program = data_program;
         args->push_back("-D");
         sim::ChipFaultSpec f = chip_fault(sim::ChipFault::buffer_byte_stuck);
         f.position = 5;
         f.value = 0;
         chip(f);
       },
       101, [] { return check_tail(RU("\r\n\r\nОшибка при обмене, завершаем работу.\r\n")); }},
      {"protect no response", [&](auto*, auto*) { chip(chip_fault(sim::ChipFault::stuck_high_after_release, 4)); },
       100, [] { return no_response_tail(62); }},
      {"erase all no response", [&](auto*, auto*) { chip(chip_fault(sim::ChipFault::stuck_high_after_release, 5)); },
       100, [] { return no_response_tail(22); }},
      {"erase all call cannot be written",
       [&](auto*, auto*) {
         sim::CallFault f;
         f.call = sim::Call::escape;
         f.nth = cancel.escapes_before_procedure + 1;
         f.error = 5;
         sim::add_call_fault(f);
       },
       5, [] { return cp866(RU("Стадия 1")) + "\r\n\r\n" + cp866(RU("Порт COM1 ")); }},
      {"a line fails in the middle of the procedure",
       [&](auto*, auto*) {
         sim::CallFault f;
         f.call = sim::Call::modem_status;
         f.nth = static_cast<int>(cancel.modem_status) + 20000;
         f.error = 6;
         sim::add_call_fault(f);
       },
       6, [] { return "\r\n\r\n" + cp866(RU("Порт COM1 ")); }},
      {"a line switch fails in the middle of the procedure",
       [&](auto*, auto*) {
         sim::CallFault f;
         f.call = sim::Call::escape;
         f.nth = cancel.escapes_before_procedure + 100000;
         f.error = 21;
         sim::add_call_fault(f);
       },
       21, [] { return "\r\n\r\n" + cp866(RU("Порт COM1 ")); }},
      {"block checksum differs",
       [&](auto*, auto*) {
         sim::ChipFaultSpec f = chip_fault(sim::ChipFault::checksum_off);
         f.count = 10;
         f.value = 1;
         chip(f);
       },
       101,
       [] {
         return check_tail(
             RU("\r\n\r\nОшибка при окончательной проверке результатов, завершаем работу.\r\n"));
       }},
      {"block checksum wraps below the lower one",
       [&](auto*, auto*) {
         sim::ChipFaultSpec f = chip_fault(sim::ChipFault::checksum_off);
         f.count = 2;
         f.value = -(block1_sum + 16);
         chip(f);
       },
       126,
       [] {
         return record_tail(RU("Получено неверное значение контрольной суммы блока ( 0xFFF0 )."));
       }},
      {"checksum no response", [&](auto*, auto*) { chip(chip_fault(sim::ChipFault::no_busy, 7)); },
       10, [] { return record_tail(RU("Нет ответа от микросхемы ( стадия 13 ).")); }},
      {"final power-off fails",
       [&](auto*, auto*) {
         sim::CallFault f;
         f.call = sim::Call::escape;
         f.escape_function = platform::CLRRTS;
         f.nth = cancel.clrrts_through_cancel;
         f.error = 5;
         sim::add_call_fault(f);
       },
       5, [] { return cp866(RU("Стадия 3")) + " - OK\r\n\r\n\r\n" + cp866(RU("Порт COM1 ")); }},
  };

  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    sim::reset();
    std::string program = "/sim/tolvern";
    std::vector<std::string> args = {"-C1"};
    row.setup(&program, &args);
    script_key(13);
    const harness::RunResult r = harness::run_tool(args, program);
    EXPECT_NE(r.exit_code, 0);
    EXPECT_EQ(r.exit_code, row.exit_code);
    const std::string tail = row.tail();
    EXPECT_NE(r.console.find(tail), std::string::npos) << r.console;
    EXPECT_TRUE(ends_with(r.console, "\a\r\n")) << r.console;
    EXPECT_EQ(r.console.find(cp866(RU("Работа успешно завершена."))), std::string::npos);
    expect_unpowered_and_closed();
  }
}

}  // namespace
