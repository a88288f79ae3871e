// The console runs its control handler on a thread of its own while the tool's only thread
// may be inside a busy wait; switching lines from there is safe, the driver serialises the
// requests on one handle. The target goes off in the order of the normal power-off: data line
// released, 2 ms, clock low, 500 ms, supply off (a chip whose supply goes while clock and data
// are still driven is fed through its pins).
//
// On the FT232R cable the handler calls no D2XX function while the tool's thread may be inside
// one: it notes the event, which the cable's stream acts on at its next transfer, and waits for
// the stream to have powered the target off and closed the cable. Windows gives a closing
// console about 5 s before it ends the process (SetConsoleCtrlHandler's HandlerRoutine
// documentation), so the wait is bounded below that.
#include "platform/win32/win_power_guard.h"
#include "platform/ftdi.h"
#include "platform/win32/win_api.h"

#include <atomic>

namespace platform {
namespace {

std::atomic<SerialHandle> guarded{no_serial};
std::atomic<bool> cable_guarded{false};
std::atomic<int> emergency{0};
std::atomic<bool> emergency_done{false};
bool handler_installed = false;

constexpr DWORD release_to_clock_ms = 2;
constexpr DWORD clock_to_supply_ms = 500;
constexpr DWORD cable_wait_ms = 4000;
constexpr DWORD cable_look_ms = 10;

BOOL WINAPI on_console_end(DWORD event) {
  if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT || event == CTRL_CLOSE_EVENT) {
    const SerialHandle h = guarded.exchange(no_serial);
    if (h != no_serial) {
      HANDLE port = reinterpret_cast<HANDLE>(h);
      EscapeCommFunction(port, CLRBREAK);
      Sleep(release_to_clock_ms);
      EscapeCommFunction(port, CLRDTR);
      Sleep(clock_to_supply_ms);
      EscapeCommFunction(port, CLRRTS);
    } else if (cable_guarded.load()) {
      int none = 0;
      // The event's own number stands for the signal; the stream only needs it non-zero.
      emergency.compare_exchange_strong(none, static_cast<int>(event) + 1);
      for (DWORD waited = 0; !emergency_done.load() && cable_guarded.load() && waited < cable_wait_ms;
           waited += cable_look_ms) {
        Sleep(cable_look_ms);
      }
    }
  }
  return FALSE;  // the default handler still ends the process
}

void install_handler() {
  if (handler_installed) return;
  const DWORD saved = GetLastError();
  handler_installed = SetConsoleCtrlHandler(on_console_end, TRUE) != FALSE;
  SetLastError(saved);
}

}  // namespace

void guard_port(SerialHandle h) {
  install_handler();
  guarded.store(h);
}

void unguard_port(SerialHandle h) {
  SerialHandle expected = h;
  guarded.compare_exchange_strong(expected, no_serial);
}

void guard_cable(bool open) {
  if (open) install_handler();
  cable_guarded.store(open);
}

int emergency_signal() { return emergency.load(); }

// The handler returns once this is set, and the default handler ends the process; this thread
// has nothing left to do meanwhile.
void end_after_emergency(int) {
  emergency_done.store(true);
  for (;;) Sleep(INFINITE);
}

}  // namespace platform
