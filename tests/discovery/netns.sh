#!/bin/bash
# Finding each other across two network namespaces joined by a veth pair (10.231.0.1 and
# .2, a private range used only inside them), each with its own D-Bus system bus and
# avahi-daemon (own mount and UTS namespace: own /run/dbus, /run/avahi-daemon, host name),
# and a third without either. Needs root; skipped (77) where it cannot be set up. Usage:
# netns.sh BUILD_DIR. Every process it starts is ended on the way out.
set -u
B=$(cd "$1" && pwd)
R=$B/tests/Kelvane_quick S=$B/tests/Dorvish_quick
W=$(mktemp -d "$B/netns.XXXXXX")
N=kv$$
HOLDERS=()
command -v avahi-daemon >/dev/null && command -v dbus-daemon >/dev/null && command -v avahi-browse >/dev/null &&
  command -v tmux >/dev/null && command -v ss >/dev/null && [ "$(id -u)" = 0 ] || { echo "SKIP: needs root, avahi-daemon, dbus, avahi-utils, tmux, ss"; exit 77; }

cleanup() {
  for h in "${HOLDERS[@]}"; do
    # Everything started inside a side: the daemons, tmux and the programs.
    for p in $(ps -e -o pid= -o pidns= -o mntns= | awk -v m="$(readlink /proc/$h/ns/mnt | tr -dc 0-9)" '$3==m {print $1}'); do
      [ "$p" != "$h" ] && kill "$p" 2>/dev/null
    done
    kill "$h" 2>/dev/null
  done
  kill ${beside_pid:-} 2>/dev/null
  ip netns del ${N}a 2>/dev/null; ip netns del ${N}b 2>/dev/null; ip netns del ${N}c 2>/dev/null
  rm -rf "$W"
}
trap cleanup EXIT
trap "exit 1" INT TERM

# Also from the phases that run beside the first: each failure is a line of the file.
fail() { echo "FAIL: $*"; echo >>"$W/failed"; }
source "$(dirname "$0")/../support/until.sh"
UNTIL_STEP=0.02  # the screens and the daemons are looked at often: most waits are short

# side NAME HOST: a holder in network namespace N$NAME with its own mount and UTS
# namespaces; pid in H_NAME.
side() {
  ip netns add $N$1 || exit 77
  ip netns exec $N$1 unshare -mu --propagation private sleep 3600 &
  local h=$!; HOLDERS+=($h)
  until_true 30 own_uts $h || exit 77; eval H_$1=$h
  # The host name is set only where the UTS namespace is the side's own, never ours.
  in_ns $1 sh -c "[ \$(readlink /proc/self/ns/uts) != $(readlink /proc/$$/ns/uts) ] && hostname $2 && ip link set lo up && mkdir -p /run/dbus /run/avahi-daemon &&
    mount -t tmpfs none /run/dbus && mount -t tmpfs none /run/avahi-daemon" || exit 77
}
own_uts() { [ "$(readlink /proc/$1/ns/uts)" != "$(readlink /proc/$$/ns/uts)" ]; }
in_ns() { local h; eval h=\$H_$1; shift; nsenter -t "$h" -n -m -u "$@"; }
daemons() { in_ns $1 sh -c 'dbus-daemon --system --fork && avahi-daemon -D --no-chroot' >/dev/null || exit 77; }
# screen SIDE SESSION: what the program in that tmux session shows.
screen() { in_ns $1 tmux -S "$W/tmux$1" capture-pane -p -t "$2" 2>/dev/null; }
shows() { screen "$1" "$2" | grep -q -- "$3"; }
keys() { in_ns $1 tmux -S "$W/tmux$1" send-keys -t "$2" "$3" Enter; }
listens() { in_ns $1 ss -Hltn "sport = :$2" | grep -q .; }
announced() { in_ns b avahi-browse -prt _kelvane._tcp | grep -q -- "$1"; }
run() { local side=$1 session=$2; shift 2
  in_ns $side env TMUX= tmux -S "$W/tmux$side" new-session -d -s "$session" -x 100 -y 20 "env KV_DIALOGS=text $*; sleep 600"; }

side a kvrecv; side b kvsend; side c kvnone
ip link add ${N}va type veth peer name ${N}vb || exit 77
ip link set ${N}va netns ${N}a && ip link set ${N}vb netns ${N}b
in_ns a sh -c "ip addr add 10.231.0.1/24 dev ${N}va && ip link set ${N}va up"
in_ns b sh -c "ip addr add 10.231.0.2/24 dev ${N}vb && ip link set ${N}vb up"
daemons a & da=$!; daemons b & db=$!; wait $da && wait $db || exit 77
head -c 300000 /dev/urandom >"$W/file.bin"

# Side by side with the first phase, what needs no Avahi: a side without it, a wrong --allow.
beside() {
  # Without Avahi (c has no bus and no daemon): both run as before, and start as quickly.
  in_ns c "$R" -p 4714 "$W/plain.bin" </dev/null >"$W/plain.out" 2>&1 &
  until_true 30 listens c 4714
  in_ns c "$S" -p 4714 "$W/file.bin" 127.0.0.1 </dev/null >/dev/null 2>&1 || fail "no transfer without Avahi"
  cmp -s "$W/file.bin" "$W/plain.bin" || fail "the file differs without Avahi"
  # The reasons the sender can tell from there: an unknown name, no route.
  for want in "kein-rechner.invalid:Der Name ist unbekannt" "10.231.9.9:Das Netz ist von hier aus nicht erreichbar"; do
    in_ns c "$S" -p 4715 "$W/file.bin" "${want%%:*}" </dev/null >"$W/why.out" 2>&1
    grep -q "${want#*:}" "$W/why.out" || fail "no reason line \"${want#*:}\": $(cat "$W/why.out")"
  done
  in_ns a "$R" -p 1 --allow 10.0.0.0/33 x </dev/null >/dev/null 2>&1; [ $? = 2 ] || fail "a wrong --allow is no wrong call"
}
beside & beside_pid=$!

