// A virtual serial port for the real Linux back end (LD_PRELOAD). One pseudo-terminal, bound
// over a device node such as /dev/ttyS4, behaves as a UART with the passive adapter and the
// simulated PSoC 1 behind it: the modem-line ioctls of that device are answered here, everything
// else (open, termios, flock, TIOCEXCL, every other file) goes to the kernel unchanged.
//
// The UART is modelled as the 8250 driver behaves: its modem-status interrupt, and with it the
// CTS count of TIOCGICOUNT, runs only with CRTSCTS, without CLOCAL, or once a TIOCMIWAIT has
// waited since the last termios change. A tool that only reads the counters counts nothing.
//
// Time is virtual and shared by the tool and the chip: CLOCK_MONOTONIC reads advance it a small
// step, sleeps advance it exactly, every modem-line call costs a fixed latency. A thread woken
// from TIOCMIWAIT runs before virtual time moves on, as it would on an idle machine, so the run
// does not depend on how fast this machine is.
//
// Environment: VSERIAL_DEVICE (default /dev/ttyS4), VSERIAL_STATUS (a file of
// sizeof(vserial::Status) bytes to keep current), VSERIAL_ATTACH (adapter, nochip, plain),
// VSERIAL_SILENT_AFTER (vectors), VSERIAL_BUSY_US (every supervisory call's busy time),
// VSERIAL_LATENCY_US (default 1), VSERIAL_CLOCK (virtual, or real: see below),
// VSERIAL_HELPER_AWAY_US (how long a thread woken from TIOCMIWAIT stays away from it),
// VSERIAL_SWITCH_GATE (a file through which a test holds the tool at a line switch),
// VSERIAL_WAIT_POLL_US (wine's comm-event wait threads: sim/vserial/wine_wait.cpp).
//
// Only libc's own names are exported (see vserial.map); nothing Linux-build-specific is used,
// so the same source builds with -m32 for the Windows program under wine (which calls
// __ioctl_time64 and TIOCMSET). Wine's clocks and sleeps do not all pass through the C
// library's names (the counter may be read from the processor, Sleep waits in select against
// the real-time clock), so there the chip runs on real time: VSERIAL_CLOCK=real leaves every
// clock and sleep alone and gives the chip CLOCK_MONOTONIC; serial calls cost what they cost.
#include <dlfcn.h>
#include <fcntl.h>
#include <linux/futex.h>
#include <linux/serial.h>
#include <pthread.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "sim/vserial/vchip.h"
#include "sim/vserial/vserial_status.h"
#include "sim/vserial/wait_thread.h"

#define VSERIAL_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

using IoctlFn = int (*)(int, unsigned long, ...);
using CloseFn = int (*)(int);
using TcsetattrFn = int (*)(int, int, const termios*);
using ClockGettimeFn = int (*)(clockid_t, timespec*);
using ClockNanosleepFn = int (*)(clockid_t, int, const timespec*, timespec*);
using NanosleepFn = int (*)(const timespec*, timespec*);

struct Real {
  IoctlFn ioctl;
  CloseFn close;
  TcsetattrFn tcsetattr;
  ClockGettimeFn clock_gettime;
  ClockNanosleepFn clock_nanosleep;
  NanosleepFn nanosleep;
};
Real real;

enum class Attach { adapter, nochip, plain };

// ---- configuration, read once ----------------------------------------------------------
struct Config {
  // The device node's inode: a pty's device number repeats in every devpts instance (the
  // terminal the tests run from may well be another "pty 0").
  dev_t dev = 0;
  ino_t ino = 0;
  bool known = false;
  Attach attach = Attach::adapter;
  double latency_us = 1.0;
  double clock_step_us = 0.1;
  bool real_time = false;
  bool wine_waits = false;  // VSERIAL_WAIT_POLL_US given: wine's comm-event wait threads are looked after
};
Config config;
pthread_once_t once = PTHREAD_ONCE_INIT;
vserial::Status local_status;
vserial::Status* status = &local_status;

