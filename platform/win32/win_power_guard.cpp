// The console runs its control handler on a thread of its own while the tool's only thread
// may be inside a busy wait; switching lines from there is safe, the driver serialises the
// requests on one handle.
#include "platform/win32/win_power_guard.h"
#include "platform/win32/win_api.h"

#include <atomic>

namespace platform {
namespace {

std::atomic<SerialHandle> guarded{no_serial};
bool handler_installed = false;

BOOL WINAPI on_console_end(DWORD event) {
  if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT || event == CTRL_CLOSE_EVENT) {
    const SerialHandle h = guarded.exchange(no_serial);
    if (h != no_serial) {
      HANDLE port = reinterpret_cast<HANDLE>(h);
      EscapeCommFunction(port, CLRRTS);  // target supply off first
      EscapeCommFunction(port, CLRBREAK);
      EscapeCommFunction(port, CLRDTR);
    }
  }
  return FALSE;  // the default handler still ends the process
}

}  // namespace

void guard_port(SerialHandle h) {
  if (!handler_installed) {
    const DWORD saved = GetLastError();
    handler_installed = SetConsoleCtrlHandler(on_console_end, TRUE) != FALSE;
    SetLastError(saved);
  }
  guarded.store(h);
}

void unguard_port(SerialHandle h) {
  SerialHandle expected = h;
  guarded.compare_exchange_strong(expected, no_serial);
}

}  // namespace platform
