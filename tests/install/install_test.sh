#!/usr/bin/env bash
# `cmake --install` into a temporary prefix gives a working, relocatable set:
# run from there with no PLUVANE_* or LD_LIBRARY_PATH set (and the prefix
# moved after installing), the program finds its module and media libraries
# beside itself, renders the same frame as the build tree, and ffmpeg finds
# the frei0r filter in PREFIX/lib/frei0r-1 (named by FREI0R_PATH, as a
# prefix other than the hosts' own needs).
#   tests/install/install_test.sh BUILD_DIR [SANITIZER_RUNTIMES]
# SANITIZER_RUNTIMES: for a sanitized build, the runtimes ffmpeg (not
# sanitized) needs preloaded to load the sanitized filter.
set -euo pipefail
BUILD=$(realpath "${1:?usage: $0 BUILD_DIR [SANITIZER_RUNTIMES]}")
PRELOAD=${2:-}
. "$(dirname "$0")/../support/limits.sh"
T=$(mktemp -d /tmp/pluvane-install-XXXXXX)
trap 'rm -rf "$T"' EXIT
# A clean environment: nothing of ours, no library path.
CLEAN=(env -i PATH=/usr/bin:/bin HOME="$T" ${ASAN_OPTIONS:+ASAN_OPTIONS=$ASAN_OPTIONS} ${UBSAN_OPTIONS:+UBSAN_OPTIONS=$UBSAN_OPTIONS})

limited 120 cmake --install "$BUILD" --prefix "$T/first" >/dev/null
mv "$T/first" "$T/prefix"  # the installation moves with its folder
P=$T/prefix
for f in bin/pluvane lib/pluvane/pluvane_effect.so lib/pluvane/pluvane_image_io.so lib/pluvane/pluvane_video_io.so lib/frei0r-1/pluvane.so \
         share/kdenlive/effects/frei0r_pluvane.xml share/shotcut/qml/filters/pluvane/meta.qml \
         share/shotcut/qml/filters/pluvane/ui.qml OFX/Plugins/pluvane.ofx.bundle/Contents/Linux-x86-64/pluvane.ofx \
         share/man/man1/pluvane.1.gz share/bash-completion/completions/pluvane share/doc/pluvane/README.md \
         share/doc/pluvane/copyright share/doc/pluvane/changelog.gz; do
  [[ -f $P/$f ]] || fail "cmake --install put no $f in the prefix"
done
! readelf -d "$P/bin/pluvane" | grep -q -E 'RPATH|RUNPATH' || fail "the installed program keeps a library path"

version=$(limited 60 "${CLEAN[@]}" "$P/bin/pluvane" --version)
[[ $version =~ ^pluvane\ [0-9]+\.[0-9]+\.[0-9]+$ ]] || fail "--version printed '$version'"
about=$(limited 60 "${CLEAN[@]}" "$P/bin/pluvane" about)
[[ $about == *Pluvane* ]] || fail "pluvane about printed '$about'"

# The module and media libraries loaded are the installation's own (the build
# tree's are still there as a fallback, so success alone would not tell), and
# a command loads only the library its files need.
limited 60 ffmpeg -v error -f lavfi -i testsrc=s=160x90 -frames:v 1 "$T/in.png"
limited 120 "${CLEAN[@]}" LD_DEBUG=files "$P/bin/pluvane" render "$T/in.png" -o "$T/installed.tif" --frame 3 -q 2>"$T/loads" ||
  { cat "$T/loads" >&2; fail "the installed program could not render a still"; }
for lib in pluvane_effect.so pluvane_image_io.so; do
  grep -q "file=$P/lib/pluvane/$lib " "$T/loads" || fail "the installed program did not load $P/lib/pluvane/$lib"
done
! grep -q pluvane_video_io "$T/loads" || fail "a still loaded the video library"
limited 60 ffmpeg -v error -f lavfi -i testsrc=s=160x90:r=25 -frames:v 3 -pix_fmt yuv420p "$T/in.mp4"
limited 120 "${CLEAN[@]}" LD_DEBUG=files "$P/bin/pluvane" render "$T/in.mp4" -o "$T/out.mp4" -q 2>"$T/loads" ||
  { cat "$T/loads" >&2; fail "the installed program could not render a clip"; }
grep -q "file=$P/lib/pluvane/pluvane_video_io.so " "$T/loads" || fail "the installed program did not load its video library"
! grep -q pluvane_image_io "$T/loads" || fail "a clip loaded the image library"
limited 120 "$BUILD/pluvane" render "$T/in.png" -o "$T/built.tif" --frame 3 -q
cmp "$T/installed.tif" "$T/built.tif" || fail "the installed program renders another frame than the build's"

# ffmpeg through the prefix's frei0r folder.
limited 120 "${CLEAN[@]}" FREI0R_PATH="$P/lib/frei0r-1" ${PRELOAD:+LD_PRELOAD="$PRELOAD" ASAN_OPTIONS=detect_leaks=0} \
  ffmpeg -v error -f lavfi -i testsrc=s=160x90:r=25 -frames:v 2 \
  -vf "frei0r=pluvane:ms|25|0.4" -f framemd5 "$T/frei0r.md5" || fail "ffmpeg did not run the installed frei0r filter"
[[ $(grep -c '^0,' "$T/frei0r.md5") -eq 2 ]] || fail "ffmpeg gave no frames through the installed filter"
echo "install_test: passed"
