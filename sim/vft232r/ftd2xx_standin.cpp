// A stand-in for FTDI's ftd2xx.dll, for the Windows program under wine: the D2XX calls the tool
// makes, answered by a model of FTDI's driver on top of the virtual FT232R (ft232r_device.h),
// the passive adapter and the simulated chip behind its pins. Written from FTDI's D2XX
// Programmer's Guide (signatures, status codes, documented ranges) and the chip's USB side, not
// from the tool.
//
// The driver as modelled:
// - Every call goes to the chip as its vendor request: FT_SetBaudRate the FT232R's divisor (3 MHz
//   base in eighths, as FTDI's AN232B-05 describes), FT_SetBitMode mode << 8 | mask, FT_GetBitMode
//   a pin read, FT_Purge the chip's FIFO resets, FT_ClrDtr/FT_ClrRts modem control.
// - An IN task pulls packets from the chip for as long as the device is open and the task is not
//   stopped, in USB transfers of the default 4 KB: their two status bytes stripped, a transfer's
//   data reaches the driver's buffer when it completes, at a short packet (the latency timer's,
//   or the stream's last) or its 64th. With 4 KB waiting it stops pulling, and the chip stalls.
//   FT_Read takes from that buffer, waiting for the rest up to the read timeout; FT_Write hands
//   the bytes to the chip as its transmit FIFO takes them, up to the write timeout; both end
//   short (FT_OK, fewer bytes) at the timeout.
// - A completed transfer's data reaches the driver's buffer one USB frame (1 ms at full speed)
//   after its last packet: the host controller reports completions at frame ends, and FTDI's
//   AN232-04 has a new request wait for the next 1 ms frame. Meanwhile the task goes on pulling
//   (a driver that waited for each completion before its next request would be slower still:
//   the chip's 256-byte receive FIFO would fill and stop its clock). So a sample reaches
//   FT_Read no sooner than 1 ms after the chip took it.
// - FT_SetUSBParameters sets the IN transfer size (a multiple of 64 from 64 to 64 K, the
//   guide's range); the data held in the driver then is lost, as AN232B-03 says.
// - FT_SetLatencyTimer takes 2..255 ms, the guide's range for this chip.
// - A transfer under way at a purge lands after it unless the task was stopped (FT_StopInTask):
//   with VFT232R_IN_FLIGHT_AT_PURGE the last one the task completed (or the chip's next packet)
//   does so at every purge while the task runs.
//
// Time: Windows clocks cannot be intercepted here, so the device's time is the real time since
// the library was loaded plus an offset that grows whenever a read or a write waits for the
// device: the device then runs ahead at once to where it answers. Real pauses of the program are
// seen at least as long as they were, bit-bang bytes cost no real time, and the D2XX timeouts
// are judged on the device's time. The model's own work inside a call is not the program's
// pause: it is taken out of the device's time, and each call costs call_cost_us instead, the
// order of a call into a real driver (a kernel transition and a request to the USB stack), so
// that how fast this machine simulates the chip does not decide what the chip sees.
// No thread: the IN task is run up to the present at every call, change by change, as if it
// had been pulling all along.
//
// Settings (environment; wine passes the Unix one):
//   VFT232R_READING      fastest (default) | slowest: the byte rate the divisor gives
//   VFT232R_TYPE         D2XX device type reported (5 FT232R, default; 25 FT232RN)
//   VFT232R_SERIAL       serial number (default A5XK3RJT); VFT232R_LOCATION location id (0x1121)
//   VFT232R_COM          COM number FT_GetComPortNumber gives (default 7, 0 none)
//   VFT232R_CABLES       0: no cable plugged in (default 1)
//   VFT232R_ATTACH       adapter (default) | nochip (the adapter without a target) | none
//   VFT232R_SILENT_AFTER the target stops answering after this many vectors
//   VFT232R_LATCH_LOST   1: entering a bit mode clears the chip's output latch
//   VFT232R_MODEM_CONTROL the UART's RTS (2) and DTR (1) as the cable's last user left them
//   VFT232R_UNPLUG_AT_US the cable leaves the bus at this device time
//   VFT232R_IN_FLIGHT_AT_PURGE 1: a packet in flight at every purge while the IN task runs
//   VFT232R_FAIL_CALL    the D2XX call of this name (FT_SetBaudRate, ...) fails with FT_IO_ERROR
//   VFT232R_LATE_ANSWER  busy signals that rise late: function:us[:nth] (function read-block,
//                        write-block, erase-all, table-read, checksum, ...), comma-separated;
//                        the chip's late-answer fault (sim/model/chip.h)
//   VFT232R_STATUS       a file (Windows path) for ftd2xx_standin::Status
//   VFT232R_TRACE        a file (Windows path) for a line per call: device and real time, what
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "sim/model/chip.h"
#include "sim/vft232r/ft232r_device.h"
#include "sim/vft232r/ftd2xx_standin_status.h"

