// The Linux back end, exercised directly through posix_host: fake sysfs and /dev trees in a
// temporary directory, pipes and pseudo-terminals over standard input and standard output,
// and a stand-in for the modem-line ioctls of one pseudo-terminal. No real serial port is
// ever opened: the device root always points into the temporary tree.
#include <dlfcn.h>
#include <fcntl.h>
#include <iconv.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdlib>
#include <string>
#include <vector>

#include "output/codepage.h"
#include "output/cp1251_literal.h"
#include "platform/platform.h"
#include "platform/posix/host.h"
#include "platform/posix/host_serial.h"

// ---- modem lines of one pseudo-terminal -------------------------------------------------
// A pty has no modem lines; for the device whose number is fake_rdev this ioctl answers the
// line requests from fake_lines instead, as a UART with the adapter would.
namespace {
struct FakeLines {
  dev_t rdev = 0;
  int outputs = 0;       // TIOCM_DTR | TIOCM_RTS as switched
  int inputs = 0;        // TIOCM_CTS | TIOCM_DSR as the adapter drives them
  int cts_edges = 0;
  bool has_counters = true;
  bool brk = false;
};
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
      case TIOCSBRK: fake.brk = true; return 0;
      case TIOCCBRK: fake.brk = false; return 0;
      case TIOCGICOUNT:
        if (!fake.has_counters) {
          errno = EINVAL;
          return -1;
        }
        *static_cast<serial_icounter_struct*>(arg) = serial_icounter_struct{};
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

std::string make_temp_dir() {
  char pattern[] = "/tmp/tolvern-posix-XXXXXX";
  const char* dir = mkdtemp(pattern);
  return dir != nullptr ? dir : "";
}

void write_file(const std::string& path, const std::string& text) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0) << path;
  ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  close(fd);
}

// Puts fd over standard input (or output) for the test and back afterwards.
struct Redirect {
  int target, saved;
  Redirect(int fd, int over) : target(over), saved(dup(over)) { dup2(fd, over); }
  ~Redirect() {
    posix_host::reset_keyboard();
    dup2(saved, target);
    close(saved);
  }
};

TEST(PosixExitStatus, FailuresNeverReadZero) {
  const struct { int32_t code; int status; } cases[] = {
      {0, 0}, {1, 1}, {127, 127}, {255, 255}, {256, 255}, {512, 255},
      {1450, 255}, {-1, 255}, {INT32_MIN, 255}, {INT32_MAX, 255},
  };
  for (const auto& c : cases) EXPECT_EQ(posix_host::process_exit_status(c.code), c.status) << c.code;
}

TEST(PosixErrors, ErrnoTable) {
  const struct { int e; uint32_t windows; } cases[] = {
      {0, 0},       {ENOENT, 2},  {ENOTDIR, 3},   {EACCES, 5},  {EPERM, 5},    {EBUSY, 5},
      {EWOULDBLOCK, 5}, {EBADF, 6}, {EIO, 31},    {ENOTTY, 50}, {EINVAL, 87},  {ENOSPC, 112},
      {ENXIO, 1167}, {ENODEV, 1167}, {EDOM, 31},  {EHOSTDOWN, 31},
  };
  for (const auto& c : cases) EXPECT_EQ(posix_host::from_errno(c.e), c.windows) << c.e;
}

std::string to_utf8(const std::string& cp866) {
  std::string out(cp866.size() * 3, '\0');
  size_t used = 0;
  out.resize(posix_host::cp866_to_utf8(cp866.data(), cp866.size(), out.data(), out.size(), &used));
  EXPECT_EQ(used, cp866.size());
  return out;
}

TEST(PosixConsole, Cp866ToUtf8) {
  // Every upper-half byte against the C library's own CP866 converter.
  iconv_t cd = iconv_open("UTF-8", "CP866");
  ASSERT_NE(cd, reinterpret_cast<iconv_t>(-1));
  for (int b = 0x80; b <= 0xFF; ++b) {
    char in[1] = {static_cast<char>(b)};
    char expected[8] = {};
    char* in_p = in;
    char* out_p = expected;
    size_t in_left = 1, out_left = sizeof expected;
    ASSERT_NE(iconv(cd, &in_p, &in_left, &out_p, &out_left), static_cast<size_t>(-1)) << b;
    EXPECT_EQ(to_utf8(std::string(1, static_cast<char>(b))),
              std::string(expected, sizeof expected - out_left)) << std::hex << b;
  }
  iconv_close(cd);

  // A message as the tool forms it: Windows-1251, converted to 866, shown as UTF-8.
  std::string message = RU("\r\nРабота успешно завершена. Ёё №5\r\n");
  output::to_console_codepage(message.data());
  EXPECT_EQ(to_utf8(message), "\r\nРабота успешно завершена. Ёё №5\r\n");

  // A full buffer stops at a whole character.
  char out[3];
  size_t used = 0;
  EXPECT_EQ(posix_host::cp866_to_utf8("\x80\x81", 2, out, sizeof out, &used), 2u);
  EXPECT_EQ(used, 1u);
}

