#!/usr/bin/env bash
# One firmware setting for every build: a cross build (the Windows program) packs the firmware
# the native build whose packer it runs was configured with, and follows it when it changes.
# A stand-in native build (a cache and the real packer) keeps the real one untouched.
#   firmware_setting_test.sh BUILD_DIR SOURCE_DIR
test_name="firmware setting"
source "$(dirname "$0")/prologue.sh"

mkdir "$work/native"
ln -s "$build/tolvern-pack" "$work/native/tolvern-pack"
head -c 8192 /dev/zero | tr '\0' '\125' >"$work/own.bin"
printf 'TOLVERN_FIRMWARE:FILEPATH=%s\nTOLVERN_SILICON_ID:STRING=0x1234\n' "$work/own.bin" >"$work/native/CMakeCache.txt"
cmake -S "$source" -B "$work/cross" -G Ninja --toolchain "$source/cmake/mingw-w64-i686.cmake" \
      -DTOLVERN_TESTS=OFF -DTOLVERN_PACKER="$work/native/tolvern-pack" >"$work/configure.txt" 2>&1 ||
  { cat "$work/configure.txt"; fail "the cross build does not configure"; }
grep -q "Embedded firmware: $work/own.bin" "$work/configure.txt" || fail "the cross build does not name the native build's firmware"
ninja -C "$work/cross" generated/embedded_container.cpp >"$work/pack.txt" 2>&1 || { cat "$work/pack.txt"; fail "packing"; }
grep -q "Packing $work/own.bin" "$work/pack.txt" || fail "the native build's firmware was not packed"
grep -q -- "--silicon-id=0x1234" "$work/cross/build.ninja" || fail "the native build's SiliconID was not used"

# The native build goes back to the demo: the cross build follows at its next build.
printf 'TOLVERN_FIRMWARE:FILEPATH=%s\nTOLVERN_SILICON_ID:STRING=\n' "$source/firmware/demo-firmware.hex" >"$work/native/CMakeCache.txt"
ninja -C "$work/cross" generated/embedded_container.cpp >"$work/repack.txt" 2>&1 || { cat "$work/repack.txt"; fail "repacking"; }
grep -q "Packing $source/firmware/demo-firmware.hex" "$work/repack.txt" || fail "the cross build kept the old firmware"
echo "firmware setting: the cross build follows the native build's"
