// The current directory and the first file matching a wildcard pattern (ANSI names, as the
// program's own name and the C library's file streams use them).
#include "platform/win32/win_api.h"
#include "platform/wildcard.h"

#include <cstring>

namespace platform {
namespace {

const char* file_part(const char* path) {
  const char* part = path;
  for (const char* p = path; *p != '\0'; ++p) {
    if (*p == '\\' || *p == '/' || *p == ':') part = p + 1;
  }
  return part;
}

}  // namespace

char path_separator() { return '\\'; }

void path_to_message_text(const char* path, char* out, size_t capacity) {
  if (capacity == 0) return;
  const size_t length = strnlen(path, capacity - 1);
  std::memcpy(out, path, length);
  out[length] = '\0';
}

bool current_directory(char* buffer, size_t capacity) {
  if (buffer == nullptr || capacity == 0 || capacity > MAXDWORD) {
    SetLastError(err::invalid_parameter);
    return false;
  }
  // Success gives the length without the terminator; a buffer too small gives the size
  // needed with it, which is never below capacity.
  DWORD length = GetCurrentDirectoryA(static_cast<DWORD>(capacity), buffer);
  if (length == 0) return false;
  if (length >= capacity) {
    buffer[0] = '\0';
    SetLastError(err::insufficient_buffer);
    return false;
  }
  // A drive's root keeps the backslash it comes back with ("C:\"): the program appends its
  // separator without looking, and Windows reads the doubled one in "C:\\Tolvern.log" as one.
  return true;
}

bool find_first_file(const char* pattern, char* name, size_t capacity) {
  if (pattern == nullptr || name == nullptr || capacity == 0) {
    SetLastError(err::invalid_parameter);
    return false;
  }
  name[0] = '\0';
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA(pattern, &found);
  if (search == INVALID_HANDLE_VALUE) return false;

  bool have = false;
  for (;;) {
    // The search also matches a long name through its generated 8.3 alias ("*.dat" finds
    // "x.data" as X~1.DAT); the long name itself has to fit the pattern, as on Linux.
    if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
        wildcard_match(file_part(pattern), found.cFileName)) {
      have = true;
      break;
    }
    if (!FindNextFileA(search, &found)) break;
  }
  // FindClose would overwrite the reason for the caller.
  DWORD code = err::success;
  if (!have) {
    code = err::file_not_found;  // only directories or 8.3 aliases matched
  } else {
    size_t length = std::strlen(found.cFileName);
    if (length + 1 > capacity) {
      code = err::insufficient_buffer;
      have = false;
    } else {
      std::memcpy(name, found.cFileName, length + 1);
    }
  }
  FindClose(search);
  SetLastError(code);
  return have;
}

}  // namespace platform
