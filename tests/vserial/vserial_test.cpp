// The real Linux program (build/release/tolvern, unmodified) against the virtual serial port:
// each run happens in a private mount namespace where a fresh devpts instance gives a pty,
// bound over /dev/ttyS4, with a fake /sys/class/tty listing it and a private /run/lock. None of
// this machine's own serial devices is visible there. The tool opens the pty through the
// kernel's tty layer; libvserial (LD_PRELOAD) answers its modem lines with the adapter and chip.
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/vserial/run_kit.h"

namespace {

using run_kit::read_file;
using run_kit::real_ms;
using run_kit::write_file;

struct ToolRun {
  std::vector<std::string> args;
  std::vector<std::string> env;   // VSERIAL_... settings
  bool held = false;              // another program holds the port
  bool held_with_lock = true;     // and has left its lock file
  long long sigterm_after_calls = 0;
  bool confirm = true;            // ENTER once the last-chance prompt shows
};

// What the child that owns the private world tells the test, in memory they share.
struct Report {
  char setup_failed[64];          // the step that failed, with its errno ("" = none)
  int exit_status;                // the process status, 1000 + n when killed by signal n
  int64_t ms;
  long holder;                    // the pid that holds the port, when one does
  bool termios_kept;              // the holder's settings as they were
  char lock_after[32];            // the lock file's content afterwards ("" = none)
};

struct Outcome {
  Report report{};
  std::string output, lock_before;
  vserial::Status status{};
};

Report* report = nullptr;

std::string pid_text(long pid) {
  char text[16];
  std::snprintf(text, sizeof text, "%10ld\n", pid);
  return text;
}

[[noreturn]] void setup_failed(const char* step) {
  std::snprintf(report->setup_failed, sizeof report->setup_failed, "%s, errno %d", step, errno);
  _exit(99);
}

// A private world: /dev with only null, ptmx and ttyS4 (a pty), /sys/class/tty with ttyS4
// (and a ttyS0 without hardware), an empty /run/lock.
int make_world(const std::string& dir) {
  const char* failed = nullptr;
  const int master = run_kit::private_dev_with_pty(dir, "/dev/ttyS4", &failed);
  if (master < 0) setup_failed(failed);
  if (mount("tmpfs", "/sys/class/tty", "tmpfs", 0, nullptr) != 0) setup_failed("sysfs");
  for (const char* name : {"ttyS0", "ttyS4"}) {
    mkdir((std::string("/sys/class/tty/") + name).c_str(), 0755);
    write_file(std::string("/sys/class/tty/") + name + "/type", name[4] == '0' ? "0\n" : "4\n");
  }
  return master;
}

// Runs in the child that owns the private world.
[[noreturn]] void run_in_world(const ToolRun& run, const std::string& dir) {
  const int master = make_world(dir);
  termios before {};
  int holder = -1;
  if (run.held) {
    holder = open("/dev/ttyS4", O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (holder < 0 || tcgetattr(holder, &before) != 0) setup_failed("holder");
    before.c_lflag |= ICANON;
    cfsetspeed(&before, B115200);
    tcsetattr(holder, TCSANOW, &before);
    tcgetattr(holder, &before);
    if (run.held_with_lock) write_file("/run/lock/LCK..ttyS4", pid_text(getpid()));
  }
  int keys[2];
  if (pipe(keys) != 0) setup_failed("pipe");
  const std::string output = dir + "/output";
  const int64_t start = real_ms();
  const pid_t tool = fork();
  if (tool == 0) {
    std::vector<std::string> argv{TOLVERN_TOOL};
    argv.insert(argv.end(), run.args.begin(), run.args.end());
    run_kit::exec_tool(keys[0], output, VSERIAL_LIBRARY, "VSERIAL_STATUS", dir + "/status", run.env, argv);
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
    if (!confirmed && read_file(output).find("Последний шанс") != std::string::npos) {
      confirmed = write(keys[1], "\r", 1) == 1;
    }
    if (!signalled && status->calls > run.sigterm_after_calls) signalled = kill(tool, SIGTERM) == 0;
    if (!killed && real_ms() - start > 240000) {
      killed = true;
      // Say where each thread was before killing it: a hang must be diagnosable from the log.
      std::system(("cd /proc/" + std::to_string(tool) + "/task && { echo; echo '[harness] killed after 240 s; "
                   "threads (state, wchan, syscall):'; for t in *; do echo \"$t: $(cut -d')' -f2 $t/stat | "
                   "cut -c2) $(cat $t/wchan) $(cat $t/syscall)\"; done; } >> " + output).c_str());
      kill(tool, SIGKILL);
    }
    usleep(2000);
  }
  close(keys[1]);
  report->exit_status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 1000 + WTERMSIG(wait_status);
  report->ms = real_ms() - start;
  report->holder = getpid();
  if (run.held) {
    termios after {};
    tcgetattr(holder, &after);
    report->termios_kept = after.c_cflag == before.c_cflag && after.c_lflag == before.c_lflag &&
                           after.c_iflag == before.c_iflag && cfgetospeed(&after) == cfgetospeed(&before);
  }
  std::snprintf(report->lock_after, sizeof report->lock_after, "%s", read_file("/run/lock/LCK..ttyS4").c_str());
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
  run_kit::blank_status(dir + "/status");
  report = static_cast<Report*>(mmap(nullptr, sizeof(Report), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
  *report = Report{"", -1, 0, 0, true, ""};
  const pid_t child = fork();
  if (child == 0) run_in_world(run, dir);
  waitpid(child, nullptr, 0);
  o.report = *report;
  munmap(report, sizeof(Report));
  EXPECT_STREQ(o.report.setup_failed, "");
  if (run.held && run.held_with_lock) o.lock_before = pid_text(o.report.holder);
  o.output = read_file(dir + "/output");
  o.status = run_kit::read_status(dir + "/status");
  std::system(("rm -rf " + dir).c_str());
  return o;
}

// Every run leaves the target unpowered, all lines down before the port closes, the port
// closed and no lock behind.
void expect_left_clean(const Outcome& o) {
  run_kit::expect_left_clean(o.status);
  EXPECT_EQ(o.status.rts + o.status.dtr + o.status.brk, 0);
  EXPECT_STREQ(o.report.lock_after, "");
}

// Discovery through the fake sysfs, then the whole programming through the kernel's tty. A
// busy pulse only counts if the helper's TIOCMIWAIT enabled the UART's interrupt, which the
// second run makes the only way to see it: every pulse is shorter than a serial call.
TEST(VirtualSerial, ProgramsTheChipThroughAKernelTty) {
  const std::string expected = run_kit::reference_flash("/tmp/tolvern-vserial-flash-" + std::to_string(getpid()));
  ASSERT_EQ(expected.size(), 8192u);
  const struct { const char* what; std::vector<std::string> env; } runs[] = {
      {"chip's own busy times", {}},
      {"busy pulses shorter than a serial call", {"VSERIAL_BUSY_US=0.3"}},
      // The helper, woken by a write's edges, is not back in TIOCMIWAIT when the busy pulse
      // comes: only the edge counter, read by the samples, has it.
      {"busy pulses while the woken helper is away", {"VSERIAL_BUSY_US=0.3", "VSERIAL_HELPER_AWAY_US=200"}},
  };
  for (const auto& r : runs) {
    SCOPED_TRACE(r.what);
    const Outcome o = run_tool({{}, r.env});
    EXPECT_EQ(o.report.exit_status, 0) << o.output << run_kit::wire_counts(o.status);
    EXPECT_NE(o.output.find("COM5 - обнаружен адаптер."), std::string::npos) << o.output;
    EXPECT_NE(o.output.find("Работа успешно завершена."), std::string::npos);
    EXPECT_TRUE(run_kit::flash_of(o.status) == expected);
    EXPECT_GT(o.status.cts_counted, 0);
    run_kit::expect_sound_wire(o.status);
    expect_left_clean(o);
    std::printf("[ run time ] %s: %.1f s real, %.1f s virtual, %lld modem-line calls, %d CTS changes, DTR and RTS up at most %.0f us after open\n",
                r.what, o.report.ms / 1e3, o.status.virtual_us / 1e6, static_cast<long long>(o.status.calls),
                o.status.cts_changes, o.status.longest_rise_us);
  }
}

// Failures: each with its code and text, and the target unpowered.
TEST(VirtualSerial, FailuresEndWithTheirCodeAndTheTargetUnpowered) {
  const struct { const char* what; ToolRun run; int exit_status; const char* text; } cases[] = {
      {"nothing attached", {{}, {"VSERIAL_ATTACH=plain"}}, 1, "Адаптер не обнаружен."},
      {"adapter without a chip", {{"-C5"}, {"VSERIAL_ATTACH=nochip"}}, 10, "Нет ответа от микросхемы ( стадия"},
      {"chip falls silent", {{"-C5"}, {"VSERIAL_SILENT_AFTER=20000"}}, 101, "Ошибка при обмене данными"},
      {"SIGTERM mid-run", {{"-C5"}, {}, false, true, 1000000}, 128 + SIGTERM, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const Outcome o = run_tool(c.run);
    EXPECT_EQ(o.report.exit_status, c.exit_status) << o.output << run_kit::wire_counts(o.status);
    EXPECT_NE(o.output.find(c.text), std::string::npos) << o.output;
    EXPECT_GT(o.status.opens, 0);
    expect_left_clean(o);
    if (c.exit_status == 128 + SIGTERM) {
      // The signal's power-off: break released, 2 ms, DTR down, 500 ms, RTS down (each line
      // call costs 1 us of virtual time).
      EXPECT_TRUE(o.status.dtr_off_us - o.status.brk_off_us >= 2000 && o.status.dtr_off_us - o.status.brk_off_us < 2010)
          << o.status.dtr_off_us - o.status.brk_off_us;
      EXPECT_TRUE(o.status.rts_off_us - o.status.dtr_off_us >= 500000 && o.status.rts_off_us - o.status.dtr_off_us < 500010)
          << o.status.rts_off_us - o.status.dtr_off_us;
    }
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
    EXPECT_EQ(o.report.exit_status, c.exit_status) << o.output;
    EXPECT_NE(o.output.find(c.text), std::string::npos) << o.output;
    EXPECT_NE(o.output.find("/dev/ttyS4: используется процессом " + std::to_string(o.report.holder) + "."),
              std::string::npos) << o.output;
    EXPECT_EQ(o.status.calls, 0);
    EXPECT_TRUE(o.report.termios_kept);
    EXPECT_EQ(o.report.lock_after, o.lock_before);
  }
}

}  // namespace
