// The built `pluvane` program, run as a user runs it.
#include <algorithm>
#include <cmath>

#include "cli_test_util.h"

namespace {

using clitest::Image;
using clitest::ReadImage;
using clitest::RunResult;
using clitest::TempDir;
using clitest::WriteImage;
using OIIO::TypeDesc;

constexpr int kW = 48, kH = 30;

class EndToEnd : public ::testing::Test {
 protected:
  RunResult Pluvane(std::vector<std::string> args) { return clitest::Run(args, dir_.path()); }
  // An RGBA test image of the given type in the test's folder.
  std::string Input(const std::string& name, TypeDesc type, int channels = 4, int w = kW, int h = kH) {
    std::vector<float> s;
    if (type == TypeDesc::UINT8) s = clitest::Pattern(w, h, channels, 255);
    else if (type == TypeDesc::UINT16) s = clitest::Pattern(w, h, channels, 65535);
    else {
      s = clitest::Pattern(w, h, channels, 1000);
      for (float& v : s) v = v / 800.0f - 0.1f;  // below 0 and above 1 too
    }
    WriteImage(dir_ / name, w, h, channels, type, s);
    return name;
  }
  static bool Same(const Image& a, const Image& b) {
    return a.width == b.width && a.height == b.height && a.channels == b.channels && a.samples == b.samples;
  }

  TempDir dir_;
};

// ---- stills in every depth and file type ----------------------------------------------

struct StillCase {
  const char* input;
  TypeDesc in_type;
  std::vector<std::string> flags;
  const char* output;
  TypeDesc out_type;
  int out_channels;
};

class Stills : public EndToEnd, public ::testing::WithParamInterface<StillCase> {};

TEST_P(Stills, WriteTheFormatAndDepthAsked) {
  const StillCase& c = GetParam();
  Input(c.input, c.in_type);
  std::vector<std::string> args{"render", c.input, "-o", c.output, "--frame", "3"};
  args.insert(args.end(), c.flags.begin(), c.flags.end());
  const RunResult r = Pluvane(args);
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find(std::string("wrote ") + c.output), std::string::npos) << r.out;
  const Image out = ReadImage(dir_ / c.output);
  EXPECT_EQ(out.width, kW);
  EXPECT_EQ(out.height, kH);
  EXPECT_EQ(out.type, c.out_type);
  EXPECT_EQ(out.channels, c.out_channels);
  EXPECT_FALSE(clitest::HasTemporaryFiles(dir_));
}

INSTANTIATE_TEST_SUITE_P(
    EveryDepth, Stills,
    ::testing::Values(StillCase{"in8.png", TypeDesc::UINT8, {}, "o.png", TypeDesc::UINT8, 4},
                      StillCase{"in16.png", TypeDesc::UINT16, {}, "o.tif", TypeDesc::UINT16, 4},
                      StillCase{"inf.exr", TypeDesc::HALF, {}, "o.exr", TypeDesc::FLOAT, 4},
                      StillCase{"inf.exr", TypeDesc::HALF, {}, "o.png", TypeDesc::UINT16, 4},
                      StillCase{"in8.jpg", TypeDesc::UINT8, {}, "o.jpg", TypeDesc::UINT8, 3},
                      StillCase{"in8.png", TypeDesc::UINT8, {"--depth", "16"}, "o.png", TypeDesc::UINT16, 4},
                      StillCase{"in8.png", TypeDesc::UINT8, {"--depth", "32"}, "o.tif", TypeDesc::FLOAT, 4},
                      StillCase{"in16.tif", TypeDesc::UINT16, {"--depth", "8", "--quality", "draft"}, "o.png",
                                TypeDesc::UINT8, 4}));

// ---- the conversion rules, seen through a render that leaves the layer as it is -----