TEST(PosixConsole, WritesConvertedOrUnchanged) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  {
    Redirect over_stdout(fds[1], STDOUT_FILENO);
    posix_host::set_console_utf8(1);
    std::string big(5000, '\xB0');  // more than one conversion chunk: ░ x 5000
    posix_host::console_write(big.data(), big.size());
    posix_host::set_console_utf8(0);
    posix_host::console_write("\x8f\xe0", 2);
    posix_host::set_console_utf8(-1);
  }
  close(fds[1]);
  std::string got;
  char buffer[4096];
  for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;) got.append(buffer, static_cast<size_t>(n));
  close(fds[0]);
  std::string expected;
  for (int i = 0; i < 5000; ++i) expected += "░";
  EXPECT_EQ(got, expected + "\x8f\xe0");
}

// Feeds bytes through a closed pipe: every key, then the end of input.
std::vector<int> keys_from(const std::string& bytes) {
  int fds[2];
  EXPECT_EQ(pipe(fds), 0);
  EXPECT_EQ(write(fds[1], bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  close(fds[1]);
  std::vector<int> keys;
  {
    Redirect over_stdin(fds[0], STDIN_FILENO);
    posix_host::reset_keyboard();
    for (int i = 0; i < 20 && !posix_host::keyboard_closed(); ++i) {
      EXPECT_TRUE(posix_host::key_waiting());
      keys.push_back(posix_host::read_key());
    }
    // After the end: a key is always waiting and it is ESC, at once.
    EXPECT_TRUE(posix_host::keyboard_closed());
    EXPECT_TRUE(posix_host::key_waiting());
    EXPECT_EQ(posix_host::read_key(), 27);
  }
  close(fds[0]);
  return keys;
}

TEST(PosixKeyboard, SequencesFromAPipe) {
  const struct { const char* input; std::vector<int> keys; } cases[] = {
      {"\x1b[A", {0xE0, 0x48, 27}},
      {"\x1b[B\x1b[D\x1b[C", {0xE0, 0x50, 0xE0, 0x4B, 0xE0, 0x4D, 27}},
      {"\x1bOA", {0xE0, 0x48, 27}},
      {"\x1b[1;5C", {0xE0, 0x4D, 27}},
      {"\x1b[3~\x1b[H\x1b[4~", {0xE0, 0x53, 0xE0, 0x47, 0xE0, 0x4F, 27}},
      {"\x1bOP\x1b[[B\x1b[21~\x1b[24~", {0, 0x3B, 0, 0x3C, 0, 0x44, 0xE0, 0x86, 27}},
      {"\r\nx", {13, 13, 'x', 27}},
      {"\x1b", {27}},                 // lone ESC, then the end
      {"\x1bq", {27, 'q', 27}},       // ESC and a letter are two keys
      {"\x1b[", {27, '[', 27}},       // a sequence cut off by the end of input
      {"", {27}},
  };
  for (const auto& c : cases) EXPECT_EQ(keys_from(c.input), c.keys) << c.input;
}

TEST(PosixKeyboard, LoneEscapeOnAnOpenPipeThenMore) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  {
    Redirect over_stdin(fds[0], STDIN_FILENO);
    posix_host::reset_keyboard();
    EXPECT_FALSE(posix_host::key_waiting());
    ASSERT_EQ(write(fds[1], "\x1b", 1), 1);
    EXPECT_TRUE(posix_host::key_waiting());
    EXPECT_EQ(posix_host::read_key(), 27);
    EXPECT_FALSE(posix_host::key_waiting());
    EXPECT_FALSE(posix_host::keyboard_closed());
    ASSERT_EQ(write(fds[1], "q", 1), 1);
    EXPECT_EQ(posix_host::read_key(), 'q');
  }
  close(fds[0]);
  close(fds[1]);
}

int open_pty(std::string* slave_name) {
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return -1;
  *slave_name = ptsname(master);
  return master;
}

TEST(PosixKeyboard, TerminalIsRawUntilRestoredAndHangUpEndsInput) {
  std::string slave_name;
  const int master = open_pty(&slave_name);
  ASSERT_GE(master, 0);
  const int slave = open(slave_name.c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(slave, 0);
  {
    Redirect over_stdin(slave, STDIN_FILENO);
    posix_host::reset_keyboard();
    ASSERT_EQ(write(master, "\x1b[A\r", 4), 4);
    EXPECT_EQ(posix_host::read_key(), 0xE0);
    termios raw {};
    ASSERT_EQ(tcgetattr(STDIN_FILENO, &raw), 0);
    EXPECT_EQ(raw.c_lflag & (ICANON | ECHO), 0u);
    EXPECT_EQ(posix_host::read_key(), 0x48);
    EXPECT_EQ(posix_host::read_key(), 13);
    posix_host::restore_terminal();
    termios restored {};
    ASSERT_EQ(tcgetattr(STDIN_FILENO, &restored), 0);
    EXPECT_NE(restored.c_lflag & ICANON, 0u);
    close(master);  // the terminal hangs up
    EXPECT_EQ(posix_host::read_key(), 27);
    EXPECT_TRUE(posix_host::keyboard_closed());
  }
  close(slave);
}

TEST(PosixFiles, FindFirstFileAndCurrentDirectory) {
  const std::string dir = make_temp_dir();
  ASSERT_FALSE(dir.empty());
  ASSERT_EQ(mkdir((dir + "/Tolvern_dir.dat").c_str(), 0755), 0);  // a directory never matches
  write_file(dir + "/TOLVERN7.DAT", "x");
  write_file(dir + "/Tolvern.log", "x");
  char name[64];
  const struct { std::string pattern; size_t capacity; bool found; const char* name; uint32_t error; } cases[] = {
      {dir + "/Tolvern*.dat", sizeof name, true, "TOLVERN7.DAT", 0},
      {dir + "/Tolvern?.d?t", sizeof name, true, "TOLVERN7.DAT", 0},
      {dir + "/*.log", sizeof name, true, "Tolvern.log", 0},
      {dir + "/Tolvern*.bin", sizeof name, false, "", 2},
      {dir + "/none/Tolvern*.dat", sizeof name, false, "", 3},
      {dir + "/Tolvern*.dat", 12, false, "", 122},  // "TOLVERN7.DAT" needs 13 bytes
  };
  for (const auto& c : cases) {
    posix_host::set_last_error(0);
    EXPECT_EQ(posix_host::find_first_file(c.pattern.c_str(), name, c.capacity), c.found) << c.pattern;
    if (c.found) {
      EXPECT_STREQ(name, c.name);
    } else {
      EXPECT_EQ(posix_host::last_error(), c.error) << c.pattern;
    }
  }

  char saved[4096];
  ASSERT_NE(getcwd(saved, sizeof saved), nullptr);
  ASSERT_EQ(chdir(dir.c_str()), 0);
  char cwd[4096];
  EXPECT_TRUE(posix_host::current_directory(cwd, sizeof cwd));
  EXPECT_EQ(std::string(cwd), dir);
  EXPECT_FALSE(posix_host::current_directory(cwd, dir.size()));  // no room for the terminator
  EXPECT_EQ(posix_host::last_error(), 122u);
  ASSERT_EQ(chdir(saved), 0);
  std::system(("rm -rf " + dir).c_str());
}

TEST(PosixSerial, ComNumberMap) {
  const struct { int com; const char* name; } names[] = {
      {1, "ttyS0"}, {32, "ttyS31"}, {33, "ttyUSB0"}, {64, "ttyUSB31"}, {65, "ttyACM0"},
      {96, "ttyACM31"}, {0, nullptr}, {97, nullptr}, {-1, nullptr},
  };
  for (const auto& c : names) {
    char name[16] = {};
    EXPECT_EQ(posix_host::com_device_name(c.com, name, sizeof name), c.name != nullptr) << c.com;
    if (c.name != nullptr) {
      EXPECT_STREQ(name, c.name);
    }
  }
  const struct { const char16_t* path; int com; } paths[] = {
      {u"COM1", 1},   {u"COM9", 9},     {u"\\\\.\\COM12", 12}, {u"\\\\.\\COM96", 96},
      {u"com5", 5},   {u"COM0", 0},     {u"COM97", 0},         {u"\\\\.\\COM100", 0},
      {u"COM01", 0},  {u"COM1x", 0},    {u"LPT1", 0},          {u"COM", 0},
      {u"\\\\?\\COM3", 0},
  };
  for (const auto& c : paths) EXPECT_EQ(posix_host::com_number_from_path(c.path), c.com);
}

struct PosixFakeTree : ::testing::Test {
  std::string root, sysfs, dev;
  void SetUp() override {
    posix_host::reset();
    root = make_temp_dir();
    ASSERT_FALSE(root.empty());
    sysfs = root + "/sys";
    dev = root + "/dev";
    ASSERT_EQ(mkdir(sysfs.c_str(), 0755), 0);
    ASSERT_EQ(mkdir(dev.c_str(), 0755), 0);
    ASSERT_TRUE(posix_host::set_device_roots(sysfs.c_str(), dev.c_str()));
  }
  void TearDown() override {
    fake = FakeLines{};
    posix_host::reset();
    std::system(("rm -rf " + root).c_str());
  }
  // A port sysfs knows (with a UART type for ttyS) and, if wanted, its device node.
  void add_port(const std::string& name, int uart_type, bool node) {
    ASSERT_EQ(mkdir((sysfs + "/" + name).c_str(), 0755), 0);
    if (uart_type >= 0) write_file(sysfs + "/" + name + "/type", std::to_string(uart_type) + "\n");
    if (node) write_file(dev + "/" + name, "");
  }
};

TEST_F(PosixFakeTree, DeviceMapListsExistingPortsInComOrder) {
  add_port("ttyACM1", -1, true);
  add_port("ttyS1", 0, true);     // registered by the driver, but no UART there
  add_port("ttyS2", 4, false);    // no device node
  add_port("ttyS0", 4, true);
  add_port("ttyUSB32", -1, true); // beyond the map
  add_port("ttyS31", 4, true);
  add_port("ttyUSB0", -1, true);
  add_port("ttyprintk", -1, true);
  EXPECT_EQ(posix_host::devmap_read(0, nullptr, nullptr, nullptr, nullptr, nullptr), 6u);
  ASSERT_EQ(posix_host::devmap_open(), 0u);
  std::vector<std::u16string> names;
  std::vector<std::u16string> data;
  for (uint32_t i = 0;; ++i) {
    char16_t name[120];
    uint8_t bytes[120];
    uint32_t name_units = 120, data_bytes = 120, type = 0;
    const uint32_t r = posix_host::devmap_read(i, name, &name_units, &type, bytes, &data_bytes);
    if (r == 259) break;
    ASSERT_EQ(r, 0u);
    ASSERT_LT(i, 10u);
    EXPECT_EQ(type, 1u);
    names.emplace_back(name, name_units);
    ASSERT_EQ(data_bytes % 2, 0u);
    std::u16string text;
    for (uint32_t k = 0; k < data_bytes; k += 2) text += static_cast<char16_t>(bytes[k] | bytes[k + 1] << 8);
    data.push_back(text);
  }
  EXPECT_EQ(names, (std::vector<std::u16string>{u"\\Device\\Serial1", u"\\Device\\Serial32",
                                                u"\\Device\\Serial33", u"\\Device\\Serial66"}));
  EXPECT_EQ(data, (std::vector<std::u16string>{std::u16string(u"COM1\0", 5), std::u16string(u"COM32\0", 6),
                                               std::u16string(u"COM33\0", 6), std::u16string(u"COM66\0", 6)}));

  // Room: the name with its terminator and the data with its terminator, exactly.
  const struct { uint32_t name_room, data_room, result; } rooms[] = {
      {16, 10, 0}, {15, 10, 234}, {16, 9, 234}, {0, 0, 234},
  };
  for (const auto& r : rooms) {
    char16_t name[120];
    uint8_t bytes[120];
    uint32_t name_units = r.name_room, data_bytes = r.data_room, type = 0;
    EXPECT_EQ(posix_host::devmap_read(0, name, &name_units, &type, bytes, &data_bytes), r.result);
  }
  EXPECT_EQ(posix_host::devmap_close(), 0u);

  // A machine without the tty class has no map at all.
  ASSERT_TRUE(posix_host::set_device_roots((root + "/nothing").c_str(), dev.c_str()));
  EXPECT_EQ(posix_host::devmap_open(), 2u);
}

TEST_F(PosixFakeTree, PseudoTerminalPort) {
  std::string slave;
  const int master = open_pty(&slave);
  ASSERT_GE(master, 0);
  ASSERT_EQ(symlink(slave.c_str(), (dev + "/ttyS4").c_str()), 0);  // COM5
  write_file(dev + "/ttyS5", "");                                  // COM6: not a terminal

  EXPECT_EQ(posix_host::serial_open(u"COM7"), platform::no_serial);  // no node
  EXPECT_EQ(posix_host::last_error(), 2u);
  EXPECT_EQ(posix_host::serial_open(u"COM6"), platform::no_serial);
  EXPECT_EQ(posix_host::last_error(), 50u);
  EXPECT_EQ(posix_host::serial_open(u"\\\\.\\COM97"), platform::no_serial);
  EXPECT_EQ(posix_host::last_error(), 2u);

  const platform::SerialHandle h = posix_host::serial_open(u"COM5");
  ASSERT_NE(h, platform::no_serial);
  EXPECT_EQ(posix_host::serial_open(u"\\\\.\\COM5"), platform::no_serial);  // held
  EXPECT_EQ(posix_host::last_error(), 5u);
  int exclusive = 0;
  ASSERT_EQ(ioctl(static_cast<int>(h), TIOCGEXCL, &exclusive), 0);
  EXPECT_EQ(exclusive, 1) << "a refused second open must not lift the holder's exclusivity";

  platform::Dcb dcb{};
  dcb.BaudRate = 115200;
  ASSERT_TRUE(posix_host::serial_build_dcb(u"9600,n,8,1", &dcb));
  EXPECT_EQ(dcb.BaudRate, 9600u);
  EXPECT_EQ(dcb.ByteSize, 8);
  EXPECT_EQ(dcb.Parity, 0);
  EXPECT_EQ(dcb.StopBits, 0);
  EXPECT_TRUE(posix_host::serial_clear_errors(h));
  ASSERT_TRUE(posix_host::serial_set_state(h, dcb));
  termios t {};
  ASSERT_EQ(tcgetattr(static_cast<int>(h), &t), 0);
  EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B9600));
  EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
  EXPECT_NE(t.c_cflag & CLOCAL, 0u);
  EXPECT_EQ(t.c_iflag & (IXON | IXOFF), 0u);

  // A pty has no modem lines: the line calls fail with "not supported", never as success.
  uint32_t status = 0;
  EXPECT_FALSE(posix_host::serial_escape(h, platform::SETRTS));
  EXPECT_EQ(posix_host::last_error(), 50u);
  EXPECT_FALSE(posix_host::serial_modem_status(h, &status));
  EXPECT_EQ(posix_host::last_error(), 50u);
  EXPECT_TRUE(posix_host::serial_set_mask(h, platform::EV_CTS));
  EXPECT_EQ(posix_host::cts_wait_start(h), -1);
  EXPECT_EQ(posix_host::last_error(), 50u);
  EXPECT_FALSE(posix_host::serial_escape(h, 7));
  EXPECT_EQ(posix_host::last_error(), 87u);

  EXPECT_TRUE(posix_host::serial_purge(h, platform::purge_all));
  EXPECT_TRUE(posix_host::serial_close(h));
  EXPECT_FALSE(posix_host::serial_close(h));
  EXPECT_EQ(posix_host::last_error(), 6u);
  const platform::SerialHandle again = posix_host::serial_open(u"COM5");  // lock released
  EXPECT_NE(again, platform::no_serial);
  EXPECT_TRUE(posix_host::serial_close(again));
  close(master);
}

