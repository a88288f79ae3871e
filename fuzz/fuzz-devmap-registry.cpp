// The serial device map in its registry form: enumerate_ports over any list of values in the
// simulated SERIALCOMM key, against a model of the acceptance rule written from its description
// (\DEVICE\ ... SERIAL and one or two digits, COM1..COM99, a..z folded, duplicates once, the
// first 15 in map order, sorted) and the invariants of port_list.
//
// Input, one line per item:
//   line 1: the key itself: 'm' missing, 'o' fails to open (5), 'c' fails to close (6),
//           'r' and a digit: reading that value fails (31);
//   then one value per line: a type letter, the name, '=' and the data text.
//     s  REG_SZ with its terminator      S  REG_SZ without one
//     o  REG_SZ, terminator and one stray byte (an odd byte count)
//     x  REG_EXPAND_SZ   b  REG_BINARY   any other byte: that byte as the type
//   In names and data the byte 0x01 and the two bytes after it are one UTF-16 unit (low
//   byte first); any other byte is the unit of the same value.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "output/error_record.h"
#include "platform/platform.h"
#include "serial/discovery.h"
#include "sim/world.h"

namespace {

struct Key {
  bool missing = false;
  uint32_t open_error = 0, close_error = 0;
  int read_error_index = -1;
  std::vector<sim::DevmapEntry> values;
};

std::u16string units(const std::string& text) {
  std::u16string out;
  for (size_t i = 0; i < text.size(); ++i) {
    const auto b = static_cast<uint8_t>(text[i]);
    if (b == 0x01 && i + 2 < text.size()) {
      out.push_back(static_cast<char16_t>(static_cast<uint8_t>(text[i + 1]) | static_cast<uint8_t>(text[i + 2]) << 8));
      i += 2;
    } else {
      out.push_back(b);
    }
  }
  return out;
}

Key read_input(const uint8_t* data, size_t size) {
  const std::vector<std::string> lines = split_input(data, size, '\n');
  Key key;
  const std::string& head = lines[0];
  for (size_t i = 0; i < head.size(); ++i) {
    if (head[i] == 'm') key.missing = true;
    if (head[i] == 'o') key.open_error = platform::err::access_denied;
    if (head[i] == 'c') key.close_error = platform::err::invalid_handle;
    if (head[i] == 'r' && i + 1 < head.size() && head[i + 1] >= '0' && head[i + 1] <= '9') {
      key.read_error_index = head[i + 1] - '0';
    }
  }
  for (size_t n = 1; n < lines.size(); ++n) {
    const std::string& line = lines[n];
    if (line.empty()) continue;
    const size_t eq = line.find('=', 1);
    const std::u16string name = units(line.substr(1, eq == std::string::npos ? std::string::npos : eq - 1));
    const std::u16string text = units(eq == std::string::npos ? std::string() : line.substr(eq + 1));
    sim::DevmapEntry e = sim::devmap_text(name, text);
    switch (line[0]) {
      case 's': break;
      case 'S': e.data.resize(e.data.size() - 2); break;
      case 'o': e.data.push_back(0x43); break;
      case 'x': e.type = 2; break;
      case 'b': e.type = 3; break;
      default: e.type = static_cast<uint8_t>(line[0]); break;
    }
    key.values.push_back(e);
  }
  return key;
}

// ---- the model --------------------------------------------------------------------------------

char16_t fold(char16_t c) { return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - u'a' + u'A') : c; }
bool digit(char16_t c) { return c >= u'0' && c <= u'9'; }
bool same_folded(const std::u16string& text, size_t at, const char* word) {
  for (size_t k = 0; word[k] != '\0'; ++k) {
    if (at + k >= text.size() || fold(text[at + k]) != static_cast<char16_t>(word[k])) return false;
  }
  return true;
}

bool accepted_name(const std::u16string& name) {
  if (name.size() < 15 || !same_folded(name, 0, "\\DEVICE\\") || !digit(name.back())) return false;
  const size_t digits = digit(name[name.size() - 2]) ? 2 : 1;
  return same_folded(name, name.size() - digits - 6, "SERIAL");
}

// The COM number of a REG_SZ's bytes (UTF-16LE, up to the first zero unit), 0 for none.
int com_of(const std::vector<uint8_t>& bytes) {
  std::u16string text;
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
    const auto unit = static_cast<char16_t>(bytes[i] | bytes[i + 1] << 8);
    if (unit == 0) break;
    text.push_back(unit);
  }
  if (text.size() < 4 || text.size() > 5 || !same_folded(text, 0, "COM")) return 0;
  int number = 0;
  for (size_t i = 3; i < text.size(); ++i) {
    if (!digit(text[i])) return 0;
    number = number * 10 + (text[i] - u'0');
  }
  return number >= 1 && number <= 99 ? number : 0;
}

struct Outcome { int result = 1; int32_t code = 0; std::vector<uint8_t> ports; };

Outcome model(const Key& key) {
  Outcome o;
  if (key.missing) return o;  // no map: a machine without serial ports
  if (key.open_error != 0) return {0, static_cast<int32_t>(key.open_error), {}};
  for (size_t i = 0;; ++i) {
    if (static_cast<int>(i) == key.read_error_index) return {0, 31, {}};
    if (i >= key.values.size()) break;
    const sim::DevmapEntry& v = key.values[i];
    // RegEnumValueW's room: 120 units for the name with its terminator, 120 data bytes.
    if (v.name.size() + 1 > 120 || v.data.size() > 120) return {0, static_cast<int32_t>(platform::err::more_data), {}};
    if (v.type != platform::reg_sz || !accepted_name(v.name)) continue;
    const int com = com_of(v.data);
    if (com == 0 || std::find(o.ports.begin(), o.ports.end(), com) != o.ports.end()) continue;
    if (o.ports.size() == 15) break;
    o.ports.push_back(static_cast<uint8_t>(com));
  }
  std::sort(o.ports.begin(), o.ports.end());
  if (key.close_error != 0) return {0, static_cast<int32_t>(key.close_error), {}};
  return o;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const Key key = read_input(data, size);
  sim::reset();
  output::reset_error_record();
  serial::reset_discovery();
  sim::set_devmap(key.values);
  sim::set_devmap_missing(key.missing);
  sim::set_devmap_open_error(key.open_error);
  sim::set_devmap_close_error(key.close_error);
  if (key.read_error_index >= 0) sim::set_devmap_read_error(static_cast<uint32_t>(key.read_error_index), 31);
  std::memset(serial::port_list, 0xEE, sizeof serial::port_list);  // a stale list must not survive

  const int result = serial::enumerate_ports();

  // The list is the rule's whole list, or empty when the map failed (never half of it), then
  // zeros to the end.
  const Outcome want = model(key);
  FUZZ_CHECK(result == want.result, "enumerate_ports gave %d, the rule says %d (code %d)", result, want.result,
             want.code);
  FUZZ_CHECK(output::error_code() == want.code, "record code %d, expected %d", output::error_code(), want.code);
  if (result == 0) {
    FUZZ_CHECK(platform::last_error() == static_cast<uint32_t>(want.code), "last error %u, expected %d",
               platform::last_error(), want.code);
  }
  for (size_t i = 0; i < 16; ++i) {
    const int expected = i < want.ports.size() ? want.ports[i] : 0;
    FUZZ_CHECK(serial::port_list[i] == expected, "port_list[%zu] = COM%u, the rule says COM%d", i,
               serial::port_list[i], expected);
  }
  return 0;
}