# The receiver in a (the real one: its quit wait is when the announcement must be gone):
# its status line names its address and .local name, not loopback (looked at once the
# senders found it: the .local name comes with its next look at the addresses).
run a recv "$B/Kelvane"; until_true 30 shows a recv "Bitte Ort" || fail "receiver did not start"
keys a recv "$W/got.bin"; until_true 30 shows a recv "Port eingeben"; keys a recv 4711
# Two senders at once, each step of both before the next.
for sender in send send2; do run b $sender "$S"; done
for sender in send send2; do until_true 30 shows b $sender "Wichtige Information"; keys b $sender ""; done
for sender in send send2; do until_true 30 shows b $sender "Datei"; keys b $sender "$W/file.bin"; done
for sender in send send2; do until_true 30 shows b $sender "Port eingeben"; keys b $sender 1; done
# The other side finds it with avahi-browse, with its port; so do the senders, below it.
until_true 30 announced '^=.*;IPv4;kvrecv;_kelvane._tcp;.*;10.231.0.1;4711;' || fail "avahi-browse misses it"
# One started with --no-announce once the daemon runs, looked for when the last is found.
in_ns a "$R" -p 4712 --no-announce --allow 10.231.0.99 --allow fd00::/8 "$W/denied.bin" </dev/null >"$W/denied.out" 2>&1 &
for sender in send send2; do
  until_true 30 shows b $sender "Im Netz gefunden: 1) kvrecv" || fail "sender lists nothing: $(screen b $sender)"
  [ "$(screen b $sender | head -2)" = "$(printf 'Bitte die IP eingeben (0.0.0.0):\nIm Netz gefunden: 1) kvrecv')" ] ||
    fail "prompt and list: $(screen b $sender)"
  [ "$(in_ns b tmux -S "$W/tmuxb" display -p -t $sender "#{cursor_x},#{cursor_y}")" = 33,0 ] || fail "the cursor left the prompt"
done
until_true 30 shows a recv "Erreichbar unter: 10.231.0.1 kvrecv.local" || fail "reachable line: $(screen a recv)"
shows a recv "127.0.0.1" && fail "loopback listed"
keys b send kvr
until_true 30 shows b send "Bitte Enter druecken" && shows b send "zum Empfaenger gesendet" || fail "not sent: $(screen b send)"
cmp -s "$W/file.bin" "$W/got.bin" || fail "the stored file differs"
until_true 30 shows a recv "Datei wurde hier gespeichert" && keys a recv ""
# A sender that stays connected is named; one that leaves without sending ends the
# receiver, whose announcement is gone in its quit wait, also from the waiting sender's list.
in_ns b bash -c "exec 3<>/dev/tcp/10.231.0.1/4711; until [ -e $W/leave ]; do sleep 0.1; done" &
until_true 30 shows a recv "Sender: 10.231.0.2" || fail "the sender is not named: $(screen a recv)"
touch "$W/leave"
until_true 30 shows a recv "Sender hat die Verbindung beendet" && keys a recv ""
until_true 30 shows a recv "Wait for quit the server" || fail "the receiver does not end"
# Gone while the receiver still ran: it was running when a look found it withdrawn began.
withdrawn() {
  local alive=no
  pgrep -f "^$B/Kelvane\$" >/dev/null && alive=yes
  announced kvrecv && return 1
  echo $alive >"$W/alive"
}
until_true 30 withdrawn || fail "still announced"
until_true 30 sh -c "! nsenter -t $H_b -n -m -u tmux -S $W/tmuxb capture-pane -p -t send2 | grep -q 'Im Netz'" ||
  fail "the ended receiver is still listed"
[ "$(cat "$W/alive" 2>/dev/null)" = yes ] || fail "withdrawn only once the receiver ended, not in its quit wait"

# --allow: a sender from another address is reset, nothing stored; the named one stores.
in_ns a "$R" -p 4713 --allow 10.231.0.0/30 "$W/allowed.bin" </dev/null >"$W/allowed.out" 2>&1 &
in_ns a "$R" -p 4716 "$W/second.bin" </dev/null >/dev/null 2>&1 &
until_true 30 listens a 4712; until_true 30 listens a 4713
# The one started with --no-announce is not announced, the other two are, under two names.
for port in 4713 4716; do until_true 30 announced ";$port;" || fail "$port not announced"; done
announced ";4712;" && fail "announced despite --no-announce"
in_ns b "$S" -p 4712 "$W/file.bin" 10.231.0.1 </dev/null >"$W/sent.out" 2>&1 && fail "a denied sender succeeded"
grep -q "verbunden" "$W/denied.out" && fail "a denied sender was reported: $(cat "$W/denied.out")"
[ -e "$W/denied.bin" ] && fail "a denied sender's file was stored"
in_ns b "$S" -p 4713 "$W/file.bin" 10.231.0.1 </dev/null >"$W/sent.out" 2>&1 || fail "allowed sender: $(cat "$W/sent.out")"
cmp -s "$W/file.bin" "$W/allowed.bin" || fail "the allowed sender's file was not stored"

wait $beside_pid; FAILS=$(cat "$W/failed" 2>/dev/null | wc -l)
echo "netns: $FAILS failed"
[ $FAILS = 0 ]
