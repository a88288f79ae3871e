// Linux serial ports behind the platform boundary: the COM-number map, the device map listed
// from sysfs, termios configuration and the modem lines through ioctl. The results follow the
// Windows calls they stand in for (bind_serial.cpp forwards platform:: to these).
//
// COM numbers map onto device nodes in three fixed ranges:
//   COM1..COM32  = ttyS0..ttyS31     (on-board and PCI UARTs)
//   COM33..COM64 = ttyUSB0..ttyUSB31 (USB-serial converters)
//   COM65..COM96 = ttyACM0..ttyACM31 (USB CDC-ACM modems)
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

namespace posix_host {

constexpr int com_count = 96;

// Roots of the sysfs tty class and of the device nodes; nullptr restores the default
// ("/sys/class/tty", "/dev"). False when a root does not fit (nothing changed).
bool set_device_roots(const char* sysfs_root, const char* dev_root);

// The /dev and sysfs roots in use.
const char* device_root();
const char* device_sysfs_root();

// The device node name of a COM number ("ttyUSB0" for 33); false for a number outside the map
// or a buffer too small.
bool com_device_name(int com, char* name, std::size_t capacity);
// ttyACM (cdc-acm) always reports CTS set, so it cannot carry the adapter's data line: left out
// of the device map and refused by serial_open.
bool com_is_acm(int com);
// The COM number of a port path "COM<n>" or "\\.\COM<n>" (letters in any case), 0 when the
// text is no such path or the number is outside the map.
int com_number_from_path(const char16_t* path);

// The serial device map: each port of the map whose device exists, in COM order, as a value
// "\Device\Serial<n>" of type REG_SZ with the UTF-16LE text "COM<n>" and its terminator.
uint32_t devmap_open();
uint32_t devmap_read(uint32_t index, char16_t* name, uint32_t* name_units, uint32_t* type,
                     uint8_t* data, uint32_t* data_bytes);
uint32_t devmap_close();

// Why the last serial_open failed, one Windows-1251 sentence naming the device; empty when it
// succeeded.
const platform::OpenDetail& serial_open_detail();

platform::SerialHandle serial_open(const char16_t* path);
bool serial_clear_errors(platform::SerialHandle h);
bool serial_build_dcb(const char16_t* mode, platform::Dcb* dcb);
bool serial_set_state(platform::SerialHandle h, const platform::Dcb& dcb);
bool serial_purge(platform::SerialHandle h, uint32_t flags);
bool serial_close(platform::SerialHandle h);
bool serial_escape(platform::SerialHandle h, uint32_t function);
bool serial_modem_status(platform::SerialHandle h, uint32_t* status);
bool serial_set_mask(platform::SerialHandle h, uint32_t mask);

volatile uint32_t* cts_event_word();
bool cts_event_create();
int cts_wait_start(platform::SerialHandle h);
void cts_event_close();

// Closes the device map, forgets the USB-serial list and restores the default roots (sysfs,
// /dev, USB devices).
void reset_devmap();
// Forgets the device map and the CTS notification and restores the default roots. Does not
// close a port the caller still holds.
void reset_serial();

}  // namespace posix_host
