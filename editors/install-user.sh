#!/bin/sh
# Installs the frei0r filter and its Kdenlive panel for the current user, no
# root needed:
#   ~/.frei0r-1/lib/pluvane.so                      (MLT searches it besides its own folders)
#   ~/.local/share/kdenlive/effects/frei0r_pluvane.xml
# FREI0R_PATH is left alone: setting it replaces MLT's search path and hides
# the editors' own frei0r effects.
# Shotcut 22.12 reads filter panels only from its own installation folder
# (share/shotcut/qml/filters): its panel needs the package (./build.sh package)
# or `cmake --install` as root.
#   editors/install-user.sh [BUILD_DIR]     (default: build)
#   editors/install-user.sh --uninstall
set -eu
here=$(cd "$(dirname "$0")" && pwd)
lib="$HOME/.frei0r-1/lib"
effects="${XDG_DATA_HOME:-$HOME/.local/share}/kdenlive/effects"

if [ "${1:-}" = "--uninstall" ]; then
  rm -f "$lib/pluvane.so" "$effects/frei0r_pluvane.xml"
  echo "removed $lib/pluvane.so and $effects/frei0r_pluvane.xml"
  exit 0
fi

build=${1:-"$here/../build"}
so="$build/frei0r-1/pluvane.so"
if [ ! -f "$so" ]; then
  echo "install-user.sh: $so not found: build first (cmake -S . -B build && cmake --build build)" >&2
  exit 1
fi
mkdir -p "$lib" "$effects"
# Copied through a temporary name, so an editor running meanwhile never
# loads a half-written file.
cp "$so" "$lib/.pluvane.so.tmp" && mv -f "$lib/.pluvane.so.tmp" "$lib/pluvane.so"
cp "$here/kdenlive/frei0r_pluvane.xml" "$effects/frei0r_pluvane.xml"
echo "installed $lib/pluvane.so and $effects/frei0r_pluvane.xml"
echo "restart Kdenlive; the effect is \"Pluvane: rain ripples\" under Misc (Shotcut needs the installation as root)"
