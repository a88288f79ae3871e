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

constexpr int release_polls = 500000;
constexpr int clocked_passes = 40;
constexpr int quiet_polls = 100000;
constexpr int end_polls = 100000;
constexpr int trailing_clocks = 66;
// Polls whose samples travel together on the cable, growing from the first to the last flush
// of a wait: most waits end at once, a long one costs few round trips. A poll changes no
// output, so the few taken after the deciding one do no harm.
constexpr int first_polls_per_flush = 16;
constexpr int polls_per_flush = 256;

// Samples until the line reads `until`, waiting pause_us after every other sample, at most
// polls samples: 1 seen, 0 not seen, -1 failure (record filled). The event word, when given,
// also ends the wait (a pulse between two samples); it is read afresh at every check.
int poll_until(int until, int polls, int32_t pause_us, volatile uint32_t* event_word) {
  wire::Sample samples[polls_per_flush];
  int queued = 0;
  int batch = first_polls_per_flush;
  for (int poll = 0; poll < polls; ++poll) {
    if (event_word != nullptr && *event_word != 0) return 1;
    const int cts = wire::sample(platform::MS_CTS_ON, &samples[queued]);
    if (cts < 0) return -1;
    if (cts == until) return 1;
    if (wire::delay_us(pause_us) != 0) return -1;
    if (cts != wire::pending) continue;
    if (++queued < batch && poll + 1 < polls) continue;
    if (wire::flush() != 0) return -1;
    for (int i = 0; i < queued; ++i) {
      if (wire::level(samples[i]) == until) return 1;
    }
    queued = 0;
    if (batch < polls_per_flush) batch *= 2;
  }
  return 0;
}

// Clocks and quiet polls until the busy signal: 1 seen, 0 not seen, -1 failure. The event word
// is written behind our back by the system (or by the cable's flush), so it is read through
// the pointer at every check.
int watch_for_busy() {
  volatile uint32_t* const event_word = wire::cts_event_word();
  const int32_t half = timing.clock_half_period_us;
  for (int pass = 0; pass < clocked_passes; ++pass) {
    if (!wire::set(platform::SETDTR)) return -1;
    if (wire::delay_us(half) != 0) return -1;
    wire::Sample high;
    const int high_sample = wire::sample(platform::MS_CTS_ON, &high);
    if (high_sample < 0) return -1;
    if (!wire::set(platform::CLRDTR)) return -1;
    if (wire::delay_us(half) != 0) return -1;
    if (high_sample != wire::pending) {
      if (*event_word != 0) return 1;
      if (high.level == 1) return 1;
    }
    wire::Sample low;
    const int low_sample = wire::sample(platform::MS_CTS_ON, &low);
    if (low_sample < 0) return -1;
    // The cable decides once per pass: the pass must end before the next clock may follow.
    // Its watch has looked at every byte of the pass, the two samples among them.
    if (low_sample == wire::pending) {
      if (wire::flush() != 0) return -1;
      if (*event_word != 0) return 1;
    }
    if (wire::level(low) == 1) return 1;
  }
  // Some calls take longer than 40 clocks to start; watch without clocking the target.
  return poll_until(1, quiet_polls, 5, event_word);
}

}  // namespace

int issp_wait_and_poll() {
  if (!wire::set(platform::CLRBREAK)) return wait_failed;
  serial::port.break_state = 0;

  // The target first pulls the released line low; only then can a rise mean busy.
  const int low = poll_until(0, release_polls, 1, nullptr);
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

  const int ended = poll_until(0, end_polls, 5, nullptr);
  if (ended < 0) return wait_failed;
  if (ended == 0) return wait_busy_stuck;
  if (wire::delay_us(timing.release_delay_us) != 0) return wait_failed;

  // The target needs these clocks, with the line released, to finish its return to ISSP.
  const int32_t half = timing.clock_half_period_us;
  for (int i = 0; i < trailing_clocks; ++i) {
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

}  // namespace issp
