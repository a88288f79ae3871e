#!/usr/bin/env bash
# Builds everything and runs every test: the release build (with the Linux program run through
# the virtual serial port, and the Windows program under wine), the same tests under
# AddressSanitizer and UndefinedBehaviorSanitizer (built with Clang, so both compilers
# see the code with warnings as errors), valgrind memcheck over whole simulated runs, the
# 32-bit Windows cross build, and a bounded run of every fuzz target (20 s each).
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset release
cmake --build --preset release
ctest --preset release -LE 'vserial|usb|wine'
# The real Linux program through the virtual serial port and, with -F, the system's libftdi1 on
# the virtual USB bus (libvusb), in private mount namespaces.
ctest --preset release -L 'vserial|usb'
scripts/valgrind.sh
cmake --preset sanitize
cmake --build --preset sanitize
ctest --preset sanitize
cmake --preset mingw32
cmake --build --preset mingw32
echo "Windows build: build/mingw32/tolvern.exe"
# The Windows program under wine, in a private mount namespace: the shipped 32-bit program where
# this kernel runs 32-bit code and wine32 is installed (scripts/install-deps.sh decides), with
# the i386 virtual serial port; else the 64-bit build of the same sources. The suite says which.
if scripts/runs-i386.sh && dpkg -s wine32:i386 g++-multilib >/dev/null 2>&1; then
  cmake --preset vserial32
  cmake --build --preset vserial32
else
  echo "wine suite: no 32-bit wine here, the 64-bit build stands in for the shipped program"
fi
cmake --preset mingw64
cmake --build --preset mingw64
ctest --preset wine
cmake --preset fuzz
cmake --build --preset fuzz
fuzz/run.sh 20
