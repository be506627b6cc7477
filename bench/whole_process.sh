#!/usr/bin/env bash
# Whole-process timing of `pluvane render` against a baseline command that
# does comparable work on the same file: G'MIC's raindrops filter
#   gmic -input in.png -raindrops 80,0.1,1,0 -output out.png
# on a 1080p and a 4K PNG, and a 48-frame 1080p PNG sequence (pluvane renders
# it in one process; the baseline runs once per frame). Prints the median of
# RUNS runs of each, the ratio pluvane / baseline, and pluvane's peak memory.
#
#   bench/whole_process.sh [BUILD_DIR]     (default: build)
#   RUNS=7 bench/whole_process.sh
# The machine is shared: compare medians of one session, never across days.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${1:-build}
PLUVANE=$(realpath "$BUILD/pluvane")
RUNS=${RUNS:-5}
command -v gmic >/dev/null || { echo "gmic is needed for the baseline" >&2; exit 2; }
[[ -x $PLUVANE ]] || { echo "no $PLUVANE: build first (./build.sh bench)" >&2; exit 2; }

WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
cd "$WORK"
# Smooth, photo-like pictures: plasma noise, 8-bit RGB.
gmic -input 1920,1080,1,3 -plasma 60,1 -normalize 0,255 -output in1080.png >/dev/null 2>&1
gmic -input 3840,2160,1,3 -plasma 60,1 -normalize 0,255 -output in2160.png >/dev/null 2>&1

now_ms() { date +%s%N | awk '{printf "%.3f", $1 / 1e6}'; }
# median_ms CMD...: the median wall time of RUNS runs, in milliseconds.
median_ms() {
  local times=()
  for ((i = 0; i < RUNS; ++i)); do
    local t0 t1
    t0=$(now_ms)
    "$@" >/dev/null 2>&1
    t1=$(now_ms)
    times+=("$(awk -v a="$t0" -v b="$t1" 'BEGIN{printf "%.1f", b - a}')")
  done
  printf '%s\n' "${times[@]}" | sort -n | awk '{v[NR]=$1} END{print (NR%2) ? v[(NR+1)/2] : (v[NR/2]+v[NR/2+1])/2}'
}
peak_mib() { /usr/bin/time -f %M "$@" 2>&1 >/dev/null | tail -1 | awk '{printf "%.0f", $1 / 1024}'; }

gmic_seq() { for f in $(seq 0 47); do gmic -input in1080.png -raindrops 80,0.1,1,0 -output "g.$f.png" >/dev/null 2>&1; done; }

printf '%-28s %12s %12s %8s %10s\n' case "pluvane ms" "baseline ms" ratio "peak MiB"
row() {  # name pluvane_ms baseline_ms peak
  printf '%-28s %12s %12s %8s %10s\n' "$1" "$2" "$3" "$(awk -v a="$2" -v b="$3" 'BEGIN{printf "%.2f", a / b}')" "$4"
}
for size in 1080 2160; do
  p=$(median_ms "$PLUVANE" render -q "in$size.png" -o out.png --frame 100)
  g=$(median_ms gmic -input "in$size.png" -raindrops 80,0.1,1,0 -output g.png)
  row "one frame ${size}p" "$p" "$g" "$(peak_mib "$PLUVANE" render -q "in$size.png" -o out.png --frame 100)"
done
p=$(median_ms "$PLUVANE" render -q in1080.png -o 'seq.####.png' --frames 0-47)
g=$(median_ms gmic_seq)
row "48 frames 1080p (total)" "$p" "$g" "$(peak_mib "$PLUVANE" render -q in1080.png -o 'seq.####.png' --frames 0-47)"
echo "per frame: pluvane $(awk -v a="$p" 'BEGIN{printf "%.1f", a / 48}') ms, baseline $(awk -v a="$g" 'BEGIN{printf "%.1f", a / 48}') ms"
a=$(median_ms "$PLUVANE" about)
echo "start-up (pluvane about): $a ms, peak $(peak_mib "$PLUVANE" about) MiB"

# The video path: a 48-frame 1080p H.264 clip to .mp4. The whole process's
# frame rate against the render's own (--stats): what decoding, conversion and
# encoding around the render cost.
if command -v ffmpeg >/dev/null; then
  ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=s=1920x1080:r=24:d=2 -c:v libx264 -pix_fmt yuv420p clip.mp4
  "$PLUVANE" render clip.mp4 -o out.mp4 --stats | tail -1 |
    awk '{for (i = 1; i <= NF; ++i) if ($i ~ /^frames\/s/) v[++n] = $(i - 1)}
         END {printf "video 1080p H.264: %s frames/s whole, %s rendering, ratio %.2f\n", v[1], v[2], v[1] / v[2]}'
fi
