// The FT232R cable on Windows, through FTDI's D2XX library (ftd2xx.dll, installed with FTDI's
// driver). It is loaded when first needed and never required: without it the program starts
// and the COM-port path works as ever; only the cable calls fail (ERROR_DLL_NOT_FOUND). No FTDI
// header either: the few declarations below follow FTDI's D2XX Programmer's Guide.
#include <cstdlib>
#include <cstring>

#include "platform/ftdi.h"
#include "platform/usb_serial_chips.h"
#include "platform/win32/win_api.h"
#include "platform/win32/win_power_guard.h"

namespace platform {
namespace {

// ---- D2XX, as documented ------------------------------------------------------------------
using FtHandle = void*;
using FtStatus = ULONG;
constexpr FtStatus ft_ok = 0;
constexpr FtStatus ft_device_not_found = 2;
constexpr FtStatus ft_invalid_parameter = 6;
constexpr FtStatus ft_io_error = 4;
constexpr FtStatus ft_invalid_baud_rate = 7;
constexpr DWORD ft_flags_opened = 1;       // FT_GetDeviceInfoDetail: open in some process
constexpr DWORD ft_open_by_location = 4;   // FT_OpenEx
constexpr ULONG ft_purge_rx = 1;
constexpr ULONG ft_purge_tx = 2;
constexpr UCHAR ft_bitmode_async = 0x01;
constexpr std::size_t ft_serial_size = 16;       // FT_GetDeviceInfoDetail's buffers
constexpr std::size_t ft_description_size = 64;

// Exported undecorated, __stdcall on 32-bit Windows (WINAPI).
using FtCreateDeviceInfoList = FtStatus(WINAPI*)(DWORD* count);
using FtGetDeviceInfoDetail = FtStatus(WINAPI*)(DWORD index, DWORD* flags, DWORD* type, DWORD* id,
                                                DWORD* location, void* serial, void* description,
                                                FtHandle* handle);
using FtOpen = FtStatus(WINAPI*)(int index, FtHandle* handle);
using FtOpenEx = FtStatus(WINAPI*)(void* argument, DWORD flags, FtHandle* handle);
using FtClose = FtStatus(WINAPI*)(FtHandle handle);
using FtSetBitMode = FtStatus(WINAPI*)(FtHandle handle, UCHAR mask, UCHAR mode);
using FtSetBaudRate = FtStatus(WINAPI*)(FtHandle handle, ULONG baud);
using FtSetLatencyTimer = FtStatus(WINAPI*)(FtHandle handle, UCHAR ms);
using FtWrite = FtStatus(WINAPI*)(FtHandle handle, void* buffer, DWORD size, DWORD* written);
using FtRead = FtStatus(WINAPI*)(FtHandle handle, void* buffer, DWORD size, DWORD* read);
using FtGetComPortNumber = FtStatus(WINAPI*)(FtHandle handle, LONG* com);
using FtPurge = FtStatus(WINAPI*)(FtHandle handle, ULONG mask);
using FtSetTimeouts = FtStatus(WINAPI*)(FtHandle handle, ULONG read_ms, ULONG write_ms);
using FtLine = FtStatus(WINAPI*)(FtHandle handle);  // FT_ClrDtr, FT_ClrRts, FT_StopInTask, ...
using FtGetBitMode = FtStatus(WINAPI*)(FtHandle handle, UCHAR* pins);
using FtGetQueueStatus = FtStatus(WINAPI*)(FtHandle handle, DWORD* rx_bytes);
using FtSetUsbParameters = FtStatus(WINAPI*)(FtHandle handle, ULONG in_size, ULONG out_size);

struct D2xx {
  FtCreateDeviceInfoList create_device_info_list;
  FtGetDeviceInfoDetail get_device_info_detail;
  FtOpen open;
  FtOpenEx open_ex;
  FtClose close;
  FtSetBitMode set_bit_mode;
  FtSetBaudRate set_baud_rate;
  FtSetLatencyTimer set_latency_timer;
  FtWrite write;
  FtRead read;
  FtGetComPortNumber get_com_port_number;
  FtPurge purge;
  FtSetTimeouts set_timeouts;
  FtLine clr_dtr;
  FtLine clr_rts;
  FtGetBitMode get_bit_mode;
  FtGetQueueStatus get_queue_status;
  FtSetUsbParameters set_usb_parameters;
  // Optional: a library without them purges as FT_Purge alone does.
  FtLine stop_in_task;
  FtLine restart_in_task;
};
D2xx d2xx{};
HMODULE library = nullptr;

// ---- this back end --------------------------------------------------------------------------
// Each read and write gives up after this; the device is then gone.
constexpr ULONG usb_timeout_ms = 1000;
// Bytes per write: the FT232R's transmit FIFO (128 bytes, its datasheet), so that a write waits
// at most that many byte periods for room, and returns with the FIFO holding bytes to clock.
// Bytes written but not yet read back stay within half of the 4 KB D2XX reads into its buffer
// on its own (AN232B-03), so a write never waits for a read that comes after it; they cover a
// watch's read-ahead (serial/ft232r.h, read_ahead_bytes) with its transfers in flight.
constexpr DWORD write_piece = 128;
constexpr std::size_t in_flight_limit = 2048;
// The latch byte is clocked out at the rate of the moment before the mode may change.
constexpr DWORD latch_settle_ms = 2;
// The driver's IN requests, one USB packet each. A request hands its data on only when it is
// full or ends in a short packet (FTDI's AN232B-04): at D2XX's default of 4 KB a sample taken
// while the chip clocks on waits for 3968 more, and while a watch waits for it with all its
// bytes clocked, for the latency timer; either way far longer than the bytes a watch writes
// ahead (serial/ft232r.h, read_ahead_bytes), and the chip would stand still in every wait.
// With one packet a sample waits at most 61 more byte periods before it is on its way. What a
// real driver's turnaround between such small requests costs in throughput is for a
// measurement on a real cable to show (README, The USB-RS232 cable).
constexpr ULONG usb_in_transfer_size = 64;
// D2XX documents latency timers of 2..255 ms for this chip.
constexpr UCHAR smallest_latency_ms = 2;

struct Entry {
  UsbSerialDevice device;
  bool d2xx;          // seen through D2XX (openable), not only in the serial device map
  DWORD index;        // its place in D2XX's list
  DWORD location;     // its USB location, which stays while the list may change
};
constexpr int max_entries = 64;
Entry entries[max_entries];
int entry_count = 0;

FtHandle device = nullptr;
bool stream_dirty = false;  // a transfer failed midway: purge before the next

bool fail(uint32_t code) {
  SetLastError(code);
  return false;
}

bool device_failed() { return fail(err::device_not_connected); }

template <typename Function>
bool resolve(const char* name, Function* function) {
  // GetProcAddress gives a generic function pointer: through void(*)() to the real type.
  *function = reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(library, name)));
  return *function != nullptr;
}

