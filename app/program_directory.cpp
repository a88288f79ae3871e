#include "app/program_directory.h"

#include <cstring>

#include "platform/platform.h"

namespace app {

namespace {

bool fail(char* out) {
  out[0] = '\0';
  platform::set_last_error(platform::err::bad_environment);
  return false;
}

}  // namespace

bool get_program_directory(const char* program_name, char* out) {
  if (program_name == nullptr) program_name = "";
  const std::size_t length = std::strlen(program_name);
  if (length > path_capacity - 1) return fail(out);

  const char* last = std::strrchr(program_name, platform::path_separator());
  if (last != nullptr) {
    const auto n = static_cast<std::size_t>(last - program_name) + 1;
    std::memcpy(out, program_name, n);
    out[n] = '\0';
    return true;
  }

  if (!platform::current_directory(out, path_capacity)) return fail(out);
  // The separator is appended blindly (a root gets two); refuse a directory it would not fit.
  const std::size_t dir_length = std::strlen(out);
  if (dir_length + 1 > path_capacity - 1) return fail(out);
  out[dir_length] = platform::path_separator();
  out[dir_length + 1] = '\0';
  return true;
}

}  // namespace app
