#!/usr/bin/env bash
# The Debian package made from a build folder: built with cpack, checked for its files,
# dependencies and strip state, installed with dpkg, each program run once with its input
# ended, and removed again without a trace. (lintian checks the package in scripts/test.)
#   deb_package.sh BUILD_FOLDER CPACK
# Exits 77 (skipped) where it cannot run: not root, no dpkg, or a kelvane package installed
# already, which the test would replace.
set -euo pipefail
build=$1
cpack=${2:-cpack}
skip() { echo "skipped: $*"; exit 77; }
fail() { echo "FAILED: $*" >&2; exit 1; }

[ "$(id -u)" -eq 0 ] || skip "installing a package needs root"
command -v dpkg >/dev/null || skip "no dpkg"
installed() { [ "$(dpkg-query -W -f='${Status}' kelvane 2>/dev/null)" = "install ok installed" ]; }
installed && skip "a kelvane package is installed already"

work=$(mktemp -d)
ours=0
cleanup() {
  [ "$ours" = 1 ] && installed && dpkg -r kelvane >/dev/null 2>&1
  rm -rf "$work"
}
trap cleanup EXIT

# dpkg with the given arguments, waiting up to a minute for another dpkg or apt to finish.
dpkg_locked() {
  local i
  for i in $(seq 30); do
    if dpkg "$@" >"$work/dpkg.log" 2>&1; then return 0; fi
    grep -q 'lock' "$work/dpkg.log" || break
    sleep 2
  done
  cat "$work/dpkg.log" >&2
  return 1
}

"$cpack" -G DEB --config "$build/CPackConfig.cmake" -B "$work" >"$work/cpack.log" 2>&1 ||
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
mkdir "$work/unpacked"
dpkg-deb -x "$deb" "$work/unpacked"
for entry in "$work"/unpacked/usr/share/applications/*.desktop; do
  grep -q '^Name\[de\]=' "$entry" && grep -q '^Comment\[de\]=' "$entry" || fail "$entry has no German name or comment"
done
for binary in usr/bin/Kelvane usr/bin/Dorvish usr/lib/kelvane/libkvgtk.so; do
  readelf -S "$work/unpacked/$binary" >"$work/sections"
  grep -q '\.symtab' "$work/sections" && fail "$binary is not stripped"
done

# Installed and removed without running the triggers of other packages (the manual's
# index); they run once at the end, when the package is gone again.
ours=1
dpkg_locked --no-triggers -i "$deb" || fail "dpkg -i"
# Each program started on a plain terminal without input: it asks its first questions and
# ends with status 0 when the input ends.
cd "$work"
for program in Kelvane Dorvish; do
  out=$(env -u DISPLAY -u WAYLAND_DISPLAY -u KV_DIALOGS timeout 30 "/usr/bin/$program" </dev/null 2>&1) ||
    fail "$program ended with status $?: $out"
  grep -q 'Bitte den Port eingeben (1-9999): ' <<<"$out" || fail "$program did not ask for the port: $out"
done
# With a display to try, the installed program loads its GTK module from the installation.
out=$(env -u WAYLAND_DISPLAY -u KV_DIALOGS DISPLAY=:4242 LD_DEBUG=files timeout 30 /usr/bin/Kelvane </dev/null 2>&1) ||
  fail "Kelvane with a display ended with status $?"
grep -q 'file=/usr/lib/kelvane/libkvgtk\.so ' <<<"$out" || fail "the installed GTK module was not loaded"

dpkg_locked --no-triggers -r kelvane || fail "dpkg -r"
installed && fail "still installed after dpkg -r"
dpkg_locked --triggers-only --pending || fail "dpkg --triggers-only"
for path in /usr/bin/Kelvane /usr/bin/Dorvish /usr/lib/kelvane /usr/share/doc/kelvane /usr/share/man/man1/Kelvane.1.gz; do
  [ ! -e "$path" ] || fail "$path is left after dpkg -r"
done
echo "package $(basename "$deb"): built, installed, run and removed"
