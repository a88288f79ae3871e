// A stand-in for the operator's console, for runs of tolvern.exe under wine. Wine reads a
// Unix pipe on standard input as the end of input, so keys have to come through a pipe made
// on the Windows side: this launcher starts the program with such a pipe as its standard
// input and another as its standard output, copies everything the program prints to its
// own standard output, and types the keys it was given once the program has printed the
// text that calls for them (keys typed before a prompt would be flushed unread).
//
// Environment:
//   LAUNCH_COMMAND  the program's command line, exactly as CreateProcess gets it
//   LAUNCH_KEYS     steps "TRIGGER:KEYS,..." in hexadecimal bytes: once the output so far
//                   contains TRIGGER (empty: at once), KEYS are written to the program
//   LAUNCH_DIRECTORY the program's current directory (default: the launcher's)
//   LAUNCH_PROGRAM  the program file, when the command line names it without a path
//   LAUNCH_GATE     a file shared with libvserial (VSERIAL_SWITCH_GATE): each step's keys are
//                   typed while the program is held at its next line switch, so they land
//                   between the same two looks at the keyboard on every run
// The program's exit code ends the launcher too, and is also printed in full on standard
// error as "exit=N" (a process status keeps only its low byte).
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Step {
  std::string trigger, keys;
};

bool from_hex(const std::string& text, std::string* bytes) {
  if (text.size() % 2 != 0 || text.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) return false;
  for (size_t i = 0; i < text.size(); i += 2) bytes->push_back(static_cast<char>(std::stoi(text.substr(i, 2), nullptr, 16)));
  return true;
}

std::string variable(const char* name) {
  char buffer[32768];
  const DWORD n = GetEnvironmentVariableA(name, buffer, sizeof buffer);
  return n > 0 && n < sizeof buffer ? std::string(buffer, n) : std::string();
}

bool parse_steps(const std::string& text, std::vector<Step>* steps) {
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find(',', start);
    if (end == std::string::npos) end = text.size();
    const std::string item = text.substr(start, end - start);
    const size_t colon = item.find(':');
    Step step;
    if (colon == std::string::npos || !from_hex(item.substr(0, colon), &step.trigger) ||
        !from_hex(item.substr(colon + 1), &step.keys)) {
      return false;
    }
    steps->push_back(step);
    start = end + 1;
  }
  return true;
}

std::string read_gate(const std::string& path) {
  HANDLE f = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  if (f == INVALID_HANDLE_VALUE) return std::string();
  char text[8];
  DWORD got = 0;
  if (!ReadFile(f, text, sizeof text, &got, nullptr)) got = 0;
  CloseHandle(f);
  return std::string(text, got);
}

void write_gate(const std::string& path, const char* text) {
  HANDLE f = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (f == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  WriteFile(f, text, static_cast<DWORD>(std::strlen(text)), &written, nullptr);
  CloseHandle(f);
}

// Holds the program at its next line switch, types, lets it go on. A program that ends
// without switching again is not waited for past its end.
void type_at_gate(const std::string& gate, HANDLE process, HANDLE keys, const std::string& bytes) {
  write_gate(gate, "hold");
  while (read_gate(gate) != "held" && WaitForSingleObject(process, 1) == WAIT_TIMEOUT) {
  }
  DWORD written = 0;
  WriteFile(keys, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  write_gate(gate, "go");
}

int fail(const char* what) {
  std::fprintf(stderr, "launcher: %s failed, error %lu\n", what, GetLastError());
  return 120;
}

}  // namespace

int main() {
  std::string command = variable("LAUNCH_COMMAND");
  std::vector<Step> steps;
  if (command.empty() || !parse_steps(variable("LAUNCH_KEYS"), &steps)) {
    std::fprintf(stderr, "launcher: LAUNCH_COMMAND and LAUNCH_KEYS=TRIGGER:KEYS,... (hex) expected\n");
    return 121;
  }

  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE keys_read = nullptr, keys_write = nullptr, out_read = nullptr, out_write = nullptr;
  if (!CreatePipe(&keys_read, &keys_write, &inherit, 0)) return fail("CreatePipe (keys)");
  if (!CreatePipe(&out_read, &out_write, &inherit, 0)) return fail("CreatePipe (output)");
  SetHandleInformation(keys_write, HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(out_read, HANDLE_FLAG_INHERIT, 0);

  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = keys_read;
  startup.hStdOutput = out_write;
  startup.hStdError = out_write;
  PROCESS_INFORMATION process{};
  std::vector<char> line(command.begin(), command.end());
  line.push_back('\0');
  const std::string directory = variable("LAUNCH_DIRECTORY");
  const std::string program = variable("LAUNCH_PROGRAM");
  if (!CreateProcessA(program.empty() ? nullptr : program.c_str(), line.data(), nullptr, nullptr, TRUE, 0, nullptr,
                      directory.empty() ? nullptr : directory.c_str(), &startup, &process)) {
    return fail("CreateProcess");
  }
  CloseHandle(keys_read);
  CloseHandle(out_write);

  HANDLE own_output = GetStdHandle(STD_OUTPUT_HANDLE);
  const std::string gate = variable("LAUNCH_GATE");
  std::string seen;
  size_t next = 0;
  // Steps with an empty trigger go at once; the others wait for their text.
  for (;;) {
    while (next < steps.size() && seen.find(steps[next].trigger) != std::string::npos) {
      if (!gate.empty()) {
        type_at_gate(gate, process.hProcess, keys_write, steps[next].keys);
      } else {
        DWORD written = 0;
        WriteFile(keys_write, steps[next].keys.data(), static_cast<DWORD>(steps[next].keys.size()), &written, nullptr);
      }
      ++next;
    }
    char buffer[4096];
    DWORD got = 0;
    if (!ReadFile(out_read, buffer, sizeof buffer, &got, nullptr) || got == 0) break;
    seen.append(buffer, got);
    DWORD written = 0;
    WriteFile(own_output, buffer, got, &written, nullptr);
  }

  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 0;
  GetExitCodeProcess(process.hProcess, &code);
  // The keyboard stays open until the program has ended: a closed pipe reads as ESC.
  CloseHandle(keys_write);
  std::fprintf(stderr, "exit=%lu\n", code);
  return static_cast<int>(code);
}
