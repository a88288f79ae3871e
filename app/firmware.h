// Which firmware goes in, and whether the chip is the one it is meant for.
#pragma once

#include <cstdint>

#include "app/endings.h"

namespace app {

// Exit code when the chip's SiliconID is not the one the container records.
constexpr int32_t wrong_chip_code = 113;

// Right after the identity: a container that records a SiliconID refuses any other chip,
// with the target off before anything is erased. Containers without one accept any chip.
Step check_silicon_id();

// Names what goes in: the embedded firmware, or the data file (data_file_name, else null),
// with the container's check value and the SiliconID it is meant for, if it records one.
void show_firmware(const char* data_file_name);

}  // namespace app
