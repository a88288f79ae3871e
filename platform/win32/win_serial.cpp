// Serial devices through the Win32 communications calls. The tool never moves a byte through
// the port: only the modem-control outputs, the break state and the modem-status inputs.
#include "platform/win32/win_api.h"
#include "platform/win32/win_power_guard.h"

namespace platform {
namespace {

static_assert(sizeof(DCB) == 28, "the device-control block of the 32-bit and 64-bit API");
static_assert(sizeof(SerialHandle) == sizeof(HANDLE), "a handle fits the serial handle");

HANDLE to_handle(SerialHandle h) { return reinterpret_cast<HANDLE>(h); }

void to_dcb(const Dcb& from, DCB* to) {
  ZeroMemory(to, sizeof(*to));
  to->DCBlength = sizeof(DCB);
  to->BaudRate = from.BaudRate;
  const uint32_t f = from.flags;
  to->fBinary = dcb_field(f, dcb_binary);
  to->fParity = dcb_field(f, dcb_parity);
  to->fOutxCtsFlow = dcb_field(f, dcb_outx_cts_flow);
  to->fOutxDsrFlow = dcb_field(f, dcb_outx_dsr_flow);
  to->fDtrControl = dcb_field(f, dcb_dtr_control);
  to->fDsrSensitivity = dcb_field(f, dcb_dsr_sensitivity);
  to->fTXContinueOnXoff = dcb_field(f, dcb_tx_continue_on_xoff);
  to->fOutX = dcb_field(f, dcb_out_x);
  to->fInX = dcb_field(f, dcb_in_x);
  to->fErrorChar = dcb_field(f, dcb_error_char);
  to->fNull = dcb_field(f, dcb_null);
  to->fRtsControl = dcb_field(f, dcb_rts_control);
  to->fAbortOnError = dcb_field(f, dcb_abort_on_error);
  to->fDummy2 = dcb_field(f, dcb_reserved);
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
  to->flags = dcb_place(from.fBinary, dcb_binary) | dcb_place(from.fParity, dcb_parity) |
              dcb_place(from.fOutxCtsFlow, dcb_outx_cts_flow) |
              dcb_place(from.fOutxDsrFlow, dcb_outx_dsr_flow) |
              dcb_place(from.fDtrControl, dcb_dtr_control) |
              dcb_place(from.fDsrSensitivity, dcb_dsr_sensitivity) |
              dcb_place(from.fTXContinueOnXoff, dcb_tx_continue_on_xoff) |
              dcb_place(from.fOutX, dcb_out_x) | dcb_place(from.fInX, dcb_in_x) |
              dcb_place(from.fErrorChar, dcb_error_char) | dcb_place(from.fNull, dcb_null) |
              dcb_place(from.fRtsControl, dcb_rts_control) |
              dcb_place(from.fAbortOnError, dcb_abort_on_error) |
              dcb_place(from.fDummy2, dcb_reserved);
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
const OpenDetail& serial_open_detail() {
  static const OpenDetail nothing{OpenRefusal::none, -1, ""};
  return nothing;
}

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
