#!/usr/bin/env bash
# One entry point for building and checking pluvane on Debian 12.
#   ./build.sh demo   install what is missing, build, render the demo
#   ./build.sh test   install what is missing, build normal and sanitized, run every test
#   ./build.sh bench  build and run the benchmarks
#   ./build.sh package  build what is installed and make the Debian package build/pluvane_VERSION_amd64.deb,
#                       and the plug-ins for Linux and Windows, build/pluvane-ofx-VERSION.zip
#   ./build.sh windows  cross-build the Windows files into build-win64 (MinGW-w64)
#   ./build.sh fuzz [MINUTES [TARGET...]]  fuzz every target (or those named) for MINUTES each (60), growing fuzz/corpus (README: Fuzzing)
set -euo pipefail
cd "$(dirname "$0")"

PACKAGES=(build-essential cmake pkg-config googletest libgtest-dev libgmock-dev libbenchmark-dev
          libopenimageio-dev openimageio-tools libpng-dev libcli11-dev nlohmann-json3-dev
          libavformat-dev libavcodec-dev libavfilter-dev libswscale-dev libavutil-dev libswresample-dev libzimg-dev
          frei0r-plugins-dev ffmpeg)
# What only the tests need: a one-node Slurm cluster and GNU parallel for the farm tests,
# clang and its runtimes for the fuzz programs, the video tools that load the frei0r filter, and
# an X server for Kdenlive's compositing in melt and qmllint for the Shotcut panel, lintian
# for the package; Kdenlive and Shotcut themselves, driven under Xvfb with xdotool (D-Bus to
# reach Kdenlive, ImageMagick to compare their monitors); expat for ofxcheck (the official
# OpenFX host library, ../shared/ofx-host); the MinGW-w64 cross compiler and Wine for the
# Windows build's test.
TEST_PACKAGES=(slurm-wlm munge procps iproute2 parallel lintian g++-mingw-w64-x86-64-posix wine64
               clang-14 libclang-rt-14-dev libexpat1-dev
               melt xvfb xauth qtdeclarative5-dev-tools gstreamer1.0-tools gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-plugins-bad
               kdenlive shotcut xdotool imagemagick dbus libglib2.0-bin)
JOBS=$(nproc 2>/dev/null || echo 2)

install_deps() {  # install_deps [extra packages...]
  local missing=()
  for p in "${PACKAGES[@]}" "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  if ((${#missing[@]})); then
    echo "Installing: ${missing[*]}"
    local sudo=""
    [[ $(id -u) -ne 0 ]] && sudo=sudo
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
  fi
}

# The Windows files (frei0r-1/pluvane.dll, OFX/pluvane.ofx.bundle/Contents/Win64/pluvane.ofx) in build-win64.
WINDOWS_PACKAGES=(g++-mingw-w64-x86-64-posix)
build_windows() {
  cmake -S . -B build-win64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build build-win64 -j "$JOBS" --target pluvane_frei0r pluvane_ofx
}

build() {  # build DIR [cmake options...]
  local dir=$1; shift
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
  cmake --build "$dir" -j "$JOBS"
}

