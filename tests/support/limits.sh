# Sourced by the shell tests: every program runs under a time limit and is
# killed with its whole process group when it overruns; the test then fails
# naming it. Messages start with the test script's name.
TEST_NAME=$(basename "$0" .sh)
limited() {  # limited SECONDS PROGRAM [ARGS...]
  local secs=$1 rc=0; shift
  timeout --kill-after=10 "$secs" "$@" || rc=$?
  ((rc != 124 && rc != 137)) || echo "$TEST_NAME: $1 did not finish within its limit of $secs s; killed" >&2
  return $rc
}
fail() { echo "$TEST_NAME: $*" >&2; exit 1; }
