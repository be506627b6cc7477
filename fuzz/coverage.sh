#!/usr/bin/env bash
# Which lines of media/ and session/ the fuzz corpora reach, with clang's
# source-based coverage.
#   fuzz/coverage.sh BUILD_DIR [CORPUS_DIR]
# BUILD_DIR is a fuzz build with coverage (README: Fuzzing); CORPUS_DIR holds
# one folder per target (default fuzz/corpus). Every input of every target is
# run once; prints llvm-cov's summary of media/ and session/ with its total,
# and writes the annotated sources to BUILD_DIR/coverage/index.html.
set -euo pipefail
BUILD=$(realpath "${1:?usage: $0 BUILD_DIR [CORPUS_DIR]}")
HERE=$(cd "$(dirname "$0")" && pwd)
SOURCE=$(dirname "$HERE")
CORPUS=$(realpath "${2:-$HERE/corpus}")
PROFILES=$(mktemp -d /tmp/pluvane-coverage-XXXXXX)
trap 'rm -rf "$PROFILES"' EXIT
export PLUVANE_MODULE=$BUILD/pluvane_effect.so
export ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1
export UBSAN_OPTIONS=halt_on_error=1
objects=()
for t in scene values image video entry; do
  # %m keeps the program's counters and the media library's apart.
  LLVM_PROFILE_FILE="$PROFILES/$t-%p-%m.profraw" "$BUILD/fuzz/fuzz_$t" -runs=0 -timeout=60 -rss_limit_mb=4096 \
    "$CORPUS/$t" >"$PROFILES/$t.log" 2>&1 || { echo "fuzz_$t failed on its corpus:"; tail -20 "$PROFILES/$t.log"; exit 1; }
  objects+=(-object "$BUILD/fuzz/fuzz_$t")
done
objects+=(-object "$BUILD/pluvane_image_io.so" -object "$BUILD/pluvane_video_io.so")
llvm-profdata-14 merge -sparse "$PROFILES"/*.profraw -o "$PROFILES/all.profdata"
# Only media/ and session/: by the path each file was compiled under, which
# may be relative (ccache's base folder) or absolute.
llvm-cov-14 export "${objects[@]:1}" -instr-profile="$PROFILES/all.profdata" -summary-only >"$PROFILES/summary.json"
python3 - "$PROFILES/summary.json" <<'PY'
import json, re, sys
files = {}
for data in json.load(open(sys.argv[1]))["data"]:
    for f in data["files"]:
        m = re.search(r"(?:^|/)((?:media|session)/[^/]+)$", f["filename"])
        if m:
            lines = f["summary"]["lines"]
            seen = files.setdefault(m.group(1), [0, 0])
            seen[0] = max(seen[0], lines["count"])
            seen[1] = max(seen[1], lines["covered"])
total = covered = 0
for name in sorted(files):
    count, hit = files[name]
    total, covered = total + count, covered + hit
    print(f"{name:40} {hit:5} of {count:5} lines  {100 * hit / max(count, 1):5.1f} %")
print(f"{'media/ and session/':40} {covered:5} of {total:5} lines  {100 * covered / max(total, 1):5.1f} %")
PY
llvm-cov-14 show "${objects[@]:1}" -instr-profile="$PROFILES/all.profdata" -format=html \
  -output-dir="$BUILD/coverage" >/dev/null
echo "annotated sources: $BUILD/coverage/index.html"