case "${1:-}" in
  demo)
    install_deps
    build build -DPLUVANE_BUILD_CLI=ON
    ./build/pluvane demo -o demo-output
    ;;
  test)
    install_deps "${TEST_PACKAGES[@]}"
    build build -DPLUVANE_BUILD_CLI=ON -DPLUVANE_SLURM_TEST=ON
    (cd build && ctest --output-on-failure -j "$JOBS")
    # Frames rendered from many threads at once, and rows spread over workers.
    # GCC 12's ThreadSanitizer sizes a thread's new dynamic TLS block (the stand-in
    # host's thread_local in a loaded module) by a glibc 2.19 header it expects
    # 16 bytes into a page: when malloc's block happens to start there, it reads
    # a size of hundreds of terabytes and dies ("failed to allocate", about one run
    # in seven of the OpenFX threads test). That guess is off; the block comes from
    # the intercepted malloc, whose shadow is fresh already.
    tsan="halt_on_error=1 intercept_tls_get_addr=0"
    cmake -S . -B build-tsan -DPLUVANE_TSAN=ON -DPLUVANE_BUILD_CLI=ON -DPLUVANE_BUILD_BENCH=OFF >/dev/null
    cmake --build build-tsan -j "$JOBS" --target test_render test_regression
    TSAN_OPTIONS="$tsan" ./build-tsan/tests/test_render --gtest_filter='*Thread*:*Worker*'
    # The regression frames: sample tables, the height field in bands and the
    # pixel pass on one, two and three workers.
    TSAN_OPTIONS="$tsan" ./build-tsan/tests/test_regression
    # Video decoded, rendered and encoded on three threads, and sequences read and
    # written beside the render: the tests run the sanitized pluvane. FFmpeg's and
    # OpenImageIO's own threads are not instrumented (tests/support/tsan_media.supp).
    cmake --build build-tsan -j "$JOBS" --target test_media pluvane
    PLUVANE_MODULE=$PWD/build-tsan/pluvane_effect.so TSAN_OPTIONS="$tsan suppressions=$PWD/tests/support/tsan_media.supp" \
      ./build-tsan/tests/test_media --gtest_filter='Footage.*:Timing.RoundTrips*'
    # The frei0r filter through dlopen: instances rendering from several threads, every parameter swept.
    if [[ -f /usr/include/frei0r.h ]]; then
      cmake --build build-tsan -j "$JOBS" --target test_frei0r
      TSAN_OPTIONS="$tsan" ./build-tsan/tests/test_frei0r --gtest_filter='FilterTest.*'
    fi
    # The OpenFX plug-in through our OFX host: instances rendering at once, each
    # frame's pixel pass on the host's thread pool, a panel's change during a render.
    cmake --build build-tsan -j "$JOBS" --target test_openfx
    TSAN_OPTIONS="$tsan" ./build-tsan/tests/test_openfx --gtest_filter='OpenFxThreads.*'
    build build-asan -DPLUVANE_SANITIZE=ON -DPLUVANE_BUILD_CLI=ON -DPLUVANE_BUILD_BENCH=OFF
    (cd build-asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 ctest --output-on-failure -j "$JOBS")
    # A short fuzz run of every target from its checked-in seeds (about a minute;
    # README: Fuzzing, for a longer run).
    CC=clang-14 CXX=clang++-14 build build-fuzz -DPLUVANE_FUZZ=ON -DPLUVANE_BUILD_TESTS=OFF -DPLUVANE_BUILD_BENCH=OFF
    fuzz/run.sh build-fuzz 12
    ;;
  bench)
    install_deps
    build build -DPLUVANE_BUILD_CLI=ON
    ./build/bench/pluvane_bench
    # Whole processes against a baseline command (needs gmic; not part of the tests).
    if command -v gmic >/dev/null; then bench/whole_process.sh build; else echo "gmic not found: whole-process benchmark skipped"; fi
    ;;
  package)
    install_deps
    cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPLUVANE_BUILD_CLI=ON >/dev/null
    cmake --build build -j "$JOBS" --target pluvane pluvane_frei0r pluvane_ofx pluvane_docs
    # cpack's notes (among them the maintainer scripts left out on purpose) go to build/cpack.log.
    (cd build && cpack -G DEB >cpack.log 2>&1) || { cat build/cpack.log >&2; exit 1; }
    echo "built $(ls build/pluvane_*_amd64.deb); install it with: apt install ./build/pluvane_*_amd64.deb"
    # One OpenFX bundle for Linux and Windows, the frei0r DLL with the editors' panels and the install note, zipped.
    install_deps "${WINDOWS_PACKAGES[@]}"
    build_windows
    version=$(sed -n 's/^project(pluvane VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
    stage=build/zip/pluvane-ofx-$version
    rm -rf build/zip && mkdir -p "$stage/frei0r-1"
    cp -r build/OFX/pluvane.ofx.bundle "$stage/"
    cp -r build-win64/OFX/pluvane.ofx.bundle/Contents/Win64 "$stage/pluvane.ofx.bundle/Contents/"
    strip --strip-unneeded "$stage/pluvane.ofx.bundle/Contents/Linux-x86-64/pluvane.ofx"
    cp build-win64/frei0r-1/pluvane.dll "$stage/frei0r-1/"
    mkdir -p "$stage/kdenlive" "$stage/shotcut"
    cp editors/kdenlive/frei0r_pluvane.xml "$stage/kdenlive/"
    cp -r editors/shotcut/pluvane "$stage/shotcut/"
    sed "s/@VERSION@/$version/" packaging/windows/INSTALL.txt | sed 's/$/\r/' >"$stage/INSTALL.txt"
    rm -f "build/pluvane-ofx-$version.zip"
    (cd build/zip && cmake -E tar cf "../pluvane-ofx-$version.zip" --format=zip "pluvane-ofx-$version")
    echo "built build/pluvane-ofx-$version.zip (OpenFX for Linux-x86-64 and Win64, frei0r for Windows)"
    ;;
  windows)
    install_deps "${WINDOWS_PACKAGES[@]}"
    build_windows
    echo "built build-win64/frei0r-1/pluvane.dll and build-win64/OFX/pluvane.ofx.bundle/Contents/Win64/pluvane.ofx"
    ;;
  fuzz)
    # A long run of every target in turn; new inputs that reach new code are
    # merged into fuzz/corpus, failing ones kept there as found-* (README: Fuzzing).
    minutes=${2:-60}
    [[ $minutes =~ ^[1-9][0-9]*$ ]] || { echo "usage: $0 fuzz [MINUTES per target, default 60]" >&2; exit 2; }
    install_deps clang-14 libclang-rt-14-dev
    CC=clang-14 CXX=clang++-14 build build-fuzz -DPLUVANE_FUZZ=ON -DPLUVANE_BUILD_TESTS=OFF -DPLUVANE_BUILD_BENCH=OFF
    fuzz/run.sh --keep build-fuzz $((minutes * 60)) "${@:3}"
    ;;
  *)
    echo "usage: $0 demo|test|bench|package|windows|fuzz [MINUTES]" >&2
    exit 2
    ;;
esac
