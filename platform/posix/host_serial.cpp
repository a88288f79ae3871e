// Serial ports on Linux: a port in use by others left alone, exclusive open with a lock file,
// raw termios, and the modem lines through ioctl (the CTS watch is host_cts_watch.cpp).
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstdio>

#include "platform/mode_text.h"
#include "platform/posix/host.h"
#include "platform/posix/host_port.h"
#include "platform/posix/host_serial.h"

namespace posix_host {

namespace {

bool fail(int error_number) {
  set_last_error(from_errno(error_number));
  return false;
}

bool valid(platform::SerialHandle h) {
  if (h < 0 || h > INT_MAX) {
    set_last_error(platform::err::invalid_handle);
    return false;
  }
  return true;
}

int fd_of(platform::SerialHandle h) { return static_cast<int>(h); }

// A pseudo-terminal or a driver without modem-control support rejects the line ioctls with
// these; for the best-effort drops below they mean "no lines to drop".
bool no_modem_lines(int error_number) { return error_number == ENOTTY || error_number == EINVAL; }

bool modem_bits(int fd, int* bits) { return ioctl(fd, TIOCMGET, bits) == 0; }

bool drop_dtr_rts(int fd, int lines) {
  if (lines == 0 || ioctl(fd, TIOCMBIC, &lines) == 0) return true;
  return no_modem_lines(errno);
}

bool raise_lines(int fd, int lines) {
  if (lines == 0 || ioctl(fd, TIOCMBIS, &lines) == 0) return true;
  return no_modem_lines(errno);
}

// Raw mode: no line discipline processing, no flow control of any kind, modem lines ignored
// for carrier (CLOCAL), and HUPCL so that the last close drops DTR and RTS: a tool that dies
// mid-run leaves the target unpowered.
void make_raw(termios* t) {
  t->c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL |
                                       IXON | IXOFF | IXANY);
  t->c_oflag &= ~static_cast<tcflag_t>(OPOST);
  t->c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
  t->c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
  t->c_cflag |= CS8 | CLOCAL | CREAD | HUPCL;
  t->c_cc[VMIN] = 0;
  t->c_cc[VTIME] = 0;
}

struct SpeedEntry {
  uint32_t baud;
  speed_t code;
};
constexpr SpeedEntry speeds[] = {
    {50, B50},         {75, B75},         {110, B110},       {134, B134},       {150, B150},
    {200, B200},       {300, B300},       {600, B600},       {1200, B1200},     {1800, B1800},
    {2400, B2400},     {4800, B4800},     {9600, B9600},     {19200, B19200},   {38400, B38400},
    {57600, B57600},   {115200, B115200}, {230400, B230400}, {460800, B460800}, {500000, B500000},
    {576000, B576000}, {921600, B921600}, {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

bool speed_code(uint32_t baud, speed_t* code) {
  for (const SpeedEntry& s : speeds) {
    if (s.baud == baud) {
      *code = s.code;
      return true;
    }
  }
  return false;
}

}  // namespace

// Opening a port, in this order: the checks that need no open, the lock file, open(), TIOCGEXCL
// before any setting or line changes, flock, then exclusivity, raw mode and the lines down.
platform::SerialHandle serial_open(const char16_t* path) {
  clear_open_detail();
  const int com = com_number_from_path(path);
  char name[16];
  char device[600];
  if (com == 0 || !com_device_name(com, name, sizeof name)) {
    set_last_error(platform::err::file_not_found);
    return platform::no_serial;
  }
  const int n = std::snprintf(device, sizeof device, "%s/%s", device_root(), name);
  if (n <= 0 || static_cast<std::size_t>(n) >= sizeof device) {
    set_last_error(platform::err::file_not_found);
    return platform::no_serial;
  }
  if (com_is_acm(com)) {
    set_open_detail(device, platform::OpenRefusal::cdc_acm, -1);
    set_last_error(platform::err::not_supported);
    return platform::no_serial;
  }
  // The lock file is taken before the open: the open raises DTR and RTS, so as little as
  // possible may come between it and dropping them.
  if (!port_free_before_open(name, device) || !take_port_lock(name, device)) return platform::no_serial;
  // O_NONBLOCK: do not wait for carrier; O_NOCTTY: never become the controlling terminal.
  const int fd = open(device, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    const int error_number = errno;
    drop_port_lock();
    set_open_detail_errno(device, error_number);
    fail(error_number);
    return platform::no_serial;
  }
  int error_number = 0;
  bool locked = false;
  int exclusive = 0;
  termios settings {};
  if (ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive != 0) {
    // Someone else made it exclusive; root gets through TIOCEXCL, but must not.
    set_open_detail(device, platform::OpenRefusal::exclusive_mode, -1);
    drop_port_lock();
    close(fd);
    set_last_error(platform::err::access_denied);
    return platform::no_serial;
  }
  // The flock comes first: TIOCEXCL belongs to the tty, not to this descriptor, so only the
  // holder of the lock may set it (and clear it again when giving up).
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    error_number = errno == EWOULDBLOCK ? EBUSY : errno;
  } else {
    locked = true;
    if (ioctl(fd, TIOCEXCL) != 0 || tcgetattr(fd, &settings) != 0) {
      error_number = errno;
    } else {
      make_raw(&settings);
      cfsetispeed(&settings, B9600);
      cfsetospeed(&settings, B9600);
      // Configure before dropping the lines: a stored speed of 0 would raise them again.
      if (tcsetattr(fd, TCSANOW, &settings) != 0) {
        error_number = errno;
      } else if (!drop_dtr_rts(fd, TIOCM_DTR | TIOCM_RTS)) {
        // Opening a tty raises DTR and RTS, and RTS powers the target.
        error_number = errno;
      }
    }
  }
  if (error_number != 0) {
    if (locked) ioctl(fd, TIOCNXCL);
    drop_port_lock();
    close(fd);
    set_open_detail_errno(device, error_number);
    fail(error_number);
    return platform::no_serial;
  }
  guard_port_against_signals(fd);
  cts_watch_start(fd);
  return fd;
}

bool serial_clear_errors(platform::SerialHandle h) {
  if (!valid(h)) return false;
  // A Linux tty latches no error state that would block the line ioctls; what remains is to
  // see that the device still answers.
  termios settings {};
  if (tcgetattr(fd_of(h), &settings) != 0) return fail(errno);
  return true;
}

bool serial_build_dcb(const char16_t* mode, platform::Dcb* dcb) {
  // Read as BuildCommDCBW reads it, so a mode text means the same on both systems.
  if (mode == nullptr || dcb == nullptr || !platform::dcb_from_mode_text(mode, dcb)) {
    set_last_error(platform::err::invalid_parameter);
    return false;
  }
  return true;
}

bool serial_set_state(platform::SerialHandle h, const platform::Dcb& dcb) {
  if (!valid(h)) return false;
  const int fd = fd_of(h);
  speed_t speed = B0;
  tcflag_t size = 0;
  switch (dcb.ByteSize) {
    case 5: size = CS5; break;
    case 6: size = CS6; break;
    case 7: size = CS7; break;
    case 8: size = CS8; break;
    default: break;
  }
  const bool stop_ok = dcb.StopBits == 0 || dcb.StopBits == 2 || (dcb.StopBits == 1 && dcb.ByteSize == 5);
  if (!speed_code(dcb.BaudRate, &speed) || size == 0 || dcb.Parity > 4 || !stop_ok) {
    set_last_error(platform::err::invalid_parameter);
    return false;
  }
  termios settings {};
  if (tcgetattr(fd, &settings) != 0) return fail(errno);
  make_raw(&settings);
  settings.c_cflag &= ~static_cast<tcflag_t>(CSIZE);
  settings.c_cflag |= size;
  switch (dcb.Parity) {
    case 1: settings.c_cflag |= PARENB | PARODD; break;
    case 2: settings.c_cflag |= PARENB; break;
    case 3: settings.c_cflag |= PARENB | PARODD | CMSPAR; break;
    case 4: settings.c_cflag |= PARENB | CMSPAR; break;
    default: break;
  }
  if (dcb.StopBits != 0) settings.c_cflag |= CSTOPB;
  // Flow control stays off whatever the block asks for: the adapter uses CTS as the target's
  // data line, and the driver must never hold the lines back on its own.
  cfsetispeed(&settings, speed);
  cfsetospeed(&settings, speed);
  if (tcsetattr(fd, TCSANOW, &settings) != 0) return fail(errno);

  // DTR and RTS control as the block says: disabled drops the line, enabled raises it,
  // handshake and toggle (flow control) leave it as it is.
  const uint32_t dtr_control = platform::dcb_field(dcb.flags, platform::dcb_dtr_control);
  const uint32_t rts_control = platform::dcb_field(dcb.flags, platform::dcb_rts_control);
  const int drop = (dtr_control == platform::DTR_CONTROL_DISABLE ? TIOCM_DTR : 0) |
                   (rts_control == platform::RTS_CONTROL_DISABLE ? TIOCM_RTS : 0);
  const int raise = (dtr_control == platform::DTR_CONTROL_ENABLE ? TIOCM_DTR : 0) |
                    (rts_control == platform::RTS_CONTROL_ENABLE ? TIOCM_RTS : 0);
  cts_watch_renew(fd);
  if (!drop_dtr_rts(fd, drop) || !raise_lines(fd, raise)) return fail(errno);
  return true;
}

bool serial_purge(platform::SerialHandle h, uint32_t flags) {
  if (!valid(h)) return false;
  if ((flags & ~platform::purge_all) != 0) {
    set_last_error(platform::err::invalid_parameter);
    return false;
  }
  const bool transmit = (flags & 0x5) != 0;  // PURGE_TXABORT | PURGE_TXCLEAR
  const bool receive = (flags & 0xA) != 0;   // PURGE_RXABORT | PURGE_RXCLEAR
  if (transmit || receive) {
    const int queue = transmit && receive ? TCIOFLUSH : (transmit ? TCOFLUSH : TCIFLUSH);
    if (tcflush(fd_of(h), queue) != 0) return fail(errno);
  }
  return true;
}

bool serial_close(platform::SerialHandle h) {
  if (!valid(h)) return false;
  const int fd = fd_of(h);
  cts_watch_stop(fd);
  port_released_from_signals();
  ioctl(fd, TIOCNXCL);
  drop_port_lock();
  // Linux releases the descriptor even when close reports an error (EINTR, EIO of a device
  // pulled out); only EBADF means there was nothing to close. Reporting the others as a
  // failure would leave the caller holding a handle that no longer exists.
  if (close(fd) != 0 && errno == EBADF) return fail(EBADF);
  return true;
}

bool serial_escape(platform::SerialHandle h, uint32_t function) {
  if (!valid(h)) return false;
  const int fd = fd_of(h);
  int lines = 0;
  int result;
  switch (function) {
    case platform::SETRTS: lines = TIOCM_RTS; result = ioctl(fd, TIOCMBIS, &lines); break;
    case platform::CLRRTS: lines = TIOCM_RTS; result = ioctl(fd, TIOCMBIC, &lines); break;
    case platform::SETDTR: lines = TIOCM_DTR; result = ioctl(fd, TIOCMBIS, &lines); break;
    case platform::CLRDTR: lines = TIOCM_DTR; result = ioctl(fd, TIOCMBIC, &lines); break;
    case platform::SETBREAK: result = ioctl(fd, TIOCSBRK); break;
    case platform::CLRBREAK: result = ioctl(fd, TIOCCBRK); break;
    default:
      set_last_error(platform::err::invalid_parameter);
      return false;
  }
  if (result != 0) return fail(errno);
  return true;
}

bool serial_modem_status(platform::SerialHandle h, uint32_t* status) {
  if (!valid(h)) return false;
  if (status == nullptr) {
    set_last_error(platform::err::invalid_parameter);
    return false;
  }
  int bits = 0;
  if (!modem_bits(fd_of(h), &bits)) return fail(errno);
  *status = ((bits & TIOCM_CTS) != 0 ? platform::MS_CTS_ON : 0u) |
            ((bits & TIOCM_DSR) != 0 ? platform::MS_DSR_ON : 0u) |
            ((bits & TIOCM_RNG) != 0 ? 0x40u : 0u) |  // MS_RING_ON
            ((bits & TIOCM_CAR) != 0 ? 0x80u : 0u);   // MS_RLSD_ON
  cts_watch_sample(fd_of(h), bits);
  return true;
}

bool serial_set_mask(platform::SerialHandle h, uint32_t mask) {
  if (!valid(h)) return false;
  termios settings {};
  if (tcgetattr(fd_of(h), &settings) != 0) return fail(errno);
  cts_watch_set_mask(fd_of(h), mask);
  return true;
}

const platform::OpenDetail& serial_open_detail() { return open_detail(); }

void reset_serial() {
  reset_cts_watch();
  port_released_from_signals();
  drop_port_lock();
  clear_open_detail();
  set_guard_roots(nullptr, nullptr, nullptr);
  reset_devmap();
}

}  // namespace posix_host
