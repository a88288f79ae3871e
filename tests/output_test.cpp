// Messages, code page conversion, log file and keyboard.
#include <gtest/gtest.h>
#include <iconv.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "output/codepage.h"
#include "output/cp1251_literal.h"
#include "output/error_record.h"
#include "output/keyboard.h"
#include "output/messages.h"
#include "sim/world.h"
#include "tests/harness.h"

namespace {

class Output : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::reset();
    output::reset_messages();
    output::reset_error_record();
  }
  void TearDown() override { output::reset_messages(); }
};

std::string converted(unsigned char byte) {
  char text[2] = {static_cast<char>(byte), 0};
  output::to_console_codepage(text);
  return std::string(1, text[0]);
}

TEST_F(Output, HighBytesFollowTheFixedTable) {
  // Rows 0x80..0xBF as the table of the tool's console conversion gives them.
  const unsigned char rows[4][16] = {
      {0x95, 0x95, 0x2C, 0xA3, 0x22, 0x5F, 0xFA, 0xFA, 0xFA, 0xFA, 0xFA, 0x3C, 0xFA, 0xFA, 0xFA, 0xFA},
      {0xFA, 0x60, 0x27, 0x22, 0x22, 0xF9, 0x5F, 0x2D, 0xFA, 0xFA, 0xFA, 0x3E, 0xFA, 0xFA, 0xFA, 0xFA},
      {0xFA, 0xF6, 0xF7, 0x4A, 0xFD, 0xF2, 0x3A, 0xFA, 0xF0, 0xFA, 0xF4, 0x3C, 0x2D, 0xFA, 0xFA, 0xF8},
      {0xF8, 0x23, 0xF6, 0xF7, 0xF3, 0xFA, 0xFA, 0xFA, 0xF1, 0xFC, 0xF5, 0x3E, 0x6A, 0x53, 0x73, 0xF9},
  };
  for (int b = 0x80; b < 0xC0; ++b) {
    EXPECT_EQ(converted(static_cast<unsigned char>(b)),
              std::string(1, static_cast<char>(rows[(b - 0x80) / 16][b % 16])))
        << "byte " << std::hex << b;
  }
  // Letters: А..п to 0x80..0xAF, р..я to 0xE0..0xEF.
  for (int b = 0xC0; b <= 0xFF; ++b) {
    const int expected = b < 0xF0 ? b - 0x40 : b - 0x10;
    EXPECT_EQ(converted(static_cast<unsigned char>(b)), std::string(1, static_cast<char>(expected)))
        << "byte " << std::hex << b;
  }
  // Bytes below 0x80 never change; conversion runs over the whole text.
  std::string ascii;
  for (int b = 1; b < 0x80; ++b) ascii.push_back(static_cast<char>(b));
  std::string copy = ascii;
  output::to_console_codepage(copy.data());
  EXPECT_EQ(copy, ascii);
  char empty[1] = {0};
  output::to_console_codepage(empty);
  EXPECT_EQ(empty[0], 0);
}

TEST_F(Output, LettersMatchTheSystemConverter) {
  iconv_t cd = iconv_open("CP866", "CP1251");
  ASSERT_NE(cd, reinterpret_cast<iconv_t>(-1));
  std::string checked;
  for (int b = 0xC0; b <= 0xFF; ++b) checked.push_back(static_cast<char>(b));
  for (int b : {0xA8, 0xB8, 0xB9, 0xB0}) checked.push_back(static_cast<char>(b));  // Ё ё № °
  for (char c : checked) {
    char in[1] = {c};
    char out[4] = {};
    char* pin = in;
    char* pout = out;
    size_t in_left = 1;
    size_t out_left = sizeof out;
    ASSERT_NE(iconv(cd, &pin, &in_left, &pout, &out_left), static_cast<size_t>(-1));
    ASSERT_EQ(sizeof out - out_left, 1u);
    EXPECT_EQ(converted(static_cast<unsigned char>(c)), std::string(1, out[0]))
        << "byte " << std::hex << (static_cast<unsigned>(c) & 0xFF);
  }
  iconv_close(cd);
}

TEST_F(Output, FormattingIsBoundedEverywhere) {
  const std::string fits(4095, 'x');
  EXPECT_EQ(output::show_message("%s", fits.c_str()), 1);
  EXPECT_EQ(sim::console_output(), fits);

  sim::clear_console_output();
  const std::string too_long(5000, 'y');
  EXPECT_EQ(output::show_message("%s", too_long.c_str()), 0);
  EXPECT_EQ(sim::console_output(), std::string(4095, 'y'));

  char buffer[output::short_text_capacity + 8];
  std::memset(buffer, '#', sizeof buffer);
  const int count = output::format_text(buffer, output::short_text_capacity, "%s", too_long.c_str());
  EXPECT_EQ(count, 5000);
  EXPECT_EQ(std::strlen(buffer), output::short_text_capacity - 1);
  EXPECT_EQ(buffer[output::short_text_capacity], '#');  // nothing beyond the capacity touched

  output::set_error_text("%s", too_long.c_str());
  EXPECT_EQ(std::string(output::error_text()), std::string(output::short_text_capacity - 1, 'y'));
}

