// The process exit status.
#include "platform/posix/host.h"

namespace posix_host {

// A Linux process status keeps only the low 8 bits of the code given to exit(). The tool's
// codes include Windows error numbers such as 1167, and a code like 256 would read as 0, a
// failure reported as success. So 0..255 leave unchanged and every other code (above 255 or
// negative) leaves as 255; the log and the last message still show the full number.
int process_exit_status(int32_t exit_code) {
  if (exit_code >= 0 && exit_code <= 255) return exit_code;
  return 255;
}

}  // namespace posix_host
