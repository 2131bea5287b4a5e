#!/usr/bin/env bash
# The Debian package made from a build folder (deb_package.sh BUILD_FOLDER CPACK): built
# with cpack, checked for its files, dependencies and strip state, installed with dpkg,
# each program run once with its input ended, and removed without a trace (lintian checks
# it in scripts/test). dpkg installs into a private root and package database: nothing on
# the machine changes, no other package's triggers run, no root is needed. Exits 77
# (skipped) where dpkg is not installed.
set -euo pipefail
build=$1 cpack=${2:-cpack}
skip() { echo "skipped: $*"; exit 77; }
fail() { echo "FAILED: $*" >&2; exit 1; }

command -v dpkg >/dev/null && command -v dpkg-deb >/dev/null || skip "no dpkg"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# cpack packs the build as the suite found it. Told it is a Ninja build, cpack runs no
# build step; for a Makefile build it would run "make preinstall" over the whole test
# build (a second even with nothing to make), which could also relink programs that other
# tests are running.
"$cpack" -G DEB -D CPACK_CMAKE_GENERATOR=Ninja --config "$build/CPackConfig.cmake" -B "$work" >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log" >&2; fail "cpack"; }
deb=$(ls "$work"/kelvane_*.deb)

contents=$(dpkg-deb -c "$deb")
for file in usr/bin/Kelvane usr/bin/Dorvish usr/lib/kelvane/libkvgtk.so \
    usr/share/applications/kelvane.desktop usr/share/applications/dorvish.desktop \
    usr/share/man/man1/Kelvane.1.gz usr/share/man/man1/Dorvish.1.gz \
    usr/share/doc/kelvane/copyright usr/share/doc/kelvane/changelog.gz; do
  grep -q " \./$file\$" <<<"$contents" || fail "$file is not in the package"
done
# GTK only recommended: the programs run with the text dialogs without it.
depends=$(dpkg-deb -f "$deb" Depends)
recommends=$(dpkg-deb -f "$deb" Recommends)
grep -q 'libc6' <<<"$depends" || fail "Depends lacks libc6: $depends"
grep -q 'gtk' <<<"$depends" && fail "GTK is required: $depends"
grep -q 'libgtk-3-0' <<<"$recommends" || fail "Recommends lacks GTK: $recommends"
grep -q 'avahi-daemon' <<<"$recommends" || fail "Recommends lacks avahi-daemon: $recommends"
mkdir "$work/unpacked"
dpkg-deb -x "$deb" "$work/unpacked"
for entry in "$work"/unpacked/usr/share/applications/*.desktop; do
  grep -q '^Name\[de\]=' "$entry" && grep -q '^Comment\[de\]=' "$entry" || fail "$entry has no German name or comment"
  grep -qx 'Terminal=true' "$entry" || fail "$entry does not start its program on a terminal"
done
for binary in usr/bin/Kelvane usr/bin/Dorvish usr/lib/kelvane/libkvgtk.so; do
  readelf -S "$work/unpacked/$binary" >"$work/sections"
  grep -q '\.symtab' "$work/sections" && fail "$binary is not stripped"
done

# The private database knows the package's dependencies as this machine has them (their
# status, no files), so dpkg still refuses the package when a dependency is missing here
# or too old.
root=$work/root admin=$work/admin
mkdir -p "$root" "$admin/info" "$admin/updates" "$admin/triggers"
mapfile -t needed < <(tr ',|' '\n' <<<"$depends" | sed -E 's/\(.*//; s/[[:space:]]//g' | grep . | sort -u)
dpkg-query -s "${needed[@]}" >"$admin/status" 2>/dev/null || true
for p in $(dpkg-query -W -f='${binary:Package}\n' "${needed[@]}" 2>/dev/null); do : >$admin/info/$p.list; done
private_dpkg() {
  dpkg --admindir="$admin" --instdir="$root" --log="$work/dpkg.log" --force-not-root "$@" \
    >"$work/dpkg.out" 2>&1 || { cat "$work/dpkg.out" >&2; return 1; }
}
installed() { [ "$(dpkg-query --admindir="$admin" -W -f='${Status}' kelvane 2>/dev/null)" = "install ok installed" ]; }

private_dpkg -i "$deb" || fail "dpkg -i"
installed || fail "not installed after dpkg -i"
# Each program on a plain terminal without input asks its first questions and ends with 0.
cd "$work"
for program in Kelvane Dorvish; do
  out=$(env -u DISPLAY -u WAYLAND_DISPLAY -u KV_DIALOGS timeout 30 "$root/usr/bin/$program" </dev/null 2>&1) ||
    fail "$program ended with status $?: $out"
  grep -q 'Bitte den Port eingeben (1-9999): ' <<<"$out" || fail "$program did not ask for the port: $out"
done
# With a display to try, the installed program loads its GTK module from the installation,
# found relative to its own place: the private root proves the layout. A Wayland display
# (not there here) is tried without a probe first.
out=$(env -u DISPLAY -u XDG_RUNTIME_DIR -u KV_DIALOGS WAYLAND_DISPLAY=kv-none LD_DEBUG=files timeout 30 "$root/usr/bin/Kelvane" </dev/null 2>&1) ||
  fail "Kelvane with a display ended with status $?"
module=$(realpath "$root/usr/lib/kelvane")/libkvgtk.so
grep -qF "file=$module " <<<"$out" || fail "the installed GTK module $module was not loaded"

private_dpkg -r kelvane || fail "dpkg -r"
installed && fail "still installed after dpkg -r"
left=$(find "$root" -mindepth 1)
[ -z "$left" ] || fail "left after dpkg -r: $left"
echo "package $(basename "$deb"): built, installed, run and removed"
