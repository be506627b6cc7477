#!/usr/bin/env bash
# Screenshots of the filter's panels in Kdenlive and Shotcut, as a user sees
# them after installing: `cmake --install` into a temporary prefix, each
# editor started under Xvfb with a throw-away home, a project holding a clip
# with the effect (keyframes of Ripple Height and of the light's position),
# the clip selected, the panel captured.
#   editors/screenshots.sh [BUILD_DIR] [OUT_DIR]     (defaults: build, docs)
# Needs kdenlive, shotcut, xvfb, xdotool, imagemagick, dbus; takes about two
# minutes. Every program runs under a time limit and is stopped at the end.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../build}" && pwd)
out=$(mkdir -p "${2:-$here/../docs}" && cd "${2:-$here/../docs}" && pwd)
for p in kdenlive shotcut Xvfb xdotool import dbus-run-session ffmpeg; do
  command -v "$p" >/dev/null || { echo "screenshots.sh: $p not found (Debian: kdenlive shotcut xvfb xdotool imagemagick dbus ffmpeg)" >&2; exit 1; }
done

tmp=$(mktemp -d /tmp/pluvane-screens-XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill -- "-$pid" 2>/dev/null || kill "$pid" 2>/dev/null || true; done
  sleep 1
  for pid in "${pids[@]}"; do kill -9 -- "-$pid" 2>/dev/null || true; done
  rm -rf "$tmp"
}
trap cleanup EXIT

