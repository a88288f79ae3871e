// The per-thread last-error value and the errno -> Windows error number table.
#include <cerrno>

#include "platform/platform.h"
#include "platform/posix/host.h"
#include "platform/posix/host_serial.h"

namespace posix_host {

namespace {

thread_local uint32_t last_error_value = 0;

struct ErrnoMapping {
  int error_number;
  uint32_t windows_error;
};

// errno -> Windows system error number. The tool's port texts know 2, 5, 6, 21, 87 and 110;
// everything a Linux serial driver commonly reports is brought onto the Windows number with
// the same meaning, so a message reads the same on both systems.
//   ENOENT  -> 2    ERROR_FILE_NOT_FOUND     (no such device node or file)
//   ENOTDIR -> 3    ERROR_PATH_NOT_FOUND
//   EMFILE, ENFILE -> 4 ERROR_TOO_MANY_OPEN_FILES
//   EACCES, EPERM -> 5 ERROR_ACCESS_DENIED
//   EBUSY   -> 5    ERROR_ACCESS_DENIED      (a tty held exclusively by another process)
//   EAGAIN/EWOULDBLOCK -> 5 ERROR_ACCESS_DENIED (the port's lock is held elsewhere)
//   EBADF   -> 6    ERROR_INVALID_HANDLE
//   ENOMEM  -> 8    ERROR_NOT_ENOUGH_MEMORY
//   EROFS   -> 19   ERROR_WRITE_PROTECT
//   EIO     -> 31   ERROR_GEN_FAILURE        (the device stopped working)
//   ENOTTY, ENOSYS, EOPNOTSUPP -> 50 ERROR_NOT_SUPPORTED (a device without modem lines,
//                   such as a pseudo-terminal; deliberately not 1, which is also an exit
//                   code of the tool with its own meaning)
//   EEXIST  -> 80   ERROR_FILE_EXISTS
//   EINVAL, ERANGE -> 87 ERROR_INVALID_PARAMETER
//   ENOSPC  -> 112  ERROR_DISK_FULL
//   ENAMETOOLONG -> 206 ERROR_FILENAME_EXCED_RANGE
//   EINTR   -> 995  ERROR_OPERATION_ABORTED
//   ENXIO, ENODEV -> 1167 ERROR_DEVICE_NOT_CONNECTED (a USB adapter pulled out)
//   ETIMEDOUT -> 1460 ERROR_TIMEOUT
//   0       -> 0
//   anything else -> 31 ERROR_GEN_FAILURE, never 0.
constexpr ErrnoMapping errno_table[] = {
    {ENOENT, 2},    {ENOTDIR, 3},    {EMFILE, 4},         {ENFILE, 4},    {EACCES, 5},
    {EPERM, 5},     {EBUSY, 5},      {EAGAIN, 5},         {EWOULDBLOCK, 5}, {EBADF, 6},
    {ENOMEM, 8},    {EROFS, 19},     {EIO, 31},           {ENOTTY, 50},   {ENOSYS, 50},
    {EOPNOTSUPP, 50}, {EEXIST, 80},  {EINVAL, 87},        {ERANGE, 87},   {ENOSPC, 112},
    {ENAMETOOLONG, 206}, {EINTR, 995}, {ENXIO, 1167},     {ENODEV, 1167}, {ETIMEDOUT, 1460},
};

}  // namespace

uint32_t from_errno(int error_number) {
  if (error_number == 0) return platform::err::success;
  for (const ErrnoMapping& m : errno_table) {
    if (m.error_number == error_number) return m.windows_error;
  }
  return platform::err::gen_failure;
}

uint32_t last_error() { return last_error_value; }

void set_last_error(uint32_t code) { last_error_value = code; }

void reset() {
  last_error_value = 0;
  set_console_utf8(-1);
  reset_keyboard();
  reset_serial();
}

}  // namespace posix_host
