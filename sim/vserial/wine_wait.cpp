// Wine's WaitCommEvent (wine 8) runs a thread per wait that sleeps 1 ms between looks at the
// port and sees a CTS change only as a different level at its next look; Windows' serial
// driver reports the edge from the UART's interrupt. A new wait is refused (error 87) until
// the previous wait's thread has noticed that its mask was cleared, which it does only after
// its sleep. Both are limits of wine's emulation, not of Windows: in the wait thread, and
// only there, the sleep is cut to VSERIAL_WAIT_POLL_US (microseconds) so that it looks at the
// port and at its mask often, the tool's thread lets the wait threads of ended waits finish
// before it arms the next (vserial.cpp, let_wait_threads_end), and a wait thread is shown a
// CTS change that happened since the arming, whole pulses between two looks included, as the
// driver's interrupt would have caught it (vserial.cpp, cts_for_this_thread). The tool's own sleeps, made from the thread that switches the lines,
// are never touched; without VSERIAL_WAIT_POLL_US nothing here is active.
//
// The 64-bit wine calls select; the i386 one, built with 64-bit time, calls __select64.
#include <dlfcn.h>
#include <sys/select.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>

#include "sim/vserial/wait_thread.h"

namespace {

struct Timeval64 {
  int64_t tv_sec;
  int64_t tv_usec;
};
using Select64Fn = int (*)(int, fd_set*, fd_set*, fd_set*, Timeval64*);
using SelectFn = int (*)(int, fd_set*, fd_set*, fd_set*, timeval*);

// The wait thread's sleep, as wine's NtDelayExecution asks for 1 ms.
constexpr int64_t wait_sleep_us = 1000;

// 0: leave every sleep alone.
int64_t poll_us() {
  static const int64_t value = [] {
    const char* text = std::getenv("VSERIAL_WAIT_POLL_US");
    return text != nullptr ? std::atoll(text) : 0;
  }();
  return value;
}

bool cut_short(int count, int64_t seconds, int64_t microseconds) {
  if (poll_us() <= 0 || count != 0 || seconds != 0 || microseconds > wait_sleep_us || microseconds <= poll_us())
    return false;
  if (!vserial::comm_wait_thread()) return false;
  vserial::count_wait_poll();
  return true;
}

}  // namespace

#define VSERIAL_EXPORT extern "C" __attribute__((visibility("default")))

VSERIAL_EXPORT int __select64(int count, fd_set* read, fd_set* write, fd_set* except, Timeval64* timeout) {
  static const auto real = reinterpret_cast<Select64Fn>(dlsym(RTLD_NEXT, "__select64"));
  if (real == nullptr) {
    errno = ENOSYS;
    return -1;
  }
  if (timeout != nullptr && cut_short(count, timeout->tv_sec, timeout->tv_usec)) {
    Timeval64 shorter{0, poll_us()};
    return real(0, nullptr, nullptr, nullptr, &shorter);
  }
  return real(count, read, write, except, timeout);
}

VSERIAL_EXPORT int select(int count, fd_set* read, fd_set* write, fd_set* except, timeval* timeout) {
  static const auto real = reinterpret_cast<SelectFn>(dlsym(RTLD_NEXT, "select"));
  if (timeout != nullptr && cut_short(count, timeout->tv_sec, timeout->tv_usec)) {
    timeval shorter{0, static_cast<suseconds_t>(poll_us())};
    return real(0, nullptr, nullptr, nullptr, &shorter);
  }
  return real(count, read, write, except, timeout);
}
