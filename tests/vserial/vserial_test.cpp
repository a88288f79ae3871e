// The real Linux program (build/release/tolvern, unmodified) against the virtual serial port:
// each run happens in a private mount namespace where a fresh devpts instance gives a pty,
// bound over /dev/ttyS4, with a fake /sys/class/tty listing it and a private /run/lock. None of
// this machine's own serial devices is visible there. The tool opens the pty through the
// kernel's tty layer; libvserial (LD_PRELOAD) answers its modem lines with the adapter and chip.
#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "sim/vserial/vserial_status.h"

namespace {

struct ToolRun {
  std::vector<std::string> args;
  std::vector<std::string> env;   // VSERIAL_... settings
  bool held = false;              // another program holds the port
  bool held_with_lock = true;     // and has left its lock file
  long long sigterm_after_calls = 0;
  bool confirm = true;            // ENTER once the last-chance prompt shows
};

struct Outcome {
  int exit_status = -1;           // the process status, 1000 + n when killed by signal n
  std::string output;
  vserial::Status status{};
  std::string lock_after;         // the lock file's content afterwards ("" = none)
  std::string lock_before;
  bool termios_kept = true;
  long holder = 0;
  double seconds = 0;
};

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

int64_t real_ms() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<int64_t>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

[[noreturn]] void setup_failed(const std::string& dir, const char* step) {
  std::ofstream(dir + "/result") << "setup " << step << " errno " << errno << "\n";
  _exit(99);
}

void write_text(const std::string& path, const std::string& text) { std::ofstream(path) << text; }

// A private world: /dev with only null, ptmx and ttyS4 (a pty), /sys/class/tty with ttyS4
// (and a ttyS0 without hardware), an empty /run/lock.
int make_world(const std::string& dir) {
  if (unshare(CLONE_NEWNS) != 0) {
    const uid_t uid = getuid();
    const gid_t gid = getgid();
    if (unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) setup_failed(dir, "unshare");
    write_text("/proc/self/setgroups", "deny");
    write_text("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1");
    write_text("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1");
  }
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) setup_failed(dir, "private");
  const std::string null_copy = dir + "/null";
  write_text(null_copy, "");
  if (mount("/dev/null", null_copy.c_str(), nullptr, MS_BIND, nullptr) != 0) setup_failed(dir, "null");
  if (mount("tmpfs", "/dev", "tmpfs", 0, "mode=755") != 0) setup_failed(dir, "dev");
  write_text("/dev/null", "");
  if (mount(null_copy.c_str(), "/dev/null", nullptr, MS_BIND, nullptr) != 0) setup_failed(dir, "dev/null");
  mkdir("/dev/pts", 0755);
  if (mount("devpts", "/dev/pts", "devpts", 0, "newinstance,ptmxmode=0666,mode=0620") != 0) setup_failed(dir, "devpts");
  if (symlink("pts/ptmx", "/dev/ptmx") != 0) setup_failed(dir, "ptmx");
  const int master = open("/dev/ptmx", O_RDWR | O_NOCTTY);
  if (master < 0 || unlockpt(master) != 0) setup_failed(dir, "pty");
  const char* slave = ptsname(master);
  write_text("/dev/ttyS4", "");
  if (slave == nullptr || mount(slave, "/dev/ttyS4", nullptr, MS_BIND, nullptr) != 0) setup_failed(dir, "ttyS4");
  if (mount("tmpfs", "/run/lock", "tmpfs", 0, nullptr) != 0) setup_failed(dir, "lock");
  if (mount("tmpfs", "/sys/class/tty", "tmpfs", 0, nullptr) != 0) setup_failed(dir, "sysfs");
  for (const char* name : {"ttyS0", "ttyS4"}) {
    mkdir((std::string("/sys/class/tty/") + name).c_str(), 0755);
    write_text(std::string("/sys/class/tty/") + name + "/type", name[4] == '0' ? "0\n" : "4\n");
  }
  return master;
}