TEST(PosixSerial, BuildDcbModes) {
  const struct { const char16_t* mode; bool ok; uint32_t baud; int parity, size, stop; } cases[] = {
      {u"9600,n,8,1", true, 9600, 0, 8, 0},   {u"19200,E,7,2", true, 19200, 2, 7, 2},
      {u"96,o,5,1.5", true, 9600, 1, 5, 1},   {u" 4800 , s , 6 , 1 ", true, 4800, 4, 6, 0},
      {u"9600,x,8,1", false, 0, 0, 0, 0},     {u"9600,n,9,1", false, 0, 0, 0, 0},
      {u"9600,n,8,3", false, 0, 0, 0, 0},     {u"fast,n,8,1", false, 0, 0, 0, 0},
      {u"9600,n,8,1,1", false, 0, 0, 0, 0},   {u"", false, 0, 0, 0, 0},
  };
  for (const auto& c : cases) {
    platform::Dcb dcb{};
    posix_host::set_last_error(0);
    EXPECT_EQ(posix_host::serial_build_dcb(c.mode, &dcb), c.ok);
    if (!c.ok) {
      EXPECT_EQ(posix_host::last_error(), 87u);
      continue;
    }
    EXPECT_EQ(dcb.BaudRate, c.baud);
    EXPECT_EQ(dcb.Parity, c.parity);
    EXPECT_EQ(dcb.ByteSize, c.size);
    EXPECT_EQ(dcb.StopBits, c.stop);
    EXPECT_EQ(dcb.flags & platform::dcb_binary, platform::dcb_binary);
  }
}

