// The last-error record: port error texts, save and restore, bounds.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "output/cp1251_literal.h"
#include "output/error_record.h"
#include "platform/platform.h"
#include "serial/port.h"
#include "sim/world.h"

namespace {

class ErrorRecord : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::reset();
    serial::reset_port_state();
    output::reset_error_record();
  }
  void TearDown() override { serial::reset_port_state(); }

  // Makes the record believe that COM<n> is open, without touching any device.
  static void pretend_open(int n) {
    serial::port.port_handle = 1234;
    std::snprintf(serial::port.port_name, sizeof serial::port.port_name, "COM%d", n);
  }
};

TEST_F(ErrorRecord, PortErrorTexts) {
  const std::string port = RU("Порт ");
  struct Case {
    uint32_t os_code;
    int open_port;  // 0 = none open
    std::string text;
  };
  const Case cases[] = {
      {2, 3, port + "COM3 " + RU("не найден") + "."},
      {2, 0, port + RU("не найден") + "."},
      {110, 0, port + RU("невозможно открыть") + "."},
      {5, 99, port + "COM99 " + RU("уже используется другим процессом, либо доступ к нему запрещен") + "."},
      {6, 0, port + RU("не открыт") + "."},
      {21, 3, port + "COM3 " + RU("- работа была приостановлена") + "."},
      {87, 12, port + "COM12 " + RU("- неверные параметры для открытия") + "."},
      {0, 3, std::string(RU("Успешное окончание")) + "."},
      {31, 3, RU("Непонятная ошибка ( код 31 ).")},
      {31, 0, RU("Непонятная ошибка ( код 31 ).")},
      {0xFFFFFF81u, 4, port + "COM4 " + RU("непонятная ошибка") + "."},
      {0x80000000u, 0, RU("Непонятная ошибка ( код -2147483648 ).")},
  };
  for (const Case& c : cases) {
    serial::reset_port_state();
    if (c.open_port != 0) pretend_open(c.open_port);
    output::set_port_error(c.os_code);
    EXPECT_EQ(output::error_code(), static_cast<int32_t>(c.os_code)) << c.os_code;
    EXPECT_EQ(std::string(output::error_text()), c.text) << c.os_code;
    EXPECT_EQ(platform::last_error(), c.os_code);
    EXPECT_LT(std::strlen(output::error_text()), output::short_text_capacity);
  }
}

TEST_F(ErrorRecord, SaveAndRestoreSurviveLaterChanges) {
  pretend_open(7);
  output::set_port_error(5);
  const std::string saved_text = output::error_text();
  output::save_error();

  output::clear_error();
  EXPECT_EQ(platform::last_error(), 0u);
  output::set_port_error(31);
  output::set_error_code(13);
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

TEST_F(ErrorRecord, AppendNeverPassesTheCapacity) {
  output::set_error_text("%s", std::string(120, 'a').c_str());
  output::append_error_text(std::string(50, 'b').c_str());
  const std::string text = output::error_text();
  EXPECT_EQ(text, std::string(120, 'a') + std::string(7, 'b'));
  EXPECT_EQ(output::error_record.saved_error_text[0], '\0');

  // A port error on a record that is already full still ends in a short, whole sentence.
  pretend_open(99);
  output::set_port_error(5);
  EXPECT_EQ(std::string(output::error_text()),
            std::string(RU("Порт COM99 уже используется другим процессом, либо доступ к нему запрещен.")));
}

}  // namespace
