// The filter inside the real hosts (ffmpeg, melt, gst-launch-1.0): every
// frame they give must be byte for byte the frame `pluvane render --depth 8`
// gives for the same picture, frame number, frame rate and controls.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/support/frei0r_fixture.h"

namespace {

namespace fs = std::filesystem;

constexpr int kWidth = 160, kHeight = 90;
constexpr size_t kFrameBytes = static_cast<size_t>(kWidth) * kHeight * 4;

using testsupport::ReadAll;
using testsupport::SetOptions;
std::string Q(const std::string& s) { return testsupport::ShellQuoted(s); }

// The folder of a library's loadable modules (`sub`, such as "mlt-7") that
// holds every one of `files`; "" when there is none.
std::string ModuleFolder(const std::string& sub, const std::vector<std::string>& files) {
  std::vector<fs::path> candidates{fs::path("/usr/lib") / sub, fs::path("/usr/local/lib") / sub};
  std::error_code ec;
  for (const char* lib : {"/usr/lib", "/usr/local/lib"})
    for (const auto& e : fs::directory_iterator(lib, ec)) candidates.push_back(e.path() / sub);
  for (const fs::path& dir : candidates) {
    bool all = true;
    for (const auto& f : files) all = all && fs::exists(dir / f, ec);
    if (all) return dir.string();
  }
  return "";
}

// A folder of links to just `files` of `from`.
void LinkFolder(const fs::path& folder, const std::string& from, const std::vector<std::string>& files) {
  fs::create_directories(folder);
  for (const auto& f : files) fs::create_symlink(fs::path(from) / f, folder / f);
}

class HostTest : public testsupport::HostsTest {
 protected:
  void SetUp() override {
    testsupport::HostsTest::SetUp();
    // GStreamer gets a registry of its own so that it scans the filter's folder afresh.
    env_ += "GST_REGISTRY=" + Q(Path("registry.bin")) + " ";
    // The hosts load only the modules these runs need. melt otherwise loads
    // every MLT module it finds, and its LADSPA module every LADSPA plug-in
    // (Kdenlive and Shotcut bring a few hundred); one of those hangs in its
    // initialisation under the preloaded sanitizer runtime. MLT 7.12 has no
    // list of modules to skip, so it gets a folder with links to the four it
    // needs (the deinterlacing filter its loader puts before every clip comes
    // from the xine module and changes the frames given to the filter), and
    // LADSPA plug-ins are looked for in an empty folder. GStreamer likewise
    // gets a folder of the five plug-ins of its pipeline.
    const std::vector<std::string> mlt = {"libmltcore.so", "libmltavformat.so", "libmltfrei0r.so", "libmltxine.so"};
    if (const std::string from = ModuleFolder("mlt-7", mlt); !from.empty()) {
      LinkFolder(dir_ / "mlt-modules", from, mlt);
      env_ += "MLT_REPOSITORY=" + Q(Path("mlt-modules")) + " ";
    }
    fs::create_directory(dir_ / "ladspa");
    env_ += "LADSPA_PATH=" + Q(Path("ladspa")) + " ";
    const std::vector<std::string> gst = {"libgstcoreelements.so", "libgstmatroska.so", "libgstpng.so",
                                          "libgstvideoconvertscale.so", "libgstfrei0r.so"};
    if (const std::string from = ModuleFolder("gstreamer-1.0", gst); !from.empty()) {
      LinkFolder(dir_ / "gst-plugins", from, gst);
      env_ += "GST_PLUGIN_SYSTEM_PATH_1_0=" + Q(Path("gst-plugins")) + " GST_PLUGIN_PATH_1_0= ";
    }
  }