#define D2XX_EXPORT extern "C" __declspec(dllexport)

namespace {

using FtStatus = ULONG;
constexpr FtStatus ft_ok = 0;
constexpr FtStatus ft_invalid_handle = 1;
constexpr FtStatus ft_device_not_found = 2;
constexpr FtStatus ft_device_not_opened = 3;
constexpr FtStatus ft_io_error = 4;
constexpr FtStatus ft_invalid_parameter = 6;
constexpr FtStatus ft_invalid_baud_rate = 7;

constexpr DWORD ft_open_by_serial_number = 1;
constexpr DWORD ft_open_by_description = 2;
constexpr DWORD ft_open_by_location = 4;
constexpr DWORD ft_flags_opened = 1;
constexpr UCHAR bitmode_async = 0x01, bitmode_sync = 0x04;
constexpr ULONG ft_purge_rx = 1;
constexpr ULONG ft_purge_tx = 2;

// FTDI's vendor requests (bmRequestType 0x40 out, 0xC0 in) and their values.
constexpr uint8_t request_out = 0x40, request_in = 0xC0;
constexpr uint8_t sio_reset = 0x00, sio_modem_ctrl = 0x01, sio_set_baud_rate = 0x03,
                  sio_set_latency_timer = 0x09, sio_set_bitmode = 0x0B, sio_read_pins = 0x0C;
constexpr uint16_t reset_purge_tx = 1;  // the chip's transmit FIFO (data from the host)
constexpr uint16_t reset_purge_rx = 2;  // its receive FIFO (data towards the host)
constexpr uint16_t clear_dtr = 0x0100, clear_rts = 0x0200;
constexpr uint16_t port_a = 1;

constexpr int packet_size = 64;
constexpr int packet_data = packet_size - 2;
// D2XX's default USB transfer size, and what the IN task holds before it stops pulling.
constexpr int default_transfer_packets = 4096 / packet_size;
constexpr size_t in_buffer_size = 4096;
// From a transfer's last packet to its data in the driver's buffer: one full-speed USB frame.
constexpr double completion_us = 1000;
constexpr double divisor_base_hz = 3000000;
// FTDI's chips take a rate within 3 % of the one asked for.
constexpr double baud_tolerance = 0.03;
constexpr UCHAR smallest_latency_ms = 2;

const char* const description = "FT232R USB UART";
constexpr DWORD usb_id = 0x04036001;

struct Settings {
  vft232r::Options device;
  DWORD type = 5;
  std::string serial = "A5XK3RJT";
  DWORD location = 0x1121;
  LONG com = 7;
  bool plugged = true;
  bool in_flight_at_purge = false;
  std::string status_path;
  std::string trace_path;
  std::string fail_call;
  std::vector<sim::ChipFaultSpec> late_answers;
};

struct Driver {
  bool open = false;
  bool in_task = false;            // the IN task pulls packets
  bool listed = false;             // FT_CreateDeviceInfoList was called
  std::deque<uint8_t> buffer;      // data of the IN task's completed transfers
  std::vector<uint8_t> transfer;   // data of the transfer under way
  int packets = 0;                 // its packets so far
  int transfer_packets = default_transfer_packets;  // packets that complete a transfer
  struct Landing {
    double at_us;
    std::vector<uint8_t> data;
  };
  std::deque<Landing> landing;     // completed transfers on their way to the buffer
  size_t landing_bytes = 0;
  std::vector<uint8_t> last_transfer;  // the data of the last transfer that brought any
  bool buffer_was_full = false;
  double synced_us = 0;            // the IN task has run up to here
  ULONG read_timeout_ms = 0, write_timeout_ms = 0;  // 0: wait for ever, as D2XX's default
  uint8_t mode = 0;                // the bit mode last set
  double async_write_us = -1;      // when the last write in asynchronous bit-bang mode ended
  const uint8_t* out = nullptr;    // a write's bytes not yet taken by the chip
  int out_left = 0;
};

Settings settings;
Driver driver;
ftd2xx_standin::Driver counts{};

// ---- time ------------------------------------------------------------------------------------
LARGE_INTEGER counter_start{}, counter_hz{};
double offset_us = 0;
double latest_us = 0;

double raw_real_us() {
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return static_cast<double>(now.QuadPart - counter_start.QuadPart) * 1e6 / static_cast<double>(counter_hz.QuadPart);
}

constexpr double call_cost_us = 20;
double own_us = 0;       // real time spent inside the calls, less their cost
double frozen_us = -1;   // the program's real time while a call runs (-1 none runs)
int call_depth = 0;

// The program's real time: since the library was loaded, less the model's own work.
double real_us() { return frozen_us >= 0 ? frozen_us : raw_real_us() - own_us; }

// Held through every exported call: the program's clock stands while the model works, then
// goes on call_cost_us later.
struct CallClock {
  double entry_us = 0;
  CallClock() {
    if (call_depth++ == 0) {
      entry_us = raw_real_us();
      frozen_us = entry_us - own_us;
    }
  }
  ~CallClock() {
    if (--call_depth == 0) {
      own_us += raw_real_us() - entry_us - call_cost_us;
      frozen_us = -1;
    }
  }
  CallClock(const CallClock&) = delete;
  CallClock& operator=(const CallClock&) = delete;
};

// The device's time now: never behind what it was.
double now_us() {
  const double t = real_us() + offset_us;
  if (t > latest_us) latest_us = t;
  return latest_us;
}

// The device's time jumps ahead to t, as if the program had waited that long.
void fast_forward(double t) {
  const double real = real_us();
  if (t > real + offset_us) offset_us = t - real;
  if (t > latest_us) latest_us = t;
}

// ---- settings ----------------------------------------------------------------------------------
std::string environment(const char* name) {
  char value[1024];
  const DWORD n = GetEnvironmentVariableA(name, value, sizeof value);
  return n > 0 && n < sizeof value ? std::string(value, n) : std::string();
}

// "checksum:600,read-block:300:2": the chip's late-answer faults. A part it cannot read is
// left out, and said so on the error stream, so that a test's mistake shows.
std::vector<sim::ChipFaultSpec> late_answers(const std::string& text) {
  struct Function {
    const char* name;
    sim::RomFunction function;
  };
  static const Function functions[] = {
      {"read-block", sim::RomFunction::read_block}, {"write-block", sim::RomFunction::write_block},
      {"protect", sim::RomFunction::protect},       {"erase-all", sim::RomFunction::erase_all},
      {"table-read", sim::RomFunction::table_read}, {"checksum", sim::RomFunction::checksum},
      {"calibrate", sim::RomFunction::calibrate}};
  std::vector<sim::ChipFaultSpec> faults;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find(',', at);
    if (end == std::string::npos) end = text.size();
    const std::string part = text.substr(at, end - at);
    at = end + 1;
    const size_t colon = part.find(':');
    const Function* f = nullptr;
    for (const Function& candidate : functions) {
      if (colon != std::string::npos && part.compare(0, colon, candidate.name) == 0) f = &candidate;
    }
    char* rest = nullptr;
    const double us = f != nullptr ? std::strtod(part.c_str() + colon + 1, &rest) : 0;
    int nth = 0;
    if (rest != nullptr && *rest == ':') nth = static_cast<int>(std::strtol(rest + 1, &rest, 10));
    if (f == nullptr || rest == nullptr || *rest != '\0' || us < 0) {
      std::fprintf(stderr, "ftd2xx stand-in: VFT232R_LATE_ANSWER part \"%s\" not understood\n", part.c_str());
      continue;
    }
    faults.push_back(sim::chip_fault::late_answer(f->function, us, nth));
  }
  return faults;
}

