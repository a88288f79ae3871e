// Messages, code page conversion, the log file and the last-error record.
#include <gtest/gtest.h>

#include <iconv.h>
#include <signal.h>
#include <sys/resource.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "output/codepage.h"
#include "output/error_record.h"
#include "output/messages.h"
#include "platform/cp1251_literal.h"
#include "platform/platform.h"
#include "sim/world.h"
#include "tests/harness.h"

namespace {

class Output : public ::testing::Test {
 protected:
  void SetUp() override { harness::reset_world(); }
  void TearDown() override { output::reset_messages(); }
};

// Runs body with a fresh log at path enabled and the size of files this process writes capped
// at bytes (a write past it fails with EFBIG), then closes the log.
template <typename Body>
void with_capped_log(const std::string& path, rlim_t bytes, Body body) {
  ASSERT_TRUE(output::log_create(path.c_str()));
  output::set_log_enabled(true);
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  const rlimit small{bytes, saved.rlim_max};
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  const auto handler = signal(SIGXFSZ, SIG_IGN);
  body();
  output::log_close();
  setrlimit(RLIMIT_FSIZE, &saved);
  signal(SIGXFSZ, handler);
}

// One text, converted at once: ASCII and every Russian letter as the system's converter has
// them; bytes 0x80..0xBF (Ё ё № °, ASCII look-alikes, a few code page 866 places, 0xFA for the
// rest) as the table puts them.
TEST_F(Output, ConversionToCodePage866) {
  std::string text;
  for (int b = 1; b < 0x80; ++b) text.push_back(static_cast<char>(b));
  for (int b = 0xC0; b <= 0xFF; ++b) text.push_back(static_cast<char>(b));
  std::string expected(text.size(), '\0');
  iconv_t cd = iconv_open("CP866", "CP1251");
  ASSERT_NE(cd, reinterpret_cast<iconv_t>(-1));
  char *in = text.data(), *out = expected.data();
  size_t in_left = text.size(), out_left = expected.size();
  ASSERT_EQ(iconv(cd, &in, &in_left, &out, &out_left), 0u);
  iconv_close(cd);
  ASSERT_EQ(out_left, 0u);  // one byte for one byte
  std::istringstream table("95 95 2C A3 22 5F FA FA FA FA FA 3C FA FA FA FA FA 60 27 22 22 F9 5F 2D FA FA FA 3E FA FA FA FA "
                           "FA F6 F7 4A FD F2 3A FA F0 FA F4 3C 2D FA FA F8 F8 23 F6 F7 F3 FA FA FA F1 FC F5 3E 6A 53 73 F9");
  for (int b = 0x80; b < 0xC0; ++b) text.push_back(static_cast<char>(b));
  for (int value; table >> std::hex >> value;) expected.push_back(static_cast<char>(value));
  output::to_console_codepage(text.data());
  EXPECT_EQ(text, expected);
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
  EXPECT_EQ(output::format_text(buffer, output::short_text_capacity, "%s", too_long.c_str()), 5000);
  EXPECT_EQ(std::strlen(buffer), output::short_text_capacity - 1);
  EXPECT_EQ(buffer[output::short_text_capacity], '#');  // nothing beyond the capacity touched

  output::set_error_text("%s", too_long.c_str());
  EXPECT_EQ(std::string(output::error_text()), std::string(output::short_text_capacity - 1, 'y'));
}

TEST_F(Output, FullDiskDisablesTheLogOnceAndTheConsoleGoesOn) {
  const harness::TempDir dir;
  const std::string log = dir / "Tolvern.log";
  char notice[128];
  std::snprintf(notice, sizeof notice, RU("\r\n\r\nОшибка %d при работе с файлом журнала.\r\n\r\n"), EFBIG);
  const std::string failure = harness::cp866(notice);
  const std::string line(99, 'z');

  std::vector<int> failed;
  with_capped_log(log, 1000, [&] {
    // The log is buffered: the write that fails is the one that makes the stream flush.
    for (int i = 0; i < 200; ++i) if (output::show_message("%s\n", line.c_str()) == 0) failed.push_back(i);
    EXPECT_FALSE(output::log_enabled());
  });
  ASSERT_EQ(failed.size(), 1u);
  // Every message reached the console, the failed one right after the one failure notice.
  std::string all;
  for (int i = 0; i < 200; ++i) all += line + "\n";
  const size_t at = static_cast<size_t>(failed[0]) * (line.size() + 1);
  EXPECT_EQ(sim::console_output(), all.substr(0, at) + failure + all.substr(at));

  // A tail that only fails when the log is closed is reported too, once.
  sim::clear_console_output();
  with_capped_log(log, 10, [&] {
    EXPECT_EQ(output::show_message("%s", line.c_str()), 1);  // still in the stream's buffer
  });
  EXPECT_EQ(sim::console_output(), line + failure);
}

class ErrorRecord : public Output {
 protected:
  void TearDown() override {
    output::set_open_link("");
    Output::TearDown();
  }

