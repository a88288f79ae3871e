// The emulated serial calls: ports by number and handle, the cost, count and injected failure
// of every call, the lines of an adapter port handed to the adapter model, and the CTS change
// notification, evaluated lazily at every serial call.
#include "platform/mode_text.h"
#include "sim/model/adapter.h"
#include "sim/state.h"

namespace sim::detail {

namespace {

struct Port {
  PortKind kind;
  bool open;
  platform::SerialHandle handle;
  adapter::Outputs lines;  // as last switched, whatever is attached
  uint32_t mask;
  // CTS notification: armed, and the line level and time of the last look at it.
  bool armed;
  bool seen_level;
  double seen_time;
  platform::Dcb dcb;  // the device-control block last applied
};

std::array<Port, 100> ports;
platform::SerialHandle next_handle = 4;
volatile uint32_t event_word = 0;
// How late the system reports a CTS change (0: at once, as Windows does; wine polls).
double event_delay = 0;
double event_due = -1;  // a change seen, reported at this time (-1: none pending)
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
  return p.kind == PortKind::adapter && adapter::data_line_high(port_number(&p), p.lines, t);
}

// Before a call acts: any change of the line since the last look, including a timed fall
// that happened (and perhaps rose again) between two calls, completes the pending wait.
// The change is reported now, or after the event delay at the first call from then on.
void report_change(Port& p, double t) {
  if (event_delay <= 0) {
    event_word = platform::EV_CTS;
    p.armed = false;
  } else if (event_due < 0) {
    event_due = t + event_delay;
  }
}

void look_before(Port& p, double t) {
  if (event_due >= 0 && t >= event_due) {
    event_word = platform::EV_CTS;
    p.armed = false;
    event_due = -1;
    return;
  }
  double fall = adapter::last_timed_fall();
  bool level = data_line_high(p, t);
  if (level != p.seen_level || (fall > p.seen_time && fall <= t)) report_change(p, t);
  p.seen_level = level;
  p.seen_time = t;
}

void look_after(Port& p, double t) {
  bool level = data_line_high(p, t);
  if (level != p.seen_level) report_change(p, t);
  p.seen_level = level;
}

// Common start of every serial call: cost, counters, injected failure. False with the last
// error set when the call is to fail.
bool begin_call(sim::Call kind, uint32_t escape_function = 0, bool can_fail = true, int port = 0) {
  charge_call();
  ++counter_values.serial_calls;
  if (kind == sim::Call::escape)
    ++counter_values.escape_calls;
  else if (kind == sim::Call::modem_status)
    ++counter_values.modem_status_calls;
  else
    ++counter_values.other_serial_calls;
  uint32_t error;
  if (can_fail && call_fault(kind, true, escape_function, &error, port)) {
    set_error(error);
    return false;
  }
  return true;
}

// begin_call for a call on an open handle. Returns the port, or nullptr with the last error set.
Port* begin_port_call(sim::Call kind, platform::SerialHandle h, uint32_t escape_function = 0) {
  Port* p = find(h);
  if (!begin_call(kind, escape_function, true, p != nullptr ? port_number(p) : 0)) return nullptr;
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
  for (Port& p : ports) p = Port{PortKind::absent, false, platform::no_serial, adapter::Outputs{},
                                 0, false, false, 0.0, platform::Dcb{}};
  ports[1].kind = PortKind::adapter;
  next_handle = 4;
  adapter::reset();
  event_word = 0;
  event_delay = 0;
  event_due = -1;
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
  if (kind != PortKind::adapter) adapter::cut_power(com, time_us());
  ports[com].kind = kind;
}

void clear_ports() {
  for (int n = 1; n <= 99; ++n) {
    if (ports[n].open) adapter::cut_power(n, time_us());
    ports[n].kind = PortKind::absent;
    ports[n].open = false;
  }
  cached_port = nullptr;
}

LineState line_state(int com) {
  if (com < 1 || com > 99) return LineState{false, false, false, false, false};
  const Port& p = ports[com];
  return LineState{p.open, p.lines.rts, p.lines.dtr, p.lines.brk, adapter::powers_target(com)};
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
void set_cts_event_delay_us(double us) { event_delay = us; }

}  // namespace sim

namespace platform {

using namespace sim::detail;
namespace adapter = sim::adapter;

SerialHandle serial_open(const char16_t* path) {
  int n = parse_path(path);
  if (!begin_call(sim::Call::open, 0, true, n)) return no_serial;
  if (n < 1 || n > 99 || ports[n].kind == sim::PortKind::absent) {
    set_error(err::file_not_found);
    return no_serial;
  }
  Port& p = ports[n];
  if (p.kind == sim::PortKind::busy || p.open) {
    set_error(err::access_denied);
    return no_serial;
  }
  // Opened with DTR and RTS off, as configuring leaves them, and no break. An RTS still on
  // from an earlier session drops now, and the target's supply starts to drain.
  const double t = time_us();
  if (p.kind == sim::PortKind::adapter) {
    adapter::drive(n, &p.lines, adapter::Output::brk, false, t);
    adapter::drive(n, &p.lines, adapter::Output::dtr, false, t);
    adapter::drive(n, &p.lines, adapter::Output::rts, false, t);
  } else {
    p.lines = adapter::Outputs{};
  }
  p.open = true;
  p.handle = next_handle++;
  p.mask = 0;
  p.armed = false;
  return p.handle;
}

const OpenDetail& serial_open_detail() {
  static const OpenDetail nothing{OpenRefusal::none, -1, ""};
  return nothing;
}

bool serial_clear_errors(SerialHandle h) { return begin_port_call(sim::Call::clear_errors, h) != nullptr; }

bool serial_build_dcb(const char16_t* mode, Dcb* dcb) {
  if (!begin_call(sim::Call::build_dcb)) return false;
  if (mode == nullptr || dcb == nullptr || !dcb_from_mode_text(mode, dcb)) {
    set_error(err::invalid_parameter);
    return false;
  }
  return true;
}

bool serial_set_state(SerialHandle h, const Dcb& dcb) {
  Port* p = begin_port_call(sim::Call::set_state, h);
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
  Port* p = begin_port_call(sim::Call::purge, h);
  if (p == nullptr) return false;
  if ((flags & ~purge_all) != 0) {
    set_error(err::invalid_parameter);
    return false;
  }
  return true;
}

bool serial_close(SerialHandle h) {
  Port* p = begin_port_call(sim::Call::close, h);
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
  Port* p = begin_port_call(sim::Call::escape, h, function);
  if (p == nullptr) return false;
  double t = time_us();
  if (trace_on) trace_entries.push_back({sim::TraceEntry::escape, function, t});
  adapter::Output which;
  bool on;
  switch (function) {
    case SETRTS: which = adapter::Output::rts; on = true; break;
    case CLRRTS: which = adapter::Output::rts; on = false; break;
    case SETDTR: which = adapter::Output::dtr; on = true; break;
    case CLRDTR: which = adapter::Output::dtr; on = false; break;
    case SETBREAK: which = adapter::Output::brk; on = true; break;
    case CLRBREAK: which = adapter::Output::brk; on = false; break;
    default:
      set_error(err::invalid_parameter);
      return false;
  }
  if (function == SETDTR && !p->lines.dtr) ++counter_values.clock_pulses;
  if (p->kind == sim::PortKind::adapter) {
    adapter::drive(port_number(p), &p->lines, which, on, t);
  } else {
    adapter::set_output(&p->lines, which, on);  // nothing attached to feel it
  }
  if (p->armed) look_after(*p, t);
  return true;
}

bool serial_modem_status(SerialHandle h, uint32_t* status) {
  Port* p = begin_port_call(sim::Call::modem_status, h);
  if (p == nullptr) return false;
  uint32_t s = 0;
  if (p->kind == sim::PortKind::adapter) {
    double t = time_us();
    if (adapter::dsr(p->lines, t)) s |= MS_DSR_ON;
    if (data_line_high(*p, t)) s |= MS_CTS_ON;
  }
  if (trace_on) trace_entries.push_back({sim::TraceEntry::sample, s, time_us()});
  *status = s;
  return true;
}

bool serial_set_mask(SerialHandle h, uint32_t mask) {
  Port* p = begin_port_call(sim::Call::set_mask, h);
  if (p == nullptr) return false;
  p->mask = mask;
  // A new mask completes a pending wait (with no events when CTS is no longer watched).
  if ((mask & EV_CTS) == 0) {
    p->armed = false;
    event_due = -1;
  }
  return true;
}

volatile uint32_t* cts_event_word() { return &event_word; }

bool cts_event_create() {
  if (!begin_call(sim::Call::create_event)) return false;
  event_exists = true;
  return true;
}

int cts_wait_start(SerialHandle h) {
  Port* p = begin_port_call(sim::Call::wait_event, h);
  if (p == nullptr) return -1;
  if (p->mask == 0) {
    set_error(err::invalid_parameter);
    return -1;
  }
  if (wait_immediately) return 1;
  p->armed = true;
  event_due = -1;
  p->seen_level = data_line_high(*p, time_us());
  p->seen_time = time_us();
  set_error(err::io_pending);
  return 0;
}

void cts_event_close() {
  begin_call(sim::Call::create_event, 0, false);  // cannot fail
  event_exists = false;
}

}  // namespace platform