TEST_F(EndToEnd, LongevityZeroGivesBackAnEightBitFileExactly) {
  Input("in.png", TypeDesc::UINT8);
  const RunResult r = Pluvane({"render", "in.png", "-o", "o.png", "--set", "Longevity (sec)=0", "--frame", "5"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_TRUE(Same(ReadImage(dir_ / "in.png"), ReadImage(dir_ / "o.png")));
}

TEST_F(EndToEnd, LongevityZeroGivesBackAFloatFileExactly) {
  Input("in.exr", TypeDesc::FLOAT);
  const RunResult r = Pluvane({"render", "in.exr", "-o", "o.exr", "--set", "Longevity (sec)=0"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_TRUE(Same(ReadImage(dir_ / "in.exr"), ReadImage(dir_ / "o.exr")));
}

TEST_F(EndToEnd, SixteenBitRulesOnTheWayInAndOut) {
  // 16-bit file: v -> round(v × 32768 / 65535) -> round(h × 65535 / 32768).
  // 8-bit file at 16-bit: v -> (v × 32768 + 128) / 255 -> round(h × 65535 / 32768).
  WriteImage(dir_ / "in16.png", 4, 1, 1, TypeDesc::UINT16, {0, 1, 32768, 65535});
  WriteImage(dir_ / "in8.png", 4, 1, 1, TypeDesc::UINT8, {0, 1, 128, 255});
  ASSERT_EQ(Pluvane({"render", "in16.png", "-o", "o16.png", "--set", "Longevity (sec)=0"}).code, 0);
  ASSERT_EQ(Pluvane({"render", "in8.png", "-o", "o8.png", "--depth", "16", "--set", "Longevity (sec)=0"}).code, 0);
  const Image a = ReadImage(dir_ / "o16.png"), b = ReadImage(dir_ / "o8.png");
  ASSERT_EQ(a.channels, 4);
  const float want16[] = {0, 2, 32768, 65535};  // 1 -> 1 -> 1.99997; 32768 -> 16384 -> 32767.5
  const float want8[] = {0, 258, 32895, 65535};  // 1 -> 129 -> 257.996; 128 -> 16448 -> 32895.498
  for (int x = 0; x < 4; ++x) {
    EXPECT_EQ(a.at(x, 0, 0), want16[x]) << x;
    EXPECT_EQ(b.at(x, 0, 1), want8[x]) << x;
    EXPECT_EQ(a.at(x, 0, 3), 65535) << "no alpha in the file means full alpha";
  }
}

TEST_F(EndToEnd, DownsampleAveragesBoxesOfTheLayer) {
  // 5 x 3 grey: the 2 x 2 boxes average to 25.75 -> 26 and 0.25 -> 0; the last column and row drop.
  WriteImage(dir_ / "in.png", 5, 3, 1, TypeDesc::UINT8, {10, 20, 1, 0, 255, 30, 43, 0, 0, 255, 9, 9, 9, 9, 9});
  const RunResult r = Pluvane({"render", "in.png", "-o", "o.png", "--downsample", "2", "--set", "Longevity (sec)=0"});
  ASSERT_EQ(r.code, 0) << r.err;
  const Image o = ReadImage(dir_ / "o.png");
  ASSERT_EQ(o.width, 2);
  ASSERT_EQ(o.height, 1);
  EXPECT_EQ(o.at(0, 0, 0), 26);
  EXPECT_EQ(o.at(1, 0, 0), 0);
}

TEST_F(EndToEnd, DownsampledRenderIsAFractionOfTheSize) {
  Input("in.png", TypeDesc::UINT8, 3, 65, 33);
  const RunResult r = Pluvane({"render", "in.png", "-o", "half.png", "--downsample", "2", "--set", "Light Position=10,10"});
  ASSERT_EQ(r.code, 0) << r.err;
  const Image o = ReadImage(dir_ / "half.png");
  EXPECT_EQ(o.width, 32);
  EXPECT_EQ(o.height, 16);
}

// ---- frames, protocols, scenes --------------------------------------------------------

TEST_F(EndToEnd, FrameRangeWritesOneFilePerFrameThroughThePattern) {
  Input("in.png", TypeDesc::UINT8);
  const RunResult r = Pluvane({"render", "in.png", "-o", "rain.####.png", "--frames", "3-5", "--stats"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(dir_.Files(), (std::vector<std::string>{"in.png", "rain.0003.png", "rain.0004.png", "rain.0005.png"}));
  EXPECT_NE(r.out.find("frame 4: "), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("frames/s"), std::string::npos) << r.out;
  // The rain moves from frame to frame; a frame rendered on its own is the same frame.
  EXPECT_FALSE(Same(ReadImage(dir_ / "rain.0003.png"), ReadImage(dir_ / "rain.0004.png")));
  ASSERT_EQ(Pluvane({"render", "in.png", "-o", "alone.%02d.png", "--frame", "4"}).code, 0);
  EXPECT_EQ(clitest::Slurp(dir_ / "alone.04.png"), clitest::Slurp(dir_ / "rain.0004.png"));
}

TEST_F(EndToEnd, KeyframesAreInFramesAndHeldOutsideTheKeys) {
  // Longevity 0 up to frame 1 passes the layer through; from frame 2 on there is rain.
  Input("in.png", TypeDesc::UINT8);
  const RunResult r = Pluvane({"render", "in.png", "-o", "k.#.png", "--frames", "0-3", "--key", "Longevity (sec)=1:0,2:1"});
  ASSERT_EQ(r.code, 0) << r.err;
  const Image in = ReadImage(dir_ / "in.png");
  EXPECT_TRUE(Same(ReadImage(dir_ / "k.0.png"), in));
  EXPECT_TRUE(Same(ReadImage(dir_ / "k.1.png"), in));
  EXPECT_FALSE(Same(ReadImage(dir_ / "k.2.png"), in));
}

TEST_F(EndToEnd, ClassicAndSmartGiveIdenticalFiles) {
  Input("in.png", TypeDesc::UINT16);
  for (const char* out : {"smart.exr", "classic.exr", "smart.png", "classic.png"}) {
    const std::string protocol = std::string(out).rfind("smart", 0) == 0 ? "smart" : "classic";
    const RunResult r = Pluvane({"render", "in.png", "-o", out, "--frame", "7", "--depth", "32", "--protocol", protocol});
    ASSERT_EQ(r.code, 0) << r.err;
  }
  EXPECT_EQ(clitest::Slurp(dir_ / "smart.exr"), clitest::Slurp(dir_ / "classic.exr"));
  EXPECT_EQ(clitest::Slurp(dir_ / "smart.png"), clitest::Slurp(dir_ / "classic.png"));
}

TEST_F(EndToEnd, SceneFileWithCompositionLights) {
  std::filesystem::create_directory(dir_.path() / "shot");
  Input("shot/plate.png", TypeDesc::UINT8);
  const auto scene = [&](const char* name, const char* enabled) {
    std::ofstream(dir_ / name) << R"({"input": "shot/plate.png", "output": ")" << name << R"(.png", "frame": 2,
      "controls": {"Using": "AE Lights", "Specular": 100, "Diffuse": 60},
      "lights": [{"type": "spot", "position": [24, 5, -80], "point_of_interest": [24, 15, 0], "intensity": 150,
                  "color": [1, 0.9, 0.8], "cone_angle": 120, "cone_feather": 30, "enabled": )" << enabled << R"(},
                 {"type": "ambient", "intensity": 20, "enabled": )" << enabled << R"(}]})";
  };
  scene("lit", "true");
  scene("dark", "false");
  for (const char* s : {"lit", "dark"}) {
    const RunResult r = Pluvane({"render", "--scene", std::string(s)});
    ASSERT_EQ(r.code, 0) << r.err;
  }
  const Image lit = ReadImage(dir_ / "lit.png"), dark = ReadImage(dir_ / "dark.png");
  EXPECT_EQ(lit.width, kW);
  EXPECT_FALSE(Same(lit, dark));
  // The command line overrides the scene.
  const RunResult r = Pluvane({"render", "--scene", "lit", "-o", "other.png", "--frame", "3"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_TRUE(std::filesystem::exists(dir_ / "other.png"));
}

// ---- bad input: one line, non-zero exit, nothing written ----------------------------------

struct BadCase {
  std::vector<std::string> args;
  const char* message;
};

class BadInput : public EndToEnd, public ::testing::WithParamInterface<BadCase> {};

TEST_P(BadInput, EndsWithOneClearLineAndWritesNothing) {
  Input("in.png", TypeDesc::UINT8);
  std::ofstream(dir_ / "notes.png") << "not an image";
  std::ofstream(dir_ / "broken.json") << R"({"input": "in.png", "controls": {)";
  std::filesystem::create_directory(dir_.path() / "locked");
  std::filesystem::permissions(dir_.path() / "locked", std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
  const auto before = dir_.Files();

  std::vector<std::string> args = GetParam().args;
  // Root may write into any folder; /proc takes no new files from anyone.
  for (auto& a : args)
    if (a == "locked/o.png" && geteuid() == 0) a = "/proc/o.png";
  const RunResult r = Pluvane(args);
  EXPECT_EQ(r.code, 2);
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  EXPECT_EQ(r.err.rfind("pluvane: error: ", 0), 0u) << r.err;
  EXPECT_NE(r.err.find(GetParam().message), std::string::npos) << r.err;
  EXPECT_EQ(dir_.Files(), before);
  EXPECT_TRUE(std::filesystem::is_empty(dir_.path() / "locked"));
}

INSTANTIATE_TEST_SUITE_P(
    Messages, BadInput,
    ::testing::Values(
        BadCase{{"render", "missing.png", "-o", "o.png"}, "'missing.png' does not exist"},
        BadCase{{"render", "notes.png", "-o", "o.png"}, "cannot read 'notes.png' as an image"},
        BadCase{{"render", "in.png", "-o", "o.png", "--set", "Drip rate=2"}, "did you mean \"Drip Rate\""},
        BadCase{{"render", "in.png", "-o", "o.png", "--set", "Spreading=5001"}, "outside its valid range 0 to 5000"},
        BadCase{{"render", "in.png", "-o", "o.png", "--key", "Ripple Height=0:100,9:201"}, "outside its valid range"},
        BadCase{{"render", "--scene", "broken.json", "-o", "o.png"}, "is not valid JSON"},
        BadCase{{"render", "--scene", "absent.json", "-o", "o.png"}, "'absent.json' does not exist"},
        BadCase{{"render", "in.png", "-o", "in.png"}, "would overwrite the input"},
        BadCase{{"render", "in.png", "-o", "./in.png"}, "would overwrite the input"},
        BadCase{{"render", "in.png", "-o", "nowhere/o.png"}, "'nowhere' does not exist"},
        BadCase{{"render", "in.png", "-o", "locked/o.png"}, "cannot write into folder"},
        BadCase{{"render", "in.png", "-o", "o.jpg", "--depth", "16"}, "JPEG holds only 8-bit samples"},
        BadCase{{"render", "in.png", "-o", "o.exr"}, "add --depth 32"},
        BadCase{{"render", "in.png", "-o", "o.bmp"}, "end the output name with .png, .tif, .exr or .jpg"},
        BadCase{{"render", "in.png", "-o", "o.png", "--frames", "0-3"}, "frame number pattern"},
        BadCase{{"render", "in.png", "-o", "o.png", "--fps", "fast"}, "--fps \"fast\""},
        BadCase{{"render", "in.png", "-o", "o.png", "--downsample", "100"}, "leaves no pixels"},
        BadCase{{"render", "in.png", "-o", "o.png", "--bogus"}, "--bogus"},
        BadCase{{"render", "in.png"}, "no output given"}));

// ---- Ctrl-C ------------------------------------------------------------------------------

TEST_F(EndToEnd, InterruptKeepsFinishedFramesAndLeavesNoPartialFile) {
  Input("in.png", TypeDesc::UINT8, 4, 160, 90);
  const pid_t pid = clitest::Spawn({"render", "in.png", "-o", "f.####.png", "--frames", "0-100000",
                                    "--set", "Longevity (sec)=3"},
                                   dir_.path(), dir_ / "stdout.txt", dir_ / "stderr.txt");
  // Wait until frames are being written, then press Ctrl-C.
  int status = 0;
  while (!std::filesystem::exists(dir_ / "f.0001.png")) {
    ASSERT_EQ(waitpid(pid, &status, WNOHANG), 0) << "pluvane ended before it was interrupted";
    usleep(5000);
  }
  kill(pid, SIGINT);
  EXPECT_EQ(clitest::WaitExit(pid), 130);
  EXPECT_NE(clitest::Slurp(dir_ / "stderr.txt").find("interrupted at frame"), std::string::npos);
  EXPECT_FALSE(clitest::HasTemporaryFiles(dir_));
  EXPECT_FALSE(std::filesystem::exists(dir_ / "f.100000.png"));
  for (const auto& name : dir_.Files()) {
    if (name.rfind("f.", 0) != 0) continue;
    const Image frame = ReadImage(dir_ / name);  // every file left is a whole image
    EXPECT_EQ(frame.width, 160) << name;
  }
}

// ---- the other commands -------------------------------------------------------------------

TEST_F(EndToEnd, DemoWritesFramesAndAnAnimationAndSaysWhere) {
  const RunResult r = Pluvane({"demo", "-o", "show", "--frames", "0-1"});
  ASSERT_EQ(r.code, 0) << r.err;
  std::vector<std::string> files;
  for (const auto& e : std::filesystem::directory_iterator(dir_.path() / "show")) files.push_back(e.path().filename());
  for (const char* f : {"demo.0000.png", "demo.0001.png", "demo.gif", "source.png"})
    EXPECT_NE(std::find(files.begin(), files.end(), f), files.end()) << f;
  EXPECT_NE(r.out.find("show/demo.gif"), std::string::npos) << r.out;
  EXPECT_FALSE(Same(ReadImage(dir_ / "show/source.png"), ReadImage(dir_ / "show/demo.0000.png")));

  Input("mine.png", TypeDesc::UINT16);
  const RunResult own = Pluvane({"demo", "mine.png", "-o", "mine", "--frames", "0-0"});
  ASSERT_EQ(own.code, 0) << own.err;
  EXPECT_TRUE(std::filesystem::exists(dir_ / "mine/demo.gif"));
  EXPECT_EQ(ReadImage(dir_ / "mine/demo.0000.png").type, TypeDesc::UINT16);
}

TEST_F(EndToEnd, ControlsListsTheDeclaredControlsAndTheirStates) {
  const RunResult r = Pluvane({"controls", "--set", "Using=AE Lights"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 23) << r.out;  // a heading and 22 rows
  std::istringstream lines(r.out);
  for (std::string line; std::getline(lines, line);) {
    if (line.find("Light Intensity") != std::string::npos) {
      EXPECT_NE(line.find("disabled"), std::string::npos) << line;
    }
    if (line.find("Drip Rate") != std::string::npos) {
      EXPECT_NE(line.find("0 to 100"), std::string::npos) << line;
    }
  }
  const RunResult about = Pluvane({"about"});
  ASSERT_EQ(about.code, 0);
  EXPECT_NE(about.out.find("QX Pluvane"), std::string::npos) << about.out;
}

}  // namespace
