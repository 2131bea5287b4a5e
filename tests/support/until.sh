# until_true SECONDS COMMAND...: runs the command every tenth of a second (every
# UNTIL_STEP seconds where a script sets that) until it succeeds; fails when it did not
# within the seconds. The one way the test scripts wait.
until_true() {
  local step=${UNTIL_STEP:-0.1} deadline=$((SECONDS + $1))
  shift
  while [ $SECONDS -le $deadline ]; do "$@" && return 0; sleep "$step"; done
  return 1
}
# verdict NAME STATUS [DETAIL]: says "ok   NAME" for status 0, else "FAIL NAME DETAIL"
# and counts it in the script's failures; returns the status.
verdict() {
  if [ "$2" = 0 ]; then echo "ok   $1"; else echo "FAIL $1${3:+ $3}"; failures=$((failures + 1)); fi
  return "$2"
}
