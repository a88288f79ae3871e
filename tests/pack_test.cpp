// tolvern-pack run as a child process on temporary files.
#include <gtest/gtest.h>

#include <dirent.h>
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

// A fresh directory, removed with everything in it when the test ends.
struct TempDir {
  std::string path;
  TempDir() {
    char name[] = "/tmp/tolvern-pack-test-XXXXXX";
    path = mkdtemp(name) ? name : "/nonexistent";
  }
  ~TempDir() { std::filesystem::remove_all(path); }
};

void write_file(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

std::string read_file(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

std::string as_text(const Bytes& b) { return std::string(b.begin(), b.end()); }

std::size_t entries(const std::string& dir) {
  std::size_t n = 0;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d)) n += e->d_name[0] != '.';
    closedir(d);
  }
  return n;
}

struct PackRun {
  int status;  // exit status, or -1 when it did not exit normally
  std::string err;
};

PackRun pack(const std::string& dir, const std::string& args) {
  const std::string err = dir + "/.stderr";
  const int raw = std::system(("'" + std::string(TOLVERN_PACKER) + "' " + args + " 2>'" + err + "'").c_str());
  PackRun r{WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, read_file(err)};
  std::remove(err.c_str());
  return r;
}

std::string record(uint32_t address, uint8_t type, const Bytes& data, bool lower = false) {
  Bytes b = {static_cast<uint8_t>(data.size()), static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address), type};
  b.insert(b.end(), data.begin(), data.end());
  uint8_t sum = 0;
  for (uint8_t x : b) sum = static_cast<uint8_t>(sum + x);
  b.push_back(static_cast<uint8_t>(-sum));
  std::string s = ":";
  char two[3];
  for (uint8_t x : b) {
    std::snprintf(two, sizeof two, lower ? "%02x" : "%02X", x);
    s += two;
  }
  return s;
}

const std::string end_record = ":00000001FF\n";

// Data records of `size` bytes for plain[from, to), in the given order.
std::string data_records(const Bytes& plain, uint32_t from, uint32_t to, uint32_t size, bool reversed, bool lower,
                         const char* eol, uint32_t address_bias = 0) {
  std::vector<std::string> lines;
  for (uint32_t a = from; a < to; a += size) {
    lines.push_back(record(a - address_bias, 0, Bytes(plain.begin() + a, plain.begin() + a + size), lower) + eol);
  }
  std::string s;
  for (std::size_t k = 0; k < lines.size(); ++k) s += lines[reversed ? lines.size() - 1 - k : k];
  return s;
}

Bytes random_image() {
  std::mt19937 gen(2024);
  Bytes p(image::image_size);
  for (uint8_t& b : p) b = static_cast<uint8_t>(gen());
  return p;
}

// The container pack_container makes from plain with the X0 that the packer chose.
Bytes expected_container(const Bytes& plain, const std::string& packed) {
  const uint8_t* c = reinterpret_cast<const uint8_t*>(packed.data());
  const uint32_t h = image::header_position_for_seed(static_cast<uint16_t>(c[0] | c[1] << 8));
  const uint32_t x0 = uint32_t{c[h]} << 24 | uint32_t{c[h + 1]} << 16 | uint32_t{c[h + 2]} << 8 | c[h + 3];
  Bytes out(image::container_size);
  image::pack_container(plain.data(), x0, nullptr, out.data());
  return out;
}

TEST(Packer, PlainAndHexInputsGiveTheSameContainer) {
  const TempDir temp;
  const std::string& dir = temp.path;
  const Bytes plain = random_image();
  write_file(dir + "/plain.bin", as_text(plain));
  ASSERT_EQ(pack(dir, dir + "/plain.bin -o " + dir + "/plain.dat").status, 0);
  const std::string reference = read_file(dir + "/plain.dat");
  ASSERT_EQ(reference.size(), image::container_size);
  EXPECT_EQ(reference, as_text(expected_container(plain, reference)));
  ASSERT_EQ(pack(dir, dir + "/plain.bin -o " + dir + "/again.dat").status, 0);
  EXPECT_EQ(read_file(dir + "/again.dat"), reference) << "not deterministic";

  Bytes sparse(image::image_size, 0);
  sparse[0x10] = 0xAB;
  sparse[0x1FFF] = 0xCD;
  struct Case {
    const char* name;
    std::string hex;
    const Bytes* image;
  };
  const Case cases[] = {
      {"16-byte records", data_records(plain, 0, 8192, 16, false, false, "\n") + end_record, &plain},
      {"reversed, lower case, CRLF", data_records(plain, 0, 8192, 64, true, true, "\r\n") + ":00000001ff\r\n", &plain},
      {"linear base 0 and segment base 0x100",
       record(0, 4, {0, 0}) + "\n" + data_records(plain, 0, 0x1000, 32, false, false, "\n") + record(0, 2, {0x01, 0x00}) +
           "\n" + data_records(plain, 0x1000, 8192, 32, false, false, "\n", 0x1000) + end_record,
       &plain},
      {"holes are 0x00", record(0x10, 0, {0xAB}) + "\n" + record(0x1FFF, 0, {0xCD}) + "\n" + end_record, &sparse},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    write_file(dir + "/in.hex", c.hex);
    const PackRun r = pack(dir, dir + "/in.hex -o " + dir + "/hex.dat");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    const std::string got = read_file(dir + "/hex.dat");
    EXPECT_EQ(got, as_text(expected_container(*c.image, got)));
    if (c.image == &plain) {
      EXPECT_EQ(got, reference);
    }
  }
}

