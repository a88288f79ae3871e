// The serial device map in its Linux form: the real back end lists ports from a sysfs tty
// class and a /dev directory, here a small fake tree in a temporary directory filled from the
// input. Checked against a model of the documented map (COM1..32 = ttyS0..31, COM33..64 =
// ttyUSB0..31, COM65..96 = ttyACM0..31; a port is listed when sysfs knows it, its device node
// exists, it is not a ttyS whose UART type is 0, and it is not a ttyACM, whose driver cannot
// carry the data line on CTS), both as the map's values and as the
// port_list that enumerate_ports makes of them.
//
// Input: a first line with 'n' when the tty class itself is missing; then one entry per line:
//   1st byte, the sysfs entry: 'd' a directory, 'l' a symbolic link to a directory elsewhere
//             (as sysfs has them), 'x' a dangling link, 'f' a plain file, else none;
//   2nd byte, the device node: 'c' a file, 'd' a directory, else none;
//   3rd byte, the UART type file: 't' with the decimal number that follows up to a space, as
//             the kernel writes it ("4\n"), 'e' empty, 'D' a directory, else none;
//   then one space and the device name (no '/', not "." or "..").
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "output/error_record.h"
#include "platform/posix/host.h"
#include "platform/posix/host_serial.h"
#include "serial/discovery.h"

namespace {

std::string root;

void remove_root() { std::filesystem::remove_all(root); }

// The tree of one input, under root: sys (the tty class), dev, and devices (where sysfs's
// links point).
void make_root() {
  if (root.empty()) {
    // A tree in memory when there is one: on a disk every mkdir and rmdir may wait for the journal.
    const char* tmp = std::getenv("TMPDIR");
    const char* base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
    std::string pattern = std::string(base) + "/tolvern-fuzz-XXXXXX";
    FUZZ_CHECK(mkdtemp(pattern.data()) != nullptr, "no temporary directory under %s", base);
    root = pattern;
    std::atexit(remove_root);
  }
  for (const char* dir : {"/sys", "/dev", "/devices"}) std::filesystem::remove_all(root + dir);
  FUZZ_CHECK(mkdir((root + "/dev").c_str(), 0755) == 0 && mkdir((root + "/devices").c_str(), 0755) == 0,
             "cannot fill %s", root.c_str());
}

void make_dir(const std::string& path) { mkdir(path.c_str(), 0755); }
void make_file(const std::string& path, const std::string& text) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) return;
  FUZZ_CHECK(write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()), "short write");
  close(fd);
}
bool make_link(const std::string& target, const std::string& path) { return symlink(target.c_str(), path.c_str()) == 0; }

// What the model knows of one name.
struct Port { std::string name; bool in_sysfs = false, node = false, no_uart = false; };

std::string kernel_number(const std::string& digits) {
  return std::to_string(std::strtol(digits.substr(0, 6).c_str(), nullptr, 10) % 256) + "\n";
}

std::vector<Port> build_tree(const uint8_t* data, size_t size, bool* class_missing) {
  const std::vector<std::string> lines = split_input(data, size, '\n');
  *class_missing = lines[0].find('n') != std::string::npos;
  const std::string sys = root + "/sys";
  if (!*class_missing) make_dir(sys);

  std::vector<Port> ports;
  for (size_t n = 1; n < lines.size() && ports.size() < 20; ++n) {
    const std::string& line = lines[n];
    const size_t space = line.find(' ', 3);
    if (line.size() < 5 || space == std::string::npos) continue;
    const std::string name = line.substr(space + 1);
    if (name.empty() || name.size() > 40 || name == "." || name == ".." || name.find('/') != std::string::npos ||
        name.find('\0') != std::string::npos) {
      continue;
    }
    bool seen = false;
    for (const Port& p : ports) seen = seen || p.name == name;
    if (seen) continue;

    Port port;
    port.name = name;
    const char entry = line[0], node = line[1], type = line[2];
    std::string entry_dir;  // where the type file goes, if the entry is a directory
    if (!*class_missing) {
      if (entry == 'd') {
        entry_dir = sys + "/" + name;
        make_dir(entry_dir);
      } else if (entry == 'l') {
        entry_dir = root + "/devices/" + name;
        make_dir(entry_dir);
        make_link(entry_dir, sys + "/" + name);
      } else if (entry == 'x') {
        make_link(root + "/devices/nothing-" + name, sys + "/" + name);
      } else if (entry == 'f') {
        make_file(sys + "/" + name, "");
      }
      port.in_sysfs = entry == 'd' || entry == 'l' || entry == 'f';
    }
    if (node == 'c') make_file(root + "/dev/" + name, "");
    if (node == 'd') make_dir(root + "/dev/" + name);
    port.node = node == 'c' || node == 'd';
    if (!entry_dir.empty()) {
      if (type == 't') {
        const std::string text = kernel_number(line.substr(3, space - 3));
        make_file(entry_dir + "/type", text);
        port.no_uart = text == "0\n";
      } else if (type == 'e') {
        make_file(entry_dir + "/type", "");
      } else if (type == 'D') {
        make_dir(entry_dir + "/type");
      }
    }
    ports.push_back(port);
  }
  return ports;
}

