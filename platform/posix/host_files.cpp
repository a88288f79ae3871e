// The current directory, the first file matching a wildcard pattern, small files as text.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/platform.h"
#include "platform/posix/host.h"
#include "platform/wildcard.h"

namespace posix_host {

bool current_directory(char* buffer, std::size_t capacity) {
  if (buffer == nullptr || capacity == 0) {
    set_last_error(platform::err::insufficient_buffer);
    return false;
  }
  if (getcwd(buffer, capacity) == nullptr) {
    const int e = errno;
    buffer[0] = '\0';
    set_last_error(e == ERANGE ? platform::err::insufficient_buffer : from_errno(e));
    return false;
  }
  // The root stays "/" (never an empty directory); everything else has no trailing '/'.
  std::size_t length = std::strlen(buffer);
  while (length > 1 && buffer[length - 1] == '/') buffer[--length] = '\0';
  return true;
}

bool find_first_file(const char* pattern, char* name, std::size_t capacity) {
  if (pattern == nullptr || name == nullptr || capacity == 0) {
    set_last_error(platform::err::invalid_parameter);
    return false;
  }
  name[0] = '\0';
  char directory[4096];
  const char* slash = std::strrchr(pattern, '/');
  const char* file_pattern = pattern;
  if (slash == nullptr) {
    std::strcpy(directory, ".");
  } else {
    const std::size_t length = static_cast<std::size_t>(slash - pattern);
    if (length + 1 > sizeof directory) {
      set_last_error(206);  // ERROR_FILENAME_EXCED_RANGE
      return false;
    }
    std::memcpy(directory, pattern, length);
    directory[length] = '\0';
    if (length == 0) std::strcpy(directory, "/");
    file_pattern = slash + 1;
  }
  if (file_pattern[0] == '\0') {
    set_last_error(platform::err::file_not_found);
    return false;
  }

  DIR* dir = opendir(directory);
  if (dir == nullptr) {
    const int e = errno;
    // As the Windows search does: a missing directory is "path not found".
    set_last_error(e == ENOENT ? platform::err::path_not_found : from_errno(e));
    return false;
  }
  bool found = false;
  uint32_t error = platform::err::file_not_found;
  for (;;) {
    errno = 0;
    const dirent* entry = readdir(dir);
    if (entry == nullptr) {
      if (errno != 0) error = from_errno(errno);
      break;
    }
    if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
    if (!platform::wildcard_match(file_pattern, entry->d_name)) continue;
    bool is_directory = entry->d_type == DT_DIR;
    if (entry->d_type == DT_UNKNOWN || entry->d_type == DT_LNK) {
      struct stat info {};
      // A dangling link is no file either.
      if (fstatat(dirfd(dir), entry->d_name, &info, 0) != 0) continue;
      is_directory = S_ISDIR(info.st_mode);
    }
    if (is_directory) continue;
    const std::size_t length = std::strlen(entry->d_name);
    if (length + 1 > capacity) {
      error = platform::err::insufficient_buffer;
      break;
    }
    std::memcpy(name, entry->d_name, length + 1);
    found = true;
    break;
  }
  closedir(dir);
  if (!found) set_last_error(error);
  return found;
}

long read_text_file(const char* path, char* text, std::size_t capacity) {
  if (capacity == 0) return -1;
  text[0] = '\0';
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  const ssize_t got = read(fd, text, capacity - 1);
  close(fd);
  if (got < 0) return -1;
  text[got] = '\0';
  return static_cast<long>(got);
}

}  // namespace posix_host