void read_settings() {
  Settings s;
  const std::string reading = environment("VFT232R_READING");
  if (reading == "slowest") s.device.reading = vft232r::Reading::slowest;
  const std::string type = environment("VFT232R_TYPE");
  if (!type.empty()) s.type = static_cast<DWORD>(std::strtoul(type.c_str(), nullptr, 0));
  const std::string serial = environment("VFT232R_SERIAL");
  if (!serial.empty()) s.serial = serial.substr(0, 15);
  const std::string location = environment("VFT232R_LOCATION");
  if (!location.empty()) s.location = static_cast<DWORD>(std::strtoul(location.c_str(), nullptr, 0));
  const std::string com = environment("VFT232R_COM");
  if (!com.empty()) s.com = std::strtol(com.c_str(), nullptr, 10);
  s.plugged = environment("VFT232R_CABLES") != "0";
  const std::string attach = environment("VFT232R_ATTACH");
  if (attach == "none") s.device.attached = false;
  if (attach == "nochip") s.device.chip = false;
  const std::string silent = environment("VFT232R_SILENT_AFTER");
  if (!silent.empty()) s.device.silent_after_vectors = std::strtoll(silent.c_str(), nullptr, 10);
  s.device.latch_lost = environment("VFT232R_LATCH_LOST") == "1";
  s.device.modem_control = static_cast<uint8_t>(std::strtoul(environment("VFT232R_MODEM_CONTROL").c_str(), nullptr, 0));
  const std::string unplug = environment("VFT232R_UNPLUG_AT_US");
  if (!unplug.empty()) s.device.unplug_at_us = std::strtod(unplug.c_str(), nullptr);
  s.in_flight_at_purge = environment("VFT232R_IN_FLIGHT_AT_PURGE") == "1";
  s.status_path = environment("VFT232R_STATUS");
  s.trace_path = environment("VFT232R_TRACE");
  s.fail_call = environment("VFT232R_FAIL_CALL");
  s.late_answers = late_answers(environment("VFT232R_LATE_ANSWER"));
  settings = s;
}

