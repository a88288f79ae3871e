// USB-serial bridge chips by the names the systems give them, shared by the back ends: FTDI's
// chips by the type their USB descriptor (bcdDevice) and D2XX (FT_DEVICE) report, the other
// makes by their Linux usb-serial driver and by the device name their Windows driver enters
// in the serial device map.
#pragma once

#include <cstdint>
#include <cstring>

#include "platform/ftdi.h"

namespace platform {

struct FtdiChip {
  uint16_t release;    // bcdDevice
  uint32_t d2xx_type;  // FT_DEVICE
  const char* name;
};
constexpr uint16_t ft232r_release = 0x0600;
constexpr FtdiChip ftdi_chips[] = {
    {0x0200, 1, "FT232A"},  {0x0400, 0, "FT232B"},  {0x0500, 4, "FT2232"}, {ft232r_release, 5, "FT232R"},
    {0x0700, 6, "FT2232H"}, {0x0800, 7, "FT4232H"}, {0x0900, 8, "FT232H"}, {0x1000, 9, "FT-X"},
    // Today's FT232RNL: D2XX gives it a type of its own (FT_DEVICE_232RN), its USB descriptor
    // the FT232R's bcdDevice 6.00 (ftdi_sio logs "Detected FT232R"); the same bit-bang pins.
    {ft232r_release, 25, "FT232R"},
};

struct OtherChip {
  const char* linux_driver;
  const char* windows_device;  // the start of its value names in SERIALCOMM
  const char* name;
};
constexpr OtherChip other_chips[] = {
    {"ch341-uart", "\\Device\\CH341SER", "CH340"},
    {"pl2303", "\\Device\\ProlificSerial", "PL2303"},
    {"cp210x", "\\Device\\Silabser", "CP210x"},
};

// Cut to fit: a long name loses its tail.
inline void copy_cut(char* out, std::size_t capacity, const char* text) {
  std::size_t length = 0;
  while (length + 1 < capacity && text[length] != '\0') ++length;
  std::memcpy(out, text, length);
  out[length] = '\0';
}

// An FTDI chip; chip nullptr for a type not in the table. The FT245R reports the FT232R's type
// and only its product string tells it apart: a parallel FIFO, no RS-232 side.
inline void name_ftdi_chip(const FtdiChip* chip, const char* product, UsbSerialDevice* device) {
  device->ft232r = false;
  copy_cut(device->chip, sizeof device->chip, chip != nullptr ? chip->name : "FTDI");
  if (chip != nullptr && chip->release == ft232r_release) {
    device->ft232r = product == nullptr || std::strstr(product, "245") == nullptr;
    if (!device->ft232r) copy_cut(device->chip, sizeof device->chip, "FT245R");
  }
}

}  // namespace platform
