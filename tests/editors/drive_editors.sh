#!/usr/bin/env bash
# Uses the filter in the real Kdenlive and Shotcut as a user does, each under
# Xvfb with a throw-away home and a temporary `cmake --install`: the effect
# applied to a clip, the monitor checked after each control is changed (a
# number, a choice, a keyframe), the project saved; then melt renders the
# saved projects, compared frame by frame with `pluvane render` (test_editors).
#   tests/editors/drive_editors.sh BUILD_DIR [OUT_DIR]   (OUT_DIR keeps the projects and monitor pictures)
# What cannot be driven reliably is reported as skipped; exit 77 when a program
# is missing (Debian: kdenlive shotcut xvfb xdotool imagemagick dbus
# libglib2.0-bin ffmpeg melt). Coordinates are those of Kdenlive 22.12 and
# Shotcut 22.12 in a 1600x1000 window with their default layouts.
set -uo pipefail
build=$(cd "${1:?usage: drive_editors.sh BUILD_DIR [OUT_DIR]}" && pwd)
for p in kdenlive shotcut Xvfb xdotool import compare dbus-run-session gdbus ffmpeg melt xvfb-run; do
  command -v "$p" >/dev/null || { echo "drive_editors: $p not installed: skipped"; exit 77; }
done
tmp=$(mktemp -d /tmp/pluvane-drive-XXXXXX)
out=${2:-$tmp/out}
mkdir -p "$out"
out=$(cd "$out" && pwd)
pids=()
failures=0 shots=0
cleanup() {
  for sig in TERM KILL; do for pid in "${pids[@]}"; do kill -$sig -- "-$pid" 2>/dev/null; done; sleep 1; done
  rm -rf "$tmp"
}
trap cleanup EXIT
fail() { echo "drive_editors: FAIL: $*"; failures=$((failures + 1)); }
skip() { echo "drive_editors: skipped: $*"; }
ok() { echo "drive_editors: ok: $*"; }

# A program in a process group of its own under a time limit.
start() {  # start LOG SECONDS COMMAND...
  local log=$1 secs=$2; shift 2
  setsid timeout --kill-after=5 "$secs" "$@" >"$log" 2>&1 &
  pids+=($!)
  disown
}
stop_last() { kill -- "-${pids[-1]}" 2>/dev/null; sleep 2; kill -9 -- "-${pids[-1]}" 2>/dev/null || true; }
window() {  # window NAME_PATTERN: waits up to 90 s for a visible window
  local w
  for _ in $(seq 90); do
    w=$(xdotool search --onlyvisible --name "$1" 2>/dev/null | head -1)
    [[ -n $w ]] && { echo "$w"; return 0; }
    sleep 1
  done
  return 1
}
shot() { import -window root -crop "$2" +repage "$out/$1.png"; }  # shot NAME GEOMETRY
# Whether two monitor pictures differ in more than a few pixels (the
# timecode overlay aside, which the crops leave out).
changed() {
  local n
  n=$(compare -metric AE "$out/$1.png" "$out/$2.png" null: 2>&1 | cut -d' ' -f1)
  [[ $n =~ ^[0-9]+ ]] || { echo "drive_editors: compare $1 $2: $n"; return 1; }
  ((${n%.*} > 50))
}
click() { xdotool mousemove "$1" "$2" click "${3:-1}"; }
choose() { click "$1" "$2"; sleep 1; xdotool key Down Return; sleep 1; }  # Kdenlive's list at x, y: the next choice
pick() { click "$1" "$2"; sleep 1; click "$3" "$4"; }                    # Shotcut's list at x, y: the choice at x2, y2
# step EDITOR NAME COMMAND...: the command changes a control, then the monitor
# must differ from the last picture ($last); a name starting with "!" is idle
# in the current settings, as in the effect, and must change nothing.
step() {
  local editor=$1 name=$2; shift 2
  "$@"
  sleep 4
  shots=$((shots + 1))
  shot "$editor-$shots" "$monitor"
  if [[ $name == !* ]]; then
    changed "$last" "$editor-$shots" && fail "$editor: ${name#!} changed the picture while idle" || ok "$editor: ${name#!} idle, as the effect has it"
  else
    changed "$last" "$editor-$shots" && ok "$editor: $name changes the picture" || fail "$editor: $name changed nothing"
  fi
  last=$editor-$shots
}
sweep() {  # sweep EDITOR X Y:NAME...: each control clicked at x, y (a slider, off its default; a checkbox)
  local editor=$1 x=$2 row; shift 2
  for row in "$@"; do step "$editor" "${row#*:}" click "$x" "${row%%:*}"; done
}
drag() { xdotool mousemove "$1" "$2" mousedown 1; sleep 0.3; xdotool mousemove "$1" "$(( ($2 + $3) / 2 ))"; sleep 0.3; xdotool mousemove "$1" "$3"; sleep 0.3; xdotool mouseup 1; sleep 2; }
# saved EDITOR PROJECT: the saved project holds the effect (kept for melt).
saved() {
  grep -q frei0r.pluvane "$2" && cp "$2" "$out/" && ok "$1: project saved" || fail "$1: the saved project has no effect"
}
type_into() {  # type_into X Y TEXT: double-click a number field, replace its text
  xdotool mousemove "$1" "$2" click --repeat 2 1; sleep 0.5
  xdotool key ctrl+a; xdotool type --delay 80 "$3"; xdotool key Tab
}

