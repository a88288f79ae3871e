// The tolvern-sim program run as a child process: scripted answers, the flash dump, the
// summary, fault and port options, and its refusal of bad world options.
#include <sys/wait.h>

#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "image/container.h"
#include "tests/harness.h"

namespace {

struct Child {
  int status;  // exit status, or -1 when the child did not exit normally
  std::string out;
  std::string err;
};

Child run_sim(const std::string& dir, const std::string& args) {
  const std::string out = dir + "/out.txt";
  const std::string err = dir + "/err.txt";
  const std::string command = std::string(TOLVERN_SIM) + " " + args + " </dev/null >" + out +
                              " 2>" + err;
  const int raw = std::system(command.c_str());
  Child c{WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, harness::read_file(out), harness::read_file(err)};
  return c;
}

bool contains(const std::string& s, const std::string& part) {
  return s.find(part) != std::string::npos;
}

std::string embedded_image() {
  image::reset_image();
  image::load_embedded_container();
  EXPECT_EQ(image::image_verify(), 0);
  std::string bytes;
  for (int i = 0; i < static_cast<int>(image::image_size); ++i) {
    bytes.push_back(static_cast<char>(image::image_byte(i)));
  }
  return bytes;
}

TEST(SimTool, ConfirmDumpsTheProgrammedFlashAndSummarises) {
  const std::string dir = harness::make_temp_dir();
  const std::string dump = dir + "/flash.bin";
  const Child c = run_sim(dir, "--confirm --summary --dump-flash=" + dump + " -C1");
  EXPECT_EQ(c.status, 0) << c.out << c.err;
  EXPECT_EQ(harness::read_file(dump), embedded_image());
  EXPECT_TRUE(contains(c.out, "flash equals image: yes")) << c.out;
  EXPECT_TRUE(contains(c.out, "erase-all 1")) << c.out;
  EXPECT_TRUE(contains(c.out, "write-block 128")) << c.out;
  EXPECT_TRUE(contains(c.out, "read-block 256")) << c.out;
  EXPECT_TRUE(contains(c.out, "checksum 255")) << c.out;
  // Protection pattern: 0xFF everywhere but byte 31.
  std::string row;
  for (int k = 0; k < 32; ++k) row += k == 31 ? " 00" : " FF";
  EXPECT_TRUE(contains(c.out, "protection bytes:  " + row)) << c.out;
}

TEST(SimTool, OutcomesOfWholeRuns) {
  const struct {
    const char* args;
    int status;
    const char* summary_line;
  } rows[] = {
      {"--cancel --summary -C1", 1, "erase-all 0"},
      {"--confirm --summary --fault=wrong-status:function=write-block,value=3 -C1", 101,
       "write-block 1 "},
      {"--confirm --summary --fault=stuck-high-after-release:function=protect -C1", 100,
       "protect 1 "},
      {"--confirm --summary --ports=3:plain,4:busy", 1, "erase-all 0"},
      {"--confirm --summary --ports=2:plain,5:adapter", 0, "flash equals image: yes"},
      {"--confirm --summary --fault=call:escape,nth=100,error=5 -C1", 5, "erase-all 0"},
      {"--confirm --summary --window-us=10 -C1", 10, "erase-all 0"},
  };
  const std::string dir = harness::make_temp_dir();
  for (const auto& row : rows) {
    SCOPED_TRACE(row.args);
    const Child c = run_sim(dir, row.args);
    EXPECT_EQ(c.status, row.status) << c.out << c.err;
    EXPECT_TRUE(contains(c.out, row.summary_line)) << c.out;
  }
}

TEST(SimTool, HelpAndBadWorldOptions) {
  const std::string dir = harness::make_temp_dir();
  const Child help = run_sim(dir, "--help");
  EXPECT_EQ(help.status, 0);
  for (const char* option : {"--confirm", "--cancel", "--dump-flash=", "--ports=", "--fault=",
                             "--window-us=", "--latency-us=", "--summary", "--help"}) {
    EXPECT_TRUE(contains(help.out, option)) << option;
  }

  for (const char* bad : {"--bogus", "--fault=nonsense", "--fault=no-busy:colour=3",
                          "--fault=call:escape,nth=0", "--ports=1:toaster", "--ports=0:adapter",
                          "--latency-us=abc", "--window-us=-5", "--confirm --cancel",
                          "--dump-flash="}) {
    SCOPED_TRACE(bad);
    const Child c = run_sim(dir, std::string(bad) + " -C1");
    EXPECT_EQ(c.status, 2);
    EXPECT_TRUE(contains(c.err, "tolvern-sim:")) << c.err;
    EXPECT_TRUE(c.out.empty()) << c.out;  // the tool never ran
  }
}

}  // namespace
