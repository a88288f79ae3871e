// The CTS change notification on Linux, with the contract of the Windows overlapped wait: once
// armed, any change of CTS (even a busy pulse that rises and falls between two samples) makes the
// event word non-zero without the tool's doing.
//
// A native 8250 UART raises its modem-status interrupt, and so counts CTS edges in TIOCGICOUNT,
// only with CRTSCTS, without CLOCAL, or once a TIOCMIWAIT has waited since the last termios
// change. The tool wants neither flow control nor carrier detection (RTS powers the target), so
// a helper thread stays blocked in TIOCMIWAIT on CTS for as long as the port is open; when it
// wakes it compares the edge counter and the level with those noted at arm time and completes
// the wait. USB-serial drivers answer TIOCMIWAIT and TIOCGICOUNT the same way. Every
// modem-status sample of an armed wait compares the counters too (the helper is not always
// inside TIOCMIWAIT). Where a driver has no TIOCMIWAIT the helper ends and the samples alone
// compare, which can miss a pulse shorter than the gap between two samples.
#include <linux/serial.h>
#include <pthread.h>
#include <sched.h>
#include <sys/ioctl.h>

#include <atomic>
#include <cerrno>
#include <csignal>

#include "platform/platform.h"
#include "platform/posix/host.h"
#include "platform/posix/host_port.h"
#include "platform/posix/host_serial.h"

