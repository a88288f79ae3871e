#!/usr/bin/env bash
# Installs what a fresh Debian machine lacks to build and test Tolvern (libftdi1 for the
# native program's FT232R cable, found through pkg-config). Wine runs the Windows
# program in the tests: wine64 runs the 64-bit build of the same sources, which every kernel of
# this project's machines can start. The 32-bit program under wine32 needs an i386 foreign
# architecture and a kernel that runs 32-bit code (README, Windows): not installed here.
set -euo pipefail
packages=(cmake ninja-build g++ clang libclang-rt-14-dev libgtest-dev libftdi1-dev pkg-config
          g++-mingw-w64-i686 g++-mingw-w64-x86-64 valgrind wine wine64)
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
fi