// Runs in the child that owns the private world; reports through files in dir.
[[noreturn]] void run_in_world(const ToolRun& run, const std::string& dir) {
  const int master = make_world(dir);
  termios before {};
  int holder = -1;
  std::string lock_before;
  if (run.held) {
    holder = open("/dev/ttyS4", O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (holder < 0 || tcgetattr(holder, &before) != 0) setup_failed(dir, "holder");
    before.c_lflag |= ICANON;
    cfsetispeed(&before, B115200);
    cfsetospeed(&before, B115200);
    tcsetattr(holder, TCSANOW, &before);
    tcgetattr(holder, &before);
    char text[16];
    std::snprintf(text, sizeof text, "%10ld\n", static_cast<long>(getpid()));
    if (run.held_with_lock) {
      lock_before = text;
      write_text("/run/lock/LCK..ttyS4", lock_before);
    }
  }
  int keys[2];
  if (pipe(keys) != 0) setup_failed(dir, "pipe");
  const std::string output = dir + "/output";
  const int64_t start = real_ms();
  const pid_t tool = fork();
  if (tool == 0) {
    dup2(keys[0], STDIN_FILENO);
    const int out = open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(out, STDOUT_FILENO);
    dup2(out, STDERR_FILENO);
    setenv("LD_PRELOAD", VSERIAL_LIBRARY, 1);
    setenv("VSERIAL_STATUS", (dir + "/status").c_str(), 1);
    setenv("LANG", "C.UTF-8", 1);
    setenv("LC_ALL", "C.UTF-8", 1);
    for (const std::string& e : run.env) putenv(const_cast<char*>(e.c_str()));
    std::vector<char*> argv{const_cast<char*>(TOLVERN_TOOL)};
    for (const std::string& a : run.args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(TOLVERN_TOOL, argv.data());
    _exit(98);
  }
  close(keys[0]);
  const int status_fd = open((dir + "/status").c_str(), O_RDONLY);
  const auto* status = static_cast<const vserial::Status*>(
      mmap(nullptr, sizeof(vserial::Status), PROT_READ, MAP_SHARED, status_fd, 0));
  bool confirmed = !run.confirm;
  bool signalled = run.sigterm_after_calls == 0;
  int wait_status = 0;
  bool killed = false;
  // Watches the run: ENTER once the prompt is out, SIGTERM once the run is well under way. The
  // time limit only guards against a hang; no outcome depends on it.
  while (waitpid(tool, &wait_status, WNOHANG) == 0) {
    if (!confirmed && slurp(output).find("Последний шанс") != std::string::npos) {
      confirmed = write(keys[1], "\r", 1) == 1;
    }
    if (!signalled && status->calls > run.sigterm_after_calls) signalled = kill(tool, SIGTERM) == 0;
    if (!killed && real_ms() - start > 240000) {
      killed = true;
      // Say where each thread was before killing it: a hang must be diagnosable from the log.
      std::string where = "\n[harness] killed after 240 s; threads (state, wchan, syscall):\n";
      const std::string tasks = "/proc/" + std::to_string(tool) + "/task";
      if (DIR* d = opendir(tasks.c_str())) {
        while (const dirent* e = readdir(d)) {
          if (e->d_name[0] == '.') continue;
          const std::string t = tasks + "/" + e->d_name;
          const std::string stat = slurp(t + "/stat");
          const std::size_t paren = stat.rfind(')');
          where += std::string(e->d_name) + ": " + (paren + 2 < stat.size() ? stat.substr(paren + 2, 1) : "?") +
                   " " + slurp(t + "/wchan") + " " + slurp(t + "/syscall");
        }
        closedir(d);
      }
      std::ofstream(output, std::ios::app) << where;
      kill(tool, SIGKILL);
    }
    usleep(2000);
  }
  close(keys[1]);
  const int exit_status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 1000 + WTERMSIG(wait_status);
  std::ofstream result(dir + "/result");
  result << "exit " << exit_status << "\nms " << real_ms() - start << "\nholder " << getpid() << "\n";
  if (run.held) {
    termios after {};
    tcgetattr(holder, &after);
    const bool kept = after.c_cflag == before.c_cflag && after.c_lflag == before.c_lflag &&
                      after.c_iflag == before.c_iflag && cfgetospeed(&after) == cfgetospeed(&before);
    result << "kept " << kept << "\n";
  }
  result.close();
  write_text(dir + "/lock_before", lock_before);
  write_text(dir + "/lock_after", slurp("/run/lock/LCK..ttyS4"));
  close(master);
  _exit(0);
}

std::string make_dir() {
  char name[] = "/tmp/tolvern-vserial-XXXXXX";
  return mkdtemp(name);
}

Outcome run_tool(const ToolRun& run) {
  Outcome o;
  const std::string dir = make_dir();
  {
    std::ofstream status(dir + "/status", std::ios::binary);
    const vserial::Status empty{};
    status.write(reinterpret_cast<const char*>(&empty), sizeof empty);
  }
  const pid_t child = fork();
  if (child == 0) run_in_world(run, dir);
  int wait_status = 0;
  waitpid(child, &wait_status, 0);
  std::istringstream result(slurp(dir + "/result"));
  std::string key;
  long long value = 0;
  while (result >> key >> value) {
    if (key == "exit") o.exit_status = static_cast<int>(value);
    if (key == "ms") o.seconds = static_cast<double>(value) / 1000.0;
    if (key == "holder") o.holder = static_cast<long>(value);
    if (key == "kept") o.termios_kept = value != 0;
  }
  EXPECT_NE(slurp(dir + "/result").rfind("setup", 0), 0u) << slurp(dir + "/result");
  o.output = slurp(dir + "/output");
  const std::string status = slurp(dir + "/status");
  if (status.size() == sizeof o.status) std::memcpy(&o.status, status.data(), sizeof o.status);
  o.lock_before = slurp(dir + "/lock_before");
  o.lock_after = slurp(dir + "/lock_after");
  std::system(("rm -rf " + dir).c_str());
  return o;
}

// What the simulated back end programs into its chip: the same embedded image.
std::string reference_flash() {
  const std::string dir = make_dir();
  const std::string dump = dir + "/flash.bin";
  const std::string command = std::string(TOLVERN_SIM) + " --confirm --dump-flash=" + dump + " > /dev/null";
  EXPECT_EQ(std::system(command.c_str()), 0);
  std::string flash = slurp(dump);
  std::system(("rm -rf " + dir).c_str());
  return flash;
}

// Every run leaves the target unpowered, all lines down before the port closes (not only by
// HUPCL at the close), the port closed and no lock behind.
void expect_left_clean(const Outcome& o) {
  EXPECT_EQ(o.status.lines_at_close, 0);
  EXPECT_EQ(o.status.powered, 0);
  EXPECT_EQ(o.status.rts + o.status.dtr + o.status.brk, 0);
  EXPECT_EQ(o.status.open_fds, 0);
  EXPECT_EQ(o.lock_after, "");
}

std::string flash_of(const Outcome& o) {
  return std::string(reinterpret_cast<const char*>(o.status.flash), sizeof o.status.flash);
}

// Discovery through the fake sysfs, then the whole programming through the kernel's tty. A
// busy pulse only counts if the helper's TIOCMIWAIT enabled the UART's interrupt, which the
// second run makes the only way to see it: every pulse is shorter than a serial call.
TEST(VirtualSerial, ProgramsTheChipThroughAKernelTty) {
  const std::string expected = reference_flash();
  ASSERT_EQ(expected.size(), 8192u);
  const struct { const char* what; std::vector<std::string> env; } runs[] = {
      {"chip's own busy times", {}},
      {"busy pulses shorter than a serial call", {"VSERIAL_BUSY_US=0.3"}},
  };
  for (const auto& r : runs) {
    SCOPED_TRACE(r.what);
    const Outcome o = run_tool({{}, r.env});
    EXPECT_EQ(o.exit_status, 0) << o.output;
    EXPECT_NE(o.output.find("COM5 - обнаружен адаптер."), std::string::npos) << o.output;
    EXPECT_NE(o.output.find("Работа успешно завершена."), std::string::npos);
    EXPECT_TRUE(flash_of(o) == expected);
    EXPECT_GT(o.status.cts_counted, 0);
    expect_left_clean(o);
    std::printf("[ run time ] %s: %.1f s real, %.1f s virtual, %lld modem-line calls, %d CTS changes, DTR and RTS up at most %.0f us after open\n",
                r.what, o.seconds, o.status.virtual_us / 1e6, static_cast<long long>(o.status.calls),
                o.status.cts_changes, o.status.longest_rise_us);
  }
}

// Failures: each with its code and text, and the target unpowered.
TEST(VirtualSerial, FailuresEndWithTheirCodeAndTheTargetUnpowered) {
  const struct {
    const char* what;
    ToolRun run;
    int exit_status;
    const char* text;
  } cases[] = {
      {"nothing attached", {{}, {"VSERIAL_ATTACH=plain"}}, 1, "Адаптер не обнаружен."},
      {"adapter without a chip", {{"-C5"}, {"VSERIAL_ATTACH=nochip"}}, 10, "Нет ответа от микросхемы ( стадия"},
      {"chip falls silent", {{"-C5"}, {"VSERIAL_SILENT_AFTER=20000"}}, 101, "Ошибка при обмене данными"},
      {"SIGTERM mid-run", {{"-C5"}, {}, false, true, 1000000}, 128 + SIGTERM, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const Outcome o = run_tool(c.run);
    EXPECT_EQ(o.exit_status, c.exit_status) << o.output;
    EXPECT_NE(o.output.find(c.text), std::string::npos) << o.output;
    EXPECT_GT(o.status.opens, 0);
    expect_left_clean(o);
  }
}

// A port another program holds is refused before anything changes on it: no modem-line call,
// its settings and its lock file as they were, and the message says who holds it, whether
// the lock file or only the process table shows the holder.
TEST(VirtualSerial, PortHeldByAnotherProgramIsLeftAlone) {
  const struct { std::vector<std::string> args; bool lock; int exit_status; const char* text; } cases[] = {
      {{"-C5"}, true, 110, "Порт невозможно открыть."},
      {{}, true, 1, "COM5 - непонятная ошибка ( код 110 )."},
      {{"-C5"}, false, 110, "Порт невозможно открыть."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args.empty() ? "discovery" : c.lock ? "-C5" : "-C5, no lock file");
    ToolRun run{c.args, {}, true, c.lock, 0, false};
    const Outcome o = run_tool(run);
    EXPECT_EQ(o.exit_status, c.exit_status) << o.output;
    EXPECT_NE(o.output.find(c.text), std::string::npos) << o.output;
    EXPECT_NE(o.output.find("/dev/ttyS4: используется процессом " + std::to_string(o.holder) + "."),
              std::string::npos) << o.output;
    EXPECT_EQ(o.status.calls, 0);
    EXPECT_TRUE(o.termios_kept);
    EXPECT_EQ(o.lock_after, o.lock_before);
  }
}

}  // namespace