namespace posix_host {

namespace {

enum HelperState { helper_starting, helper_waiting, helper_ended };

struct Helper {
  int fd = -1;
  pthread_t thread{};
  bool running = false;  // a thread exists and is not joined yet
  std::atomic<bool> stop{false};
  std::atomic<int> state{helper_ended};
};

// The pending wait, as WaitCommEvent would hold it.
struct PendingWait {
  std::atomic<int> fd{-1};
  uint32_t mask = 0;
  std::atomic<bool> armed{false};
  std::atomic<bool> counts{false};  // the driver's edge counters answer
  std::atomic<int> cts_edges{0};
  std::atomic<bool> cts_level{false};
};

Helper helper;
PendingWait wait;
volatile uint32_t event_word = 0;

// Interrupts TIOCMIWAIT; never restarts it, so the helper looks at its stop flag.
int wake_signal() { return SIGRTMIN + 4; }
std::atomic<unsigned> wakes_taken{0};
void on_wake(int) { wakes_taken.fetch_add(1); }

// One wake-up outstanding at a time. Real-time signals queue: sent in a tight loop while the
// helper is not running, thousands pile up, and the helper then spends all its time in the
// handler (each sigreturn delivers the next) and never gets back to look at its stop flag.
void wake_helper_until_ended() {
  unsigned taken = wakes_taken.load();
  pthread_kill(helper.thread, wake_signal());
  while (helper.state.load() != helper_ended) {
    // Taken but the helper still runs: it came before the wait began. Send the next one.
    if (wakes_taken.load() != taken) {
      taken = wakes_taken.load();
      pthread_kill(helper.thread, wake_signal());
    }
    sched_yield();
  }
}

void complete_wait() {
  // Only one of the helper and the sampling thread completes a wait.
  if (wait.armed.exchange(false)) {
    __atomic_store_n(const_cast<uint32_t*>(&event_word), platform::EV_CTS, __ATOMIC_SEQ_CST);
  }
}

bool read_cts_edges(int fd, int* edges) {
  serial_icounter_struct counts {};
  if (ioctl(fd, TIOCGICOUNT, &counts) != 0) return false;
  *edges = counts.cts;
  return true;
}

// Compares the line with what was noted at arm time.
void compare(int fd, int bits, bool with_counters) {
  if (!wait.armed.load() || fd != wait.fd.load()) return;
  int edges = 0;
  if (((bits & TIOCM_CTS) != 0) != wait.cts_level.load() ||
      (with_counters && wait.counts.load() && read_cts_edges(fd, &edges) && edges != wait.cts_edges.load())) {
    complete_wait();
  }
}

void* helper_main(void*) {
  // Signals of the run belong to the main thread; this one only takes its wake-up.
  sigset_t blocked;
  sigfillset(&blocked);
  sigdelset(&blocked, wake_signal());
  pthread_sigmask(SIG_SETMASK, &blocked, nullptr);
  const int fd = helper.fd;
  while (!helper.stop.load()) {
    helper.state.store(helper_waiting);
    if (ioctl(fd, TIOCMIWAIT, static_cast<unsigned long>(TIOCM_CTS)) != 0) {
      if (errno == EINTR) continue;
      break;  // no TIOCMIWAIT in this driver (a pseudo-terminal, some USB drivers)
    }
    // Most edges come while nothing is armed (the chip answering a read): nothing to do then.
    int bits = 0;
    if (wait.armed.load() && ioctl(fd, TIOCMGET, &bits) == 0) compare(fd, bits, true);
  }
  helper.state.store(helper_ended);
  return nullptr;
}

void install_wake_handler() {
  static bool installed = false;
  if (installed) return;
  installed = true;
  struct sigaction action {};
  action.sa_handler = on_wake;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART
  sigaction(wake_signal(), &action, nullptr);
}

}  // namespace

void cts_watch_start(int fd) {
  cts_watch_stop(helper.fd);
  install_wake_handler();
  helper.fd = fd;
  helper.stop.store(false);
  helper.state.store(helper_starting);
  helper.running = pthread_create(&helper.thread, nullptr, helper_main, nullptr) == 0;
  if (!helper.running) helper.state.store(helper_ended);
}

void cts_watch_renew(int fd) {
  if (helper.running && helper.fd == fd && helper.state.load() != helper_ended) {
    pthread_kill(helper.thread, wake_signal());
  }
}

void cts_watch_stop(int fd) {
  if (!helper.running || helper.fd != fd) return;
  helper.stop.store(true);
  wake_helper_until_ended();
  pthread_join(helper.thread, nullptr);
  helper.running = false;
  helper.fd = -1;
  if (wait.fd.load() == fd) {
    wait.armed.store(false);
    wait.mask = 0;
    wait.fd.store(-1);
  }
}

void cts_watch_sample(int fd, int bits) {
  // The counters on every sample of an armed wait, whatever the helper's state: TIOCMIWAIT
  // compares them with a copy taken when it is entered, so edges that come while the helper is
  // between two calls (woken by a read's edges, not yet back in the kernel) wake nobody, and a
  // busy pulse there would be lost while the helper still counts as waiting.
  compare(fd, bits, true);
}

void cts_watch_set_mask(int fd, uint32_t mask) {
  // As on Windows, changing the mask ends a pending wait with no event.
  if (wait.armed.exchange(false)) event_word = 0;
  wait.fd.store(fd);
  wait.mask = mask;
}

volatile uint32_t* cts_event_word() { return &event_word; }

bool cts_event_create() { return true; }

int cts_wait_start(platform::SerialHandle h) {
  const int fd = static_cast<int>(h);
  if (h < 0 || wait.fd.load() != fd || (wait.mask & platform::EV_CTS) == 0) {
    set_last_error(h < 0 ? platform::err::invalid_handle : platform::err::invalid_parameter);
    return -1;
  }
  // A helper started with the port is normally long in its wait; give it the moment it needs.
  for (int i = 0; i < 100000 && helper.running && helper.state.load() == helper_starting; ++i) sched_yield();
  int bits = 0;
  if (ioctl(fd, TIOCMGET, &bits) != 0) {
    set_last_error(from_errno(errno));
    return -1;
  }
  int edges = 0;
  wait.counts.store(read_cts_edges(fd, &edges));
  wait.cts_edges.store(edges);
  wait.cts_level.store((bits & TIOCM_CTS) != 0);
  wait.armed.store(true);
  // An edge between the snapshot and arming would wake the helper too early to count.
  int now = 0;
  if (wait.counts.load() && read_cts_edges(fd, &now) && now != edges) complete_wait();
  set_last_error(platform::err::io_pending);
  return 0;
}

void cts_event_close() {}

void reset_cts_watch() {
  cts_watch_stop(helper.fd);
  wait.armed.store(false);
  wait.fd.store(-1);
  wait.mask = 0;
  wait.counts.store(false);
  event_word = 0;
}

}  // namespace posix_host
