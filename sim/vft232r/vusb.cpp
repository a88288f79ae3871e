// A virtual USB bus for the real Linux back end (LD_PRELOAD): libusb-1.0's calls, as libftdi1
// and the tool make them, answered here for one device, the virtual FT232R of
// ft232r_device.h (0403:6001) with the adapter and the simulated PSoC 1 behind its pins. No
// call reaches the real libusb, so no real bus or device is ever looked at.
//
// The host controller is modelled as far as the tool can tell: a submitted bulk transfer moves
// data whenever the device can take or give some, whether or not anyone handles events (the
// OUT side in whole 64-byte packets, the IN side packet by packet until a short packet or a
// full buffer completes it), one transaction at a time on a full-speed bus (19 of 64 bytes a
// frame, NAKed tries costing bus time too), a finished transfer is reported at the end of its
// 1 ms frame, its callback runs only inside libusb_handle_events*, and a transfer ends at its
// timeout with what it had. A control transfer takes one USB frame (1 ms;
// VUSB_CONTROL_US). The kernel's ftdi_sio holds the interface until it is detached: claiming
// without detaching is refused (LIBUSB_ERROR_BUSY); with auto-detach it comes back on release.
//
// Time is virtual and shared by the tool and the device, as in sim/vserial: CLOCK_MONOTONIC
// reads advance it a small step, sleeps advance it exactly, an event wait advances it to the
// device's next change (or its timeout). A run at the slowest byte rate takes minutes of
// virtual time and seconds of real time; the tool's deadlines are judged on this clock.
//
// Environment: VUSB_STATUS (a file of sizeof(vusb::Status) bytes to keep current),
// VUSB_READING (fastest, slowest), VUSB_ATTACH (adapter, nochip, nothing), VUSB_SILENT_AFTER (vectors),
// VUSB_UNPLUG_AT_US (virtual time), VUSB_LATCH_LOST (1), VUSB_MODEM_CONTROL (DTR 1, RTS 2 at the start), VUSB_RELEASE (bcdDevice, hex),
// VUSB_SERIAL, VUSB_BUS, VUSB_ADDRESS, VUSB_CONTROL_US, VUSB_FAIL_IN_TRANSFER (the Nth
// asynchronous IN transfer ends with an error while the device stays on the bus),
// VUSB_LATE_ANSWER (busy signals that rise late: "function:us" pairs separated by commas, the
// function one of read_block, write_block, protect, erase_all, table_read, checksum, calibrate;
// for example "checksum:600,table_read:100").
#include <dlfcn.h>
#include <fcntl.h>
#include <libusb-1.0/libusb.h>
#include <pthread.h>
#include <sched.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

#include "sim/vft232r/ft232r_device.h"
#include "sim/vft232r/vusb_status.h"

#define VUSB_EXPORT extern "C" __attribute__((visibility("default")))

// libusb's opaque types, made whole here: one of each.
struct libusb_context {
  int refs;
};
struct libusb_device {
  int refs;
};
struct libusb_device_handle {
  int open;
};

