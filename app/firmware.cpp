#include "app/firmware.h"

#include "image/container.h"
#include "issp/acquire.h"
#include "issp/power.h"
#include "output/messages.h"
#include "platform/cp1251_literal.h"

namespace app {

Step check_silicon_id() {
  uint16_t expected = 0;
  if (image::image_expected_silicon_id(&expected) != 1) return go_on;
  const uint16_t found = issp::chip_identity.SiliconID;
  if (found == expected) return go_on;
  set_exit_code(wrong_chip_code);
  issp::target_power_off_keep_error();
  output::show_message(RU("\r\n\r\nНеверная микросхема: SiliconID 0x%04X, ожидался 0x%04X, завершаем работу.\r\n"),
                       static_cast<unsigned>(found), static_cast<unsigned>(expected));
  return stop(Ending::shutdown);
}

void show_firmware(const char* data_file_name) {
  char meant_for[output::short_text_capacity] = "";
  uint16_t expected = 0;
  if (image::image_expected_silicon_id(&expected) == 1) {
    output::format_text(meant_for, sizeof meant_for, RU(", для SiliconID 0x%04X"), static_cast<unsigned>(expected));
  }
  const unsigned check_value = image::image_check_value();
  if (data_file_name == nullptr) {
    output::show_message(RU("  Прошивка: встроенная, контрольное значение 0x%04X%s.\r\n\r\n"), check_value,
                         meant_for);
  } else {
    output::show_message(RU("  Прошивка: файл %s, контрольное значение 0x%04X%s.\r\n\r\n"), data_file_name,
                         check_value, meant_for);
  }
}

}  // namespace app
