// The COM-number map and the serial device map listed from sysfs.
#include <sys/stat.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/posix/host.h"
#include "platform/posix/host_serial.h"
#include "platform/posix/host_usb_serial.h"

namespace posix_host {

namespace {

constexpr const char* default_sysfs_root = "/sys/class/tty";
constexpr const char* default_dev_root = "/dev";

char sysfs_root[512] = "/sys/class/tty";
char dev_root[512] = "/dev";

struct DeviceRange {
  int first_com;
  const char* prefix;
};
// 32 ports per kind; a device beyond the 32nd of its kind has no COM number.
constexpr DeviceRange device_ranges[] = {{1, "ttyS"}, {33, "ttyUSB"}, {65, "ttyACM"}};
constexpr int ports_per_range = 32;
constexpr int first_acm_com = 65;

bool devmap_is_open = false;
uint8_t listed[com_count];
int listed_count = 0;

bool path_of(const char* root, const char* name, const char* leaf, char* out, std::size_t size) {
  const int n = leaf == nullptr ? std::snprintf(out, size, "%s/%s", root, name)
                                : std::snprintf(out, size, "%s/%s/%s", root, name, leaf);
  return n > 0 && static_cast<std::size_t>(n) < size;
}

// A port exists when sysfs knows it and its device node is there. An 8250 driver registers
// ttyS0..ttySn whether or not a UART answers at those addresses; the empty ones say so with
// UART type 0 (PORT_UNKNOWN).
bool port_exists(int com) {
  char name[16];
  char path[1100];
  struct stat info {};
  if (!com_device_name(com, name, sizeof name)) return false;
  if (!path_of(sysfs_root, name, nullptr, path, sizeof path) || stat(path, &info) != 0) {
    return false;
  }
  if (std::strncmp(name, "ttyS", 4) == 0 && path_of(sysfs_root, name, "type", path, sizeof path)) {
    char text[16];
    int type = -1;
    if (read_text_file(path, text, sizeof text) > 0 && std::sscanf(text, "%d", &type) == 1 && type == 0) {
      return false;
    }
  }
  return path_of(dev_root, name, nullptr, path, sizeof path) && stat(path, &info) == 0;
}

bool set_root(char* root, std::size_t size, const char* value, const char* fallback) {
  const char* text = value != nullptr ? value : fallback;
  const std::size_t length = std::strlen(text);
  if (length + 1 > size) return false;
  std::memcpy(root, text, length + 1);
  return true;
}

std::size_t ascii_to_utf16(const char* text, char16_t* out) {
  std::size_t i = 0;
  for (; text[i] != '\0'; ++i) out[i] = static_cast<char16_t>(static_cast<unsigned char>(text[i]));
  out[i] = u'\0';
  return i;
}

}  // namespace

bool set_device_roots(const char* sysfs, const char* dev) {
  char sysfs_copy[sizeof sysfs_root];
  char dev_copy[sizeof dev_root];
  if (!set_root(sysfs_copy, sizeof sysfs_copy, sysfs, default_sysfs_root) ||
      !set_root(dev_copy, sizeof dev_copy, dev, default_dev_root)) {
    return false;
  }
  std::memcpy(sysfs_root, sysfs_copy, sizeof sysfs_root);
  std::memcpy(dev_root, dev_copy, sizeof dev_root);
  return true;
}

const char* device_root() { return dev_root; }

const char* device_sysfs_root() { return sysfs_root; }

bool com_device_name(int com, char* name, std::size_t capacity) {
  for (const DeviceRange& range : device_ranges) {
    if (com >= range.first_com && com < range.first_com + ports_per_range) {
      const int n = std::snprintf(name, capacity, "%s%d", range.prefix, com - range.first_com);
      return n > 0 && static_cast<std::size_t>(n) < capacity;
    }
  }
  return false;
}

bool com_is_acm(int com) { return com >= first_acm_com && com < first_acm_com + ports_per_range; }

int com_number_from_path(const char16_t* path) {
  if (path == nullptr) return 0;
  if (path[0] == u'\\' && path[1] == u'\\' && path[2] == u'.' && path[3] == u'\\') path += 4;
  const auto upper = [](char16_t c) {
    return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - u'a' + u'A') : c;
  };
  if (upper(path[0]) != u'C' || upper(path[1]) != u'O' || upper(path[2]) != u'M') return 0;
  path += 3;
  if (path[0] < u'1' || path[0] > u'9') return 0;  // no leading zero, no sign
  int number = 0;
  for (int digits = 0; path[0] >= u'0' && path[0] <= u'9'; ++path, ++digits) {
    if (digits == 2) return 0;
    number = number * 10 + (path[0] - u'0');
  }
  if (path[0] != u'\0' || number > com_count) return 0;
  return number;
}

uint32_t devmap_open() {
  struct stat info {};
  devmap_is_open = false;
  listed_count = 0;
  // No tty class at all: a machine without serial ports, not a failure.
  if (stat(sysfs_root, &info) != 0 || !S_ISDIR(info.st_mode)) return platform::err::file_not_found;
  for (int com = 1; com <= com_count; ++com) {
    if (!com_is_acm(com) && port_exists(com)) listed[listed_count++] = static_cast<uint8_t>(com);
  }
  devmap_is_open = true;
  return platform::err::success;
}

uint32_t devmap_read(uint32_t index, char16_t* name, uint32_t* name_units, uint32_t* type,
                     uint8_t* data, uint32_t* data_bytes) {
  if (!devmap_is_open) return platform::err::invalid_handle;
  if (index >= static_cast<uint32_t>(listed_count)) return platform::err::no_more_items;
  if (name == nullptr || name_units == nullptr || data == nullptr || data_bytes == nullptr) {
    return platform::err::invalid_parameter;
  }
  const int com = listed[index];
  char name_text[32];
  char data_text[16];
  std::snprintf(name_text, sizeof name_text, "\\Device\\Serial%d", com);
  std::snprintf(data_text, sizeof data_text, "COM%d", com);
  const std::size_t name_length = std::strlen(name_text);
  const std::size_t data_length = std::strlen(data_text);
  const std::size_t data_size = (data_length + 1) * 2;  // UTF-16LE with its terminator
  if (name_length + 1 > *name_units || data_size > *data_bytes) return platform::err::more_data;
  ascii_to_utf16(name_text, name);
  for (std::size_t i = 0; i <= data_length; ++i) {
    data[2 * i] = static_cast<uint8_t>(data_text[i]);
    data[2 * i + 1] = 0;
  }
  *name_units = static_cast<uint32_t>(name_length);
  *data_bytes = static_cast<uint32_t>(data_size);
  if (type != nullptr) *type = platform::reg_sz;
  return platform::err::success;
}

uint32_t devmap_close() {
  if (!devmap_is_open) return platform::err::invalid_handle;
  devmap_is_open = false;
  return platform::err::success;
}

void reset_devmap() {
  devmap_is_open = false;
  listed_count = 0;
  set_device_roots(nullptr, nullptr);
  reset_usb_serial();
}

}  // namespace posix_host
