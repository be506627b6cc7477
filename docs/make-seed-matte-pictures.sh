#!/usr/bin/env bash
# Renders the README's pictures of the seed and the matte:
#   docs/seeds.jpg  frame 24 with seed 0 and with seed 1, side by side;
#   docs/matte.jpg  a matte (white on the left, a soft edge) and frame 24
#                   rendered with it: rain on the left, the picture as it is
#                   on the right.
# The picture is the demo's pool tiles unless another is given. pluvane
# renders; OpenImageIO's oiiotool makes the matte, writes the labels and puts
# the pictures together. Running it again gives the same files.
#   docs/make-seed-matte-pictures.sh [PATH/TO/pluvane] [PICTURE]
# (defaults: build/pluvane, the demo's picture; Debian: openimageio-tools)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
PLUVANE=$(realpath "${1:-$here/../build/pluvane}")
command -v oiiotool >/dev/null || { echo "make-seed-matte-pictures.sh: oiiotool is missing (apt-get install openimageio-tools)" >&2; exit 1; }
FONT=/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf
[[ -f $FONT ]] || { echo "make-seed-matte-pictures.sh: $FONT is missing (apt-get install fonts-dejavu-core)" >&2; exit 1; }
T=$(mktemp -d /tmp/pluvane-pictures-XXXXXX)
trap 'rm -rf "$T"' EXIT

if [[ -n ${2:-} ]]; then
  oiiotool "$2" --ch R,G,B --resize 640x360 -d uint8 -o "$T/source.png"
else
  "$PLUVANE" demo -o "$T/demo" --frames 0-0 -q
  cp "$T/demo/source.png" "$T/source.png"
fi
RAIN=(--frame 24 --fps 24 --set "Drip Rate=2" -q)

# One labelled cell, 320x180, from a picture.
cell() {  # cell PICTURE LABEL OUT
  oiiotool "$1" --ch R,G,B --resize 320x180 \
    --fill:color=0,0,0 320x22+0+158 \
    --text:x=6:y=174:size=13:color=1,1,1:font="$FONT" "$2" \
    --nosoftwareattrib -d uint8 -o "$3"
}
# Cells side by side, as a small JPEG.
join() {  # join OUT CELL...
  local out=$1
  shift
  oiiotool "$@" --mosaic:pad=4 "$#x1" --attrib Compression jpeg:88 --nosoftwareattrib -d uint8 -o "$out"
}

for seed in 0 1; do
  "$PLUVANE" render "$T/source.png" -o "$T/seed$seed.png" --seed "$seed" "${RAIN[@]}"
  cell "$T/seed$seed.png" "--seed $seed" "$T/seed$seed.cell.png"
done
join "$here/seeds.jpg" "$T/seed0.cell.png" "$T/seed1.cell.png"

# White on the left 60 %, black on the right, blurred into a soft edge.
oiiotool --create 640x360 3 --box:color=1,1,1:fill=1 0,0,383,359 --blur 61x61 -d uint8 -o "$T/matte.png"
"$PLUVANE" render "$T/source.png" -o "$T/matted.png" --matte "$T/matte.png" "${RAIN[@]}"
cell "$T/matte.png" "the matte" "$T/matte.cell.png"
cell "$T/matted.png" "--matte matte.png" "$T/matted.cell.png"
join "$here/matte.jpg" "$T/matte.cell.png" "$T/matted.cell.png"
echo "wrote $here/seeds.jpg and $here/matte.jpg"
