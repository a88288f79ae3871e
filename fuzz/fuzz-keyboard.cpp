// The Linux keyboard decoder on any bytes from a pipe over standard input, read to the end:
// every key is ESC, ENTER, a byte of the input, or an extended key of two codes (0 or 0xE0,
// then a scan code) made from a whole escape sequence (a raw byte 0x00 or 0xE0 stays a byte, as
// the Windows console gives a typed 0xE0: the tool's only use of a second code is to flush it); no byte is lost, invented or reordered;
// and the end of input answers ESC at once, for ever, instead of hanging.
//
// The sequences are recognised here by their frame only (ECMA-48): ESC O and one final byte,
// ESC [ then parameter and intermediate bytes (0x20-0x3F) up to a final byte (0x40-0x7E), and
// the Linux console's ESC [ [ and a final byte. Which scan code a sequence gives is the unit
// tests' business.
#include <unistd.h>

#include <cstddef>
#include <cstdint>

#include "fuzz/fuzz_support.h"
#include "platform/posix/host.h"

namespace {

constexpr int key_esc = 27, key_enter = 13, key_backspace = 8;

bool scan_code(int code) {
  switch (code) {
    case 0x48: case 0x50: case 0x4B: case 0x4D: case 0x47: case 0x4F: case 0x52: case 0x53:
    case 0x49: case 0x51: case 0x85: case 0x86: case 0x0F: case 0x00:
      return true;
    default:
      return code >= 0x3B && code <= 0x44;  // F1..F10
  }
}

// The length of the escape sequence at input[at], or 0 when none starts there.
size_t sequence_length(const uint8_t* input, size_t size, size_t at) {
  if (at + 2 >= size || input[at] != 0x1B) return 0;
  if (input[at + 1] == 'O') return input[at + 2] >= 0x40 && input[at + 2] <= 0x7E ? 3 : 0;
  if (input[at + 1] != '[') return 0;
  if (input[at + 2] == '[') return at + 3 < size && input[at + 3] >= 0x40 && input[at + 3] <= 0x7E ? 4 : 0;
  for (size_t k = at + 2; k < size; ++k) {
    if (input[k] >= 0x40 && input[k] <= 0x7E) return k + 1 - at;
    if (input[k] < 0x20 || input[k] > 0x3F) return 0;
  }
  return 0;
}

int saved_stdin = -1;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
  if (size > 4096) return -1;  // a pipe holds it whole, so the writer never blocks
  if (saved_stdin < 0) saved_stdin = dup(STDIN_FILENO);
  int fds[2];
  FUZZ_CHECK(pipe(fds) == 0, "no pipe");
  FUZZ_CHECK(write(fds[1], input, size) == static_cast<ssize_t>(size), "short write into the pipe");
  close(fds[1]);
  FUZZ_CHECK(dup2(fds[0], STDIN_FILENO) == STDIN_FILENO, "no dup2");
  close(fds[0]);
  posix_host::reset_keyboard();

  size_t at = 0;  // the first input byte no key has accounted for yet
  // Every key takes at least one byte, an extended key two codes: more reads than this without
  // reaching the end of input would never stop.
  const size_t most = 2 * size + 2;
  size_t reads = 0;
  while (!posix_host::keyboard_closed()) {
    FUZZ_CHECK(reads++ <= most, "%zu keys from %zu bytes and the end of input not reached", reads, size);
    FUZZ_CHECK(posix_host::key_waiting(), "no key waiting with byte %zu of %zu unread", at, size);
    const int key = posix_host::read_key();
    FUZZ_CHECK(key >= 0 && key <= 255, "key code %d", key);
    if ((key == 0 || key == 0xE0) && !(at < size && input[at] == key)) {
      const size_t length = sequence_length(input, size, at);
      FUZZ_CHECK(length > 0, "extended key 0x%02X where byte %zu (0x%02X) starts no escape sequence", key, at,
                 at < size ? input[at] : 0);
      FUZZ_CHECK(posix_host::key_waiting(), "the second code of an extended key is not waiting");
      const int second = posix_host::read_key();
      FUZZ_CHECK(scan_code(second), "extended key 0x%02X 0x%02X from byte %zu", key, second, at);
      at += length;
    } else if (key == key_esc && at == size) {
      FUZZ_CHECK(posix_host::keyboard_closed(), "ESC after the last byte, but the input is not taken as ended");
    } else if (key == key_enter && sequence_length(input, size, at) == 3 && input[at + 2] == 'M') {
      at += 3;  // keypad ENTER in application mode
    } else {
      FUZZ_CHECK(at < size, "key 0x%02X after the last byte", key);
      const int byte = input[at];
      const int expected = byte == '\r' || byte == '\n' ? key_enter : byte == 0x7F ? key_backspace : byte;
      FUZZ_CHECK(key == expected, "key 0x%02X where byte %zu is 0x%02X", key, at, byte);
      ++at;
    }
  }
  FUZZ_CHECK(at == size, "input ended after byte %zu of %zu", at, size);
  for (int k = 0; k < 3; ++k) {
    FUZZ_CHECK(posix_host::key_waiting(), "after the end of input no key is waiting: a loop would hang");
    FUZZ_CHECK(posix_host::read_key() == key_esc, "after the end of input a key other than ESC");
  }
  posix_host::reset_keyboard();
  dup2(saved_stdin, STDIN_FILENO);
  return 0;
}