TEST_F(Output, PercentInAnArgumentIsPrintedLiterally) {
  const char* path = "/tmp/100%s%n%d/Tolvern.log";
  EXPECT_EQ(output::show_message(RU("\r\nПуть %s\r\n"), path), 1);
  EXPECT_EQ(sim::console_output(), harness::cp866(RU("\r\nПуть ")) + path + "\r\n");
}

TEST_F(Output, LogKeepsWindows1251WhileConsoleShows866) {
  const std::string dir = harness::make_temp_dir();
  const std::string log = dir + "/Tolvern.log";
  output::show_message(RU("до журнала\r\n"));
  ASSERT_TRUE(output::log_create(log.c_str()));
  output::set_log_enabled(true);
  EXPECT_EQ(output::show_message(RU("\r\nРабота успешно завершена.\r\n")), 1);
  EXPECT_EQ(output::show_message(RU("Файл №%d «%s»\r\n"), 7, "x"), 1);
  output::log_close();

  const std::string logged = std::string(RU("\r\nРабота успешно завершена.\r\n")) + RU("Файл №7 «x»\r\n");
  EXPECT_EQ(harness::read_file(log), logged);
  EXPECT_NE(logged.find('\xB9'), std::string::npos);
  EXPECT_EQ(sim::console_output(), harness::cp866(RU("до журнала\r\n")) + harness::cp866(logged.c_str()));
  EXPECT_NE(sim::console_output().find('\xFC'), std::string::npos);
  EXPECT_NE(sim::console_output().find('\x3C'), std::string::npos);
}

TEST_F(Output, FullDiskDisablesTheLogOnceAndTheConsoleGoesOn) {
  const std::string dir = harness::make_temp_dir();
  const std::string log = dir + "/Tolvern.log";
  ASSERT_TRUE(output::log_create(log.c_str()));
  output::set_log_enabled(true);

  struct rlimit saved;
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  void (*saved_handler)(int) = signal(SIGXFSZ, SIG_IGN);
  struct rlimit small = saved;
  small.rlim_cur = 1000;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);

  // The log is buffered: the write that fails is the one that makes the stream flush.
  const std::string line(99, 'z');
  int first_failure = -1;
  for (int i = 0; i < 200; ++i) {
    const int ok = output::show_message("%s\n", line.c_str());
    if (ok == 0 && first_failure < 0) first_failure = i;
  }
  output::log_close();
  setrlimit(RLIMIT_FSIZE, &saved);
  signal(SIGXFSZ, saved_handler);

  ASSERT_GE(first_failure, 0);
  EXPECT_FALSE(output::log_enabled());
  char expected_failure[128];
  std::snprintf(expected_failure, sizeof expected_failure,
                RU("\r\n\r\nОшибка %d при работе с файлом журнала.\r\n\r\n"), EFBIG);
  const std::string failure = harness::cp866(expected_failure);
  const std::string& console = sim::console_output();
  const size_t at = console.find(failure);
  ASSERT_NE(at, std::string::npos);
  EXPECT_EQ(console.find(failure, at + 1), std::string::npos);
  // Every message reached the console, the failed one right after the failure notice.
  std::string all;
  for (int i = 0; i < 200; ++i) all += line + "\n";
  EXPECT_EQ(console.substr(0, at) + console.substr(at + failure.size()), all);
  EXPECT_EQ(at, static_cast<size_t>(first_failure) * (line.size() + 1));
  EXPECT_LE(harness::read_file(log).size(), 1000u);

  // A tail that only fails when the log is closed is reported too, once.
  sim::clear_console_output();
  ASSERT_TRUE(output::log_create(log.c_str()));
  output::set_log_enabled(true);
  small.rlim_cur = 10;
  signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  EXPECT_EQ(output::show_message("%s", line.c_str()), 1);  // still in the stream's buffer
  output::log_close();
  setrlimit(RLIMIT_FSIZE, &saved);
  signal(SIGXFSZ, saved_handler);
  EXPECT_EQ(sim::console_output(), line + failure);
}

TEST_F(Output, FlushKeyboardDiscardsWaitingKeysAndNeverSpins) {
  output::flush_keyboard();  // nothing scripted: the input has ended, return at once
  EXPECT_EQ(output::read_key(), output::key_esc);

  sim::reset();
  sim::push_keys({'a', 0xE0, 0x48});
  sim::push_keys_after("prompt", {output::key_enter});
  output::flush_keyboard();
  EXPECT_EQ(output::key_waiting(), 0);
  output::show_message("prompt");
  ASSERT_NE(output::key_waiting(), 0);
  EXPECT_EQ(output::read_key(), output::key_enter);
}

}  // namespace