# Starts a program in a process group of its own under a time limit.
start() {  # start LOG COMMAND...
  local log=$1; shift
  setsid timeout --kill-after=5 300 "$@" >"$log" 2>&1 &
  pids+=($!)
  disown
}
# Waits (up to 90 s) for a visible window whose name matches.
window() {
  local w
  for _ in $(seq 90); do
    w=$(xdotool search --onlyvisible --name "$1" 2>/dev/null | head -1 || true)
    [[ -n $w ]] && { echo "$w"; return; }
    sleep 1
  done
  echo "screenshots.sh: no window \"$1\" appeared; the program said:" >&2
  tail -n 20 "$tmp"/*.log >&2
  exit 1
}

prefix=$tmp/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null
export HOME=$tmp/home XDG_RUNTIME_DIR=$tmp/run
mkdir -p "$HOME/.frei0r-1/lib" "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
# MLT searches ~/.frei0r-1/lib besides its own folders; FREI0R_PATH stays unset.
cp "$prefix/lib/frei0r-1/pluvane.so" "$HOME/.frei0r-1/lib/"
export XDG_DATA_DIRS=$prefix/share:${XDG_DATA_DIRS:-/usr/local/share:/usr/share}
timeout 60 ffmpeg -v error -y -f lavfi -i testsrc2=s=640x360:r=25 -frames:v 50 -pix_fmt yuv420p "$tmp/clip.mp4"

start "$tmp/xvfb.log" Xvfb :73 -screen 0 1600x1000x24 -nolisten tcp
export DISPLAY=:73
sleep 2

# The effect's parameters as a panel sets them, with keyframes.
params() {  # params KEYTIME (MLT time of the second keyframe)
  local t=$1
  cat <<EOF
      <property name="mlt_service">frei0r.pluvane</property>
      <property name="0">seconds</property>
      <property name="21">native</property>
      <property name="1">project</property>
      <property name="8">Effect Light</property>
      <property name="10">#ff8000</property>
      <property name="11">Point Light</property>
      <property name="20">0</property>
      <property name="2">3</property>
      <property name="3">1</property>
      <property name="4">360</property>
      <property name="5">20</property>
      <property name="6">00:00:00.000=100;$t=150</property>
      <property name="7">100</property>
      <property name="9">100</property>
      <property name="12">65</property>
      <property name="22">00:00:00.000=0.25;$t=0.75</property>
      <property name="23">00:00:00.000=0.25;$t=0.55</property>
      <property name="14">-45</property>
      <property name="15">100</property>
      <property name="16">20</property>
      <property name="17">100</property>
      <property name="18">0.015</property>
      <property name="19">100</property>
      <property name="24">3</property>
      <property name="25">1</property>
EOF
}
profile='<profile description="640x360 25fps" width="640" height="360" progressive="1" sample_aspect_num="1" sample_aspect_den="1" display_aspect_num="16" display_aspect_den="9" frame_rate_num="25" frame_rate_den="1" colorspace="709"/>'

# ---- Kdenlive: the project's clip on V1, selected, its effect stack shown.
cat >"$tmp/project.kdenlive" <<EOF
<?xml version='1.0' encoding='utf-8'?>
<mlt LC_NUMERIC="C" producer="main_bin" version="7.12.0" root="$tmp">
 $profile
 <producer id="producer0" in="00:00:00.000" out="00:00:01.960">
  <property name="length">50</property>
  <property name="resource">clip.mp4</property>
  <property name="mlt_service">avformat-novalidate</property>
  <property name="kdenlive:id">2</property>
  <property name="kdenlive:clip_type">2</property>
 </producer>
 <playlist id="main_bin">
  <property name="kdenlive:docproperties.version">1.04</property>
  <property name="xml_retain">1</property>
  <entry producer="producer0" in="00:00:00.000" out="00:00:01.960"/>
 </playlist>
 <producer id="black_track" in="00:00:00.000" out="00:00:01.960">
  <property name="length">2147483647</property>
  <property name="resource">black</property>
  <property name="mlt_service">color</property>
  <property name="kdenlive:playlistid">black_track</property>
 </producer>
 <producer id="producer1" in="00:00:00.000" out="00:00:01.960">
  <property name="length">50</property>
  <property name="resource">clip.mp4</property>
  <property name="mlt_service">avformat-novalidate</property>
  <property name="kdenlive:id">2</property>
 </producer>
 <playlist id="playlist0">
  <entry producer="producer1" in="00:00:00.000" out="00:00:01.960">
   <property name="kdenlive:id">2</property>
   <filter id="filter0">
     <property name="kdenlive_id">frei0r.pluvane</property>
$(params 00:00:01.000)
   </filter>
  </entry>
 </playlist>
 <playlist id="playlist1"/>
 <tractor id="tractor0" in="00:00:00.000" out="00:00:01.960">
  <track hide="audio" producer="playlist0"/>
  <track hide="audio" producer="playlist1"/>
 </tractor>
 <tractor id="tractor1" global_feed="1" in="00:00:00.000" out="00:00:01.960">
  <track producer="black_track"/>
  <track producer="tractor0"/>
  <transition id="transition0">
   <property name="a_track">0</property>
   <property name="b_track">1</property>
   <property name="mlt_service">qtblend</property>
   <property name="internal_added">237</property>
   <property name="always_active">1</property>
  </transition>
 </tractor>
</mlt>
EOF
start "$tmp/kdenlive.log" dbus-run-session -- kdenlive "$tmp/project.kdenlive"
w=$(window "640x360 25fps")  # the title names the project and its profile
sleep 10  # the first frames and the thumbnails
xdotool windowmove "$w" 0 0 windowsize "$w" 1600 1000
sleep 3
xdotool mousemove 181 553 click 1       # the clip on V1
sleep 2
xdotool mousemove 1362 951 click 1      # the Effect/Composition Stack tab
sleep 4
import -window root -crop 660x960+940+0 +repage "$out/kdenlive-panel.png"
kill -- "-${pids[-1]}" 2>/dev/null || true
sleep 2
kill -9 -- "-${pids[-1]}" 2>/dev/null || true

# ---- Shotcut: the clip with the filter in the source player, the Filters
# panel floated and tall enough for every control. Shotcut reads filters from
# its own installation only: a copy of its program beside a qml folder that
# holds its own filters and the installed one.
sc=$tmp/shotcut
mkdir -p "$sc/bin" "$sc/share/shotcut/qml/filters"
cp "$(command -v shotcut)" "$sc/bin/"
for d in /usr/share/shotcut/*; do [[ $(basename "$d") == qml ]] || ln -s "$d" "$sc/share/shotcut/"; done
for d in /usr/share/shotcut/qml/*; do [[ $(basename "$d") == filters ]] || ln -s "$d" "$sc/share/shotcut/qml/"; done
for d in /usr/share/shotcut/qml/filters/*; do ln -s "$d" "$sc/share/shotcut/qml/filters/"; done
cp -r "$prefix/share/shotcut/qml/filters/pluvane" "$sc/share/shotcut/qml/filters/"
cat >"$tmp/clip.mlt" <<EOF
<?xml version="1.0" standalone="no"?>
<mlt LC_NUMERIC="C" version="7.12.0" producer="chain0">
  $profile
  <chain id="chain0" out="00:00:01.960">
    <property name="length">50</property>
    <property name="resource">$tmp/clip.mp4</property>
    <property name="mlt_service">avformat-novalidate</property>
    <filter id="filter0" out="00:00:01.960">
      <property name="shotcut:filter">pluvane</property>
$(params 00:00:01.000)
    </filter>
  </chain>
</mlt>
EOF
start "$tmp/shotcut.log" "$sc/bin/shotcut" --noupgrade "$tmp/clip.mlt"
w=$(window "Shotcut")
sleep 8
xdotool windowmove "$w" 0 0
sleep 1
xdotool mousemove 103 396 click 1       # the Filters tab
sleep 3
xdotool mousemove 30 92 click --repeat 2 1   # float the Filters panel
sleep 2
f=$(window "^Filters$")
xdotool windowmove "$f" 0 0 windowsize "$f" 760 860
sleep 3
import -window root -crop 760x860+0+0 +repage "$out/shotcut-panel.png"
echo "wrote $out/kdenlive-panel.png and $out/shotcut-panel.png"
