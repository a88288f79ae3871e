// Wait-and-poll through a stream (the FT232R cable), where every byte written is also a sample
// of the data line and the host sees each sample a round trip after it was taken. The watch
// looks at every byte from the arming on, those written ahead while the host decided included,
// so a busy signal that rises late and falls within one round trip is still seen. Each poll
// of the COM port's wait becomes the bytes its pause takes, so every watch lasts at least as
// long as there.
#include "issp/vectors.h"
#include "issp/wait_poll.h"
#include "platform/platform.h"
#include "serial/wire.h"

namespace issp {

int wait_on_stream() {
  if (release_data_line() != wait_done) return wait_failed;

  // The target first pulls the released line low; only then can a rise mean busy.
  const int64_t released = wire::position();
  const int64_t low_through = released + wire::bytes_for_us(int64_t{release_polls} * release_poll_us) - 1;
  const int64_t low = wire::watch(0, released, low_through);
  if (low == -1) return wait_failed;
  if (low == wire::not_seen) return wait_not_low;
  if (wire::delay_us(timing.release_delay_us) != 0) return wait_failed;
  // Armed from the low sample on: the bytes that held the lines while the host decided count.
  const int64_t armed = low + 1;

  // Each pass is decided before the next clock, on every byte up to the pass's end. A busy
  // signal that rose and fell in the bytes written ahead meanwhile lets the next clock land
  // after its end: such clocks are counted among the trailing clocks below.
  const int32_t half = timing.clock_half_period_us;
  int64_t edges[clocked_passes];  // the first read-back after each rising clock edge
  int passes = 0;
  int64_t busy = wire::not_seen;
  while (busy == wire::not_seen && passes < clocked_passes) {
    if (!wire::set(platform::SETDTR)) return wait_failed;
    edges[passes++] = wire::position();
    if (wire::delay_us(half) != 0) return wait_failed;
    if (!wire::set(platform::CLRDTR)) return wait_failed;
    if (wire::delay_us(half) != 0) return wait_failed;
    busy = wire::watch(1, armed, wire::position() - 1);
    if (busy == -1) return wait_failed;
  }
  if (busy == wire::not_seen) {
    // Some calls take longer than 40 clocks to start; watch without clocking the target.
    const int64_t quiet_through =
        wire::position() + wire::bytes_for_us(int64_t{quiet_polls} * quiet_poll_us) - 1;
    busy = wire::watch(1, armed, quiet_through);
    if (busy == -1) return wait_failed;
    if (busy == wire::not_seen) return wait_no_busy;
  }

  const int64_t end_through = busy + wire::bytes_for_us(int64_t{end_polls} * quiet_poll_us) - 1;
  const int64_t end = wire::watch(0, busy, end_through);
  if (end == -1) return wait_failed;
  if (end == wire::not_seen) return wait_busy_stuck;
  if (wire::delay_us(timing.release_delay_us) != 0) return wait_failed;

  int clocks_after_end = 0;
  for (int i = 0; i < passes; ++i) {
    if (edges[i] > end) ++clocks_after_end;
  }
  // The target needs these clocks, with the line released, to finish its return to ISSP.
  return send_trailing_clocks(trailing_clocks - clocks_after_end);
}

}  // namespace issp