bool run_to(double t);

FILE* trace_file = nullptr;
void trace(const char* what, double a, double b) {
  if (trace_file == nullptr) return;
  std::fprintf(trace_file, "%.3f %.3f %s %.17g %.17g\n", latest_us, real_us(), what, a, b);
  std::fflush(trace_file);
}

void write_status() {
  if (settings.status_path.empty()) return;
  if (driver.open) run_to(now_us());
  ftd2xx_standin::Status status{};
  status.device = vft232r::report(driver.synced_us);
  status.driver = counts;
  const vft232r::CallGaps gaps = vft232r::call_gaps();
  status.driver.unsampled_gaps_in_calls = gaps.gaps;
  status.driver.unsampled_us_in_calls = gaps.us;
  status.driver.unsampled_round_trips_in_calls = gaps.round_trips;
  status.driver.late_answers = static_cast<int64_t>(settings.late_answers.size());
  const HANDLE file = CreateFileA(settings.status_path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  WriteFile(file, &status, sizeof status, &written, nullptr);
  CloseHandle(file);
}

// ---- the driver --------------------------------------------------------------------------------

// The cable is on the bus. While it is open the IN task runs up to now as well.
bool present() {
  if (!settings.plugged) return false;
  if (driver.open) return run_to(now_us());
  driver.synced_us = now_us();
  return vft232r::on_bus(driver.synced_us);
}

// Completed transfers whose frame has ended by t reach the buffer.
void land(double t) {
  while (!driver.landing.empty() && driver.landing.front().at_us <= t) {
    const std::vector<uint8_t>& data = driver.landing.front().data;
    driver.buffer.insert(driver.buffer.end(), data.begin(), data.end());
    driver.landing_bytes -= data.size();
    driver.landing.pop_front();
  }
}

// The transfer under way ends at t: its data reaches the buffer a frame later.
void complete_transfer(double t) {
  if (!driver.transfer.empty()) {
    driver.landing.push_back(Driver::Landing{t + completion_us, driver.transfer});
    driver.landing_bytes += driver.transfer.size();
    driver.last_transfer = driver.transfer;
  }
  driver.transfer.clear();
  driver.packets = 0;
}

// The IN task is cancelled: what its transfers brought so far is in the buffer at once.
[[maybe_unused]] void complete_transfer_now() {
  complete_transfer(driver.synced_us);
  for (const Driver::Landing& l : driver.landing) driver.buffer.insert(driver.buffer.end(), l.data.begin(), l.data.end());
  driver.landing.clear();
  driver.landing_bytes = 0;
}

void drop_driver_data() {
  driver.buffer.clear();
  driver.transfer.clear();
  driver.packets = 0;
  driver.landing.clear();
  driver.landing_bytes = 0;
  driver.last_transfer.clear();
}

// At device time t: the chip takes what it can of a pending write, and the IN task pulls every
// packet the chip has for it while there is room for one.
bool service(double t) {
  if (driver.out_left > 0) {
    int taken = 0;
    if (vft232r::bulk_out(driver.out, driver.out_left, &taken, t) != vft232r::Usb::ok) return false;
    driver.out += taken;
    driver.out_left -= taken;
  }
  land(t);
  while (driver.in_task) {
    if (in_buffer_size - driver.buffer.size() - driver.landing_bytes - driver.transfer.size() < packet_data) {
      if (!driver.buffer_was_full) ++counts.buffer_full;
      driver.buffer_was_full = true;
      break;
    }
    driver.buffer_was_full = false;
    uint8_t packet[packet_size];
    int length = 0;
    if (vft232r::bulk_in(packet, &length, t) != vft232r::Usb::ok) return false;
    if (length == 0) break;  // NAK
    driver.transfer.insert(driver.transfer.end(), packet + 2, packet + length);
    if (length < packet_size || ++driver.packets == driver.transfer_packets) complete_transfer(t);
  }
  return true;
}

// The next device time after `at` worth looking at, or a negative value when nothing will change
// without the host. A packet the chip offers while the IN task takes none (stopped, or its buffer
// full) is no change: the chip is looked at again a moment later.
constexpr double idle_look_us = 10;
double next_change_after(double at) {
  double next = vft232r::next_change_us(at);
  if (next >= 0 && next <= at) next = at + idle_look_us;
  if (!driver.landing.empty() && driver.landing.front().at_us > at && (next < 0 || driver.landing.front().at_us < next)) {
    next = driver.landing.front().at_us;
  }
  return next;
}

// Runs the device and the IN task up to device time t, change by change. False: the device left
// the bus.
bool run_to(double t) {
  double at = driver.synced_us;
  if (t < at) t = at;
  if (!service(at)) return false;
  for (;;) {
    const double next = next_change_after(at);
    if (next < 0 || next > t) break;
    at = next;
    if (!service(at)) return false;
  }
  driver.synced_us = t;
  return service(t);
}

// The earliest device time after the present at which anything can change, or a negative value.
double next_change() { return next_change_after(driver.synced_us); }

Driver* handle_of(void* handle) { return handle == &driver && driver.open ? &driver : nullptr; }

// The call VFT232R_FAIL_CALL names fails, every time.
bool failing(const char* call) { return settings.fail_call == call; }

FtStatus control_out(uint8_t request, uint16_t value, uint16_t index) {
  trace("control", request, value);
  if (!run_to(now_us())) return ft_io_error;
  int transferred = 0;
  const vft232r::Usb r = vft232r::control(request_out, request, value, index, nullptr, 0, &transferred, driver.synced_us);
  return r == vft232r::Usb::ok ? ft_ok : ft_io_error;
}

// The FT232R's divisor for a rate (AN232B-05): 3 MHz divided by n + k/8 with n of 14 bits (n at
// least 2), or the two special values 0 (3 MBd) and 1 (2 MBd). The eighths are coded in wValue's
// top two bits and wIndex's bit 0.
bool divisor_for(ULONG baud, uint16_t* value, uint16_t* index) {
  if (baud == 0) return false;
  long long eighths = static_cast<long long>((divisor_base_hz * 8 + baud / 2.0) / baud);
  double achieved;
  if (eighths < 12) {  // nearer 3 MBd than 2 MBd
    *value = 0;
    *index = 0;
    achieved = divisor_base_hz;
  } else if (eighths < 16) {
    *value = 1;
    *index = 0;
    achieved = divisor_base_hz / 1.5;
  } else {
    if (eighths > (0x3FFF << 3 | 7)) eighths = 0x3FFF << 3 | 7;
    static constexpr uint16_t code_of_eighths[8] = {0, 3, 2, 4, 1, 5, 6, 7};
    const uint16_t code = code_of_eighths[eighths & 7];
    *value = static_cast<uint16_t>((eighths >> 3) | ((code & 3) << 14));
    *index = static_cast<uint16_t>(code >> 2);
    achieved = divisor_base_hz * 8 / static_cast<double>(eighths);
  }
  const double error = (achieved - baud) / baud;
  return error <= baud_tolerance && error >= -baud_tolerance;
}

// The purge's requests to the chip, the driver's buffer emptied; a packet in flight lands after.
FtStatus purge(ULONG mask) {
  std::vector<uint8_t> in_flight;
  if ((mask & ft_purge_rx) != 0 && driver.in_task && settings.in_flight_at_purge) {
    if (!run_to(now_us())) return ft_io_error;
    // The last transfer the task completed, should it still be waiting in the buffer; else the
    // chip's next packet, its IN token answered just before the purge's request arrives.
    if (!driver.last_transfer.empty() && driver.buffer.size() >= driver.last_transfer.size()) {
      in_flight = driver.last_transfer;
    } else {
      const size_t before = driver.buffer.size();
      const double limit = driver.synced_us + 256 * 1000.0;  // the longest latency timer
      double next = next_change();
      while (driver.buffer.size() == before && next >= 0 && next <= limit) {
        fast_forward(next);
        if (!run_to(next)) return ft_io_error;
        next = next_change();
      }
      in_flight.assign(driver.buffer.begin() + static_cast<std::ptrdiff_t>(before), driver.buffer.end());
    }
  }
  if ((mask & ft_purge_rx) != 0) {
    const FtStatus s = control_out(sio_reset, reset_purge_rx, port_a);
    if (s != ft_ok) return s;
    // A transfer under way is not the purge's to stop: what it brought lands after.
    counts.late_bytes += static_cast<int64_t>(driver.transfer.size() + driver.landing_bytes);
    driver.buffer.clear();
    driver.last_transfer.clear();
  }
  if ((mask & ft_purge_tx) != 0) {
    const FtStatus s = control_out(sio_reset, reset_purge_tx, port_a);
    if (s != ft_ok) return s;
  }
  ++counts.purges;
  driver.buffer.insert(driver.buffer.end(), in_flight.begin(), in_flight.end());
  counts.late_bytes += static_cast<int64_t>(in_flight.size());
  return ft_ok;
}

FtStatus open_device(void** handle) {
  if (handle == nullptr) return ft_invalid_parameter;
  if (!present()) return ft_device_not_found;
  if (driver.open) return ft_device_not_opened;  // open already, in this process or another
  driver.synced_us = now_us();
  if (!run_to(driver.synced_us)) return ft_device_not_found;
  driver.open = true;
  driver.in_task = true;
  drop_driver_data();
  driver.transfer_packets = default_transfer_packets;
  counts.in_transfer_size = default_transfer_packets * packet_size;
  driver.read_timeout_ms = driver.write_timeout_ms = 0;
  driver.async_write_us = -1;
  *handle = &driver;
  return ft_ok;
}

}  // namespace

