// USB-serial bridges as Linux shows them in sysfs: every FTDI chip on the bus (whether or not
// the kernel's ftdi_sio holds it), and every other make's ttyUSB port, named by its driver.
// The listing needs no library and no device access; libftdi (bind_ftdi.cpp) is only needed
// to open one.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/ftdi.h"

namespace posix_host {

// Root of the USB device directories ("/sys/bus/usb/devices"); nullptr restores it. False when
// the root does not fit (nothing changed).
bool set_usb_devices_root(const char* root);

// Where a listed device sits on the bus: what libusb calls its bus number and address.
struct UsbAddress {
  uint8_t bus;
  uint8_t address;
};

// platform::usb_serial_list from sysfs, ordered by bus and address. Keeps the bus addresses of
// the listed devices for ftdi_open (usb_serial_address).
int usb_serial_list(platform::UsbSerialDevice* devices, int capacity);
// The bus address of entry index of the last list, whether it is an FT232R and the COM number
// of its ttyUSB (0 none); false when there is no such entry.
bool usb_serial_address(int index, UsbAddress* address, bool* ft232r, int32_t* com_port);

// Forgets the last list and restores the default root.
void reset_usb_serial();

}  // namespace posix_host
