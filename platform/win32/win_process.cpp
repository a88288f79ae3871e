// A Windows process carries the whole 32-bit exit code, so nothing is lost on the way out.
#include "platform/platform.h"

namespace platform {

int process_exit_status(int32_t exit_code) { return exit_code; }

}  // namespace platform
