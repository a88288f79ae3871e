// The system's serial device map: the values of HKLM\HARDWARE\DEVICEMAP\SERIALCOMM, one per
// serial port that a driver has announced, name = the device, data = "COMn".
#include "platform/win32/win_api.h"

namespace platform {
namespace {
HKEY serialcomm_key = nullptr;
}  // namespace

uint32_t devmap_open() {
  HKEY key = nullptr;
  LONG result = RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0,
                              KEY_QUERY_VALUE, &key);
  if (result != ERROR_SUCCESS) return static_cast<uint32_t>(result);
  if (serialcomm_key != nullptr) RegCloseKey(serialcomm_key);
  serialcomm_key = key;
  return err::success;
}

uint32_t devmap_read(uint32_t index, char16_t* name, uint32_t* name_units, uint32_t* type,
                     uint8_t* data, uint32_t* data_bytes) {
  if (serialcomm_key == nullptr) return err::invalid_handle;
  static_assert(sizeof(wchar_t) == sizeof(char16_t), "UTF-16 names on Windows");
  DWORD name_room = *name_units;
  DWORD data_room = *data_bytes;
  DWORD value_type = 0;
  LONG result = RegEnumValueW(serialcomm_key, index, reinterpret_cast<wchar_t*>(name),
                              &name_room, nullptr, &value_type, data, &data_room);
  *name_units = name_room;
  *data_bytes = data_room;
  *type = value_type;
  return static_cast<uint32_t>(result);
}

uint32_t devmap_close() {
  if (serialcomm_key == nullptr) return err::invalid_handle;
  LONG result = RegCloseKey(serialcomm_key);
  serialcomm_key = nullptr;
  return static_cast<uint32_t>(result);
}

}  // namespace platform