TEST(Packer, RefusesBadInputAndWritesNothing) {
  const TempDir temp;
  const std::string& dir = temp.path;
  const Bytes plain = random_image();
  const std::string all = data_records(plain, 0, 8192, 64, false, false, "\n");
  const std::string one = record(0x100, 0, {1, 2, 3, 4}) + "\n";
  std::string bad_sum = one;
  bad_sum[bad_sum.size() - 2] ^= 1;
  struct Case {
    const char* name;
    std::string input;
    const char* says;
  };
  const Case cases[] = {
      {"bad checksum", bad_sum + end_record, "checksum"},
      {"overlap", one + record(0x103, 0, {9}) + "\n" + end_record, "overlaps"},
      {"past the flash end", record(0x1FF0, 0, Bytes(32, 1)) + "\n" + end_record, "outside the flash"},
      {"linear base above the flash", record(0, 4, {0, 1}) + "\n" + record(0, 0, {1}) + "\n" + end_record,
       "outside the flash"},
      {"segment base above the flash", record(0, 2, {0x02, 0x00}) + "\n" + record(0, 0, {1}) + "\n" + end_record,
       "outside the flash"},
      {"missing end record", all, "end-of-file record"},
      {"data after the end record", one + end_record + one, "after the end-of-file"},
      {"odd number of digits", one.substr(0, one.size() - 2) + "\n" + end_record, "malformed"},
      {"not a hex digit", one.substr(0, 12) + "G" + one.substr(13) + end_record, "malformed"},
      {"length byte disagrees", ":0501000001020304F1\n" + end_record, "malformed"},
      {"line without a colon", one + "0100000001FE\n" + end_record, "malformed"},
      {"no data at all", end_record + "\n", "no data"},
      {"plain image one byte short", as_text(Bytes(plain.begin(), plain.end() - 1)), "8192"},
      {"plain image one byte long", as_text(plain) + "x", "8192"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    write_file(dir + "/in", c.input);
    write_file(dir + "/out.dat", "previous");
    const PackRun r = pack(dir, dir + "/in -o " + dir + "/out.dat --emit-cpp " + dir + "/out.cpp");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    EXPECT_EQ(read_file(dir + "/out.dat"), "previous");
    EXPECT_EQ(entries(dir), 2u) << "output or temporary file left behind";
  }

  EXPECT_EQ(pack(dir, dir + "/missing -o " + dir + "/out.dat").status, 1);
  EXPECT_EQ(pack(dir, dir + "/in").status, 2);
  write_file(dir + "/in", as_text(plain));
  EXPECT_EQ(pack(dir, dir + "/in -o " + dir + "/in").status, 1);
  EXPECT_EQ(read_file(dir + "/in"), as_text(plain)) << "input overwritten";
}

TEST(Packer, IgnoredRecordsGiveANoticeAndStillPack) {
  const TempDir temp;
  const std::string& dir = temp.path;
  const Bytes plain = random_image();
  const std::string body = data_records(plain, 0, 8192, 32, false, false, "\n");
  write_file(dir + "/plain.hex", body + end_record);
  write_file(dir + "/noted.hex", record(0, 3, {0, 0, 1, 0}) + "\n" + body + record(0, 5, {0, 0, 0, 0}) + "\n" +
                                     record(0, 6, {7}) + "\n" + end_record);
  ASSERT_EQ(pack(dir, dir + "/plain.hex -o " + dir + "/plain.dat").status, 0);
  const PackRun r = pack(dir, dir + "/noted.hex -o " + dir + "/noted.dat");
  ASSERT_EQ(r.status, 0) << r.err;
  std::size_t notices = 0;
  for (std::size_t p = r.err.find("ignored"); p != std::string::npos; p = r.err.find("ignored", p + 1)) ++notices;
  EXPECT_EQ(notices, 3u) << r.err;
  EXPECT_EQ(read_file(dir + "/noted.dat"), read_file(dir + "/plain.dat"));
}

TEST(Packer, EmittedSourceCarriesTheContainerAndMatchesTheBuild) {
  const TempDir temp;
  const std::string& dir = temp.path;
  const std::string demo = std::string(TOLVERN_SOURCE_DIR) + "/firmware/demo-firmware.hex";
  ASSERT_EQ(pack(dir, "'" + demo + "' -o " + dir + "/demo.dat --emit-cpp " + dir + "/demo.cpp").status, 0);
  const std::string container = read_file(dir + "/demo.dat");
  const std::string source = read_file(dir + "/demo.cpp");
  std::string parsed;
  for (std::size_t p = source.find("0x"); p != std::string::npos; p = source.find("0x", p + 4)) {
    parsed += static_cast<char>(std::strtoul(source.substr(p, 4).c_str(), nullptr, 16));
  }
  EXPECT_EQ(parsed, container);
  EXPECT_EQ(container, std::string(reinterpret_cast<const char*>(image::embedded_container), image::container_size))
      << "the build's embedded container is not the demo firmware (TOLVERN_FIRMWARE set?)";
}

}  // namespace
