#!/usr/bin/env bash
# Builds Tolvern and programs the simulated chip with the embedded firmware, confirming the
# last-chance prompt automatically, then prints the simulated world's summary. It says first
# which firmware the build carries: the setting stays in build/release once given.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset release >/dev/null
cmake --build --preset release --target tolvern-sim
firmware="$(sed -n 's/^TOLVERN_FIRMWARE:FILEPATH=//p' build/release/CMakeCache.txt)"
if [ "$firmware" = "$PWD/firmware/demo-firmware.hex" ]; then
  echo "Embedded firmware: the demo placeholder ($firmware)"
else
  echo "Embedded firmware: $firmware"
  echo "  (back to the demo: cmake --preset release -U TOLVERN_FIRMWARE -U TOLVERN_SILICON_ID)"
fi
exec build/release/tolvern-sim --confirm --summary "$@"
