// The operating-system services Tolvern uses, and nothing more. The core calls only these;
// which world answers them (Windows, Linux, or the simulated adapter and chip) is chosen at
// link time.
//
// Error numbers crossing this boundary are Windows system error numbers on every platform,
// so that messages and exit codes mean the same everywhere. Functions that fail leave their
// error number in the per-thread last-error value (last_error).
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform {

// Windows system error numbers the tool meets or produces.
namespace err {
constexpr uint32_t success = 0;
constexpr uint32_t file_not_found = 2;
constexpr uint32_t path_not_found = 3;
constexpr uint32_t access_denied = 5;
constexpr uint32_t invalid_handle = 6;
constexpr uint32_t bad_environment = 10;
constexpr uint32_t invalid_data = 13;
constexpr uint32_t no_more_files = 18;
constexpr uint32_t not_ready = 21;
constexpr uint32_t gen_failure = 31;
constexpr uint32_t sharing_violation = 32;
constexpr uint32_t not_supported = 50;
constexpr uint32_t invalid_parameter = 87;
constexpr uint32_t open_failed = 110;
constexpr uint32_t insufficient_buffer = 122;
constexpr uint32_t bad_pathname = 161;
constexpr uint32_t more_data = 234;
constexpr uint32_t no_more_items = 259;
constexpr uint32_t io_pending = 997;
constexpr uint32_t device_not_connected = 1167;
}  // namespace err

// ---- per-thread last-error value ------------------------------------------------------
uint32_t last_error();
void set_last_error(uint32_t code);

// ---- time -----------------------------------------------------------------------------
// High-resolution counter in ticks and its frequency in ticks per second.
bool query_counter(int64_t* ticks);
bool query_frequency(int64_t* ticks_per_second);
void sleep_ms(uint32_t ms);

// ---- console --------------------------------------------------------------------------
// Writes bytes of code page 866 as they are; a back end whose terminal speaks another
// character set converts them for display. Output is on the screen when this returns.
void console_write(const char* bytes, size_t count);
// A key is waiting (never waits). After the end of input this stays true.
bool key_waiting();
// One key code, unechoed and unbuffered; an extended key gives two codes in a row, the first
// 0 or 0xE0. After the end of input every call returns ESC (27) at once.
int read_key();
// The keyboard's input has ended (a closed pipe, /dev/null, no scripted keys left).
bool keyboard_closed();
// Output goes to an interactive terminal (a Windows console, a Linux tty), not to a file or
// a pipe. Leaves the last-error value as it was.
bool console_interactive();

// ---- process --------------------------------------------------------------------------
// Maps the tool's 32-bit exit code onto the process exit status this platform can carry.
int process_exit_status(int32_t exit_code);

// ---- file system beyond the C library -------------------------------------------------
// The character that separates directories in the program's own name and in paths built
// from it ('\\' on Windows, '/' on Linux).
char path_separator();
// A path as the system spells it, as Windows-1251 text for a message (the log keeps those
// bytes, the console shows them in its own character set). On Linux a UTF-8 name's Russian
// letters become their Windows-1251 bytes and anything else without one a '?'; on Windows the
// program's narrow paths already are in the ANSI code page and are copied. Always terminated;
// cut at a whole character when out is full.
void path_to_message_text(const char* path, char* out, size_t capacity);
// The current directory without a trailing separator. False when it cannot be read or does
// not fit in capacity bytes with its terminator (last error set).
bool current_directory(char* buffer, size_t capacity);
// The name (without directory) of the first file matching pattern, which is a directory
// followed by a file name with the wildcards * and ?. False when none matches or the
// directory cannot be searched (last error set) or the name does not fit.
bool find_first_file(const char* pattern, char* name, size_t capacity);

// ---- the system's serial device map (the SERIALCOMM registry key on Windows) ------------
// Results are error numbers: 0 success, 2 the map does not exist, 259 no more values,
// 234 a name or data that does not fit, anything else a failure.
uint32_t devmap_open();
// Value number index. On entry *name_units is the room in name (UTF-16 units, terminator
// included) and *data_bytes the room in data; on success they hold the name's length
// (without terminator) and the number of data bytes stored. The data of a text value is
// UTF-16LE and may or may not end with a terminator.
uint32_t devmap_read(uint32_t index, char16_t* name, uint32_t* name_units, uint32_t* type,
                     uint8_t* data, uint32_t* data_bytes);
uint32_t devmap_close();
constexpr uint32_t reg_sz = 1;

// ---- serial devices -------------------------------------------------------------------
using SerialHandle = std::intptr_t;
constexpr SerialHandle no_serial = -1;

// Opens the device path ("COM5", "\\\\.\\COM12") exclusively, usable with the asynchronous
// CTS wait. Returns no_serial on failure.
SerialHandle serial_open(const char16_t* path);
// Why the last serial_open refused its port, where the system can tell more than an error
// number (Linux); the core words it on the line after the open-failure message. The Windows
// and simulated back ends never add anything (reason none).
enum class OpenRefusal {
  none,
  no_device,        // no such device node
  access_denied,    // EACCES, EPERM
  in_use,           // EBUSY, or another program's flock
  not_a_port,       // ENOTTY
  not_connected,    // ENXIO, ENODEV
  system_error,     // any other errno (in number)
  system_console,   // an active system console
  lock_file,        // a UUCP lock file that cannot be read
  held_by_process,  // a live process (its id in number) holds the lock or the device
  exclusive_mode,   // already in exclusive mode (TIOCGEXCL)
  cdc_acm,          // a cdc-acm port: its driver always reports CTS set
};
struct OpenDetail {
  OpenRefusal reason;
  long number;       // the process id (held_by_process) or errno (system_error); else -1
  char device[120];  // the device path as the system names it (UTF-8 on Linux)
};
const OpenDetail& serial_open_detail();
bool serial_clear_errors(SerialHandle h);

// The Windows device-control block, field by field (not its memory layout).
struct Dcb {
  uint32_t DCBlength;
  uint32_t BaudRate;
  uint32_t flags;  // the bitfields of the Windows block, dcb_* below
  uint16_t wReserved;
  uint16_t XonLim;
  uint16_t XoffLim;
  uint8_t ByteSize;
  uint8_t Parity;
  uint8_t StopBits;
  char XonChar;
  char XoffChar;
  char ErrorChar;
  char EofChar;
  char EvtChar;
  uint16_t wReserved1;
};
// The flag word: the block's bitfields in their documented order, low bit first.
constexpr uint32_t dcb_binary = 1u << 0;             // fBinary
constexpr uint32_t dcb_parity = 1u << 1;             // fParity
constexpr uint32_t dcb_outx_cts_flow = 1u << 2;      // fOutxCtsFlow
constexpr uint32_t dcb_outx_dsr_flow = 1u << 3;      // fOutxDsrFlow
constexpr uint32_t dcb_dtr_control = 3u << 4;        // fDtrControl, DTR_CONTROL_*
constexpr uint32_t dcb_dsr_sensitivity = 1u << 6;    // fDsrSensitivity
constexpr uint32_t dcb_tx_continue_on_xoff = 1u << 7;  // fTXContinueOnXoff
constexpr uint32_t dcb_out_x = 1u << 8;              // fOutX
constexpr uint32_t dcb_in_x = 1u << 9;               // fInX
constexpr uint32_t dcb_error_char = 1u << 10;        // fErrorChar
constexpr uint32_t dcb_null = 1u << 11;              // fNull
constexpr uint32_t dcb_rts_control = 3u << 12;       // fRtsControl, RTS_CONTROL_*
constexpr uint32_t dcb_abort_on_error = 1u << 14;    // fAbortOnError
constexpr uint32_t dcb_reserved = 0xFFFF8000u;       // fDummy2
constexpr uint32_t DTR_CONTROL_DISABLE = 0;
constexpr uint32_t DTR_CONTROL_ENABLE = 1;
constexpr uint32_t DTR_CONTROL_HANDSHAKE = 2;
constexpr uint32_t RTS_CONTROL_DISABLE = 0;
constexpr uint32_t RTS_CONTROL_ENABLE = 1;
constexpr uint32_t RTS_CONTROL_HANDSHAKE = 2;
constexpr uint32_t RTS_CONTROL_TOGGLE = 3;
// The value of the field under mask, and a value placed under mask (mask & -mask is the
// field's lowest bit).
constexpr uint32_t dcb_field(uint32_t flags, uint32_t mask) { return (flags & mask) / (mask & (0u - mask)); }
constexpr uint32_t dcb_place(uint32_t value, uint32_t mask) { return (value * (mask & (0u - mask))) & mask; }
static_assert(uint64_t{dcb_binary} + dcb_parity + dcb_outx_cts_flow + dcb_outx_dsr_flow + dcb_dtr_control +
                      dcb_dsr_sensitivity + dcb_tx_continue_on_xoff + dcb_out_x + dcb_in_x +
                      dcb_error_char + dcb_null + dcb_rts_control + dcb_abort_on_error + dcb_reserved ==
                  0xFFFFFFFFu &&
              (dcb_binary | dcb_parity | dcb_outx_cts_flow | dcb_outx_dsr_flow | dcb_dtr_control |
               dcb_dsr_sensitivity | dcb_tx_continue_on_xoff | dcb_out_x | dcb_in_x | dcb_error_char |
               dcb_null | dcb_rts_control | dcb_abort_on_error | dcb_reserved) == 0xFFFFFFFFu,
              "the fields cover the flag word, each bit once");
static_assert(dcb_place(DTR_CONTROL_HANDSHAKE, dcb_dtr_control) == 0x0020u &&
                  dcb_place(RTS_CONTROL_ENABLE, dcb_rts_control) == 0x1000u &&
                  dcb_field(0xFFFF7FEFu, dcb_dtr_control) == DTR_CONTROL_HANDSHAKE &&
                  dcb_field(0x00003000u, dcb_rts_control) == RTS_CONTROL_TOGGLE &&
                  dcb_field(0xFFFF8000u, dcb_reserved) == 0x1FFFFu,
              "a field is read and placed at its own bits");

// Fills speed and framing from a mode text such as "9600,n,8,1" (BuildCommDCBW).
bool serial_build_dcb(const char16_t* mode, Dcb* dcb);
bool serial_set_state(SerialHandle h, const Dcb& dcb);

constexpr uint32_t purge_all = 15;  // PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR
bool serial_purge(SerialHandle h, uint32_t flags);
bool serial_close(SerialHandle h);

// Line functions of EscapeCommFunction.
constexpr uint32_t SETRTS = 3;
constexpr uint32_t CLRRTS = 4;
constexpr uint32_t SETDTR = 5;
constexpr uint32_t CLRDTR = 6;
constexpr uint32_t SETBREAK = 8;
constexpr uint32_t CLRBREAK = 9;
bool serial_escape(SerialHandle h, uint32_t function);

constexpr uint32_t MS_CTS_ON = 0x10;
constexpr uint32_t MS_DSR_ON = 0x20;
bool serial_modem_status(SerialHandle h, uint32_t* status);

constexpr uint32_t EV_CTS = 0x0008;
bool serial_set_mask(SerialHandle h, uint32_t mask);

// ---- CTS change notification ----------------------------------------------------------
// The back end owns the overlapped block and the event word. The word stays at one address
// for the whole run; while a wait is pending the system (or the back end, during any serial
// call) stores the event bits into it behind the tool's back, so it is read as volatile.
volatile uint32_t* cts_event_word();
// Zeroes the overlapped block and gives it a new event object (manual reset, signalled).
bool cts_event_create();
// Starts the overlapped wait for a comm event into *cts_event_word():
// 1 completed at once, 0 pending (ERROR_IO_PENDING), -1 failed (last error set).
int cts_wait_start(SerialHandle h);
// Closes the event object if there is one; failures are ignored.
void cts_event_close();

}  // namespace platform
