// Waiting for the target to run a supervisory call: release the data line, watch for the
// busy signal (the line high) while clocking, wait for it to fall, then clock the target on.
#include "issp/wait_poll.h"

#include "issp/vectors.h"
#include "platform/platform.h"
#include "serial/lines.h"
#include "serial/port.h"
#include "serial/wire.h"

namespace issp {

namespace {

// Samples until the line reads `until`, waiting pause_us after every other sample, at most
// polls samples: 1 seen, 0 not seen, -1 failure (record filled). The event word, when given,
// also ends the wait (a pulse between two samples); it is read afresh at every check.
int poll_until(int until, int polls, int32_t pause_us, volatile uint32_t* event_word) {
  for (int poll = 0; poll < polls; ++poll) {
    if (event_word != nullptr && *event_word != 0) return 1;
    const int cts = wire::read(platform::MS_CTS_ON);
    if (cts < 0) return -1;
    if (cts == until) return 1;
    if (wire::delay_us(pause_us) != 0) return -1;
  }
  return 0;
}

// Clocks and quiet polls until the busy signal: 1 seen, 0 not seen, -1 failure. The event word
// is written behind our back by the system, so it is read through the pointer at every check.
int watch_for_busy() {
  volatile uint32_t* const event_word = wire::cts_event_word();
  const int32_t half = timing.clock_half_period_us;
  for (int pass = 0; pass < clocked_passes; ++pass) {
    if (!wire::set(platform::SETDTR)) return -1;
    if (wire::delay_us(half) != 0) return -1;
    const int high = wire::read(platform::MS_CTS_ON);
    if (high < 0) return -1;
    if (!wire::set(platform::CLRDTR)) return -1;
    if (wire::delay_us(half) != 0) return -1;
    if (*event_word != 0) return 1;
    if (high == 1) return 1;
    const int low = wire::read(platform::MS_CTS_ON);
    if (low < 0) return -1;
    if (low == 1) return 1;
  }
  // Some calls take longer than 40 clocks to start; watch without clocking the target.
  return poll_until(1, quiet_polls, quiet_poll_us, event_word);
}

}  // namespace

int release_data_line() {
  if (!wire::set(platform::CLRBREAK)) return wait_failed;
  serial::port.break_state = 0;
  return wait_done;
}

int send_trailing_clocks(int count) {
  const int32_t half = timing.clock_half_period_us;
  for (int i = 0; i < count; ++i) {
    if (serial::port.break_state != 0) {
      if (!wire::set(platform::CLRBREAK)) return wait_failed;
      serial::port.break_state = 0;
    }
    if (!wire::set(platform::SETDTR)) return wait_failed;
    if (wire::delay_us(half) != 0) return wait_failed;
    if (!wire::set(platform::CLRDTR)) return wait_failed;
    if (wire::delay_us(half) != 0) return wait_failed;
  }
  return wait_done;
}

int issp_wait_and_poll() {
  if (wire::streams()) return wait_on_stream();
  if (release_data_line() != wait_done) return wait_failed;

  // The target first pulls the released line low; only then can a rise mean busy.
  const int low = poll_until(0, release_polls, release_poll_us, nullptr);
  if (low < 0) return wait_failed;
  if (low == 0) return wait_not_low;
  if (wire::delay_us(timing.release_delay_us) != 0) return wait_failed;

  // Armed before the first clock so that a busy pulse shorter than one sample interval still
  // leaves its trace in the event word.
  const int armed = wire::arm_cts_event();
  if (armed != serial::arm_ok) return wait_arm_failed(armed);
  const int busy = watch_for_busy();
  wire::disarm_cts_event();
  if (busy < 0) return wait_failed;
  if (busy == 0) return wait_no_busy;

  const int ended = poll_until(0, end_polls, quiet_poll_us, nullptr);
  if (ended < 0) return wait_failed;
  if (ended == 0) return wait_busy_stuck;
  if (wire::delay_us(timing.release_delay_us) != 0) return wait_failed;

  // The target needs these clocks, with the line released, to finish its return to ISSP.
  return send_trailing_clocks(trailing_clocks);
}

}  // namespace issp
