// The Linux back end: fake sysfs and /dev trees, pipes and pseudo-terminals over standard input
// and output, and a stand-in for one pty's modem-line ioctls. No real serial port is opened.
#include <dlfcn.h>
#include <fcntl.h>
#include <iconv.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "output/error_record.h"
#include "platform/cp1251_literal.h"
#include "platform/platform.h"
#include "platform/posix/host.h"
#include "platform/posix/host_port.h"
#include "platform/posix/host_serial.h"
#include "platform/posix/host_usb_serial.h"
#include "tests/harness.h"

// A pty has no modem lines; for the device whose number is fake.rdev this ioctl answers the
// line requests from fake instead, as a UART with the adapter would.
namespace {

// The sentence the core makes of the back end's reason for a refused port.
std::string worded(const platform::OpenDetail& detail) {
  char text[256];
  output::open_detail_text(detail, text, sizeof text);
  return text;
}
struct FakeLines {
  dev_t rdev = 0;
  int outputs = 0;  // TIOCM_DTR | TIOCM_RTS as switched
  int inputs = 0;   // TIOCM_CTS | TIOCM_DSR as the adapter drives them
  int cts_edges = 0;
  bool has_counters = true;
};
constexpr int fake_break = 0x10000;  // TxD held in break, kept among the outputs
FakeLines fake;

bool is_fake(int fd) {
  struct stat info {};
  return fake.rdev != 0 && fstat(fd, &info) == 0 && S_ISCHR(info.st_mode) && info.st_rdev == fake.rdev;
}
}  // namespace

extern "C" int ioctl(int fd, unsigned long request, ...) noexcept {
  va_list args;
  va_start(args, request);
  void* arg = va_arg(args, void*);
  va_end(args);
  if (is_fake(fd)) {
    int* bits = static_cast<int*>(arg);
    switch (request) {
      case TIOCMBIS: fake.outputs |= *bits; return 0;
      case TIOCMBIC: fake.outputs &= ~*bits; return 0;
      case TIOCMGET: *bits = fake.outputs | fake.inputs; return 0;
      case TIOCSBRK: fake.outputs |= fake_break; return 0;
      case TIOCCBRK: fake.outputs &= ~fake_break; return 0;
      case TIOCGICOUNT:
        if (!fake.has_counters) break;  // the pty itself refuses it, as many USB drivers do
        static_cast<serial_icounter_struct*>(arg)->cts = fake.cts_edges;
        return 0;
      default: break;
    }
  }
  using Real = int (*)(int, unsigned long, ...);
  static const Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "ioctl"));
  return real(fd, request, arg);
}