bool load() {
  if (library != nullptr) return true;
  // FTDI's driver puts ftd2xx.dll in the system folder; a copy beside the program is FTDI's
  // other documented place. The current folder is not searched: a data file's folder is no
  // place to pick up code from. Systems too old for these flags search the usual way.
  constexpr DWORD search_system32 = 0x00000800;  // LOAD_LIBRARY_SEARCH_SYSTEM32
  constexpr DWORD search_program_dir = 0x00000200;  // LOAD_LIBRARY_SEARCH_APPLICATION_DIR
  HMODULE module = LoadLibraryExA("ftd2xx.dll", nullptr, search_system32 | search_program_dir);
  if (module == nullptr && GetLastError() == ERROR_INVALID_PARAMETER) module = LoadLibraryA("ftd2xx.dll");
  if (module == nullptr) return fail(err::dll_not_found);
  library = module;
  D2xx d{};
  const bool complete =
      resolve("FT_CreateDeviceInfoList", &d.create_device_info_list) &&
      resolve("FT_GetDeviceInfoDetail", &d.get_device_info_detail) && resolve("FT_Open", &d.open) &&
      resolve("FT_OpenEx", &d.open_ex) && resolve("FT_Close", &d.close) &&
      resolve("FT_SetBitMode", &d.set_bit_mode) && resolve("FT_SetBaudRate", &d.set_baud_rate) &&
      resolve("FT_SetLatencyTimer", &d.set_latency_timer) && resolve("FT_Write", &d.write) &&
      resolve("FT_Read", &d.read) && resolve("FT_GetComPortNumber", &d.get_com_port_number) &&
      resolve("FT_Purge", &d.purge) && resolve("FT_SetTimeouts", &d.set_timeouts) &&
      resolve("FT_ClrDtr", &d.clr_dtr) && resolve("FT_ClrRts", &d.clr_rts) &&
      resolve("FT_GetBitMode", &d.get_bit_mode) && resolve("FT_GetQueueStatus", &d.get_queue_status) &&
      resolve("FT_SetUSBParameters", &d.set_usb_parameters);
  if (!complete) {
    // A library this old is as good as none.
    FreeLibrary(module);
    library = nullptr;
    return fail(err::dll_not_found);
  }
  if (!resolve("FT_StopInTask", &d.stop_in_task) || !resolve("FT_RestartInTask", &d.restart_in_task)) {
    d.stop_in_task = nullptr;
    d.restart_in_task = nullptr;
  }
  d2xx = d;
  return true;
}