// ---- virtual time ------------------------------------------------------------------------
std::atomic<int64_t> virtual_ns{0};
int64_t base_ns = 0;
// Threads woken from TIOCMIWAIT that have not come back to wait again: time stands still for the
// others until they have.
std::atomic<int> woken_away{0};
thread_local bool woken_self = false;
// VSERIAL_HELPER_AWAY_US: a woken thread that calls TIOCMIWAIT again enters the kernel's wait
// only this much virtual time later, as a thread that a loaded machine has not scheduled yet.
// Edges meanwhile are counted by the driver but wake nobody.
int64_t helper_away_ns = 0;
int64_t waiter_enters_ns = 0;  // virtual time from which the waiter's snapshot counts

// The thread that runs the tool switches lines long before it waits for a CTS change; wine's
// comm-event wait threads never switch one.
thread_local bool switched_lines = false;
// Wine's wait threads (sim/vserial/wine_wait.cpp): asked for by an arming (which reads the line
// status register from the tool's thread) and not yet seen sleeping, and those running.
std::atomic<int> wait_threads_starting{0};
bool wait_armed = false;  // the tool's thread has armed a wait whose thread may not have ended
std::atomic<int> wait_threads_running{0};
// Armings of the CTS wait, and the last one whose change a wait thread was shown and has
// carried out (the thread ended after writing the event word).
std::atomic<long long> arm_generation{0};
std::atomic<long long> delivered_generation{0};
thread_local long long shown_generation = 0;

// ---- the port and the adapter ---------------------------------------------------------------
struct Port {
  bool rts = false, dtr = false, brk = false;
  bool line = false;      // the data line as last looked at
  bool clocal = false, crtscts = false, hupcl = true;
  bool miwait_latched = false;
  int waiters = 0;
  int counted = 0;        // TIOCGICOUNT's cts
  // Under wine: every change of CTS, a whole pulse between two calls included, as a UART's
  // interrupt sees them, and what they were when the tool last armed its CTS wait.
  long long edges = 0;
  long long edges_at_arm = 0;
  bool line_at_arm = false;
  double looked_at = 0;
  std::atomic<int> sequence{0};  // bumped at every change of CTS; TIOCMIWAIT waits on it
};
Port port;
int64_t opened_at_ns = 0;  // real time when a descriptor of the device was first seen
pthread_mutex_t model_lock = PTHREAD_MUTEX_INITIALIZER;
thread_local bool in_model = false;

constexpr int fd_slots = 4096;
// 0 not looked at, 1 the device, 2 anything else.
std::atomic<signed char> fd_kind[fd_slots];

