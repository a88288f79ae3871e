// The last-error record: the port error texts, bounds, and save and restore.
#include <gtest/gtest.h>

#include <cstdint>
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
  // The phrase follows "Порт " directly while no port is open, "Порт COM3 " while one is;
  // code 0 and the catch-all replace the whole text.
  const struct {
    uint32_t os_code;
    const char* phrase;  // nullptr: the whole text is `whole`
    const char* whole;
  } cases[] = {
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
      serial::reset_port_state();
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
