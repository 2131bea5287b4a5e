# until_true SECONDS COMMAND...: runs the command every tenth of a second until it
# succeeds; fails when it did not within the seconds. The one way the test scripts
# wait.
until_true() {
  local tries=$(($1 * 10))
  shift
  for _ in $(seq $tries); do "$@" && return 0; sleep 0.1; done
  return 1
}
