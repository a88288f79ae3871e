#include "output/error_record.h"

#include <algorithm>
#include <cstdarg>
#include <cstring>

#include "output/messages.h"
#include "platform/cp1251_literal.h"
#include "platform/platform.h"

namespace output {

ErrorRecord error_record = {};

namespace {

char open_link[40];

// Bounded copy: an over-long text is cut at 127 characters, never written past the record.
void copy_text(char* to, const char* from) {
  const void* end = std::memchr(from, '\0', short_text_capacity - 1);
  const std::size_t n = end ? static_cast<std::size_t>(static_cast<const char*>(end) - from)
                            : short_text_capacity - 1;
  std::memmove(to, from, n);
  to[n] = '\0';
}

}  // namespace

void clear_error() {
  error_record.error_code = 0;
  error_record.error_text[0] = '\0';
  platform::set_last_error(0);
}

void set_error_text(const char* format, ...) {
  va_list args;
  va_start(args, format);
  vformat_text(error_record.error_text, sizeof error_record.error_text, format, args);
  va_end(args);
}

void append_error_text(const char* phrase) {
  char* text = error_record.error_text;
  text[short_text_capacity - 1] = '\0';
  const std::size_t used = std::strlen(text);
  const std::size_t room = short_text_capacity - 1 - used;
  std::size_t n = std::strlen(phrase);
  if (n > room) n = room;
  std::memcpy(text + used, phrase, n);
  text[used + n] = '\0';
}

namespace {

struct RefusalText {
  platform::OpenRefusal reason;
  const char* text;
};
const RefusalText refusal_texts[] = {
    {platform::OpenRefusal::no_device, RU("нет такого устройства")},
    {platform::OpenRefusal::access_denied, RU("доступ запрещён")},
    {platform::OpenRefusal::in_use, RU("используется другой программой")},
    {platform::OpenRefusal::not_a_port, RU("это не последовательный порт")},
    {platform::OpenRefusal::not_connected, RU("устройство не подключено")},
    {platform::OpenRefusal::system_error, RU("ошибка системы, errno")},
    {platform::OpenRefusal::system_console, RU("системная консоль")},
    {platform::OpenRefusal::lock_file, RU("заблокирован файлом блокировки")},
    {platform::OpenRefusal::held_by_process, RU("используется процессом")},
    {platform::OpenRefusal::exclusive_mode, RU("открыт другой программой в монопольном режиме")},
    {platform::OpenRefusal::cdc_acm, RU("cdc-acm не передаёт CTS, адаптер на нём работать не может")},
};

}  // namespace

void open_detail_text(const platform::OpenDetail& detail, char* out, std::size_t capacity) {
  out[0] = '\0';
  const char* reason = nullptr;
  for (const RefusalText& r : refusal_texts) {
    if (r.reason == detail.reason) reason = r.text;
  }
  if (reason == nullptr) return;
  char device[sizeof detail.device];
  platform::path_to_message_text(detail.device, device, sizeof device);
  if (detail.number >= 0) {
    format_text(out, capacity, "%s: %s %ld.", device, reason, detail.number);
  } else {
    format_text(out, capacity, "%s: %s.", device, reason);
  }
}

void set_open_link(const char* name) {
  const std::size_t n = std::min(std::strlen(name), sizeof open_link - 1);
  std::memcpy(open_link, name, n);
  open_link[n] = '\0';
}

void set_port_error(uint32_t os_code) {
  const auto code = static_cast<int32_t>(os_code);
  error_record.error_code = code;
  copy_text(error_record.error_text, RU("Порт "));
  if (open_link[0] != '\0') {
    append_error_text(open_link);
    append_error_text(" ");
  }
  bool add_full_stop = true;
  switch (code) {
    case 0: copy_text(error_record.error_text, RU("Успешное окончание")); break;
    case 2: append_error_text(RU("не найден")); break;
    case 5: append_error_text(RU("уже используется другим процессом, либо доступ к нему запрещен")); break;
    case 6: append_error_text(RU("не открыт")); break;
    case 21: append_error_text(RU("- работа была приостановлена")); break;
    case 87: append_error_text(RU("- неверные параметры для открытия")); break;
    case 110: append_error_text(RU("невозможно открыть")); break;
    case -127: append_error_text(RU("непонятная ошибка")); break;
    default:
      set_error_text(RU("Непонятная ошибка ( код %d )."), static_cast<int>(code));
      add_full_stop = false;
      break;
  }
  if (add_full_stop) append_error_text(".");
  platform::set_last_error(os_code);
}

void save_error() {
  error_record.saved_error_code = error_record.error_code;
  copy_text(error_record.saved_error_text, error_record.error_text);
}

void restore_error() {
  error_record.error_code = error_record.saved_error_code;
  copy_text(error_record.error_text, error_record.saved_error_text);
}

void reset_error_record() {
  error_record = ErrorRecord{};
  open_link[0] = '\0';
}

}  // namespace output