namespace {

// A pseudo-terminal's master end, its slave's name and, if asked for, the slave opened.
int open_pty(std::string* slave_name, int* slave = nullptr) {
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return -1;
  *slave_name = ptsname(master);
  if (slave != nullptr) *slave = open(slave_name->c_str(), O_RDWR | O_NOCTTY);
  return master;
}

// Puts fd over standard input (or output) for the test and back afterwards.
struct Redirect {
  int target, saved;
  // Whatever the C library (or the test framework) still buffers for stdout belongs to the
  // real stdout, not to the redirection.
  Redirect(int fd, int over) : target(over), saved((std::fflush(stdout), dup(over))) { dup2(fd, over); }
  ~Redirect() {
    posix_host::reset_keyboard();
    dup2(saved, target);
    close(saved);
  }
};

// A process status keeps 8 bits, and a failure must never read 0 there; nor may an error
// number turn into 0 on its way to a message.
TEST(PosixErrors, ExitStatusAndErrnoNeverReadSuccess) {
  const struct { int32_t code; int status; } exits[] = {
      {0, 0}, {255, 255}, {256, 255}, {1167, 255}, {-1, 255}, {INT32_MIN, 255},
  };
  for (const auto& c : exits) EXPECT_EQ(posix_host::process_exit_status(c.code), c.status) << c.code;
  const struct { int e; uint32_t windows; } errnos[] = {{0, 0}, {ENXIO, 1167}, {EDOM, 31}};
  for (const auto& c : errnos) EXPECT_EQ(posix_host::from_errno(c.e), c.windows) << c.e;
}

// Every upper-half byte, many times over so the text spans several conversion chunks, must
// read as the C library's own CP866 converter shows it.
TEST(PosixConsole, WritesCp866AsUtf8) {
  std::string text;
  for (int i = 0; i < 40 * 128; ++i) text += static_cast<char>(0x80 + i % 128);
  std::string expected(text.size() * 3, '\0');
  iconv_t cd = iconv_open("UTF-8", "CP866");
  ASSERT_NE(cd, reinterpret_cast<iconv_t>(-1));
  char* in_p = text.data();
  char* out_p = expected.data();
  size_t in_left = text.size(), out_left = expected.size();
  ASSERT_NE(iconv(cd, &in_p, &in_left, &out_p, &out_left), static_cast<size_t>(-1));
  iconv_close(cd);
  expected.resize(expected.size() - out_left);

  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  {
    Redirect over_stdout(fds[1], STDOUT_FILENO);
    posix_host::set_console_utf8(1);
    posix_host::console_write(text.data(), text.size());
    posix_host::set_console_utf8(-1);
  }
  close(fds[1]);
  EXPECT_EQ(harness::read_file("/proc/self/fd/" + std::to_string(fds[0])), expected);
  close(fds[0]);
}

// A reader that goes away after the first byte is a failed console write, never the end of the
// run: the programming finishes (exit 0) and the log keeps every message.
TEST(PosixConsole, ClosedOutputPipeDoesNotEndTheRun) {
  const harness::TempDir tmp;
  const std::string dir = tmp.path();
  ASSERT_EQ(std::system(("cp " + std::string(TOLVERN_SIM) + " " + dir + "/").c_str()), 0);
  const std::string command = "bash -c '" + dir + "/tolvern-sim --confirm -L | head -c 1 >/dev/null; exit ${PIPESTATUS[0]}'";
  const int raw = std::system(command.c_str());
  EXPECT_TRUE(WIFEXITED(raw) && WEXITSTATUS(raw) == 0) << raw;
  const std::string log = harness::read_file(dir + "/Tolvern.log");
  EXPECT_NE(log.find(RU("Работа успешно завершена.")), std::string::npos);
}

// A path in a message is Windows-1251 text like the rest of it: a UTF-8 name's Russian
// letters become their own bytes (so the console shows them and the log keeps them), anything
// without a Windows-1251 form a '?', and a cut is never made inside a character.
TEST(PosixConsole, PathsInMessagesReadInWindows1251) {
  const struct { const char* path; std::size_t room; std::string shown; } cases[] = {
      {"/tmp/Тест/Ёжик-ёлка.log", 64, RU("/tmp/Тест/Ёжик-ёлка.log")},
      {"a\u20ACb\U0001F600c", 64, "a?b?c"},
      {"x\xD0", 64, "x?"},        // a sequence cut short
      {"\x80y", 64, "?y"},         // a stray continuation byte
      {"АБВ", 3, RU("АБ")},
  };
  for (const auto& c : cases) {
    char out[64];
    posix_host::utf8_to_cp1251(c.path, out, c.room);
    EXPECT_EQ(std::string(out), c.shown) << c.path;
  }
  // The whole way: a log that cannot be created in a directory with a Russian name.
  harness::reset_world();
  const harness::RunResult r = harness::run_tool({"-L"}, "/nonexistent/Папка/tolvern");
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.console.find(harness::cp866(RU("/nonexistent/Папка/Tolvern.log"))), std::string::npos) << r.console;
}

