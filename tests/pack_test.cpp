// tolvern-pack run as a child process on temporary files.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <numeric>
#include <string>
#include <vector>

#include "image/container_format.h"
#include "tests/harness.h"

namespace {

using Bytes = std::vector<uint8_t>;
using harness::read_file;
using harness::TempDir;
namespace fs = std::filesystem;

void write_file(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

// The packer's exit status (-1 when it did not exit normally); its stderr goes to *err.
int pack(const TempDir& dir, const std::string& args, std::string* err) {
  const std::string err_path = dir / ".stderr";
  const int raw = std::system(("'" TOLVERN_PACKER "' " + args + " 2>'" + err_path + "'").c_str());
  *err = read_file(err_path);
  fs::remove(err_path);
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

// The image a container holds, through the reference reader; empty when its check fails.
Bytes unpacked(const std::string& container) {
  const auto* c = reinterpret_cast<const uint8_t*>(container.data());
  if (container.size() != image::container_size || image::check_container(c) != 0) return {};
  Bytes b(image::image_size);
  for (uint32_t i = 0; i < b.size(); ++i) b[i] = static_cast<uint8_t>(image::unpack_byte(c, i));
  return b;
}

TEST(Packer, PlainAndHexInputsGiveTheSameImage) {
  const TempDir dir;
  Bytes sparse(image::image_size, 0);
  sparse[0x10] = 0xAB;
  sparse[0x1FFF] = 0xCD;
  std::string crlf_lower;
  for (char ch : records(0, 8192, 64) + end_record) {
    crlf_lower += ch == '\n' ? std::string("\r\n") : std::string(1, static_cast<char>(std::tolower(ch)));
  }
  const struct {
    const char* name;
    std::string input;
    const Bytes& image;
    long notices;  // "... ignored" lines on stderr, the only thing it may say
  } cases[] = {
      {"plain image", std::string(plain.begin(), plain.end()), plain, 0},
      {"lower case, CRLF", crlf_lower, plain, 0},
      {"linear base 0, then segment base 0x100", record(0, 4, {0, 0}) + records(0, 0x1000, 16) +
           record(0, 2, {1, 0}) + records(0x1000, 8192, 32, 0x1000) + end_record, plain, 0},
      {"holes are 0x00", record(0x10, 0, {0xAB}) + record(0x1FFF, 0, {0xCD}) + end_record, sparse, 0},
      {"start address and unknown records", record(0, 3, {0, 0, 1, 0}) + records(0, 8192, 32) +
           record(0, 5, {0, 0, 0, 0}) + record(0, 6, {7}) + end_record, plain, 3},
      // Protection and checksum records that the PSoC tools place above the program space.
      {"records above the program space", records(0, 8192, 64) + record(0, 4, {0, 0x10}) +
           record(0, 0, Bytes(64, 0x55)) + record(0, 4, {0, 0x20}) + record(0, 0, {0x12, 0x34}) +
           end_record, plain, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    write_file(dir / "in", c.input);
    std::string err;
    ASSERT_EQ(pack(dir, dir / "in" + " -o " + dir / "out.dat", &err), 0) << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), c.notices) << err;
    EXPECT_EQ(err.find("ignored") != std::string::npos, c.notices > 0) << err;
    EXPECT_EQ(unpacked(read_file(dir / "out.dat")), c.image);
  }
}

// A refused run exits non-zero, says why, and leaves the input, the old output and no other file.
TEST(Packer, RefusesBadInputAndWritesNothing) {
  const TempDir dir;
  const std::string image(plain.begin(), plain.end());
  const std::string one = record(0x100, 0, {1, 2, 3, 4});
  const std::string outputs = " -o " + dir / "out.dat" + " --emit-cpp " + dir / "out.cpp";
  const struct {
    const char* name;
    std::string input;
    const char* says;
    int status = 1;
    std::string args = "";  // the input "in" and both outputs when empty
  } cases[] = {
      {"bad checksum", ":0401000001020304F2\n" + end_record, "checksum"},
      {"overlap", one + record(0x103, 0, {9}) + end_record, "overlaps"},
      {"past the flash end", record(0x1FF0, 0, Bytes(32, 1)) + end_record, "outside the flash"},
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
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    write_file(dir / "in", c.input);
    write_file(dir / "out.dat", "previous");
    std::string err;
    EXPECT_EQ(pack(dir, c.args.empty() ? dir / "in" + outputs : c.args, &err), c.status);
    EXPECT_NE(err.find(c.says), std::string::npos) << err;
    EXPECT_EQ(read_file(dir / "in"), c.input);
    EXPECT_EQ(read_file(dir / "out.dat"), "previous");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 2)
        << "output or temporary file left behind";
  }
}

}  // namespace
