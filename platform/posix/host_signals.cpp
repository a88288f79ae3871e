// Signals during a run. A closed console output (a pipe whose reader has gone) is a failed
// console write, not the end of the run: SIGPIPE is ignored. Ctrl+C (which stays a signal with
// the keyboard in raw mode), SIGTERM and SIGHUP do what the Windows build's console handler
// does: the target is unpowered, the clock put low and the data line released at once; then the
// lock file goes, the port is closed and the process ends with 128 + the signal number, as
// shells report a signal. Everything the handler calls is async-signal-safe.
#include <sys/ioctl.h>
#include <unistd.h>

#include <csignal>

#include "platform/posix/host.h"
#include "platform/posix/host_port.h"

namespace posix_host {

namespace {

volatile sig_atomic_t held_fd = -1;
constexpr int run_signals[] = {SIGINT, SIGTERM, SIGHUP};

void end_run(int signal_number) {
  const int fd = held_fd;
  if (fd >= 0) {
    int rts = TIOCM_RTS;
    int dtr = TIOCM_DTR;
    ioctl(fd, TIOCMBIC, &rts);
    ioctl(fd, TIOCCBRK);
    ioctl(fd, TIOCMBIC, &dtr);
  }
  drop_port_lock_from_signal();
  if (fd >= 0) close(fd);
  restore_terminal_from_signal();
  _exit(128 + signal_number);
}

}  // namespace

void ignore_broken_pipe() {
  static bool done = false;
  if (done) return;
  done = true;
  std::signal(SIGPIPE, SIG_IGN);
}

void guard_port_against_signals(int fd) {
  static bool installed = false;
  if (!installed) {
    installed = true;
    for (const int signal_number : run_signals) {
      struct sigaction action {};
      action.sa_handler = end_run;
      sigemptyset(&action.sa_mask);
      for (const int other : run_signals) sigaddset(&action.sa_mask, other);
      sigaction(signal_number, &action, nullptr);
    }
  }
  ignore_broken_pipe();
  held_fd = fd;
}

void port_released_from_signals() { held_fd = -1; }

}  // namespace posix_host