// Feeds bytes through a closed pipe: every key, then the end of input, which must answer
// ESC at once and keep answering it.
std::vector<int> keys_from(const std::string& bytes) {
  int fds[2];
  EXPECT_EQ(pipe(fds), 0);
  EXPECT_EQ(write(fds[1], bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  close(fds[1]);
  Redirect over_stdin(fds[0], STDIN_FILENO);
  close(fds[0]);
  std::vector<int> keys;
  for (int i = 0; i < 20 && !posix_host::keyboard_closed(); ++i) {
    EXPECT_TRUE(posix_host::key_waiting());
    keys.push_back(posix_host::read_key());
  }
  EXPECT_TRUE(posix_host::key_waiting());
  EXPECT_EQ(posix_host::read_key(), 27);
  return keys;
}

// ESC aborts a run: a cursor or function key must never read as ESC, and the second code of
// an extended key follows its prefix.
TEST(PosixKeyboard, SequencesFromAPipe) {
  const struct { const char* input; std::vector<int> keys; } cases[] = {
      {"\x1b[B\x1bOA\x1b[1;5C", {0xE0, 0x50, 0xE0, 0x48, 0xE0, 0x4D, 27}},
      {"\x1bOP\x1b[[B\x1b[3~\x1b[24~", {0, 0x3B, 0, 0x3C, 0xE0, 0x53, 0xE0, 0x86, 27}},
      {"\r\nx", {13, 13, 'x', 27}},
      {"\x1bq", {27, 'q', 27}},  // ESC and a letter are two keys
      {"\x1b[", {27, '[', 27}},  // a sequence cut off by the end of input
      {"\x1bO\r", {27, 'O', 13, 27}},  // only a final byte ends ESC O: the ENTER stays a key
      {"\x1b[[\r", {27, '[', '[', 13, 27}},  // nor ESC [ [ (the Linux console's F1..F5)
      {"\x1b[4294967299~", {0xE0, 0, 27}},  // a number past any key's, not wrapped round to 3
  };
  for (const auto& c : cases) EXPECT_EQ(keys_from(c.input), c.keys) << c.input;
}

// On the cable the handler only notes a signal (the first one stands) and the process goes on,
// for the stream to power the target off; the wait for a key gives way at once, so the prompt's
// ESC path takes the run to the stream.
TEST(PosixSignals, OnTheCableASignalIsNotedForTheStream) {
  int fds[2];
  // A key is waiting, so a keyboard that ignored the signal answers it instead of hanging.
  ASSERT_EQ(pipe(fds), 0);
  ASSERT_EQ(write(fds[1], "x", 1), 1);
  {
    Redirect over_stdin(fds[0], STDIN_FILENO);
    posix_host::guard_cable_against_signals();
    ASSERT_EQ(raise(SIGTERM), 0);
    EXPECT_EQ(posix_host::emergency_signal(), SIGTERM);
    ASSERT_EQ(raise(SIGINT), 0);
    EXPECT_EQ(posix_host::emergency_signal(), SIGTERM);
    EXPECT_EQ(posix_host::read_key(), 27);
    posix_host::reset_signals();
  }
  close(fds[0]);
  close(fds[1]);
}

// On a live terminal: an interactive console (a pipe is not one), raw while reading, a lone ESC
// answered without waiting for more, the terminal restored, and a hang-up taken as the end of
// input instead of a hang.
TEST(PosixKeyboard, TerminalRawLoneEscapeRestoreAndHangUp) {
  std::string slave_name;
  int slave = -1, fds[2];
  const int master = open_pty(&slave_name, &slave);
  ASSERT_TRUE(master >= 0 && slave >= 0 && pipe(fds) == 0);
  for (const int fd : {fds[1], slave}) {
    Redirect over_stdout(fd, STDOUT_FILENO);
    EXPECT_EQ(posix_host::console_interactive(), fd == slave);
  }
  close(fds[0]);
  close(fds[1]);
  Redirect over_stdin(slave, STDIN_FILENO);
  close(slave);
  EXPECT_FALSE(posix_host::key_waiting());
  ASSERT_EQ(write(master, "\x1b[A", 3), 3);
  EXPECT_EQ(posix_host::read_key(), 0xE0);
  EXPECT_EQ(posix_host::read_key(), 0x48);
  termios t {};
  ASSERT_EQ(tcgetattr(STDIN_FILENO, &t), 0);
  EXPECT_EQ(t.c_lflag & (ICANON | ECHO), 0u);
  ASSERT_EQ(write(master, "\x1b", 1), 1);
  EXPECT_EQ(posix_host::read_key(), 27);
  EXPECT_FALSE(posix_host::key_waiting());
  EXPECT_FALSE(posix_host::keyboard_closed());
  posix_host::restore_terminal();
  ASSERT_EQ(tcgetattr(STDIN_FILENO, &t), 0);
  EXPECT_NE(t.c_lflag & ICANON, 0u);
  close(master);
  EXPECT_EQ(posix_host::read_key(), 27);
  EXPECT_TRUE(posix_host::keyboard_closed());
}

struct PosixFakeTree : ::testing::Test {
  harness::TempDir tmp;
  std::string root, sysfs, dev;
  void SetUp() override {
    posix_host::reset();
    root = tmp.path();
    sysfs = root + "/sys";
    dev = root + "/dev";
    ASSERT_EQ(mkdir(sysfs.c_str(), 0755), 0);
    ASSERT_EQ(mkdir(dev.c_str(), 0755), 0);
    ASSERT_TRUE(posix_host::set_device_roots(sysfs.c_str(), dev.c_str()));
  }
  void TearDown() override {
    fake = FakeLines{};
    posix_host::set_guard_roots(nullptr, nullptr, nullptr);
    posix_host::reset();
  }
  // A pseudo-terminal as /dev/ttyS4 (COM5): its master end, and its slave's name in *slave.
  int pty_as_com5(std::string* slave) {
    const int master = open_pty(slave);
    EXPECT_EQ(symlink(slave->c_str(), (dev + "/ttyS4").c_str()), 0);
    return master;
  }
  // A port sysfs knows (with a UART type for ttyS) and, if wanted, its device node.
  void add_port(const std::string& name, int uart_type, bool node) {
    ASSERT_EQ(mkdir((sysfs + "/" + name).c_str(), 0755), 0);
    if (uart_type >= 0) std::ofstream(sysfs + "/" + name + "/type") << uart_type << "\n";
    if (node) std::ofstream(dev + "/" + name) << "";
  }
};

// Matching names is covered through the whole tool; here what a run does not reach.
TEST_F(PosixFakeTree, FindFirstFileSkipsDirectoriesAndNeverOverflows) {
  ASSERT_EQ(mkdir((root + "/Tolvern_dir.dat").c_str(), 0755), 0);
  std::ofstream(root + "/TOLVERN7.DAT") << "x";
  const std::string pattern = root + "/Tolvern*.dat";
  char name[13];
  EXPECT_FALSE(posix_host::find_first_file((root + "/*_dir.dat").c_str(), name, sizeof name));
  EXPECT_EQ(posix_host::last_error(), 2u);
  EXPECT_FALSE(posix_host::find_first_file(pattern.c_str(), name, 12));
  EXPECT_EQ(posix_host::last_error(), 122u);
  EXPECT_TRUE(posix_host::find_first_file(pattern.c_str(), name, sizeof name));
  EXPECT_STREQ(name, "TOLVERN7.DAT");
}

// 32 ports per kind (ttyS, ttyUSB, ttyACM from COM1, 33, 65): a port across a range boundary
// must never be listed as its neighbour (opening goes through the same map).
TEST_F(PosixFakeTree, DeviceMapListsExistingPortsInComOrder) {
  add_port("ttyACM31", -1, true);  // cdc-acm cannot carry the data line: never listed
  add_port("ttyS31", 4, true);
  add_port("ttyACM1", -1, true);
  add_port("ttyS1", 0, true);      // registered by the driver, but no UART there
  add_port("ttyS2", 4, false);     // no device node
  add_port("ttyS0", 4, true);
  add_port("ttyUSB32", -1, true);  // beyond the map
  add_port("ttyUSB0", -1, true);
  ASSERT_EQ(posix_host::devmap_open(), 0u);
  std::vector<std::u16string> entries;  // name=data
  char16_t name[120];
  uint8_t bytes[120];
  for (uint32_t i = 0; i < 10; ++i) {
    uint32_t name_units = 120, data_bytes = 120, type = 0;
    const uint32_t r = posix_host::devmap_read(i, name, &name_units, &type, bytes, &data_bytes);
    if (r == 259) break;
    ASSERT_EQ(r, 0u);
    EXPECT_EQ(type, 1u);
    entries.push_back(std::u16string(name, name_units) + u"=");
    for (uint32_t k = 0; k + 1 < data_bytes; k += 2) entries.back() += static_cast<char16_t>(bytes[k] | bytes[k + 1] << 8);
  }
  using namespace std::string_literals;  // the data keeps its terminator
  EXPECT_EQ(entries, (std::vector<std::u16string>{u"\\Device\\Serial1=COM1\0"s, u"\\Device\\Serial32=COM32\0"s,
                                                  u"\\Device\\Serial33=COM33\0"s}));
  // Room: the name with its terminator and the data with its terminator, exactly.
  const struct { uint32_t name_room, data_room, result; } rooms[] = {{16, 10, 0}, {15, 10, 234}, {16, 9, 234}};
  for (const auto& r : rooms) {
    uint32_t name_units = r.name_room, data_bytes = r.data_room, type = 0;
    EXPECT_EQ(posix_host::devmap_read(0, name, &name_units, &type, bytes, &data_bytes), r.result);
  }
  EXPECT_EQ(posix_host::devmap_close(), 0u);
  ASSERT_TRUE(posix_host::set_device_roots((root + "/nothing").c_str(), dev.c_str()));
  EXPECT_EQ(posix_host::devmap_open(), 2u);  // no tty class: no map at all
}

// A pseudo-terminal as COM5, its modem lines answered by the ioctl stand-in above as a UART
// with the adapter would answer them.
TEST_F(PosixFakeTree, PortOpenLinesAndCtsNotification) {
  // Lock files and the process table of the tree's own: the machine's /run/lock is never
  // written, and another test process holding "its" ttyS4 at the same time is no obstacle.
  for (const char* dir : {"/proc", "/lock", "/oldlock"}) ASSERT_EQ(mkdir((root + dir).c_str(), 0755), 0);
  ASSERT_TRUE(posix_host::set_guard_roots((root + "/proc").c_str(), (root + "/lock").c_str(), (root + "/oldlock").c_str()));
  std::string slave;
  const int master = pty_as_com5(&slave);
  ASSERT_GE(master, 0);
  struct stat info {};
  ASSERT_EQ(stat(slave.c_str(), &info), 0);
  fake.rdev = info.st_rdev;
  fake.outputs = TIOCM_DTR | TIOCM_RTS;  // as a fresh open leaves them
  std::ofstream(dev + "/ttyS5") << "";  // COM6: not a terminal
  // Refused, each saying which device and why: no node, not a terminal, a cdc-acm device (which
  // cannot carry the data line), beyond the map.
  const struct { const char16_t* path; uint32_t error; std::string detail; } refused[] = {
      {u"COM7", 2, dev + "/ttyS6: " + RU("нет такого устройства") + "."},
      {u"COM6", 50, dev + "/ttyS5: " + RU("это не последовательный порт") + "."},
      {u"COM65", 50, dev + "/ttyACM0: " + RU("cdc-acm не передаёт CTS, адаптер на нём работать не может") + "."},
      {u"COM97", 2, ""},
  };
  for (const auto& r : refused) {
    EXPECT_EQ(posix_host::serial_open(r.path), platform::no_serial);
    EXPECT_EQ(posix_host::last_error(), r.error);
    EXPECT_EQ(worded(posix_host::serial_open_detail()), r.detail);
  }
  const platform::SerialHandle h = posix_host::serial_open(u"COM5");
  ASSERT_NE(h, platform::no_serial) << posix_host::last_error() << " " << static_cast<int>(posix_host::serial_open_detail().reason) << " " << posix_host::serial_open_detail().number;
  EXPECT_EQ(fake.outputs, 0) << "DTR and RTS (target power) must drop right after open";
  EXPECT_EQ(posix_host::serial_open(u"\\\\.\\COM5"), platform::no_serial);  // held
  EXPECT_EQ(posix_host::last_error(), 5u);
  int exclusive = 0;
  ASSERT_EQ(ioctl(static_cast<int>(h), TIOCGEXCL, &exclusive), 0);
  EXPECT_EQ(exclusive, 1) << "a refused second open must not lift the holder's exclusivity";

  // No flow control may hold the lines back, and the last close must drop them (HUPCL).
  platform::Dcb dcb{};
  ASSERT_TRUE(posix_host::serial_build_dcb(u"9600,n,8,1", &dcb));
  ASSERT_TRUE(posix_host::serial_set_state(h, dcb));
  termios t {};
  ASSERT_EQ(tcgetattr(static_cast<int>(h), &t), 0);
  EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS | CLOCAL | HUPCL), static_cast<tcflag_t>(CS8 | CLOCAL | HUPCL));
  EXPECT_EQ(t.c_iflag & (IXON | IXOFF), 0u);
  // The block's DTR and RTS control: disabled drops the line, enabled raises it, handshake
  // leaves it as it was.
  const struct { uint32_t dtr, rts; int before, after; } controls[] = {
      {platform::DTR_CONTROL_ENABLE, platform::RTS_CONTROL_HANDSHAKE, 0, TIOCM_DTR},
      {platform::DTR_CONTROL_HANDSHAKE, platform::RTS_CONTROL_ENABLE, TIOCM_DTR, TIOCM_DTR | TIOCM_RTS},
      {platform::DTR_CONTROL_DISABLE, platform::RTS_CONTROL_DISABLE, TIOCM_DTR | TIOCM_RTS, 0},
  };
  for (const auto& c : controls) {
    platform::Dcb d = dcb;
    d.flags = (d.flags & ~(platform::dcb_dtr_control | platform::dcb_rts_control)) |
              platform::dcb_place(c.dtr, platform::dcb_dtr_control) | platform::dcb_place(c.rts, platform::dcb_rts_control);
    fake.outputs = c.before;
    ASSERT_TRUE(posix_host::serial_set_state(h, d));
    EXPECT_EQ(fake.outputs, c.after) << c.dtr << c.rts;
  }

  const struct { uint32_t function; int outputs; } switches[] = {
      {platform::SETRTS, TIOCM_RTS}, {platform::SETDTR, TIOCM_RTS | TIOCM_DTR},
      {platform::SETBREAK, TIOCM_RTS | TIOCM_DTR | fake_break}, {platform::CLRDTR, TIOCM_RTS | fake_break},
      {platform::CLRBREAK, TIOCM_RTS}, {platform::CLRRTS, 0},
  };
  for (const auto& s : switches) {
    EXPECT_TRUE(posix_host::serial_escape(h, s.function));
    EXPECT_EQ(fake.outputs, s.outputs) << s.function;
  }
  uint32_t status = 0;
  for (const int inputs : {TIOCM_CTS, TIOCM_DSR, 0}) {
    fake.inputs = inputs;
    EXPECT_TRUE(posix_host::serial_modem_status(h, &status));
    EXPECT_EQ(status & 0x30, (inputs == TIOCM_CTS ? 0x10u : 0u) | (inputs == TIOCM_DSR ? 0x20u : 0u));
  }

  // A CTS change completes the armed wait: with edge counters even a pulse that rose and fell
  // between two samples, without them a level change.
  volatile uint32_t* word = posix_host::cts_event_word();
  for (const bool counters : {true, false}) {
    fake.has_counters = counters;
    ASSERT_TRUE(posix_host::serial_set_mask(h, platform::EV_CTS));
    *word = 0;
    EXPECT_EQ(posix_host::cts_wait_start(h), 0);
    EXPECT_TRUE(posix_host::serial_modem_status(h, &status));
    EXPECT_EQ(*word, 0u) << "nothing changed yet";
    fake.cts_edges += 2;
    if (!counters) fake.inputs = TIOCM_CTS;
    EXPECT_TRUE(posix_host::serial_modem_status(h, &status));
    EXPECT_EQ(*word, platform::EV_CTS) << counters;
    fake.inputs = 0;
  }

  // Without modem lines (a plain pty) the line calls fail as "not supported", never succeed.
  fake.rdev = 0;
  EXPECT_FALSE(posix_host::serial_escape(h, platform::SETRTS));
  EXPECT_EQ(posix_host::last_error(), 50u);
  EXPECT_FALSE(posix_host::serial_modem_status(h, &status));
  EXPECT_EQ(posix_host::last_error(), 50u);

  EXPECT_TRUE(posix_host::serial_close(h));
  const platform::SerialHandle again = posix_host::serial_open(u"COM5");  // lock released
  EXPECT_NE(again, platform::no_serial) << posix_host::last_error() << " " << static_cast<int>(posix_host::serial_open_detail().reason) << " " << posix_host::serial_open_detail().number;
  EXPECT_TRUE(posix_host::serial_close(again));
  close(master);
}