// ---- the exported calls (undecorated, WINAPI) ----------------------------------------------------
D2XX_EXPORT FtStatus WINAPI FT_CreateDeviceInfoList(DWORD* count) {
  const CallClock call_clock;
  if (count == nullptr) return ft_invalid_parameter;
  driver.listed = true;
  *count = present() ? 1 : 0;
  return ft_ok;
}

D2XX_EXPORT FtStatus WINAPI FT_GetDeviceInfoDetail(DWORD index, DWORD* flags, DWORD* type, DWORD* id, DWORD* location,
                                                   void* serial, void* descr, void** handle) {
  const CallClock call_clock;
  if (!driver.listed || index != 0 || !present()) return ft_device_not_found;
  if (flags != nullptr) *flags = driver.open ? ft_flags_opened : 0;
  if (type != nullptr) *type = settings.type;
  if (id != nullptr) *id = usb_id;
  if (location != nullptr) *location = settings.location;
  // The guide's buffers: 16 bytes for the serial number, 64 for the description.
  if (serial != nullptr) std::strncpy(static_cast<char*>(serial), settings.serial.c_str(), 16);
  if (descr != nullptr) std::strncpy(static_cast<char*>(descr), description, 64);
  if (handle != nullptr) *handle = driver.open ? &driver : nullptr;
  return ft_ok;
}