bool usable() { return device != nullptr ? true : fail(err::invalid_handle); }

// Both FIFOs and the driver's buffer emptied. The driver's IN task keeps reading from the chip
// on its own, and a packet it has in flight would land after a plain purge, shifting every
// later read-back: so it is stopped first (FTDI's D2XX Programmer's Guide, FT_StopInTask) where
// the library has the call. Without it the purge is made twice, a pause between: the first
// empties the chip's FIFOs, so that nothing new is sampled (no byte is written meanwhile), and
// whatever the task had under way lands in the pause (a completed transfer reaches the
// driver's buffer at the end of its USB frame, 1 ms at full speed) and goes with the second.
constexpr DWORD purge_settle_ms = 2;
bool purge() {
  constexpr int stop_tries = 100;
  if (d2xx.stop_in_task != nullptr) {
    FtStatus stopped = ft_io_error;
    for (int i = 0; i < stop_tries && stopped != ft_ok; ++i) stopped = d2xx.stop_in_task(device);
    if (stopped != ft_ok) return device_failed();
  } else {
    if (d2xx.purge(device, ft_purge_rx | ft_purge_tx) != ft_ok) return device_failed();
    Sleep(purge_settle_ms);
  }
  const FtStatus purged = d2xx.purge(device, ft_purge_rx | ft_purge_tx);
  const FtStatus restarted = d2xx.restart_in_task != nullptr ? d2xx.restart_in_task(device) : ft_ok;
  return purged == ft_ok && restarted == ft_ok ? true : device_failed();
}

// The COM number FTDI's serial driver gives the device, 0 when it has none or another program
// has the device open.
int32_t com_port_of(DWORD index, DWORD flags) {
  FtHandle h = nullptr;
  if ((flags & ft_flags_opened) != 0 || d2xx.open(static_cast<int>(index), &h) != ft_ok) return 0;
  LONG com = -1;
  if (d2xx.get_com_port_number(h, &com) != ft_ok || com < 0) com = 0;
  d2xx.close(h);
  return com;
}

void add_d2xx_device(DWORD index) {
  DWORD flags = 0, type = 0, id = 0, location = 0;
  char serial[ft_serial_size] = {};
  char description[ft_description_size] = {};
  FtHandle h = nullptr;
  if (d2xx.get_device_info_detail(index, &flags, &type, &id, &location, serial, description, &h) != ft_ok) {
    return;
  }
  if (entry_count == max_entries) return;
  Entry& e = entries[entry_count++];
  e = Entry{};
  const FtdiChip* chip = nullptr;
  for (const FtdiChip& c : ftdi_chips) {
    if (c.d2xx_type == type) chip = &c;
  }
  serial[ft_serial_size - 1] = '\0';
  description[ft_description_size - 1] = '\0';
  name_ftdi_chip(chip, description, &e.device);
  copy_cut(e.device.serial, sizeof e.device.serial, serial);
  e.device.com_port = com_port_of(index, flags);
  e.d2xx = true;
  e.index = index;
  e.location = location;
}

bool com_listed(int32_t com) {
  for (int i = 0; i < entry_count; ++i) {
    if (entries[i].device.com_port == com) return true;
  }
  return false;
}

// "COM<n>" from the serial device map; 0 for anything else.
int32_t com_number(const char* text) {
  if (_strnicmp(text, "COM", 3) != 0 || text[3] < '1' || text[3] > '9') return 0;
  char* end = nullptr;
  const long n = std::strtol(text + 3, &end, 10);
  return *end == '\0' && n <= 255 ? static_cast<int32_t>(n) : 0;
}