// USB-serial bridges as sysfs shows them: FTDI chips named by the release number that holds
// their type (with or without a ttyUSB), other makes by their usb-serial driver so that -F can
// refuse them by name, COM numbers from the ttyUSB range, ordered by bus and address.
TEST_F(PosixFakeTree, UsbSerialBridgesNamedFromSysfs) {
  const std::string usb = root + "/usb";
  ASSERT_EQ(mkdir(usb.c_str(), 0755), 0);
  ASSERT_TRUE(posix_host::set_usb_devices_root(usb.c_str()));
  // ports: ttyUSB<n>, driver.
  struct Device { const char* name; const char *vendor, *product_id, *release, *serial, *product; int bus, address;
      std::vector<std::pair<std::string, std::string>> ports; };
  const std::string serial30(30, 'S');
  const Device devices[] = {
      {"3-2", "0403", "6001", "0600", "A10KZ3Q9", "FT232R USB UART", 3, 9, {}},  // driver detached
      {"1-1", "0403", "6001", "0600", "AL05X1YR", "FT232R USB UART", 1, 5, {{"ttyUSB2", "ftdi_sio"}}},
      {"1-2", "1a86", "7523", "0264", nullptr, "USB Serial", 1, 3, {{"ttyUSB0", "ch341-uart"}}},
      {"2-1", "067b", "2303", "0300", nullptr, nullptr, 2, 2, {{"ttyUSB1", "pl2303"}}},
      {"2-1.4", "10c4", "ea60", "0100", "0001", nullptr, 2, 7, {{"ttyUSB40", "cp210x"}}},  // beyond the map
      {"3-1", "0403", "6010", "0700", "FT4A", nullptr, 3, 4, {{"ttyUSB5", "ftdi_sio"}, {"ttyUSB4", "ftdi_sio"}}},
      {"3-3", "0403", "6001", "0600", serial30.c_str(), "FT245R USB FIFO", 3, 12, {{"ttyUSB6", "ftdi_sio"}}},
      {"3-4", "1234", "5678", "0100", nullptr, nullptr, 3, 13, {{"ttyUSB3", "some_vendor_uart_driver"}}},
      {"3-5", "0403", "6015", "1000", "DK0X", nullptr, 3, 14, {{"ttyUSB7", "ftdi_sio"}}},
      {"3-6", "0403", "6001", "0400", nullptr, nullptr, 3, 15, {}},
      {"3-7", "0403", "6099", "0a00", nullptr, nullptr, 3, 16, {}},   // a type not known here
      {"3-8", "1b3d", "0153", "0600", nullptr, nullptr, 3, 17, {{"ttyUSB8", "ftdi_sio"}}},  // own vendor id
      {"4-1", "046d", "c077", "7200", nullptr, "USB Optical Mouse", 4, 2, {}},  // no serial port
      {"usb1", "1d6b", "0002", "0601", "0000:00:14.0", nullptr, 1, 1, {}},       // root hub
  };
  for (const Device& d : devices) {
    const std::string dir = usb + "/" + d.name, bus = std::to_string(d.bus), address = std::to_string(d.address);
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    const std::pair<const char*, const char*> files[] = {{"idVendor", d.vendor}, {"idProduct", d.product_id},
        {"bcdDevice", d.release}, {"busnum", bus.c_str()}, {"devnum", address.c_str()}, {"serial", d.serial},
        {"product", d.product}};
    for (const auto& [file, text] : files) if (text != nullptr) std::ofstream(dir + "/" + file) << text << "\n";
    // Every interface directory is also listed at the top, as sysfs does.
    const std::string iface = std::string(d.name) + ":1.0";
    ASSERT_EQ(mkdir((dir + "/" + iface).c_str(), 0755), 0);
    ASSERT_EQ(symlink((dir + "/" + iface).c_str(), (usb + "/" + iface).c_str()), 0);
    for (const auto& [port, driver] : d.ports) {
      ASSERT_EQ(mkdir((dir + "/" + iface + "/" + port).c_str(), 0755), 0);
      const std::string target = "../../../../../bus/usb-serial/drivers/" + driver;
      ASSERT_EQ(symlink(target.c_str(), (dir + "/" + iface + "/" + port + "/driver").c_str()), 0);
    }
  }
  // chip, FT232R or not, serial, COM number, bus.address
  const auto shown = [](const platform::UsbSerialDevice& d, const posix_host::UsbAddress& where) {
    return std::string(d.chip) + (d.ft232r ? " yes " : " no ") + d.serial + " COM" + std::to_string(d.com_port) +
           " " + std::to_string(where.bus) + "." + std::to_string(where.address);
  };
  platform::UsbSerialDevice list[platform::max_usb_serial_devices];
  const int count = posix_host::usb_serial_list(list, platform::max_usb_serial_devices);
  std::vector<std::string> seen;
  posix_host::UsbAddress where{};
  bool ft232r = false;
  int32_t com = 0;
  for (int i = 0; i < count && i < platform::max_usb_serial_devices; ++i) {
    ft232r = !list[i].ft232r;
    com = -1;
    ASSERT_TRUE(posix_host::usb_serial_address(i, &where, &ft232r, &com));
    EXPECT_EQ(ft232r, list[i].ft232r);
    EXPECT_EQ(com, list[i].com_port);
    seen.push_back(shown(list[i], where));
  }
  EXPECT_EQ(seen, (std::vector<std::string>{
                      "CH340 no  COM33 1.3", "FT232R yes AL05X1YR COM35 1.5", "PL2303 no  COM34 2.2",
                      "CP210x no 0001 COM0 2.7", "FT2232H no FT4A COM37 3.4", "FT232R yes A10KZ3Q9 COM0 3.9",
                      "FT245R no " + std::string(23, 'S') + " COM39 3.12", "some_vendor_uar no  COM36 3.13",
                      "FT-X no DK0X COM40 3.14", "FT232B no  COM0 3.15", "FTDI no  COM0 3.16", "FT232R yes  COM41 3.17",
                  }));
  EXPECT_EQ(count, static_cast<int>(seen.size()));
  EXPECT_FALSE(posix_host::usb_serial_address(count, &where, &ft232r, &com));
  EXPECT_FALSE(posix_host::usb_serial_address(-1, &where, &ft232r, &com));

  // A short array: filled as far as it goes, the whole count told.
  platform::UsbSerialDevice two[3] = {};
  std::snprintf(two[2].chip, sizeof two[2].chip, "untouched");
  EXPECT_EQ(posix_host::usb_serial_list(two, 2), count);
  EXPECT_STREQ(two[1].chip, "FT232R");
  EXPECT_STREQ(two[2].chip, "untouched");

  // No USB at all: an empty list, and nothing left to open.
  ASSERT_TRUE(posix_host::set_usb_devices_root((root + "/nothing").c_str()));
  EXPECT_EQ(posix_host::usb_serial_list(list, platform::max_usb_serial_devices), 0);
  EXPECT_FALSE(posix_host::usb_serial_address(0, &where, &ft232r, &com));
}

