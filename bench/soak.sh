#!/usr/bin/env bash
# A long stability run of `pluvane render`, started by hand (not a test):
#   bench/soak.sh BUILD_DIR [FRAMES] [SIZE]
# renders FRAMES frames (default 1000) of a SIZE layer (default 1920x1080) in
# one process, then four processes at once, sampling each process's resident
# memory every second. It fails when memory grows after the first frames (the
# largest sample of the second half more than one frame's samples, the most
# the frame queues can add when a loaded machine first fills them, plus 5 %
# above the largest of the first half, start-up left out) or when any sampled
# frame (every 100th, and the last) differs
# from a render of that frame alone. Finished frames are deleted as they come,
# except the sampled ones, so the soak needs little disk.
set -euo pipefail
BUILD=$(realpath "${1:?usage: $0 BUILD_DIR [FRAMES] [SIZE]}")
FRAMES=${2:-1000}
SIZE=${3:-1920x1080}
PLUVANE=$BUILD/pluvane
WORK=$(mktemp -d /tmp/pluvane-soak-XXXXXX)
trap 'kill $(jobs -p) 2>/dev/null || true; rm -rf "$WORK"' EXIT
cd "$WORK"
oiiotool --pattern fill:top=0.1,0.3,0.6,1:bottom=0.8,0.7,0.3,1 "$SIZE" 4 -d uint8 -o in.png
LAST=$((FRAMES - 1))
sampled() { (( $1 % 100 == 0 || $1 == LAST )); }

# soak_run NAME: renders every frame into NAME/, keeps the sampled ones, writes NAME.rss
soak_run() {
  local name=$1
  mkdir -p "$name"
  "$PLUVANE" render in.png -o "$name/f.####.png" --frames "0-$LAST" --threads 1 -q &
  local pid=$!
  : >"$name.rss"
  while kill -0 "$pid" 2>/dev/null; do
    awk '/VmRSS/ {print $2}' "/proc/$pid/status" 2>/dev/null >>"$name.rss" || true
    for f in "$name"/f.[0-9]*.png; do
      [[ -e $f ]] || continue
      n=$((10#$(basename "$f" .png | cut -d. -f2)))
      sampled "$n" || rm -f "$f"
    done
    sleep 1
  done
  wait "$pid"
}

check_memory() {  # check_memory NAME
  python3 - "$1.rss" "$SIZE" <<'P'
import sys
rss = [int(l) for l in open(sys.argv[1]) if l.strip()]
w, h = (int(v) for v in sys.argv[2].split("x"))
frame_kib = w * h * 16 / 1024  # one frame's samples: four floats a pixel
if len(rss) < 4:
    print(f"{sys.argv[1]}: too few memory samples ({len(rss)}); give more frames"); sys.exit(0)
# The first tenth is start-up (libraries loading, the first frames' buffers).
start, half = len(rss) // 10, len(rss) // 2
first, second = max(rss[start:half]), max(rss[half:])
print(f"{sys.argv[1]}: {len(rss)} samples, peak {first/1024:.0f} MiB in the first half, {second/1024:.0f} MiB in the second")
sys.exit(0 if second <= first * 1.05 + frame_kib else 1)
P
}

check_frames() {  # check_frames NAME
  local n bad=0
  for ((n = 0; n <= LAST; n++)); do
    sampled "$n" || continue
    printf -v file "%s/f.%04d.png" "$1" "$n"
    "$PLUVANE" render in.png -o alone.png --frame "$n" -q
    cmp -s "$file" alone.png || { echo "$file differs from frame $n rendered alone"; bad=1; }
  done
  return $bad
}

status=0
echo "one process, $FRAMES frames of $SIZE"
soak_run single
check_memory single || status=1
check_frames single || status=1
echo "four processes at once"
for i in 1 2 3 4; do soak_run "p$i" & done
wait
for i in 1 2 3 4; do check_memory "p$i" || status=1; done
for i in 1 2 3 4; do
  for ((n = 0; n <= LAST; n++)); do
    sampled "$n" || continue
    printf -v f "f.%04d.png" "$n"
    cmp -s "single/$f" "p$i/$f" || { echo "p$i/$f differs from the single run"; status=1; }
  done
done
((status == 0)) && echo "soak passed" || echo "soak FAILED"
exit $status