D2XX_EXPORT FtStatus WINAPI FT_Open(int index, void** handle) {
  const CallClock call_clock;
  if (index != 0) return ft_device_not_found;
  return open_device(handle);
}

D2XX_EXPORT FtStatus WINAPI FT_OpenEx(void* argument, DWORD flags, void** handle) {
  const CallClock call_clock;
  bool match = false;
  if (flags == ft_open_by_location) {
    match = static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(argument)) == settings.location;
  } else if (flags == ft_open_by_serial_number && argument != nullptr) {
    match = settings.serial == static_cast<const char*>(argument);
  } else if (flags == ft_open_by_description && argument != nullptr) {
    match = std::strcmp(description, static_cast<const char*>(argument)) == 0;
  } else {
    return ft_invalid_parameter;
  }
  return match ? open_device(handle) : ft_device_not_found;
}

D2XX_EXPORT FtStatus WINAPI FT_Close(void* handle) {
  const CallClock call_clock;
  if (handle_of(handle) == nullptr) return ft_invalid_handle;
  run_to(now_us());
  driver.open = false;
  driver.in_task = false;
  drop_driver_data();
  ++counts.closes;
  write_status();
  return ft_ok;
}

D2XX_EXPORT FtStatus WINAPI FT_SetTimeouts(void* handle, ULONG read_ms, ULONG write_ms) {
  const CallClock call_clock;
  if (handle_of(handle) == nullptr) return ft_invalid_handle;
  if (failing("FT_SetTimeouts")) return ft_io_error;
  driver.read_timeout_ms = read_ms;
  driver.write_timeout_ms = write_ms;
  counts.read_timeout_ms = read_ms;
  counts.write_timeout_ms = write_ms;
  return ft_ok;
}

// The IN transfer size: a multiple of 64 bytes from 64 to 64 K (D2XX Programmer's Guide); the
// OUT size is not supported and ignored. Data held in the driver is lost (AN232B-03).
D2XX_EXPORT FtStatus WINAPI FT_SetUSBParameters(void* handle, ULONG in_size, ULONG out_size) {
  const CallClock call_clock;
  (void)out_size;
  if (handle_of(handle) == nullptr) return ft_invalid_handle;
  if (failing("FT_SetUSBParameters")) return ft_io_error;
  if (in_size < packet_size || in_size > 65536 || in_size % packet_size != 0) return ft_invalid_parameter;
  if (!run_to(now_us())) return ft_io_error;
  drop_driver_data();
  driver.transfer_packets = static_cast<int>(in_size / packet_size);
  counts.in_transfer_size = in_size;
  return ft_ok;
}

