#!/usr/bin/env bash
# The Debian package as a user gets it: made by CPack from the release build, unpacked into a
# scratch root with dpkg -x, its programs started through PATH from a folder of their own. A
# program started by a bare name takes the current directory as its program directory, so
# the data file and the log are there, never beside the binaries in usr/bin.
#   deb_test.sh BUILD_DIR SOURCE_DIR
test_name="deb package"
source "$(dirname "$0")/prologue.sh"

(cd "$build" && cpack -G DEB -B "$work/out" >"$work/cpack.txt") || { cat "$work/cpack.txt"; fail "cpack failed"; }
deb="$(ls "$work"/out/tolvern_*_amd64.deb)"
[ "$(dpkg-deb -f "$deb" Package)" = tolvern ] || fail "package name"
dpkg -x "$deb" "$work/root"
# The FT232R cable's library, and a package behind every shared library a program names (its
# libraries' own needs are their packages' dependencies).
depends="$(dpkg-deb -f "$deb" Depends)"
depends_on() { echo "$depends" | tr ',' '\n' | sed 's/^ *//; s/ .*//' | grep -qxF "$1"; }
depends_on libftdi1-2 || fail "no dependency on libftdi1-2: $depends"
for program in tolvern tolvern-pack tolvern-sim; do
  needed="$(objdump -p "$work/root/usr/bin/$program" | awk '$1 == "NEEDED" {print $2}')"
  for lib in $(ldd "$work/root/usr/bin/$program" |
               awk -v needed=" $(echo $needed) " '$2 == "=>" && $3 ~ /^\// && index(needed, " " $1 " ") {print $3}'); do
    owner="$(dpkg -S "$lib" 2>/dev/null || dpkg -S "$(realpath "$lib")" 2>/dev/null || true)"
    owner="${owner%%:*}"
    [ -n "$owner" ] || fail "$program loads $lib, which no package provides"
    depends_on "$owner" || fail "$program loads $lib from $owner, not among the dependencies: $depends"
  done
done
for f in usr/bin/tolvern usr/bin/tolvern-pack usr/bin/tolvern-sim usr/share/doc/tolvern/README.md \
         usr/share/doc/tolvern/FIRMWARE.md usr/share/doc/tolvern/copyright usr/share/doc/tolvern/changelog.gz \
         usr/share/man/man1/tolvern.1.gz usr/share/man/man1/tolvern-pack.1.gz usr/share/man/man1/tolvern-sim.1.gz \
         lib/udev/rules.d/60-tolvern.rules; do
  [ -f "$work/root/$f" ] || fail "$f missing"
done

# What Debian's own checker says: any error or warning fails, an override needs its reason in
# packaging/lintian-overrides. Info tags (hardening, .comment sections) are left to the build.
# (It also checks the compressed pages and changelog: gzip -9n, no name or time stamp.)
status=0
lintian --fail-on error,warning --no-tag-display-limit "$deb" >"$work/lintian.txt" 2>&1 || status=$?
if [ "$status" != 0 ] || grep -E '^[EW]: ' "$work/lintian.txt"; then
  cat "$work/lintian.txt"
  fail "lintian ended $status"
fi
# The maintainer scripts, run in a private mount namespace with a tmpfs over /run (with or
# without /run/udev, where a running udev keeps its state) and a udevadm that only notes its
# arguments: after installing, udev reloads its rules and replays the USB devices' events;
# after removing, it reloads them; where udev does not run, nothing is called.
dpkg-deb -e "$deb" "$work/control"
mkdir "$work/fakebin"
printf '#!/bin/sh\necho "udevadm $*" >>"%s"\n' "$work/udevadm.txt" >"$work/fakebin/udevadm"
chmod +x "$work/fakebin/udevadm"
maintainer_script() {  # SCRIPT ARGUMENT UDEV_RUNS: the udevadm calls it made
  rm -f "$work/udevadm.txt"
  unshare -m --propagation private sh -c 'mount -t tmpfs none /run && { [ "$3" = no ] || mkdir /run/udev; } &&
    PATH="$0:$PATH" "$1" "$2"' "$work/fakebin" "$work/control/$1" "$2" "$3" ||
    fail "$1 $2 ended $? (udev running: $3)"
  cat "$work/udevadm.txt" 2>/dev/null || true
}
[ "$(maintainer_script postinst configure yes)" = "udevadm control --reload-rules
udevadm trigger --subsystem-match=usb --action=change" ] || fail "postinst configure: $(maintainer_script postinst configure yes)"
[ "$(maintainer_script postrm remove yes)" = "udevadm control --reload-rules" ] || fail "postrm remove: $(maintainer_script postrm remove yes)"
[ -z "$(maintainer_script postinst configure no)" ] || fail "postinst called udevadm where udev does not run"
[ -z "$(maintainer_script postinst abort-upgrade yes)" ] || fail "postinst abort-upgrade called udevadm"
rule="$(grep -v '^#' "$work/root/lib/udev/rules.d/60-tolvern.rules")"
for want in 'ATTR{idVendor}=="0403"' 'ATTR{idProduct}=="6001"' 'TAG+="uaccess"' 'GROUP="plugdev"' 'MODE="0660"'; do
  [[ "$rule" == *"$want"* ]] || fail "the udev rule lacks $want"
done
# One version: the package's, the native changelog's latest entry and the programs' own.
version="$(dpkg-deb -f "$deb" Version)"
[ "$(gzip -dc "$work/root/usr/share/doc/tolvern/changelog.gz" | head -1)" = "tolvern ($version) unstable; urgency=medium" ] ||
  fail "the changelog's latest entry is not version $version"
[ "$("$work/root/usr/bin/tolvern-pack" --version)" = "tolvern-pack $version" ] || fail "tolvern-pack --version is not $version"
[ "$("$work/root/usr/bin/tolvern-sim" --version)" = "tolvern-sim $version" ] || fail "tolvern-sim --version is not $version"
for page in "$work"/root/usr/share/man/man1/*.1.gz; do
  gzip -dc "$page" | cmp -s - "$source/man/$(basename "$page" .gz)" || fail "$page is not man/$(basename "$page" .gz)"
done

export PATH="$work/root/usr/bin:$PATH" LC_ALL=C.UTF-8
mkdir "$work/here"
cd "$work/here"
tolvern-pack "$source/firmware/demo-firmware.hex" -o Tolvern-demo.dat >pack.txt
[ "$(stat -c %s Tolvern-demo.dat)" = 8208 ] || fail "tolvern-pack made $(stat -c %s Tolvern-demo.dat) bytes"
status=0
tolvern-sim --confirm -L -D </dev/null >run.txt 2>&1 || status=$?
[ "$status" = 0 ] || { cat run.txt; fail "tolvern-sim --confirm -L -D ended $status"; }
grep -q "Работа с внешним файлом данных." run.txt || fail "the data file was not used"
grep -q "Работа успешно завершена." run.txt || fail "no success message"
[ -s Tolvern.log ] || fail "no Tolvern.log in the current directory"
[ ! -e "$work/root/usr/bin/Tolvern.log" ] || fail "Tolvern.log written beside the binary"
echo "deb package: $(basename "$deb") installs and runs from PATH"