  // Tells the record that COM<n> is open, as the serial layer does, without touching any device.
  static void pretend_open(int n) {
    char name[16];
    std::snprintf(name, sizeof name, "COM%d", n);
    output::set_open_link(name);
  }
};

TEST_F(ErrorRecord, PortErrorTexts) {
  // The phrase follows "Порт " directly while no port is open, "Порт COM3 " while one is;
  // code 0 and the catch-all replace the whole text.
  // phrase: nullptr: the whole text is `whole`.
  const struct { uint32_t os_code; const char* phrase; const char* whole; } cases[] = {
      {0, nullptr, RU("Успешное окончание.")},
      {2, RU("не найден."), nullptr},
      {5, RU("уже используется другим процессом, либо доступ к нему запрещен."), nullptr},
      {6, RU("не открыт."), nullptr},
      {21, RU("- работа была приостановлена."), nullptr},
      {87, RU("- неверные параметры для открытия."), nullptr},
      {110, RU("невозможно открыть."), nullptr},
      {0xFFFFFF81u, RU("непонятная ошибка."), nullptr},  // -127
      {31, nullptr, RU("Непонятная ошибка ( код 31 ).")},
  };
  for (const auto& c : cases) {
    for (bool open : {false, true}) {
      SCOPED_TRACE(std::to_string(c.os_code) + (open ? " open" : " closed"));
      output::set_open_link("");
      if (open) pretend_open(3);
      output::set_port_error(c.os_code);
      EXPECT_EQ(output::error_code(), static_cast<int32_t>(c.os_code));
      EXPECT_EQ(platform::last_error(), c.os_code);
      const std::string expected =
          c.whole ? std::string(c.whole) : std::string(RU("Порт ")) + (open ? "COM3 " : "") + c.phrase;
      EXPECT_EQ(std::string(output::error_text()), expected);
    }
  }
}

TEST_F(ErrorRecord, TextsStayWithinTheRecord) {
  output::set_port_error(0x80000000u);  // the widest code
  EXPECT_EQ(output::error_code(), INT32_MIN);
  EXPECT_STREQ(output::error_text(), RU("Непонятная ошибка ( код -2147483648 )."));

  output::set_error_text("%s", std::string(120, 'a').c_str());
  output::append_error_text(std::string(50, 'b').c_str());
  EXPECT_EQ(std::string(output::error_text()), std::string(120, 'a') + std::string(7, 'b'));
  EXPECT_EQ(output::error_record.saved_error_text[0], '\0');

  // A port error on a record that is already full still ends in a short, whole sentence.
  pretend_open(99);
  output::set_port_error(5);
  EXPECT_STREQ(output::error_text(), RU("Порт COM99 уже используется другим процессом, либо доступ к нему запрещен."));
}

TEST_F(ErrorRecord, SaveAndRestoreSurviveLaterChanges) {
  pretend_open(7);
  output::set_port_error(5);
  const std::string saved_text = output::error_text();
  output::save_error();

  output::clear_error();
  EXPECT_EQ(platform::last_error(), 0u);
  output::set_port_error(31);
  output::append_error_text("more");
  platform::set_last_error(77);

  output::restore_error();
  EXPECT_EQ(output::error_code(), 5);
  EXPECT_EQ(std::string(output::error_text()), saved_text);
  EXPECT_EQ(platform::last_error(), 77u);  // restore leaves the system value alone

  output::clear_error();
  EXPECT_EQ(output::error_code(), 0);
  EXPECT_STREQ(output::error_text(), "");
  EXPECT_EQ(platform::last_error(), 0u);
}

}  // namespace
