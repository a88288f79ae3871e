// The tolvern-sim program run as a child process: the flash dump, the summary, world options
// reaching the world, and the refusal of bad world options.
#include <sys/wait.h>

#include <cstdlib>
#include <string>

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
  return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, harness::read_file(out), harness::read_file(err)};
}

bool contains(const std::string& s, const std::string& part) {
  return s.find(part) != std::string::npos;
}

std::string embedded_image() {
  image::reset_image();
  image::load_embedded_container();
  EXPECT_EQ(image::image_verify(), 0);  // also decodes the image
  std::string bytes;
  for (int i = 0; i < static_cast<int>(image::image_size); ++i)
    bytes.push_back(static_cast<char>(image::image_byte(i)));
  return bytes;
}

// World options reach the world: the exit status and the summary show what the tool met.
TEST(SimTool, OutcomesOfWholeRuns) {
  const harness::TempDir tmp;
  const std::string dir = tmp.path();
  const struct {
    std::string args;
    int status;
    const char* summary_line;
  } rows[] = {
      {"--cancel --summary -C1", 1, "erase-all 0"},
      // With -T the scripted key ends the line test after one cycle, not at a prompt.
      {"--cancel --summary -T -C1", 1, "DTR = 0\r\n"},
      {"--confirm --summary --fault=wrong-status:function=write-block,value=3 -C1", 101,
       "write-block 1 "},
      {"--confirm --summary --dump-flash=" + dir + "/flash.bin --ports=2:plain,4:busy,5:adapter",
       0, "flash equals image: yes"},
      {"--confirm --summary --fault=call:escape,nth=100,error=5 -C1", 5, "erase-all 0"},
      {"--confirm --summary --window-us=10 -C1", 10, "erase-all 0"},
      // A dump that cannot be written must not leave a successful run looking complete.
      {"--confirm --summary --dump-flash=" + dir + "/missing/flash.bin -C1", 2,
       "flash equals image: yes"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.args);
    const Child c = run_sim(dir, row.args);
    EXPECT_EQ(c.status, row.status) << c.out << c.err;
    EXPECT_TRUE(contains(c.out, row.summary_line)) << c.out;
  }
  EXPECT_TRUE(harness::read_file(dir + "/flash.bin") == embedded_image()) << "the dump";
}

TEST(SimTool, BadWorldOptionsRunNothing) {
  const harness::TempDir tmp;
  const std::string dir = tmp.path();
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
