// The pieces of the Linux serial back end that host_serial.cpp puts together: the guard that
// keeps Tolvern's hands off ports in use, the CTS watch and the signal handling of a run.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

namespace posix_host {

// ---- hands off ports in use (host_port_guard.cpp) ----------------------------------------
// Roots of the process table and of the two UUCP lock directories; nullptr restores the
// default ("/proc", "/run/lock", "/var/lock"). False when a root does not fit (nothing changed).
bool set_guard_roots(const char* proc_root, const char* lock_dir, const char* old_lock_dir);

// Why the last serial_open failed: the device, the reason and its number (the holder's process
// id, an errno); reason none after a successful open. The core words it.
const platform::OpenDetail& open_detail();
void clear_open_detail();
void set_open_detail(const char* device, platform::OpenRefusal reason, long number);
// The reason for an errno of open() or of a setting refused by the driver.
void set_open_detail_errno(const char* device, int error_number);

// The checks that need no open: an active system console, a live UUCP lock, another process
// that has the device open. False with the detail and the last error set.
bool port_free_before_open(const char* name, const char* device);
// Creates Tolvern's own lock file LCK..name (a stale one is replaced). False, detail and last
// error set, when another live process holds it; a lock directory that is missing or not
// writable is no obstacle (the exclusive open still protects the port).
bool take_port_lock(const char* name, const char* device);
// Removes the lock file taken, if any.
void drop_port_lock();
// The same from a signal handler: async-signal-safe.
void drop_port_lock_from_signal();

// ---- the CTS watch (host_cts_watch.cpp) ------------------------------------------------
// A helper thread per open port blocked in TIOCMIWAIT on CTS: the wait itself enables the
// UART's modem-status interrupt, so the driver counts every CTS edge.
void cts_watch_start(int fd);
// After a termios change the 8250 driver recomputes its interrupts: wait anew.
void cts_watch_renew(int fd);
void cts_watch_stop(int fd);
// A fresh modem-status sample (TIOCMGET bits): a pending wait without a working helper
// compares levels and counters here.
void cts_watch_sample(int fd, int bits);
void cts_watch_set_mask(int fd, uint32_t mask);
void reset_cts_watch();

// ---- signals of a run (host_signals.cpp) -----------------------------------------------
// SIGPIPE ignored: a closed console output must not end a run.
void ignore_broken_pipe();
// From now on SIGINT, SIGTERM and SIGHUP release the break, wait 2 ms, drop DTR, wait 500 ms,
// drop RTS on fd, remove the lock file, close the port and end the process with 128 + the
// signal number.
void guard_port_against_signals(int fd);
void port_released_from_signals();
// While the FT232R cable is open a signal is only noted (emergency_signal), for the cable's
// stream to act on; end_after_emergency then ends the process with 128 + the signal number.
void guard_cable_against_signals();
void cable_released_from_signals();
int emergency_signal();
[[noreturn]] void end_after_emergency(int signal_number);
void reset_signals();

}  // namespace posix_host
