// tolvern-pack run as a child process on temporary files.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <numeric>
#include <string>
#include <vector>

#include "image/container.h"
#include "image/container_format.h"
#include "tests/harness.h"

namespace {

using Bytes = std::vector<uint8_t>;
using harness::read_file;
using harness::TempDir;
namespace fs = std::filesystem;

void write_file(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

// The packer's exit status (-1 when it did not exit normally); its stderr goes to *err, its
// stdout to *out.
int pack(const TempDir& dir, const std::string& args, std::string* err, std::string* out) {
  const std::string err_path = dir / ".stderr";
  const std::string out_path = dir / ".stdout";
  const int raw =
      std::system(("'" TOLVERN_PACKER "' " + args + " 2>'" + err_path + "' >'" + out_path + "'").c_str());
  *err = read_file(err_path);
  *out = read_file(out_path);
  fs::remove(err_path);
  fs::remove(out_path);
  return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
}

std::string record(uint32_t address, uint8_t type, const Bytes& data) {
  Bytes b = {static_cast<uint8_t>(data.size()), static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address), type};
  b.insert(b.end(), data.begin(), data.end());
  b.push_back(static_cast<uint8_t>(-std::accumulate(b.begin(), b.end(), 0)));
  std::string s = ":";
  for (uint8_t x : b) s += {"0123456789ABCDEF"[x >> 4], "0123456789ABCDEF"[x & 15]};
  return s + "\n";
}

const std::string end_record = ":00000001FF\n";

// No two blocks alike, so that data placed at a wrong address shows.
const Bytes plain = [] {
  Bytes p(image::image_size);
  for (size_t i = 0; i < p.size(); ++i) p[i] = static_cast<uint8_t>(i * 7 + 3 + (i >> 8));
  return p;
}();

// Data records of `size` bytes for plain[from, to), addresses lowered by `bias`.
std::string records(uint32_t from, uint32_t to, uint32_t size, uint32_t bias = 0) {
  std::string s;
  for (uint32_t a = from; a < to; a += size) s += record(a - bias, 0, Bytes(&plain[a], &plain[a] + size));
  return s;
}

// The image a container holds, through the tool's own reader; empty when its check fails.
Bytes unpacked(const std::string& container) {
  if (container.size() != image::container_size) return {};
  image::reset_image();
  std::memcpy(image::image_buffer, container.data(), container.size());
  if (image::image_verify() != 0) return {};
  Bytes b(image::image_size);
  for (uint32_t i = 0; i < b.size(); ++i) b[i] = static_cast<uint8_t>(image::image_byte(static_cast<int32_t>(i)));
  return b;
}

// The 16-bit sum of the image as PSoC Designer writes it at 0x200000, most significant byte first.
std::string checksum_record(const Bytes& image, int off_by = 0) {
  const int sum = (std::accumulate(image.begin(), image.end(), 0) + off_by) & 0xFFFF;
  return record(0, 4, {0, 0x20}) + record(0, 0, {static_cast<uint8_t>(sum >> 8), static_cast<uint8_t>(sum)});
}

// The last lines of a PSoC Designer file: protection bits at 0x100000, the checksum at 0x200000.
std::string designer_tail(const Bytes& image, int off_by = 0) {
  return record(0, 4, {0, 0x10}) + record(0, 0, Bytes(32, 0x55)) + checksum_record(image, off_by) + end_record;
}

std::string with_line_ends(const std::string& text, const std::string& line_end) {
  std::string s;
  for (char ch : text) s += ch == '\n' ? line_end : std::string(1, ch);
  return s;
}

TEST(Packer, PlainAndHexInputsGiveTheSameImage) {
  const TempDir dir;
  Bytes sparse(image::image_size, 0);
  sparse[0x10] = 0xAB;
  sparse[0x1FFF] = 0xCD;
  std::string crlf_lower;
  for (char ch : with_line_ends(records(0, 8192, 64) + end_record, "\r\n")) {
    crlf_lower += static_cast<char>(std::tolower(ch));
  }
  // A plain image that begins like a record line but is not Intel HEX.
  Bytes colon = plain;
  const std::string record_like = ":0400000001020304F2\n";
  std::copy(record_like.begin(), record_like.end(), colon.begin());
  const struct {
    const char* name;
    std::string input;
    const Bytes& image;
    long notices;        // lines on stderr, each saying what was ignored or how the input was taken
    const char* summary; // the one line on stdout, after "tolvern-pack: <input>: "
    const char* notice = "";  // part of stderr
  } cases[] = {
      {"plain image", std::string(plain.begin(), plain.end()), plain, 0,
       "plain image, 8192 flash bytes taken, 0 left unwritten (0x00); check value 0x"},
      {"lower case, CRLF", crlf_lower, plain, 0, "Intel HEX, 8192 flash bytes taken, 0 left unwritten (0x00); check value 0x"},
      {"CR alone", with_line_ends(records(0, 8192, 64) + end_record, "\r"), plain, 0, "Intel HEX, 8192 flash"},
      {"Ctrl-Z padding, no last line end", records(0, 8192, 64) + ":00000001FF" + std::string(100, '\x1A'), plain, 0,
       "Intel HEX, 8192"},
      {"linear base 0, then segment base 0x100", record(0, 4, {0, 0}) + records(0, 0x1000, 16) +
           record(0, 2, {1, 0}) + records(0x1000, 8192, 32, 0x1000) + end_record, plain, 0, "Intel HEX, 8192"},
      {"holes are 0x00", record(0x10, 0, {0xAB}) + record(0x1FFF, 0, {0xCD}) + end_record, sparse, 0,
       "Intel HEX, 2 flash bytes taken, 8190 left unwritten (0x00); check value 0x"},
      {"start address and unknown records", record(0, 3, {0, 0, 1, 0}) + records(0, 8192, 32) +
           record(0, 5, {0, 0, 0, 0}) + record(0, 6, {7}) + end_record, plain, 3, "Intel HEX, 8192"},
      {"PSoC Designer protection and checksum", records(0, 8192, 64) + designer_tail(plain), plain, 1,
       "Intel HEX, 8192 flash bytes taken, 0 left unwritten (0x00), checksum 0x", "protection bits ignored"},
      {"checksum of a file with holes", record(0x10, 0, {0xAB}) + record(0x1FFF, 0, {0xCD}) +
           checksum_record(sparse) + end_record, sparse, 0, "Intel HEX, 2 flash bytes taken, 8190 left unwritten "
           "(0x00), checksum 0x0178 matches; check value 0x"},
      {"other data above the program space", records(0, 8192, 64) + record(0, 4, {0, 0x30}) +
           record(0, 0, {1, 2}) + end_record, plain, 1, "Intel HEX, 8192"},
      {"8192 bytes beginning with ':'", std::string(colon.begin(), colon.end()), colon, 1,
       "plain image, 8192 flash bytes taken, 0 left unwritten (0x00); check value 0x", "taken as a plain 8192-byte image"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    write_file(dir / "in", c.input);
    std::string err, out;
    ASSERT_EQ(pack(dir, dir / "in" + " -o " + dir / "out.dat", &err, &out), 0) << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), c.notices) << err;
    EXPECT_NE(err.find(c.notice), std::string::npos) << err;
    EXPECT_EQ(out.rfind("tolvern-pack: " + dir / "in" + ": " + c.summary, 0), 0u) << out;
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << out;
    EXPECT_EQ(unpacked(read_file(dir / "out.dat")), c.image);
  }
}

