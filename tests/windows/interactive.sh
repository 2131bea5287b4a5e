#!/bin/bash
# The Windows receiver run by hand in a terminal (a tmux pane) under wine stores a file
# sent by the Linux sender: once with the typed-path dialog (keys as console records: an
# umlaut, Backspace, Enter), once on an X display (Xvfb) where the system's save dialog is
# answered through xdotool. Wine finds its display once per server: the test has a prefix
# and a server of its own (WINEPREFIX-desktop), started on the display. Usage:
# interactive.sh LINUX_BUILD_DIR KELVANE_EXE (wine's environment set). Exits 77 when the
# Linux programs are not built.
set -u
linux=$1 kelvane_exe=$2
[ -x "$linux/Dorvish" ] || { echo "no Linux build in $linux"; exit 77; }
work=$(mktemp -d) socket="kvwin-$$" xvfb=
export WINEPREFIX="$WINEPREFIX-desktop"
cleanup() {
  tmux -L "$socket" kill-server 2>/dev/null
  wineserver -k 2>/dev/null
  [ -n "$xvfb" ] && kill "$xvfb"
  rm -rf "$work"
}
trap cleanup EXIT
head -c 700001 /dev/urandom >"$work/quelle.bin"
failures=0 port=$((5000 + $$ % 4000))

source "$(dirname "$0")/../support/until.sh"
pane_shows() { tmux -L "$socket" capture-pane -p -t kv | grep -qF "$1"; }

# Waits up to 60 s until the pane shows the text.
wait_for() {
  until_true 60 pane_shows "$1" && return 0
  echo "the pane never showed: $1"
  tmux -L "$socket" capture-pane -p -t kv
  return 1
}

# new_pane COMMAND: the command in a pane of a new tmux server on the next port (one
# ending takes none).
new_pane() {
  port=$((port + 1))
  tmux -L "$socket" kill-server 2>/dev/null
  socket="kvwin-$$-$port"
  tmux -L "$socket" new-session -d -s kv -x 100 -y 30 "env WINEPREFIX='$WINEPREFIX' WINEDEBUG=-all $1; sleep 30"
}

# receive NAME ANSWER_DIALOG KV_DIALOGS [TRIES]: starts the receiver in a pane, lets
# ANSWER_DIALOG choose ü.bin in the work folder, gives the port and sends from Linux once
# the receiver shows that save path. Keys xdotool types can come out otherwise on a busy
# machine (it maps the umlaut onto a spare key for a moment): a receiver showing another
# path is ended and answered anew, up to TRIES times.
receive() {
  local name=$1 answer=$2 dialogs=$3 tries=${4:-1} chosen=
  for _ in $(seq "$tries"); do
    rm -f "$work/ü.bin"
    new_pane "KV_DIALOGS=$dialogs wine '$kelvane_exe'"
    $answer && wait_for "Bitte den Port eingeben" && tmux -L "$socket" send-keys -t kv "$port" Enter &&
      wait_for "Wait for Connection" || break
    pane_shows "Speicherort: Z:${work//\//\\}\\ü.bin" && chosen=1 && break
    echo "the dialog took another path than the one typed: once more"
  done
  [ -n "$chosen" ] && timeout 30 "$linux/Dorvish" -p $port "$work/quelle.bin" 127.0.0.1 </dev/null >/dev/null 2>&1 &&
    wait_for "Datei wurde hier gespeichert" && cmp -s "$work/quelle.bin" "$work/ü.bin"
  verdict "$name" $? || tmux -L "$socket" capture-pane -p -t kv
}

display=
if command -v Xvfb >/dev/null && command -v xdotool >/dev/null; then
  exec 3>"$work/display"
  Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp -noreset >/dev/null 2>&1 &
  xvfb=$!
  exec 3>&-
  until_true 30 test -s "$work/display"
  display=":$(cat "$work/display")"
  export DISPLAY=$display
else
  unset DISPLAY
fi
mkdir -p "$WINEPREFIX"
wineserver -p </dev/null >/dev/null 2>&1
WINEDLLOVERRIDES="mscoree,mshtml=" wine wineboot >/dev/null 2>&1  # no offer to install Mono or Gecko

typed_path() {
  wait_for "Pfad:" &&
    tmux -L "$socket" send-keys -t kv "Z:${work//\//\\}\\üx" BSpace ".bin" Enter
}

# The save dialog on a display of its own takes keys only once focused (no window
# manager): the focus is proven first, and a dialog still shown after Return (a key lost)
# is cleared and typed into again.
dialog_window() { DISPLAY=$display xdotool search --onlyvisible --name "Bitte Ort zum speichern" 2>/dev/null | head -1; }
dialog_shown() { [ -n "$(dialog_window)" ]; }
dialog_gone() { ! dialog_shown; }
focused() {
  DISPLAY=$display xdotool windowfocus --sync "$1" 2>/dev/null
  [ "$(DISPLAY=$display xdotool getwindowfocus 2>/dev/null)" = "$1" ]
}
system_dialog() {
  local window clear=
  until_true 60 dialog_shown || { echo "no save dialog on $display"; tmux -L "$socket" capture-pane -p -t kv; return 1; }
  window=$(dialog_window)
  for _ in 1 2 3; do
    until_true 30 focused "$window" || { echo "the save dialog never took the focus"; return 1; }
    DISPLAY=$display xdotool $clear type --delay 20 "Z:${work//\//\\}\\ü.bin"
    DISPLAY=$display xdotool key Return
    until_true 20 dialog_gone && return 0
    clear="key End shift+Home BackSpace"
  done
  echo "the save dialog stayed after Return"
  return 1
}
receive "typed path on the console" typed_path text

# Ctrl+C while the receiver waits ends it with a status a script sees as a failure.
new_pane "wine '$kelvane_exe' -p $((port + 1)) 'Z:${work//\//\\}\\c.bin'; echo Status \$?"
wait_for "Wait for Connection" && tmux -L "$socket" send-keys -t kv C-c && wait_for "Status " &&
  ! tmux -L "$socket" capture-pane -p -t kv | grep -q "Status 0"
verdict "Ctrl+C" $?
[ -n "$display" ] && receive "the system's save dialog on a display" system_dialog "" 3
exit $((failures > 0))
