// The file-system pieces and the exit status: real files through the Linux host, the current
// directory and separator as configured.
#include <cstring>

#include "platform/posix/host.h"
#include "sim/state.h"

namespace sim::detail {

namespace {
std::string current_dir;
uint32_t current_dir_error = 0;
char separator = '/';
}  // namespace

void files_reset() {
  current_dir = "/sim";
  current_dir_error = 0;
  separator = '/';
}

}  // namespace sim::detail

namespace sim {

void set_current_directory(const std::string& dir) { detail::current_dir = dir; }
void set_current_directory_error(uint32_t error) { detail::current_dir_error = error; }
void set_path_separator(char separator) { detail::separator = separator; }

}  // namespace sim

namespace platform {

using namespace sim::detail;

char path_separator() { return separator; }

// The simulated world runs on Linux: its paths are the host's.
void path_to_message_text(const char* path, char* out, size_t capacity) {
  posix_host::utf8_to_cp1251(path, out, capacity);
}

bool current_directory(char* buffer, size_t capacity) {
  uint32_t error;
  if (call_fault(sim::Call::current_directory, false, 0, &error)) {
    set_error(error);
    return false;
  }
  if (current_dir_error != 0) {
    set_error(current_dir_error);
    return false;
  }
  if (current_dir.size() + 1 > capacity) {
    set_error(err::insufficient_buffer);
    return false;
  }
  std::memcpy(buffer, current_dir.c_str(), current_dir.size() + 1);
  return true;
}

bool find_first_file(const char* pattern, char* name, size_t capacity) {
  if (posix_host::find_first_file(pattern, name, capacity)) return true;
  set_error(posix_host::last_error());
  return false;
}

int process_exit_status(int32_t exit_code) { return posix_host::process_exit_status(exit_code); }

}  // namespace platform