// A refused run exits non-zero, says why, and leaves the input, the old output and no other file.
TEST(Packer, RefusesBadInputAndWritesNothing) {
  const TempDir dir;
  const std::string image(plain.begin(), plain.end());
  const std::string one = record(0x100, 0, {1, 2, 3, 4});
  const std::string outputs = " -o " + dir / "out.dat" + " --emit-cpp " + dir / "out.cpp";
  const std::string ctrl_z = "\x1A";
  const struct {
    const char* name;
    std::string input;
    const char* says;
    int status = 1;
    std::string args = "";  // the input "in" and both outputs when empty
  } cases[] = {
      {"bad checksum", ":0401000001020304F2\n" + end_record, "checksum"},
      {"overlap", one + record(0x103, 0, {9}) + end_record, "overlaps"},
      {"past the flash end", record(0x1FF0, 0, Bytes(32, 1)) + end_record, "at address 0x2000 lies beyond the "
       "flash (0x0000-0x1FFF): the file was built for a chip with more flash than this tool programs"},
      {"a 16 KB chip's file", records(0, 8192, 64) + record(0x3FC0, 0, Bytes(64, 1)) + end_record,
       "at address 0x3FC0 lies beyond the flash"},
      {"checksum disagrees", records(0, 8192, 64) + designer_tail(plain, 1), "damaged or was edited"},
      {"checksum record of 3 bytes", records(0, 8192, 64) + record(0, 4, {0, 0x20}) + record(0, 0, {0, 0, 0}) +
           end_record, "malformed checksum record"},
      {"two checksum records", records(0, 8192, 64) + checksum_record(plain) + record(0, 0, {0, 0}) + end_record,
       "second checksum record"},
      {"Ctrl-Z before the end record", records(0, 4096, 64) + ctrl_z + records(4096, 8192, 64) + end_record,
       "malformed"},
      {"cut short, then Ctrl-Z", records(0, 4096, 64) + ctrl_z, "end-of-file record"},
      {"missing end record", records(0, 8192, 64), "end-of-file record"},
      {"data after the end record", one + end_record + one, "after the end-of-file"},
      {"odd number of digits", ":0401000001020304F\n" + end_record, "malformed"},
      {"not a hex digit", ":04010000010G0304F2\n" + end_record, "malformed"},
      {"length byte disagrees", ":0501000001020304F1\n" + end_record, "malformed"},
      {"line without a colon", one + "0100000001FE\n" + end_record, "malformed"},
      {"no data at all", end_record, "no data"},
      {"plain image one byte short", image.substr(1), "8192"},
      {"input missing", image, "No such file", 1, dir / "missing" + outputs},
      {"no output named", image, "usage", 2, dir / "in"},
      {"output is the input", image, "overwrite the input", 1, dir / "in" + " -o " + dir / "in"},
      {"SiliconID of five digits", image, "SiliconID is 0x", 2, dir / "in" + outputs + " --silicon-id=0x10000"},
      {"SiliconID without 0x", image, "SiliconID is 0x", 2, dir / "in" + outputs + " --silicon-id=0010"},
      {"SiliconID not hexadecimal", image, "SiliconID is 0x", 2, dir / "in" + outputs + " --silicon-id=0x1G"},
      {"SiliconID empty", image, "SiliconID is 0x", 2, dir / "in" + outputs + " --silicon-id=0x"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    write_file(dir / "in", c.input);
    write_file(dir / "out.dat", "previous");
    std::string err, out;
    EXPECT_EQ(pack(dir, c.args.empty() ? dir / "in" + outputs : c.args, &err, &out), c.status);
    EXPECT_NE(err.find(c.says), std::string::npos) << err;
    EXPECT_EQ(out, "");
    EXPECT_EQ(read_file(dir / "in"), c.input);
    EXPECT_EQ(read_file(dir / "out.dat"), "previous");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 2)
        << "output or temporary file left behind";
  }
}

}  // namespace

namespace {

// --silicon-id records the part in the unread tail; the summary names it with the check value
// that the tool prints before its prompt.
TEST(Packer, SiliconIdInTheTail) {
  const TempDir dir;
  write_file(dir / "in", std::string(plain.begin(), plain.end()));
  std::string err, out;
  ASSERT_EQ(pack(dir, dir / "in" + " -o " + dir / "out.dat" + " --silicon-id=0x1a2B", &err, &out), 0) << err;
  const std::string c = read_file(dir / "out.dat");
  EXPECT_EQ(c.substr(image::tail_offset), std::string("TvSID\x01\x1A\x2B\xE5\xD4", 10));
  EXPECT_EQ(unpacked(c), plain);
  image::reset_image();
  std::copy(c.begin(), c.end(), image::image_buffer);
  ASSERT_EQ(image::image_verify(), 0);
  char expected[64];
  std::snprintf(expected, sizeof expected, "; check value 0x%04X, for SiliconID 0x1A2B; wrote ",
                image::image_check_value());
  EXPECT_NE(out.find(expected), std::string::npos) << out;
  image::reset_image();
}

}  // namespace
