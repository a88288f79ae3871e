// The system's serial device map (the SERIALCOMM key), as configured.
#include <cstring>
#include <map>

#include "sim/state.h"

namespace sim::detail {

namespace {
std::vector<DevmapEntry> entries;
std::map<uint32_t, uint32_t> read_errors;
bool missing = false;
uint32_t open_error = 0;
uint32_t close_error = 0;
bool is_open = false;

void devmap_default() {
  entries = {devmap_text(u"\\Device\\Serial0", u"COM1")};
}
}  // namespace

void devmap_reset() {
  devmap_default();
  read_errors.clear();
  missing = false;
  open_error = 0;
  close_error = 0;
  is_open = false;
}

}  // namespace sim::detail

namespace sim {

using namespace detail;

DevmapEntry devmap_text(const std::u16string& name, const std::u16string& text) {
  DevmapEntry e;
  e.name = name;
  e.type = platform::reg_sz;
  for (char16_t c : text) {
    e.data.push_back(static_cast<uint8_t>(c & 0xFF));
    e.data.push_back(static_cast<uint8_t>(c >> 8));
  }
  e.data.push_back(0);
  e.data.push_back(0);
  return e;
}

void set_devmap(const std::vector<DevmapEntry>& list) { entries = list; }
void set_devmap_missing(bool on) { missing = on; }
void set_devmap_open_error(uint32_t error) { open_error = error; }
void set_devmap_read_error(uint32_t index, uint32_t error) { read_errors[index] = error; }
void set_devmap_close_error(uint32_t error) { close_error = error; }

}  // namespace sim

namespace platform {

using namespace sim::detail;

uint32_t devmap_open() {
  charge_call();
  uint32_t error;
  if (call_fault(sim::Call::devmap_open, false, 0, &error)) return error;
  if (missing) return err::file_not_found;
  if (open_error != 0) return open_error;
  is_open = true;
  return err::success;
}

uint32_t devmap_read(uint32_t index, char16_t* name, uint32_t* name_units, uint32_t* type,
                     uint8_t* data, uint32_t* data_bytes) {
  charge_call();
  uint32_t error;
  if (call_fault(sim::Call::devmap_read, false, 0, &error)) return error;
  if (!is_open) return err::invalid_handle;
  auto failing = read_errors.find(index);
  if (failing != read_errors.end()) return failing->second;
  if (index >= entries.size()) return err::no_more_items;
  const sim::DevmapEntry& e = entries[index];
  // As RegEnumValueW: the name needs room for its terminator too, the data exactly its bytes.
  if (e.name.size() + 1 > *name_units || e.data.size() > *data_bytes) return err::more_data;
  std::memcpy(name, e.name.c_str(), (e.name.size() + 1) * sizeof(char16_t));
  *name_units = static_cast<uint32_t>(e.name.size());
  *type = e.type;
  if (!e.data.empty()) std::memcpy(data, e.data.data(), e.data.size());
  *data_bytes = static_cast<uint32_t>(e.data.size());
  return err::success;
}

uint32_t devmap_close() {
  charge_call();
  uint32_t error;
  if (call_fault(sim::Call::devmap_close, false, 0, &error)) return error;
  if (!is_open) return err::invalid_handle;
  is_open = false;
  return close_error;
}

}  // namespace platform
