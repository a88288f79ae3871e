// USB-serial bridges listed from sysfs. Each USB device is a directory under
// /sys/bus/usb/devices holding its descriptor fields (idVendor, idProduct, bcdDevice, serial,
// product, busnum, devnum); a usb-serial port the kernel made of it sits one level down, in the
// interface directory, as ttyUSB<n> with a link to its driver:
//   1-1.2/idVendor ... 1-1.2/1-1.2:1.0/ttyUSB0/driver -> .../usb-serial/drivers/ftdi_sio
#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"
#include "platform/posix/host.h"
#include "platform/posix/host_serial.h"
#include "platform/posix/host_usb_serial.h"
#include "platform/usb_serial_chips.h"

namespace posix_host {

namespace {

constexpr const char* default_usb_root = "/sys/bus/usb/devices";
char usb_root[512] = "/sys/bus/usb/devices";

constexpr uint16_t ftdi_vendor = 0x0403;
constexpr int first_usb_com = 33;  // COM33..COM64 = ttyUSB0..ttyUSB31 (host_serial.h)
constexpr int usb_com_count = 32;

struct Found {
  UsbAddress where;
  bool ft232r;
  platform::UsbSerialDevice device;
};
// More bridges than anyone plugs in; beyond this they are not counted.
constexpr int max_found = 64;
// The last list, in its order: ftdi_open takes an index into it.
Found found[max_found];
int found_count = 0;

// The chip's name: FTDI's from the device release (bcdDevice holds the chip type, whatever the
// product id), the others' from their driver.
void name_usb_serial_chip(uint16_t vendor, uint16_t release, const char* driver, const char* product,
                          platform::UsbSerialDevice* device) {
  // FTDI chips with a vendor's own id are still driven by ftdi_sio.
  if (vendor == ftdi_vendor || std::strcmp(driver, "ftdi_sio") == 0) {
    const platform::FtdiChip* chip = nullptr;
    for (const platform::FtdiChip& c : platform::ftdi_chips) {
      if (c.release == release) chip = &c;
    }
    platform::name_ftdi_chip(chip, product, device);
    return;
  }
  device->ft232r = false;
  platform::copy_cut(device->chip, sizeof device->chip, driver[0] != '\0' ? driver : "?");
  for (const platform::OtherChip& c : platform::other_chips) {
    if (std::strcmp(c.linux_driver, driver) == 0) platform::copy_cut(device->chip, sizeof device->chip, c.name);
  }
}

// One line of a sysfs attribute, without its newline; "" when it cannot be read.
void read_attribute(const char* device, const char* name, char* text, std::size_t capacity) {
  char path[1100];
  text[0] = '\0';
  const int n = std::snprintf(path, sizeof path, "%s/%s/%s", usb_root, device, name);
  if (n <= 0 || static_cast<std::size_t>(n) >= sizeof path) return;
  if (read_text_file(path, text, capacity) < 0) text[0] = '\0';
  for (char* p = text; *p != '\0'; ++p) {
    if (*p == '\n') {
      *p = '\0';
      break;
    }
    if (static_cast<unsigned char>(*p) < 0x20 || static_cast<unsigned char>(*p) > 0x7E) *p = '?';
  }
}

long read_number(const char* device, const char* name, int base) {
  char text[32];
  read_attribute(device, name, text, sizeof text);
  char* end = nullptr;
  const long value = std::strtol(text, &end, base);
  return end == text ? -1 : value;
}

// The lowest ttyUSB<n> of any interface of the device and its driver's name. -1 when the
// kernel made no port of it (another make's non-serial device, or an FTDI chip whose driver
// is detached).
int find_tty(const char* device, char* driver, std::size_t capacity) {
  char path[1100];
  driver[0] = '\0';
  int best = -1;
  std::snprintf(path, sizeof path, "%s/%s", usb_root, device);
  DIR* interfaces = opendir(path);
  if (interfaces == nullptr) return -1;
  const std::size_t prefix = std::strlen(device);
  while (const dirent* iface = readdir(interfaces)) {
    if (std::strncmp(iface->d_name, device, prefix) != 0 || iface->d_name[prefix] != ':') continue;
    std::snprintf(path, sizeof path, "%s/%s/%s", usb_root, device, iface->d_name);
    DIR* ports = opendir(path);
    if (ports == nullptr) continue;
    while (const dirent* port = readdir(ports)) {
      char* end = nullptr;
      if (std::strncmp(port->d_name, "ttyUSB", 6) != 0) continue;
      const long n = std::strtol(port->d_name + 6, &end, 10);
      if (end == port->d_name + 6 || *end != '\0' || n < 0 || (best >= 0 && n >= best)) continue;
      best = static_cast<int>(n);
      char link_path[1400];
      char target[512];
      std::snprintf(link_path, sizeof link_path, "%s/%s/driver", path, port->d_name);
      const ssize_t length = readlink(link_path, target, sizeof target - 1);
      driver[0] = '\0';
      if (length > 0) {
        target[length] = '\0';
        const char* slash = std::strrchr(target, '/');
        platform::copy_cut(driver, capacity, slash != nullptr ? slash + 1 : target);
      }
    }
    closedir(ports);
  }
  closedir(interfaces);
  return best;
}

void add_device(const char* name) {
  const long vendor = read_number(name, "idVendor", 16);
  const long bus = read_number(name, "busnum", 10);
  const long address = read_number(name, "devnum", 10);
  if (vendor < 0 || bus < 0 || bus > 255 || address < 0 || address > 255) return;
  char driver[64];
  const int tty = find_tty(name, driver, sizeof driver);
  if (vendor != ftdi_vendor && tty < 0) return;  // not a serial bridge the kernel knows
  if (found_count == max_found) return;
  Found& f = found[found_count++];
  f = Found{};
  f.where = UsbAddress{static_cast<uint8_t>(bus), static_cast<uint8_t>(address)};
  char product[64];
  read_attribute(name, "product", product, sizeof product);
  const long release = read_number(name, "bcdDevice", 16);
  name_usb_serial_chip(static_cast<uint16_t>(vendor), static_cast<uint16_t>(release < 0 ? 0 : release),
                       driver, product, &f.device);
  f.ft232r = f.device.ft232r;
  read_attribute(name, "serial", f.device.serial, sizeof f.device.serial);
  f.device.com_port = tty >= 0 && tty < usb_com_count ? first_usb_com + tty : 0;
}

bool before(const UsbAddress& a, const UsbAddress& b) {
  return a.bus != b.bus ? a.bus < b.bus : a.address < b.address;
}

}  // namespace

bool set_usb_devices_root(const char* root) {
  const char* text = root != nullptr ? root : default_usb_root;
  if (std::strlen(text) + 1 > sizeof usb_root) return false;
  platform::copy_cut(usb_root, sizeof usb_root, text);
  return true;
}

int usb_serial_list(platform::UsbSerialDevice* devices, int capacity) {
  found_count = 0;
  DIR* dir = opendir(usb_root);
  if (dir == nullptr) {
    // No USB at all is an empty list, not a failure.
    return 0;
  }
  while (const dirent* entry = readdir(dir)) {
    if (entry->d_name[0] == '.' || std::strchr(entry->d_name, ':') != nullptr) continue;
    add_device(entry->d_name);
  }
  closedir(dir);
  for (int i = 1; i < found_count; ++i) {
    const Found f = found[i];
    int j = i;
    for (; j > 0 && before(f.where, found[j - 1].where); --j) found[j] = found[j - 1];
    found[j] = f;
  }
  for (int i = 0; devices != nullptr && i < found_count && i < capacity; ++i) devices[i] = found[i].device;
  return found_count;
}

bool usb_serial_address(int index, UsbAddress* address, bool* ft232r, int32_t* com_port) {
  if (index < 0 || index >= found_count) return false;
  *address = found[index].where;
  *ft232r = found[index].ft232r;
  *com_port = found[index].device.com_port;
  return true;
}

void reset_usb_serial() {
  found_count = 0;
  set_usb_devices_root(nullptr);
}

}  // namespace posix_host
