#!/bin/bash
# The Windows packages: the zip holds the two programs and the read-me, and a program from
# it runs; the installer works silently, with Start-menu entries, the installed program
# runs, and the uninstaller takes everything away. Every shortcut (Start menu, "Senden
# an") leads to a program that runs; the receiver's firewall rule is added and removed.
# Usage: package.sh BUILD_DIR CPACK (wine set).
set -eu
source "$(dirname "$0")/../support/until.sh"
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
# What the installer ran of netsh, from wine's trace of the processes started (wine's
# netsh tells nothing of Windows): expect_netsh TRACE COMMAND... checks the last ones (an
# earlier one is undone).
rule='name="Kelvane (Empfaenger)" program="C:\Program Files\Kelvane\Kelvane.exe"'
expect_netsh() {
  local trace=$1 && shift
  printf '%s\n' "$@" | diff - <(sed -n 's/.*CreateProcessInternalW app (null) cmdline L"\\"C:\\\\windows\\\\system32\\\\netsh.exe\\" \(.*\)"$/\1/p' \
    "$trace" | sed 's/\\\(.\)/\1/g' | tail -n $#) >&2 || { echo "netsh was run otherwise (-expected +run)"; exit 1; }
}
sendto="$WINEPREFIX/drive_c/users/$(id -un)/AppData/Roaming/Microsoft/Windows/SendTo/Dorvish (Sender).lnk"

WINEDEBUG=-all,+process wine "package/$name.exe" /S 2>tmp/install.trace
for file in "$installed/Kelvane.exe" "$installed/Dorvish.exe" "$installed/LIESMICH.txt" "$menu/Kelvane (Empfaenger).lnk"; do
  [ -e "$file" ] || { echo "not installed: $file"; exit 1; }
done
wine "C:\\Program Files\\Kelvane\\Kelvane.exe" --version | grep -q '^Kelvane '
expect_netsh tmp/install.trace "advfirewall firewall delete rule $rule" "advfirewall firewall add rule $rule dir=in action=allow enable=yes profile=private,domain"

# Each shortcut leads to a file that is there: the one whole Windows path in it.
for link in "$menu"/*.lnk "$sendto"; do
  target=$(strings "$link" | grep -m1 -E '^C:\\.*\.[A-Za-z]+$' || true)
  unix="$WINEPREFIX/drive_c/${target#C:\\}"
  [ -n "$target" ] && [ -f "${unix//\\//}" ] || { echo "$link leads to '$target', which is not there"; exit 1; }
done
# Started as Explorer starts them, the Start-menu entries run the programs: the receiver's
# takes a file from the sender's. From "Senden an" with a file, the sender asks for port
# and address only.
head -c 300001 /dev/urandom >tmp/quelle.bin
in_tmp() { printf 'Z:%s\\tmp\\%s' "${build//\//\\}" "$1"; }
port=$((5000 + $$ % 4000))
received() { until_true 60 cmp -s tmp/quelle.bin "tmp/$1" || { echo "not received: $1"; exit 1; }; }
listens() { ss -Hltn "sport = :$1" | grep -q .; }
listening() { until_true 60 listens "$1" || { echo "nothing listens on $1"; exit 1; }; }
wine start /unix "$menu/Kelvane (Empfaenger).lnk" -p $port "$(in_tmp vom-menue.bin)"
listening $port
wine start /unix "$menu/Dorvish (Sender).lnk" -p $port "$(in_tmp quelle.bin)" 127.0.0.1
received vom-menue.bin
port=$((port + 1))
timeout 60 wine "C:\\Program Files\\Kelvane\\Kelvane.exe" -p $port "$(in_tmp gesendet-an.bin)" </dev/null >/dev/null 2>&1 &
listening $port
# The link hands Explorer's files on after its own argument; several are refused.
sender_exe=$(strings "$sendto" | grep -m1 -E '^C:\\.*\.exe$')
link_args=$(strings -e l "$sendto" | grep -x -e --send-to) || { echo "\"Senden an\" passes no --send-to"; exit 1; }
printf '\n%s\n127.0.0.1\n\n' $port | KV_DIALOGS=text timeout 60 wine "$sender_exe" $link_args \
  "$(in_tmp quelle.bin)" >tmp/senden-an.log 2>&1 || { cat tmp/senden-an.log; exit 1; }
status=0
KV_DIALOGS=text timeout 60 wine "$sender_exe" $link_args a b </dev/null >tmp/senden-an-2.log 2>&1 || status=$?
[ $status = 2 ] && grep -qF "Es kann nur eine Datei auf einmal gesendet werden (2 gewaehlt)." tmp/senden-an-2.log ||
  { echo "two files from \"Senden an\" (status $status):"; cat tmp/senden-an-2.log; exit 1; }
received gesendet-an.bin
wait
asked=$(grep -o -e "Bitte den Port eingeben" -e "Bitte die IP eingeben" -e "Datei zum Laden" tmp/senden-an.log | tr '\n' ,)
[ "$asked" = "Bitte den Port eingeben,Bitte die IP eingeben," ] || { echo "\"Senden an\" asked: $asked"; exit 1; }
# The uninstaller runs a copy of itself (told the folder by "_?="), returns: wait for it.
WINEDEBUG=-all,+process wine "C:\\Program Files\\Kelvane\\Uninstall.exe" /S 2>tmp/uninstall.trace
ended() { ! kill -0 "$1" 2>/dev/null; }
for pid in $(pgrep -f '_\?=C:\\Program Files\\Kelvane'); do
  tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null | grep -qxF "WINEPREFIX=$WINEPREFIX" || continue
  until_true 120 ended "$pid"
done
# A first run in a fresh prefix on a busy machine takes long to take everything away.
gone() { [ ! -e "$installed" ] && [ ! -e "$menu" ] && [ ! -e "$sendto" ]; }
until_true 120 gone || { echo "left after uninstalling: $installed, $menu or $sendto"; exit 1; }
expect_netsh tmp/uninstall.trace "advfirewall firewall delete rule $rule"
echo "zip and installer fine"