D2XX_EXPORT FtStatus WINAPI FT_SetLatencyTimer(void* handle, UCHAR ms) {
  const CallClock call_clock;
  if (handle_of(handle) == nullptr) return ft_invalid_handle;
  if (failing("FT_SetLatencyTimer")) return ft_io_error;
  if (ms < smallest_latency_ms) {
    ++counts.latency_refused;
    return ft_invalid_parameter;
  }
  return control_out(sio_set_latency_timer, ms, port_a);
}

D2XX_EXPORT FtStatus WINAPI FT_SetBaudRate(void* handle, ULONG baud) {
  const CallClock call_clock;
  if (handle_of(handle) == nullptr) return ft_invalid_handle;
  if (failing("FT_SetBaudRate")) return ft_io_error;
  uint16_t value = 0, index = 0;
  if (!divisor_for(baud, &value, &index)) return ft_invalid_baud_rate;
  const FtStatus s = control_out(sio_set_baud_rate, value, index);
  if (s == ft_ok) counts.baud = baud;
  return s;
}

D2XX_EXPORT FtStatus WINAPI FT_SetBitMode(void* handle, UCHAR mask, UCHAR mode) {
  const CallClock call_clock;
  if (handle_of(handle) == nullptr) return ft_invalid_handle;
  if (failing("FT_SetBitMode")) return ft_io_error;
  const FtStatus s = control_out(sio_set_bitmode, static_cast<uint16_t>(mode << 8 | mask), port_a);
  if (s != ft_ok) return s;
  if (mode == 0) counts.bitmode_reset_us = driver.synced_us;
  if (mode == bitmode_sync && driver.mode == bitmode_async && driver.async_write_us >= 0) {
    counts.latch_pause_us = driver.synced_us - driver.async_write_us;
  }
  driver.mode = mode;
  return s;
}

D2XX_EXPORT FtStatus WINAPI FT_GetBitMode(void* handle, UCHAR* pins) {
  const CallClock call_clock;
  if (handle_of(handle) == nullptr) return ft_invalid_handle;
  if (failing("FT_GetBitMode")) return ft_io_error;
  if (pins == nullptr) return ft_invalid_parameter;
  if (!run_to(now_us())) return ft_io_error;
  int transferred = 0;
  if (vft232r::control(request_in, sio_read_pins, 0, port_a, pins, 1, &transferred, driver.synced_us) !=
          vft232r::Usb::ok ||
      transferred != 1) {
    return ft_io_error;
  }
  return ft_ok;
}

D2XX_EXPORT FtStatus WINAPI FT_ClrDtr(void* handle) {
  const CallClock call_clock;
  if (handle_of(handle) == nullptr) return ft_invalid_handle;
  return control_out(sio_modem_ctrl, clear_dtr, port_a);
}

D2XX_EXPORT FtStatus WINAPI FT_ClrRts(void* handle) {
  const CallClock call_clock;
  if (handle_of(handle) == nullptr) return ft_invalid_handle;
  return control_out(sio_modem_ctrl, clear_rts, port_a);
}

D2XX_EXPORT FtStatus WINAPI FT_Purge(void* handle, ULONG mask) {
  const CallClock call_clock;
  if (handle_of(handle) == nullptr) return ft_invalid_handle;
  if (failing("FT_Purge")) return ft_io_error;
  return purge(mask);
}

D2XX_EXPORT FtStatus WINAPI FT_GetComPortNumber(void* handle, LONG* com) {
  const CallClock call_clock;
  if (handle_of(handle) == nullptr) return ft_invalid_handle;
  if (com == nullptr) return ft_invalid_parameter;
  *com = settings.com > 0 ? settings.com : -1;  // -1: no COM port
  return ft_ok;
}

// Writes: the bytes go to the chip as its transmit FIFO takes them.
D2XX_EXPORT FtStatus WINAPI FT_Write(void* handle, void* buffer, DWORD size, DWORD* written) {
  const CallClock call_clock;
  if (handle_of(handle) == nullptr) return ft_invalid_handle;
  if (failing("FT_Write")) return ft_io_error;
  if (written == nullptr || (buffer == nullptr && size > 0)) return ft_invalid_parameter;
  *written = 0;
  const double start = now_us();
  if (!run_to(start)) return ft_io_error;
  driver.out = static_cast<const uint8_t*>(buffer);
  driver.out_left = static_cast<int>(size);
  const double deadline = driver.write_timeout_ms == 0 ? -1 : start + driver.write_timeout_ms * 1000.0;
  bool alive = service(driver.synced_us);
  while (alive && driver.out_left > 0) {
    const double next = next_change();
    if (next < 0 || (deadline >= 0 && next > deadline)) {
      if (deadline < 0) {  // no timeout: D2XX waits for ever, and so does the program
        Sleep(1000);
        continue;
      }
      fast_forward(deadline);
      alive = run_to(deadline);
      break;
    }
    fast_forward(next);
    alive = run_to(now_us());
  }
  *written = size - static_cast<DWORD>(driver.out_left);
  if (driver.mode == bitmode_async) driver.async_write_us = driver.synced_us;
  trace("write", size, *written);
  if (driver.out_left > 0 && alive) ++counts.short_writes;
  driver.out = nullptr;
  driver.out_left = 0;
  const double took = driver.synced_us - start;
  if (took > counts.longest_write_us) counts.longest_write_us = took;
  return alive ? ft_ok : ft_io_error;
}

