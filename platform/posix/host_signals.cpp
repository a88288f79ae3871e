// Signals during a run. A closed console output (a pipe whose reader has gone) is a failed
// console write, not the end of the run: SIGPIPE is ignored. Ctrl+C (which stays a signal with
// the keyboard in raw mode), SIGTERM and SIGHUP power the target off in the order of the normal
// power-off: data line released, 2 ms, clock low, 500 ms, supply off. A chip whose supply goes
// while clock and data are still driven is fed through its pins. Then the lock file goes, the
// port is closed and the process ends with 128 + the signal number, as shells report a signal.
// Everything the handler calls is async-signal-safe (ioctl, nanosleep, unlink, close, _exit;
// signal-safety(7)).
//
// On the FT232R cable the handler may not touch libusb (not async-signal-safe): it notes the
// signal, which the cable's stream acts on at its next transfer (serial/wire_ft232r.cpp),
// leaving the pins idle in the same order and the cable closed before it ends the process here.
// A stream that never comes back to it is bounded by an alarm.
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <csignal>

#include "platform/posix/host.h"
#include "platform/posix/host_port.h"

namespace posix_host {

namespace {

volatile sig_atomic_t held_fd = -1;
volatile sig_atomic_t cable_held = 0;
// Written by the handler, read by the main thread's stream: lock-free, so signal-safe.
std::atomic<int> emergency{0};
static_assert(std::atomic<int>::is_always_lock_free, "read and written from a signal handler");
constexpr int run_signals[] = {SIGINT, SIGTERM, SIGHUP};
// The power-off's pauses: data released to clock low, clock low to supply off.
constexpr long release_to_clock_ns = 2 * 1000000L;
constexpr long clock_to_supply_ns = 500 * 1000000L;
// The cable's stream transfers at least every few hundred milliseconds and its power-off takes
// about half a second more (each transfer's own deadline is a second); past this the process
// ends without it.
constexpr unsigned cable_emergency_bound_s = 10;

void pause_ns(long ns) {
  timespec left{ns / 1000000000L, ns % 1000000000L};
  while (nanosleep(&left, &left) != 0) {
  }
}

[[noreturn]] void finish(int signal_number) {
  drop_port_lock_from_signal();
  restore_terminal_from_signal();
  _exit(128 + signal_number);
}

void end_run(int signal_number) {
  const int fd = held_fd;
  if (fd >= 0) {
    int dtr = TIOCM_DTR;
    int rts = TIOCM_RTS;
    ioctl(fd, TIOCCBRK);
    pause_ns(release_to_clock_ns);
    ioctl(fd, TIOCMBIC, &dtr);
    pause_ns(clock_to_supply_ns);
    ioctl(fd, TIOCMBIC, &rts);
    close(fd);
    finish(signal_number);
  }
  if (cable_held != 0) {
    int expected = 0;
    if (emergency.compare_exchange_strong(expected, signal_number)) alarm(cable_emergency_bound_s);
    return;
  }
  finish(signal_number);
}

// The cable's stream did not finish its power-off in time: end as the signal asked.
void emergency_overdue(int) { finish(emergency.load()); }

}  // namespace

void ignore_broken_pipe() {
  static bool done = false;
  if (done) return;
  done = true;
  std::signal(SIGPIPE, SIG_IGN);
}

namespace {

void install_handlers() {
  static bool installed = false;
  if (installed) return;
  installed = true;
  for (const int signal_number : run_signals) {
    struct sigaction action {};
    action.sa_handler = end_run;
    sigemptyset(&action.sa_mask);
    for (const int other : run_signals) sigaddset(&action.sa_mask, other);
    sigaction(signal_number, &action, nullptr);
  }
  struct sigaction overdue {};
  overdue.sa_handler = emergency_overdue;
  sigemptyset(&overdue.sa_mask);
  for (const int other : run_signals) sigaddset(&overdue.sa_mask, other);
  sigaction(SIGALRM, &overdue, nullptr);
  ignore_broken_pipe();
}

}  // namespace

void guard_port_against_signals(int fd) {
  install_handlers();
  held_fd = fd;
}

void port_released_from_signals() { held_fd = -1; }

void guard_cable_against_signals() {
  install_handlers();
  cable_held = 1;
}

void cable_released_from_signals() { cable_held = 0; }

int emergency_signal() { return emergency.load(); }

void end_after_emergency(int signal_number) { finish(signal_number); }

void reset_signals() {
  alarm(0);
  held_fd = -1;
  cable_held = 0;
  emergency.store(0);
}

}  // namespace posix_host
