// The per-thread last-error value is the system's own on Windows.
#include "platform/win32/win_api.h"

namespace platform {

uint32_t last_error() { return GetLastError(); }

void set_last_error(uint32_t code) { SetLastError(code); }

}  // namespace platform
