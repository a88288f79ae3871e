// tolvern-pack run as a child process on temporary files.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "image/container.h"
#include "image/container_format.h"
#include "image/keystream.h"

namespace {

using Bytes = std::vector<uint8_t>;
namespace fs = std::filesystem;

// A fresh directory, removed with everything in it when the test ends.
struct TempDir {
  std::string path;
  TempDir() {
    char name[] = "/tmp/tolvern-pack-test-XXXXXX";
    path = mkdtemp(name) ? name : "/nonexistent";
  }
  ~TempDir() { fs::remove_all(path); }
  std::string operator/(const char* name) const { return path + "/" + name; }
};

void write_file(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

std::string read_file(const std::string& path) {
  std::stringstream s;
  s << std::ifstream(path, std::ios::binary).rdbuf();
  return s.str();
}

struct PackRun {
  int status;  // exit status, -1 when it did not exit normally
  std::string err;
};

PackRun pack(const TempDir& dir, const std::string& args) {
  const std::string err = dir / ".stderr";
  const int raw = std::system(("'" TOLVERN_PACKER "' " + args + " 2>'" + err + "'").c_str());
  PackRun r{WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, read_file(err)};
  fs::remove(err);
  return r;
}

std::string record(uint32_t address, uint8_t type, const Bytes& data, const char* digit = "%02X") {
  Bytes b = {static_cast<uint8_t>(data.size()), static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address), type};
  b.insert(b.end(), data.begin(), data.end());
  uint8_t sum = 0;
  for (uint8_t x : b) sum = static_cast<uint8_t>(sum - x);
  b.push_back(sum);
  std::string s = ":";
  char two[3];
  for (uint8_t x : b) s += (std::snprintf(two, sizeof two, digit, x), two);
  return s + "\n";
}

const std::string end_record = ":00000001FF\n";

// Data records of `size` bytes for plain[from, to), addresses lowered by `bias`.
std::string records(const Bytes& plain, uint32_t from, uint32_t to, uint32_t size, uint32_t bias = 0,
                    const char* digit = "%02X") {
  std::string s;
  for (uint32_t a = from; a < to; a += size) s += record(a - bias, 0, Bytes(&plain[a], &plain[a] + size), digit);
  return s;
}

Bytes random_image() {
  std::mt19937 gen(2024);
  Bytes p(image::image_size);
  for (uint8_t& b : p) b = static_cast<uint8_t>(gen());
  return p;
}

// What pack_container makes of plain with the X0 the packer chose.
std::string expected_container(const Bytes& plain, const std::string& packed) {
  const auto* c = reinterpret_cast<const uint8_t*>(packed.data());
  const uint32_t h = image::header_position_for_seed(static_cast<uint16_t>(c[0] | c[1] << 8));
  const uint32_t x0 = uint32_t{c[h]} << 24 | uint32_t{c[h + 1]} << 16 | uint32_t{c[h + 2]} << 8 | c[h + 3];
  std::string out(image::container_size, '\0');
  image::pack_container(plain.data(), x0, nullptr, reinterpret_cast<uint8_t*>(&out[0]));
  return out;
}

TEST(Packer, PlainAndHexInputsGiveTheSameContainer) {
  const TempDir dir;
  const Bytes plain = random_image();
  write_file(dir / "plain.bin", std::string(plain.begin(), plain.end()));
  ASSERT_EQ(pack(dir, dir / "plain.bin" + " -o " + dir / "plain.dat").status, 0);
  const std::string reference = read_file(dir / "plain.dat");
  ASSERT_EQ(reference.size(), image::container_size);
  EXPECT_EQ(reference, expected_container(plain, reference));

  Bytes sparse(image::image_size, 0);
  sparse[0x10] = 0xAB;
  sparse[0x1FFF] = 0xCD;
  std::string crlf_lower = records(plain, 0, 8192, 64, 0, "%02x") + ":00000001ff\n";
  for (std::size_t p = 0; (p = crlf_lower.find('\n', p)) != std::string::npos; p += 2) crlf_lower.insert(p, "\r");
  const struct {
    const char* name;
    std::string hex;
    const Bytes& image;
  } cases[] = {
      {"16-byte records", records(plain, 0, 8192, 16) + end_record, plain},
      {"lower case, CRLF", crlf_lower, plain},
      {"linear base 0, then segment base 0x100",
       record(0, 4, {0, 0}) + records(plain, 0, 0x1000, 32) + record(0, 2, {1, 0}) +
           records(plain, 0x1000, 8192, 32, 0x1000) + end_record,
       plain},
      {"holes are 0x00", record(0x10, 0, {0xAB}) + record(0x1FFF, 0, {0xCD}) + end_record, sparse},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    write_file(dir / "in.hex", c.hex);
    const PackRun r = pack(dir, dir / "in.hex" + " -o " + dir / "hex.dat");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    const std::string got = read_file(dir / "hex.dat");
    EXPECT_EQ(got, &c.image == &plain ? reference : expected_container(c.image, got));
  }
}

TEST(Packer, RefusesBadInputAndWritesNothing) {
  const TempDir dir;
  const Bytes plain = random_image();
  const std::string one = record(0x100, 0, {1, 2, 3, 4});
  const struct {
    const char* name;
    std::string input;
    const char* says;
  } cases[] = {
      {"bad checksum", ":0401000001020304F2\n" + end_record, "checksum"},
      {"overlap", one + record(0x103, 0, {9}) + end_record, "overlaps"},
      {"past the flash end", record(0x1FF0, 0, Bytes(32, 1)) + end_record, "outside the flash"},
      {"linear base above the flash", record(0, 4, {0, 1}) + record(0, 0, {1}) + end_record, "outside the flash"},
      {"segment base above the flash", record(0, 2, {2, 0}) + record(0, 0, {1}) + end_record, "outside the flash"},
      {"missing end record", records(plain, 0, 8192, 64), "end-of-file record"},
      {"data after the end record", one + end_record + one, "after the end-of-file"},
      {"odd number of digits", ":0401000001020304F\n" + end_record, "malformed"},
      {"not a hex digit", ":04010000010G0304F2\n" + end_record, "malformed"},
      {"length byte disagrees", ":0501000001020304F1\n" + end_record, "malformed"},
      {"line without a colon", one + "0100000001FE\n" + end_record, "malformed"},
      {"no data at all", end_record, "no data"},
      {"plain image one byte short", std::string(plain.begin(), plain.end() - 1), "8192"},
      {"plain image one byte long", std::string(plain.begin(), plain.end()) + "x", "8192"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    write_file(dir / "in", c.input);
    write_file(dir / "out.dat", "previous");
    const PackRun r = pack(dir, dir / "in" + " -o " + dir / "out.dat" + " --emit-cpp " + dir / "out.cpp");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    EXPECT_EQ(read_file(dir / "out.dat"), "previous");
    const auto left = std::distance(fs::directory_iterator(dir.path), fs::directory_iterator());
    EXPECT_EQ(left, 2) << "output or temporary file left behind";
  }
  EXPECT_EQ(pack(dir, dir / "missing" + " -o " + dir / "out.dat").status, 1);
  EXPECT_EQ(pack(dir, dir / "in").status, 2);
  write_file(dir / "in", std::string(plain.begin(), plain.end()));
  EXPECT_EQ(pack(dir, dir / "in" + " -o " + dir / "in").status, 1);
  EXPECT_EQ(read_file(dir / "in"), std::string(plain.begin(), plain.end())) << "input overwritten";
}

TEST(Packer, IgnoredRecordsGiveANoticeAndStillPack) {
  const TempDir dir;
  const std::string body = records(random_image(), 0, 8192, 32);
  write_file(dir / "plain.hex", body + end_record);
  write_file(dir / "noted.hex",
             record(0, 3, {0, 0, 1, 0}) + body + record(0, 5, {0, 0, 0, 0}) + record(0, 6, {7}) + end_record);
  ASSERT_EQ(pack(dir, dir / "plain.hex" + " -o " + dir / "plain.dat").status, 0);
  const PackRun r = pack(dir, dir / "noted.hex" + " -o " + dir / "noted.dat");
  ASSERT_EQ(r.status, 0) << r.err;
  std::size_t notices = 0;
  for (std::size_t p = r.err.find("ignored"); p != std::string::npos; p = r.err.find("ignored", p + 1)) ++notices;
  EXPECT_EQ(notices, 3u) << r.err;
  EXPECT_EQ(read_file(dir / "noted.dat"), read_file(dir / "plain.dat"));
}

TEST(Packer, EmittedSourceCarriesTheEmbeddedContainer) {
  const TempDir dir;
  const std::string demo = TOLVERN_SOURCE_DIR "/firmware/demo-firmware.hex";
  ASSERT_EQ(pack(dir, "'" + demo + "' -o " + dir / "demo.dat" + " --emit-cpp " + dir / "demo.cpp").status, 0);
  const std::string container = read_file(dir / "demo.dat");
  const std::string source = read_file(dir / "demo.cpp");
  std::string parsed;
  for (std::size_t p = source.find("0x"); p != std::string::npos; p = source.find("0x", p + 4)) {
    parsed += static_cast<char>(std::strtoul(source.substr(p, 4).c_str(), nullptr, 16));
  }
  EXPECT_EQ(parsed, container);
  const auto* embedded = reinterpret_cast<const char*>(image::embedded_container);
  EXPECT_EQ(container, std::string(embedded, image::container_size)) << "built with another TOLVERN_FIRMWARE?";
  image::reset_image();
  image::load_embedded_container();
  ASSERT_EQ(image::image_verify(), 0);
  // The placeholder's text comes out only through the descrambler.
  const std::string banner = "Tolvern demo placeholder blk 000";
  std::string head;
  for (int32_t i = 0; i < static_cast<int32_t>(banner.size()); ++i) head += static_cast<char>(image::image_byte(i));
  EXPECT_EQ(head, banner);
  EXPECT_EQ(container.find(banner.substr(0, 12)), std::string::npos);
}

}  // namespace
