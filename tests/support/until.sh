# until_true SECONDS COMMAND...: runs the command every tenth of a second (every
# UNTIL_STEP seconds where a script sets that) until it succeeds; fails when it did not
# within the seconds. The one way the test scripts wait.
until_true() {
  local step=${UNTIL_STEP:-0.1} deadline=$((SECONDS + $1))
  shift
  while [ $SECONDS -le $deadline ]; do "$@" && return 0; sleep "$step"; done
  return 1
}
