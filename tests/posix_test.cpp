// The Linux back end: exercised directly through posix_host, on fake device trees and pipes.
#include <gtest/gtest.h>

#include "platform/posix/host.h"
#include "platform/posix/host_serial.h"

namespace {

TEST(PosixExitStatus, FailuresNeverReadZero) {
  EXPECT_EQ(posix_host::process_exit_status(0), 0);
  EXPECT_EQ(posix_host::process_exit_status(255), 255);
  EXPECT_EQ(posix_host::process_exit_status(256), 255);
  EXPECT_EQ(posix_host::process_exit_status(-1), 255);
}

}  // namespace
