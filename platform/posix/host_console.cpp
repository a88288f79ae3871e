// Console output: code page 866 bytes, shown as UTF-8 on a UTF-8 terminal.
#include <langinfo.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstring>

#include "platform/posix/host.h"
#include "platform/posix/host_port.h"

namespace posix_host {

namespace {

// Unicode code points of code page 866 bytes 0x80..0xFF: Cyrillic letters, box drawing and
// block graphics, Ё/ё and the Ukrainian and Belarusian letters, and the few symbols at the end.
constexpr uint16_t cp866_upper_half[128] = {
    0x0410, 0x0411, 0x0412, 0x0413, 0x0414, 0x0415, 0x0416, 0x0417,  // 0x80
    0x0418, 0x0419, 0x041A, 0x041B, 0x041C, 0x041D, 0x041E, 0x041F,
    0x0420, 0x0421, 0x0422, 0x0423, 0x0424, 0x0425, 0x0426, 0x0427,  // 0x90
    0x0428, 0x0429, 0x042A, 0x042B, 0x042C, 0x042D, 0x042E, 0x042F,
    0x0430, 0x0431, 0x0432, 0x0433, 0x0434, 0x0435, 0x0436, 0x0437,  // 0xA0
    0x0438, 0x0439, 0x043A, 0x043B, 0x043C, 0x043D, 0x043E, 0x043F,
    0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x2561, 0x2562, 0x2556,  // 0xB0
    0x2555, 0x2563, 0x2551, 0x2557, 0x255D, 0x255C, 0x255B, 0x2510,
    0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F,  // 0xC0
    0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x2567,
    0x2568, 0x2564, 0x2565, 0x2559, 0x2558, 0x2552, 0x2553, 0x256B,  // 0xD0
    0x256A, 0x2518, 0x250C, 0x2588, 0x2584, 0x258C, 0x2590, 0x2580,
    0x0440, 0x0441, 0x0442, 0x0443, 0x0444, 0x0445, 0x0446, 0x0447,  // 0xE0
    0x0448, 0x0449, 0x044A, 0x044B, 0x044C, 0x044D, 0x044E, 0x044F,
    0x0401, 0x0451, 0x0404, 0x0454, 0x0407, 0x0457, 0x040E, 0x045E,  // 0xF0
    0x00B0, 0x2219, 0x00B7, 0x221A, 0x2116, 0x00A4, 0x25A0, 0x00A0,
};

int utf8_mode = -1;         // as set by set_console_utf8
int locale_is_utf8 = -1;    // -1 until the locale was asked once

bool locale_utf8() {
  if (locale_is_utf8 < 0) {
    // Ask the user's locale for its character set, then put the program's locale back so
    // that nothing else in the process changes behaviour.
    char previous[256] = "C";
    if (const char* current = std::setlocale(LC_CTYPE, nullptr)) {
      std::snprintf(previous, sizeof previous, "%s", current);
    }
    locale_is_utf8 = 0;
    if (std::setlocale(LC_CTYPE, "") != nullptr) {
      const char* codeset = nl_langinfo(CODESET);
      if (codeset != nullptr &&
          (strcasecmp(codeset, "UTF-8") == 0 || strcasecmp(codeset, "UTF8") == 0)) {
        locale_is_utf8 = 1;
      }
    }
    std::setlocale(LC_CTYPE, previous);
  }
  return locale_is_utf8 == 1;
}

// Writes everything, waiting out partial writes, interrupted calls and a non-blocking stdout.
void write_all(const char* bytes, std::size_t count) {
  while (count > 0) {
    const ssize_t written = write(STDOUT_FILENO, bytes, count);
    if (written > 0) {
      bytes += written;
      count -= static_cast<std::size_t>(written);
    } else if (written < 0 && errno == EINTR) {
      continue;
    } else if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd out{STDOUT_FILENO, POLLOUT, 0};
      if (poll(&out, 1, 1000) < 0 && errno != EINTR) return;
    } else {
      return;  // a closed or broken stdout: the log still has the text
    }
  }
}

}  // namespace

std::size_t cp866_to_utf8(const char* bytes, std::size_t count, char* out, std::size_t capacity,
                          std::size_t* consumed) {
  std::size_t in = 0;
  std::size_t stored = 0;
  for (; in < count; ++in) {
    const auto byte = static_cast<unsigned char>(bytes[in]);
    const uint32_t cp = byte < 0x80 ? byte : cp866_upper_half[byte - 0x80];
    char encoded[3];
    std::size_t length;
    if (cp < 0x80) {
      encoded[0] = static_cast<char>(cp);
      length = 1;
    } else if (cp < 0x800) {
      encoded[0] = static_cast<char>(0xC0 | (cp >> 6));
      encoded[1] = static_cast<char>(0x80 | (cp & 0x3F));
      length = 2;
    } else {
      encoded[0] = static_cast<char>(0xE0 | (cp >> 12));
      encoded[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      encoded[2] = static_cast<char>(0x80 | (cp & 0x3F));
      length = 3;
    }
    if (stored + length > capacity) break;
    std::memcpy(out + stored, encoded, length);
    stored += length;
  }
  if (consumed != nullptr) *consumed = in;
  return stored;
}

void utf8_to_cp1251(const char* text, char* out, std::size_t capacity) {
  if (capacity == 0) return;
  std::size_t used = 0;
  const auto* p = reinterpret_cast<const unsigned char*>(text);
  while (*p != 0 && used + 1 < capacity) {
    uint32_t cp = *p;
    const int extra = cp < 0x80 ? 0 : cp >= 0xF0 ? 3 : cp >= 0xE0 ? 2 : cp >= 0xC0 ? 1 : -1;
    int taken = 1;
    if (extra < 0) {
      cp = '?';  // a stray continuation byte
    } else if (extra > 0) {
      cp &= 0x3Fu >> extra;
      for (; taken <= extra && (p[taken] & 0xC0) == 0x80; ++taken) cp = cp << 6 | (p[taken] & 0x3Fu);
      if (taken <= extra) cp = '?';  // cut short
    }
    p += taken;
    int byte = '?';
    if (cp < 0x80) byte = static_cast<int>(cp);
    else if (cp >= 0x0410 && cp <= 0x044F) byte = static_cast<int>(cp - 0x0410 + 0xC0);  // А..я
    else if (cp == 0x0401) byte = 0xA8;  // Ё
    else if (cp == 0x0451) byte = 0xB8;  // ё
    out[used++] = static_cast<char>(byte);
  }
  out[used] = '\0';
}

void set_console_utf8(int mode) { utf8_mode = mode; }

bool console_interactive() {
  const int saved = errno;
  const bool tty = isatty(STDOUT_FILENO) == 1;
  errno = saved;
  return tty;
}

void console_write(const char* bytes, std::size_t count) {
  if (bytes == nullptr || count == 0) return;
  ignore_broken_pipe();
  // Anything the C library still holds for stdout must come first.
  std::fflush(stdout);
  const bool utf8 = utf8_mode < 0 ? locale_utf8() : utf8_mode == 1;
  if (!utf8) {
    write_all(bytes, count);
    return;
  }
  char converted[1024];
  while (count > 0) {
    std::size_t used = 0;
    const std::size_t length = cp866_to_utf8(bytes, count, converted, sizeof converted, &used);
    write_all(converted, length);
    bytes += used;
    count -= used;
  }
}

}  // namespace posix_host
