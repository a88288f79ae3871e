// Bringing the target into programming mode and reading its identity.
#pragma once

#include <cstdint>

#include "issp/wait_poll.h"

namespace issp {

struct ChipIdentity {
  int32_t SiliconID;
  int32_t RevisionID;
};
extern ChipIdentity chip_identity;

// Stages of acquisition's no-response exits: the data line never fell after power-on, or a
// no-response code of the first (calibrate) or second (table read) supervisory call.
constexpr int stage_not_low_after_power_on = 2;
constexpr int calibrate_stage_base = 10;
constexpr int table_read_stage_base = 20;

// Acquisition gave up (a line, counter or power failure); the record holds the cause.
constexpr int acquire_gave_up = -127;
constexpr bool gave_up(int acquire_result) { return acquire_result < -120; }
// The first call saw no busy signal: the power-on window was missed, the one retried stage.
constexpr int acquire_window_missed = -no_response_stage(calibrate_stage_base, wait_no_busy);

// SiliconID (0..0xFFFF) on success; minus a stage number or acquire_gave_up on failure.
int issp_acquire(int32_t start_delay_us);

void reset_acquire();

}  // namespace issp
