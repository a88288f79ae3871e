// Every line the operator sees goes through show_message: formatted once, written unchanged
// (Windows-1251) to the log when logging is on, converted to code page 866 for the console.
#pragma once

#include <cstdarg>
#include <cstddef>

#if defined(__GNUC__)
#define TOLVERN_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define TOLVERN_PRINTF(fmt, args)
#endif

namespace output {

constexpr std::size_t message_capacity = 4096;  // at most 4095 characters and the terminator
constexpr std::size_t short_text_capacity = 128;

// 1 when formatted within the limit and (if logging) fully logged, else 0. Message texts are
// RU("...") copies made at compile time, which Clang's -Wformat-security cannot see as
// literals: a text without arguments goes through "%s".
int show_message(const char* format, ...) TOLVERN_PRINTF(1, 2);

// Bounded formatting into buffer (capacity bytes, always terminated). Returns the count the
// standard library reported; a text that did not fit is cut.
int format_text(char* buffer, std::size_t capacity, const char* format, ...) TOLVERN_PRINTF(3, 4);
int vformat_text(char* buffer, std::size_t capacity, const char* format, va_list args);

// The log file (program directory + "Tolvern.log"). log_create truncates or creates it for
// binary writing and leaves errno as the library set it on failure.
bool log_create(const char* path);
void set_log_enabled(bool on);
bool log_enabled();
void log_close();

// Back to the state at program start (log closed, flag off).
void reset_messages();

}  // namespace output
