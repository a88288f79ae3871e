// What the runs of a real program behind the virtual serial port share, on Linux and under
// wine: files, a wall clock that only guards against a hang, starting a program, the status
// file libvserial keeps current, and what every such run must leave behind.
#pragma once

#include <fcntl.h>
#include <sched.h>
#include <sys/stat.h>
#include <sys/mount.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "sim/vserial/vserial_status.h"

namespace run_kit {

inline int64_t real_ms() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<int64_t>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

inline std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

inline void write_file(const std::string& path, const std::string& bytes) { std::ofstream(path, std::ios::binary) << bytes; }

// A mount namespace of this process's own, its mounts private from the machine's, in a user
// namespace where a plain user needs one; false when neither is allowed.
inline bool private_mounts() {
  if (unshare(CLONE_NEWNS) != 0) {
    const uid_t uid = getuid();
    const gid_t gid = getgid();
    if (unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) return false;
    write_file("/proc/self/setgroups", "deny");
    write_file("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1");
    write_file("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1");
  }
  return mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
}

// In a child: the program argv[0] with its arguments, or exit code 127.
[[noreturn]] inline void exec(const std::vector<std::string>& argv) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  execv(args[0], args.data());
  _exit(127);
}

// In a private mount namespace of its own (above): a tmpfs /dev with only null, ptmx and `node`,
// a pty of a fresh devpts instance bound over it, and an empty /run/lock. The pty's master, or
// -1 with the step that failed in *failed (errno as it left it).
inline int private_dev_with_pty(const std::string& dir, const std::string& node, const char** failed) {
  const auto step = [failed](const char* name) {
    *failed = name;
    return -1;
  };
  if (!private_mounts()) return step("private mounts");
  const std::string null_copy = dir + "/null";
  write_file(null_copy, "");
  if (mount("/dev/null", null_copy.c_str(), nullptr, MS_BIND, nullptr) != 0) return step("null");
  if (mount("tmpfs", "/dev", "tmpfs", 0, "mode=755") != 0) return step("dev");
  write_file("/dev/null", "");
  if (mount(null_copy.c_str(), "/dev/null", nullptr, MS_BIND, nullptr) != 0) return step("dev/null");
  mkdir("/dev/pts", 0755);
  if (mount("devpts", "/dev/pts", "devpts", 0, "newinstance,ptmxmode=0666,mode=0620") != 0) return step("devpts");
  if (symlink("pts/ptmx", "/dev/ptmx") != 0) return step("ptmx");
  const int master = open("/dev/ptmx", O_RDWR | O_NOCTTY);
  if (master < 0 || unlockpt(master) != 0) return step("pty");
  const char* slave = ptsname(master);
  write_file(node, "");
  if (slave == nullptr || mount(slave, node.c_str(), nullptr, MS_BIND, nullptr) != 0) return step("pty node");
  if (mount("tmpfs", "/run/lock", "tmpfs", 0, nullptr) != 0) return step("lock");
  return master;
}

// In the child that becomes the tool: keys from the pipe's read end, its output into `output`,
// the preload library with its status file named by `status_variable`, the locale the tests
// read, the run's own settings; then argv, or exit code 127.
[[noreturn]] inline void exec_tool(int keys, const std::string& output, const char* preload,
                                   const char* status_variable, const std::string& status,
                                   const std::vector<std::string>& env, const std::vector<std::string>& argv) {
  dup2(keys, STDIN_FILENO);
  const int out = open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  dup2(out, STDOUT_FILENO);
  dup2(out, STDERR_FILENO);
  setenv("LD_PRELOAD", preload, 1);
  setenv(status_variable, status.c_str(), 1);
  setenv("LANG", "C.UTF-8", 1);
  setenv("LC_ALL", "C.UTF-8", 1);
  for (const std::string& e : env) putenv(const_cast<char*>(e.c_str()));
  exec(argv);
}

// A status file with nothing recorded yet, and what the library left in one.
inline void blank_status(const std::string& path) {
  const vserial::Status empty{};
  write_file(path, std::string(reinterpret_cast<const char*>(&empty), sizeof empty));
}
inline vserial::Status read_status(const std::string& path) {
  vserial::Status s{};
  const std::string bytes = read_file(path);
  if (bytes.size() == sizeof s) std::memcpy(&s, bytes.data(), sizeof s);
  return s;
}
inline std::string flash_of(const vserial::Status& s) { return std::string(reinterpret_cast<const char*>(s.flash), sizeof s.flash); }

// What the simulated back end programs into its chip (the same embedded firmware), by way of
// a dump file at `dump`.
inline std::string reference_flash(const std::string& dump) {
  EXPECT_EQ(std::system((std::string(TOLVERN_SIM) + " --confirm --dump-flash=" + dump + " > /dev/null").c_str()), 0);
  std::string flash = read_file(dump);
  unlink(dump.c_str());
  return flash;
}

// The chip's own view of the wire, for a failure's message.
inline std::string wire_counts(const vserial::Status& s) {
  return "chip: " + std::to_string(s.malformed_frames) + " malformed frames, " + std::to_string(s.rejected_calls) +
         " refused calls, " + std::to_string(s.timing_violations) + " timing violations, " +
         std::to_string(s.contention) + " contention, " + std::to_string(s.calls_started) + " supervisory calls, " +
         std::to_string(s.vectors) + " vectors";
}

// A sound run leaves the chip with nothing to complain of on its wire.
inline void expect_sound_wire(const vserial::Status& s) {
  EXPECT_EQ(s.malformed_frames + s.rejected_calls + s.timing_violations + s.contention, 0) << wire_counts(s);
  EXPECT_GT(s.calls_started, 0) << wire_counts(s);
}

// Every run with the adapter leaves the target unpowered, every line down when the port
// closed (not only by HUPCL at the close) and the port closed.
inline void expect_left_clean(const vserial::Status& s) {
  EXPECT_EQ(s.lines_at_close, 0);
  EXPECT_EQ(s.powered, 0);
  EXPECT_EQ(s.open_fds, 0);
}

}  // namespace run_kit
