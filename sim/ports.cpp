// Serial ports and the passive adapter: RTS powers the target and comes back on DSR, DTR is
// the clock, the break drives the data line high, CTS reads the data line. Also the CTS
// change notification, evaluated lazily at every serial call.
#include "sim/state.h"

namespace sim::detail {

namespace {

struct Port {
  PortKind kind;
  bool open;
  platform::SerialHandle handle;
  bool rts, dtr, brk;
  uint32_t mask;
  // CTS notification: armed, and the line level and time of the last look at it.
  bool armed;
  bool seen_level;
  double seen_time;
  platform::Dcb dcb;  // the device-control block last applied
};

std::array<Port, 100> ports;
platform::SerialHandle next_handle = 4;
int chip_port = 0;  // the adapter port whose RTS powers the chip (0 = none)
volatile uint32_t event_word = 0;
bool event_exists = false;
bool wait_immediately = false;

// The last handle looked up, so that the hot path does not search.
Port* cached_port = nullptr;
platform::SerialHandle cached_handle = platform::no_serial;

int port_number(const Port* p) { return static_cast<int>(p - ports.data()); }

Port* find(platform::SerialHandle h) {
  if (cached_port != nullptr && cached_handle == h && cached_port->open) return cached_port;
  if (h == platform::no_serial) return nullptr;
  for (Port& p : ports) {
    if (p.open && p.handle == h) {
      cached_port = &p;
      cached_handle = h;
      return &p;
    }
  }
  return nullptr;
}

bool data_line_high(const Port& p, double t) {
  if (p.kind != PortKind::adapter) return false;
  if (p.brk) return true;
  return chip_port == port_number(&p) && chip_drives_high(t);
}

// Before a call acts: any change of the line since the last look, including a timed fall
// that happened (and perhaps rose again) between two calls, completes the pending wait.
void look_before(Port& p, double t) {
  double fall = chip_timed_fall();
  bool level = data_line_high(p, t);
  if (level != p.seen_level || (fall > p.seen_time && fall <= t)) {
    event_word = platform::EV_CTS;
    p.armed = false;
  }
  p.seen_level = level;
  p.seen_time = t;
}

void look_after(Port& p, double t) {
  bool level = data_line_high(p, t);
  if (level != p.seen_level) {
    event_word = platform::EV_CTS;
    p.armed = false;
  }
  p.seen_level = level;
}

// Common start of every serial call: cost, counters, injected failure, handle. Returns the
// port, or nullptr with the last error set.
Port* begin_call(sim::Call kind, platform::SerialHandle h, uint32_t escape_function = 0) {
  charge_call();
  ++counter_values.serial_calls;
  if (kind == sim::Call::escape)
    ++counter_values.escape_calls;
  else if (kind == sim::Call::modem_status)
    ++counter_values.modem_status_calls;
  else
    ++counter_values.other_serial_calls;
  uint32_t error;
  if (call_fault(kind, true, escape_function, &error)) {
    set_error(error);
    return nullptr;
  }
  Port* p = find(h);
  if (p == nullptr) {
    set_error(platform::err::invalid_handle);
    return nullptr;
  }
  // A port taken away while open (set_port to absent): the device is gone, only closing works.
  if (p->kind == PortKind::absent && kind != sim::Call::close) {
    set_error(platform::err::device_not_connected);
    return nullptr;
  }
  if (p->armed) look_before(*p, time_us());
  return p;
}

void set_power(Port& p, bool on, double t) {
  int n = port_number(&p);
  if (on) {
    if (chip_port == 0 || !chip_powered()) {
      chip_port = n;
      chip_power(true, t);
    }
  } else if (chip_port == n) {
    chip_power(false, t);
    chip_port = 0;
  }
}

// "COM1".."COM9" as DOS device names, any COM number behind the device namespace prefix.
int parse_path(const char16_t* path) {
  if (path == nullptr) return 0;
  bool prefixed = path[0] == u'\\' && path[1] == u'\\' && path[2] == u'.' && path[3] == u'\\';
  const char16_t* s = prefixed ? path + 4 : path;
  if ((s[0] | 0x20) != u'c' || (s[1] | 0x20) != u'o' || (s[2] | 0x20) != u'm') return 0;
  s += 3;
  if (*s < u'1' || *s > u'9') return 0;
  int n = 0;
  for (; *s >= u'0' && *s <= u'9'; ++s) {
    n = n * 10 + (*s - u'0');
    if (n > 255) return 0;
  }
  if (*s != 0) return 0;
  if (!prefixed && n > 9) return 0;
  return n;
}

}  // namespace

void ports_reset() {
  for (Port& p : ports) p = Port{PortKind::absent, false, platform::no_serial, false, false,
                                 false, 0, false, false, 0.0, platform::Dcb{}};
  ports[1].kind = PortKind::adapter;
  next_handle = 4;
  chip_port = 0;
  event_word = 0;
  event_exists = false;
  wait_immediately = false;
  cached_port = nullptr;
  cached_handle = platform::no_serial;
}

}  // namespace sim::detail

