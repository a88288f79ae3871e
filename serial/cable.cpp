// Finding and opening the FT232R cable, and letting go of it.
#include "serial/cable.h"

#include <cstring>

#include "output/error_record.h"
#include "output/messages.h"
#include "platform/cp1251_literal.h"
#include "platform/ftdi.h"
#include "platform/platform.h"
#include "serial/discovery.h"
#include "serial/ft232r.h"
#include "serial/port.h"
#include "serial/wire.h"

namespace serial {

namespace {

// The cable answers within a millisecond of a full packet rather than after its default 16.
constexpr uint8_t latency_ms = 1;

platform::UsbSerialDevice devices[platform::max_usb_serial_devices];

int list_failure() {
  uint32_t code = platform::last_error();
  if (code == 0) code = platform::err::bad_environment;
  output::set_error_code(static_cast<int32_t>(code));
  if (code == platform::err::dll_not_found) {
    output::set_error_text(RU("Библиотека ftd2xx.dll не найдена ( ошибка %d ): установите драйвер FTDI."),
                           static_cast<int>(code));
  } else {
    output::set_error_text(RU("Ошибка %d при поиске USB-адаптеров."), static_cast<int>(code));
  }
  platform::set_last_error(code);
  return 0;
}

void show_device(const platform::UsbSerialDevice& d) {
  output::show_message(" %s", d.chip);
  if (d.serial[0] != '\0') output::show_message(RU(", серийный номер %s"), d.serial);
  if (d.com_port > 0) output::show_message(" ( COM%d )", static_cast<int>(d.com_port));
  output::show_message("\r\n");
}

int refuse(const char* message, int32_t exit_code) {
  output::show_message("%s", message);
  return -exit_code;
}

int refuse_unsupported(const platform::UsbSerialDevice& d) {
  output::show_message(RU("\r\n%s не поддерживается: по USB работает только кабель на FT232R, "
                          "без ключа -F порт доступен как обычный COM-порт. Завершаем работу.\r\n"),
                       d.chip);
  return -cable_exit_unsupported;
}

// The device to use, or -N to refuse with exit code N.
int choose(int count, int32_t forced_port) {
  if (forced_port >= 1) {
    for (int i = 0; i < count; ++i) {
      if (devices[i].com_port != forced_port) continue;
      return devices[i].ft232r ? i : refuse_unsupported(devices[i]);
    }
    output::show_message(RU("\r\nНа порту COM%d нет USB-адаптера. Завершаем работу.\r\n"),
                         static_cast<int>(forced_port));
    return -cable_exit_not_found;
  }
  int found = -1;
  int other = -1;
  for (int i = 0; i < count; ++i) {
    if (!devices[i].ft232r) {
      other = i;
      continue;
    }
    if (found >= 0) {
      return refuse(RU("\r\nОбнаружено более одного кабеля FT232R, укажите нужный ключом -C. "
                       "Завершаем работу.\r\n"),
                    cable_exit_not_found);
    }
    found = i;
  }
  if (found >= 0) return found;
  if (other >= 0) return refuse_unsupported(devices[other]);
  return refuse(RU("\r\nКабель FT232R не обнаружен. Завершаем работу.\r\n"), cable_exit_not_found);
}

static_assert(ft232r::output_pins == platform::uart_output_pins, "the UART's own outputs are the ones driven");

// The pins come up idle: the latch holds the idle levels before the outputs are driven, so
// entering the mode neither powers nor clocks the target.
bool enter_bitbang() {
  return platform::ftdi_set_latency_ms(latency_ms) &&
         platform::ftdi_set_baud(ft232r::baud, ft232r::slowest_byte_rate) &&
         platform::ftdi_set_latch(ft232r::idle_pins) &&
         platform::ftdi_set_bitmode(ft232r::output_pins, platform::bitmode_synchronous);
}

}  // namespace

int open_cable(int32_t forced_port) {
  const int listed = platform::usb_serial_list(devices, platform::max_usb_serial_devices);
  if (listed < 0) return list_failure();
  const int count = listed < platform::max_usb_serial_devices ? listed : platform::max_usb_serial_devices;
  output::show_message(RU("\r\nНайдено USB-адаптеров - %d:\r\n"), count);
  for (int i = 0; i < count; ++i) show_device(devices[i]);
  const int chosen = choose(count, forced_port);
  if (chosen < 0) return chosen;

  const platform::UsbSerialDevice& d = devices[chosen];
  if (d.serial[0] != '\0') {
    output::format_text(port.port_name, sizeof port.port_name, "%s %s", d.chip, d.serial);
  } else {
    output::format_text(port.port_name, sizeof port.port_name, "%s", d.chip);
  }
  output::show_message(RU("\r\nОткрываем кабель %s"), port.port_name);
  port.on_cable = true;
  output::set_open_link(port.port_name);
  port.break_state = 0;
  if (!platform::ftdi_open(chosen) || !enter_bitbang()) {
    uint32_t code = platform::last_error();
    if (code == 0) code = platform::err::open_failed;  // never a failure that reads as success
    output::set_port_error(code);
    platform::ftdi_close();
    port.on_cable = false;
    output::set_open_link("");
    return 0;
  }
  // No source says the latch survives the switch into synchronous mode: the pins are looked at
  // before any line is switched. Outputs not idle may be powering the target.
  uint8_t pins = 0;
  if (!platform::ftdi_read_pins(&pins)) {
    output::set_port_error(platform::last_error());
    platform::ftdi_close();
    port.on_cable = false;
    output::set_open_link("");
    return 0;
  }
  // The stream starts from the levels the pins really have, so that the power-off switches one
  // line at a time, in its order.
  ft232r::reset_stream(static_cast<uint8_t>(pins & ft232r::output_pins));
  wire::use(wire::ft232r);
  if ((pins & ft232r::output_pins) != ft232r::idle_pins) {
    output::show_message(RU("\r\nВыводы кабеля %s не пришли в исходное состояние ( 0x%02X вместо 0x%02X ), "
                            "возможно, на микросхему подано питание. Отключаем линии, завершаем работу.\r\n"),
                         port.port_name, static_cast<unsigned>(pins & ft232r::output_pins),
                         static_cast<unsigned>(ft232r::idle_pins));
    return -cable_exit_pins_not_idle;
  }
  output::show_message("%s", RU(" - успешно.\r\n"));

  // The adapter's echo settles before each of these samples, as on a COM port.
  port.sample_delay_ms = 2;
  const int echo = adapter_echo();
  if (echo < 0) return 0;
  if (echo != probe_adapter) {
    return refuse(RU("\r\nАдаптер не обнаружен. Завершаем работу.\r\n"), cable_exit_not_found);
  }
  output::clear_error();
  return 1;
}

void reset_cable() { std::memset(devices, 0, sizeof devices); }

int close_cable() {
  // Every line idle before the pins go back to the UART; a cable that is gone cannot be helped.
  constexpr uint32_t idle_steps[] = {platform::CLRBREAK, platform::CLRDTR, platform::CLRRTS};
  bool idle = true;
  for (uint32_t function : idle_steps) {
    if (!wire::set_quiet(function) && idle) {
      output::set_port_error(platform::last_error());
      idle = false;
    }
  }
  (void)platform::ftdi_set_bitmode(platform::uart_output_pins, platform::bitmode_reset);
  platform::ftdi_close();
  wire::use(wire::com_port);
  port.on_cable = false;
  port.port_name[0] = '\0';
  output::set_open_link("");
  port.sample_delay_ms = 0;
  if (idle) output::clear_error();
  return idle ? 1 : 0;
}

}  // namespace serial
