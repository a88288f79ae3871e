// tolvern-bench: one full programming run on the simulated world, with its counts and costs.
#include <cstdio>

int main() {
  std::printf("tolvern-bench: not measuring yet\n");
  return 0;
}