// Ports of other makes (and FTDI ports D2XX did not show) from HKLM\HARDWARE\DEVICEMAP\SERIALCOMM,
// named by the device their driver announced.
void add_device_map_ports() {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
    return;
  }
  for (DWORD i = 0; entry_count < max_entries; ++i) {
    char name[256];
    char data[32];
    DWORD name_size = sizeof name;
    DWORD data_size = sizeof data - 1;
    DWORD type = 0;
    const LONG result = RegEnumValueA(key, i, name, &name_size, nullptr, &type,
                                      reinterpret_cast<BYTE*>(data), &data_size);
    if (result == ERROR_NO_MORE_ITEMS) break;
    if (result != ERROR_SUCCESS || type != REG_SZ) continue;
    data[data_size] = '\0';
    const int32_t com = com_number(data);
    const char* chip = nullptr;
    if (_strnicmp(name, "\\Device\\VCP", 11) == 0) chip = "FTDI";
    for (const OtherChip& c : other_chips) {
      if (_strnicmp(name, c.windows_device, std::strlen(c.windows_device)) == 0) chip = c.name;
    }
    if (chip == nullptr || com == 0 || com_listed(com)) continue;
    Entry& e = entries[entry_count++];
    e = Entry{};
    copy_cut(e.device.chip, sizeof e.device.chip, chip);
    e.device.com_port = com;
  }
  RegCloseKey(key);
}

}  // namespace

int usb_serial_list(UsbSerialDevice* devices, int capacity) {
  entry_count = 0;
  if (!load()) return -1;
  DWORD count = 0;
  if (d2xx.create_device_info_list(&count) != ft_ok) {
    SetLastError(err::gen_failure);
    return -1;
  }
  for (DWORD i = 0; i < count; ++i) add_d2xx_device(i);
  add_device_map_ports();
  for (int i = 0; devices != nullptr && i < entry_count && i < capacity; ++i) devices[i] = entries[i].device;
  return entry_count;
}

bool ftdi_open(int index) {
  ftdi_close();
  if (!load()) return false;
  if (index < 0 || index >= entry_count) return fail(err::invalid_parameter);
  const Entry& e = entries[index];
  if (!e.d2xx || !e.device.ft232r) return fail(err::not_supported);
  FtHandle h = nullptr;
  // By its USB location, which a device plugged in meanwhile does not shift.
  const FtStatus status =
      e.location != 0
          ? d2xx.open_ex(reinterpret_cast<void*>(static_cast<ULONG_PTR>(e.location)), ft_open_by_location, &h)
          : d2xx.open(static_cast<int>(e.index), &h);
  if (status != ft_ok) return fail(status == ft_device_not_found ? err::device_not_connected : err::open_failed);
  if (d2xx.set_timeouts(h, usb_timeout_ms, usb_timeout_ms) != ft_ok ||
      d2xx.set_usb_parameters(h, usb_in_transfer_size, usb_in_transfer_size) != ft_ok) {
    d2xx.close(h);
    return device_failed();
  }
  device = h;
  stream_dirty = false;
  // From here a closing console leaves the pins to the stream (win_power_guard.cpp).
  guard_cable(true);
  return true;
}

// The FT232R has no call that sets the output latch on its own, and entering a bit mode
// drives the masked pins from the latch at once; its power-on zeros would be RTS# low (RTS
// asserted: the target powered) and DTR# low (the clock high). So the latch is written in
// asynchronous bit-bang mode with every pin an input: for those few milliseconds nothing is
// driven (the chip's weak pull-ups hold the pins high, which on the cable is every line idle),
// the byte lands in the latch, and the synchronous mode entered next drives its outputs from
// there.
bool ftdi_set_latch(uint8_t pins) {
  if (!usable()) return false;
  UCHAR byte = pins;
  DWORD written = 0;
  if (d2xx.set_bit_mode(device, 0x00, ft_bitmode_async) != ft_ok) return device_failed();
  if (d2xx.write(device, &byte, 1, &written) != ft_ok || written != 1) return device_failed();
  Sleep(latch_settle_ms);
  return true;
}

bool ftdi_set_bitmode(uint8_t output_mask, uint8_t mode) {
  if (!usable()) return false;
  if (mode != bitmode_reset && mode != bitmode_synchronous) return fail(err::invalid_parameter);
  // The UART takes the pins back with whatever RTS and DTR its last user left on: off first, or
  // the target is powered from the moment the bit mode is left.
  if (mode == bitmode_reset && (d2xx.clr_rts(device) != ft_ok || d2xx.clr_dtr(device) != ft_ok)) {
    return device_failed();
  }
  if (d2xx.set_bit_mode(device, output_mask, mode) != ft_ok) return device_failed();
  if (mode == bitmode_synchronous) {
    // Whatever the chip sampled before must not be taken for the first bytes of the stream.
    if (!purge()) return false;
    stream_dirty = false;
  }
  return true;
}

