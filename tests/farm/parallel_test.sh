#!/usr/bin/env bash
# The README's GNU parallel recipe, on this machine instead of over ssh: three
# parts of a range run as three jobs give the frames one render of the range
# gives, and a rerun after a lost frame renders only that frame.
#   tests/farm/parallel_test.sh PATH/TO/pluvane
set -euo pipefail
PLUVANE=$(realpath "${1:?usage: $0 PATH/TO/pluvane}")
. "$(dirname "$0")/../support/limits.sh"
command -v parallel >/dev/null || fail "GNU parallel is missing (apt-get install parallel)"
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
[[ $(stat -c %Y.%y farm/r.0004.png) == "$stamp" ]] || fail "a complete frame was rendered again"
for f in whole/*; do cmp "$f" "farm/${f#whole/}"; done
[[ $(ls -A farm | wc -l) -eq 12 ]]
echo "parallel_test: passed"