prefix=$tmp/prefix
timeout 120 cmake --install "$build" --prefix "$prefix" >/dev/null || { echo "drive_editors: cmake --install failed"; exit 1; }
export HOME=$tmp/home XDG_RUNTIME_DIR=$tmp/run
mkdir -p "$HOME/.frei0r-1/lib" "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
cp "$prefix/lib/frei0r-1/pluvane.so" "$HOME/.frei0r-1/lib/"  # MLT searches it besides its own folders
export XDG_DATA_DIRS=$prefix/share:/usr/local/share:/usr/share
# The clip tests/editors/data's projects were made with (SavedProjectTest makes it again).
timeout 60 ffmpeg -v error -y -f lavfi -i testsrc2=s=320x180:r=25 -frames:v 25 -pix_fmt yuv420p "$tmp/clip.mp4"
display=:$((100 + $$ % 100))
start "$tmp/xvfb.log" 560 Xvfb "$display" -screen 0 1600x1000x24 -nolisten tcp
export DISPLAY=$display
sleep 2

# ---- Kdenlive 22.12: a project with the clip on V1 and no effect.
k=$tmp/kdenlive.kdenlive
sed "s|@ROOT@|$tmp|" "$(dirname "$0")/data/new-project/kdenlive.kdenlive" >"$k"
start "$tmp/kdenlive.log" 240 dbus-run-session -- sh -c 'echo "$DBUS_SESSION_BUS_ADDRESS" >"$0"; exec kdenlive "$1"' "$tmp/bus" "$k"
if w=$(window "320x180 25fps"); then
  sleep 10
  xdotool windowmove "$w" 0 0 windowsize "$w" 1600 1000
  sleep 3
  monitor=480x270+1035+40
  shot k0-clip "$monitor"
  click 176 565   # the clip on V1
  sleep 1
  bus=$(cat "$tmp/bus")
  name=$(DBUS_SESSION_BUS_ADDRESS=$bus timeout 20 gdbus call --session --dest org.freedesktop.DBus --object-path / \
         --method org.freedesktop.DBus.ListNames | grep -o "org.kde.kdenlive-[0-9]*")
  # What the effect list does on a double click: add the effect to the selected clip.
  DBUS_SESSION_BUS_ADDRESS=$bus timeout 20 gdbus call --session --dest "$name" --object-path /kdenlive/MainWindow_1 \
    --method org.kde.kdenlive.MainWindow.addEffect frei0r.pluvane >/dev/null || fail "Kdenlive: addEffect over D-Bus"
  sleep 2
  click 1362 951  # the Effect/Composition Stack tab
  sleep 8
  shot k1-effect "$monitor"
  shot k-panel 1600x1000+0+0  # the whole screen, for placing the clicks again
  changed k0-clip k1-effect && ok "Kdenlive: the new effect shows rain" || fail "Kdenlive: the monitor did not change when the effect was added"
  last=k1-effect
  sweep Kdenlive 1540 707:"Drip Rate"  # at about 4.9
  step Kdenlive "Light Type Point Light" choose 1490 554
  # The other sliders in view, at about a fifth of their span.
  sweep Kdenlive 1300 737:"Longevity (sec)" 767:Rippling 797:Displacement 827:"Ripple Height" \
    857:Spreading 887:"Light Intensity" 917:"Light Height"
  # The effect stack scrolled to its end: the rest of the sliders (Light
  # Direction is idle with a point light).
  drag 1593 600 990
  shot k-panel-end 1600x1000+0+0
  sweep Kdenlive 1300 670:"Light X" 700:"Light Y" 730:"!Light Direction" 760:Ambient 790:Diffuse 820:Specular \
    850:Roughness 880:Metal 910:Mix
  drag 1593 900 400  # back to the top
  sweep Kdenlive 1408 575:Draft
  sweep Kdenlive 1300 598:Seed  # the plain slider under the lists, at about 15
  # Using: AE Lights. MLT has no composition lights, and without any the
  # effect renders as with its own light (as `pluvane render` does): idle.
  step Kdenlive "!Using AE Lights" choose 1490 506
  skip "Kdenlive: Light Color (its colour dialog was not driven)"
  skip "Kdenlive: a keyframe (xdotool moved neither the monitor's nor the keyframe bar's playhead, so a key could only go at frame 0)"
  xdotool key --window "$w" ctrl+s
  sleep 4
  grep -q "AE Lights" "$k" || fail "Kdenlive: Using AE Lights was not set"
  saved Kdenlive "$k"
