// Serial devices through the Win32 communications calls. The tool never moves a byte through
// the port: only the modem-control outputs, the break state and the modem-status inputs.
// First: windows.h defines SETRTS, MS_CTS_ON, EV_CTS, ... as macros, which would
// rewrite the constants of the same names declared here.
#include "platform/platform.h"
#include "platform/win32/win_power_guard.h"

#include <windows.h>

namespace platform {
namespace {

static_assert(sizeof(DCB) == 28, "the device-control block of the 32-bit and 64-bit API");
static_assert(sizeof(SerialHandle) == sizeof(HANDLE), "a handle fits the serial handle");

HANDLE to_handle(SerialHandle h) { return reinterpret_cast<HANDLE>(h); }

// The flag word holds the DCB bitfields in their documented order, low bit first.
void to_dcb(const Dcb& from, DCB* to) {
  ZeroMemory(to, sizeof(*to));
  to->DCBlength = sizeof(DCB);
  to->BaudRate = from.BaudRate;
  const uint32_t f = from.flags;
  to->fBinary = f & 1u;
  to->fParity = (f >> 1) & 1u;
  to->fOutxCtsFlow = (f >> 2) & 1u;
  to->fOutxDsrFlow = (f >> 3) & 1u;
  to->fDtrControl = (f >> 4) & 3u;
  to->fDsrSensitivity = (f >> 6) & 1u;
  to->fTXContinueOnXoff = (f >> 7) & 1u;
  to->fOutX = (f >> 8) & 1u;
  to->fInX = (f >> 9) & 1u;
  to->fErrorChar = (f >> 10) & 1u;
  to->fNull = (f >> 11) & 1u;
  to->fRtsControl = (f >> 12) & 3u;
  to->fAbortOnError = (f >> 14) & 1u;
  to->fDummy2 = (f >> 15) & 0x1FFFFu;
  to->wReserved = from.wReserved;
  to->XonLim = from.XonLim;
  to->XoffLim = from.XoffLim;
  to->ByteSize = from.ByteSize;
  to->Parity = from.Parity;
  to->StopBits = from.StopBits;
  to->XonChar = from.XonChar;
  to->XoffChar = from.XoffChar;
  to->ErrorChar = from.ErrorChar;
  to->EofChar = from.EofChar;
  to->EvtChar = from.EvtChar;
  to->wReserved1 = from.wReserved1;
}

void from_dcb(const DCB& from, Dcb* to) {
  to->DCBlength = from.DCBlength;
  to->BaudRate = from.BaudRate;
  to->flags = static_cast<uint32_t>(from.fBinary) | static_cast<uint32_t>(from.fParity) << 1 |
              static_cast<uint32_t>(from.fOutxCtsFlow) << 2 |
              static_cast<uint32_t>(from.fOutxDsrFlow) << 3 |
              static_cast<uint32_t>(from.fDtrControl) << 4 |
              static_cast<uint32_t>(from.fDsrSensitivity) << 6 |
              static_cast<uint32_t>(from.fTXContinueOnXoff) << 7 |
              static_cast<uint32_t>(from.fOutX) << 8 | static_cast<uint32_t>(from.fInX) << 9 |
              static_cast<uint32_t>(from.fErrorChar) << 10 |
              static_cast<uint32_t>(from.fNull) << 11 |
              static_cast<uint32_t>(from.fRtsControl) << 12 |
              static_cast<uint32_t>(from.fAbortOnError) << 14 |
              static_cast<uint32_t>(from.fDummy2) << 15;
  to->wReserved = from.wReserved;
  to->XonLim = from.XonLim;
  to->XoffLim = from.XoffLim;
  to->ByteSize = from.ByteSize;
  to->Parity = from.Parity;
  to->StopBits = from.StopBits;
  to->XonChar = from.XonChar;
  to->XoffChar = from.XoffChar;
  to->ErrorChar = from.ErrorChar;
  to->EofChar = from.EofChar;
  to->EvtChar = from.EvtChar;
  to->wReserved1 = from.wReserved1;
}

}  // namespace

SerialHandle serial_open(const char16_t* path) {
  // No sharing makes the port ours alone; overlapped mode is what lets WaitCommEvent run in
  // the background while the tool keeps switching lines.
  HANDLE h = CreateFileW(reinterpret_cast<const wchar_t*>(path), GENERIC_READ | GENERIC_WRITE,
                         0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  if (h == INVALID_HANDLE_VALUE) return no_serial;
  guard_port(reinterpret_cast<SerialHandle>(h));
  return reinterpret_cast<SerialHandle>(h);
}

// Windows' own error number says it all.
const char* serial_open_detail() { return ""; }

bool serial_clear_errors(SerialHandle h) {
  DWORD errors = 0;
  COMSTAT status;
  return ClearCommError(to_handle(h), &errors, &status) != FALSE;
}

bool serial_build_dcb(const char16_t* mode, Dcb* dcb) {
  DCB block;
  to_dcb(*dcb, &block);
  if (!BuildCommDCBW(reinterpret_cast<const wchar_t*>(mode), &block)) return false;
  from_dcb(block, dcb);
  return true;
}

bool serial_set_state(SerialHandle h, const Dcb& dcb) {
  DCB block;
  to_dcb(dcb, &block);
  return SetCommState(to_handle(h), &block) != FALSE;
}

bool serial_purge(SerialHandle h, uint32_t flags) {
  return PurgeComm(to_handle(h), flags) != FALSE;
}

bool serial_close(SerialHandle h) {
  unguard_port(h);
  if (CloseHandle(to_handle(h))) return true;
  guard_port(h);  // still open: still the adapter's port
  return false;
}

bool serial_escape(SerialHandle h, uint32_t function) {
  return EscapeCommFunction(to_handle(h), function) != FALSE;
}

bool serial_modem_status(SerialHandle h, uint32_t* status) {
  DWORD bits = 0;
  if (!GetCommModemStatus(to_handle(h), &bits)) return false;
  *status = bits;
  return true;
}

bool serial_set_mask(SerialHandle h, uint32_t mask) {
  return SetCommMask(to_handle(h), mask) != FALSE;
}

}  // namespace platform
