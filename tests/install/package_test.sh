#!/usr/bin/env bash
# The Debian package: CPack makes pluvane_<version>_amd64.deb from the build
# tree (into a temporary folder); it holds every installed file, lintian finds
# no error in it, and unpacked with dpkg -x anywhere it runs from there. With CI=true
# (as CI sets it) it is also installed with apt, checked (the program, the
# filter in melt) and purged again, leaving none of its files.
#   tests/install/package_test.sh BUILD_DIR
set -euo pipefail
BUILD=$(realpath "${1:?usage: $0 BUILD_DIR}")
. "$(dirname "$0")/../support/limits.sh"
for tool in cpack dpkg-deb lintian; do
  command -v "$tool" >/dev/null || fail "$tool is missing (apt-get install cmake dpkg-dev lintian)"
done
T=$(mktemp -d /tmp/pluvane-package-XXXXXX)
installed=""
sudo=""
cleanup() {
  if [[ -n $installed ]]; then limited 300 $sudo apt-get purge -y -qq pluvane >/dev/null 2>&1 || true; fi
  rm -rf "$T"
}
trap cleanup EXIT

limited 300 cpack --config "$BUILD/CPackConfig.cmake" -B "$T/out" >"$T/cpack.log" 2>&1 ||
  { cat "$T/cpack.log" >&2; fail "cpack failed"; }
version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$BUILD/CPackConfig.cmake")
DEB=$T/out/pluvane_${version}_amd64.deb
[[ -f $DEB ]] || fail "cpack made no $DEB"

# The control fields.
control=$(dpkg-deb -f "$DEB")
for field in "Package: pluvane" "Version: $version" "Architecture: amd64" "Section: video" "Maintainer: " "Depends: " "Recommends: bash-completion"; do
  grep -q -F -- "$field" <<<"$control" || fail "the package's control has no '$field'"
done
depends=$(dpkg-deb -f "$DEB" Depends)
for lib in libc6 libstdc++6 libpng16-16 libopenimageio; do
  [[ $depends == *"$lib"* ]] || fail "Depends lacks $lib: $depends"
done
for name in $(sed 's/([^)]*)//g; s/[,|]/ /g' <<<"$depends"); do
  case $name in
    cmake | make | gcc* | g++* | cpp* | pkg-config | pkgconf | build-essential | *-dev)
      fail "Depends names a build tool ($name): $depends" ;;
  esac
done
# The changelog's version is the package's.
changelog_version=$(dpkg-deb --fsys-tarfile "$DEB" | tar -xO ./usr/share/doc/pluvane/changelog.gz | gzip -dc | sed -n '1s/^pluvane (\([^)]*\)).*/\1/p')
[[ $changelog_version == "$version" ]] || fail "the changelog's latest entry is $changelog_version, the package $version"

# Every installed file.
dpkg-deb --contents "$DEB" | awk '{print $6}' >"$T/contents"
for f in usr/bin/pluvane usr/lib/pluvane/pluvane_effect.so usr/lib/pluvane/pluvane_image_io.so usr/lib/pluvane/pluvane_video_io.so \
         usr/lib/frei0r-1/pluvane.so usr/share/kdenlive/effects/frei0r_pluvane.xml \
         usr/share/shotcut/qml/filters/pluvane/meta.qml usr/share/shotcut/qml/filters/pluvane/ui.qml \
         usr/OFX/Plugins/pluvane.ofx.bundle/Contents/Linux-x86-64/pluvane.ofx usr/share/man/man1/pluvane.1.gz \
         usr/share/bash-completion/completions/pluvane usr/share/doc/pluvane/README.md \
         usr/share/doc/pluvane/copyright usr/share/doc/pluvane/changelog.gz; do
  grep -q -x -F "./$f" "$T/contents" || fail "the package holds no /$f"
done

# lintian: no error. The warnings it gives are about /usr/OFX, where OpenFX
# hosts look for plug-ins (README: In compositors).
limited 300 lintian --tag-display-limit 0 "$DEB" >"$T/lintian" 2>&1 || true
cat "$T/lintian"
! grep -q '^E:' "$T/lintian" || fail "lintian found errors"

# Unpacked anywhere, it runs from where it lies with nothing set: the program
# finds its module and media libraries beside itself (the build tree's are
# still there as a fallback, so success alone would not tell), a command loads
# only the library its files need, it renders the build's frame, and ffmpeg
# finds the filter through FREI0R_PATH, as a prefix other than the hosts' own needs.
dpkg -x "$DEB" "$T/root"
R=$T/root/usr
CLEAN=(env -i PATH=/usr/bin:/bin HOME="$T")
! readelf -d "$R/bin/pluvane" | grep -q -E 'RPATH|RUNPATH' || fail "the packaged program keeps a library path"
[[ $(limited 60 "${CLEAN[@]}" "$R/bin/pluvane" about) == *Pluvane* ]] || fail "usr/bin/pluvane about failed"
limited 60 ffmpeg -v error -f lavfi -i testsrc=s=160x90 -frames:v 1 "$T/in.png"
limited 120 "${CLEAN[@]}" LD_DEBUG=files "$R/bin/pluvane" render "$T/in.png" -o "$T/out.tif" --frame 2 -q 2>"$T/loads" ||
  { cat "$T/loads" >&2; fail "the unpacked program could not render a still"; }
