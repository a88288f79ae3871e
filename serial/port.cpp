// The one serial port the tool works on: opening by number, configuration for manual line
// control, and closing.
#include "serial/port.h"

#include <cstddef>

#include "output/error_record.h"
#include "output/messages.h"
#include "platform/cp1251_literal.h"
#include "serial/cable.h"

namespace serial {

PortState port = {platform::no_serial, {0}, 0, 0, 0, false};

namespace {

constexpr size_t path_capacity = 64;
constexpr size_t mode_capacity = 64;

// The device path of port n (1..99) as UTF-16 text.
void form_device_path(int32_t n, char16_t* path) {
  // COM1..COM9 open by their plain names; two-digit ports only exist in the device namespace.
  const char* prefix = n < 10 ? "COM" : "\\\\.\\COM";
  size_t i = 0;
  for (; prefix[i] != '\0'; ++i) path[i] = static_cast<char16_t>(prefix[i]);
  if (n >= 10) path[i++] = static_cast<char16_t>(u'0' + n / 10);
  path[i++] = static_cast<char16_t>(u'0' + n % 10);
  path[i] = 0;
}

// Takes the system's error number at once, before anything else can change it.
void fail_with_system_error() { output::set_port_error(platform::last_error()); }

}  // namespace

int close_port() {
  if (port.on_cable) return close_cable();
  if (port_is_open()) {
    // A port that refuses the purge is still let go of: keeping its handle would leave it open
    // for the rest of the run and make every later open_port fail on the same purge.
    const bool purged = platform::serial_purge(port.port_handle, platform::purge_all);
    if (!purged) fail_with_system_error();
    if (!platform::serial_close(port.port_handle)) {
      if (purged) fail_with_system_error();
      return 0;
    }
    if (!purged) {
      port.port_name[0] = '\0';
      port.port_handle = platform::no_serial;
      output::set_open_link("");
      return 0;
    }
  }
  port.port_name[0] = '\0';
  port.port_handle = platform::no_serial;
  output::set_open_link("");
  output::clear_error();
  return 1;
}

int open_port(int32_t number) {
  if (!close_port()) return 0;
  if (number < 1 || number > 99) {
    output::set_error_code(static_cast<int32_t>(platform::err::invalid_data));
    output::set_error_text(RU("Неверный номер COM-порта ( %d )."), static_cast<int>(number));
    platform::set_last_error(platform::err::invalid_data);
    return 0;
  }
  output::format_text(port.port_name, sizeof port.port_name, "COM%d", static_cast<int>(number));

  char16_t path[path_capacity];
  form_device_path(number, path);
  const platform::SerialHandle handle = platform::serial_open(path);
  if (handle == platform::no_serial) {
    // Missing, busy or refused: every open failure is reported alike, as "cannot be opened".
    port.port_handle = platform::no_serial;
    output::set_port_error(platform::err::open_failed);
    char detail[output::short_text_capacity * 2];
    output::open_detail_text(platform::serial_open_detail(), detail, sizeof detail);
    if (detail[0] != '\0') {
      output::append_error_text("\r\n");
      output::append_error_text(detail);
    }
    return 0;
  }
  port.port_handle = handle;
  output::set_open_link(port.port_name);

  if (!platform::serial_clear_errors(handle)) {
    fail_with_system_error();
    return 0;
  }
  if (!configure_port(port_mode)) return 0;
  output::clear_error();
  port.sample_delay_ms = 2;
  return 1;
}

int configure_port(const char* mode) {
  platform::Dcb dcb{};
  dcb.DCBlength = 28;
  dcb.BaudRate = 115200;
  dcb.flags = platform::dcb_binary;

  char16_t wide[mode_capacity];
  size_t length = 0;
  while (mode[length] != '\0') {
    if (length + 1 >= mode_capacity) {
      // A mode text that does not fit would be cut into a different mode: refuse it.
      output::set_port_error(platform::err::invalid_parameter);
      return 0;
    }
    wide[length] = static_cast<char16_t>(static_cast<unsigned char>(mode[length]));
    ++length;
  }
  wide[length] = 0;

  if (!platform::serial_build_dcb(wide, &dcb)) {
    fail_with_system_error();
    return 0;
  }
  // No flow control of any kind and DTR/RTS under manual control only: the adapter's lines
  // must change exactly when the tool switches them.
  constexpr uint32_t kept = platform::dcb_binary | platform::dcb_parity | platform::dcb_reserved;
  static_assert(kept == 0xFFFF8003u);
  dcb.flags &= kept;
  dcb.XonLim = 1;
  dcb.XoffLim = 8;
  dcb.XonChar = 0x11;
  dcb.XoffChar = 0x13;
  dcb.ErrorChar = 0;
  dcb.EofChar = 0x19;
  dcb.EvtChar = 0x1B;
  if (!platform::serial_set_state(port.port_handle, dcb)) {
    fail_with_system_error();
    return 0;
  }
  output::clear_error();
  return 1;
}

void show_open_failure_detail() {
  char detail[output::short_text_capacity * 2];
  output::open_detail_text(platform::serial_open_detail(), detail, sizeof detail);
  if (detail[0] != '\0') output::show_message("   %s\r\n", detail);
}

void reset_port_state() {
  port.port_handle = platform::no_serial;
  port.port_name[0] = '\0';
  port.modem_status = 0;
  port.break_state = 0;
  port.sample_delay_ms = 0;
  port.on_cable = false;
}

}  // namespace serial
