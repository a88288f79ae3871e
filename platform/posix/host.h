// Linux services behind the platform boundary, under their own names so that the simulated
// back end can reuse the console, keyboard and file services (tolvern-sim shows its session
// on the real terminal). bind_*.cpp expose them as platform::.
#pragma once

#include <cstddef>
#include <cstdint>

namespace posix_host {

// errno value -> Windows system error number (one documented table).
uint32_t from_errno(int error_number);

uint32_t last_error();
void set_last_error(uint32_t code);

bool query_counter(int64_t* ticks);             // CLOCK_MONOTONIC in nanoseconds
bool query_frequency(int64_t* ticks_per_second);  // 1e9
void sleep_ms(uint32_t ms);

// Code page 866 bytes in; shown as UTF-8 when the locale's character set is UTF-8.
void console_write(const char* bytes, std::size_t count);
// Converts code page 866 bytes to UTF-8 (at most 3 bytes each); returns the bytes stored.
// Stops early, at a whole character, when out is full.
std::size_t cp866_to_utf8(const char* bytes, std::size_t count, char* out, std::size_t capacity,
                          std::size_t* consumed);
// UTF-8 text (a path) as Windows-1251 for a message: ASCII and Russian letters as they are,
// anything else '?'. Always terminated; stops at a whole character when out is full.
void utf8_to_cp1251(const char* text, char* out, std::size_t capacity);
// Standard output is a terminal.
bool console_interactive();
// 1 shows UTF-8, 0 the bytes unchanged, -1 decides from the locale (the default).
void set_console_utf8(int mode);

bool key_waiting();
int read_key();
bool keyboard_closed();
// Puts the terminal back as it was (also done at exit and on SIGINT/SIGTERM).
void restore_terminal();
// The same from a signal handler (async-signal-safe).
void restore_terminal_from_signal();
// Restores the terminal and forgets everything the keyboard knew (keys read ahead, end of
// input), so that the next call looks at standard input afresh.
void reset_keyboard();

// Exit codes 0..255 leave unchanged; any other code (negative or above 255) leaves as 255, so
// that no failure ever reads 0 in an 8-bit process status.
int process_exit_status(int32_t exit_code);

bool current_directory(char* buffer, std::size_t capacity);
bool find_first_file(const char* pattern, char* name, std::size_t capacity);
// A small file (a sysfs attribute) as text: at most capacity - 1 bytes, terminated. The number
// of bytes read, or -1 when it cannot be opened or read.
long read_text_file(const char* path, char* text, std::size_t capacity);

// Everything back to the state at program start: last error 0, console from the locale,
// keyboard forgotten (terminal restored), serial state forgotten (see host_serial.h).
void reset();

}  // namespace posix_host
