// Console output and the operator's keyboard. Output bytes are code page 866 already and
// go out unchanged. Keys come from the console through _kbhit/_getch; when standard input
// is not a console (a pipe, a file, NUL) it is read as a byte stream instead, and once it
// has ended every key reads as ESC so that no prompt waits forever.
#include "platform/win32/win_api.h"

#include <conio.h>

#include "platform/ftdi.h"

namespace platform {
namespace {

enum class Input { unknown, console, pipe, stream };

Input input_kind = Input::unknown;
HANDLE input_handle = nullptr;
bool input_ended = false;
int pending_key = -1;       // a byte read ahead by key_waiting
bool last_was_cr = false;   // swallows the LF of a CR LF pair

constexpr int key_esc = 27;
constexpr int key_enter = 13;
constexpr DWORD key_look_ms = 20;

Input classify_input() {
  if (input_kind != Input::unknown) return input_kind;
  input_handle = GetStdHandle(STD_INPUT_HANDLE);
  DWORD mode = 0;
  if (input_handle == nullptr || input_handle == INVALID_HANDLE_VALUE) {
    input_kind = Input::stream;
    input_ended = true;
  } else if (GetConsoleMode(input_handle, &mode)) {
    input_kind = Input::console;
  } else if (GetFileType(input_handle) == FILE_TYPE_PIPE) {
    input_kind = Input::pipe;
  } else {
    input_kind = Input::stream;  // a file or NUL: a read never blocks for long
  }
  return input_kind;
}

// One byte of the stream as a key; ENTER typed into a script arrives as LF or CR LF.
// False at the end of input or on a read error, both of which end the keyboard.
bool read_stream_key(int* key) {
  DWORD saved = GetLastError();
  for (;;) {
    unsigned char byte = 0;
    DWORD got = 0;
    if (!ReadFile(input_handle, &byte, 1, &got, nullptr) || got == 0) {
      input_ended = true;
      SetLastError(saved);
      return false;
    }
    bool cr = byte == '\r';
    if (byte == '\n') {
      if (last_was_cr) {
        last_was_cr = false;
        continue;
      }
      byte = key_enter;
    }
    last_was_cr = cr;
    *key = byte;
    SetLastError(saved);
    return true;
  }
}

// Reads ahead one key when it can be had without waiting.
void look_ahead() {
  if (input_ended || pending_key >= 0) return;
  Input kind = classify_input();
  if (kind == Input::console) return;
  if (kind == Input::pipe) {
    DWORD saved = GetLastError();
    DWORD available = 0;
    if (!PeekNamedPipe(input_handle, nullptr, 0, nullptr, &available, nullptr)) {
      input_ended = true;  // the writer has closed its end
      SetLastError(saved);
      return;
    }
    SetLastError(saved);
    if (available == 0) return;
  }
  int key = 0;
  if (read_stream_key(&key)) pending_key = key;
}

}  // namespace

void console_write(const char* bytes, size_t count) {
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  if (out == nullptr || out == INVALID_HANDLE_VALUE) return;
  DWORD saved = GetLastError();
  while (count > 0) {
    DWORD chunk = count > 0x10000 ? 0x10000 : static_cast<DWORD>(count);
    DWORD written = 0;
    if (!WriteFile(out, bytes, chunk, &written, nullptr) || written == 0) break;
    bytes += written;
    count -= written;
  }
  SetLastError(saved);
}

// A redirected output (a file, a pipe, NUL) has no console mode.
bool console_interactive() {
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  if (out == nullptr || out == INVALID_HANDLE_VALUE) return false;
  DWORD saved = GetLastError();
  DWORD mode = 0;
  const bool console = GetConsoleMode(out, &mode) != 0;
  SetLastError(saved);
  return console;
}

bool key_waiting() {
  look_ahead();
  if (input_ended || pending_key >= 0) return true;
  return classify_input() == Input::console && _kbhit() != 0;
}

int read_key() {
  look_ahead();
  if (pending_key >= 0) {
    int key = pending_key;
    pending_key = -1;
    return key;
  }
  if (input_ended) return key_esc;
  if (classify_input() == Input::console) {
    // A closing console on the cable waits for the stream (win_power_guard.cpp): the prompt
    // must not hold it up, so it answers as ESC, whose power-off the stream then takes over.
    while (_kbhit() == 0) {
      if (emergency_signal() != 0) return key_esc;
      Sleep(key_look_ms);
    }
    return _getch();
  }
  int key = 0;
  return read_stream_key(&key) ? key : key_esc;
}

bool keyboard_closed() {
  look_ahead();
  return input_ended && pending_key < 0;
}

}  // namespace platform
