#!/usr/bin/env bash
# Runs every fuzz target for a while from its checked-in seeds.
#   fuzz/run.sh BUILD_DIR [SECONDS_PER_TARGET] [TARGET...]
# BUILD_DIR is configured with CXX=clang++-14 -DPLUVANE_FUZZ=ON (build.sh does
# this for its short run). New inputs go to a scratch folder, so the seeds stay
# as they are; a crash is kept as fuzz-crash-TARGET-* in the current folder and
# ends the run with a failure.
set -euo pipefail
BUILD=$(realpath "${1:?usage: $0 BUILD_DIR [SECONDS] [TARGET...]}")
SECONDS_EACH=${2:-15}
shift $(( $# > 1 ? 2 : 1 ))
HERE=$(cd "$(dirname "$0")" && pwd)
TARGETS=("$@")
((${#TARGETS[@]})) || TARGETS=(scene values image video entry)
SCRATCH=$(mktemp -d /tmp/pluvane-fuzz-XXXXXX)
trap 'rm -rf "$SCRATCH"' EXIT
export PLUVANE_MODULE=$BUILD/pluvane_effect.so
# Full stacks for leaks, so that a leak inside OpenImageIO reaches its suppression
# even when the allocation comes through libstdc++ (built without frame pointers).
export ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1:fast_unwind_on_malloc=0
# OpenImageIO 2.4 keeps an error text per reader that LeakSanitizer reports; not ours.
export LSAN_OPTIONS=suppressions=$HERE/lsan.supp
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
status=0
for t in "${TARGETS[@]}"; do
  mkdir -p "$SCRATCH/$t"
  log=$SCRATCH/$t.log
  if ! "$BUILD/fuzz/fuzz_$t" -max_total_time="$SECONDS_EACH" -timeout=20 -rss_limit_mb=2048 -max_len=4096 \
      -print_final_stats=1 -artifact_prefix="$PWD/fuzz-crash-$t-" "$SCRATCH/$t" "$HERE/corpus/$t" >"$log" 2>&1; then
    echo "fuzz $t: FAILED"; tail -40 "$log"; status=1; continue
  fi
  execs=$(grep -m1 -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' || echo '?')
  rss=$(grep -m1 -o 'stat::peak_rss_mb: *[0-9]*' "$log" | grep -o '[0-9]*$' || echo '?')
  echo "fuzz $t: ${SECONDS_EACH}s, $execs runs, peak memory $rss MB (bound 2048), no failure"
done
exit $status
