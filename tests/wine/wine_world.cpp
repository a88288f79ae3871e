#include "tests/wine/wine_world.h"

#include "tests/vserial/run_kit.h"

#include <fcntl.h>
#include <glob.h>
#include <iconv.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace wine_world {
namespace {

// How the two builds of tolvern.exe meet wine: the 32-bit program needs the i386 wine loader,
// which a kernel without 32-bit support cannot start.
struct Flavour { const char *loader, *server, *arch; std::string program, launcher, library, windows_build; };

Flavour flavour;
std::string root;     // everything of this suite: prefix, program folder, drive D:, ports
std::string prefix;
bool i386 = false;

constexpr const char* dll_overrides = "mscoree=;mshtml=;winemenubuilder.exe=d";
// A guard against a hang only; every case ends long before it.
constexpr int run_limit_seconds = 300;

using run_kit::read_file;
using run_kit::real_ms;

// True (having said what failed and why) when a step of setting up the world failed.
bool failed(bool failure, const std::string& what) {
  if (failure) std::fprintf(stderr, "wine tests: %s: %s\n", what.c_str(), errno != 0 ? std::strerror(errno) : "failed");
  return failure;
}
using run_kit::write_file;

void wine_environment() {
  setenv("WINEPREFIX", prefix.c_str(), 1);
  setenv("WINEARCH", flavour.arch, 1);
  setenv("WINESERVER", flavour.server, 1);
  setenv("WINEDEBUG", "-all", 1);
  setenv("WINEDLLOVERRIDES", dll_overrides, 1);
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "LD_PRELOAD"}) unsetenv(name);
}

