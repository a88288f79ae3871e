// Bringing the target into programming mode and reading its identity.
#pragma once

#include <cstdint>

namespace issp {

struct ChipIdentity {
  int32_t SiliconID;
  int32_t RevisionID;
};
extern ChipIdentity chip_identity;

// SiliconID (0..0xFFFF) on success; minus a stage number or -127 on failure.
int issp_acquire(int32_t start_delay_us);

void reset_acquire();

}  // namespace issp
