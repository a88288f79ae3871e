// The progress line: while the long stages run, an interactive console shows which block is
// being written or checked and the time so far, redrawn in place on the stage's own line.
// It is console-only: it never reaches the log, and a redirected output or a pipe never
// sees it, so they keep the messages' bytes exactly. It is erased before any other console
// output, so that what stays on the screen is exactly the messages.
#pragma once

#include <cstddef>
#include <cstdint>

namespace output {

// At most four redraws a second: a console that scrolls or a slow remote terminal must not
// cost the programming any time worth mentioning.
constexpr uint32_t progress_redraw_ms = 250;
// The whole line, stage name included, fits an 80-column console without wrapping (a
// wrapped line cannot be redrawn with a carriage return).
constexpr std::size_t progress_line_width = 79;
// The measured estimate is shown once this share of the work (1/20) is done...
constexpr uint32_t progress_estimate_after = 20;
// ...and only when the announced duration is off by this factor either way.
constexpr uint32_t progress_estimate_factor = 2;

// Starts timing the work. announced_s is the duration the operator was told (0: none, the
// measured estimate is then always shown). Does nothing unless the console is interactive.
void progress_start(uint32_t announced_s);
// Item number of total under label (Windows-1251), with done of all units of the whole work
// behind. Redraws at most every progress_redraw_ms.
void progress_update(const char* label, int number, int total, uint32_t done, uint32_t all);
// Takes the progress off the screen, leaving the cursor after the line's own text.
void progress_erase();
// The message writer tells what it has put on the console (code page 866 bytes), so that
// the progress can be drawn after the text of the current line.
void progress_after_console_text(const char* console_bytes);

void reset_progress();

}  // namespace output