// The modem lines of a UART, answered for one pty by the ioctl stand-in above.
TEST_F(PosixFakeTree, ModemLinesAndCtsNotification) {
  std::string slave;
  const int master = open_pty(&slave);
  ASSERT_GE(master, 0);
  ASSERT_EQ(symlink(slave.c_str(), (dev + "/ttyUSB2").c_str()), 0);  // COM35
  struct stat info {};
  ASSERT_EQ(stat(slave.c_str(), &info), 0);
  fake.rdev = info.st_rdev;
  fake.outputs = TIOCM_DTR | TIOCM_RTS;  // as a fresh open leaves them

  const platform::SerialHandle h = posix_host::serial_open(u"\\\\.\\COM35");
  ASSERT_NE(h, platform::no_serial);
  EXPECT_EQ(fake.outputs, 0) << "DTR and RTS must drop right after open";

  const struct { uint32_t function; int outputs; bool brk; } switches[] = {
      {platform::SETRTS, TIOCM_RTS, false}, {platform::SETDTR, TIOCM_RTS | TIOCM_DTR, false},
      {platform::SETBREAK, TIOCM_RTS | TIOCM_DTR, true}, {platform::CLRDTR, TIOCM_RTS, true},
      {platform::CLRBREAK, TIOCM_RTS, false}, {platform::CLRRTS, 0, false},
  };
  for (const auto& s : switches) {
    EXPECT_TRUE(posix_host::serial_escape(h, s.function));
    EXPECT_EQ(fake.outputs, s.outputs) << s.function;
    EXPECT_EQ(fake.brk, s.brk) << s.function;
  }
  const struct { int inputs; uint32_t status; } samples[] = {
      {0, 0}, {TIOCM_CTS, 0x10}, {TIOCM_DSR, 0x20}, {TIOCM_CTS | TIOCM_DSR, 0x30},
  };
  for (const auto& s : samples) {
    fake.inputs = s.inputs;
    uint32_t status = 0xFF;
    EXPECT_TRUE(posix_host::serial_modem_status(h, &status));
    EXPECT_EQ(status & 0x30, s.status);
  }

  volatile uint32_t* word = posix_host::cts_event_word();
  for (const bool counters : {true, false}) {
    fake.has_counters = counters;
    fake.inputs = 0;
    uint32_t status = 0;
    ASSERT_TRUE(posix_host::serial_set_mask(h, platform::EV_CTS));
    ASSERT_TRUE(posix_host::cts_event_create());
    *word = 0;
    EXPECT_EQ(posix_host::cts_wait_start(h), 0);
    EXPECT_EQ(posix_host::last_error(), 997u);
    EXPECT_EQ(posix_host::cts_uses_interrupt_counters(), counters);
    EXPECT_TRUE(posix_host::serial_escape(h, platform::SETDTR));
    EXPECT_TRUE(posix_host::serial_modem_status(h, &status));
    EXPECT_EQ(*word, 0u) << "nothing changed yet";
    if (counters) {
      // A pulse that rose and fell between two samples: only the edge counter saw it.
      fake.cts_edges += 2;
      EXPECT_TRUE(posix_host::serial_escape(h, platform::CLRDTR));
    } else {
      fake.inputs = TIOCM_CTS;  // without counters a level change is what a sample can see
      EXPECT_TRUE(posix_host::serial_modem_status(h, &status));
    }
    EXPECT_EQ(*word, platform::EV_CTS) << counters;
    EXPECT_TRUE(posix_host::serial_set_mask(h, 0));
    posix_host::cts_event_close();
    *word = 0;
    fake.cts_edges += 2;
    fake.inputs = 0;
    EXPECT_TRUE(posix_host::serial_modem_status(h, &status));
    EXPECT_EQ(*word, 0u) << "a disarmed notification stays quiet";
  }
  EXPECT_TRUE(posix_host::serial_set_mask(h, 0));
  EXPECT_EQ(posix_host::cts_wait_start(h), -1);  // no CTS in the mask
  EXPECT_EQ(posix_host::last_error(), 87u);
  EXPECT_TRUE(posix_host::serial_close(h));
  close(master);
}

}  // namespace
