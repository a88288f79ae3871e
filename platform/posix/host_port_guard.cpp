// Hands off ports in use. On Linux open() of a tty that another program holds succeeds, root
// ignores TIOCEXCL and flock binds only programs that use it too, so before a port is touched
// the tool looks where programs that share ports leave their marks: the active system consoles,
// UUCP lock files, and the process table.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"
#include "platform/posix/host.h"
#include "platform/posix/host_port.h"
#include "platform/posix/host_serial.h"

namespace posix_host {

namespace {

constexpr std::size_t root_capacity = 512;
constexpr std::size_t path_capacity = 1100;
char proc_root[root_capacity] = "/proc";
char lock_dirs[2][root_capacity] = {"/run/lock", "/var/lock"};

platform::OpenDetail detail{platform::OpenRefusal::none, -1, ""};

// The lock file this process holds; read by the signal handler, so written before it is armed.
char own_lock[path_capacity] = "";
volatile sig_atomic_t own_lock_held = 0;

bool copy_root(char* to, const char* value, const char* fallback) {
  const char* text = value != nullptr ? value : fallback;
  const std::size_t length = std::strlen(text);
  if (length + 1 > root_capacity) return false;
  std::memcpy(to, text, length + 1);
  return true;
}

bool join(char* out, const char* a, const char* b, const char* c = nullptr) {
  const int n = c == nullptr ? std::snprintf(out, path_capacity, "%s/%s", a, b)
                             : std::snprintf(out, path_capacity, "%s/%s/%s", a, b, c);
  return n > 0 && static_cast<std::size_t>(n) < path_capacity;
}

// Whole-word search of name in the text of a file (console lists are names separated by blanks).
bool file_lists_name(const char* path, const char* name, bool first_word_of_line) {
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char text[4096];
  const ssize_t got = read(fd, text, sizeof text - 1);
  close(fd);
  if (got <= 0) return false;
  text[got] = '\0';
  const std::size_t length = std::strlen(name);
  bool line_start = true;
  for (char* p = text; *p != '\0';) {
    if (*p == '\n') line_start = true;
    if (*p == ' ' || *p == '\t' || *p == '\n') {
      ++p;
      continue;
    }
    char* end = p;
    while (*end != '\0' && *end != ' ' && *end != '\t' && *end != '\n') ++end;
    const bool counts = !first_word_of_line || line_start;
    if (counts && static_cast<std::size_t>(end - p) == length && std::strncmp(p, name, length) == 0) return true;
    line_start = false;
    p = end;
  }
  return false;
}

// The pid a UUCP lock file names: ten ASCII digits and a newline, or the old binary int. 0 when
// the file cannot be read, -1 when it names nobody readable.
long lock_owner(const char* path) {
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  char text[64] = {};
  const ssize_t got = read(fd, text, sizeof text - 1);
  close(fd);
  if (got == static_cast<ssize_t>(sizeof(int))) {
    int binary = 0;
    std::memcpy(&binary, text, sizeof binary);
    if (binary > 0) return binary;
  }
  char* end = nullptr;
  const long pid = std::strtol(text, &end, 10);
  return end != text && pid > 0 ? pid : -1;
}

bool process_alive(long pid) { return kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM; }

// Same file: one inode, or one character device whatever its node. Pseudo-terminal slaves
// (majors 136..143) repeat their numbers in every devpts instance, so for them only the inode
// counts: a container's pty 0 is not ours.
bool same_file(const struct stat& a, const struct stat& b) {
  if (a.st_dev == b.st_dev && a.st_ino == b.st_ino) return true;
  const unsigned pty_major = major(b.st_rdev);
  return S_ISCHR(a.st_mode) && S_ISCHR(b.st_mode) && a.st_rdev == b.st_rdev &&
         (pty_major < 136 || pty_major > 143);
}

// The first other process with the device open, as the process table shows it; 0 if none.
long holder_in_process_table(const struct stat& device) {
  DIR* processes = opendir(proc_root);
  if (processes == nullptr) return 0;
  const long self = static_cast<long>(getpid());
  long found = 0;
  char fd_dir[path_capacity];
  char link[path_capacity];
  while (found == 0) {
    const dirent* entry = readdir(processes);
    if (entry == nullptr) break;
    char* end = nullptr;
    const long pid = std::strtol(entry->d_name, &end, 10);
    if (pid <= 0 || *end != '\0' || pid == self) continue;
    if (!join(fd_dir, proc_root, entry->d_name, "fd")) continue;
    DIR* fds = opendir(fd_dir);
    if (fds == nullptr) continue;  // gone meanwhile, or not ours to see
    for (const dirent* fd = readdir(fds); fd != nullptr && found == 0; fd = readdir(fds)) {
      struct stat info {};
      if (fd->d_name[0] != '.' && join(link, fd_dir, fd->d_name) && stat(link, &info) == 0 &&
          same_file(info, device)) {
        found = pid;
      }
    }
    closedir(fds);
  }
  closedir(processes);
  return found;
}

bool refuse(const char* device, platform::OpenRefusal reason, long number, uint32_t error) {
  set_open_detail(device, reason, number);
  set_last_error(error);
  return false;
}

}  // namespace

bool set_guard_roots(const char* proc, const char* lock_dir, const char* old_lock_dir) {
  char copies[3][root_capacity];
  if (!copy_root(copies[0], proc, "/proc") || !copy_root(copies[1], lock_dir, "/run/lock") ||
      !copy_root(copies[2], old_lock_dir, "/var/lock")) {
    return false;
  }
  std::memcpy(proc_root, copies[0], root_capacity);
  std::memcpy(lock_dirs[0], copies[1], root_capacity);
  std::memcpy(lock_dirs[1], copies[2], root_capacity);
  return true;
}

const platform::OpenDetail& open_detail() { return detail; }

void clear_open_detail() { detail = platform::OpenDetail{platform::OpenRefusal::none, -1, ""}; }

void set_open_detail(const char* device, platform::OpenRefusal reason, long number) {
  detail.reason = reason;
  detail.number = number;
  std::snprintf(detail.device, sizeof detail.device, "%s", device);
}

void set_open_detail_errno(const char* device, int error_number) {
  using R = platform::OpenRefusal;
  switch (error_number) {
    case ENOENT: set_open_detail(device, R::no_device, -1); break;
    case EACCES:
    case EPERM: set_open_detail(device, R::access_denied, -1); break;
    case EBUSY:
    case EWOULDBLOCK: set_open_detail(device, R::in_use, -1); break;
    case ENOTTY: set_open_detail(device, R::not_a_port, -1); break;
    case ENXIO:
    case ENODEV: set_open_detail(device, R::not_connected, -1); break;
    default: set_open_detail(device, R::system_error, error_number); break;
  }
}

bool port_free_before_open(const char* name, const char* device) {
  char path[path_capacity];
  // A serial console carries the kernel's messages and often a login: never ours to drive.
  if ((join(path, device_sysfs_root(), "console", "active") && file_lists_name(path, name, false)) ||
      (join(path, proc_root, "consoles") && file_lists_name(path, name, true))) {
    return refuse(device, platform::OpenRefusal::system_console, -1, platform::err::access_denied);
  }
  for (const char* dir : lock_dirs) {
    if (!join(path, dir, "LCK..")) continue;
    std::strncat(path, name, path_capacity - std::strlen(path) - 1);
    const long owner = lock_owner(path);
    if (owner < 0) return refuse(device, platform::OpenRefusal::lock_file, -1, platform::err::access_denied);
    // A lock whose owner has died is stale: no obstacle (take_port_lock replaces it).
    if (owner > 0 && owner != static_cast<long>(getpid()) && process_alive(owner)) {
      return refuse(device, platform::OpenRefusal::held_by_process, owner, platform::err::access_denied);
    }
  }
  struct stat info {};
  if (stat(device, &info) != 0) {
    const int error_number = errno;
    set_open_detail_errno(device, error_number);
    set_last_error(from_errno(error_number));
    return false;
  }
  const long holder = holder_in_process_table(info);
  if (holder > 0) return refuse(device, platform::OpenRefusal::held_by_process, holder, platform::err::access_denied);
  return true;
}

bool take_port_lock(const char* name, const char* device) {
  drop_port_lock();
  for (const char* dir : lock_dirs) {
    struct stat info {};
    if (stat(dir, &info) != 0 || !S_ISDIR(info.st_mode)) continue;
    char path[path_capacity];
    if (!join(path, dir, "LCK..")) return true;
    std::strncat(path, name, path_capacity - std::strlen(path) - 1);
    for (int attempt = 0; attempt < 2; ++attempt) {
      const int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
      if (fd >= 0) {
        char text[16];
        const int n = std::snprintf(text, sizeof text, "%10ld\n", static_cast<long>(getpid()));
        const bool written = write(fd, text, static_cast<std::size_t>(n)) == n;
        close(fd);
        if (!written) {
          unlink(path);
          return true;
        }
        std::memcpy(own_lock, path, sizeof own_lock);
        own_lock_held = 1;
        return true;
      }
      if (errno != EEXIST) return true;  // not writable for us: the exclusive open still guards
      const long owner = lock_owner(path);
      if (owner < 0) return refuse(device, platform::OpenRefusal::lock_file, -1, platform::err::access_denied);
      if (owner > 0 && process_alive(owner)) {
        return refuse(device, platform::OpenRefusal::held_by_process, owner, platform::err::access_denied);
      }
      unlink(path);  // stale
    }
    return true;
  }
  return true;
}

void drop_port_lock() {
  if (own_lock_held == 0) return;
  own_lock_held = 0;
  unlink(own_lock);
}

void drop_port_lock_from_signal() {
  if (own_lock_held != 0) unlink(own_lock);
  own_lock_held = 0;
}

}  // namespace posix_host
