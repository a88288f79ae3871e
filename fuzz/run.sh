#!/usr/bin/env bash
# Runs the fuzz targets of build/fuzz for a bounded time each, from their seed corpora, and
# prints each one's throughput. A crash, a broken rule, a leak or a hang (10 s on one input)
# fails the run; the input that did it is kept in build/fuzz/artifacts/.
#
# usage: fuzz/run.sh [SECONDS] [TARGET...]   (default 25 s each; targets as in fuzz/corpus/)
# New inputs the fuzzer finds go to a scratch directory that is removed afterwards; set
# TOLVERN_FUZZ_KEEP=DIR to keep them in DIR/TARGET (and to start from them next time).
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-25}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(command-line container intel-hex devmap-registry devmap-sysfs keyboard)

if [ -n "${TOLVERN_FUZZ_KEEP:-}" ]; then
  work=$TOLVERN_FUZZ_KEEP
else
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
fi
mkdir -p build/fuzz/artifacts
for t in "${targets[@]}"; do
  mkdir -p "$work/$t"
  log="$work/$t.log"
  if ! "build/fuzz/fuzz/fuzz-$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
       -artifact_prefix="build/fuzz/artifacts/$t-" "$work/$t" "fuzz/corpus/$t" </dev/null >"$log" 2>&1; then
    tail -n 40 "$log"
    echo "fuzz-$t FAILED; the input is in build/fuzz/artifacts/" >&2
    exit 1
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
  printf 'fuzz-%-16s %9s runs  %6s execs/s\n' "$t" "$runs" "$rate"
done
