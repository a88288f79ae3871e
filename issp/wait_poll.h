// Waiting for the target to finish a supervisory call.
#pragma once

#include <cstdint>

#include "serial/lines.h"

namespace issp {

// Results of issp_wait_and_poll. Every negative result other than wait_failed is a
// no-response code, which the callers turn into a stage with no_response_stage.
constexpr int wait_done = 0;
constexpr int wait_failed = -1;     // a switch, sample or wait failed (record filled)
constexpr int wait_not_low = -2;    // the released line never read low
constexpr int wait_no_busy = -3;    // no busy signal
constexpr int wait_busy_stuck = -4; // the busy signal never ended

// A failed arming of the CTS event (serial::arm_* -1..-3) comes out as -11..-13, apart from
// the other no-response codes; the record holds the arming's port error.
constexpr int wait_arm_failed(int armed) { return armed - 10; }
constexpr int wait_arm_set_mask_failed = wait_arm_failed(serial::arm_set_mask_failed);
constexpr int wait_arm_event_failed = wait_arm_failed(serial::arm_event_failed);
constexpr int wait_arm_wait_failed = wait_arm_failed(serial::arm_wait_failed);

constexpr bool is_no_response(int wait_result) {
  return wait_result != wait_done && wait_result != wait_failed;
}

// The stage (or exit code) that a no-response code of wait-and-poll stands for in a caller
// whose stages start at base: -2 becomes base + 2, -13 base + 13.
constexpr int no_response_stage(int base, int wait_result) { return base - wait_result; }

// The wait's bounds: polls before the released line must read low (1 us apart), clocked
// passes, polls of the quiet watch and of the wait for the end (5 us apart), and the clocks the
// target needs after its call.
constexpr int release_polls = 500000;
constexpr int32_t release_poll_us = 1;
constexpr int clocked_passes = 40;
constexpr int quiet_polls = 100000;
constexpr int end_polls = 100000;
constexpr int32_t quiet_poll_us = 5;
constexpr int trailing_clocks = 66;

int issp_wait_and_poll();

// The wait through a stream (issp/wait_stream.cpp), where every byte is a sample.
int wait_on_stream();
// The first steps and the last, the same on either way to the lines: the release of the data
// line, and `count` zero bits with it released (wait_failed on a failed switch or wait).
int release_data_line();
int send_trailing_clocks(int count);

}  // namespace issp
