// The virtual FT232R's datasheet facts, at the USB level.
#include <gtest/gtest.h>

#include "sim/vft232r/ft232r_device.h"
