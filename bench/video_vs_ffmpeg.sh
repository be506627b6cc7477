#!/usr/bin/env bash
# A clip in, a clip out: `pluvane render` against ffmpeg running the same
# effect as its frei0r filter, with the same encoder settings (libx264,
# preset medium, CRF 18, yuv420p, audio copied), and against the re-encode
# alone (ffmpeg without the filter). Clips made here with ffmpeg: 4 seconds of
# 1080p25 (testsrc2) and 1 second of 2160p25 (mandelbrot), H.264 with AAC
# audio. Runs alternate A B A B ... so that a drifting machine moves both
# alike; prints, per clip and command, the medians of wall seconds, CPU
# seconds (user + system) and peak memory, and the median of the pairwise
# wall ratios against ffmpeg with the filter.
#
#   bench/video_vs_ffmpeg.sh [BUILD_DIR]      (default: build)
#   RUNS=5 bench/video_vs_ffmpeg.sh
# The filter is told ffmpeg's time unit and the clips' rate ("ms|25"), so that
# it renders the very frames `pluvane render` renders (its defaults, seconds
# and 30 fps, would give other rain). The filter is
# BUILD_DIR/frei0r-1/pluvane.so. The machine is shared: compare
# figures of one session, never across days.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${1:-build}
PLUVANE=$(realpath "$BUILD/pluvane")
export FREI0R_PATH=$(realpath "$BUILD/frei0r-1")
RUNS=${RUNS:-3}
command -v ffmpeg >/dev/null || { echo "ffmpeg is needed" >&2; exit 2; }
[[ -x $PLUVANE && -f $FREI0R_PATH/pluvane.so ]] ||
  { echo "no $PLUVANE or $FREI0R_PATH/pluvane.so: build the pluvane and pluvane_frei0r targets first" >&2; exit 2; }

WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
cd "$WORK"
ffmpeg -nostdin -v error -f lavfi -i testsrc2=size=1920x1080:rate=25:duration=4 -f lavfi -i sine=frequency=440:duration=4 \
  -c:v libx264 -preset medium -crf 18 -pix_fmt yuv420p -c:a aac -shortest clip1080.mp4
ffmpeg -nostdin -v error -f lavfi -i mandelbrot=size=3840x2160:rate=25 -f lavfi -i sine=frequency=440:duration=1 -t 1 \
  -c:v libx264 -preset medium -crf 18 -pix_fmt yuv420p -c:a aac -shortest clip2160.mp4

X264=(-c:v libx264 -preset medium -crf 18 -pix_fmt yuv420p -c:a copy)
# run NAME CMD...: one run; appends "wall cpu peak_kib" to NAME.txt.
run() {
  local name=$1
  shift
  /usr/bin/time -f '%e %U %S %M' -o "$name.time" "$@" >/dev/null 2>&1 || { echo "$name failed: $*" >&2; exit 1; }
  awk '{printf "%s %.2f %s\n", $1, $2 + $3, $4}' "$name.time" >>"$name.txt"
}
median() { sort -n | awk '{v[NR]=$1} END{print (NR%2) ? v[(NR+1)/2] : (v[NR/2]+v[NR/2+1])/2}'; }
column_median() { awk -v c="$2" '{print $c}' "$1.txt" | median; }

for clip in clip1080 clip2160; do
  rm -f ./*.txt
  for ((i = 0; i < RUNS; ++i)); do
    run pluvane "$PLUVANE" render "$clip.mp4" -o out-pluvane.mp4 -q
    run filter ffmpeg -nostdin -v error -y -i "$clip.mp4" -vf "frei0r=pluvane:ms|25" "${X264[@]}" out-filter.mp4
    run reencode ffmpeg -nostdin -v error -y -i "$clip.mp4" "${X264[@]}" out-reencode.mp4
  done
  echo "$clip.mp4 ($RUNS runs each, alternating; medians)"
  printf '  %-34s %8s %8s %9s %22s\n' command "wall s" "CPU s" "peak MiB" "wall / ffmpeg+filter"
  for name in pluvane filter reencode; do
    ratio=$(paste -d' ' "$name.txt" filter.txt | awk '{print $1 / $4}' | median)
    case $name in
      pluvane) label="pluvane render" ;;
      filter) label="ffmpeg -vf frei0r=pluvane" ;;
      reencode) label="ffmpeg, the re-encode alone" ;;
    esac
    printf '  %-34s %8s %8s %9.0f %22.2f\n' "$label" "$(column_median "$name" 1)" "$(column_median "$name" 2)" \
      "$(column_median "$name" 3 | awk '{print $1 / 1024}')" "$ratio"
  done
done
