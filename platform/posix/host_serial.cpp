// Serial ports on Linux: placeholder until the termios code lands.
#include "platform/posix/host.h"
#include "platform/posix/host_serial.h"

namespace posix_host {

namespace {
volatile uint32_t event_word = 0;
}

bool set_device_roots(const char*, const char*) { return true; }
bool com_device_name(int, char*, std::size_t) { return false; }
int com_number_from_path(const char16_t*) { return 0; }
uint32_t devmap_open() { return platform::err::file_not_found; }
uint32_t devmap_read(uint32_t, char16_t*, uint32_t*, uint32_t*, uint8_t*, uint32_t*) {
  return platform::err::no_more_items;
}
uint32_t devmap_close() { return 0; }
platform::SerialHandle serial_open(const char16_t*) {
  set_last_error(platform::err::file_not_found);
  return platform::no_serial;
}
bool serial_clear_errors(platform::SerialHandle) { return false; }
bool serial_build_dcb(const char16_t*, platform::Dcb*) { return false; }
bool serial_set_state(platform::SerialHandle, const platform::Dcb&) { return false; }
bool serial_purge(platform::SerialHandle, uint32_t) { return false; }
bool serial_close(platform::SerialHandle) { return false; }
bool serial_escape(platform::SerialHandle, uint32_t) { return false; }
bool serial_modem_status(platform::SerialHandle, uint32_t*) { return false; }
bool serial_set_mask(platform::SerialHandle, uint32_t) { return false; }
volatile uint32_t* cts_event_word() { return &event_word; }
bool cts_event_create() { return true; }
int cts_wait_start(platform::SerialHandle) { return -1; }
void cts_event_close() {}
bool cts_uses_interrupt_counters() { return false; }
void reset_serial() {}

}  // namespace posix_host
