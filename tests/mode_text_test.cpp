// Mode texts read as BuildCommDCBW reads them: the tool's own "9600,n,8,1", the mode command's
// abbreviations, the handshake letters, the key=value form, and what is refused.
#include <gtest/gtest.h>

#include <iterator>
#include <string>
#include <vector>

#include "platform/mode_text.h"
#include "platform/platform.h"
#include "platform/posix/host.h"
#include "platform/posix/host_serial.h"
#include "sim/world.h"

namespace {

// A block as a caller might hand it over: every flag set, odd values elsewhere, so that what the
// text leaves alone shows.
constexpr platform::Dcb filled = {0, 1, 0x7FFF, 0, 7, 0, 0xAA, 0xBB, 0xCC, 0, 0, 0, 0, 0, 0};

struct Row {
  const char16_t* text;
  bool accepted;
  uint32_t baud;
  uint8_t byte_size, parity, stop_bits;
  uint32_t flags;
};

// flags 0x5CD3: no XON/XOFF, no CTS/DSR flow, DTR and RTS control enabled; fParity and the
// rest as they were.
constexpr Row rows[] = {
    {u"9600,n,8,1", true, 9600, 8, 0, 0, 0x5CD3},
    {u"96,n,8,1", true, 9600, 8, 0, 0, 0x5CD3},
    {u"11,E,7,2", true, 110, 7, 2, 2, 0x5CD3},
    {u"19,o,5,1.5", true, 19200, 5, 1, 1, 0x5CD3},
    {u"30,m,6,1", true, 300, 6, 3, 0, 0x5CD3},
    {u"2400,s,8,1,x", true, 2400, 8, 4, 0, 0x5FD3},
    {u"9600,n,8,1,P", true, 9600, 8, 0, 0, 0x6CEF},
    {u"COM1:9600,n,8,1", true, 9600, 8, 0, 0, 0x5CD3},
    {u"com12  : 9600 , n , 8 , 1 , x ", true, 9600, 8, 0, 0, 0x5FD3},
    {u"9600,n,8,1,", true, 9600, 8, 0, 0, 0x5CD3},
    {u"99999999999,n,8,1", true, 0xFFFFFFFF, 8, 0, 0, 0x5CD3},
    {u"baud=9600 parity=n data=8 stop=2", true, 9600, 8, 0, 2, 0x7FFF},
    {u"baud=110", true, 110, 0xAA, 0xBB, 2, 0x7FFF},
    {u"data=7", true, 1, 7, 0xBB, 0, 0x7FFF},
    {u"xon=off octs=off odsr=off dtr=off rts=off idsr=off to=on", true, 1, 0xAA, 0xBB, 0, 0x4C83},
    {u"", true, 1, 0xAA, 0xBB, 0, 0x7FFF},
};
// Refused: the block keeps every field.
constexpr const char16_t* refused[] = {
    u"9600", u",p", u"9600,n,8", u"9600,n,9,1", u"9600,n,4,1", u"9600,q,8,1", u"9600,n,8,3", u"9600,n,8,1,z",
    u"9600,n,8,1,x y", u"9600,n,8,1 2", u" 9600,n,8,1", u" baud=9600", u"COM0:9600,n,8,1", u"COM1-9600,n,8,1",
    u"baud=9600 ", u"baud=9600,parity=n", u"baud=9600parity=n", u"parity=x", u"xon=maybe"};

// The simulated and the Linux back ends' BuildCommDCBW is this parser too: refusals leave
// invalid parameter.
TEST(ModeText, AsBuildCommDcbReadsIt) {
  sim::reset();
  std::vector<Row> all(std::begin(rows), std::end(rows));
  for (const char16_t* text : refused) all.push_back({text, false, 0, 0, 0, 0, 0});
  for (const Row& r : all) {
    const std::u16string text = r.text;
    SCOPED_TRACE(std::string(text.begin(), text.end()));
    platform::Dcb d = filled;
    ASSERT_EQ(platform::dcb_from_mode_text(r.text, &d), r.accepted);
    EXPECT_EQ(d.DCBlength, 28u);
    EXPECT_EQ(d.BaudRate, r.accepted ? r.baud : filled.BaudRate);
    EXPECT_EQ(d.ByteSize, r.accepted ? r.byte_size : filled.ByteSize);
    EXPECT_EQ(d.Parity, r.accepted ? r.parity : filled.Parity);
    EXPECT_EQ(d.StopBits, r.accepted ? r.stop_bits : filled.StopBits);
    EXPECT_EQ(d.flags, r.accepted ? r.flags : filled.flags);
    EXPECT_EQ(d.XonLim, filled.XonLim);
    platform::Dcb sim_dcb = filled, linux_dcb = filled;
    platform::set_last_error(0);
    posix_host::set_last_error(0);
    EXPECT_EQ(platform::serial_build_dcb(r.text, &sim_dcb), r.accepted);
    EXPECT_EQ(posix_host::serial_build_dcb(r.text, &linux_dcb), r.accepted);
    for (const uint32_t error : {platform::last_error(), posix_host::last_error()})
      EXPECT_EQ(error, r.accepted ? 0u : platform::err::invalid_parameter);
    for (const platform::Dcb& other : {sim_dcb, linux_dcb}) {
      EXPECT_EQ(other.BaudRate, d.BaudRate);
      EXPECT_EQ(other.flags, d.flags);
    }
  }
}

}  // namespace
