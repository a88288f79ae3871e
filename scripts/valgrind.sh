#!/usr/bin/env bash
# valgrind memcheck over whole runs of the tool in the simulated world (tolvern-sim of the
# release build): success with the log, ESC, a fault that ends in the record ending, a chip
# fault that ends in the no-response ending, discovery past a plain port, and the line test.
# AddressSanitizer (scripts/test.sh, sanitize preset) catches overflows and use after free;
# memcheck adds reads of uninitialised memory and leaks of the optimised program as shipped.
# Each run must end with its own exit code; a memcheck finding ends with 99.
set -uo pipefail
cd "$(dirname "$0")/.."
sim="$PWD/build/release/tolvern-sim"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
failed=0
run() {
  local want="$1"; shift
  (cd "$work" && valgrind -q --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=definite \
      "$sim" "$@" </dev/null >out.txt 2>err.txt)
  local got=$?
  if [ "$got" != "$want" ]; then
    echo "valgrind: tolvern-sim $* ended $got, expected $want"; cat "$work/err.txt"; failed=1
  else
    echo "valgrind: tolvern-sim $* - clean, exit $got"
  fi
}
run 0 --confirm -C1 -L
run 1 --cancel -C1
run 31 --confirm -C1 --fault=call:escape,nth=5000,error=31
run 100 --confirm -C1 --fault=busy-never-ends:function=write-block,nth=3
run 0 --confirm --ports=1:plain,2:adapter
run 1 --confirm -T -C1
run 0 --confirm --usb=FT232R -F
run 255 --confirm --usb=FT232R -F --fault=call:usb-transfer,nth=2000,error=1167
exit $failed
