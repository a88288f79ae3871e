// Finding the adapter: the system's list of serial ports, and a probe of each port that
// toggles RTS and watches the adapter echo it on DSR.
#include "serial/discovery.h"

#include <cstddef>
#include <cstring>

#include "output/error_record.h"
#include "output/messages.h"
#include "platform/cp1251_literal.h"
#include "platform/platform.h"
#include "serial/lines.h"
#include "serial/port.h"
#include "serial/wire.h"

namespace serial {

uint8_t port_list[16];

namespace {

constexpr uint32_t max_ports = 15;
constexpr uint32_t name_room = 120;  // units, terminator included
constexpr uint32_t data_room = 120;  // bytes

// Only a..z are folded: the device map's names are ASCII, and nothing else may match.
char16_t upper(char16_t c) { return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 32) : c; }

bool is_digit(char16_t c) { return c >= u'0' && c <= u'9'; }

bool equals_upper(const char16_t* text, const char* ascii) {
  for (size_t i = 0; ascii[i] != '\0'; ++i) {
    if (upper(text[i]) != static_cast<char16_t>(ascii[i])) return false;
  }
  return true;
}

// "\DEVICE\" ... "SERIAL" and one or two digits, case of a..z ignored.
bool serial_device_name(const char16_t* name, uint32_t length) {
  if (length < 15) return false;
  if (!equals_upper(name, "\\DEVICE\\")) return false;
  if (!is_digit(name[length - 1])) return false;
  const uint32_t digits = is_digit(name[length - 2]) ? 2 : 1;
  return equals_upper(name + (length - digits - 6), "SERIAL");
}

// The COM number 1..99 named by the data, or 0. The data's length is the byte count the map
// returned; a terminator inside it ends the text early, a missing one is not looked for.
int com_number(const uint8_t* data, uint32_t bytes) {
  char16_t text[data_room / 2];
  uint32_t length = 0;
  while (length < bytes / 2) {
    const auto unit = static_cast<char16_t>(data[2 * length] | (data[2 * length + 1] << 8));
    if (unit == 0) break;
    text[length++] = unit;
  }
  if (length < 4 || length > 5) return 0;
  if (!equals_upper(text, "COM")) return 0;
  int number = 0;
  for (uint32_t i = 3; i < length; ++i) {
    if (!is_digit(text[i])) return 0;
    number = number * 10 + (text[i] - u'0');
  }
  return number >= 1 && number <= 99 ? number : 0;
}

bool listed(uint8_t number, uint32_t count) {
  for (uint32_t i = 0; i < count; ++i) {
    if (port_list[i] == number) return true;
  }
  return false;
}

int registry_failure(uint32_t code) {
  // A failure half-way through the map leaves no half-read, unsorted list behind.
  std::memset(port_list, 0, sizeof port_list);
  output::set_error_code(static_cast<int32_t>(code));
  output::set_error_text(RU("Ошибка %d при обращении к системному реестру."),
                         static_cast<int>(code));
  platform::set_last_error(code);
  return 0;
}

// RTS-to-DSR settling time of the adapter. Without a working counter, sleeping will do.
void wait_100_ms() {
  if (wire::delay_us(100000) != 0) wire::sleep_ms(100);
}

const char* probe_line(int result) {
  switch (result) {
    case probe_adapter: return RU("обнаружен адаптер.\r\n");
    case probe_no_answer: return RU("не отвечает.\r\n");
    case probe_busy: return RU("уже кем-то используется или заблокирован.\r\n");
    default: return RU("доступен.\r\n");
  }
}

}  // namespace