  void MakeStill() { Run("ffmpeg -v error -y -f lavfi -i testsrc2=s=160x90 -frames:v 1 in.png"); }
  void MakeClip(int frames) { HostsTest::MakeClip(frames, "30000/1001", "160x90"); }
  void ExpectSameFrames(const std::string& got, const std::string& want, int frames) {
    HostsTest::ExpectSameFrames(got, want, frames, kFrameBytes);
  }
};

// One still at frame n: ffmpeg's positional parameters against the same
// controls given to the command line by name.
struct StillCase {
  const char* what;
  int frame;
  const char* fps;
  const char* params;  // after "ms|FPS|"
  std::vector<std::string> sets;
};

TEST_F(HostTest, FfmpegStillMatchesTheCommandLine) {
  REQUIRE_PROGRAMS("ffmpeg");
  MakeStill();
  const StillCase cases[] = {
      {"defaults", 0, "30", "", {}},
      {"defaults later on", 17, "30", "", {}},
      {"more drops at 25 fps", 12, "25", "0.6|0.3", {"Drip Rate=3", "Longevity (sec)=3"}},
      {"strong displacement, beyond the 0..1 span", 9, "30", "0.4|0.1|0.25|3.0", {"Drip Rate=2", "Rippling=180", "Displacement=250"}},
      {"point light, coloured",
       8,
       "24",
       "0.4|0.1|0.5|0.7|0.5|0.5|effect|0.75|1/0.5/0|point|0.3|0.3/0.6|0.5|0.5|0.2|0.4|0.08|0.5",
       {"Drip Rate=2", "Light Intensity=150", "Light Color=255,128,0", "Light Type=Point Light", "Light Height=30",
        "Light Position=48,54", "Light Direction=0", "Ambient=100", "Diffuse=20", "Specular=40", "Roughness=0.02",
        "Metal=50"}},
      {"draft quality", 6, "30", "0.4|0.1|0.5|0.7|0.5|0.5|effect|0.5|1/1/1|distant|0.65|0.25/0.25|0.375|0.5|0|1|0.06|1|y",
       {"Drip Rate=2"}},
  };
  for (const StillCase& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string frame = std::to_string(c.frame);
    // The still becomes frame n of a clip at the frame rate, the one frame
    // taken through the filter. (A lone still has no time stamp in ffmpeg:
    // the filter would get an undefined time.)
    Run(std::string("ffmpeg -v error -y -loop 1 -framerate ") + c.fps + " -i in.png -frames:v " +
        std::to_string(c.frame + 1) + " -pix_fmt rgba -c:v png still.mkv");
    Run(std::string("ffmpeg -v error -y -i still.mkv -vf ") +
        Q(std::string("select=eq(n\\,") + frame + "),frei0r=filter_name=pluvane:filter_params=ms|" + c.fps + "|" +
          c.params) +
        " -f rawvideo -pix_fmt rgba filter.raw");
    const std::vector<std::string> sets = SetOptions(c.sets);
    if (std::string(c.what) == "draft quality") {
      // The command line's draft switch is --quality, not a control.
      const std::string cli = Q(PLUVANE_CLI_PATH) + " render in.png -o cli.png -q --depth 8 --quality draft --frame " +
                              frame + " --set 'Drip Rate=2' && ffmpeg -v error -y -i cli.png -f rawvideo -pix_fmt rgba cli.raw";
      Run(cli);
      const std::string high = Cli("in.png", c.frame, c.fps, sets);
      EXPECT_NE(ReadAll(Path("filter.raw")), high) << "draft renders like high quality";
      Run(cli);
    } else {
      Cli("in.png", c.frame, c.fps, sets);
    }
    const std::string got = ReadAll(Path("filter.raw")), want = ReadAll(Path("cli.raw"));
    ASSERT_EQ(got.size(), kFrameBytes);
    EXPECT_TRUE(got == want) << "the filter's frame differs from pluvane render's";
  }
}

// One rate written three ways is one rate: "25.5", "51/2" and "102/4" give
// the same rain in ffmpeg and in melt as `pluvane render --fps 25.5`.
TEST_F(HostTest, OneRateWrittenThreeWaysGivesTheSameRain) {
  REQUIRE_PROGRAMS("ffmpeg", "melt");
  constexpr int kFrames = 3;
  HostsTest::MakeClip(kFrames, "51/2", "160x90");
  const std::string want = CliClip(kFrames, "25.5", SetOptions({"Drip Rate=2"}));
  for (const char* rate : {"25.5", "51/2", "102/4"}) {
    SCOPED_TRACE(rate);
    Run(std::string("ffmpeg -v error -y -i clip.mkv -vf 'frei0r=pluvane:ms|") + rate +
        "|0.4' -f rawvideo -pix_fmt rgba filter.raw");
    EXPECT_TRUE(ReadAll(Path("filter.raw")) == want) << "ffmpeg's frames differ from pluvane render's";
  }
  std::ofstream(Path("profile")) << "description=test\nframe_rate_num=51\nframe_rate_den=2\nwidth=160\n"
                                    "height=90\nprogressive=1\nsample_aspect_num=1\nsample_aspect_den=1\n"
                                    "display_aspect_num=16\ndisplay_aspect_den=9\ncolorspace=709\n";
  Run("melt -quiet -profile profile clip.mkv -filter frei0r.pluvane 'Frame Rate=102/4' 'Drip Rate=0.4' "
      "-consumer avformat:melt.raw real_time=-1 f=rawvideo vcodec=rawvideo pix_fmt=rgba");
  EXPECT_TRUE(ReadAll(Path("melt.raw")) == want) << "melt's frames differ from pluvane render's";
}

// A clip through ffmpeg: its time (milliseconds, from time stamps rounded to
// the container's 1 ms) lands on the right frame at 30000/1001.
TEST_F(HostTest, FfmpegClipFramesMatchTheCommandLine) {
  REQUIRE_PROGRAMS("ffmpeg");
  constexpr int kFrames = 5;
  MakeClip(kFrames);
  Run("ffmpeg -v error -y -i clip.mkv -vf 'frei0r=pluvane:ms|30000/1001|0.4' -f rawvideo -pix_fmt rgba filter.raw");
  const std::string want = CliClip(kFrames, "30000/1001", SetOptions({"Drip Rate=2"}));
  ExpectSameFrames(ReadAll(Path("filter.raw")), want, kFrames);
  // Left in seconds, ffmpeg's milliseconds would be read as frames a thousand
  // times later: the unit matters.
  Run("ffmpeg -v error -y -i clip.mkv -vf 'frei0r=pluvane:seconds|30000/1001|0.4' -f rawvideo -pix_fmt rgba wrong.raw");
  EXPECT_NE(ReadAll(Path("wrong.raw")).substr(kFrameBytes), want.substr(kFrameBytes));
}

// melt: parameters by name (set again before every frame), time in seconds
// from the filter's in-point, at the profile's frame rate. (MLT 7.12 passes
// no position parameters: the point light stays at its default place.)
TEST_F(HostTest, MeltFramesMatchTheCommandLine) {
  REQUIRE_PROGRAMS("ffmpeg", "melt");
  constexpr int kFrames = 4;
  MakeClip(kFrames);
  std::ofstream(Path("profile")) << "description=test\nframe_rate_num=30000\nframe_rate_den=1001\nwidth=160\n"
                                    "height=90\nprogressive=1\nsample_aspect_num=1\nsample_aspect_den=1\n"
                                    "display_aspect_num=16\ndisplay_aspect_den=9\ncolorspace=709\n";
  Run("melt -quiet -profile profile clip.mkv -filter frei0r.pluvane 'Frame Rate=30000/1001' 'Drip Rate=0.4' "
      "'Light Type=Point Light' 'Light Color=#ff8000' -consumer avformat:melt.raw real_time=-1 f=rawvideo vcodec=rawvideo "
      "pix_fmt=rgba");
  const std::string got = ReadAll(Path("melt.raw"));
  ExpectSameFrames(got, CliClip(kFrames, "30000/1001", SetOptions({"Drip Rate=2", "Light Type=Point Light", "Light Color=255,128,0"})),
                   kFrames);
  // "Seed" 1 is the last seed on the 0..1 scale; "Mix" is the same in both.
  Run("melt -quiet -profile profile clip.mkv -filter frei0r.pluvane 'Frame Rate=30000/1001' 'Drip Rate=0.4' "
      "Seed=1 Mix=0.6 -consumer avformat:seeded.raw real_time=-1 f=rawvideo vcodec=rawvideo pix_fmt=rgba");
  const std::string seeded = ReadAll(Path("seeded.raw"));
  EXPECT_FALSE(seeded == got);
  EXPECT_TRUE(seeded == CliClip(kFrames, "30000/1001", {"--set 'Drip Rate=2' --seed 63 --mix 0.6"}))
      << "melt's seeded frames differ from pluvane render's";
}

// GStreamer: properties in 0..1 by their canonical names, time from the
// buffers' time stamps in seconds.
TEST_F(HostTest, GstreamerFramesMatchTheCommandLine) {
  REQUIRE_PROGRAMS("ffmpeg", "gst-launch-1.0");
  constexpr int kFrames = 4;
  MakeClip(kFrames);
  Run("gst-launch-1.0 -q filesrc location=clip.mkv ! matroskademux ! pngdec ! videoconvert ! "
      "frei0r-filter-pluvane frame-rate=30000/1001 drip-rate=0.4 displacement=0.9 light-color-g=0 seed=0 mix=1 ! "
      "videoconvert ! video/x-raw,format=RGBA ! filesink location=gst.raw");
  ExpectSameFrames(ReadAll(Path("gst.raw")),
                   CliClip(kFrames, "30000/1001", SetOptions({"Drip Rate=2", "Displacement=40", "Light Color=255,0,255"})),
                   kFrames);
}

}  // namespace