// COM numbers listed, ascending, by the documented map.
std::vector<int> model(const std::vector<Port>& ports, bool class_missing) {
  std::vector<int> listed;
  if (class_missing) return listed;
  const struct { const char* prefix; int first_com; } kinds[] = {{"ttyS", 1}, {"ttyUSB", 33}};  // ttyACM: never listed
  for (const auto& kind : kinds) {
    for (int k = 0; k < 32; ++k) {
      const std::string name = kind.prefix + std::to_string(k);
      for (const Port& p : ports) {
        const bool hidden = p.no_uart && std::strcmp(kind.prefix, "ttyS") == 0;
        if (p.name == name && p.in_sysfs && p.node && !hidden) listed.push_back(kind.first_com + k);
      }
    }
  }
  return listed;  // the kinds' ranges are already in COM order
}

std::string narrow(const char16_t* text, size_t count) {
  std::string out;
  for (size_t i = 0; i < count; ++i) out.push_back(text[i] < 0x80 ? static_cast<char>(text[i]) : '?');
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  make_root();
  posix_host::reset();
  output::reset_error_record();
  serial::reset_discovery();
  bool class_missing = false;
  const std::vector<Port> ports = build_tree(data, size, &class_missing);
  FUZZ_CHECK(posix_host::set_device_roots((root + "/sys").c_str(), (root + "/dev").c_str()), "roots refused");
  const std::vector<int> want = model(ports, class_missing);

  // The map's values one by one, as the registry would give them.
  const uint32_t opened = posix_host::devmap_open();
  FUZZ_CHECK(opened == (class_missing ? platform::err::file_not_found : 0u), "devmap_open gave %u", opened);
  if (opened == 0) {
    size_t index = 0;
    for (;; ++index) {
      char16_t name[120];
      uint8_t bytes[120];
      uint32_t name_units = 120, data_bytes = 120, type = 0;
      const uint32_t r = posix_host::devmap_read(static_cast<uint32_t>(index), name, &name_units, &type, bytes,
                                                 &data_bytes);
      if (r == platform::err::no_more_items) break;
      FUZZ_CHECK(r == 0, "reading value %zu failed with %u", index, r);
      FUZZ_CHECK(index < want.size(), "value %zu (%s) beyond the %zu ports that exist", index,
                 narrow(name, name_units).c_str(), want.size());
      const int com = want[index];
      const std::string expected = "\\Device\\Serial" + std::to_string(com) + "=COM" + std::to_string(com);
      std::u16string text;  // UTF-16LE, its terminator included
      for (uint32_t k = 0; k + 1 < data_bytes; k += 2) text.push_back(static_cast<char16_t>(bytes[k] | bytes[k + 1] << 8));
      const std::string seen = narrow(name, name_units) + "=" + narrow(text.data(), text.size());
      FUZZ_CHECK(type == platform::reg_sz, "value %zu has type %u", index, type);
      FUZZ_CHECK(data_bytes % 2 == 0 && seen == expected + '\0',
                 "value %zu is %s (%u data bytes), expected %s", index, seen.c_str(), data_bytes, expected.c_str());
    }
    FUZZ_CHECK(index == want.size(), "%zu values listed, %zu ports exist", index, want.size());
    FUZZ_CHECK(posix_host::devmap_close() == 0, "closing the map failed");
  }

  // The same map through the tool's own discovery: the 15 lowest, in order.
  FUZZ_CHECK(serial::enumerate_ports() == 1, "enumerate_ports failed with %d", output::error_code());
  for (size_t i = 0; i < 16; ++i) {
    const int expected = i < want.size() && i < 15 ? want[i] : 0;
    FUZZ_CHECK(serial::port_list[i] == expected, "port_list[%zu] = %u, expected %d", i, serial::port_list[i], expected);
  }
  return 0;
}
