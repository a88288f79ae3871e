// End-to-end runs of the programming procedure on the simulated adapter and chip.
#include <algorithm>
#include <numeric>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/run.h"
#include "image/container.h"
#include "image/container_format.h"
#include "output/keyboard.h"
#include "platform/cp1251_literal.h"
#include "platform/platform.h"
#include "sim/world.h"
#include "tests/harness.h"
#include "tests/issp_trace.h"

namespace {

using harness::cp866;
using harness::ends_with;
using harness::format;

// Console endings of a failure: a check's message "..., завершаем работу." with the record's
// blank line, or a record's own text; then the bell of the failure shutdown and the final line end.
std::string check_tail(const std::string& what_cp1251) {
  return cp866("\r\n\r\n" + what_cp1251 + RU(", завершаем работу.\r\n")) + "\r\n\r\n\a\r\n";
}
std::string record_tail(const std::string& text_cp1251) {
  return "\r\n\r\n" + cp866(text_cp1251) + "\a\r\n";
}
std::string no_response_tail(int code) {
  return record_tail(format(RU("Нет ответа от микросхемы ( код %d ).\r\n"), code));
}

// A packed data file beside a program in dir; its image (returned in img) has 0x00 at byte 5
// of every block. Returns the program path.
std::string program_with_data_file(const harness::TempDir& dir, std::vector<uint8_t>* img) {
  img->resize(image::image_size);
  for (std::size_t i = 0; i < img->size(); ++i)
    (*img)[i] = i % 64 == 5 ? 0 : static_cast<uint8_t>(i * 7 + 3 + (i >> 8));
  return harness::program_with_container(dir, *img, 0x5EED1234u, nullptr, "Tolvern-test.dat");
}

TEST(ProcedureRun, SuccessWritesVerifiesProtectsAndLogs) {
  const std::string success = std::string(app::last_chance_prompt()) +
      RU("\r\n\r\nНачало работы ( займет около 1 минуты ).\r\n\r\nСтадия 1 - OK\r\n"
         "Стадия 2 - OK\r\nСтадия 3 - OK\r\n\r\nРабота успешно завершена.\r\n\r\n");
  for (const bool data_file : {false, true}) {
    SCOPED_TRACE(data_file ? "data file" : "embedded image");
    std::vector<uint8_t> img(image::image_size);
    for (uint32_t i = 0; i < img.size(); ++i)
      img[i] = static_cast<uint8_t>(image::unpack_byte(image::embedded_container, i));
    const harness::TempDir dir;
    const std::string program = data_file ? program_with_data_file(dir, &img) : dir / "tolvern";
    const std::string log = program.substr(0, program.rfind('/')) + "/Tolvern.log";
    harness::write_file(log, std::string(20000, 'o'));  // an old log is replaced, not extended
    std::vector<std::string> args = {"-C1", "-L"};
    if (data_file) args.push_back("-D");
    sim::reset();
    sim::set_trace(true);
    // Keys typed as the procedure starts are drained at once; ESC typed later is not looked at.
    sim::push_keys_after(cp866(app::last_chance_prompt()), {output::key_enter});
    sim::push_keys_after(cp866(RU("Начало работы ( займет")), {'x', output::key_esc});
    sim::push_keys_after(cp866(RU("Стадия 1")), {output::key_esc});
    const harness::RunResult r = harness::run_tool(args, program);

    EXPECT_EQ(r.exit_code, 0);
    const std::vector<size_t>& read_at = sim::keys_read_at();
    const size_t stage_1 = sim::console_output().find(cp866(RU("Стадия 1")));
    EXPECT_EQ(std::count_if(read_at.begin(), read_at.end(), [&](size_t at) { return at <= stage_1; }), 3)
        << "ENTER at the prompt, then both keys drained before stage 1";
    ASSERT_EQ(read_at.size(), 4u);
    EXPECT_GT(read_at.back(), sim::console_output().find(cp866(RU("Работа успешно завершена"))));
    // Power off (a second after RTS drops) and the 2-second pause end the run.
    ASSERT_FALSE(sim::trace().empty());
    EXPECT_EQ(sim::trace().back().function, platform::CLRRTS);
    EXPECT_TRUE(harness::within(sim::now_us() - sim::trace().back().time_us, 3000000, 3000100));
    // The log holds the whole run in Windows-1251, the console the same in code page 866.
    const std::string logged = harness::read_file(log);
    EXPECT_TRUE(ends_with(logged, success));
    EXPECT_EQ(r.console, "\r\n" + cp866(RU("Используется файл журнала.\r\n\r\n")) + cp866(logged));
    EXPECT_EQ(logged.find(RU("\r\nРабота с внешним файлом данных.\r\n")) != std::string::npos, data_file);
    EXPECT_EQ(std::vector<uint8_t>(sim::flash().begin(), sim::flash().end()), img);
    EXPECT_TRUE(sim::protection_set());
    EXPECT_EQ(std::count(sim::protection().begin(), sim::protection().end(), 0xFF), 63);
    EXPECT_EQ(sim::protection()[31], 0x00);
    using R = sim::RomFunction;
    const auto calls = [](R function) { return sim::rom_calls(function); };
    EXPECT_EQ((std::vector<long long>{calls(R::erase_all), calls(R::write_block), calls(R::read_block),
                                      calls(R::protect), calls(R::checksum)}),
              (std::vector<long long>{1, 128, 256, 1, 255}));
  }
}


// Every run uses the data file, whose image has 0x00 at byte 5 of every block: only the
// protection pattern check sees a byte 5 stuck at zero.
TEST(ProcedureRun, CancelOrAnyFailureEndsNonZeroWithTheTargetOff) {
  std::vector<uint8_t> img;
  const harness::TempDir dir;
  const std::string program = program_with_data_file(dir, &img);
  // ESC at the prompt leaves the flash untouched and the target off. Its run also gives the
  // line-switch counts the port failures below are placed by.
  sim::reset();
  sim::set_trace(true);
  const harness::RunResult cancelled = harness::run_tool({"-C1", "-D"}, program, output::key_esc);
  EXPECT_EQ(cancelled.exit_code, 1);
  EXPECT_TRUE(ends_with(cancelled.console, cp866(RU("\r\n\r\nРабота прервана.\r\n")) + "\r\n"));
  EXPECT_EQ(sim::rom_calls(sim::RomFunction::erase_all) + sim::rom_calls(sim::RomFunction::write_block), 0);
  const std::vector<uint32_t> escapes = issp_trace::escapes();
  // The procedure's first escape call comes where ESC's power-off (the last such triple) began.
  const uint32_t power_off[] = {platform::CLRBREAK, platform::CLRDTR, platform::CLRRTS};
  const auto at_esc = std::find_end(escapes.begin(), escapes.end(), std::begin(power_off), std::end(power_off));
  ASSERT_NE(at_esc, escapes.end());
  const int first_escape = static_cast<int>(at_esc - escapes.begin()) + 1;
  const int some_sample = static_cast<int>(sim::counters().modem_status_calls) + 20000;
  // The power-off after stage 3 is the CLRRTS that ESC's power-off was.
  const int last_clrrts = static_cast<int>(std::count(escapes.begin(), escapes.end(), platform::CLRRTS));
  ASSERT_NE(img[0], 0);  // the loaded-buffer check sees byte 0 stuck at zero
  using C = sim::ChipFault;
  using R = sim::RomFunction;
  using namespace sim::chip_fault;
  const sim::ChipFaultSpec checksum_differs = checksum_off(10, 1);
  // Block 1's upper checksum 16 below its lower one.
  const sim::ChipFaultSpec checksum_wraps = checksum_off(2, -std::accumulate(&img[64], &img[128], 16));
  const std::string wrong_answer = check_tail(RU("Неверный ответ от микросхемы"));
  const std::string port_text = "\r\n\r\n" + cp866(RU("Порт COM1 "));
  // ESC whose power-off fails ends on the port error, never as a plain cancel.
  sim::reset();
  sim::add_call_fault({sim::Call::escape, last_clrrts, 5, false, platform::CLRRTS});
  const harness::RunResult esc_failed = harness::run_tool({"-C1", "-D"}, program, output::key_esc);
  EXPECT_EQ(esc_failed.exit_code, 5);
  EXPECT_NE(esc_failed.console.find(cp866(RU("\r\n\r\nРабота прервана.\r\n")) + port_text),
            std::string::npos);
  struct Row {
    const char* name;
    std::vector<sim::ChipFaultSpec> chip_faults;
    std::vector<sim::CallFault> call_faults;
    int exit_code;
    std::string tail;
  };
  const Row rows[] = {
      {"cleared buffer not zero", {buffer_byte_stuck(7, 0x5A)}, {}, 101, check_tail(RU("Связь потеряна"))},
      {"loaded buffer differs", {buffer_byte_stuck(0, 0)}, {}, 101, check_tail(RU("Ошибка при обмене данными"))},
      {"write block status not zero", {wrong_status(R::write_block, 1)}, {}, 101, wrong_answer},
      {"write block no response", {at_call(C::stuck_high_after_release, R::write_block)}, {}, 100, no_response_tail(32)},
      {"read status 9, first pass", {wrong_status(R::read_block, 9, 1)}, {}, 101, wrong_answer},
      {"read status 10, first pass", {wrong_status(R::read_block, 10, 1)}, {}, 100, no_response_tail(40)},
      {"read status 9, second pass", {wrong_status(R::read_block, 9, 129)}, {}, 101, wrong_answer},
      {"read status 10, second pass", {wrong_status(R::read_block, 10, 129)}, {}, 100, no_response_tail(50)},
      {"read block no response, first pass", {at_call(C::stuck_high_after_release, R::read_block, 1)}, {}, 100,
       no_response_tail(42)},
      {"read block no response, second pass", {at_call(C::no_busy, R::read_block, 129)}, {}, 100, no_response_tail(53)},
      // Only a buffer cleared before the read-back shows a read block that never delivered.
      {"read block leaves the buffer", {read_block_untouched(1)}, {}, 101,
       check_tail(format(RU("Ошибка при проверке данных ( %d, 0x%02X - 0x%02X )"), 0, img[0], 0))},
      {"brown-out while loading the buffer", {brown_out(3000)}, {}, 101,
       check_tail(RU("Ошибка при обмене данными"))},
      {"first-pass verify differs", {corrupt_written_block(5, 3, 0x10)}, {}, 101,
       check_tail(format(RU("Ошибка при проверке данных ( %d, 0x%02X - 0x%02X )"), 5, img[323], img[323] ^ 0x10))},
      // The second read-back of block 5 (read block call 128 + 6) delivers a wrong byte.
      {"second-pass verify differs", {corrupt_read_block(5, 3, 0x01, 134)}, {}, 101,
       check_tail(format(RU("Ошибка при проверке результатов ( %d, 0x%02X - 0x%02X )"), 5, img[323], img[323] ^ 0x01))},
      {"protection pattern reads back wrong", {buffer_byte_stuck(5, 0)}, {}, 101, check_tail(RU("Ошибка при обмене"))},
      {"protect no response", {at_call(C::stuck_high_after_release, R::protect)}, {}, 100, no_response_tail(62)},
      // A protection the chip refused would leave an unprotected chip behind an exit code 0.
      {"protect status not zero", {wrong_status(R::protect, 3)}, {}, 101, wrong_answer},
      {"erase all no response", {at_call(C::stuck_high_after_release, R::erase_all)}, {}, 100, no_response_tail(22)},
      {"erase all call cannot be sent", {}, {{sim::Call::escape, first_escape, 5}}, 5,
       cp866(RU("Стадия 1")) + port_text},
      {"a sample fails in the middle", {}, {{sim::Call::modem_status, some_sample, 6}}, 6, port_text},
      {"a line switch fails in the middle", {}, {{sim::Call::escape, first_escape + 100000, 21}}, 21, port_text},
      // The system gave no number: 10, as for every such failure; 101 means a check failed.
      {"a line switch fails with error 0", {}, {{sim::Call::escape, first_escape + 100000, 0}}, 10,
       record_tail(RU("Успешное окончание."))},
      {"block checksum differs", {checksum_differs}, {}, 101,
       check_tail(RU("Ошибка при окончательной проверке результатов"))},
      {"block checksum wraps below the lower one", {checksum_wraps}, {}, 126,
       record_tail(RU("Получено неверное значение контрольной суммы блока ( 0xFFF0 )."))},
      {"checksum no response", {at_call(C::no_busy, R::checksum)}, {}, 10,
       record_tail(RU("Нет ответа от микросхемы ( стадия 13 )."))},
      {"final power-off fails", {}, {{sim::Call::escape, last_clrrts, 5, false, platform::CLRRTS}}, 5,
       cp866(RU("Стадия 3")) + " - OK\r\n" + port_text},
  };
  // Every chip's failure also through the FT232R cable: the same ending, exit code and message.
  for (const bool cable : {false, true})
  for (const Row& row : rows) {
    if (cable && !row.call_faults.empty()) continue;
    SCOPED_TRACE(std::string(row.name) + (cable ? " on the cable" : ""));
    sim::reset();
    if (cable) sim::set_usb_devices({sim::UsbDevice{}});
    sim::chip_config().faults = row.chip_faults;
    for (const sim::CallFault& f : row.call_faults) sim::add_call_fault(f);
    const std::vector<std::string> args = {cable ? "-F" : "-C1", "-D"};
    const harness::RunResult r = harness::run_tool(args, program, output::key_enter);
    EXPECT_EQ(r.exit_code, row.exit_code);
    EXPECT_NE(r.console.find(row.tail), std::string::npos) << r.console;
    EXPECT_TRUE(ends_with(r.console, "\a\r\n")) << r.console;
    EXPECT_EQ(r.console.find(cp866(RU("Работа успешно завершена."))), std::string::npos);
  }
}

}  // namespace