for lib in pluvane_effect.so pluvane_image_io.so; do
  grep -q "file=$R/lib/pluvane/$lib " "$T/loads" || fail "the unpacked program did not load $R/lib/pluvane/$lib"
done
! grep -q pluvane_video_io "$T/loads" || fail "a still loaded the video library"
limited 60 ffmpeg -v error -f lavfi -i testsrc=s=160x90:r=25 -frames:v 3 -pix_fmt yuv420p "$T/in.mp4"
limited 120 "${CLEAN[@]}" LD_DEBUG=files "$R/bin/pluvane" render "$T/in.mp4" -o "$T/out.mp4" -q 2>"$T/loads" ||
  { cat "$T/loads" >&2; fail "the unpacked program could not render a clip"; }
grep -q "file=$R/lib/pluvane/pluvane_video_io.so " "$T/loads" || fail "the unpacked program did not load its video library"
! grep -q pluvane_image_io "$T/loads" || fail "a clip loaded the image library"
limited 120 "$BUILD/pluvane" render "$T/in.png" -o "$T/built.tif" --frame 2 -q
cmp "$T/out.tif" "$T/built.tif" || fail "the packaged program renders another frame than the build's"
limited 120 "${CLEAN[@]}" FREI0R_PATH="$R/lib/frei0r-1" ffmpeg -v error -f lavfi -i testsrc=s=160x90:r=25 -frames:v 2 \
  -vf "frei0r=pluvane:ms|25|0.4" -f framemd5 "$T/frei0r.md5" || fail "ffmpeg did not run the packaged frei0r filter"
[[ $(grep -c '^0,' "$T/frei0r.md5") -eq 2 ]] || fail "ffmpeg gave no frames through the packaged filter"

if [[ ${CI:-} != true ]]; then
  echo "package_test: passed (CI unset: apt install and removal not tried)"
  exit 0
fi
# On CI: install with apt, use it, purge it, and find none of its files left.
! dpkg-query -W -f='${Status}' pluvane 2>/dev/null | grep -q "install ok installed" ||
  fail "pluvane is installed on this machine already: not touching it"
[[ $(id -u) -eq 0 ]] || sudo="sudo"
installed=yes
limited 300 $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$DEB" >"$T/apt.log" 2>&1 ||
  { cat "$T/apt.log" >&2; fail "apt-get install of the package failed"; }
dpkg-query -L pluvane >"$T/files"
[[ $(limited 60 "${CLEAN[@]}" pluvane --version) == "pluvane $version" ]] || fail "the installed pluvane --version is not $version"
# Completion in a new interactive shell of a user with Debian's default
# ~/.bashrc, loaded as bash-completion loads it on the first Tab.
dpkg-query -W -f='${Status}' bash-completion 2>/dev/null | grep -q "install ok installed" ||
  fail "installing the package did not bring bash-completion (Recommends)"
mkdir "$T/user" && cp /etc/skel/.bashrc "$T/user/"
completion=$(limited 60 env -i PATH=/usr/bin:/bin HOME="$T/user" TERM=dumb bash -i -c \
  '__load_completion pluvane; complete -p pluvane' </dev/null 2>/dev/null) || true
[[ $completion == "complete -F _pluvane pluvane" ]] || fail "a new bash -i has no completion for pluvane: '$completion'"
# melt with only the modules it needs (as the frei0r tests give it), the
# filter found in /usr/lib/frei0r-1 with no FREI0R_PATH.
modules=$(dirname "$(find /usr/lib -name libmltfrei0r.so -path '*mlt-7*' -print -quit)")
mkdir "$T/mlt" "$T/ladspa"
ln -s "$modules/libmltcore.so" "$modules/libmltfrei0r.so" "$T/mlt/"
limited 120 "${CLEAN[@]}" MLT_REPOSITORY="$T/mlt" LADSPA_PATH="$T/ladspa" melt -query filter=frei0r.pluvane >"$T/melt" 2>&1 || true
grep -q -i "identifier: frei0r.pluvane" "$T/melt" || { cat "$T/melt" >&2; fail "melt -query does not find frei0r.pluvane"; }
limited 300 $sudo env DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq pluvane >"$T/apt.log" 2>&1 ||
  { cat "$T/apt.log" >&2; fail "apt-get purge pluvane failed"; }
installed=""
# Files gone; a folder may stay only when another package's files are in it.
while read -r path; do
  if [[ -d $path && ! -L $path ]]; then
    [[ -z $(ls -A "$path") ]] && fail "purging left the empty folder $path"
  elif [[ -e $path || -L $path ]]; then
    fail "purging left $path"
  fi
done <"$T/files"
echo "package_test: passed (installed with apt, run, purged)"