namespace {

using ClockGettimeFn = int (*)(clockid_t, timespec*);
using ClockNanosleepFn = int (*)(clockid_t, int, const timespec*, timespec*);
using NanosleepFn = int (*)(const timespec*, timespec*);

struct Real {
  ClockGettimeFn clock_gettime;
  ClockNanosleepFn clock_nanosleep;
  NanosleepFn nanosleep;
};
Real real;

struct Config {
  uint8_t bus = 1, address = 5;
  uint16_t release = 0x0600;
  char serial[64] = "A10K7Q3B";
  int64_t control_ns = 1000000;
  int64_t fail_in_transfer = 0;  // this asynchronous IN transfer (1-based) fails; 0 none
  double clock_step_us = 0.1;
};
Config config;

constexpr uint8_t ep_out = 0x02, ep_in = 0x81;
constexpr int packet_size = 64;
// USB full speed runs in 1 ms frames. A host controller that reports finished transfers once a
// frame (OHCI writes its done queue back at the frame's end, UHCI interrupts there) hands a
// finished bulk transfer to libusb at the end of the frame it finished in; EHCI and xHCI are
// quicker, so this is the strict end. Meanwhile the endpoint goes on with the next transfer
// queued on it, if there is one.
constexpr int64_t frame_ns = 1000000;
// At most 19 bulk transactions of 64 bytes fit in a full-speed frame (USB 2.0, table 5-9), both
// directions together.
constexpr int bulk_packets_per_frame = 19;
// Publishing the whole status (8 KB of flash) at every call would cost more than the run: the
// frequent calls publish at most this often in virtual time, the rare ones always.
constexpr int64_t publish_every_ns = 50'000'000;

libusb_context the_context{0};
libusb_device the_device{1};
libusb_device_handle the_handle{0};
bool auto_detach = false;
int64_t in_submitted = 0;  // asynchronous IN transfers submitted

vusb::Status local_status;
vusb::Status* status = &local_status;
std::recursive_mutex model_lock;
pthread_once_t once = PTHREAD_ONCE_INIT;

std::atomic<int64_t> virtual_ns{0};
int64_t base_ns = 0;
int64_t published_ns = -publish_every_ns;

struct Pending {
  libusb_transfer* transfer;
  int64_t deadline_ns;  // 0: none
  bool finished;
  int64_t finished_ns;  // when it finished: reported at the end of that frame
  int result;           // libusb_transfer_status once finished
  bool cancel;
  bool synchronous;     // libusb_bulk_transfer's own: no callback
  bool fails;           // ends with an error at its first chance (VUSB_FAIL_IN_TRANSFER)
};
std::vector<Pending> pending;

double now_us() { return static_cast<double>(virtual_ns.load()) / 1000.0; }

int64_t real_ns() {
  timespec t{};
  real.clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

void publish(bool whole) {
  const int64_t now = virtual_ns.load();
  if (!whole && now - published_ns < publish_every_ns) return;
  published_ns = now;
  status->virtual_us = now_us();
  int32_t open_transfers = 0;
  for (const Pending& p : pending) open_transfers += p.finished ? 0 : 1;
  status->transfers_pending = open_transfers;
  const vft232r::Report report = vft232r::report(now_us());
  if (whole) {
    status->device = report;
  } else {
    std::memcpy(&status->device, &report, offsetof(vft232r::Report, flash));
  }
}

double env_number(const char* name, double fallback) {
  const char* text = std::getenv(name);
  return text != nullptr && *text != '\0' ? std::atof(text) : fallback;
}

void set_status_file(const char* path) {
  if (path == nullptr) return;
  const int fd = open(path, O_RDWR | O_CLOEXEC);
  if (fd < 0) return;
  void* map = mmap(nullptr, sizeof(vusb::Status), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  ::close(fd);
  if (map != MAP_FAILED) status = static_cast<vusb::Status*>(map);
}

// VUSB_LATE_ANSWER into the options; an entry it cannot read ends the process, so that a test
// never runs without the fault it asked for.
void read_late_answers(vft232r::Options* options) {
  const char* text = std::getenv("VUSB_LATE_ANSWER");
  if (text == nullptr || *text == '\0') return;
  static const struct {
    const char* name;
    int function;
  } functions[] = {{"read_block", 1}, {"write_block", 2}, {"protect", 4}, {"erase_all", 5},
                   {"table_read", 6}, {"checksum", 7},    {"calibrate", 9}};
  const char* at = text;
  while (*at != '\0') {
    const char* colon = std::strchr(at, ':');
    int function = -1;
    for (const auto& f : functions) {
      const size_t n = std::strlen(f.name);
      if (colon != nullptr && static_cast<size_t>(colon - at) == n && std::strncmp(at, f.name, n) == 0) {
        function = f.function;
      }
    }
    char* end = nullptr;
    const double delay = colon != nullptr ? std::strtod(colon + 1, &end) : -1;
    if (function < 0 || end == colon + 1 || delay < 0 || (*end != '\0' && *end != ',') ||
        options->late_answer_count == vft232r::Options::max_late_answers) {
      const char message[] = "libvusb: VUSB_LATE_ANSWER not understood\n";
      (void)!write(2, message, sizeof message - 1);
      _exit(97);
    }
    options->late_answers[options->late_answer_count++] = {function, delay};
    at = *end == ',' ? end + 1 : end;
  }
}

void initialise() {
  real.clock_gettime = reinterpret_cast<ClockGettimeFn>(dlsym(RTLD_NEXT, "clock_gettime"));
  real.clock_nanosleep = reinterpret_cast<ClockNanosleepFn>(dlsym(RTLD_NEXT, "clock_nanosleep"));
  real.nanosleep = reinterpret_cast<NanosleepFn>(dlsym(RTLD_NEXT, "nanosleep"));
  base_ns = real_ns();
  vft232r::Options options;
  const char* reading = std::getenv("VUSB_READING");
  if (reading != nullptr && std::strcmp(reading, "slowest") == 0) options.reading = vft232r::Reading::slowest;
  const char* attach = std::getenv("VUSB_ATTACH");
  if (attach != nullptr && std::strcmp(attach, "nothing") == 0) options.attached = false;
  if (attach != nullptr && std::strcmp(attach, "nochip") == 0) options.chip = false;
  options.silent_after_vectors = static_cast<long long>(env_number("VUSB_SILENT_AFTER", -1));
  options.unplug_at_us = env_number("VUSB_UNPLUG_AT_US", -1);
  options.latch_lost = env_number("VUSB_LATCH_LOST", 0) != 0;
  options.modem_control = static_cast<uint8_t>(env_number("VUSB_MODEM_CONTROL", 0));
  read_late_answers(&options);
  const char* release = std::getenv("VUSB_RELEASE");
  if (release != nullptr && *release != '\0') options.release = static_cast<uint16_t>(std::strtol(release, nullptr, 16));
  config.release = options.release;
  config.bus = static_cast<uint8_t>(env_number("VUSB_BUS", 1));
  config.address = static_cast<uint8_t>(env_number("VUSB_ADDRESS", 5));
  config.control_ns = static_cast<int64_t>(env_number("VUSB_CONTROL_US", 1000) * 1000.0);
  config.fail_in_transfer = static_cast<int64_t>(env_number("VUSB_FAIL_IN_TRANSFER", 0));
  const char* serial = std::getenv("VUSB_SERIAL");
  if (serial != nullptr) {
    std::strncpy(config.serial, serial, sizeof config.serial - 1);
    config.serial[sizeof config.serial - 1] = '\0';
  }
  vft232r::reset(options);
  set_status_file(std::getenv("VUSB_STATUS"));
  status->kernel_driver = 1;
  status->released_us = status->closed_us = -1;
  publish(true);
}

void ensure() { pthread_once(&once, initialise); }

bool on_bus() { return vft232r::on_bus(now_us()); }

void log_event(int32_t kind, int32_t request, int32_t value, int32_t index, int32_t length, const unsigned char* data) {
  const vusb::Event e{now_us(), kind, request, value, index, length, data != nullptr && length > 0 ? data[0] : -1};
  if (status->event_count < vusb::first_events) status->first[status->event_count] = e;
  status->last[status->event_count % vusb::last_events] = e;
  ++status->event_count;
}

int usb_error(vft232r::Usb result) {
  if (result == vft232r::Usb::no_device) {
    ++status->no_device;
    return LIBUSB_ERROR_NO_DEVICE;
  }
  return result == vft232r::Usb::stall ? LIBUSB_ERROR_PIPE : LIBUSB_SUCCESS;
}

void finish(Pending& p, int result) {
  p.finished = true;
  p.finished_ns = virtual_ns.load();
  p.result = result;
  if (result == LIBUSB_TRANSFER_TIMED_OUT) ++status->timed_out;
  if (result == LIBUSB_TRANSFER_CANCELLED) ++status->cancelled;
  if (result == LIBUSB_TRANSFER_NO_DEVICE) ++status->no_device;
}

int64_t frame_end(int64_t t_ns) { return (t_ns / frame_ns + 1) * frame_ns; }

// The host has been told: the frame it finished in is over.
bool reported(const Pending& p) { return p.finished && virtual_ns.load() >= frame_end(p.finished_ns); }

// The bus carries one transaction at a time, and is free again at bus_free_ns. A transaction
// of n data bytes takes its share of the frame with 13 bytes of protocol overhead: 19 of 64
// bytes fill a frame (USB 2.0, table 5-9). The host controller tries the two endpoints in
// turn for as long as either has a transfer queued, and a try the device NAKs costs bus time
// too: an OUT packet goes out whole before the NAK, an IN token is answered by a NAK at once.
constexpr int bulk_overhead = 13;
int64_t transaction_ns(int bytes) {
  return frame_ns * (bytes + bulk_overhead) / (bulk_packets_per_frame * (packet_size + bulk_overhead));
}
int64_t bus_free_ns = 0;
bool bus_waiting = false;  // a transfer waits for the bus: the next try when it is free
bool prefer_in = false;
// Once each queued endpoint has been NAKed in turn, the tries go on alike until the device
// changes or the host queues or cancels something: rather than one event per try, the loop is
// remembered (tries from nak_from_ns, the first at the endpoint nak_first_in says, costing
// nak_first_ns and then nak_second_ns) and the try in progress when the next event comes is
// worked out from it.
bool nak_loop = false;
int naks_in_row = 0;
int64_t nak_from_ns = 0, nak_first_ns = 0, nak_second_ns = 0;
bool nak_first_in = false;

// The loop ends at t: the next try starts when the one in progress at t ends, at the endpoint
// whose turn that is.
void leave_nak_loop(int64_t t_ns) {
  if (!nak_loop) return;
  nak_loop = false;
  naks_in_row = 0;
  const int64_t period = nak_first_ns + nak_second_ns;
  const int64_t base = nak_from_ns + (t_ns > nak_from_ns ? (t_ns - nak_from_ns) / period * period : 0);
  if (t_ns <= base) {
    bus_free_ns = base;
    prefer_in = nak_first_in;
  } else if (t_ns <= base + nak_first_ns) {
    bus_free_ns = base + nak_first_ns;
    prefer_in = nak_second_ns > 0 ? !nak_first_in : nak_first_in;
  } else {
    bus_free_ns = base + period;
    prefer_in = nak_first_in;
  }
}

// One OUT packet; its size, 0 when the device NAKed it.
int move_out(Pending& p, double t) {
  libusb_transfer* x = p.transfer;
  int taken = 0;
  const int rest = x->length - x->actual_length;
  const vft232r::Usb r = vft232r::bulk_out(x->buffer + x->actual_length, rest < packet_size ? rest : packet_size, &taken, t);
  x->actual_length += taken;
  if (r == vft232r::Usb::no_device) finish(p, LIBUSB_TRANSFER_NO_DEVICE);
  else if (x->actual_length == x->length) finish(p, LIBUSB_TRANSFER_COMPLETED);
  return taken;
}

// One IN packet (up to the end of a short one or of the buffer); its size, 0 for a NAK.
int move_in(Pending& p, double t) {
  libusb_transfer* x = p.transfer;
  uint8_t packet[packet_size];
  int length = 0;
  const vft232r::Usb r = vft232r::bulk_in(packet, &length, t);
  if (r == vft232r::Usb::no_device) {
    finish(p, LIBUSB_TRANSFER_NO_DEVICE);
    return 0;
  }
  if (length == 0) return 0;
  const int room = x->length - x->actual_length;
  if (length > room) {
    finish(p, LIBUSB_TRANSFER_OVERFLOW);
    return length;
  }
  std::memcpy(x->buffer + x->actual_length, packet, static_cast<size_t>(length));
  x->actual_length += length;
  if (length < packet_size || x->actual_length == x->length) finish(p, LIBUSB_TRANSFER_COMPLETED);
  return length;
}

// The host controller at the current virtual time: the first unfinished transfer of each
// direction may move a packet (a later one waits its turn on the same endpoint), one
// transaction at a time on the bus.
void service() {
  const double t = now_us();
  const int64_t t_ns = virtual_ns.load();
  Pending* out = nullptr;
  Pending* in = nullptr;
  const bool present = vft232r::on_bus(t);
  for (Pending& p : pending) {
    if (p.finished) continue;
    if (p.cancel) {
      finish(p, LIBUSB_TRANSFER_CANCELLED);
    } else if (p.fails) {
      finish(p, LIBUSB_TRANSFER_ERROR);  // the host controller saw a bad packet
    } else if (!present) {
      finish(p, LIBUSB_TRANSFER_NO_DEVICE);
    } else if (p.transfer->endpoint == ep_out) {
      if (out == nullptr) out = &p;
    } else if (in == nullptr) {
      in = &p;
    }
  }
  leave_nak_loop(t_ns);
  if ((out != nullptr || in != nullptr) && t_ns >= bus_free_ns) {
    // One try: the endpoint whose turn it is, or the other when it has nothing queued.
    const bool try_in = in != nullptr && (prefer_in || out == nullptr);
    const bool both = in != nullptr && out != nullptr;
    const int in_nak_bytes = 0;
    const int out_rest = out != nullptr ? out->transfer->length - out->transfer->actual_length : 0;
    const int out_offered = out_rest < packet_size ? out_rest : packet_size;
    const int moved = try_in ? move_in(*in, t) : move_out(*out, t);
    const int64_t cost = transaction_ns(try_in ? moved : out_offered);
    bus_free_ns = t_ns + cost;
    prefer_in = !try_in;
    naks_in_row = moved > 0 ? 0 : naks_in_row + 1;
    const bool finished = try_in ? in->finished : out->finished;
    if (!finished && naks_in_row >= (both ? 2 : 1)) {
      nak_loop = true;
      nak_from_ns = bus_free_ns;
      nak_first_in = both ? !try_in : try_in;
      nak_first_ns = transaction_ns(nak_first_in ? in_nak_bytes : out_offered);
      nak_second_ns = both ? transaction_ns(nak_first_in ? out_offered : in_nak_bytes) : 0;
    }
  }
  bus_waiting = false;
  for (const Pending& p : pending) bus_waiting = bus_waiting || !p.finished;
  bus_waiting = bus_waiting && !nak_loop && t_ns < bus_free_ns;
  for (Pending& p : pending) {
    if (!p.finished && p.deadline_ns != 0 && t_ns >= p.deadline_ns) finish(p, LIBUSB_TRANSFER_TIMED_OUT);
  }
}

bool any_unfinished() {
  for (const Pending& p : pending) {
    if (!p.finished) return true;
  }
  return false;
}

bool any_unreported() {
  for (const Pending& p : pending) {
    if (p.finished && !reported(p)) return true;
  }
  return false;
}

// A finished transfer the host has been told of.
bool any_finished(const libusb_transfer* only) {
  for (const Pending& p : pending) {
    if (reported(p) && (only == nullptr ? !p.synchronous : p.transfer == only)) return true;
  }
  return false;
}

// The next time after now at which the bus could move: a device change or a transfer's timeout
// (-1 none).
int64_t next_event_ns() {
  const int64_t now = virtual_ns.load();
  int64_t next = -1;
  const double change = vft232r::next_change_us(now_us());
  if (change >= 0) {
    int64_t at = static_cast<int64_t>(std::ceil(change * 1000.0));
    if (at <= now) at = now + 1;
    next = at;
  }
  bool moving = false;
  for (const Pending& p : pending) {
    if (!p.finished && p.deadline_ns > now && (next < 0 || p.deadline_ns < next)) next = p.deadline_ns;
    if (p.finished && !reported(p) && (next < 0 || frame_end(p.finished_ns) < next)) next = frame_end(p.finished_ns);
    moving = moving || !p.finished;
  }
  // The bus busy with a transaction: the waiting transfers try again when it is free.
  if (moving && bus_waiting && bus_free_ns > now && (next < 0 || bus_free_ns < next)) next = bus_free_ns;
  return next;
}

// Lets the bus run until `until` (virtual ns), or until a transfer finishes when `stop` says
// which (nullptr: any with a callback; the address of a transfer: that one). Time ends at `until`
// unless it stopped early.
void run_bus(int64_t until, bool stop_at_finish, const libusb_transfer* stop) {
  service();
  while (any_unfinished() || any_unreported()) {
    if (stop_at_finish && any_finished(stop)) return;
    const int64_t next = next_event_ns();
    if (next < 0 || next > until) break;
    if (next > virtual_ns.load()) virtual_ns.store(next);
    service();
  }
  if (stop_at_finish && any_finished(stop)) return;
  if (until > virtual_ns.load()) virtual_ns.store(until);
  service();
}

// Callbacks of the transfers that have finished, in their order, outside any iteration.
void deliver() {
  std::vector<Pending> done;
  for (size_t i = 0; i < pending.size();) {
    if (reported(pending[i]) && !pending[i].synchronous) {
      done.push_back(pending[i]);
      pending.erase(pending.begin() + static_cast<std::ptrdiff_t>(i));
    } else {
      ++i;
    }
  }
  for (const Pending& p : done) {
    libusb_transfer* x = p.transfer;
    x->status = static_cast<libusb_transfer_status>(p.result);
    const bool free_after = (x->flags & LIBUSB_TRANSFER_FREE_TRANSFER) != 0;
    if (x->callback != nullptr) x->callback(x);
    if (free_after) libusb_free_transfer(x);
  }
}

int64_t ns_of(const timespec* t) { return static_cast<int64_t>(t->tv_sec) * 1000000000 + t->tv_nsec; }

void pass_time(int64_t ns) {
  std::lock_guard<std::recursive_mutex> lock(model_lock);
  const int64_t until = virtual_ns.load() + (ns > 0 ? ns : 0);
  if (any_unfinished() || any_unreported()) {
    run_bus(until, false, nullptr);
  } else if (until > virtual_ns.load()) {
    virtual_ns.store(until);
  }
  publish(false);
}

bool ours(libusb_device_handle* handle) {
  if (handle == &the_handle && the_handle.open > 0) return true;
  ++status->refused_real;
  return false;
}

int handle_events(const timeval* tv, int* completed) {
  ensure();
  std::lock_guard<std::recursive_mutex> lock(model_lock);
  if (completed != nullptr && *completed != 0) return 0;
  const int64_t now = virtual_ns.load();
  const int64_t wait = tv != nullptr ? static_cast<int64_t>(tv->tv_sec) * 1000000000 + tv->tv_usec * 1000LL
                                     : 60'000'000'000LL;
  if (wait > 0) {
    run_bus(now + wait, true, nullptr);
  } else if (any_unfinished() || any_unreported()) {
    // A caller that polls without waiting polls again: time runs on to the bus's next event.
    service();
    if (!any_finished(nullptr)) {
      const int64_t next = next_event_ns();
      run_bus(next > now ? next : now + 1000, true, nullptr);
    }
  } else {
    virtual_ns.fetch_add(1000);  // the poll itself
  }
  deliver();
  publish(false);
  return 0;
}

// One standard GET_DESCRIPTOR of a string, as the device's firmware answers it.
const char* string_of(uint8_t index) {
  switch (index) {
    case 1: return "FTDI";
    case 2: return "FT232R USB UART";
    case 3: return config.serial;
    default: return nullptr;
  }
}

int string_descriptor(uint8_t index, unsigned char* data, int length) {
  unsigned char d[2 + 2 * 64];
  int n = 0;
  if (index == 0) {
    d[0] = 4;
    d[1] = LIBUSB_DT_STRING;
    d[2] = 0x09;
    d[3] = 0x04;  // English (US)
    n = 4;
  } else {
    const char* text = string_of(index);
    if (text == nullptr) return LIBUSB_ERROR_PIPE;
    const int chars = static_cast<int>(std::strlen(text));
    for (int i = 0; i < chars; ++i) {
      d[2 + 2 * i] = static_cast<unsigned char>(text[i]);
      d[3 + 2 * i] = 0;
    }
    n = 2 + 2 * chars;
    d[0] = static_cast<unsigned char>(n);
    d[1] = LIBUSB_DT_STRING;
  }
  if (n > length) n = length;
  std::memcpy(data, d, static_cast<size_t>(n));
  return n;
}

libusb_device_descriptor device_descriptor() {
  libusb_device_descriptor d{};
  d.bLength = LIBUSB_DT_DEVICE_SIZE;
  d.bDescriptorType = LIBUSB_DT_DEVICE;
  d.bcdUSB = 0x0200;
  d.bMaxPacketSize0 = 8;
  d.idVendor = 0x0403;
  d.idProduct = 0x6001;
  d.bcdDevice = config.release;
  d.iManufacturer = 1;
  d.iProduct = 2;
  d.iSerialNumber = 3;
  d.bNumConfigurations = 1;
  return d;
}

struct ConfigBlock {
  libusb_config_descriptor config;  // first: the pointer handed out is the block's
  libusb_interface interface;
  libusb_interface_descriptor setting;
  libusb_endpoint_descriptor endpoints[2];
};

}  // namespace

// ---- contexts and the device list ----------------------------------------------------------

VUSB_EXPORT int libusb_init(libusb_context** ctx) {
  ensure();
  std::lock_guard<std::recursive_mutex> lock(model_lock);
  ++the_context.refs;
  ++status->inits;
  if (ctx != nullptr) *ctx = &the_context;
  return 0;
}

VUSB_EXPORT void libusb_exit(libusb_context*) {
  ensure();
  std::lock_guard<std::recursive_mutex> lock(model_lock);
  if (the_context.refs > 0) --the_context.refs;
  ++status->exits;
  publish(true);
}

VUSB_EXPORT void libusb_set_debug(libusb_context*, int) {}
VUSB_EXPORT int libusb_set_option(libusb_context*, enum libusb_option, ...) { return 0; }

VUSB_EXPORT ssize_t libusb_get_device_list(libusb_context*, libusb_device*** list) {
  ensure();
  std::lock_guard<std::recursive_mutex> lock(model_lock);
  auto** devices = static_cast<libusb_device**>(std::calloc(2, sizeof(libusb_device*)));
  if (devices == nullptr) return LIBUSB_ERROR_NO_MEM;
  ssize_t count = 0;
  if (on_bus()) {
    devices[count++] = &the_device;
    ++the_device.refs;
  }
  *list = devices;
  return count;
}

VUSB_EXPORT void libusb_free_device_list(libusb_device** list, int unref_devices) {
  if (list == nullptr) return;
  std::lock_guard<std::recursive_mutex> lock(model_lock);
  if (unref_devices != 0) {
    for (libusb_device** d = list; *d != nullptr; ++d) --(*d)->refs;
  }
  std::free(list);
}

VUSB_EXPORT libusb_device* libusb_ref_device(libusb_device* dev) {
  std::lock_guard<std::recursive_mutex> lock(model_lock);
  ++dev->refs;
  return dev;
}
VUSB_EXPORT void libusb_unref_device(libusb_device* dev) {
  std::lock_guard<std::recursive_mutex> lock(model_lock);
  if (dev != nullptr) --dev->refs;
}

VUSB_EXPORT uint8_t libusb_get_bus_number(libusb_device*) { return config.bus; }
VUSB_EXPORT uint8_t libusb_get_device_address(libusb_device*) { return config.address; }
VUSB_EXPORT uint8_t libusb_get_port_number(libusb_device*) { return 1; }
VUSB_EXPORT int libusb_get_port_numbers(libusb_device*, uint8_t* numbers, int length) {
  if (length < 1) return LIBUSB_ERROR_OVERFLOW;
  numbers[0] = 1;
  return 1;
}
VUSB_EXPORT int libusb_get_device_speed(libusb_device*) { return LIBUSB_SPEED_FULL; }
VUSB_EXPORT libusb_device* libusb_get_device(libusb_device_handle*) { return &the_device; }

VUSB_EXPORT int libusb_get_device_descriptor(libusb_device* dev, libusb_device_descriptor* desc) {
  ensure();
  if (dev != &the_device) return LIBUSB_ERROR_NO_DEVICE;
  *desc = device_descriptor();
  return 0;
}

VUSB_EXPORT int libusb_get_config_descriptor(libusb_device* dev, uint8_t index, libusb_config_descriptor** config_out) {
  ensure();
  if (dev != &the_device) return LIBUSB_ERROR_NO_DEVICE;
  if (index != 0) return LIBUSB_ERROR_NOT_FOUND;
  auto* b = new (std::nothrow) ConfigBlock{};
  if (b == nullptr) return LIBUSB_ERROR_NO_MEM;
  for (int i = 0; i < 2; ++i) {
    libusb_endpoint_descriptor& e = b->endpoints[i];
    e.bLength = LIBUSB_DT_ENDPOINT_SIZE;
    e.bDescriptorType = LIBUSB_DT_ENDPOINT;
    e.bEndpointAddress = i == 0 ? ep_in : ep_out;
    e.bmAttributes = LIBUSB_TRANSFER_TYPE_BULK;
    e.wMaxPacketSize = packet_size;
  }
  b->setting.bLength = LIBUSB_DT_INTERFACE_SIZE;
  b->setting.bDescriptorType = LIBUSB_DT_INTERFACE;
  b->setting.bNumEndpoints = 2;
  b->setting.bInterfaceClass = 0xFF;
  b->setting.bInterfaceSubClass = 0xFF;
  b->setting.bInterfaceProtocol = 0xFF;
  b->setting.iInterface = 2;
  b->setting.endpoint = b->endpoints;
  b->interface.altsetting = &b->setting;
  b->interface.num_altsetting = 1;
  b->config.bLength = LIBUSB_DT_CONFIG_SIZE;
  b->config.bDescriptorType = LIBUSB_DT_CONFIG;
  b->config.wTotalLength = LIBUSB_DT_CONFIG_SIZE + LIBUSB_DT_INTERFACE_SIZE + 2 * LIBUSB_DT_ENDPOINT_SIZE;
  b->config.bNumInterfaces = 1;
  b->config.bConfigurationValue = 1;
  b->config.bmAttributes = 0xA0;
  b->config.MaxPower = 45;  // 90 mA
  b->config.interface = &b->interface;
  *config_out = &b->config;
  return 0;
}

VUSB_EXPORT int libusb_get_active_config_descriptor(libusb_device* dev, libusb_config_descriptor** config_out) {
  return libusb_get_config_descriptor(dev, 0, config_out);
}

VUSB_EXPORT void libusb_free_config_descriptor(libusb_config_descriptor* config_in) {
  delete reinterpret_cast<ConfigBlock*>(config_in);
}

VUSB_EXPORT int libusb_get_max_packet_size(libusb_device*, unsigned char endpoint) {
  return endpoint == ep_in || endpoint == ep_out ? packet_size : LIBUSB_ERROR_NOT_FOUND;
}

// ---- handles and the interface ---------------------------------------------------------------

VUSB_EXPORT int libusb_open(libusb_device* dev, libusb_device_handle** handle) {
  ensure();
  std::lock_guard<std::recursive_mutex> lock(model_lock);
  if (dev != &the_device) {
    ++status->refused_real;
    return LIBUSB_ERROR_NO_DEVICE;
  }
  if (!on_bus()) {
    ++status->no_device;
    return LIBUSB_ERROR_NO_DEVICE;
  }
  ++the_handle.open;
  status->handles_open = the_handle.open;
  *handle = &the_handle;
  publish(true);
  return 0;
}

VUSB_EXPORT void libusb_close(libusb_device_handle* handle) {
  ensure();
  std::lock_guard<std::recursive_mutex> lock(model_lock);
  if (handle != &the_handle || the_handle.open == 0) return;
  --the_handle.open;
  status->handles_open = the_handle.open;
  if (the_handle.open == 0) {
    // usbfs lets go of a claimed interface when the device file closes.
    status->claimed = 0;
    status->closed_us = now_us();
  }
  publish(true);
}

VUSB_EXPORT int libusb_get_configuration(libusb_device_handle* handle, int* configuration) {
  ensure();
  if (!ours(handle)) return LIBUSB_ERROR_NO_DEVICE;
  if (!on_bus()) return LIBUSB_ERROR_NO_DEVICE;
  *configuration = 1;
  return 0;
}

VUSB_EXPORT int libusb_set_configuration(libusb_device_handle* handle, int configuration) {
  ensure();
  if (!ours(handle)) return LIBUSB_ERROR_NO_DEVICE;
  if (!on_bus()) return LIBUSB_ERROR_NO_DEVICE;
  // Changing it while ftdi_sio is bound is refused, as the kernel does.
  if (configuration != 1) return status->kernel_driver != 0 ? LIBUSB_ERROR_BUSY : LIBUSB_ERROR_NOT_FOUND;
  return 0;
}

VUSB_EXPORT int libusb_set_auto_detach_kernel_driver(libusb_device_handle* handle, int enable) {
  ensure();
  if (!ours(handle)) return LIBUSB_ERROR_NO_DEVICE;
  auto_detach = enable != 0;
  return 0;
}

VUSB_EXPORT int libusb_kernel_driver_active(libusb_device_handle* handle, int interface_number) {
  ensure();
  if (!ours(handle)) return LIBUSB_ERROR_NO_DEVICE;
  if (interface_number != 0) return LIBUSB_ERROR_NOT_FOUND;
  return status->kernel_driver;
}

VUSB_EXPORT int libusb_detach_kernel_driver(libusb_device_handle* handle, int interface_number) {
  ensure();
  std::lock_guard<std::recursive_mutex> lock(model_lock);
  if (!ours(handle)) return LIBUSB_ERROR_NO_DEVICE;
  if (!on_bus()) return LIBUSB_ERROR_NO_DEVICE;
  if (interface_number != 0 || status->kernel_driver == 0) return LIBUSB_ERROR_NOT_FOUND;
  status->kernel_driver = 0;
  ++status->detaches;
  return 0;
}

VUSB_EXPORT int libusb_attach_kernel_driver(libusb_device_handle* handle, int interface_number) {
  ensure();
  std::lock_guard<std::recursive_mutex> lock(model_lock);
  if (!ours(handle)) return LIBUSB_ERROR_NO_DEVICE;
  if (!on_bus()) return LIBUSB_ERROR_NO_DEVICE;
  if (interface_number != 0) return LIBUSB_ERROR_NOT_FOUND;
  if (status->claimed != 0 || status->kernel_driver != 0) return LIBUSB_ERROR_BUSY;
  status->kernel_driver = 1;
  ++status->reattaches;
  return 0;
}

VUSB_EXPORT int libusb_claim_interface(libusb_device_handle* handle, int interface_number) {
  ensure();
  std::lock_guard<std::recursive_mutex> lock(model_lock);
  if (!ours(handle)) return LIBUSB_ERROR_NO_DEVICE;
  if (!on_bus()) return LIBUSB_ERROR_NO_DEVICE;
  if (interface_number != 0) return LIBUSB_ERROR_NOT_FOUND;
  if (status->kernel_driver != 0) {
    if (!auto_detach) return LIBUSB_ERROR_BUSY;
    status->kernel_driver = 0;
    ++status->detaches;
  }
  status->claimed = 1;
  publish(true);
  return 0;
}

VUSB_EXPORT int libusb_release_interface(libusb_device_handle* handle, int interface_number) {
  ensure();
  std::lock_guard<std::recursive_mutex> lock(model_lock);
  if (!ours(handle)) return LIBUSB_ERROR_NO_DEVICE;
  if (interface_number != 0 || status->claimed == 0) return LIBUSB_ERROR_NOT_FOUND;
  status->claimed = 0;
  status->released_us = now_us();
  const bool present = on_bus();
  if (auto_detach && present && status->kernel_driver == 0) {
    status->kernel_driver = 1;
    ++status->reattaches;
  }
  publish(true);
  return present ? 0 : LIBUSB_ERROR_NO_DEVICE;
}

VUSB_EXPORT int libusb_reset_device(libusb_device_handle* handle) {
  ensure();
  if (!ours(handle)) return LIBUSB_ERROR_NO_DEVICE;
  return on_bus() ? 0 : LIBUSB_ERROR_NO_DEVICE;
}

VUSB_EXPORT int libusb_clear_halt(libusb_device_handle* handle, unsigned char) {
  ensure();
  if (!ours(handle)) return LIBUSB_ERROR_NO_DEVICE;
  return on_bus() ? 0 : LIBUSB_ERROR_NO_DEVICE;
}

// ---- transfers -----------------------------------------------------------------------------

VUSB_EXPORT int libusb_control_transfer(libusb_device_handle* handle, uint8_t request_type, uint8_t request,
                                        uint16_t value, uint16_t index, unsigned char* data, uint16_t length,
                                        unsigned int) {
  ensure();
  std::lock_guard<std::recursive_mutex> lock(model_lock);
  if (!ours(handle)) return LIBUSB_ERROR_NO_DEVICE;
  ++status->control_transfers;
  // The request takes a frame; the bulk transfers in flight go on meanwhile.
  run_bus(virtual_ns.load() + config.control_ns, false, nullptr);
  int result = 0;
  if (!on_bus()) {
    result = usb_error(vft232r::Usb::no_device);
  } else if (request_type == (LIBUSB_ENDPOINT_IN | LIBUSB_REQUEST_TYPE_STANDARD) &&
             request == LIBUSB_REQUEST_GET_DESCRIPTOR) {
    const uint8_t type = static_cast<uint8_t>(value >> 8);
    if (type == LIBUSB_DT_STRING) {
      result = string_descriptor(static_cast<uint8_t>(value & 0xFF), data, length);
    } else if (type == LIBUSB_DT_DEVICE) {
      const libusb_device_descriptor d = device_descriptor();
      result = length < sizeof d ? length : static_cast<int>(sizeof d);
      std::memcpy(data, &d, static_cast<size_t>(result));
    } else {
      result = LIBUSB_ERROR_PIPE;
    }
  } else {
    const bool in = (request_type & LIBUSB_ENDPOINT_IN) != 0;
    log_event(in ? vusb::event_control_in : vusb::event_control_out, request, value, index, length,
              in ? nullptr : data);
    int transferred = 0;
    const vft232r::Usb r = vft232r::control(request_type, request, value, index, data, length, &transferred, now_us());
    result = r == vft232r::Usb::ok ? transferred : usb_error(r);
  }
  publish(true);
  return result;
}

VUSB_EXPORT int libusb_get_string_descriptor_ascii(libusb_device_handle* handle, uint8_t index, unsigned char* data,
                                                   int length) {
  ensure();
  if (length <= 0) return LIBUSB_ERROR_INVALID_PARAM;
  unsigned char d[255];
  const int n = libusb_control_transfer(handle, LIBUSB_ENDPOINT_IN, LIBUSB_REQUEST_GET_DESCRIPTOR,
                                        static_cast<uint16_t>((LIBUSB_DT_STRING << 8) | index), 0x0409, d,
                                        sizeof d, 1000);
  if (n < 0) return n;
  if (index == 0 || n < 2) return LIBUSB_ERROR_IO;
  int out = 0;
  for (int i = 2; i + 1 < n && out < length - 1; i += 2) data[out++] = d[i + 1] == 0 && d[i] < 0x80 ? d[i] : '?';
  data[out] = '\0';
  return out;
}

VUSB_EXPORT libusb_transfer* libusb_alloc_transfer(int iso_packets) {
  const size_t size = sizeof(libusb_transfer) + static_cast<size_t>(iso_packets) * sizeof(libusb_iso_packet_descriptor);
  return static_cast<libusb_transfer*>(std::calloc(1, size));
}

VUSB_EXPORT void libusb_free_transfer(libusb_transfer* transfer) {
  if (transfer == nullptr) return;
  std::lock_guard<std::recursive_mutex> lock(model_lock);
  for (const Pending& p : pending) {
    if (p.transfer == transfer) return;  // still libusb's: freeing it would be a fault of the caller
  }
  if ((transfer->flags & LIBUSB_TRANSFER_FREE_BUFFER) != 0) std::free(transfer->buffer);
  std::free(transfer);
}

namespace {
int submit(libusb_transfer* x, bool synchronous) {
  if (!ours(x->dev_handle)) return LIBUSB_ERROR_NO_DEVICE;
  if (x->type != LIBUSB_TRANSFER_TYPE_BULK || (x->endpoint != ep_in && x->endpoint != ep_out)) {
    return LIBUSB_ERROR_NOT_SUPPORTED;
  }
  for (const Pending& p : pending) {
    if (p.transfer == x) return LIBUSB_ERROR_BUSY;
  }
  if (!on_bus()) {
    ++status->no_device;
    return LIBUSB_ERROR_NO_DEVICE;
  }
  if (status->claimed == 0) return LIBUSB_ERROR_NOT_FOUND;
  ++status->submitted;
  if (x->endpoint == ep_out) log_event(vusb::event_bulk_out, 0, 0, 0, x->length, x->buffer);
  x->actual_length = 0;
  const int64_t deadline = x->timeout != 0 ? virtual_ns.load() + static_cast<int64_t>(x->timeout) * 1000000 : 0;
  bool fails = false;
  if (x->endpoint == ep_in && !synchronous) fails = ++in_submitted == config.fail_in_transfer;
  pending.push_back(Pending{x, deadline, false, 0, 0, false, synchronous, fails});
  service();
  return 0;
}
}  // namespace

VUSB_EXPORT int libusb_submit_transfer(libusb_transfer* transfer) {
  ensure();
  std::lock_guard<std::recursive_mutex> lock(model_lock);
  return submit(transfer, false);
}

VUSB_EXPORT int libusb_cancel_transfer(libusb_transfer* transfer) {
  ensure();
  std::lock_guard<std::recursive_mutex> lock(model_lock);
  for (Pending& p : pending) {
    if (p.transfer == transfer && !p.finished) {
      p.cancel = true;
      service();
      return 0;
    }
  }
  return LIBUSB_ERROR_NOT_FOUND;
}

VUSB_EXPORT int libusb_bulk_transfer(libusb_device_handle* handle, unsigned char endpoint, unsigned char* data,
                                     int length, int* transferred, unsigned int timeout) {
  ensure();
  std::lock_guard<std::recursive_mutex> lock(model_lock);
  libusb_transfer x{};
  x.dev_handle = handle;
  x.endpoint = endpoint;
  x.type = LIBUSB_TRANSFER_TYPE_BULK;
  x.timeout = timeout;
  x.buffer = data;
  x.length = length;
  const int submitted = submit(&x, true);
  if (submitted != 0) return submitted;
  // Blocks until it is done; with no timeout, a device that will never move ends it as one would.
  for (;;) {
    if (any_finished(&x)) break;
    const int64_t next = next_event_ns();
    if (next < 0) break;
    run_bus(next, true, &x);
  }
  int result = LIBUSB_ERROR_TIMEOUT;
  for (size_t i = 0; i < pending.size(); ++i) {
    if (pending[i].transfer != &x) continue;
    const int r = reported(pending[i]) ? pending[i].result : LIBUSB_TRANSFER_TIMED_OUT;
    result = r == LIBUSB_TRANSFER_COMPLETED  ? 0
             : r == LIBUSB_TRANSFER_NO_DEVICE ? LIBUSB_ERROR_NO_DEVICE
             : r == LIBUSB_TRANSFER_OVERFLOW  ? LIBUSB_ERROR_OVERFLOW
             : r == LIBUSB_TRANSFER_TIMED_OUT ? LIBUSB_ERROR_TIMEOUT
                                              : LIBUSB_ERROR_IO;
    pending.erase(pending.begin() + static_cast<std::ptrdiff_t>(i));
    break;
  }
  if (transferred != nullptr) *transferred = x.actual_length;
  publish(false);
  return result;
}

VUSB_EXPORT int libusb_handle_events_timeout_completed(libusb_context*, timeval* tv, int* completed) {
  return handle_events(tv, completed);
}
VUSB_EXPORT int libusb_handle_events_timeout(libusb_context*, timeval* tv) { return handle_events(tv, nullptr); }
VUSB_EXPORT int libusb_handle_events(libusb_context*) { return handle_events(nullptr, nullptr); }
VUSB_EXPORT int libusb_handle_events_completed(libusb_context*, int* completed) {
  return handle_events(nullptr, completed);
}

VUSB_EXPORT const char* libusb_error_name(int code) {
  switch (code) {
    case LIBUSB_SUCCESS: return "LIBUSB_SUCCESS";
    case LIBUSB_ERROR_IO: return "LIBUSB_ERROR_IO";
    case LIBUSB_ERROR_NO_DEVICE: return "LIBUSB_ERROR_NO_DEVICE";
    case LIBUSB_ERROR_NOT_FOUND: return "LIBUSB_ERROR_NOT_FOUND";
    case LIBUSB_ERROR_BUSY: return "LIBUSB_ERROR_BUSY";
    case LIBUSB_ERROR_TIMEOUT: return "LIBUSB_ERROR_TIMEOUT";
    case LIBUSB_ERROR_PIPE: return "LIBUSB_ERROR_PIPE";
    default: return "LIBUSB_ERROR_OTHER";
  }
}
VUSB_EXPORT const char* libusb_strerror(int code) { return libusb_error_name(code); }

// ---- virtual time ----------------------------------------------------------------------------

namespace {
bool monotonic(clockid_t clock) {
  return clock == CLOCK_MONOTONIC || clock == CLOCK_MONOTONIC_RAW || clock == CLOCK_MONOTONIC_COARSE ||
         clock == CLOCK_BOOTTIME;
}
}  // namespace

VUSB_EXPORT int clock_gettime(clockid_t clock, timespec* now) {
  ensure();
  if (!monotonic(clock)) return real.clock_gettime(clock, now);
  pass_time(static_cast<int64_t>(config.clock_step_us * 1000.0));
  const int64_t ns = base_ns + virtual_ns.load();
  now->tv_sec = static_cast<time_t>(ns / 1000000000);
  now->tv_nsec = static_cast<long>(ns % 1000000000);
  return 0;
}

VUSB_EXPORT int nanosleep(const timespec* request, timespec* remaining) {
  ensure();
  pass_time(ns_of(request));
  if (remaining != nullptr) *remaining = timespec{};
  sched_yield();
  return 0;
}

VUSB_EXPORT int clock_nanosleep(clockid_t clock, int flags, const timespec* request, timespec* remaining) {
  ensure();
  if (!monotonic(clock)) return real.clock_nanosleep(clock, flags, request, remaining);
  const int64_t ns = (flags & TIMER_ABSTIME) != 0 ? ns_of(request) - base_ns - virtual_ns.load() : ns_of(request);
  pass_time(ns);
  if (remaining != nullptr) *remaining = timespec{};
  sched_yield();
  return 0;
}

// Whatever way the process ends normally, the status holds the flash as it was left.
__attribute__((destructor)) static void final_publish() {
  std::lock_guard<std::recursive_mutex> lock(model_lock);
  if (status != &local_status) publish(true);
}
