#!/bin/bash
# The Windows packages: the zip holds the two programs and the read-me, and a program
# from it runs; the installer works silently, with Start-menu entries, the installed
# program runs, and the uninstaller takes everything away again. Usage: package.sh
# BUILD_DIR CPACK (wine's environment set).
set -eu
build=$1 cpack=$2
cd "$build"
rm -rf package
"$cpack" -G "ZIP;NSIS" >cpack.log 2>&1 || { cat cpack.log; exit 1; }
name=$(basename package/*.zip .zip)
unzip -Z1 "package/$name.zip" | sort | tr '\n' ' ' | grep -qx "$name/ $name/Dorvish.exe $name/Kelvane.exe $name/LIESMICH.txt " ||
  unzip -Z1 "package/$name.zip" | sort | tr '\n' ' ' | grep -qx "$name/Dorvish.exe $name/Kelvane.exe $name/LIESMICH.txt " ||
  { echo "zip holds: $(unzip -Z1 "package/$name.zip")"; exit 1; }
rm -rf zip && mkdir zip && (cd zip && unzip -q "../package/$name.zip")
wine "zip/$name/Dorvish.exe" --version | grep -q '^Dorvish '

installed="$WINEPREFIX/drive_c/Program Files/Kelvane"
menu="$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/Kelvane und Dorvish"
wine "package/$name.exe" /S
for file in "$installed/Kelvane.exe" "$installed/Dorvish.exe" "$installed/LIESMICH.txt" "$menu/Kelvane (Empfaenger).lnk"; do
  [ -e "$file" ] || { echo "not installed: $file"; exit 1; }
done
wine "C:\\Program Files\\Kelvane\\Kelvane.exe" --version | grep -q '^Kelvane '
# The uninstaller runs a copy of itself and returns at once: wait (a first run in a fresh
# prefix on a busy machine takes long) until that copy has taken everything away.
wine "C:\\Program Files\\Kelvane\\Uninstall.exe" /S
for _ in $(seq 1200); do [ -e "$installed" ] || [ -e "$menu" ] || break; sleep 0.1; done
[ ! -e "$installed" ] && [ ! -e "$menu" ] || { echo "left after uninstalling: $installed"; exit 1; }
echo "zip and installer fine"
