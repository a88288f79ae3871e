// Faults the fuzz targets of fuzz/ found, each pinned where a unit test reaches it. (Two more
// are in the keyboard's sequence table of posix_test.cpp.)
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "output/error_record.h"
#include "serial/discovery.h"
#include "sim/world.h"
#include "tests/harness.h"

namespace {

// A device map that fails after some acceptable ports were read must not leave them behind
// as a half list in map order: port_list is either the whole sorted list or empty.
TEST(FuzzFindings, FailedDeviceMapLeavesNoHalfList) {
  const std::u16string long_name = u"\\Device\\" + std::u16string(112, u'x') + u"Serial1";  // 127 units: no room
  const struct {
    const char* label;
    std::vector<sim::DevmapEntry> entries;
    uint32_t read_error;  // of the third value
    int32_t code;
  } cases[] = {
      {"a value that does not fit",
       {sim::devmap_text(u"\\Device\\Serial0", u"COM40"), sim::devmap_text(u"\\Device\\Serial1", u"COM39"),
        sim::devmap_text(long_name, u"COM1")},
       0, 234},
      {"a failing read",
       {sim::devmap_text(u"\\Device\\Serial0", u"COM40"), sim::devmap_text(u"\\Device\\Serial1", u"COM39"),
        sim::devmap_text(u"\\Device\\Serial2", u"COM38")},
       31, 31},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    harness::reset_world();
    sim::set_devmap(c.entries);
    if (c.read_error != 0) sim::set_devmap_read_error(2, c.read_error);
    EXPECT_EQ(serial::enumerate_ports(), 0);
    EXPECT_EQ(output::error_code(), c.code);
    EXPECT_EQ(std::vector<uint8_t>(serial::port_list, serial::port_list + 16), std::vector<uint8_t>(16, 0));
  }
}

}  // namespace
