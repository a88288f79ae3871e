// The real Linux program (build/release/tolvern -F, unmodified) with the system's libftdi1 over
// libvusb (LD_PRELOAD): the virtual FT232R answers every libusb call. Each run happens in a
// private mount namespace with a fake /sys/bus/usb/devices entry for the cable (0403:6001,
// bcdDevice 0600, its ttyUSB0 one level down, bound to ftdi_sio), a /dev with only null, ptmx
// and ttyUSB0 (a pty) and a private /run/lock: none of this machine's serial or USB devices is
// visible, and libvusb answers libusb_init without looking at any bus.
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "sim/model/chip.h"
#include "sim/vft232r/vusb_status.h"
#include "tests/vserial/run_kit.h"

namespace {

using run_kit::read_file;
using run_kit::real_ms;
using run_kit::write_file;

struct ToolRun {
  std::vector<std::string> env;  // VUSB_... settings
  bool held = false;             // another program has the cable's ttyUSB0 open
  bool confirm = true;           // ENTER once the last-chance prompt shows
  long long sigterm_after_vectors = 0;  // SIGTERM once the chip has decoded more (0 never)
};

struct Report {
  char setup_failed[64];
  int exit_status;
  int64_t ms;
  long holder;
};

struct Outcome {
  Report report{};
  std::string output;
  vusb::Status status{};
};

Report* report = nullptr;

[[noreturn]] void setup_failed(const char* step) {
  std::snprintf(report->setup_failed, sizeof report->setup_failed, "%s, errno %d", step, errno);
  _exit(99);
}

void make_dir(const std::string& path) {
  if (mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) setup_failed(path.c_str());
}

// The private world; returns the pty master that stands behind /dev/ttyUSB0.
int make_world(const std::string& dir) {
  const char* failed = nullptr;
  const int master = run_kit::private_dev_with_pty(dir, "/dev/ttyUSB0", &failed);
  if (master < 0) setup_failed(failed);
  if (mount("tmpfs", "/sys/class/tty", "tmpfs", 0, nullptr) != 0) setup_failed("class/tty");
  // /sys/bus/usb may not exist at all on a machine without USB: the whole /sys/bus is replaced.
  if (mount("tmpfs", "/sys/bus", "tmpfs", 0, nullptr) != 0) setup_failed("sys/bus");
  make_dir("/sys/bus/usb");
  make_dir("/sys/bus/usb/devices");
  make_dir("/sys/bus/usb/drivers");
  const std::string cable = "/sys/bus/usb/devices/1-1";
  make_dir(cable);
  for (const auto& [name, value] : std::vector<std::pair<std::string, std::string>>{
           {"idVendor", "0403"}, {"idProduct", "6001"}, {"bcdDevice", "0600"}, {"serial", "A10K7Q3B"},
           {"product", "FT232R USB UART"}, {"manufacturer", "FTDI"}, {"busnum", "1"}, {"devnum", "5"}}) {
    write_file(cable + "/" + name, value + "\n");
  }
  make_dir(cable + "/1-1:1.0");
  make_dir(cable + "/1-1:1.0/ttyUSB0");
  if (symlink("../../../../../../bus/usb-serial/drivers/ftdi_sio", (cable + "/1-1:1.0/ttyUSB0/driver").c_str()) != 0) {
    setup_failed("driver link");
  }
  return master;
}

[[noreturn]] void run_in_world(const ToolRun& run, const std::string& dir) {
  const int master = make_world(dir);
  int holder = -1;
  if (run.held) {
    holder = open("/dev/ttyUSB0", O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (holder < 0) setup_failed("holder");
  }
  int keys[2];
  if (pipe(keys) != 0) setup_failed("pipe");
  const std::string output = dir + "/output";
  const int64_t start = real_ms();
  const pid_t tool = fork();
  if (tool == 0) {
    run_kit::exec_tool(keys[0], output, VUSB_LIBRARY, "VUSB_STATUS", dir + "/status", run.env, {TOLVERN_TOOL, "-F"});
  }
  close(keys[0]);
  const int status_fd = open((dir + "/status").c_str(), O_RDONLY);
  const auto* status = static_cast<const vusb::Status*>(
      mmap(nullptr, sizeof(vusb::Status), PROT_READ, MAP_SHARED, status_fd, 0));
  if (status == MAP_FAILED) setup_failed("status map");
  bool signalled = run.sigterm_after_vectors == 0;
  bool confirmed = !run.confirm;
  int wait_status = 0;
  bool killed = false;
  // ENTER once the prompt is out. The time limit only guards against a hang.
  while (waitpid(tool, &wait_status, WNOHANG) == 0) {
    if (!confirmed && read_file(output).find("Последний шанс") != std::string::npos) {
      confirmed = write(keys[1], "\r", 1) == 1;
    }
    if (!signalled && status->device.vectors > run.sigterm_after_vectors) signalled = kill(tool, SIGTERM) == 0;
    if (!killed && real_ms() - start > 240000) {
      killed = true;
      std::system(("echo '[harness] killed after 240 s' >> " + output).c_str());
      kill(tool, SIGKILL);
    }
    usleep(2000);
  }
  close(keys[1]);
  report->exit_status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 1000 + WTERMSIG(wait_status);
  report->ms = real_ms() - start;
  report->holder = holder >= 0 ? static_cast<long>(getpid()) : 0;
  close(master);
  _exit(0);
}

Outcome run_tool(const ToolRun& run) {
  Outcome o;
  char name[] = "/tmp/tolvern-vusb-XXXXXX";
  const std::string dir = mkdtemp(name);
  const vusb::Status empty{};
  write_file(dir + "/status", std::string(reinterpret_cast<const char*>(&empty), sizeof empty));
  report = static_cast<Report*>(mmap(nullptr, sizeof(Report), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
  *report = Report{"", -1, 0, 0};
  const pid_t child = fork();
  if (child == 0) run_in_world(run, dir);
  waitpid(child, nullptr, 0);
  o.report = *report;
  munmap(report, sizeof(Report));
  EXPECT_STREQ(o.report.setup_failed, "");
  o.output = read_file(dir + "/output");
  const std::string bytes = read_file(dir + "/status");
  if (bytes.size() == sizeof o.status) std::memcpy(&o.status, bytes.data(), sizeof o.status);
  std::system(("rm -rf " + dir).c_str());
  return o;
}

std::string wire_counts(const vft232r::Report& d) {
  return "device: " + std::to_string(d.bytes_clocked) + " bytes clocked, " + std::to_string(d.short_phases) +
         " short phases (shortest " + std::to_string(d.shortest_phase_us) + " us), " + std::to_string(d.uart_bytes) +
         " UART bytes, " + std::to_string(d.rx_stalls) + " stalls, divisor " + std::to_string(d.divisor) +
         ", latency " + std::to_string(d.latency_ms) + " ms; chip: " + std::to_string(d.malformed_frames) +
         " malformed, " + std::to_string(d.rejected_calls) + " refused, " + std::to_string(d.timing_violations) +
         " timing violations, " + std::to_string(d.contention) + " contention, " + std::to_string(d.calls_started) +
         " calls, " + std::to_string(d.vectors) + " vectors; " + std::to_string(d.now_us / 1e6) + " s virtual";
}

// What every run leaves: the target unpowered, no line asserted, the UART owning the pins, the
// interface released and ftdi_sio bound again (or the cable gone), and no real device touched.
void expect_left_clean(const Outcome& o, bool unplugged = false) {
  const vft232r::Report& d = o.status.device;
  EXPECT_EQ(d.powered, 0) << wire_counts(d);
  EXPECT_EQ(d.lines, 0) << "RTS 1, DTR 2, break 4";
  EXPECT_EQ(o.status.handles_open, 0);
  EXPECT_EQ(o.status.claimed, 0);
  EXPECT_EQ(o.status.refused_real, 0);
  EXPECT_EQ(o.status.transfers_pending, 0) << "transfers left queued at the close";
  EXPECT_EQ(d.uart_bytes, 0) << "bytes sent as serial data onto the target's data line";
  if (!unplugged && d.opened > 0) {
    EXPECT_EQ(d.mode, 0) << "the UART takes the pins back at close";
    EXPECT_EQ(o.status.kernel_driver, 1) << "ftdi_sio bound again";
    // Handing the pins to the UART powers nothing, whatever its modem-control register held.
    for (const vusb::Event& e : o.status.last) {
      if (e.kind == vusb::event_control_out && e.request == 0x0B && (e.value >> 8) == 0) {
        EXPECT_LT(d.powered_us, e.t_us) << "the target powered at or after the close's bit-mode reset";
      }
    }
  }
}

std::string describe(const vusb::Event& e) {
  char text[96];
  std::snprintf(text, sizeof text, "%.0f us: kind %d request 0x%02X value 0x%04X length %d first %d", e.t_us, e.kind,
                e.request, e.value, e.length, e.first);
  return text;
}

// The cable's setup, in order, from libftdi's own open on: latency timer 1 ms, divisor 48, the
// idle levels (0x15) written to the latch in asynchronous mode with no output, 2 ms, synchronous
// mode with TXD, RTS and DTR out, both FIFOs purged, then one pin read before anything else
// reaches the cable. At close: bit mode reset with the same outputs, and RTS and DTR off.
void expect_setup_and_close(const vusb::Status& s) {
  using vusb::event_bulk_out;
  using vusb::event_control_in;
  using vusb::event_control_out;
  const struct { int32_t kind, request, value, first; const char* what; } steps[] = {
      {event_control_out, 0x09, 1, -1, "latency timer 1 ms"},
      {event_control_out, 0x03, 48, -1, "divisor 48"},
      {event_control_out, 0x0B, 0x0100, -1, "asynchronous bit-bang, no output"},
      {event_bulk_out, 0, 0, 0x15, "the idle levels into the latch"},
      {event_control_out, 0x0B, 0x0415, -1, "synchronous bit-bang, TXD RTS DTR out"},
      {event_control_in, 0x0C, 0, -1, "the pins read"},
  };
  int purged = 0;  // bit 1: the transmit FIFO (wValue 1), bit 2: the receive FIFO (wValue 2)
  const int64_t count = s.event_count < vusb::first_events ? s.event_count : vusb::first_events;
  std::string log;
  for (int64_t i = 0; i < count; ++i) log += describe(s.first[i]) + "\n";
  int64_t at = 0;
  double latch_written = -1, sync_entered = -1;
  for (const auto& step : steps) {
    while (at < count && !(s.first[at].kind == step.kind && s.first[at].request == step.request &&
                           (step.kind == event_bulk_out ? s.first[at].first == step.first && s.first[at].length == 1
                                                        : s.first[at].value == step.value))) {
      // Between entering synchronous mode and the pin read only the purges.
      const bool purge = s.first[at].kind == event_control_out && s.first[at].request == 0x00 &&
                         (s.first[at].value == 1 || s.first[at].value == 2);
      if (sync_entered >= 0 && purge) purged |= s.first[at].value;
      if (sync_entered >= 0 && !purge) ADD_FAILURE() << "before the pin read: " << describe(s.first[at]);
      ++at;
    }
    ASSERT_LT(at, count) << "missing or out of order: " << step.what << "\n" << log;
    if (step.kind == event_bulk_out) latch_written = s.first[at].t_us;
    if (step.value == 0x0415) sync_entered = s.first[at].t_us;
    ++at;
  }
  EXPECT_EQ(purged, 3) << "both FIFOs purged between the mode switch and the pin read\n" << log;
  EXPECT_GE(sync_entered - latch_written, 2000) << log;
  EXPECT_LT(sync_entered - latch_written, 5000) << log;
  // The last two requests of the run.
  std::vector<vusb::Event> tail;
  for (int64_t i = s.event_count > vusb::last_events ? s.event_count - vusb::last_events : 0; i < s.event_count; ++i) {
    const vusb::Event& e = s.last[i % vusb::last_events];
    if (e.kind == event_control_out) tail.push_back(e);
  }
  // In either order: which one is safe HandingThePinsBackPowersNothing decides.
  ASSERT_GE(tail.size(), 2u);
  const vusb::Event& a = tail[tail.size() - 2];
  const vusb::Event& b = tail.back();
  const bool reset_first = a.request == 0x0B;
  const vusb::Event& reset = reset_first ? a : b;
  const vusb::Event& modem = reset_first ? b : a;
  EXPECT_EQ(reset.request, 0x0B);
  EXPECT_EQ(reset.value, 0x0015) << "the UART takes the pins back, TXD RTS DTR outputs";
  EXPECT_EQ(modem.request, 0x01);
  EXPECT_EQ(modem.value, 0x0300) << "RTS and DTR off";
}

// The chip's clock may stand still during a supervisory call only for less than the shortest
// busy signal (a one-block checksum's): no busy signal then fits in a stretch that nothing
// sampled. At the slowest reading the bus keeps up, and it never stands; at the fastest it
// cannot (1 MB/s each way is more than a full-speed bus carries), and it must.
void expect_no_busy_signal_unsampled(const vft232r::Report& d, bool bus_bound) {
  EXPECT_LT(d.longest_gap_in_call_us, sim::checksum_busy_us(1)) << wire_counts(d);
  if (bus_bound) {
    EXPECT_GT(d.gaps_in_calls, 0) << "a bus that carries more than full speed allows";
  } else {
    EXPECT_EQ(d.gaps_in_calls, 0) << d.gap_us_in_calls << " us unsampled";
  }
}

// The whole programming at one reading of the divisor's byte rate: the flash as the simulated
// world programs it, every clock phase at least 2 us on the pins, the chip with nothing to
// complain of, no transfer or deadline run out, the setup and close in order.
void expect_full_programming(const char* reading) {
  const std::string expected = run_kit::reference_flash("/tmp/tolvern-vusb-flash-" + std::to_string(getpid()));
  ASSERT_EQ(expected.size(), 8192u);
  const Outcome o = run_tool({{std::string("VUSB_READING=") + reading}});
  const vft232r::Report& d = o.status.device;
  EXPECT_EQ(o.report.exit_status, 0) << o.output << wire_counts(d);
  EXPECT_NE(o.output.find("Работа успешно завершена."), std::string::npos) << o.output;
  EXPECT_TRUE(std::string(reinterpret_cast<const char*>(d.flash), sizeof d.flash) == expected);
  EXPECT_EQ(d.short_phases, 0) << wire_counts(d);
  EXPECT_GE(d.shortest_phase_us, 2.0 - 1e-6) << wire_counts(d);
  EXPECT_EQ(d.malformed_frames + d.rejected_calls + d.timing_violations + d.contention, 0) << wire_counts(d);
  EXPECT_GT(d.calls_started, 0) << wire_counts(d);
  // One rate rule: 62 500 Bd nominal, divisor 48 of the 3 MHz base; latency timer 1 ms.
  EXPECT_EQ(d.divisor, 48) << wire_counts(d);
  EXPECT_EQ(d.latency_ms, 1);
  EXPECT_EQ(o.status.timed_out, 0) << "a transfer ran into its USB timeout";
  expect_setup_and_close(o.status);
  EXPECT_EQ(o.status.detaches, 1);
  EXPECT_EQ(o.status.reattaches, 1);
  expect_left_clean(o);
  expect_no_busy_signal_unsampled(d, std::string(reading) == "fastest");
  std::printf("[ run time ] %s: %.1f s real, %.1f s virtual, %lld bytes clocked, %lld stalls, shortest phase %.2f us, "
              "%lld gaps in calls (%.1f us, longest %.1f us)\n",
              reading, o.report.ms / 1e3, d.now_us / 1e6, static_cast<long long>(d.bytes_clocked),
              static_cast<long long>(d.rx_stalls), d.shortest_phase_us, static_cast<long long>(d.gaps_in_calls),
              d.gap_us_in_calls, d.longest_gap_in_call_us);
}

// AN232R-01: 16 x 62 500 = 1 000 000 bytes/s, 1 us a byte: more than a full-speed bus carries.
TEST(VirtualUsb, ProgramsTheChipAtTheFastestByteRate) { expect_full_programming("fastest"); }
// libftdi's measurement: 62 500 / 4 = 15 625 bytes/s, 64 us a byte (minutes of virtual time).
TEST(VirtualUsb, ProgramsTheChipAtTheSlowestByteRate) { expect_full_programming("slowest"); }

// A busy signal that rises late, for the functions whose waits the programming makes (read
// block in the verification, checksum, table read for the silicon's ids): within the clocked
// passes (100 us), past them into the quiet watch (600 us), and late in it (2500 us). Each run
// at the fastest reading, where the chip's clock stands still most often while the bus catches
// up: every run ends 0 with the flash as programmed and nothing for the chip to complain of.
struct LateCase {
  const char* function;
  sim::RomFunction number;
  int delay_us;
};
class LateBusySignal : public ::testing::TestWithParam<LateCase> {};

TEST_P(LateBusySignal, IsSeenAndTheRunSucceeds) {
  const LateCase c = GetParam();
  const std::string expected = run_kit::reference_flash("/tmp/tolvern-vusb-flash-" + std::to_string(getpid()));
  ASSERT_EQ(expected.size(), 8192u);
  const std::string late = std::string("VUSB_LATE_ANSWER=") + c.function + ":" + std::to_string(c.delay_us);
  const Outcome o = run_tool({{late}});
  const vft232r::Report& d = o.status.device;
  EXPECT_EQ(o.report.exit_status, 0) << o.output << wire_counts(d);
  EXPECT_TRUE(std::string(reinterpret_cast<const char*>(d.flash), sizeof d.flash) == expected);
  EXPECT_EQ(d.malformed_frames + d.rejected_calls + d.timing_violations + d.contention, 0) << wire_counts(d);
  EXPECT_EQ(d.short_phases, 0) << wire_counts(d);
  EXPECT_EQ(o.status.timed_out, 0);
  // Every call of the function answered late, and no other.
  EXPECT_GT(d.late_answers, 0) << "the fault was not given";
  EXPECT_EQ(d.late_answers, d.calls_by_function[static_cast<int>(c.number)]);
  expect_left_clean(o);
  expect_no_busy_signal_unsampled(d, true);
  std::printf("[ late busy ] %s %d us: exit %d, %lld late, %.1f s virtual, %.1f s real, %lld gaps in calls (%.1f us, longest %.1f us)\n",
              c.function, c.delay_us, o.report.exit_status, static_cast<long long>(d.late_answers), d.now_us / 1e6, o.report.ms / 1e3,
              static_cast<long long>(d.gaps_in_calls), d.gap_us_in_calls, d.longest_gap_in_call_us);
}

std::string late_name(const ::testing::TestParamInfo<LateCase>& info) {
  return std::string(info.param.function) + "_" + std::to_string(info.param.delay_us) + "us";
}

INSTANTIATE_TEST_SUITE_P(VirtualUsb, LateBusySignal,
                         ::testing::Values(LateCase{"read_block", sim::RomFunction::read_block, 100},
                                           LateCase{"read_block", sim::RomFunction::read_block, 600},
                                           LateCase{"read_block", sim::RomFunction::read_block, 2500},
                                           LateCase{"checksum", sim::RomFunction::checksum, 100},
                                           LateCase{"checksum", sim::RomFunction::checksum, 600},
                                           LateCase{"checksum", sim::RomFunction::checksum, 2500},
                                           LateCase{"table_read", sim::RomFunction::table_read, 100},
                                           LateCase{"table_read", sim::RomFunction::table_read, 600},
                                           LateCase{"table_read", sim::RomFunction::table_read, 2500}),
                         late_name);

// Failures: each with its exit code (a Linux status keeps 8 bits: 1167 leaves as 255) and the
// target unpowered.
TEST(VirtualUsb, FailuresEndWithTheirCodeAndTheTargetUnpowered) {
  const struct {
    const char* what;
    ToolRun run;
    int exit_status;
  } cases[] = {
      {"nothing attached", {{"VUSB_ATTACH=nothing"}}, 1},
      {"adapter without a chip", {{"VUSB_ATTACH=nochip"}}, 10},
      {"ttyUSB0 held by another program", {{}, true}, 110},
      {"cable pulled out mid-run", {{"VUSB_UNPLUG_AT_US=6000000"}}, 255},
      {"chip falls silent", {{"VUSB_SILENT_AFTER=20000"}}, 101},
      {"latch lost at the mode switch", {{"VUSB_LATCH_LOST=1"}}, 114},
      {"SIGTERM during the programming", {{}, false, true, 20000}, 128 + SIGTERM},
      {"a late busy signal the virtual bus cannot read", {{"VUSB_LATE_ANSWER=checksum"}}, 97},
      {"a read fails, the cable stays", {{"VUSB_FAIL_IN_TRANSFER=30000"}}, 31},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const Outcome o = run_tool(c.run);
    const vft232r::Report& d = o.status.device;
    EXPECT_EQ(o.report.exit_status, c.exit_status) << o.output << wire_counts(d);
    const bool unplugged = std::string(c.what) == "cable pulled out mid-run";
    const bool read_failed = std::string(c.what) == "a read fails, the cable stays";
    expect_left_clean(o, unplugged);
    if (c.run.held) {
      // Refused before anything reached the cable: ftdi_sio keeps it, nothing switched.
      EXPECT_EQ(d.opened, 0);
      EXPECT_EQ(o.status.detaches, 0);
      EXPECT_EQ(d.powered_us, -1);
    }
    if (unplugged) {
      EXPECT_GT(o.status.no_device, 0);
      EXPECT_NE(o.output.find("Стадия 1"), std::string::npos) << "pulled out during the programming\n" << o.output;
      EXPECT_GT(d.vectors, 1000);
    }
    if (c.exit_status == 101) {
      EXPECT_GE(d.vectors, 20000);
    }
    if (read_failed) {
      // A failed transfer, not a cable gone: the rest in flight taken back, the stream purged,
      // and the target switched off through the cable, still there, in the power-off order.
      EXPECT_EQ(o.status.no_device, 0);
      EXPECT_GT(o.status.cancelled, 0);
      EXPECT_NE(o.output.find("Стадия 1 - OK"), std::string::npos) << o.output;
      // The clock rests low between vectors, so only the supply's place is certain: last, at
      // least 2 ms + 500 ms after the data line.
      EXPECT_GE(d.rts_off_us - d.brk_off_us, 502000) << wire_counts(d);
      EXPECT_GE(d.rts_off_us - d.dtr_off_us, 500000) << wire_counts(d);
      EXPECT_LT(d.rts_off_us - d.brk_off_us, 600000) << wire_counts(d);
    }
    if (c.exit_status == 114 || c.exit_status == 128 + SIGTERM) {
      // The lines switched off in the power-off order: break off, 2 ms, DTR off, 500 ms, RTS
      // off. After the 114 all three were on; a signal finds the clock at either level.
      EXPECT_GE(d.powered_us, 0);
      EXPECT_TRUE(c.exit_status != 114 || d.dtr_off_us - d.brk_off_us >= 2000) << wire_counts(d);
      EXPECT_GE(d.rts_off_us - d.brk_off_us, 502000) << wire_counts(d);
      EXPECT_GE(d.rts_off_us - d.dtr_off_us, 500000) << wire_counts(d);
      EXPECT_LT(d.rts_off_us - d.brk_off_us, 600000) << wire_counts(d);
      EXPECT_EQ(d.vectors == 0, c.exit_status == 114);
    }
    if (::testing::Test::HasFailure() || std::getenv("VUSB_SHOW_OUTPUT") != nullptr) std::printf("%s\n", o.output.c_str());
    std::printf("[ outcome ] %s: exit %d, %.1f s virtual, %.1f s real\n", c.what, o.report.exit_status,
                d.now_us / 1e6, o.report.ms / 1e3);
  }
}

// The cable's last user (a terminal without HUPCL) left the UART's RTS and DTR asserted: the
// cable powers the target until the tool takes the pins, and the UART would again when it gets
// them back. A whole run, and at its end nothing powered at or after the bit-mode reset.
TEST(VirtualUsb, HandingThePinsBackPowersNothing) {
  const Outcome o = run_tool({{"VUSB_MODEM_CONTROL=3"}});
  EXPECT_EQ(o.report.exit_status, 0) << o.output << wire_counts(o.status.device);
  expect_left_clean(o);
}

}  // namespace