// Runs argv with the wine environment; its exit status, or -1. Output goes to out (or nowhere).
int spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env, const std::string& out,
          int limit_seconds) {
  const pid_t child = fork();
  if (child == 0) {
    setpgid(0, 0);
    wine_environment();
    for (const std::string& e : env) putenv(const_cast<char*>(e.c_str()));
    const int null = open("/dev/null", O_RDWR);
    dup2(null, STDIN_FILENO);
    const int fd = out.empty() ? null : open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(fd, STDOUT_FILENO);
    dup2(out.empty() ? null : open((out + ".err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), STDERR_FILENO);
    run_kit::exec(argv);
  }
  const int64_t start = real_ms();
  int status = 0;
  while (waitpid(child, &status, WNOHANG) == 0) {
    if (real_ms() - start > limit_seconds * 1000LL) {
      kill(-child, SIGKILL);
      std::fprintf(stderr, "wine: %s killed after %d s\n", argv[1].c_str(), limit_seconds);
    }
    usleep(20000);
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int wine(const std::vector<std::string>& args) {
  std::vector<std::string> argv{flavour.loader};
  argv.insert(argv.end(), args.begin(), args.end());
  return spawn(argv, {}, "", 120);
}

int wineserver(const char* option) { return spawn({flavour.server, option}, {}, "", 60); }

std::string hex(const std::string& bytes) {
  std::string text;
  char two[3];
  for (const unsigned char c : bytes) text += (std::snprintf(two, sizeof two, "%02x", c), two);
  return text;
}

std::string convert(const std::string& utf8, const char* to) {
  iconv_t cd = iconv_open(to, "UTF-8");
  std::string out(utf8.size() * 2 + 1, '\0');
  char* in = const_cast<char*>(utf8.data());
  size_t in_left = utf8.size();
  char* o = &out[0];
  size_t out_left = out.size();
  const size_t r = iconv(cd, &in, &in_left, &o, &out_left);
  iconv_close(cd);
  if (r == static_cast<size_t>(-1)) return "<not convertible>";
  out.resize(out.size() - out_left);
  return out;
}

// The system's serial device map as a case wants it: wine lists this machine's ttyS ports
// (masked here, but listed all the same) and every mapped port; the case's own list replaces
// them. The key is volatile and cannot be made again by regedit: its values go one by one.
bool list_ports(const std::vector<int>& ports) {
  std::string reg = "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP\\SERIALCOMM]\r\n";
  for (int n = 0; n < 256; ++n) reg += "\"\\\\Device\\\\Serial" + std::to_string(n) + "\"=-\r\n";
  for (const int n : ports) {
    reg += "\"\\\\Device\\\\Serial" + std::to_string(n - 1) + "\"=\"COM" + std::to_string(n) + "\"\r\n";
  }
  write_file(root + "/ports.reg", reg);
  return wine({"regedit", "/S", "Z:" + root + "/ports.reg"}) == 0;
}

// A fresh pty bound over the node COM5 is mapped to; its master end.
int attach_pty(const std::string& node) {
  const int master = open((root + "/pts/ptmx").c_str(), O_RDWR | O_NOCTTY);
  if (master < 0 || unlockpt(master) != 0) return -1;
  int number = -1;
  if (ioctl(master, TIOCGPTN, &number) != 0) return -1;
  const std::string slave = root + "/pts/" + std::to_string(number);
  if (mount(slave.c_str(), node.c_str(), nullptr, MS_BIND, nullptr) != 0) return -1;
  return master;
}

std::string dos_path(const std::string& unix_path) {
  std::string path = "Z:" + unix_path;
  for (char& c : path) if (c == '/') c = '\\';
  return path;
}

}  // namespace

std::string cp866(const std::string& utf8) { return convert(utf8, "CP866"); }
std::string cp1251(const std::string& utf8) { return convert(utf8, "CP1251"); }

bool enter_private_world() {
  if (failed(!run_kit::private_mounts(), "private mounts (needs root or user namespaces)")) return false;
  // Every serial device of this machine becomes /dev/null for everything started from here.
  glob_t found{};
  for (const char* pattern : {"/dev/ttyS*", "/dev/ttyUSB*", "/dev/ttyACM*"}) {
    glob(pattern, found.gl_pathc > 0 ? GLOB_APPEND : 0, nullptr, &found);
  }
  for (size_t i = 0; i < found.gl_pathc; ++i) {
    if (failed(mount("/dev/null", found.gl_pathv[i], nullptr, MS_BIND, nullptr) != 0,
               std::string("cannot mask ") + found.gl_pathv[i])) {
      globfree(&found);
      return false;
    }
  }
  globfree(&found);
  return true;
}

bool runs_32_bit_program() { return i386; }
std::string program_folder() { return root + "/program"; }
std::string drive_root_folder(char drive) { return root + "/drive-" + static_cast<char>(drive | 0x20); }

bool start() {
  const std::string build = std::string(TOLVERN_SOURCE_DIR) + "/build/";
  // The 32-bit program where this kernel runs 32-bit code and its i386 preload library was
  // built (the vserial32 preset, with wine32 and g++-multilib installed by hand); else the
  // 64-bit build of the same sources under wine64, as CI does.
  i386 = access((build + "vserial32/libvserial.so").c_str(), R_OK) == 0 && std::system("/usr/lib/wine/wine --version >/dev/null 2>&1") == 0;
  if (i386) {
    flavour = {"/usr/lib/wine/wine", "/usr/lib/wine/wineserver32", "win32", build + "mingw32/tolvern.exe",
               build + "mingw32/tolvern-wine-launcher.exe", build + "vserial32/libvserial.so", build + "mingw32/"};
    std::printf("[ wine ] testing the shipped 32-bit program under wine32 (%s)\n", flavour.program.c_str());
  } else {
    flavour = {"/usr/lib/wine/wine64", "/usr/lib/wine/wineserver64", "win64", build + "mingw64/tolvern.exe",
               build + "mingw64/tolvern-wine-launcher.exe", VSERIAL_LIBRARY, build + "mingw64/"};
    std::printf("[ wine ] no 32-bit wine with its preload library here: testing the 64-bit build of the same sources (%s)\n",
                flavour.program.c_str());
  }
  for (const std::string& needed : {std::string(flavour.loader), flavour.program, flavour.launcher, flavour.library}) {
    if (access(needed.c_str(), R_OK) != 0) {
      std::fprintf(stderr, "wine tests: %s is missing (scripts/install-deps.sh installs wine; scripts/test.sh "
                           "builds the mingw64 preset)\n", needed.c_str());
      return false;
    }
  }
  char name[] = "/tmp/tolvern-wine-XXXXXX";
  if (mkdtemp(name) == nullptr) return false;
  root = name;
  prefix = root + "/prefix";
  // Ports and ptys of the suite's own: a tmpfs with a devpts instance and the nodes COM ports map to.
  const std::string pts = root + "/pts";
  mkdir(pts.c_str(), 0755);
  if (failed(mount("devpts", pts.c_str(), "devpts", 0, "newinstance,ptmxmode=0666,mode=0620") != 0, "devpts")) return false;
  write_file(root + "/com5", "");
  mkdir(program_folder().c_str(), 0755);
  write_file(program_folder() + "/tolvern.exe", read_file(flavour.program));
  for (const char drive : {'D', 'E'}) {
    mkdir(drive_root_folder(drive).c_str(), 0755);
    write_file(drive_root_folder(drive) + "/tolvern.exe", read_file(flavour.program));
  }
  // Nothing can be created in E:\ .
  const std::string read_only = drive_root_folder('E');
  if (failed(mount(read_only.c_str(), read_only.c_str(), nullptr, MS_BIND, nullptr) != 0 ||
                 mount(nullptr, read_only.c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) != 0,
             "read-only drive"))
    return false;

  const int64_t t0 = real_ms();
  errno = 0;
  if (failed(wine({"wineboot", "-i"}) != 0, "wineboot")) return false;
  wineserver("-w");
  const int64_t t1 = real_ms();
  // The port map is read when wine starts its devices: set it, then start a fresh session that
  // stays up for the whole suite.
  write_file(root + "/setup.reg",
             "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]\r\n\"COM3\"=\"/dev/null\"\r\n"
             "\"COM5\"=\"" + root + "/com5\"\r\n");
  if (wine({"regedit", "/S", "Z:" + root + "/setup.reg"}) != 0) return false;
  wineserver("-k");
  wineserver("-w");
  for (const char drive : {'D', 'E'}) {
    const std::string link = prefix + "/dosdevices/" + static_cast<char>(drive | 0x20) + ":";
    if (symlink(drive_root_folder(drive).c_str(), link.c_str()) != 0) return false;
  }
  // Kept up for the suite, and for a minute after its last client should the suite be killed.
  if (wineserver("-p60") != 0) return false;
  if (!list_ports({})) return false;
  std::printf("[ wine ] prefix %s: created in %.1f s, ready in %.1f s\n", prefix.c_str(), (t1 - t0) / 1000.0,
              (real_ms() - t0) / 1000.0);
  return true;
}

void stop() {
  if (root.empty()) return;
  wineserver("-k");
  wineserver("-w");
  umount2((root + "/pts").c_str(), MNT_DETACH);
  umount2(drive_root_folder('E').c_str(), MNT_DETACH);
  std::system(("rm -rf '" + root + "'").c_str());
  root.clear();
}

Outcome run(const Run& r) {
  Outcome o;
  if (!list_ports(r.listed)) {
    o.output = "<the serial device map could not be set>";
    return o;
  }
  std::string keys;
  for (size_t i = 0; i + 1 < r.keys.size(); i += 2) {
    if (!keys.empty()) keys += ',';
    keys += hex(cp866(r.keys[i])) + ":" + hex(r.keys[i + 1]);
  }
  const std::string status_path = root + "/status";
  run_kit::blank_status(status_path);
  int master = -1;
  std::vector<std::string> env{"LAUNCH_KEYS=" + keys};
  if (r.drive != 0) {
    const std::string drive(1, r.drive);
    env.push_back("LAUNCH_COMMAND=tolvern" + std::string(r.command.empty() ? "" : " ") + r.command);
    env.push_back("LAUNCH_DIRECTORY=" + drive + ":\\");
    env.push_back("LAUNCH_PROGRAM=" + drive + ":\\tolvern.exe");
  } else {
    env.push_back("LAUNCH_COMMAND=" + dos_path(program_folder() + "/tolvern.exe") +
                  (r.command.empty() ? "" : " ") + r.command);
  }
  if (!r.vserial.empty()) {
    master = attach_pty(root + "/com5");
    if (master < 0) {
      o.output = "<no pty for COM5>";
      return o;
    }
    env.push_back("LD_PRELOAD=" + flavour.library);
    env.push_back("VSERIAL_DEVICE=" + root + "/com5");
    env.push_back("VSERIAL_STATUS=" + status_path);
    env.push_back("VSERIAL_CLOCK=real");
    env.push_back("VSERIAL_WAIT_POLL_US=100");
    for (const std::string& e : r.vserial) env.push_back(e);
    if (r.at_switch) {
      const std::string gate = root + "/gate";
      write_file(gate, "");
      env.push_back("VSERIAL_SWITCH_GATE=" + gate);
      env.push_back("LAUNCH_GATE=" + dos_path(gate));
    }
  }
  // The stand-in ftd2xx.dll beside the program (found there as FTDI's would be), for this run only.
  const std::string dll = program_folder() + "/ftd2xx.dll";
  const std::string cable_status = root + "/cable-status";
  if (r.d2xx != Run::D2xx::none) {
    const std::string built = flavour.windows_build +
                              (r.d2xx == Run::D2xx::full ? "ftd2xx-standin" : "ftd2xx-standin-no-in-task") + "/ftd2xx.dll";
    const std::string bytes = read_file(built);
    if (bytes.empty()) {
      o.output = "<no stand-in library at " + built + ": build the mingw presets>";
      return o;
    }
    write_file(dll, bytes);
    write_file(cable_status, "");
    env.push_back("VFT232R_STATUS=" + dos_path(cable_status));
    for (const std::string& e : r.cable) env.push_back(e);
  }
  const int64_t start = real_ms();
  spawn({flavour.loader, flavour.launcher}, env, root + "/output", run_limit_seconds);
  o.seconds = (real_ms() - start) / 1000.0;
  if (master >= 0) {
    umount2((root + "/com5").c_str(), MNT_DETACH);
    close(master);
  }
  if (r.d2xx != Run::D2xx::none) {
    unlink(dll.c_str());
    const std::string bytes = read_file(cable_status);
    if (bytes.size() == sizeof o.cable) std::memcpy(&o.cable, bytes.data(), sizeof o.cable);
  }
  o.output = read_file(root + "/output");
  const std::string launcher_note = read_file(root + "/output.err");
  o.status = run_kit::read_status(status_path);
  // The launcher's last line on standard error: "exit=N".
  const size_t at = launcher_note.rfind("exit=");
  if (at != std::string::npos) o.exit_code = std::strtol(launcher_note.c_str() + at + 5, nullptr, 10);
  else o.output += "<launcher: " + launcher_note + ">";
  return o;
}

}  // namespace wine_world
