#!/bin/bash
# The Windows programs (under wine) against the Linux ones: each receiver takes a file
# from the other system's sender over IPv4 and IPv6 loopback; the file must arrive byte
# for byte and both programs end with status 0. A send to a port nobody listens on ends
# with 1. Usage: interop.sh LINUX_BUILD_DIR KELVANE_EXE DORVISH_EXE (wine's environment
# set). Exits 77 when the Linux programs are not built.
set -u
linux=$1 kelvane_exe=$2 dorvish_exe=$3
[ -x "$linux/Kelvane" ] && [ -x "$linux/Dorvish" ] || { echo "no Linux build in $linux"; exit 77; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
head -c 3000001 /dev/urandom >"$work/quelle.bin"
failures=0
port=$((5000 + $$ % 4000))

windows_path() { printf 'Z:%s' "${1//\//\\}"; }

# Waits up to 20 s until something listens on the port.
wait_listening() {
  for _ in $(seq 200); do
    ss -Hltn "sport = :$1" | grep -q . && return 0
    sleep 0.1
  done
  return 1
}

# check NAME RECEIVER_STATUS SENDER_STATUS RECEIVED_FILE
check() {
  if [ "$2" = 0 ] && [ "$3" = 0 ] && cmp -s "$work/quelle.bin" "$4"; then
    echo "ok   $1"
  else
    echo "FAIL $1 (receiver $2, sender $3)"
    failures=$((failures + 1))
  fi
}

for address in 127.0.0.1 ::1; do
  port=$((port + 1))
  out="$work/von-windows-$port.bin"
  "$linux/Kelvane" -p $port "$out" </dev/null >"$work/k.log" 2>&1 &
  receiver=$!
  wait_listening $port
  timeout 60 wine "$dorvish_exe" -p $port "$(windows_path "$work/quelle.bin")" $address </dev/null >"$work/d.log" 2>&1
  sent=$?
  wait $receiver
  check "Linux receiver, Windows sender, $address" $? $sent "$out"

  port=$((port + 1))
  out="$work/von-linux-$port.bin"
  timeout 60 wine "$kelvane_exe" -p $port "$(windows_path "$out")" </dev/null >"$work/k.log" 2>&1 &
  receiver=$!
  wait_listening $port
  timeout 60 "$linux/Dorvish" -p $port "$work/quelle.bin" $address </dev/null >"$work/d.log" 2>&1
  sent=$?
  wait $receiver
  check "Windows receiver, Linux sender, $address" $? $sent "$out"
done

port=$((port + 1))
timeout 60 wine "$dorvish_exe" -p $port "$(windows_path "$work/quelle.bin")" 127.0.0.1 </dev/null >"$work/d.log" 2>&1
status=$?
if [ $status = 1 ]; then echo "ok   nobody listening: status 1"; else
  echo "FAIL nobody listening: status $status"
  failures=$((failures + 1))
fi
exit $((failures > 0))
