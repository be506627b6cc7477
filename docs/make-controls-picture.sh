#!/usr/bin/env bash
# Renders docs/controls.png: every control of the effect at three telling
# values side by side, one row per control, each picture labelled with the
# control's name and value. pluvane renders frame 24 of its demo picture for
# each; OpenImageIO's oiiotool writes the labels and puts the pictures
# together. Running it again gives the same file, byte for byte.
#   docs/make-controls-picture.sh [PATH/TO/pluvane] [OUTPUT.png]
# (defaults: build/pluvane, docs/controls.png; Debian: openimageio-tools)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
PLUVANE=$(realpath "${1:-$here/../build/pluvane}")
OUT=$(realpath -m "${2:-$here/controls.png}")
command -v oiiotool >/dev/null || { echo "make-controls-picture.sh: oiiotool is missing (apt-get install openimageio-tools)" >&2; exit 1; }
FONT=/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf
[[ -f $FONT ]] || { echo "make-controls-picture.sh: $FONT is missing (apt-get install fonts-dejavu-core)" >&2; exit 1; }
T=$(mktemp -d /tmp/pluvane-controls-XXXXXX)
trap 'rm -rf "$T"' EXIT

# The demo's pool tiles (640x360), rendered at half size (as a host's
# preview does: the same drops in the same places) and shown at 240x135.
"$PLUVANE" demo -o "$T/demo" --frames 0-0 -q
SOURCE=$T/demo/source.png
# Composition lights for "Using": a warm spot from the top left, a cool
# parallel light, each with some ambient light.
cat >"$T/spot.json" <<'EOF'
{"lights": [{"type": "spot", "position": [100, 50, -400], "point_of_interest": [320, 180, 0],
             "intensity": 150, "color": [1, 0.75, 0.45], "cone_angle": 90, "cone_feather": 60},
            {"type": "ambient", "intensity": 70}]}
EOF
cat >"$T/parallel.json" <<'EOF'
{"lights": [{"type": "parallel", "position": [600, 300, -300], "point_of_interest": [320, 180, 0],
             "intensity": 100, "color": [0.55, 0.7, 1]}, {"type": "ambient", "intensity": 70}]}
EOF

# One picture: the control at a value, labelled "NAME = LABEL" (LABEL: the
# value unless given), with any further options the value needs to show.
cells=()
cell() {  # cell NAME VALUE [LABEL [OPTION...]]
  local name=$1 value=$2 label=${3:-$2}
  shift $(($# < 3 ? $# : 3))
  local file
  file=$(printf '%s/cell%03d' "$T" "${#cells[@]}")
  "$PLUVANE" render "$SOURCE" -o "$file.render.png" --frame 24 --fps 24 --downsample 2 -q "$@" --set "$name=$value"
  # Shown smaller, the label on a dark band along the bottom.
  oiiotool "$file.render.png" --ch R,G,B --resize 240x135 \
    --fill:color=0,0,0 240x20+0+115 \
    --text:x=5:y=130:size=12:color=1,1,1:font="$FONT" "$name = $label" \
    --nosoftwareattrib -d uint8 -o "$file.png"
  cells+=("$file.png")
}
row() {  # row NAME V1 V2 V3: three plain values
  local name=$1 v
  shift
  for v in "$@"; do cell "$name" "$v"; done
}

row "Drip Rate" 0.2 1 5
row "Longevity (sec)" 0.3 1 3
row "Rippling" 120 360 1080
row "Displacement" 5 20 80
row "Ripple Height" 30 100 200
row "Spreading" 30 100 300
cell "Using" "Effect Light"
cell "Using" "AE Lights" "AE Lights: spot" --scene "$T/spot.json"
cell "Using" "AE Lights" "AE Lights: parallel" --scene "$T/parallel.json"
row "Light Intensity" 30 100 300
# With "Metal" at 0 the highlights take the light's colour.
cell "Light Color" "#ffffff" "white, Metal 0" --set "Metal=0"
cell "Light Color" "#ff8000" "orange, Metal 0" --set "Metal=0"
cell "Light Color" "#4080ff" "blue, Metal 0" --set "Metal=0"
cell "Light Type" "Distant Light"
cell "Light Type" "Point Light"
cell "Light Type" "Point Light" "Point, at 320,180" --set "Light Position=320,180"
row "Light Height" 10 65 100
for position in 80,60 320,180 560,300; do
  cell "Light Position" "$position" "$position (Point)" --set "Light Type=Point Light"
done
row "Light Direction" -135 -45 45
row "Ambient" 30 100 200
row "Diffuse" 0 50 100
row "Specular" 0 50 100
row "Roughness" 0.003 0.015 0.1
row "Metal" 0 50 100

oiiotool "${cells[@]}" --mosaic:pad=4 3x$((${#cells[@]} / 3)) --nosoftwareattrib -d uint8 -o "$T/controls.png"
mv "$T/controls.png" "$OUT"
echo "wrote $OUT"
