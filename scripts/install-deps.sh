#!/usr/bin/env bash
# Installs what a fresh Debian machine lacks to build and test Tolvern (libftdi1 for the
# native program's FT232R cable, found through pkg-config). Wine runs the Windows program in
# the tests. The shipped program is the 32-bit one: where this kernel runs 32-bit code (decided
# by running a tiny i386 program, never assumed: kernels differ between machines), wine32 and
# g++-multilib come too, with the i386 foreign architecture, and the wine suite runs the
# shipped program; elsewhere wine64 runs the 64-bit build of the same sources.
set -euo pipefail
cd "$(dirname "$0")/.."
packages=(cmake ninja-build g++ clang libclang-rt-14-dev libgtest-dev libftdi1-dev pkg-config lintian groff-base
          g++-mingw-w64-i686 g++-mingw-w64-x86-64 valgrind wine wine64)
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
apt_install() {
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 install -y --no-install-recommends "$@"
}
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  $sudo apt-get -o DPkg::Lock::Timeout=600 update
  apt_install "${missing[@]}"
fi
if scripts/runs-i386.sh; then
  if ! dpkg -s wine32:i386 g++-multilib >/dev/null 2>&1; then
    $sudo dpkg --add-architecture i386
    $sudo apt-get -o DPkg::Lock::Timeout=600 update
    apt_install wine32:i386 g++-multilib
  fi
  echo "install-deps: this kernel runs 32-bit code: wine32 runs the shipped 32-bit program"
else
  echo "install-deps: this kernel does not run 32-bit code: the wine suite tests the 64-bit build"
fi
