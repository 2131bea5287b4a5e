#!/bin/bash
# The Windows programs (under wine) against the Linux ones: each receiver takes a file
# from the other system's sender over IPv4 and IPv6 loopback, byte for byte, both ending
# with 0. A receiver that fails to store makes both end with 1, as does a send to a port
# nobody listens on. Usage: interop.sh LINUX_BUILD_DIR KELVANE_EXE DORVISH_EXE (wine's
# environment set); 77: no Linux build.
set -u
linux=$1 kelvane_exe=$2 dorvish_exe=$3
[ -x "$linux/Kelvane" ] && [ -x "$linux/Dorvish" ] || { echo "no Linux build in $linux"; exit 77; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
head -c 3000001 /dev/urandom >"$work/quelle.bin"
failures=0 port=$((5000 + $$ % 4000))

windows_path() { printf 'Z:%s' "${1//\//\\}"; }

source "$(dirname "$0")/../support/until.sh"
listening() { ss -Hltn "sport = :$1" | grep -q .; }
# Waits up to 60 s until something listens on the port.
wait_listening() { until_true 60 listening "$1"; }

# pair NAME RECEIVER SENDER ADDRESS TARGET EXPECTED: RECEIVER and SENDER are "linux" or
# "windows"; TARGET is the receiver's save path (a Linux path); with EXPECTED 0 the file
# must arrive whole, with 1 both programs must report the failure.
pair() {
  local name=$1 receiver=$2 sender=$3 address=$4 target=$5 expected=$6
  port=$((port + 1))
  local k=("$linux/Kelvane" -p $port "$target") d=("$linux/Dorvish" -p $port "$work/quelle.bin" $address)
  [ "$receiver" = windows ] && k=(timeout 60 wine "$kelvane_exe" -p $port "$(windows_path "$target")")
  [ "$sender" = windows ] && d=(wine "$dorvish_exe" -p $port "$(windows_path "$work/quelle.bin")" $address)
  "${k[@]}" </dev/null >"$work/k.log" 2>&1 &
  local receiver_pid=$!
  wait_listening $port
  timeout 60 "${d[@]}" </dev/null >"$work/d.log" 2>&1
  local sent=$?
  wait $receiver_pid
  local received=$?
  [ $received = "$expected" ] && [ $sent = "$expected" ] && { [ "$expected" != 0 ] || cmp -s "$work/quelle.bin" "$target"; }
  verdict "$name" $? "(receiver $received, sender $sent)"
}

# Over IPv6 the Windows receiver saves far below the work folder: over 260 characters.
deep="$work/$(printf 'ordner-%03d/' $(seq 40))"
mkdir -p "$deep"
for address in 127.0.0.1 ::1; do
  [ $address = ::1 ] && folder=$deep || folder=$work
  pair "Linux receiver, Windows sender, $address" linux windows $address "$work/von-windows.bin" 0
  pair "Windows receiver, Linux sender, $address" windows linux $address "$folder/von-linux.bin" 0
done
# A receiver that cannot store the bytes: the sender on the other system learns it.
pair "Linux receiver fails storing, Windows sender" linux windows 127.0.0.1 /dev/full 1
pair "Windows receiver fails storing, Linux sender" windows linux ::1 /dev/full 1

# A Windows receiver ended in the middle of a transfer leaves the old file whole, no
# temporary file beside.
port=$((port + 1))
mkdir "$work/ended" && echo alt >"$work/ended/ziel.bin"
wine "$kelvane_exe" -p $port "$(windows_path "$work/ended/ziel.bin")" </dev/null >"$work/k.log" 2>&1 &
receiver_pid=$!
entries() { [ "$(ls -A "$work/ended" | wc -l)" = "$1" ]; }
wait_listening $port && exec 5<>/dev/tcp/127.0.0.1/$port && printf 'QUORVANT\350\003\000\000abc' >&5 &&
  until_true 60 entries 2 && kill -KILL $receiver_pid && until_true 60 entries 1 &&
  [ "$(cat "$work/ended/ziel.bin")" = alt ]
verdict "Windows receiver ended midway: the old file alone" $? "(the folder holds: $(ls -A "$work/ended"))"
exec 5>&-
wait $receiver_pid 2>/dev/null

port=$((port + 1))
timeout 60 wine "$dorvish_exe" -p $port "$(windows_path "$work/quelle.bin")" 127.0.0.1 </dev/null >"$work/d.log" 2>&1
status=$?
# The reason follows; wine has none of the system's DNS-SD calls, so the sender went on
# without them.
[ $status = 1 ] && grep -q "Dort wartet niemand auf diesem Port" "$work/d.log"
verdict "nobody listening: status 1, the reason said" $? "(status $status)"
exit $((failures > 0))