// The bytes the driver's buffer holds: those of the IN task's completed transfers.
D2XX_EXPORT FtStatus WINAPI FT_GetQueueStatus(void* handle, DWORD* rx_bytes) {
  const CallClock call_clock;
  if (handle_of(handle) == nullptr) return ft_invalid_handle;
  if (failing("FT_GetQueueStatus")) return ft_io_error;
  if (rx_bytes == nullptr) return ft_invalid_parameter;
  if (!run_to(now_us())) return ft_io_error;
  *rx_bytes = static_cast<DWORD>(driver.buffer.size());
  return ft_ok;
}

// Reads: what the IN task has, and the rest as it comes, up to the read timeout.
D2XX_EXPORT FtStatus WINAPI FT_Read(void* handle, void* buffer, DWORD size, DWORD* returned) {
  const CallClock call_clock;
  if (handle_of(handle) == nullptr) return ft_invalid_handle;
  if (failing("FT_Read")) return ft_io_error;
  if (returned == nullptr || (buffer == nullptr && size > 0)) return ft_invalid_parameter;
  *returned = 0;
  uint8_t* out = static_cast<uint8_t*>(buffer);
  const double start = now_us();
  const double deadline = driver.read_timeout_ms == 0 ? -1 : start + driver.read_timeout_ms * 1000.0;
  bool alive = run_to(start);
  DWORD got = 0;
  for (;;) {
    while (got < size && !driver.buffer.empty()) {
      out[got++] = driver.buffer.front();
      driver.buffer.pop_front();
    }
    if (got == size || !alive) break;
    // Room made in the buffer: the task pulls again at once.
    alive = service(driver.synced_us);
    if (!driver.buffer.empty()) continue;
    const double next = next_change();
    if (next < 0 || (deadline >= 0 && next > deadline)) {
      if (deadline < 0) {
        Sleep(1000);
        alive = run_to(now_us());
        continue;
      }
      fast_forward(deadline);
      alive = run_to(deadline);
      while (got < size && !driver.buffer.empty()) {
        out[got++] = driver.buffer.front();
        driver.buffer.pop_front();
      }
      break;
    }
    fast_forward(next);
    alive = run_to(now_us());
  }
  *returned = got;
  trace("read", size, got);
  if (got < size && alive) ++counts.short_reads;
  const double took = driver.synced_us - start;
  if (took > counts.longest_read_us) counts.longest_read_us = took;
  return alive ? ft_ok : ft_io_error;
}

#ifndef FTD2XX_STANDIN_WITHOUT_IN_TASK_CALLS
// Stops the IN task: the transfer it had in flight lands in the buffer first.
D2XX_EXPORT FtStatus WINAPI FT_StopInTask(void* handle) {
  const CallClock call_clock;
  if (handle_of(handle) == nullptr) return ft_invalid_handle;
  if (!run_to(now_us())) return ft_io_error;
  if (driver.in_task) ++counts.in_task_stops;
  driver.in_task = false;
  complete_transfer_now();  // cancelled: what it brought so far is kept
  return ft_ok;
}

D2XX_EXPORT FtStatus WINAPI FT_RestartInTask(void* handle) {
  const CallClock call_clock;
  if (handle_of(handle) == nullptr) return ft_invalid_handle;
  if (!run_to(now_us())) return ft_io_error;
  driver.in_task = true;
  return service(driver.synced_us) ? ft_ok : ft_io_error;
}
#endif

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    QueryPerformanceFrequency(&counter_hz);
    QueryPerformanceCounter(&counter_start);
    read_settings();
    if (!settings.trace_path.empty()) trace_file = std::fopen(settings.trace_path.c_str(), "a");
    trace("attach", 0, 0);
    vft232r::reset(settings.device);
    for (const sim::ChipFaultSpec& f : settings.late_answers) sim::chip_config().faults.push_back(f);
  } else if (reason == DLL_PROCESS_DETACH) {
    write_status();
  }
  return TRUE;
}
