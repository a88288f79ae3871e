#!/usr/bin/env bash
# Runs the suites that depend on threads, timing and the outside world many times over, with
# one CPU-bound process per core beside them (at nice 19), and says how many runs passed: the
# test command must give the same answer every time. Run it before resolving a change that
# touches timing, threads, the virtual serial port, the virtual USB bus or the wine suite; CI does
# not run it.
#
#   scripts/stress.sh [N]   N passes of each suite (default 5)
#
# Needs the builds of scripts/test.sh (release, mingw32 or mingw64, vserial32 where it runs).
set -uo pipefail
cd "$(dirname "$0")/.."
passes=${1:-5}
start=$(date +%s)
hogs=()
for _ in $(seq "$(nproc)"); do
  nice -n 19 sh -c 'while :; do :; done' &
  hogs+=($!)
done
trap 'kill "${hogs[@]}" 2>/dev/null' EXIT
log=$(mktemp -d /tmp/tolvern-stress-XXXXXX)
summary=()

# count NAME TIMES COMMAND...: runs COMMAND TIMES times, keeps the output of every failure.
count() {
  local name=$1 times=$2 passed=0 t0
  shift 2
  t0=$(date +%s)
  for i in $(seq "$times"); do
    if "$@" > "$log/$name.$i.log" 2>&1; then
      passed=$((passed + 1))
      rm -f "$log/$name.$i.log"
    fi
  done
  summary+=("$(printf '%-34s %4d of %-4d passed  %5d s' "$name" "$passed" "$times" $(( $(date +%s) - t0 )))")
  echo "${summary[-1]}"
}

count "release suite" "$passes" ctest --preset release -LE 'vserial|usb|wine'
count "virtual serial suite" "$passes" ctest --preset release -L vserial
count "virtual USB suite" "$passes" ctest --preset release -L usb
count "wine suite" "$passes" ctest --preset wine

# Every PosixFakeTree test 3000 times in one process; an iteration with a failure ends with
# "N FAILED TEST(S)".
t0=$(date +%s)
build/release/tolvern-tests --gtest_filter='PosixFakeTree.*' --gtest_repeat=3000 > "$log/posix.log" 2>&1
runs=$((3000 - $(grep -cE '^ *[0-9]+ FAILED TESTS?$' "$log/posix.log")))
summary+=("$(printf '%-34s %4d of %-4d passed  %5d s' "PosixFakeTree (all tests, repeated)" "$runs" 3000 $(( $(date +%s) - t0 )))")
echo "${summary[-1]}"

count "Wine.ProgramsTheSimulatedChip" 20 build/release/tolvern-wine-tests --gtest_filter=Wine.ProgramsTheSimulatedChip

echo
echo "stress: $(nproc) CPU-bound processes beside the runs; logs of failures in $log"
printf '%s\n' "${summary[@]}"
echo "stress: $(( $(date +%s) - start )) s in all"