// The bytes' deadlines are the driver's own (FT_SetTimeouts): a write may wait for every byte
// in flight to be clocked, which at the slowest rate, twice over, must fit in usb_timeout_ms.
bool ftdi_set_baud(uint32_t baud, uint32_t slowest_byte_rate) {
  if (!usable()) return false;
  if (baud == 0 || slowest_byte_rate == 0 || 2 * in_flight_limit * 1000 / slowest_byte_rate > usb_timeout_ms) {
    return fail(err::invalid_parameter);
  }
  const FtStatus status = d2xx.set_baud_rate(device, baud);
  if (status == ft_invalid_baud_rate || status == ft_invalid_parameter) return fail(err::invalid_parameter);
  return status == ft_ok ? true : device_failed();
}

bool ftdi_read_pins(uint8_t* pins) {
  if (!usable()) return false;
  if (pins == nullptr) return fail(err::invalid_parameter);
  UCHAR level = 0;
  if (d2xx.get_bit_mode(device, &level) != ft_ok) return device_failed();
  *pins = level;
  return true;
}

bool ftdi_set_latency_ms(uint8_t ms) {
  if (!usable()) return false;
  FtStatus status = d2xx.set_latency_timer(device, ms);
  // 1 ms is below D2XX's documented range: the nearest it takes.
  if (status == ft_invalid_parameter && ms == 1) status = d2xx.set_latency_timer(device, smallest_latency_ms);
  if (status == ft_invalid_parameter) return fail(err::invalid_parameter);
  return status == ft_ok ? true : device_failed();
}

// ---- transfers in flight -------------------------------------------------------------------
namespace {

// D2XX's driver reads from the chip on its own: its IN task keeps a USB request pending and
// copies what comes back into its read buffer (FTDI's AN232B-03, Driver Operation), so reads
// are in effect always submitted and the read-backs wait there for FT_Read. Writes are the
// host's to pace: FT_Write returns once the chip has taken the bytes into its transmit FIFO, or
// at the write timeout (D2XX Programmer's Guide, FT_Write and FT_W32_WriteFile without
// OVERLAPPED: the call does not return until the bytes have been sent to the device). So the
// transfers submitted wait here, in order, and their bytes go out a piece at a time whenever
// the host is in a cable call: at a submit, and while a done waits for its read-back. The chip
// is thus fed without a gap for as long as the host waits for it; while the host decides
// between calls it clocks what its 128-byte transmit FIFO still holds (at the fastest reading
// 128 us, at the slowest 8 ms).
//
// The remaining risk: a host that stalls between calls for longer than that (a busy machine,
// a page fault, a slow console) lets the FIFO run dry, and the chip samples nothing until the
// next call writes again. A busy signal that rises and falls in such a stall is seen by nobody;
// the wait-and-poll then ends as if the target never answered, which fails the run rather than
// passing a wrong result. Overlapped writes (FT_W32_WriteFile) would keep bytes queued in the
// driver through such stalls.
struct Transfer {
  const uint8_t* out;
  uint8_t* in;
  size_t count;
  size_t written;   // bytes FT_Write has handed to the chip
  size_t received;  // bytes read back into in
};
Transfer flight[ftdi_max_in_flight];
int flight_oldest = 0;
int flight_count = 0;
int flight_writing = 0;    // transfers, from the oldest, whose every byte is written
int flight_receiving = 0;  // transfers, from the oldest, whose every byte is read back
size_t unread = 0;         // bytes written and not yet read back, over all transfers

Transfer& flight_at(int i) { return flight[(flight_oldest + i) % ftdi_max_in_flight]; }

void forget_flight() {
  flight_oldest = flight_count = flight_writing = flight_receiving = 0;
  unread = 0;
}

// A transfer failed: nothing of what is in flight may reach the pins or be taken for a sample
// later. The chip's FIFOs and the driver's buffer are emptied now where the device still
// answers, and again before the next transfer.
bool take_back() {
  const DWORD error = GetLastError();
  forget_flight();
  stream_dirty = true;
  if (device != nullptr && purge()) stream_dirty = false;
  SetLastError(error);
  return false;
}

// One piece of the next bytes not yet written, if fewer than in_flight_limit would then be out
// unread. 1 a piece went, 0 nothing to write or no room, -1 failure.
int write_piece_if_room() {
  while (flight_writing < flight_count && flight_at(flight_writing).written == flight_at(flight_writing).count) {
    ++flight_writing;
  }
  if (flight_writing == flight_count) return 0;
  Transfer& t = flight_at(flight_writing);
  const size_t left = t.count - t.written;
  const DWORD size = static_cast<DWORD>(left < write_piece ? left : write_piece);
  if (unread + size > in_flight_limit) return 0;
  DWORD done = 0;
  // D2XX takes the buffer as writable but only reads it. A write that ends short ended at the
  // write timeout.
  if (d2xx.write(device, const_cast<uint8_t*>(t.out + t.written), size, &done) != ft_ok || done != size) {
    device_failed();
    return -1;
  }
  t.written += size;
  unread += size;
  return 1;
}

// Reads `want` read-backs into the transfers, oldest first. FT_Read returns when they are all
// there or at the read timeout; a read that ends short ended there.
bool read_into_flight(DWORD want) {
  while (want > 0) {
    while (flight_receiving < flight_count &&
           flight_at(flight_receiving).received == flight_at(flight_receiving).count) {
      ++flight_receiving;
    }
    if (flight_receiving == flight_count) return true;
    Transfer& t = flight_at(flight_receiving);
    const size_t ready = t.written - t.received;
    DWORD size = static_cast<DWORD>(ready < want ? ready : want);
    if (size == 0) return true;
    DWORD got = 0;
    if (d2xx.read(device, t.in + t.received, size, &got) != ft_ok || got != size) return device_failed();
    t.received += got;
    unread -= got;
    want -= got;
  }
  return true;
}

// The read-backs the driver already holds, without waiting.
bool read_what_is_there() {
  DWORD queued = 0;
  if (d2xx.get_queue_status(device, &queued) != ft_ok) return device_failed();
  // Never more than was written: anything beyond would be a stale byte from before the purge.
  if (queued > unread) queued = static_cast<DWORD>(unread);
  return read_into_flight(queued);
}

}  // namespace

