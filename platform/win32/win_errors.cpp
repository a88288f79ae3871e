// The per-thread last-error value is the system's own on Windows.
// First: windows.h defines SETRTS, MS_CTS_ON, EV_CTS, ... as macros, which would
// rewrite the constants of the same names declared here.
#include "platform/platform.h"

#include <windows.h>

namespace platform {

uint32_t last_error() { return GetLastError(); }

void set_last_error(uint32_t code) { SetLastError(code); }

}  // namespace platform
