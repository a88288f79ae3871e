// The manual pages against the programs: each page renders without a groff warning, documents
// exactly the switches of its program's own table, and tolvern(1) gives every exit code of
// README's table.
#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <vector>

#include "app/command_line.h"
#include "sim/names.h"
#include "tests/harness.h"
#include "tools/pack_options.h"

namespace {

const std::string man_dir = std::string(TOLVERN_SOURCE_DIR) + "/man/";

// A shell command's standard output (and error, when asked) and its exit status.
std::string run(const std::string& command, int* status) {
  std::string out;
  std::FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) {
    *status = -1;
    return out;
  }
  char buffer[4096];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
  const int raw = pclose(pipe);
  *status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  return out;
}

// The page as plain text on long lines without hyphenation, so no name is ever split.
std::string render(const std::string& page) {
  int status = 0;
  const std::string text = run("groff -man -Tascii -P-cbou -rLL=250n -rHY=0 '" + man_dir + page + ".1'", &status);
  EXPECT_EQ(status, 0) << page;
  return text;
}

// The lines of one section: from its heading to the next heading (a line at column 0).
std::vector<std::string> section(const std::string& text, const std::string& heading) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  std::string line;
  bool inside = false;
  while (std::getline(in, line)) {
    const bool is_heading = !line.empty() && line[0] != ' ';
    if (is_heading) inside = line == heading;
    else if (inside) lines.push_back(line);
  }
  return lines;
}

// The words of a section's tags (.TP: the lines indented by exactly seven spaces), split at
// spaces, commas and '='. A tag narrower than the seven-column indent of its paragraph shares
// its line with the paragraph's first words, which start at column 14.
std::set<std::string> tag_words(const std::vector<std::string>& lines) {
  std::set<std::string> words;
  for (const std::string& line : lines) {
    if (line.compare(0, 7, "       ") != 0 || line.size() < 8 || line[7] == ' ') continue;
    const bool shares_line = line.size() > 14 && line[13] == ' ' && line[14] != ' ';
    std::string word;
    for (const char c : line.substr(7, shares_line ? 7 : std::string::npos) + " ") {
      if (c == ' ' || c == ',' || c == '=') {
        if (!word.empty()) words.insert(word);
        word.clear();
      } else {
        word += c;
      }
    }
  }
  return words;
}

std::set<std::string> switches_in(const std::set<std::string>& words) {
  std::set<std::string> out;
  for (const std::string& w : words)
    if (w.size() > 1 && w[0] == '-') out.insert(w);
  return out;
}

std::string joined(const std::set<std::string>& words) {
  std::string s;
  for (const std::string& w : words) s += w + " ";
  return s;
}

TEST(ManualPages, RenderWithoutWarnings) {
  for (const char* page : {"tolvern", "tolvern-pack", "tolvern-sim"}) {
    SCOPED_TRACE(page);
    int status = 0;
    const std::string warnings = run("groff -man -ww -z '" + man_dir + page + ".1' 2>&1", &status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(warnings, "");
    const std::string text = render(page);
    for (const char* heading : {"NAME", "SYNOPSIS", "DESCRIPTION", "OPTIONS", "EXIT STATUS", "EXAMPLES", "SEE ALSO"}) {
      EXPECT_FALSE(section(text, heading).empty()) << heading;
    }
  }
}

// Each page's OPTIONS section names exactly the switches of its program's table.
TEST(ManualPages, OptionsAreTheProgramsSwitches) {
  std::set<std::string> tolvern;
  for (const app::Switch& s : app::switches) {
    // -C takes its port number joined to it: the page shows "-Cn".
    tolvern.insert(std::string("-") + s.letter + (s.form == app::SwitchForm::port_number ? "n" : ""));
  }
  std::set<std::string> pack;
  for (const pack_options::Switch& s : pack_options::switches) {
    std::string name = s.name;
    if (!name.empty() && name.back() == '=') name.pop_back();
    pack.insert(name);
  }
  std::set<std::string> sim_options;
  for (const auto& o : sim::names::world_options) sim_options.insert(o.name);
  for (const auto& o : sim::names::world_settings) sim_options.insert(o.name);

  const struct { const char* page; std::set<std::string> table; } pages[] = {
      {"tolvern", tolvern}, {"tolvern-pack", pack}, {"tolvern-sim", sim_options}};
  for (const auto& p : pages) {
    SCOPED_TRACE(p.page);
    const std::set<std::string> documented = switches_in(tag_words(section(render(p.page), "OPTIONS")));
    EXPECT_EQ(joined(documented), joined(p.table));
  }
}

// tolvern-sim(1) names every chip fault its --fault takes.
TEST(ManualPages, SimPageNamesEveryChipFault) {
  const std::string text = render("tolvern-sim");
  for (const auto& f : sim::names::chip_faults) {
    const std::string name = f.name;
    EXPECT_TRUE(text.find(name + ",") != std::string::npos || text.find(name + ".") != std::string::npos) << name;
  }
}

// Every code of README's table of exit codes heads an entry of tolvern(1)'s EXIT STATUS.
TEST(ManualPages, TolvernPageHasEveryExitCodeOfTheReadme) {
  const std::string readme = harness::read_file(std::string(TOLVERN_SOURCE_DIR) + "/README.md");
  const std::size_t table = readme.find("### Exit codes");
  ASSERT_NE(table, std::string::npos);
  std::vector<std::string> codes;
  std::istringstream in(readme.substr(table));
  std::string line;
  std::getline(in, line);
  while (std::getline(in, line)) {
    if (line.rfind("#", 0) == 0) break;
    if (line.rfind("| ", 0) != 0) continue;
    // The first cell: one code or several separated by commas ("129, 130, 143").
    std::istringstream cell(line.substr(2, line.find(" |", 2) - 2));
    std::string code;
    while (std::getline(cell, code, ',')) {
      code.erase(0, code.find_first_not_of(' '));
      if (!code.empty() && code.find_first_not_of("0123456789") == std::string::npos) codes.push_back(code);
    }
  }
  EXPECT_GE(codes.size(), 18u) << "README's table of exit codes not found whole";
  const std::set<std::string> documented = tag_words(section(render("tolvern"), "EXIT STATUS"));
  for (const std::string& code : codes) EXPECT_EQ(documented.count(code), 1u) << "exit code " << code;
}

}  // namespace
