#include "output/progress.h"

#include <cstring>

#include "output/codepage.h"
#include "output/messages.h"
#include "platform/cp1251_literal.h"
#include "platform/platform.h"

namespace output {
namespace {

struct Progress {
  bool active;           // interactive console and a working counter
  uint32_t announced_s;
  int64_t frequency;
  int64_t start;
  int64_t last_draw;
  bool drawn_before;     // last_draw holds a time
  std::size_t on_screen; // columns the progress line covers now (0: nothing drawn)
  // The console's current line as printed by the messages (code page 866, control bytes
  // left out), or unknown once it outgrew the buffer.
  char line[progress_line_width + 1];
  std::size_t line_length;
  bool line_known;
};
Progress progress = {false, 0, 0, 0, 0, false, 0, {}, 0, true};

// The counter without disturbing the last-error value that a failure may be carrying.
bool now(int64_t* ticks) {
  const uint32_t saved = platform::last_error();
  const bool ok = platform::query_counter(ticks);
  platform::set_last_error(saved);
  return ok;
}

uint32_t whole_seconds(int64_t ticks) { return static_cast<uint32_t>(ticks / progress.frequency); }
uint32_t nearest_seconds(int64_t ticks) {
  return static_cast<uint32_t>((ticks + progress.frequency / 2) / progress.frequency);
}

// Appends spaces up to width.
std::size_t pad(char* out, std::size_t length, std::size_t width) {
  for (; length < width; ++length) out[length] = ' ';
  return length;
}

}  // namespace

void progress_start(uint32_t announced_s) {
  progress.active = false;
  progress.drawn_before = false;
  progress.announced_s = announced_s;
  if (!platform::console_interactive()) return;
  const uint32_t saved = platform::last_error();
  const bool ok = platform::query_frequency(&progress.frequency);
  platform::set_last_error(saved);
  if (!ok || progress.frequency <= 0 || !now(&progress.start)) return;
  progress.active = true;
}

void progress_update(const char* label, int number, int total, uint32_t done, uint32_t all) {
  if (!progress.active || !progress.line_known) return;
  int64_t t = 0;
  if (!now(&t)) return;
  const int64_t interval = progress.frequency * progress_redraw_ms / 1000;
  if (progress.drawn_before && t - progress.last_draw < interval) return;

  const int64_t elapsed = t - progress.start;
  if (elapsed < 0) return;
  const uint32_t elapsed_s = whole_seconds(elapsed);
  char text[short_text_capacity];
  int n = format_text(text, sizeof text, RU("  %s %d из %d, прошло %u:%02u"), label, number, total,
                      elapsed_s / 60, elapsed_s % 60);
  if (n < 0 || static_cast<std::size_t>(n) >= sizeof text) return;
  if (done > 0 && static_cast<uint64_t>(done) * progress_estimate_after >= all && done <= all) {
    const int64_t projected = elapsed * all / done;
    const int64_t announced = int64_t{progress.announced_s} * progress.frequency;
    if (announced == 0 || projected > announced * progress_estimate_factor ||
        projected * progress_estimate_factor < announced) {
      const uint32_t left_s = nearest_seconds(projected - elapsed);
      const int more = format_text(text + n, sizeof text - static_cast<std::size_t>(n),
                                   RU(", осталось около %u:%02u"), left_s / 60, left_s % 60);
      n = more < 0 ? -1 : n + more;
    }
  }
  if (n < 0 || static_cast<std::size_t>(n) >= sizeof text) return;
  const std::size_t length = static_cast<std::size_t>(n);
  if (progress.line_length + length > progress_line_width) return;
  to_console_codepage(text);

  // A shorter text than the last one clears what the last one left beyond it.
  char out[2 * progress_line_width + 2];
  std::size_t k = 0;
  out[k++] = '\r';
  std::memcpy(out + k, progress.line, progress.line_length);
  k += progress.line_length;
  std::memcpy(out + k, text, length);
  k += length;
  const std::size_t covered = progress.line_length + length;
  k = pad(out, k, 1 + (progress.on_screen > covered ? progress.on_screen : covered));
  platform::console_write(out, k);
  progress.on_screen = k - 1;
  progress.last_draw = t;
  progress.drawn_before = true;
}

void progress_erase() {
  if (progress.on_screen == 0) return;
  char out[2 * progress_line_width + 3];
  std::size_t k = 0;
  out[k++] = '\r';
  k = pad(out, k, 1 + progress.on_screen);
  out[k++] = '\r';
  std::memcpy(out + k, progress.line, progress.line_length);
  k += progress.line_length;
  progress.on_screen = 0;
  platform::console_write(out, k);
}

void progress_after_console_text(const char* console_bytes) {
  for (const char* p = console_bytes; *p != '\0'; ++p) {
    const auto c = static_cast<unsigned char>(*p);
    if (c == '\r' || c == '\n') {
      progress.line_length = 0;
      progress.line_known = true;
    } else if (c < 0x20) {
      // The bell and the like take no column.
    } else if (progress.line_length < progress_line_width) {
      progress.line[progress.line_length++] = static_cast<char>(c);
    } else {
      progress.line_known = false;
    }
  }
}

void reset_progress() { progress = Progress{false, 0, 0, 0, 0, false, 0, {}, 0, true}; }

}  // namespace output
