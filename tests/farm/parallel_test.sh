#!/usr/bin/env bash
# The README's GNU parallel recipe, on this machine instead of over ssh: three
# parts of a range run as three jobs give the frames one render of the range
# gives, and a rerun after a lost frame renders only that frame.
#   tests/farm/parallel_test.sh PATH/TO/pluvane
set -euo pipefail
PLUVANE=$(realpath "${1:?usage: $0 PATH/TO/pluvane}")
command -v parallel >/dev/null || { echo "parallel_test: GNU parallel is missing (apt-get install parallel)" >&2; exit 1; }
# Every program runs under a time limit and is killed with its whole process
# group when it overruns (timeout gives it a group of its own); the test then
# fails naming it.
limited() {  # limited SECONDS PROGRAM [ARGS...]
  local secs=$1 rc=0; shift
  timeout --kill-after=10 "$secs" "$@" || rc=$?
  ((rc != 124 && rc != 137)) || echo "parallel_test: $1 did not finish within its limit of $secs s; killed" >&2
  return $rc
}
T=$(mktemp -d /tmp/pluvane-parallel-XXXXXX)
trap 'rm -rf "$T"' EXIT
cd "$T"
mkdir whole farm
limited 120 "$PLUVANE" demo -o demo --frames 0-0 -q
RENDER=(demo/source.png --frames 0-11 --fps 24 --downsample 4 --threads 1 -q)
limited 300 "$PLUVANE" render "${RENDER[@]}" -o whole/r.####.png
run_parts() {
  limited 300 parallel --will-cite -j 3 "$PLUVANE" render "${RENDER[@]}" -o farm/r.####.png --chunk {}/3 --skip-existing ::: 0 1 2
}
run_parts
for f in whole/*; do cmp "$f" "farm/${f#whole/}"; done
rm farm/r.0005.png
stamp=$(stat -c %Y.%y farm/r.0004.png)
run_parts
[[ $(stat -c %Y.%y farm/r.0004.png) == "$stamp" ]] || { echo "parallel_test: a complete frame was rendered again" >&2; exit 1; }
for f in whole/*; do cmp "$f" "farm/${f#whole/}"; done
[[ $(ls -A farm | wc -l) -eq 12 ]]
echo "parallel_test: passed"
