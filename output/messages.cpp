#include "output/messages.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "output/codepage.h"
#include "output/progress.h"
#include "platform/cp1251_literal.h"
#include "platform/platform.h"

namespace output {

namespace {

char message_buffer[message_capacity];
char log_error_buffer[short_text_capacity];
std::FILE* log_file = nullptr;
bool logging = false;

void console_print(char* text) {
  to_console_codepage(text);
  progress_erase();
  platform::console_write(text, std::strlen(text));
  progress_after_console_text(text);
}

// Disables the log for the rest of the run and tells the operator once.
void report_log_failure(int error_number) {
  logging = false;
  format_text(log_error_buffer, sizeof log_error_buffer,
              RU("\r\n\r\nОшибка %d при работе с файлом журнала.\r\n\r\n"), error_number);
  console_print(log_error_buffer);
}

}  // namespace

int vformat_text(char* buffer, std::size_t capacity, const char* format, va_list args) {
  if (buffer == nullptr || capacity == 0) return -1;
  const int count = std::vsnprintf(buffer, capacity, format, args);
  buffer[capacity - 1] = '\0';
  if (count < 0) buffer[0] = '\0';
  return count;
}

int format_text(char* buffer, std::size_t capacity, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const int count = vformat_text(buffer, capacity, format, args);
  va_end(args);
  return count;
}

int show_message(const char* format, ...) {
  std::memset(message_buffer, 0, sizeof message_buffer);
  va_list args;
  va_start(args, format);
  const int count = std::vsnprintf(message_buffer, sizeof message_buffer, format, args);
  va_end(args);
  message_buffer[message_capacity - 1] = '\0';
  // The library reports the length it needed: more than 4095 means the text was cut.
  bool ok = count >= 0 && static_cast<std::size_t>(count) < message_capacity;

  if (logging && log_file != nullptr) {
    const std::size_t length = std::strlen(message_buffer);
    const std::size_t written = std::fwrite(message_buffer, 1, length, log_file);
    if (written < length) {
      const int error_number = errno;
      ok = false;
      report_log_failure(error_number);
    }
  }
  console_print(message_buffer);
  return ok ? 1 : 0;
}

bool log_create(const char* path) {
  if (log_file != nullptr) {
    std::fclose(log_file);
    log_file = nullptr;
  }
  log_file = std::fopen(path, "wb");
  return log_file != nullptr;
}

void set_log_enabled(bool on) { logging = on && log_file != nullptr; }

bool log_enabled() { return logging; }

void log_close() {
  if (log_file == nullptr) return;
  // The tail of the log is still in the stream's buffer; losing it is the same failure as a
  // failed write, so it is reported the same way (unless already reported).
  const bool was_logging = logging;
  const int rc = std::fclose(log_file);
  const int error_number = errno;
  log_file = nullptr;
  if (rc != 0 && was_logging) report_log_failure(error_number);
  logging = false;
}

void reset_messages() {
  if (log_file != nullptr) std::fclose(log_file);
  log_file = nullptr;
  logging = false;
  std::memset(message_buffer, 0, sizeof message_buffer);
  std::memset(log_error_buffer, 0, sizeof log_error_buffer);
}

}  // namespace output