bool ftdi_submit(const uint8_t* out, uint8_t* in, size_t count) {
  if (!usable()) return take_back();
  if (flight_count == ftdi_max_in_flight || (count > 0 && (out == nullptr || in == nullptr))) {
    SetLastError(err::invalid_parameter);
    return take_back();
  }
  if (stream_dirty && flight_count == 0) {
    if (!purge()) return take_back();
    stream_dirty = false;
  }
  flight_at(flight_count++) = Transfer{out, in, count, 0, 0};
  // The chip gets something to clock at once; the rest goes while done waits. One piece waits
  // at most its own length in byte periods for room in the transmit FIFO.
  if (write_piece_if_room() < 0) return take_back();
  return true;
}

bool ftdi_done() {
  if (!usable()) return take_back();
  if (flight_count == 0) {
    SetLastError(err::invalid_parameter);
    return take_back();
  }
  for (;;) {
    if (!read_what_is_there()) return take_back();
    Transfer& oldest = flight_at(0);
    if (oldest.received == oldest.count) break;
    // The chip keeps clocking the later transfers' bytes while the oldest comes back.
    const int wrote = write_piece_if_room();
    if (wrote < 0) return take_back();
    if (wrote > 0) continue;
    // Nothing more to write: wait for the oldest's read-backs, a piece at most, so that the
    // writing goes on as soon as they are in.
    const size_t waiting = oldest.written - oldest.received;
    if (waiting == 0) {
      // Cannot happen while in_flight_limit holds a piece; never wait for bytes not written.
      SetLastError(err::gen_failure);
      return take_back();
    }
    if (!read_into_flight(static_cast<DWORD>(waiting < write_piece ? waiting : write_piece))) return take_back();
  }
  flight_oldest = (flight_oldest + 1) % ftdi_max_in_flight;
  --flight_count;
  if (flight_writing > 0) --flight_writing;
  if (flight_receiving > 0) --flight_receiving;
  return true;
}

void ftdi_close() {
  if (device == nullptr) return;
  const DWORD error = GetLastError();  // a failure being reported stays reported
  // What is still in flight is taken back: none of it reaches the pins after the close.
  if (flight_count > 0) {
    forget_flight();
    purge();
  }
  // The UART takes the pins back with RTS and DTR off: the target stays unpowered.
  d2xx.clr_rts(device);
  d2xx.clr_dtr(device);
  d2xx.set_bit_mode(device, uart_output_pins, bitmode_reset);
  d2xx.close(device);
  device = nullptr;
  stream_dirty = false;
  guard_cable(false);
  SetLastError(error);
}

}  // namespace platform