namespace sim {

using namespace detail;

void set_port(int com, PortKind kind) {
  if (com < 1 || com > 99) return;
  // Unplugging the adapter takes the target's supply with it.
  if (kind != PortKind::adapter && chip_port == com) set_power(ports[com], false, time_us());
  ports[com].kind = kind;
}

void clear_ports() {
  for (int n = 1; n <= 99; ++n) {
    if (ports[n].open && chip_port == n) set_power(ports[n], false, time_us());
    ports[n].kind = PortKind::absent;
    ports[n].open = false;
  }
  cached_port = nullptr;
}

LineState line_state(int com) {
  if (com < 1 || com > 99) return LineState{false, false, false, false, false};
  const Port& p = ports[com];
  return LineState{p.open, p.rts, p.dtr, p.brk, chip_port == com && chip_powered()};
}

platform::Dcb applied_dcb(int com) {
  if (com < 1 || com > 99) return platform::Dcb{};
  return ports[com].dcb;
}

int open_port_count() {
  int count = 0;
  for (const Port& p : ports) count += p.open ? 1 : 0;
  return count;
}

void devmap_from_ports() {
  std::vector<DevmapEntry> list;
  for (int n = 1; n <= 99; ++n) {
    if (ports[n].kind == PortKind::absent) continue;
    std::u16string name = u"\\Device\\Serial";
    std::u16string text = u"COM";
    for (char c : std::to_string(n - 1)) name += static_cast<char16_t>(c);
    for (char c : std::to_string(n)) text += static_cast<char16_t>(c);
    list.push_back(devmap_text(name, text));
  }
  set_devmap(list);
}

void set_wait_completes_immediately(bool on) { wait_immediately = on; }

}  // namespace sim