int enumerate_ports() {
  std::memset(port_list, 0, sizeof port_list);
  uint32_t result = platform::devmap_open();
  // No map at all is a machine without serial ports, not a broken registry.
  if (result == platform::err::file_not_found) {
    output::clear_error();
    return 1;
  }
  if (result != 0) return registry_failure(result);

  uint32_t count = 0;
  for (uint32_t index = 0;; ++index) {
    char16_t name[name_room];
    uint8_t data[data_room];
    uint32_t name_units = name_room;
    uint32_t data_bytes = data_room;
    uint32_t type = 0;
    result = platform::devmap_read(index, name, &name_units, &type, data, &data_bytes);
    if (result == platform::err::no_more_items) break;
    if (result != 0) {
      (void)platform::devmap_close();
      return registry_failure(result);
    }
    if (type != platform::reg_sz) continue;
    if (name_units >= name_room) name_units = name_room - 1;
    if (data_bytes > data_room) data_bytes = data_room;
    if (!serial_device_name(name, name_units)) continue;
    const int number = com_number(data, data_bytes);
    if (number == 0 || listed(static_cast<uint8_t>(number), count)) continue;
    if (count == max_ports) break;
    port_list[count++] = static_cast<uint8_t>(number);
  }

  for (uint32_t i = 1; i < count; ++i) {
    const uint8_t value = port_list[i];
    uint32_t j = i;
    for (; j > 0 && port_list[j - 1] > value; --j) port_list[j] = port_list[j - 1];
    port_list[j] = value;
  }

  result = platform::devmap_close();
  if (result != 0) return registry_failure(result);
  output::clear_error();
  return 1;
}

int probe_port(int32_t number, int32_t* code) {
  if (code != nullptr) *code = 0;
  if (open_port(number)) {
    const int result = adapter_echo();
    if (result > 0 && close_port()) return result;
  }

  const int32_t failure = output::error_code();
  // A probe that failed half-way may have left RTS on: drop it before letting go of the port,
  // whatever the outcome, so no target stays powered.
  if (port_is_open()) (void)switch_line(platform::CLRRTS);
  (void)close_port();
  output::clear_error();
  if (failure == static_cast<int32_t>(platform::err::access_denied)) return probe_busy;
  if (failure == static_cast<int32_t>(platform::err::file_not_found)) return probe_no_answer;
  if (code != nullptr) *code = failure;
  return probe_unclear;
}

int adapter_echo() {
  for (int step = 1; step <= 6; ++step) {
    const int level = step % 2;
    if (!wire::set(level == 1 ? platform::SETRTS : platform::CLRRTS)) return -1;
    wait_100_ms();
    const int s = wire::read(platform::MS_DSR_ON);
    if (s < 0) return -1;
    if (s != level) {
      if (level == 1) {
        if (!wire::set(platform::CLRRTS)) return -1;
        wait_100_ms();
      }
      return probe_available;
    }
  }
  return probe_adapter;
}

int find_adapter() {
  if (!enumerate_ports()) return adapter_enumeration_failed;
  int count = 0;
  while (count < 16 && port_list[count] != 0) ++count;
  if (count == 0) {
    output::show_message("%s", RU("COM-портов не обнаружено. Завершаем работу.\r\n"));
    return adapter_no_ports;
  }
  output::show_message(RU("\r\nНайдено COM-портов - %d:\r\n"), count);
  int adapters = 0;
  int found = 0;
  for (int i = 0; i < count; ++i) {
    const int number = port_list[i];
    output::show_message(" COM%i - ", number);
    int32_t code = 0;
    const int result = probe_port(number, &code);
    if (result == probe_unclear) {
      output::show_message(RU("непонятная ошибка ( код %d ).\r\n"), static_cast<int>(code));
      if (code == static_cast<int32_t>(platform::err::open_failed)) show_open_failure_detail();
    } else {
      output::show_message("%s", probe_line(result));
    }
    if (result == probe_adapter) {
      ++adapters;
      found = number;
    }
  }
  output::show_message("\r\n");
  if (adapters == 0) {
    output::show_message("%s", RU("\r\nАдаптер не обнаружен. Завершаем работу.\r\n"));
    return adapter_none;
  }
  if (adapters > 1) {
    output::show_message("%s", RU("\r\nОбнаружено более одного адаптера. Завершаем работу.\r\n"));
    return adapter_several;
  }
  return found;
}

void reset_discovery() { std::memset(port_list, 0, sizeof port_list); }

}  // namespace serial
