// The platform boundary of the native Linux tool: every service forwarded to posix_host.
#include "platform/platform.h"
#include "platform/posix/host.h"
#include "platform/posix/host_serial.h"

namespace platform {

uint32_t last_error() { return posix_host::last_error(); }
void set_last_error(uint32_t code) { posix_host::set_last_error(code); }

bool query_counter(int64_t* ticks) { return posix_host::query_counter(ticks); }
bool query_frequency(int64_t* ticks_per_second) {
  return posix_host::query_frequency(ticks_per_second);
}
void sleep_ms(uint32_t ms) { posix_host::sleep_ms(ms); }

void console_write(const char* bytes, size_t count) { posix_host::console_write(bytes, count); }
bool key_waiting() { return posix_host::key_waiting(); }
int read_key() { return posix_host::read_key(); }
bool keyboard_closed() { return posix_host::keyboard_closed(); }
bool console_interactive() { return posix_host::console_interactive(); }

int process_exit_status(int32_t exit_code) { return posix_host::process_exit_status(exit_code); }

char path_separator() { return '/'; }
void path_to_message_text(const char* path, char* out, size_t capacity) {
  posix_host::utf8_to_cp1251(path, out, capacity);
}
bool current_directory(char* buffer, size_t capacity) {
  return posix_host::current_directory(buffer, capacity);
}
bool find_first_file(const char* pattern, char* name, size_t capacity) {
  return posix_host::find_first_file(pattern, name, capacity);
}

uint32_t devmap_open() { return posix_host::devmap_open(); }
uint32_t devmap_read(uint32_t index, char16_t* name, uint32_t* name_units, uint32_t* type,
                     uint8_t* data, uint32_t* data_bytes) {
  return posix_host::devmap_read(index, name, name_units, type, data, data_bytes);
}
uint32_t devmap_close() { return posix_host::devmap_close(); }

SerialHandle serial_open(const char16_t* path) { return posix_host::serial_open(path); }
const OpenDetail& serial_open_detail() { return posix_host::serial_open_detail(); }
bool serial_clear_errors(SerialHandle h) { return posix_host::serial_clear_errors(h); }
bool serial_build_dcb(const char16_t* mode, Dcb* dcb) {
  return posix_host::serial_build_dcb(mode, dcb);
}
bool serial_set_state(SerialHandle h, const Dcb& dcb) { return posix_host::serial_set_state(h, dcb); }
bool serial_purge(SerialHandle h, uint32_t flags) { return posix_host::serial_purge(h, flags); }
bool serial_close(SerialHandle h) { return posix_host::serial_close(h); }
bool serial_escape(SerialHandle h, uint32_t function) {
  return posix_host::serial_escape(h, function);
}
bool serial_modem_status(SerialHandle h, uint32_t* status) {
  return posix_host::serial_modem_status(h, status);
}
bool serial_set_mask(SerialHandle h, uint32_t mask) { return posix_host::serial_set_mask(h, mask); }

volatile uint32_t* cts_event_word() { return posix_host::cts_event_word(); }
bool cts_event_create() { return posix_host::cts_event_create(); }
int cts_wait_start(SerialHandle h) { return posix_host::cts_wait_start(h); }
void cts_event_close() { posix_host::cts_event_close(); }

}  // namespace platform
