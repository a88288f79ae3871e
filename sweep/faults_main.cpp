// tolvern-faults: the fault sweep. Thousands of whole programming runs in the simulated world,
// each with one injected failure (a serial call failing at call N or at the Nth call of one
// kind, a chip fault, the counter failing, the log's file hitting its size limit, the
// operator's keys, the end of input, ports without or with two adapters), and after each run
// the promises every ending must keep:
//   - it returns within bounded simulated and real time;
//   - it ends 0 only with the flash equal to the image, the protection set and the target off;
//   - any other ending is non-zero and its code is the one the transcript's ending shows;
//   - the target is unpowered (RTS off, clock low, break off), unless the failed call was the
//     last switch of that very line;
//   - no port is left open, unless its last CloseHandle was the failed call;
//   - with -L the log holds exactly the console's messages, up to a failed write.
// It prints the number of runs and of invariants held, and the first violation in full.
//
// The tool's state is module-level, so runs are spread over forked workers, one process each.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "sweep/fault_sweep.h"

using namespace fault_sweep;

namespace {

unsigned real_limit = real_limit_s;  // seconds a run may take before its worker is killed

struct Totals {
  long long runs = 0, checked = 0, held = 0, violations = 0;
  long long runs_with_gaps = 0, gaps = 0;
  double gap_us = 0;
  double simulated_max = 0, real_max = 0;
  std::string first;
};

// Runs the cases index, index + stride, ... from `from` on; one line per case into out.
void worker(const std::vector<Case>& cases, const std::vector<std::size_t>& order, std::size_t from,
            std::size_t stride, const std::string& out_path) {
  std::FILE* out = std::fopen(out_path.c_str(), "a");
  if (out == nullptr) _exit(3);
  for (std::size_t i = from; i < order.size(); i += stride) {
    const Case& c = cases[order[i]];
    alarm(real_limit);
    Watch watch;
    const Outcome o = run_case(c, false, &watch);
    alarm(0);
    const Verdict v = judge(c, o, watch);
    std::string detail;
    if (!v.first_violation.empty()) {
      detail = describe(c) + "\n  violated: " + v.first_violation + "\n  exit code " +
               std::to_string(o.exit_code) + ", simulated " + std::to_string(o.simulated_s) +
               " s, struck: " + (watch.struck.empty() ? "nothing" : watch.struck) +
               "\n  lines: rts " + std::to_string(o.lines.rts) + " dtr " + std::to_string(o.lines.dtr) +
               " break " + std::to_string(o.lines.brk) + " open " + std::to_string(o.lines.open) +
               "\n  transcript:\n" + utf8(o.console);
      for (char& ch : detail)
        if (ch == '\n') ch = '\x1F';  // one line per case in the file
    }
    std::fprintf(out, "%zu %d %d %.6f %.6f %lld %.1f %s\n", i, v.checked, v.held, o.simulated_s, o.real_s,
                 o.gaps_in_calls, o.gap_us_in_calls, detail.c_str());
    std::fflush(out);
  }
  std::fclose(out);
  _exit(0);
}

void read_results(const std::string& path, Totals* t, std::vector<bool>* done) {
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream ls(line);
    std::size_t i;
    int checked, held;
    double sim_s, real_s, gap_us;
    long long gaps;
    if (!(ls >> i >> checked >> held >> sim_s >> real_s >> gaps >> gap_us)) continue;
    (*done)[i] = true;
    ++t->runs;
    t->runs_with_gaps += gaps > 0 ? 1 : 0;
    t->gaps += gaps;
    t->gap_us += gap_us;
    t->checked += checked;
    t->held += held;
    t->simulated_max = std::max(t->simulated_max, sim_s);
    t->real_max = std::max(t->real_max, real_s);
    if (held != checked) {
      ++t->violations;
      std::string rest;
      std::getline(ls, rest);
      for (char& ch : rest)
        if (ch == '\x1F') ch = '\n';
      if (t->first.empty()) t->first = rest;
    }
  }
}

void remove_tree(const std::string& root) {
  const std::string command = "rm -rf '" + root + "'";
  if (std::system(command.c_str()) != 0) std::fprintf(stderr, "could not remove %s\n", root.c_str());
}

