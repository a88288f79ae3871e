#!/usr/bin/env bash
# Builds Tolvern and programs the simulated chip with the embedded firmware, confirming the
# last-chance prompt automatically, then prints the simulated world's summary.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset release >/dev/null
cmake --build --preset release --target tolvern-sim
exec build/release/tolvern-sim --confirm --summary "$@"
