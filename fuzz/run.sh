#!/usr/bin/env bash
# Runs every fuzz target for a while from its checked-in seeds.
#   fuzz/run.sh BUILD_DIR [SECONDS_PER_TARGET] [TARGET...]         a check: the seeds stay as they are
#   fuzz/run.sh --keep BUILD_DIR SECONDS_PER_TARGET [TARGET...]    a long run that grows the corpus
# BUILD_DIR is configured with CXX=clang++-14 -DPLUVANE_FUZZ=ON (build.sh does
# this). Each target mutates with its dictionary, dict/TARGET.dict, where it has one.
#
# A check stops a target at its first failure, keeps the input as
# fuzz-crash-TARGET-* in the current folder and ends with a failure.
#
# With --keep, a target that fails starts again from where it was until its
# time is up (at most 10 failures each); an input that passed the time limit
# is run again alone and passed over when it keeps to the limit there (a
# loaded machine, not the input); every failing input goes into the
# target's corpus as found-TARGET-KIND-HASH, where the tests replay it
# (the image and video ones in the hostile-file tests too), and the run ends
# with a failure listing them. At the end, the new inputs that reach code the
# corpus did not are merged into it (libFuzzer's -merge by edges alone,
# -use_counters=0: the fewest files that reach every edge the run reached,
# none above -max_len; counting hit counts too kept four times as many).
set -euo pipefail
KEEP=0
if [[ ${1:-} == --keep ]]; then KEEP=1; shift; fi
BUILD=$(realpath "${1:?usage: $0 [--keep] BUILD_DIR [SECONDS] [TARGET...]}")
SECONDS_EACH=${2:-15}
shift $(( $# > 1 ? 2 : 1 ))
HERE=$(cd "$(dirname "$0")" && pwd)
TARGETS=("$@")
((${#TARGETS[@]})) || TARGETS=(scene values image video entry)
SCRATCH=$(mktemp -d /tmp/pluvane-fuzz-XXXXXX)
trap 'rm -rf "$SCRATCH"' EXIT
export PLUVANE_MODULE=$BUILD/pluvane_effect.so
# The image target takes stacks for allocations the fast way (frame
# pointers): the slow, complete way took four fifths of its time. A leak
# report is then checked again with complete stacks (RECHECK), which is what
# lets a leak inside OpenImageIO reach its suppression when the allocation
# comes through libstdc++ (built without frame pointers). The other targets
# keep complete stacks. Every target's leak check scans memory without
# thread-local storage (use_tls=0): clang 14's LeakSanitizer reads a bogus
# dynamic-TLS range that glibc 2.36 leaves for libraries loaded with dlopen
# (FFmpeg's and OpenImageIO's, through the media module), and its tracer then
# dies of signal 11 at exit, seen in the video and the image target by turns.
# What the loader keeps only in thread-local storage is suppressed in lsan.supp.
ASAN_BASE=detect_leaks=1:allocator_may_return_null=1
RECHECK=$ASAN_BASE:fast_unwind_on_malloc=0
# OpenImageIO 2.4 keeps an error text per reader that LeakSanitizer reports; not ours.
LSAN_BASE=suppressions=$HERE/lsan.supp:use_tls=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
OPTIONS=(-timeout=20 -rss_limit_mb=2048 -max_len=4096 -print_final_stats=1)

stat() {  # stat NAME LOG: a number from libFuzzer's final statistics, 0 if none
  grep -m1 -o "stat::$1: *[0-9]*" "$2" | grep -o '[0-9]*$' || echo 0
}

status=0
for t in "${TARGETS[@]}"; do
  program=$BUILD/fuzz/fuzz_$t
  case $t in
    image) export ASAN_OPTIONS=$ASAN_BASE:fast_unwind_on_malloc=1 LSAN_OPTIONS=$LSAN_BASE ;;
    *) export ASAN_OPTIONS=$RECHECK LSAN_OPTIONS=$LSAN_BASE ;;
  esac
  dict=()
  [[ -f $HERE/dict/$t.dict ]] && dict=(-dict="$HERE/dict/$t.dict")
  mkdir -p "$SCRATCH/$t"
  log=$SCRATCH/$t.log
  if ((!KEEP)); then
    if ! "$program" -max_total_time="$SECONDS_EACH" "${OPTIONS[@]}" "${dict[@]}" -artifact_prefix="$PWD/fuzz-crash-$t-" \
        "$SCRATCH/$t" "$HERE/corpus/$t" >"$log" 2>&1; then
      leak=$(ls "$PWD"/fuzz-crash-"$t"-leak-* 2>/dev/null | head -1 || true)
      if [[ -n $leak ]] && ASAN_OPTIONS=$RECHECK "$program" "$leak" >/dev/null 2>&1; then
        rm -f "$leak"  # the suppressed library leak
        echo "fuzz $t: ${SECONDS_EACH}s, stopped at a library leak that is suppressed, no failure"
        continue
      fi
      echo "fuzz $t: FAILED"; tail -40 "$log"; status=1; continue
    fi
    echo "fuzz $t: ${SECONDS_EACH}s, $(stat number_of_executed_units "$log") runs," \
         "peak memory $(stat peak_rss_mb "$log") MB (bound 2048), no failure"
    continue
  fi

  start=$SECONDS runs=0 peak=0 found=()
  before=$(ls "$HERE/corpus/$t" | wc -l)
  while ((SECONDS - start < SECONDS_EACH && ${#found[@]} < 10)); do
    rm -f "$SCRATCH"/artifact-*
    if "$program" -max_total_time=$((SECONDS_EACH - (SECONDS - start))) "${OPTIONS[@]}" "${dict[@]}" \
        -artifact_prefix="$SCRATCH/artifact-" "$SCRATCH/$t" "$HERE/corpus/$t" >"$log" 2>&1; then
      ok=1
    else
      ok=0
    fi
    runs=$((runs + $(stat number_of_executed_units "$log")))
    rss=$(stat peak_rss_mb "$log")
    ((rss > peak)) && peak=$rss
    ((ok)) && break
    artifact=$(ls "$SCRATCH"/artifact-* 2>/dev/null | head -1 || true)
    if [[ -z $artifact ]]; then echo "fuzz $t: FAILED without an input"; tail -40 "$log"; status=1; break; fi
    kind=$(basename "$artifact" | sed 's/^artifact-\([a-z-]*\)-.*/\1/')
    if [[ ! -s $artifact ]]; then  # no input was running: the fault came at start-up or exit
      echo "fuzz $t: $kind outside any input:"; tail -25 "$log" | sed 's/^/    /'; status=1; break
    fi
    if [[ $kind == leak ]] && ASAN_OPTIONS=$RECHECK "$program" "$artifact" >/dev/null 2>&1; then
      continue  # the suppressed library leak: go on
    fi
    if [[ $kind == slow-unit || $kind == timeout ]]; then
      # A run beside other busy processes can pass the time limit on an
      # input that is only large; it counts when it is slow on its own too.
      alone=$EPOCHREALTIME
      if "$program" -timeout=20 -rss_limit_mb=2048 "$artifact" >/dev/null 2>&1; then
        echo "fuzz $t: an input passed the time limit in the run but took" \
             "$(awk "BEGIN { printf \"%.1f\", $EPOCHREALTIME - $alone }") s alone: not kept"
        continue
      fi
    fi
    name=found-$t-$kind-$(sha1sum "$artifact" | cut -c1-12)
    cp "$artifact" "$HERE/corpus/$t/$name"
    found+=("$name")
    echo "fuzz $t: $kind, kept as fuzz/corpus/$t/$name:"
    grep -m1 -A12 -E '^==[0-9]+== ?ERROR|runtime error|ERROR: libFuzzer' "$log" | sed 's/^/    /' ||
      tail -25 "$log" | sed 's/^/    /'
  done
  # The new inputs that add coverage, into the corpus.
  "$program" -merge=1 -use_counters=0 -max_len=4096 -rss_limit_mb=2048 -timeout=20 "$HERE/corpus/$t" "$SCRATCH/$t" \
    >"$SCRATCH/merge-$t.log" 2>&1 ||
    { echo "fuzz $t: merging the new inputs failed"; tail -20 "$SCRATCH/merge-$t.log"; status=1; }
  added=$(($(ls "$HERE/corpus/$t" | wc -l) - before - ${#found[@]}))
  echo "fuzz $t: $((SECONDS - start))s, $runs runs, peak memory $peak MB (bound 2048)," \
       "$added new corpus inputs, ${#found[@]} failures${found:+: ${found[*]}}"
  ((${#found[@]})) && status=1
done
exit $status
