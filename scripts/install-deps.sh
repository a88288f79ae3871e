#!/usr/bin/env bash
# Installs what a fresh Debian machine lacks to build and test Tolvern. Wine runs the Windows
# program in the tests: wine32 (an i386 package) for the 32-bit program, wine64 for its 64-bit
# build where the kernel runs no 32-bit code (README, Windows).
set -euo pipefail
packages=(cmake ninja-build g++ clang libclang-rt-14-dev libgtest-dev g++-mingw-w64-i686
          g++-mingw-w64-x86-64 valgrind g++-multilib wine wine64 wine32:i386)
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  dpkg --print-foreign-architectures | grep -qx i386 || $sudo dpkg --add-architecture i386
  $sudo apt-get update
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
fi
