// The operator's keyboard on standard input: raw, unechoed keys from a terminal, escape
// sequences folded into the extended key codes of the Windows console, and an end of input
// that answers at once instead of hanging.
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>

#include "platform/posix/host.h"
#include "platform/posix/host_port.h"

namespace posix_host {

namespace {

constexpr int key_esc = 27;
constexpr int key_enter = 13;
constexpr int key_backspace = 8;
// The rest of an escape sequence follows its ESC within microseconds (the terminal sends it
// in one write); a person cannot press another key this fast after ESC.
constexpr int sequence_wait_ms = 50;

// How often a wait for a key looks for a signal's emergency stop on the cable.
constexpr int emergency_look_ms = 100;

constexpr int byte_timeout = -1;
constexpr int byte_end = -2;

bool set_up = false;
bool closed = false;
termios saved_terminal{};
volatile sig_atomic_t terminal_raw = 0;

// Raw bytes taken ahead while looking for the end of a sequence and given back.
unsigned char pushback[64];
int pushback_count = 0;
// The second code of an extended key.
int pending_code = -1;

void restore_from_signal(int signal_number) {
  restore_terminal_from_signal();
  std::signal(signal_number, SIG_DFL);
  std::raise(signal_number);
}

void install_restorers() {
  static bool installed = false;
  if (installed) return;
  installed = true;
  std::atexit(restore_terminal);
  // Only where nobody else has claimed the signal: the default would leave the terminal raw.
  constexpr int restoring_signals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
  for (const int signal_number : restoring_signals) {
    struct sigaction current {};
    if (sigaction(signal_number, nullptr, &current) == 0 && current.sa_handler == SIG_DFL) {
      struct sigaction handler {};
      handler.sa_handler = restore_from_signal;
      sigemptyset(&handler.sa_mask);
      sigaction(signal_number, &handler, nullptr);
    }
  }
}

void set_up_keyboard() {
  if (set_up) return;
  set_up = true;
  if (isatty(STDIN_FILENO) == 1 && tcgetattr(STDIN_FILENO, &saved_terminal) == 0) {
    termios raw = saved_terminal;
    // No line buffering and no echo; signals stay on so that Ctrl+C still ends the tool
    // (closing the port then drops RTS and with it the target's power).
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    install_restorers();
    if (tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0) terminal_raw = 1;
  }
}

// One raw byte, waiting at most timeout_ms (-1 = as long as it takes).
int next_byte(int timeout_ms) {
  if (pushback_count > 0) {
    const int byte = pushback[0];
    for (int i = 1; i < pushback_count; ++i) pushback[i - 1] = pushback[i];
    --pushback_count;
    return byte;
  }
  for (;;) {
    // A signal on the cable leaves the power-off to the stream (host_signals.cpp): a wait for a
    // key ends as the end of input would, and the prompt's ESC power-off brings the stream to
    // it. The signal may wake another thread than this one, so the wait looks in slices.
    if (emergency_signal() != 0) return byte_end;
    const int slice = timeout_ms < 0 || timeout_ms > emergency_look_ms ? emergency_look_ms : timeout_ms;
    pollfd in{STDIN_FILENO, POLLIN, 0};
    const int ready = poll(&in, 1, slice);
    if (ready < 0) {
      if (errno == EINTR) continue;
      return byte_end;
    }
    if (ready == 0) {
      if (timeout_ms < 0) continue;
      timeout_ms -= slice;
      if (timeout_ms > 0) continue;
      return byte_timeout;
    }
    if ((in.revents & POLLNVAL) != 0) return byte_end;
    unsigned char byte = 0;
    const ssize_t got = read(STDIN_FILENO, &byte, 1);
    if (got == 1) return byte;
    if (got < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
    return byte_end;  // 0: end of file; EIO: the terminal hung up
  }
}

void give_back(const unsigned char* bytes, int count) {
  // Given-back bytes go before anything still held back.
  if (count <= 0 || pushback_count + count > static_cast<int>(sizeof pushback)) return;
  for (int i = pushback_count - 1; i >= 0; --i) pushback[i + count] = pushback[i];
  for (int i = 0; i < count; ++i) pushback[i] = bytes[i];
  pushback_count += count;
}

// Scan codes of the Windows console for the keys a terminal sends as sequences.
constexpr int scan_up = 0x48, scan_down = 0x50, scan_left = 0x4B, scan_right = 0x4D;
constexpr int scan_home = 0x47, scan_end = 0x4F, scan_insert = 0x52, scan_delete = 0x53;
constexpr int scan_page_up = 0x49, scan_page_down = 0x51;
constexpr int scan_f1 = 0x3B, scan_f6 = 0x40, scan_f11 = 0x85, scan_f12 = 0x86;
constexpr int scan_shift_tab = 0x0F;

// An extended key: the grey cursor keys and F11/F12 come with 0xE0, F1..F10 with 0.
int extended(int prefix, int scan) {
  pending_code = scan;
  return prefix;
}

int key_from_final(int final_byte) {
  switch (final_byte) {
    case 'A': return extended(0xE0, scan_up);
    case 'B': return extended(0xE0, scan_down);
    case 'C': return extended(0xE0, scan_right);
    case 'D': return extended(0xE0, scan_left);
    case 'H': return extended(0xE0, scan_home);
    case 'F': return extended(0xE0, scan_end);
    case 'P': case 'Q': case 'R': case 'S': return extended(0, scan_f1 + (final_byte - 'P'));
    case 'Z': return extended(0, scan_shift_tab);
    default: return extended(0xE0, 0);  // a key this console has no code for
  }
}

int key_from_tilde(int number) {
  switch (number) {
    case 1: case 7: return extended(0xE0, scan_home);
    case 2: return extended(0xE0, scan_insert);
    case 3: return extended(0xE0, scan_delete);
    case 4: case 8: return extended(0xE0, scan_end);
    case 5: return extended(0xE0, scan_page_up);
    case 6: return extended(0xE0, scan_page_down);
    case 11: case 12: case 13: case 14: case 15: return extended(0, scan_f1 + number - 11);
    case 17: case 18: case 19: case 20: case 21: return extended(0, scan_f6 + number - 17);
    case 23: return extended(0xE0, scan_f11);
    case 24: return extended(0xE0, scan_f12);
    default: return extended(0xE0, 0);
  }
}

// After ESC: a whole sequence becomes one key; anything else leaves ESC alone and the bytes
// seen after it are read again as keys of their own.
int key_after_escape() {
  unsigned char seen[20];
  int count = 0;
  const int introducer = next_byte(sequence_wait_ms);
  if (introducer == byte_end) {
    closed = true;
    return key_esc;
  }
  if (introducer == byte_timeout) return key_esc;
  seen[count++] = static_cast<unsigned char>(introducer);
  if (introducer != '[' && introducer != 'O') {
    give_back(seen, count);
    return key_esc;
  }
  int number = 0;
  bool in_first_number = true;
  while (count < static_cast<int>(sizeof seen)) {
    const int byte = next_byte(sequence_wait_ms);
    if (byte < 0) break;
    seen[count++] = static_cast<unsigned char>(byte);
    if (introducer == 'O') {
      if (byte == 'M') return key_enter;  // keypad ENTER in application mode
      // Only a final byte ends the sequence: ESC, 'O' and ENTER are three keys, not one.
      if (byte >= 0x40 && byte <= 0x7E) return key_from_final(byte);
      break;
    }
    if (byte >= 0x30 && byte <= 0x3F) {  // parameter bytes: digits and ';'
      // Held below 10000: no key has a longer number, and a run of digits must not overflow.
      if (byte >= '0' && byte <= '9' && in_first_number && number < 1000) number = number * 10 + (byte - '0');
      if (byte == ';') in_first_number = false;
      continue;
    }
    if (byte >= 0x20 && byte <= 0x2F) continue;  // intermediate bytes
    if (byte == '[' && count == 2) {
      // Linux console F1..F5: ESC [ [ A .. ESC [ [ E
      const int letter = next_byte(sequence_wait_ms);
      if (letter < 0) break;
      seen[count++] = static_cast<unsigned char>(letter);
      if (letter >= 'A' && letter <= 'E') return extended(0, scan_f1 + (letter - 'A'));
      if (letter < 0x40 || letter > 0x7E) break;  // as after ESC O: an ENTER here stays a key
      return extended(0xE0, 0);
    }
    if (byte >= 0x40 && byte <= 0x7E) {
      if (byte == '~') return key_from_tilde(number);
      return key_from_final(byte);
    }
    break;  // a control byte cannot be inside a sequence
  }
  // Cut short: ESC was a key of its own, and so are the bytes after it.
  give_back(seen, count);
  return key_esc;
}

}  // namespace

void restore_terminal_from_signal() {
  if (terminal_raw != 0) {
    tcsetattr(STDIN_FILENO, TCSANOW, &saved_terminal);
    terminal_raw = 0;
  }
}

bool key_waiting() {
  set_up_keyboard();
  if (pending_code >= 0 || pushback_count > 0 || closed) return true;
  pollfd in{STDIN_FILENO, POLLIN, 0};
  int ready;
  do {
    ready = poll(&in, 1, 0);
  } while (ready < 0 && errno == EINTR);
  // A hang-up, an error or an invalid descriptor is the end of input, which read_key answers
  // at once, so it counts as a key waiting.
  return ready != 0;
}

int read_key() {
  set_up_keyboard();
  if (pending_code >= 0) {
    const int code = pending_code;
    pending_code = -1;
    return code;
  }
  if (closed) return key_esc;
  const int byte = next_byte(-1);
  if (byte < 0) {
    closed = true;
    return key_esc;
  }
  if (byte == '\r' || byte == '\n') return key_enter;
  if (byte == 0x7F) return key_backspace;
  if (byte == 0x1B) return key_after_escape();
  return byte;
}

bool keyboard_closed() { return closed; }

void restore_terminal() {
  if (terminal_raw != 0) {
    tcsetattr(STDIN_FILENO, TCSANOW, &saved_terminal);
    terminal_raw = 0;
  }
}

void reset_keyboard() {
  restore_terminal();
  set_up = false;
  closed = false;
  pushback_count = 0;
  pending_code = -1;
}

}  // namespace posix_host
