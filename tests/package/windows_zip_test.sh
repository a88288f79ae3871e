#!/usr/bin/env bash
# The Windows zip as a user unpacks it: made by CPack from the mingw32 build (the shipped
# 32-bit program), tolvern.exe with LICENSE.txt, README.txt, FIRMWARE.txt and TOLVERN.txt (the
# manual page as plain text: Windows has no man) beside it, every text with CR LF line ends.
#   windows_zip_test.sh BUILD_DIR SOURCE_DIR
test_name="windows zip"
source "$(dirname "$0")/prologue.sh"

cross="$source/build/mingw32"
[ -f "$cross/tolvern.exe" ] || fail "no $cross/tolvern.exe: build the mingw32 preset first"
stale=" (or the mingw32 build is older than the sources: cmake --build --preset mingw32)"
(cd "$cross" && cpack -G ZIP -B "$work/out" >"$work/cpack.txt") || { cat "$work/cpack.txt"; fail "cpack failed"; }
version="$("$build/tolvern-pack" --version)"
version="${version#tolvern-pack }"
zip="$work/out/tolvern-$version-win32.zip"
[ -f "$zip" ] || fail "no tolvern-$version-win32.zip: $(ls "$work/out")"
mkdir "$work/unpacked"
(cd "$work/unpacked" && cmake -E tar xf "$zip") || fail "the zip does not unpack"
folder="$work/unpacked/tolvern-$version-win32"
[ "$(cd "$folder" && ls | tr '\n' ' ')" = "FIRMWARE.txt LICENSE.txt README.txt TOLVERN.txt tolvern.exe " ] ||
  fail "the folder holds $(cd "$folder" && ls | tr '\n' ' ')"

for text in FIRMWARE.txt LICENSE.txt README.txt TOLVERN.txt; do
  file="$folder/$text"
  [ -s "$file" ] || fail "$text is empty"
  # Every line ends with CR LF: as many CRs as LFs, each LF preceded by a CR, the last byte LF.
  lines="$(tr -cd '\n' <"$file" | wc -c)"
  [ "$(tr -cd '\r' <"$file" | wc -c)" = "$lines" ] || fail "$text: not every line ends with CR LF, or a CR stands alone"
  [ "$(grep -c $'\r$' "$file")" = "$lines" ] || fail "$text has a line without CR LF"
  [ "$(tail -c 2 "$file" | od -An -tx1 | tr -d ' ')" = 0d0a ] || fail "$text does not end with CR LF"
done
tr -d '\r' <"$folder/LICENSE.txt" | cmp -s - "$source/LICENSE" || fail "LICENSE.txt is not LICENSE$stale"
tr -d '\r' <"$folder/README.txt" | cmp -s - "$source/README.md" || fail "README.txt is not README.md$stale"
tr -d '\r' <"$folder/FIRMWARE.txt" | cmp -s - "$source/firmware/README.md" || fail "FIRMWARE.txt is not firmware/README.md$stale"

# TOLVERN.txt: the current tolvern(1), plain ASCII that any editor shows (no overstriking,
# no escape sequences), in lines of at most 80 columns.
manual="$folder/TOLVERN.txt"
LC_ALL=C grep -q '[^[:print:][:space:]]' "$manual" && fail "TOLVERN.txt holds control or non-ASCII bytes"
[ "$(tr -d '\r' <"$manual" | awk '{ if (length > n) n = length } END { print n }')" -le 80 ] || fail "TOLVERN.txt has lines over 80 columns"
for heading in NAME SYNOPSIS OPTIONS 'EXIT STATUS' FILES; do
  grep -q "^$heading"$'\r$' "$manual" || fail "TOLVERN.txt has no $heading"
done
groff -man -Tascii -P-cbou -rLL=78n "$source/man/tolvern.1" | cmp -s - <(tr -d '\r' <"$manual") ||
  fail "TOLVERN.txt is not the current tolvern(1)$stale"
echo "windows zip: $(basename "$zip") carries tolvern.exe and its texts with CR LF line ends"
