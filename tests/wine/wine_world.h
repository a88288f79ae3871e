// The Windows program under wine, in a world of its own: a private mount namespace in which
// this machine's serial devices are masked, one fresh wine prefix for the whole suite, COM
// ports mapped through HKLM\Software\Wine\Ports, and a virtual serial port (a pty with the
// preloaded libvserial answering its modem lines) where a case wants an adapter.
#pragma once

#include <string>
#include <vector>

#include "sim/vft232r/ftd2xx_standin_status.h"
#include "sim/vserial/vserial_status.h"

namespace wine_world {

// COM numbers of the world (HKLM\Software\Wine\Ports): COM3 is /dev/null (it opens, every
// line call fails), COM5 the virtual serial port.
constexpr int null_port = 3;
constexpr int adapter_port = 5;

struct Run {
  std::string command;              // after the program's own name
  std::vector<int> listed;          // the ports in the system's serial device map
  std::vector<std::string> keys;    // trigger text (UTF-8; empty = at once), then the keys, in turn
  std::vector<std::string> vserial; // VSERIAL_... settings; empty = no adapter behind COM5
  char drive = 0;                   // 'D' or 'E': started as "tolvern" from that drive's root
  bool at_switch = false;           // each step's keys typed while the program waits at a line switch
  // The FT232R cable through a stand-in ftd2xx.dll in the program's folder for this run only:
  // none, FTDI's library as it is today, or an older one without FT_StopInTask/FT_RestartInTask.
  enum class D2xx { none, full, no_in_task };
  D2xx d2xx = D2xx::none;
  std::vector<std::string> cable{}; // VFT232R_... settings of the stand-in
};

struct Outcome {
  long exit_code = -1;              // as the launcher saw it, in full
  std::string output;               // the program's bytes, code page 866
  vserial::Status status{};
  ftd2xx_standin::Status cable{};   // what the stand-in ftd2xx.dll left (zeros without one)
  double seconds = 0;
};

// Sets up the namespace; false (with the reason printed) when it cannot.
bool enter_private_world();
// Creates the prefix and starts a persistent wineserver; false when wine is not usable.
bool start();
void stop();

// The folder tolvern.exe runs from (Z:\... in the program's eyes), and the roots of the drives
// D: (writable) and E: (read-only), each with its own tolvern.exe.
std::string program_folder();
std::string drive_root_folder(char drive);
// Whether the 32-bit program runs here (else the 64-bit build of the same sources).
bool runs_32_bit_program();

Outcome run(const Run& run);

// Code page 866 bytes of a UTF-8 text (Russian letters, ASCII) and Windows-1251 ones.
std::string cp866(const std::string& utf8);
std::string cp1251(const std::string& utf8);

}  // namespace wine_world