// The marks that programs sharing ports leave, each alone on a pseudo-terminal as COM5: every
// one refuses the port before any setting changes, and says which device and why.
TEST_F(PosixFakeTree, PortsInUseAreLeftAlone) {
  std::string slave;
  const int master = pty_as_com5(&slave);
  ASSERT_GE(master, 0);
  for (const char* dir : {"/proc", "/lock", "/oldlock", "/sys/console"}) ASSERT_EQ(mkdir((root + dir).c_str(), 0755), 0);
  ASSERT_TRUE(posix_host::set_guard_roots((root + "/proc").c_str(), (root + "/lock").c_str(), (root + "/oldlock").c_str()));
  const pid_t dead = fork();  // a pid that no longer runs
  if (dead == 0) _exit(0);
  waitpid(dead, nullptr, 0);
  const long live = static_cast<long>(getppid());
  const auto pid_text = [](long pid) { char t[16]; std::snprintf(t, sizeof t, "%10ld\n", pid); return std::string(t); };
  const std::string device = dev + "/ttyS4";
  const std::string in_use = device + ": " + RU("используется процессом ") + std::to_string(live) + ".";
  // content: a mark left in the tree; detail: "" = the port opens.
  struct Case { const char* what; std::string file, content; std::string detail; };
  const Case cases[] = {
      {"console", "/sys/console/active", "tty0 ttyS4\n", device + ": " + RU("системная консоль") + "."},
      {"console list", "/proc/consoles", "tty0  -WU (EC p  )    4:1\nttyS4 -W- (E  p  )    4:68\n", device + ": " + RU("системная консоль") + "."},
      {"other console", "/proc/consoles", "ttyS40 -W- (E p) 4:104\nttyS0 ttyS4\n", ""},
      {"live lock", "/lock/LCK..ttyS4", pid_text(live), in_use},
      {"live lock, old place", "/oldlock/LCK..ttyS4", pid_text(live), in_use},
      {"binary lock", "/lock/LCK..ttyS4", std::string(reinterpret_cast<const char*>(&live), 4), in_use},
      {"unreadable lock", "/lock/LCK..ttyS4", "junk\n", device + ": " + RU("заблокирован файлом блокировки") + "."},
      {"stale lock", "/lock/LCK..ttyS4", pid_text(dead), ""},
      {"held per /proc", "/proc/" + std::to_string(live) + "/fd/7", "", in_use},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string path = root + c.file;
    if (c.file.rfind("/proc/", 0) == 0 && c.file.find("/fd/") != std::string::npos) {
      ASSERT_EQ(std::system(("mkdir -p " + path.substr(0, path.rfind('/'))).c_str()), 0);
      ASSERT_EQ(symlink(device.c_str(), path.c_str()), 0);
    } else {
      std::ofstream(path, std::ios::binary) << c.content;
    }
    termios before {};
    ASSERT_EQ(tcgetattr(master, &before), 0);
    const platform::SerialHandle h = posix_host::serial_open(u"COM5");
    EXPECT_EQ(worded(posix_host::serial_open_detail()), c.detail);
    if (c.detail.empty()) {
      ASSERT_NE(h, platform::no_serial);
      // Held with a lock file of its own, in the first lock directory, gone after closing.
      EXPECT_EQ(harness::read_file(root + "/lock/LCK..ttyS4"), pid_text(getpid()));
      EXPECT_TRUE(posix_host::serial_close(h));
      EXPECT_NE(access((root + "/lock/LCK..ttyS4").c_str(), F_OK), 0);
    } else {
      EXPECT_EQ(h, platform::no_serial);
      EXPECT_EQ(posix_host::last_error(), 5u);
      if (c.file.find("LCK") != std::string::npos) {
        EXPECT_EQ(harness::read_file(path), c.content);
      }
      termios after {};
      ASSERT_EQ(tcgetattr(master, &after), 0);
      EXPECT_EQ(after.c_cflag, before.c_cflag);
      EXPECT_EQ(after.c_lflag, before.c_lflag);
    }
    ASSERT_EQ(std::system(("rm -rf " + root + "/proc/* " + root + "/lock/* " + root + "/oldlock/* " + root + "/sys/console/*").c_str()), 0);
  }

  // Made exclusive by its holder: root opens it all the same, so TIOCGEXCL decides.
  const int holder = open(slave.c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(ioctl(holder, TIOCEXCL), 0);
  EXPECT_EQ(posix_host::serial_open(u"COM5"), platform::no_serial);
  EXPECT_EQ(worded(posix_host::serial_open_detail()), device + ": " + RU("открыт другой программой в монопольном режиме") + ".");
  ioctl(holder, TIOCNXCL);
  close(holder);

  close(master);
}

}  // namespace