int64_t real_ns() {
  timespec t{};
  real.clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

// Real time that the tool's thread spent held here (waiting for wine's wait thread to notice a
// change that Windows' driver reports at the edge, or at a test's gate): no time passes for the
// chip meanwhile, for any thread that looks. Changed under the model lock.
std::atomic<int64_t> held_ns{0};
std::atomic<int64_t> hold_from_ns{0};  // when the hold in progress began (0: none)

double now_us() {
  if (config.real_time) {
    const int64_t now = real_ns();
    const int64_t from = hold_from_ns.load();
    const int64_t held = held_ns.load() + (from != 0 ? now - from : 0);
    return static_cast<double>(now - base_ns - held) / 1000.0;
  }
  return static_cast<double>(virtual_ns.load()) / 1000.0;
}
void advance_us(double us) {
  if (!config.real_time) virtual_ns.fetch_add(static_cast<int64_t>(us * 1000.0));
}

void publish_time() { status->virtual_us = now_us(); }

// Lets a thread woken from TIOCMIWAIT finish its work first. The bound is only a safety net
// against a waiter that never comes back; it never decides a test.
void let_woken_threads_run() {
  if (woken_away.load() == 0 || woken_self) return;
  const int64_t give_up = real_ns() + 5'000'000'000LL;
  while (woken_away.load() > 0) {
    if (real_ns() > give_up) {
      std::fprintf(stderr, "vserial: a thread woken from TIOCMIWAIT never waited again\n");
      woken_away.store(0);
      break;
    }
    sched_yield();
  }
}

bool monotonic(clockid_t clock) {
  return clock == CLOCK_MONOTONIC || clock == CLOCK_MONOTONIC_RAW || clock == CLOCK_MONOTONIC_COARSE ||
         clock == CLOCK_BOOTTIME;
}

void set_status_file(const char* path) {
  if (path == nullptr) return;
  const int fd = open(path, O_RDWR | O_CLOEXEC);
  if (fd < 0) return;
  void* map = mmap(nullptr, sizeof(vserial::Status), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  real.close(fd);
  if (map != MAP_FAILED) status = static_cast<vserial::Status*>(map);
}

double env_number(const char* name, double fallback) {
  const char* text = std::getenv(name);
  return text != nullptr && *text != '\0' ? std::atof(text) : fallback;
}

void initialise() {
  real.ioctl = reinterpret_cast<IoctlFn>(dlsym(RTLD_NEXT, "ioctl"));
  real.close = reinterpret_cast<CloseFn>(dlsym(RTLD_NEXT, "close"));
  real.tcsetattr = reinterpret_cast<TcsetattrFn>(dlsym(RTLD_NEXT, "tcsetattr"));
  real.clock_gettime = reinterpret_cast<ClockGettimeFn>(dlsym(RTLD_NEXT, "clock_gettime"));
  real.clock_nanosleep = reinterpret_cast<ClockNanosleepFn>(dlsym(RTLD_NEXT, "clock_nanosleep"));
  real.nanosleep = reinterpret_cast<NanosleepFn>(dlsym(RTLD_NEXT, "nanosleep"));
  base_ns = real_ns();
  const char* device = std::getenv("VSERIAL_DEVICE");
  struct stat info {};
  if (stat(device != nullptr ? device : "/dev/ttyS4", &info) == 0 && S_ISCHR(info.st_mode)) {
    config.dev = info.st_dev;
    config.ino = info.st_ino;
    config.known = true;
  }
  const char* attach = std::getenv("VSERIAL_ATTACH");
  if (attach != nullptr && std::strcmp(attach, "plain") == 0) config.attach = Attach::plain;
  if (attach != nullptr && std::strcmp(attach, "nochip") == 0) config.attach = Attach::nochip;
  config.latency_us = env_number("VSERIAL_LATENCY_US", 1.0);
  const char* clock = std::getenv("VSERIAL_CLOCK");
  config.real_time = clock != nullptr && std::strcmp(clock, "real") == 0;
  config.wine_waits = env_number("VSERIAL_WAIT_POLL_US", 0) > 0;
  helper_away_ns = static_cast<int64_t>(env_number("VSERIAL_HELPER_AWAY_US", 0) * 1000.0);
  vchip::Options options;
  options.silent_after_vectors = std::getenv("VSERIAL_SILENT_AFTER") != nullptr;
  options.vectors = static_cast<long>(env_number("VSERIAL_SILENT_AFTER", 0));
  options.busy_us = env_number("VSERIAL_BUSY_US", -1);
  vchip::reset(options);
  set_status_file(std::getenv("VSERIAL_STATUS"));
}

void ensure_initialised() { pthread_once(&once, initialise); }

bool same_node(int fd) {
  struct stat info {};
  return fstat(fd, &info) == 0 && info.st_dev == config.dev && info.st_ino == config.ino;
}

bool is_device(int fd) {
  if (!config.known || fd < 0) return false;
  if (fd >= fd_slots) return same_node(fd);
  signed char kind = fd_kind[fd].load();
  if (kind == 0) {
    const bool device = same_node(fd);
    kind = device ? 1 : 2;
    fd_kind[fd].store(kind);
    if (device) {
      opened_at_ns = real_ns();
      ++status->opens;
      ++status->open_fds;
    }
  }
  return kind == 1;
}

// ---- the adapter ----------------------------------------------------------------------------
bool chip_attached() { return config.attach == Attach::adapter; }
bool dsr() { return config.attach != Attach::plain && port.rts; }
bool data_line(double t) {
  if (config.attach == Attach::plain) return false;
  return port.brk || (chip_attached() && vchip::drives_high(t));
}
bool interrupt_enabled() { return port.crtscts || !port.clocal || port.miwait_latched; }

// Rises happen at calls (break, clock, power); a timed fall between two calls is seen at the
// next one, so two looks per call see every change.
void look(double t) {
  const bool level = data_line(t);
  if (config.wine_waits && !level && !port.line) {
    // The chip's drive rose and fell again since the last call: a whole busy pulse unseen.
    const double fall = vchip::timed_fall();
    if (fall > port.looked_at && fall <= t) port.edges += 2;
  }
  port.looked_at = t;
  if (level == port.line) return;
  port.line = level;
  ++port.edges;
  ++status->cts_changes;
  // Without the modem-status interrupt the driver neither counts the change nor wakes anyone.
  if (!interrupt_enabled()) return;
  ++port.counted;
  status->cts_counted = port.counted;
  // A waiter that is not inside the kernel's wait yet took no snapshot: this edge wakes nobody.
  if (port.waiters > 0 && virtual_ns.load() >= waiter_enters_ns) {
    woken_away.fetch_add(port.waiters);
    port.sequence.fetch_add(1);
    syscall(SYS_futex, reinterpret_cast<int*>(&port.sequence), FUTEX_WAKE, INT_MAX, nullptr, nullptr, 0);
  }
}

void set_outputs(bool rts, bool dtr, double t) {
  if (rts != port.rts) {
    port.rts = rts;
    if (chip_attached()) vchip::power(rts, t);
  }
  if (dtr && !port.dtr && chip_attached()) vchip::clock_rise(port.brk, data_line(t), t);
  // The falling edge too: the chip checks both clock phases against its minimum.
  if (!dtr && port.dtr && chip_attached()) vchip::clock_fall(t);
  port.dtr = dtr;
}

void set_break(bool on, double t) {
  if (on && !port.brk && chip_attached() && vchip::drives_line(t)) ++status->contention;
  if (chip_attached()) vchip::host_data(on, t);
  port.brk = on;
}

void publish() {
  status->rts = port.rts;
  status->dtr = port.dtr;
  status->brk = port.brk;
  status->powered = chip_attached() && port.rts;
  status->vectors = vchip::vectors();
  const vchip::WireCounts wire = vchip::wire_counts();
  status->malformed_frames = wire.malformed_frames;
  status->rejected_calls = wire.rejected_calls;
  status->timing_violations = wire.timing_violations;
  status->calls_started = wire.calls_started;
  publish_time();
}

struct ModelLock {
  bool nested;
  ModelLock() : nested(in_model) {
    // A signal handler of the tool may call in while this thread is inside: go on unlocked.
    if (!nested) pthread_mutex_lock(&model_lock);
    in_model = true;
  }
  ~ModelLock() {
    if (!nested) {
      in_model = false;
      pthread_mutex_unlock(&model_lock);
    }
  }
};

// The tool's thread held here: the chip's real-time clock stands still for its duration.
struct Hold {
  Hold() {
    if (!config.real_time) return;
    ModelLock lock;
    hold_from_ns.store(real_ns());
  }
  ~Hold() {
    if (!config.real_time) return;
    ModelLock lock;
    held_ns.fetch_add(real_ns() - hold_from_ns.load());
    hold_from_ns.store(0);
  }
};

void refresh_termios(int fd) {
  termios t {};
  if (real.ioctl(fd, TCGETS, &t) != 0) return;
  port.clocal = (t.c_cflag & CLOCAL) != 0;
  port.crtscts = (t.c_cflag & CRTSCTS) != 0;
  port.hupcl = (t.c_cflag & HUPCL) != 0;
  // The 8250 driver recomputes its interrupt enable from the new flags alone.
  port.miwait_latched = false;
}

int fail(int error_number) {
  errno = error_number;
  return -1;
}

// TIOCMIWAIT: blocks until CTS changes (interruptible by a signal, like the kernel's wait).
int wait_for_cts(unsigned long mask) {
  if ((mask & TIOCM_CTS) == 0) return fail(EINVAL);
  int seen;
  {
    ModelLock lock;
    if (woken_self) {
      woken_self = false;
      if (woken_away.load() > 0) woken_away.fetch_sub(1);
      if (helper_away_ns > 0 && !config.real_time) waiter_enters_ns = virtual_ns.load() + helper_away_ns;
    }
    ++port.waiters;
    ++status->miwait_calls;
    port.miwait_latched = true;
    seen = port.sequence.load();
  }
  bool interrupted = false;
  while (port.sequence.load() == seen) {
    const long r = syscall(SYS_futex, reinterpret_cast<int*>(&port.sequence), FUTEX_WAIT, seen, nullptr, nullptr, 0);
    if (r != 0 && errno == EINTR) {
      interrupted = true;
      break;
    }
  }
  ModelLock lock;
  --port.waiters;
  if (port.sequence.load() != seen) {
    woken_self = true;  // counted in woken_away by the thread that woke us
    return 0;
  }
  return interrupted ? fail(EINTR) : 0;
}

// Wine's wait thread sees a CTS change only as a level different from the one at arming, and
// misses a pulse that falls between two of its looks; Windows' driver counts the edge. Its
// thread is shown the level of the change once there has been one since the arming.
bool cts_for_this_thread(double t) {
  const bool level = data_line(t);
  if (!config.wine_waits || switched_lines || port.edges == port.edges_at_arm) return level;
  if (level == port.line_at_arm) ++status->latched_changes;
  // This thread now writes EV_CTS into the tool's event word and ends.
  shown_generation = arm_generation.load();
  vserial::note_wait_thread();
  return !port.line_at_arm;
}

// Until the wait thread shown the change since the last arming has ended, having written the
// event word. A thread counted as running is not enough: a thread that has not yet looked at
// the port may be counted, or one counted in its place. The bound only guards against a hang.
void let_change_be_delivered() {
  const int64_t give_up = real_ns() + 2'000'000'000LL;
  while (delivered_generation.load() < arm_generation.load()) {
    if (real_ns() > give_up) {
      std::fprintf(stderr, "vserial: no wait thread delivered the CTS change\n");
      break;
    }
    sched_yield();
  }
}

// Wine refuses a new WaitCommEvent until the thread of the previous, ended wait has noticed its
// end; it ends, too, once it has seen a change. The bound is a safety net against a thread
// that never comes; it decides nothing.
void let_wait_threads_end() {
  const int64_t give_up = real_ns() + 2'000'000'000LL;
  while (wait_threads_starting.load() > 0 || wait_threads_running.load() > 0) {
    if (real_ns() > give_up) {
      std::fprintf(stderr, "vserial: wine's comm-event wait thread did not end\n");
      wait_threads_starting.store(0);
      break;
    }
    sched_yield();
  }
}

// Windows' driver completes the CTS wait at the edge, before the tool's next call can act on
// the chip; wine's wait thread does so at its next look. So a change since the arming (a whole
// pulse between two calls included) is delivered to the armed wait before the tool's thread
// goes on, as on an idle machine it would be: no clock reaches the chip while wine has yet
// to notice a busy signal that has already ended. The data line is released (break off)
// before every arming, never while a wait is armed: there the earlier waits' threads end first.
void deliver_cts_event(unsigned long request) {
  if (request == TIOCCBRK) {
    Hold hold;
    let_wait_threads_end();
    wait_armed = false;
    return;
  }
  if (!wait_armed) return;
  bool changed = false;
  {
    ModelLock lock;
    look(now_us());
    changed = port.edges != port.edges_at_arm;
  }
  if (changed) {
    Hold hold;
    let_change_be_delivered();
    let_wait_threads_end();
    wait_armed = false;
  }
}

// A test that types a key while the tool runs holds it at its next line switch: it writes
// "hold" into the gate file, waits for "held", types, then writes "go". So the key lands at a
// point fixed by construction, not by how fast either side runs. The bound only guards
// against a hang.
std::string_view read_gate(const char* path, char (&text)[8]) {
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return {};
  const ssize_t n = read(fd, text, sizeof text);
  real.close(fd);
  return n > 0 ? std::string_view(text, static_cast<size_t>(n)) : std::string_view();
}

void write_gate(const char* path, const char* text) {
  const int fd = open(path, O_WRONLY | O_TRUNC | O_CLOEXEC);
  if (fd < 0) return;
  if (write(fd, text, std::strlen(text)) < 0) std::fprintf(stderr, "vserial: cannot write the switch gate\n");
  real.close(fd);
}

void pass_switch_gate() {
  static const char* path = std::getenv("VSERIAL_SWITCH_GATE");
  char text[8];
  if (path == nullptr || read_gate(path, text) != "hold") return;
  write_gate(path, "held");
  Hold hold;
  const int64_t give_up = real_ns() + 60'000'000'000LL;
  const timespec pause{0, 1'000'000};
  while (read_gate(path, text) != "go" && real_ns() < give_up) real.nanosleep(&pause, nullptr);
  write_gate(path, "");
}

bool switches_a_line(unsigned long request) {
  return request == TIOCMSET || request == TIOCMBIS || request == TIOCMBIC || request == TIOCSBRK || request == TIOCCBRK;
}

int device_ioctl(int fd, unsigned long request, void* arg) {
  if (request == TIOCMIWAIT) return wait_for_cts(reinterpret_cast<unsigned long>(arg));
  let_woken_threads_run();
  if (switches_a_line(request)) pass_switch_gate();
  if (config.wine_waits && switched_lines) deliver_cts_event(request);
  ModelLock lock;
  advance_us(config.latency_us);
  const double t = now_us();
  ++status->calls;
  look(t);
  int result = 0;
  int* bits = static_cast<int*>(arg);
  if (switches_a_line(request)) switched_lines = true;
  if (config.wine_waits) {
    if (request == TIOCSERGETLSR && switched_lines) {
      ++wait_threads_starting;
      ++arm_generation;
      wait_armed = true;
      port.edges_at_arm = port.edges;
      port.line_at_arm = port.line;
    }
    // A wait thread that found its first sleep already over looks at the port at once.
    if (!switched_lines && wait_threads_starting.load() > 0) vserial::note_wait_thread();
  }
  switch (request) {
    case TIOCMGET:
      *bits = (port.rts ? TIOCM_RTS : 0) | (port.dtr ? TIOCM_DTR : 0) | (dsr() ? TIOCM_DSR : 0) |
              (cts_for_this_thread(t) ? TIOCM_CTS : 0);
      break;
    case TIOCMSET: set_outputs((*bits & TIOCM_RTS) != 0, (*bits & TIOCM_DTR) != 0, t); break;
    case TIOCMBIS: set_outputs(port.rts || (*bits & TIOCM_RTS) != 0, port.dtr || (*bits & TIOCM_DTR) != 0, t); break;
    case TIOCMBIC:
      set_outputs(port.rts && (*bits & TIOCM_RTS) == 0, port.dtr && (*bits & TIOCM_DTR) == 0, t);
      if ((*bits & TIOCM_DTR) != 0) status->dtr_off_us = t;
      if ((*bits & TIOCM_RTS) != 0) status->rts_off_us = t;
      break;
    case TIOCSBRK: set_break(true, t); break;
    case TIOCCBRK:
      set_break(false, t);
      status->brk_off_us = t;
      break;
    case TIOCGICOUNT: {
      serial_icounter_struct counts {};
      counts.cts = port.counted;
      *static_cast<serial_icounter_struct*>(arg) = counts;
      break;
    }
    case TIOCSERGETLSR: *static_cast<unsigned*>(arg) = TIOCSER_TEMT; break;
    default:
      result = real.ioctl(fd, request, arg);
      if (result == 0 && (request == TCSETS || request == TCSETSW || request == TCSETSF)) refresh_termios(fd);
      break;
  }
  look(t);
  // Opening a tty raises DTR and RTS: how long until the tool had them down again.
  if (request == TIOCMBIC && opened_at_ns != 0 && !port.rts && !port.dtr) {
    const double rise_us = static_cast<double>(real_ns() - opened_at_ns) / 1000.0;
    if (rise_us > status->longest_rise_us) status->longest_rise_us = rise_us;
    opened_at_ns = 0;
  }
  publish();
  return result;
}

void device_closed() {
  ModelLock lock;
  --status->open_fds;
  status->lines_at_close = (port.rts ? 1 : 0) | (port.dtr ? 2 : 0) | (port.brk ? 4 : 0);
  // The last close of a tty with HUPCL drops DTR and RTS.
  if (status->open_fds == 0) {
    if (port.hupcl) set_outputs(false, false, now_us());
    woken_away.store(0);
  }
  publish();
  std::memcpy(status->flash, vchip::flash(), sizeof status->flash);
}

int any_ioctl(int fd, unsigned long request, void* arg) {
  ensure_initialised();
  if (is_device(fd)) return device_ioctl(fd, request, arg);
  return real.ioctl(fd, request, arg);
}

int64_t ns_of(const timespec* t) { return static_cast<int64_t>(t->tv_sec) * 1000000000 + t->tv_nsec; }

void sleep_for(int64_t ns) {
  let_woken_threads_run();
  if (ns > 0) virtual_ns.fetch_add(ns);
  sched_yield();
}

}  // namespace

namespace vserial {

bool comm_wait_thread() {
  ModelLock lock;
  return status->open_fds > 0 && !switched_lines;
}

namespace {
// Lives as long as the wait thread it was made in.
struct RunningWaitThread {
  RunningWaitThread() {
    if (wait_threads_starting.load() > 0) --wait_threads_starting;
    ++wait_threads_running;
  }
  ~RunningWaitThread() {
    if (shown_generation > delivered_generation.load()) delivered_generation.store(shown_generation);
    --wait_threads_running;
  }
};
}  // namespace

void note_wait_thread() {
  thread_local RunningWaitThread running;
  (void)running;
}

void count_wait_poll() {
  note_wait_thread();
  ModelLock lock;
  ++status->wait_polls;
}

}  // namespace vserial

VSERIAL_EXPORT int ioctl(int fd, unsigned long request, ...) {
  va_list args;
  va_start(args, request);
  void* arg = va_arg(args, void*);
  va_end(args);
  return any_ioctl(fd, request, arg);
}

// What the 32-bit C library's callers with 64-bit time use instead of ioctl.
VSERIAL_EXPORT int __ioctl_time64(int fd, unsigned long request, ...) noexcept __attribute__((alias("ioctl")));

VSERIAL_EXPORT int tcsetattr(int fd, int action, const termios* settings) {
  ensure_initialised();
  const int result = real.tcsetattr(fd, action, settings);
  if (result == 0 && is_device(fd)) {
    ModelLock lock;
    refresh_termios(fd);
  }
  return result;
}

VSERIAL_EXPORT int close(int fd) {
  ensure_initialised();
  if (fd >= 0 && fd < fd_slots) {
    const bool device = fd_kind[fd].load() == 1;
    fd_kind[fd].store(0);
    if (device) device_closed();
  }
  return real.close(fd);
}

VSERIAL_EXPORT int clock_gettime(clockid_t clock, timespec* now) {
  ensure_initialised();
  if (!monotonic(clock) || config.real_time) return real.clock_gettime(clock, now);
  let_woken_threads_run();
  const int64_t ns = base_ns + virtual_ns.fetch_add(static_cast<int64_t>(config.clock_step_us * 1000.0));
  now->tv_sec = static_cast<time_t>(ns / 1000000000);
  now->tv_nsec = static_cast<long>(ns % 1000000000);
  return 0;
}

VSERIAL_EXPORT int nanosleep(const timespec* request, timespec* remaining) {
  ensure_initialised();
  if (config.real_time) return real.nanosleep(request, remaining);
  sleep_for(ns_of(request));
  if (remaining != nullptr) *remaining = timespec{};
  return 0;
}

VSERIAL_EXPORT int clock_nanosleep(clockid_t clock, int flags, const timespec* request, timespec* remaining) {
  ensure_initialised();
  if (!monotonic(clock) || config.real_time) return real.clock_nanosleep(clock, flags, request, remaining);
  const int64_t ns = (flags & TIMER_ABSTIME) != 0 ? ns_of(request) - base_ns - virtual_ns.load() : ns_of(request);
  sleep_for(ns);
  if (remaining != nullptr) *remaining = timespec{};
  return 0;
}