int usage() {
  std::fprintf(stderr,
               "usage: tolvern-faults [--sample N] [--match TEXT] [--jobs N] [--list] [--real-limit S]\n"
               "  --sample N  run about N of the cases (every category represented)\n"
               "  --match TEXT  only the cases whose description holds TEXT\n"
               "  --jobs N    worker processes (default 2)\n"
               "  --list      print the cases and exit\n"
               "  --real-limit S  seconds of real time a run may take (default 60)\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  long sample = 0;
  int jobs = 2;
  bool list = false;
  std::string match;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--sample" && i + 1 < argc) sample = std::atol(argv[++i]);
    else if (a == "--jobs" && i + 1 < argc) jobs = std::max(1, std::atoi(argv[++i]));
    else if (a == "--match" && i + 1 < argc) match = argv[++i];
    else if (a == "--list") list = true;
    else if (a == "--real-limit" && i + 1 < argc) real_limit = static_cast<unsigned>(std::max(1, std::atoi(argv[++i])));
    else return usage();
  }
  char dir_template[] = "/tmp/tolvern-faults-XXXXXX";
  if (mkdtemp(dir_template) == nullptr) {
    std::perror("tolvern-faults: mkdtemp");
    return 2;
  }
  const std::string root = dir_template;
  work_dir = root + "/reference";
  mkdir(work_dir.c_str(), 0700);

  const auto started = std::chrono::steady_clock::now();
  std::vector<Case> cases = build_cases();
  if (!match.empty()) {
    cases.erase(std::remove_if(cases.begin(), cases.end(),
                               [&](const Case& c) { return describe(c).find(match) == std::string::npos; }),
                cases.end());
  }
  std::vector<std::size_t> order;
  if (sample > 0 && static_cast<std::size_t>(sample) < cases.size()) {
    const std::size_t step = cases.size() / static_cast<std::size_t>(sample) + 1;
    for (std::size_t i = 0; i < cases.size(); ++i)
      if (cases[i].always || i % step == step / 2) order.push_back(i);
  } else {
    for (std::size_t i = 0; i < cases.size(); ++i) order.push_back(i);
  }
  if (list) {
    for (std::size_t i : order) std::printf("%s\n", describe(cases[i]).c_str());
    remove_tree(root);
    return 0;
  }

  // Workers take every jobs-th case; one that dies (a run past the real-time limit, a crash)
  // is reported for the case it was running and replaced from the next one.
  Totals t;
  std::vector<bool> done(order.size(), false);
  std::vector<std::size_t> next(static_cast<std::size_t>(jobs));
  std::vector<pid_t> pids(static_cast<std::size_t>(jobs), 0);
  std::vector<std::string> files;
  int file_serial = 0;
  auto start_worker = [&](int w, std::size_t from) {
    const std::string path = root + "/results-" + std::to_string(file_serial++);
    files.push_back(path);
    const std::string wd = root + "/w" + std::to_string(w) + "-" + std::to_string(file_serial);
    mkdir(wd.c_str(), 0700);
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
      work_dir = wd;
      worker(cases, order, from, static_cast<std::size_t>(jobs), path);
    }
    pids[static_cast<std::size_t>(w)] = pid;
    return path;
  };
  for (int w = 0; w < jobs; ++w) start_worker(w, static_cast<std::size_t>(w));
  int running = jobs;
  std::vector<std::string> died;
  std::vector<bool> lost(order.size(), false);
  while (running > 0) {
    int status = 0;
    const pid_t pid = wait(&status);
    if (pid < 0) break;
    const auto w = static_cast<std::size_t>(std::find(pids.begin(), pids.end(), pid) - pids.begin());
    if (w >= pids.size()) continue;
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
      --running;
      continue;
    }
    // The case it was running: the first of its share that no results file holds and that
    // is not already reported.
    std::vector<bool> all(order.size(), false);
    Totals ignored;
    for (const std::string& f : files) read_results(f, &ignored, &all);
    std::size_t first_missing = w;
    while (first_missing < order.size() && (all[first_missing] || lost[first_missing]))
      first_missing += static_cast<std::size_t>(jobs);
    if (first_missing >= order.size()) {
      --running;
      continue;
    }
    lost[first_missing] = true;
    died.push_back(describe(cases[order[first_missing]]) + "\n  violated: the run did not return (" +
                   (WIFSIGNALED(status)
                        ? "signal " + std::to_string(WTERMSIG(status)) +
                              (WTERMSIG(status) == SIGALRM
                                   ? ": past " + std::to_string(real_limit) + " s of real time"
                                   : std::string())
                        : "exit " + std::to_string(WEXITSTATUS(status))) +
                   ")");
    start_worker(static_cast<int>(w), first_missing + static_cast<std::size_t>(jobs));
  }
  for (const std::string& f : files) read_results(f, &t, &done);
  t.runs += static_cast<long long>(died.size());
  t.checked += static_cast<long long>(died.size());
  t.violations += static_cast<long long>(died.size());
  if (t.first.empty() && !died.empty()) t.first = died.front();
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

  std::printf("tolvern-faults: %lld runs of %zu cases, %d workers, %.0f s\n", t.runs, cases.size(),
              jobs, wall);
  std::printf("invariants held: %lld of %lld\n", t.held, t.checked);
  std::printf("longest run: %.1f s simulated, %.2f s real\n", t.simulated_max, t.real_max);
  std::printf("cable runs that left a call unsampled for a while: %lld (%lld stretches, %.0f us in all)\n",
              t.runs_with_gaps, t.gaps, t.gap_us);
  std::printf("runs with a violation: %lld\n", t.violations);
  if (!t.first.empty()) std::printf("first violation:\n%s\n", t.first.c_str());
  remove_tree(root);
  return t.violations == 0 && t.runs == static_cast<long long>(order.size()) ? 0 : 1;
}
