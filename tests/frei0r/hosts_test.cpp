// The filter inside the real hosts that take a clip (ffmpeg, gst-launch-1.0):
// every frame they give must be byte for byte the frame `pluvane render
// --depth 8` gives for the same picture, frame number, frame rate and controls.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/frei0r_fixture.h"

namespace {

namespace fs = std::filesystem;

constexpr size_t kFrameBytes = 160 * 90 * 4;

using testsupport::ReadAll;
std::string Q(const std::string& s) { return testsupport::ShellQuoted(s); }

class HostTest : public testsupport::HostsTest {
 protected:
  // GStreamer gets a registry of its own, so that it scans the filter's folder
  // afresh, and only the five plug-ins of its pipeline, whatever else is
  // installed (the editors bring many; none of them is to run under the
  // preloaded sanitizer runtimes): links to them from the first folder of
  // GStreamer's modules that holds them all.
  void SetUp() override {
    testsupport::HostsTest::SetUp();
    env_ += "GST_REGISTRY=" + Q(Path("registry.bin")) + " GST_PLUGIN_PATH_1_0= ";
    const std::vector<std::string> files{"libgstcoreelements.so", "libgstmatroska.so", "libgstpng.so",
                                         "libgstvideoconvertscale.so", "libgstfrei0r.so"};
    std::vector<fs::path> candidates{"/usr/lib/gstreamer-1.0", "/usr/local/lib/gstreamer-1.0"};
    std::error_code ec;
    for (const char* lib : {"/usr/lib", "/usr/local/lib"})
      for (const auto& e : fs::directory_iterator(lib, ec)) candidates.push_back(e.path() / "gstreamer-1.0");
    for (const fs::path& from : candidates)
      if (std::all_of(files.begin(), files.end(), [&](const std::string& f) { return fs::exists(from / f, ec); })) {
        fs::create_directories(dir_ / "gst");
        for (const auto& f : files) fs::create_symlink(from / f, dir_ / "gst" / f);
        env_ += "GST_PLUGIN_SYSTEM_PATH_1_0=" + Q(Path("gst")) + " ";
        return;
      }
  }
};

// One still as frame 12 of a 25 fps clip (a lone still has no time stamp in
// ffmpeg: the filter would get an undefined time): ffmpeg's positional
// parameters on the 0..1 scale against the same controls given to the command
// line by name in their own units. Between them, every kind: doubles off their
// defaults (Displacement beyond the 0..1 span, Light Direction with the light
// it turns), a colour, choices, Draft on.
TEST_F(HostTest, FfmpegStillMatchesTheCommandLine) {
  REQUIRE_PROGRAMS("ffmpeg");
  Run("ffmpeg -v error -y -f lavfi -i testsrc2=s=160x90 -frames:v 1 in.png && "
      "ffmpeg -v error -y -loop 1 -framerate 25 -i in.png -frames:v 13 -pix_fmt rgba -c:v png still.mkv");
  const struct {
    const char* what;
    const char* params;   // after "ms|25|"
    const char* options;  // of pluvane render (its draft switch is --quality, not a control)
  } cases[] = {
      // "Light X" 0.5 wins over Light Position's x; y stays Light Position's.
      {"point light, coloured",
       "0.6|0.3|0.25|3.0|0.75|0.25|effect|0.75|1/0.5/0|point|0.3|0.3/0.6|0.5|0.5|0.2|0.4|0.08|0.5|n|0..1|0.5",
       "--set 'Drip Rate=3' --set 'Longevity (sec)=3' --set Rippling=180 --set Displacement=250 "
       "--set 'Ripple Height=150' --set Spreading=50 --set 'Light Intensity=150' --set 'Light Color=255,128,0' "
       "--set 'Light Type=Point Light' --set 'Light Height=30' --set 'Light Position=80,54' "
       "--set 'Light Direction=0' --set Ambient=100 --set Diffuse=20 --set Specular=40 --set Roughness=0.02 "
       "--set Metal=50"},
      {"draft, distant light from the east",
       "0.4|0.1|0.5|0.7|0.5|0.5|effect|0.5|1/1/1|distant|0.65|0.25/0.25|0.5|0.5|0|1|0.06|1|y",
       "--set 'Drip Rate=2' --set 'Light Direction=0' --quality draft"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Run("ffmpeg -v error -y -i still.mkv -vf " +
        Q(std::string("select=eq(n\\,12),frei0r=filter_name=pluvane:filter_params=ms|25|") + c.params) +
        " -f rawvideo -pix_fmt rgba filter.raw");
    ExpectSameFrames(ReadAll(Path("filter.raw")), Cli("in.png", 12, 12, "25", {c.options}), 1, kFrameBytes);
  }
}

// A clip through both hosts that take it as a clip, each reading the
// parameters its own way: ffmpeg by position with times in milliseconds (from
// time stamps rounded to the container's 1 ms), GStreamer by property name
// with times from the buffers' stamps. The rate is written two ways ("51/2",
// "25.5"); every frame equals what `pluvane render --fps 25.5` gives, "Seed"
// 1 being the last seed (63). melt, reading them by name at its profile's
// rate, renders the editors' saved projects in tests/editors.
TEST_F(HostTest, ClipFramesMatchTheCommandLineInEveryHost) {
  REQUIRE_PROGRAMS("ffmpeg", "gst-launch-1.0");
  constexpr int kFrames = 4;
  MakeClip(kFrames, "51/2", "160x90");
  const std::string want = Cli("src.%d.png", 0, kFrames - 1, "25.5",
                               {"--set 'Drip Rate=2' --set 'Light Type=Point Light' --set 'Light Color=255,128,0' "
                                "--set Metal=50 --seed 63 --mix 0.6"});
  Run("ffmpeg -v error -y -i clip.mkv -vf 'frei0r=pluvane:ms|51/2|0.4|0.1|0.5|0.7|0.5|0.5|effect|0.5|1/0.5/0|point|"
      "0.65|0.25/0.25|0.375|0.5|0|1|0.06|0.5|n|0..1|0.25|0.25|1|0.6' -f rawvideo -pix_fmt rgba ffmpeg.raw");
  Run("gst-launch-1.0 -q filesrc location=clip.mkv ! matroskademux ! pngdec ! videoconvert ! "
      "frei0r-filter-pluvane frame-rate=25.5 drip-rate=0.4 light-type=point light-color-g=0.5 light-color-b=0 "
      "metal=0.5 seed=1 mix=0.6 ! videoconvert ! video/x-raw,format=RGBA ! filesink location=gst.raw");
  for (const char* host : {"ffmpeg", "gst"}) {
    SCOPED_TRACE(host);
    ExpectSameFrames(ReadAll(Path(std::string(host) + ".raw")), want, kFrames, kFrameBytes);
  }
}

}  // namespace