// A buffer check on a COM port reads and compares byte by byte and stops at the first
// difference: a difference further into the buffer costs exactly one read vector per byte
// before it. On the cable the block's reads travel together and are compared afterwards.
// A port failure that only the rest of the block's reads would have met never replaces the
// check's own ending.
TEST(ProcedureRun, BufferChecksStopAtTheFirstDifference) {
  using namespace sim::chip_fault;
  const struct { const char* name; sim::ChipFaultSpec early, late; int positions_apart; } rows[] = {
      {"loaded block read back wrong", corrupt_written_block(0, 3, 0x10), corrupt_written_block(0, 63, 0x10), 60},
      {"cleared buffer byte stuck", buffer_byte_stuck(0, 0x5A), buffer_byte_stuck(5, 0x5A), 5},
  };
  const auto read_vectors = [](bool cable, const sim::ChipFaultSpec& fault) {
    sim::reset();
    if (cable) sim::set_usb_devices({sim::UsbDevice{}});
    sim::chip_config().faults = {fault};
    EXPECT_EQ(harness::run_tool({cable ? "-F" : "-C1"}, "/sim/tolvern", output::key_enter).exit_code, 101);
    return sim::counters().vectors_read;
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(read_vectors(false, row.late) - read_vectors(false, row.early), row.positions_apart);
    EXPECT_EQ(read_vectors(true, row.late), read_vectors(true, row.early));
  }
  // The first sample that a run stopping at the difference never makes fails: the verify's
  // own ending stands.
  sim::reset();
  sim::chip_config().faults = {corrupt_written_block(0, 3, 0x10)};
  ASSERT_EQ(harness::run_tool({"-C1"}, "/sim/tolvern", output::key_enter).exit_code, 101);
  const int samples = static_cast<int>(sim::counters().modem_status_calls);
  sim::reset();
  sim::chip_config().faults = {corrupt_written_block(0, 3, 0x10)};
  sim::add_call_fault({sim::Call::modem_status, samples + 1, 5});
  const harness::RunResult r = harness::run_tool({"-C1"}, "/sim/tolvern", output::key_enter);
  EXPECT_EQ(r.exit_code, 101);
  const int expected = image::unpack_byte(image::embedded_container, 3);
  EXPECT_NE(r.console.find(check_tail(format(RU("Ошибка при проверке данных ( %d, 0x%02X - 0x%02X )"), 0,
                                             expected, expected ^ 0x10))),
            std::string::npos) << r.console;
}
