// Waiting for the target to run a supervisory call: release the data line, watch for the
// busy signal (the line high) while clocking, wait for it to fall, then clock the target on.
#include "issp/wait_poll.h"

#include "issp/direct_escape.h"
#include "issp/vectors.h"
#include "serial/lines.h"
#include "serial/port.h"
#include "serial/timing.h"

namespace issp {

namespace {

constexpr int release_polls = 500000;
constexpr int clocked_passes = 40;
constexpr int quiet_polls = 100000;
constexpr int end_polls = 100000;
constexpr int trailing_clocks = 66;

inline int wait_us(int32_t us) { return us > 0 ? serial::delay_us(us) : 0; }

int sample_cts() { return serial::read_modem_line(platform::MS_CTS_ON); }

// Samples until the line reads low, waiting pause_us after every high sample: 1 low, 0 still
// high after polls samples, -1 failure (record filled).
int poll_until_low(int polls, int32_t pause_us) {
  for (int poll = 0; poll < polls; ++poll) {
    const int cts = sample_cts();
    if (cts < 0) return -1;
    if (cts == 0) return 1;
    if (serial::delay_us(pause_us) != 0) return -1;
  }
  return 0;
}

// Clocks and quiet polls until the busy signal: 1 seen, 0 not seen, -1 failure. The event word
// is written behind our back by the system, so it is read through the pointer at every check.
int watch_for_busy() {
  volatile uint32_t* const event_word = serial::cts_event_mask_word();
  const int32_t half = timing.clock_half_period_us;
  for (int pass = 0; pass < clocked_passes; ++pass) {
    if (!escape_direct(platform::SETDTR)) return -1;
    if (wait_us(half) != 0) return -1;
    const int high_sample = sample_cts();
    if (high_sample < 0) return -1;
    if (!serial::switch_line(platform::CLRDTR)) return -1;
    if (wait_us(half) != 0) return -1;
    if (*event_word != 0) return 1;
    if (high_sample == 1) return 1;
    const int low_sample = sample_cts();
    if (low_sample < 0) return -1;
    if (low_sample == 1) return 1;
  }
  // Some calls take longer than 40 clocks to start; watch without clocking the target.
  for (int poll = 0; poll < quiet_polls; ++poll) {
    if (*event_word != 0) return 1;
    const int cts = sample_cts();
    if (cts < 0) return -1;
    if (cts == 1) return 1;
    if (serial::delay_us(5) != 0) return -1;
  }
  return 0;
}

}  // namespace

int issp_wait_and_poll() {
  if (!escape_direct(platform::CLRBREAK)) return wait_failed;
  serial::port.break_state = 0;

  // The target first pulls the released line low; only then can a rise mean busy.
  const int low = poll_until_low(release_polls, 1);
  if (low < 0) return wait_failed;
  if (low == 0) return wait_not_low;
  if (wait_us(timing.release_delay_us) != 0) return wait_failed;

  // Armed before the first clock so that a busy pulse shorter than one sample interval still
  // leaves its trace in the event word.
  const int armed = serial::arm_cts_event();
  if (armed != serial::arm_ok) return wait_arm_failed(armed);
  const int busy = watch_for_busy();
  serial::disarm_cts_event();
  if (busy < 0) return wait_failed;
  if (busy == 0) return wait_no_busy;

  const int ended = poll_until_low(end_polls, 5);
  if (ended < 0) return wait_failed;
  if (ended == 0) return wait_busy_stuck;
  if (wait_us(timing.release_delay_us) != 0) return wait_failed;

  // The target needs these clocks, with the line released, to finish its return to ISSP.
  const int32_t half = timing.clock_half_period_us;
  for (int i = 0; i < trailing_clocks; ++i) {
    if (serial::port.break_state != 0) {
      if (!escape_direct(platform::CLRBREAK)) return wait_failed;
      serial::port.break_state = 0;
    }
    if (!escape_direct(platform::SETDTR)) return wait_failed;
    if (wait_us(half) != 0) return wait_failed;
    if (!escape_direct(platform::CLRDTR)) return wait_failed;
    if (wait_us(half) != 0) return wait_failed;
  }
  return wait_done;
}

}  // namespace issp