else
  fail "Kdenlive: no window appeared"; tail -n 20 "$tmp/kdenlive.log"
fi
stop_last

# ---- Shotcut 22.12: the clip opened from a project file. Shotcut reads
# filters from its own installation only: a copy of its program beside a qml
# folder holding its own filters and the installed one.
sc=$tmp/shotcut
mkdir -p "$sc/bin" "$sc/share"
cp "$(command -v shotcut)" "$sc/bin/"
cp -rs /usr/share/shotcut "$sc/share/"  # folders of links to its own files
cp -r "$prefix/share/shotcut/qml/filters/pluvane" "$sc/share/shotcut/qml/filters/"
s=$tmp/shotcut.mlt
sed "s|@ROOT@|$tmp|" "$(dirname "$0")/data/new-project/shotcut.mlt" >"$s"
start "$tmp/shotcut.log" 240 "$sc/bin/shotcut" --noupgrade "$s"
if w=$(window "Shotcut"); then
  sleep 8
  xdotool windowmove "$w" 0 0 windowsize "$w" 1600 1000
  sleep 3
  monitor=640x360+622+172
  click 924 675   # the player to frame 0
  sleep 1
  shot s0-clip "$monitor"
  click 103 708   # the Filters tab
  sleep 2
  click 21 289    # add a filter
  sleep 2
  xdotool type --delay 100 "ripple"
  sleep 2
  click 83 207    # the first (only) match
  sleep 5
  shot s1-effect "$monitor"
  shot s-panel 1600x1000+0+0  # the whole screen, for placing the clicks again
  changed s0-clip s1-effect && ok "Shotcut: the new filter shows rain (found by \"ripple\")" || fail "Shotcut: the monitor did not change when the filter was added"
  for attempt in 1 2; do  # the first typing can land before the panel takes focus
    type_into 460 431 3   # Drip Rate
    sleep 4
    shot s2-drip "$monitor"
    changed s1-effect s2-drip && break
  done
  changed s1-effect s2-drip && ok "Shotcut: Drip Rate moves the rain" || fail "Shotcut: Drip Rate changed nothing"
  last=s2-drip
  step Shotcut "Light Type Point Light" pick 211 378 164 411
  sweep Shotcut 200 457:"Longevity (sec)" 483:Rippling 509:Displacement 536:"Ripple Height" \
    561:Spreading 588:"Light Intensity" 613:"Light Height" 639:"Light X" 665:"Light Y"
  drag 602 350 680  # the panel scrolled to its end
  shot s-panel-end 1600x1000+0+0
  sweep Shotcut 200 434:"!Light Direction" 460:Ambient 486:Diffuse 513:Specular 538:Roughness 564:Metal 590:Mix
  sweep Shotcut 138 620:Draft
  sweep Shotcut 200 650:Seed  # the whole-number slider at the end, at about 12
  drag 602 500 250  # back to the top
  step Shotcut "!Using AE Lights" pick 211 349 164 382
  skip "Shotcut: Light Color (its colour dialog was not driven)"
  click 557 535   # Ripple Height's keyframe button: a key at frame 0
  sleep 1
  type_into 685 675 20  # the player to frame 20
  xdotool key Return
  sleep 3
  shot s4-before "$monitor"
  last=s4-before
  step Shotcut "Ripple Height 150 keyed at frame 20" type_into 460 535 150
  xdotool key ctrl+s
  sleep 4
  grep -q '<property name="6">[^<]*;' "$s" || fail "Shotcut: the saved project has no keyframes for Ripple Height"
  saved Shotcut "$s"
else
  fail "Shotcut: no window appeared"; tail -n 20 "$tmp/shotcut.log"
fi
stop_last

# melt against `pluvane render`, for the saved projects.
mkdir -p "$tmp/saved" && cp "$out"/kdenlive.kdenlive "$out"/shotcut.mlt "$tmp/saved/" 2>/dev/null
if [[ -n $(ls "$tmp/saved") ]]; then
  if PLUVANE_EDITORS_DATA=$tmp/saved timeout 400 "$build/tests/test_editors" >"$tmp/cmp.log" 2>&1; then
    ok "melt renders the saved projects as pluvane render does"
  else
    tail -n 20 "$tmp/cmp.log"; fail "melt's frames differ from pluvane render's"
  fi
fi
echo "drive_editors: $failures failure(s); projects and monitor pictures in $out"
((failures == 0))