namespace platform {

using namespace sim::detail;

SerialHandle serial_open(const char16_t* path) {
  charge_call();
  ++counter_values.serial_calls;
  ++counter_values.other_serial_calls;
  uint32_t error;
  if (call_fault(sim::Call::open, true, 0, &error)) {
    set_error(error);
    return no_serial;
  }
  int n = parse_path(path);
  if (n < 1 || n > 99 || ports[n].kind == sim::PortKind::absent) {
    set_error(err::file_not_found);
    return no_serial;
  }
  Port& p = ports[n];
  if (p.kind == sim::PortKind::busy || p.open) {
    set_error(err::access_denied);
    return no_serial;
  }
  // Opened with DTR and RTS off, as configuring leaves them, and no break.
  set_power(p, false, time_us());
  p.open = true;
  p.handle = next_handle++;
  p.rts = p.dtr = p.brk = false;
  p.mask = 0;
  p.armed = false;
  return p.handle;
}

const char* serial_open_detail() { return ""; }

bool serial_clear_errors(SerialHandle h) { return begin_call(sim::Call::clear_errors, h) != nullptr; }

namespace {

bool parse_number(const char16_t*& s, uint32_t* value) {
  if (*s < u'0' || *s > u'9') return false;
  uint32_t v = 0;
  for (; *s >= u'0' && *s <= u'9'; ++s) {
    v = v * 10 + static_cast<uint32_t>(*s - u'0');
    if (v > 10'000'000) return false;
  }
  *value = v;
  return true;
}

void skip_blanks(const char16_t*& s) {
  while (*s == u' ') ++s;
}

// The mode command's form "baud[,parity[,data[,stop[,handshake]]]]".
bool parse_mode(const char16_t* s, Dcb* dcb) {
  uint32_t baud, data = 7, stop_code = 0;
  uint8_t parity = 2;  // even, the mode command's default
  char16_t handshake = 0;
  skip_blanks(s);
  if (!parse_number(s, &baud) || baud == 0) return false;
  skip_blanks(s);
  if (*s == u',') {
    ++s;
    skip_blanks(s);
    switch (*s | 0x20) {
      case u'n': parity = 0; ++s; break;
      case u'o': parity = 1; ++s; break;
      case u'e': parity = 2; ++s; break;
      case u'm': parity = 3; ++s; break;
      case u's': parity = 4; ++s; break;
      default: if (*s != u',') return false;
    }
    skip_blanks(s);
    if (*s == u',') {
      ++s;
      skip_blanks(s);
      if (*s != u',') {
        if (!parse_number(s, &data) || data < 5 || data > 8) return false;
      }
      skip_blanks(s);
      if (*s == u',') {
        ++s;
        skip_blanks(s);
        if (s[0] == u'1' && s[1] == u'.' && s[2] == u'5') {
          stop_code = 1;
          s += 3;
        } else if (*s == u'1' || *s == u'2') {
          stop_code = *s == u'1' ? 0 : 2;
          ++s;
        } else if (*s != u',' && *s != 0) {
          return false;
        }
        skip_blanks(s);
        if (*s == u',') {
          ++s;
          skip_blanks(s);
          if ((*s | 0x20) == u'x' || (*s | 0x20) == u'p') handshake = static_cast<char16_t>(*s++ | 0x20);
        }
      }
    }
  }
  skip_blanks(s);
  if (*s != 0) return false;
  dcb->BaudRate = baud;
  dcb->Parity = parity;
  dcb->ByteSize = static_cast<uint8_t>(data);
  dcb->StopBits = static_cast<uint8_t>(stop_code);
  if (parity != 0) dcb->flags |= 0x0002;
  // As Windows fills the handshake: no suffix enables DTR and RTS, "x" adds XON/XOFF, "p"
  // hands both lines and CTS/DSR to hardware flow control. The tool must clear all of it.
  constexpr uint32_t cts_flow = 1u << 2, dsr_flow = 1u << 3, out_x = 1u << 8, in_x = 1u << 9;
  constexpr uint32_t dtr_enable = 1u << 4, dtr_handshake = 2u << 4;
  constexpr uint32_t rts_enable = 1u << 12, rts_handshake = 2u << 12;
  dcb->flags &= ~(cts_flow | dsr_flow | out_x | in_x | (3u << 4) | (3u << 12));
  if (handshake == u'p') {
    dcb->flags |= cts_flow | dsr_flow | dtr_handshake | rts_handshake;
  } else {
    dcb->flags |= dtr_enable | rts_enable | (handshake == u'x' ? out_x | in_x : 0u);
  }
  return true;
}

}  // namespace

bool serial_build_dcb(const char16_t* mode, Dcb* dcb) {
  charge_call();
  ++counter_values.serial_calls;
  ++counter_values.other_serial_calls;
  uint32_t error;
  if (call_fault(sim::Call::build_dcb, true, 0, &error)) {
    set_error(error);
    return false;
  }
  if (mode == nullptr || dcb == nullptr || !parse_mode(mode, dcb)) {
    set_error(err::invalid_parameter);
    return false;
  }
  return true;
}

bool serial_set_state(SerialHandle h, const Dcb& dcb) {
  Port* p = begin_call(sim::Call::set_state, h);
  if (p == nullptr) return false;
  if (dcb.BaudRate == 0 || dcb.ByteSize < 5 || dcb.ByteSize > 8 || dcb.StopBits > 2 ||
      dcb.Parity > 4) {
    set_error(err::invalid_parameter);
    return false;
  }
  p->dcb = dcb;
  return true;
}

bool serial_purge(SerialHandle h, uint32_t flags) {
  Port* p = begin_call(sim::Call::purge, h);
  if (p == nullptr) return false;
  if ((flags & ~purge_all) != 0) {
    set_error(err::invalid_parameter);
    return false;
  }
  return true;
}

bool serial_close(SerialHandle h) {
  Port* p = begin_call(sim::Call::close, h);
  if (p == nullptr) return false;
  // The outputs stay as they were last switched, so that a test sees whether the tool itself
  // powered the target off before closing; the next open clears them.
  p->open = false;
  p->armed = false;
  p->handle = no_serial;
  cached_port = nullptr;
  return true;
}

bool serial_escape(SerialHandle h, uint32_t function) {
  Port* p = begin_call(sim::Call::escape, h, function);
  if (p == nullptr) return false;
  double t = time_us();
  if (trace_on) trace_entries.push_back({sim::TraceEntry::escape, function, t});
  bool adapter = p->kind == sim::PortKind::adapter;
  switch (function) {
    case SETRTS:
      p->rts = true;
      if (adapter) set_power(*p, true, t);
      break;
    case CLRRTS:
      p->rts = false;
      if (adapter) set_power(*p, false, t);
      break;
    case SETDTR:
      if (!p->dtr) {
        ++counter_values.clock_pulses;
        if (adapter && chip_port == port_number(p))
          chip_clock_rise(p->brk, data_line_high(*p, t), t);
      }
      p->dtr = true;
      break;
    case CLRDTR:
      p->dtr = false;
      break;
    case SETBREAK:
      p->brk = true;
      break;
    case CLRBREAK:
      p->brk = false;
      break;
    default:
      set_error(err::invalid_parameter);
      return false;
  }
  if (p->armed) look_after(*p, t);
  return true;
}

bool serial_modem_status(SerialHandle h, uint32_t* status) {
  Port* p = begin_call(sim::Call::modem_status, h);
  if (p == nullptr) return false;
  uint32_t s = 0;
  if (p->kind == sim::PortKind::adapter) {
    double t = time_us();
    if (p->rts) s |= MS_DSR_ON;
    if (data_line_high(*p, t)) s |= MS_CTS_ON;
  }
  if (trace_on) trace_entries.push_back({sim::TraceEntry::sample, s, time_us()});
  *status = s;
  return true;
}

bool serial_set_mask(SerialHandle h, uint32_t mask) {
  Port* p = begin_call(sim::Call::set_mask, h);
  if (p == nullptr) return false;
  p->mask = mask;
  // A new mask completes a pending wait (with no events when CTS is no longer watched).
  if ((mask & EV_CTS) == 0) p->armed = false;
  return true;
}

volatile uint32_t* cts_event_word() { return &event_word; }

bool cts_event_create() {
  charge_call();
  ++counter_values.serial_calls;
  ++counter_values.other_serial_calls;
  uint32_t error;
  if (call_fault(sim::Call::create_event, true, 0, &error)) {
    set_error(error);
    return false;
  }
  event_exists = true;
  return true;
}

int cts_wait_start(SerialHandle h) {
  Port* p = begin_call(sim::Call::wait_event, h);
  if (p == nullptr) return -1;
  if (p->mask == 0) {
    set_error(err::invalid_parameter);
    return -1;
  }
  if (wait_immediately) return 1;
  p->armed = true;
  p->seen_level = data_line_high(*p, time_us());
  p->seen_time = time_us();
  set_error(err::io_pending);
  return 0;
}

void cts_event_close() {
  charge_call();
  ++counter_values.serial_calls;
  ++counter_values.other_serial_calls;
  event_exists = false;
}

}  // namespace platform
