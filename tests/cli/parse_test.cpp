// What the user types: rationals, frame ranges, output patterns, control
// settings, and scene files.
#include <gtest/gtest.h>

#include "errors.h"
#include "scene.h"
#include "values.h"

namespace pluvane::cli {
namespace {

TEST(ParseRational, TakesRatiosWholeNumbersAndExactDecimals) {
  EXPECT_EQ(ParseRational("30000/1001", "--fps"), (Rational{30000, 1001}));
  EXPECT_EQ(ParseRational("24", "--fps"), (Rational{24, 1}));
  EXPECT_EQ(ParseRational("29.97", "--fps"), (Rational{2997, 100}));
  EXPECT_EQ(ParseRational("0.9", "--pixel-aspect"), (Rational{9, 10}));
  EXPECT_EQ(ParseRational("20/22", "--pixel-aspect"), (Rational{10, 11}));
  for (const char* bad : {"", "0", "-1", "abc", "1/0", "3/", "1e5", "0.1234567"})
    EXPECT_THROW(ParseRational(bad, "--fps"), CliError) << bad;
}

TEST(ParseFrameRange, TakesInclusiveRangesAndSingleFrames) {
  EXPECT_EQ(ParseFrameRange("0-89", "--frames"), (std::pair{0, 89}));
  EXPECT_EQ(ParseFrameRange("12", "--frames"), (std::pair{12, 12}));
  for (const char* bad : {"5-3", "a-b", "-3", "1-", "1-2-3"}) EXPECT_THROW(ParseFrameRange(bad, "--frames"), CliError) << bad;
}

TEST(OutputPattern, HashesAndPrintfStyleGiveZeroPaddedNumbers) {
  EXPECT_EQ(ParseOutputPattern("rain.####.png").FileFor(7), "rain.0007.png");
  EXPECT_EQ(ParseOutputPattern("out/rain.%04d.exr").FileFor(12), "out/rain.0012.exr");
  EXPECT_EQ(ParseOutputPattern("r.%d.png").FileFor(3), "r.3.png");
  EXPECT_EQ(ParseOutputPattern("r.##.png").FileFor(123), "r.123.png");
  const OutputPattern still = ParseOutputPattern("shot#1/still.png");  // a '#' in a folder is no pattern
  EXPECT_FALSE(still.has_pattern);
  EXPECT_EQ(still.FileFor(5), "shot#1/still.png");
  EXPECT_THROW(ParseOutputPattern("rain.%s.png"), CliError);
}

TEST(ParseSetOption, NumbersColoursAndChoices) {
  EXPECT_EQ(ParseSetOption("Drip Rate=2").numbers, std::vector<double>{2});
  EXPECT_EQ(ParseSetOption("Light Position=100, 200").numbers, (std::vector<double>{100, 200}));
  EXPECT_EQ(ParseSetOption("Light Color=#ff8000").numbers, (std::vector<double>{255, 128, 0}));
  EXPECT_EQ(ParseSetOption("Light Color=255,128,0").numbers, (std::vector<double>{255, 128, 0}));
  const ControlSetting choice = ParseSetOption("Using=AE Lights");
  EXPECT_EQ(choice.name, "Using");
  EXPECT_EQ(choice.choice, "AE Lights");
  for (const char* bad : {"Drip Rate", "=3", "Drip Rate=", "Light Color=#ff80"})
    EXPECT_THROW(ParseSetOption(bad), CliError) << bad;
}

TEST(ParseKeyOption, KeysOfNumbersAndOfPoints) {
  const ControlSetting height = ParseKeyOption("Ripple Height=0:100,30:40");
  ASSERT_EQ(height.keys.size(), 2u);
  EXPECT_EQ(height.keys[1].frame, 30);
  EXPECT_EQ(height.keys[1].values, std::vector<double>{40});
  const ControlSetting point = ParseKeyOption("Light Position=0:100,200,30:500,250");
  ASSERT_EQ(point.keys.size(), 2u);
  EXPECT_EQ(point.keys[1].values, (std::vector<double>{500, 250}));
  for (const char* bad : {"X=abc", "X=5", "X=0:1,x:2", "X=-1:5"}) EXPECT_THROW(ParseKeyOption(bad), CliError) << bad;
}

constexpr const char* kScene = R"({"input": "photo.png", "depth": 16, "frame": 12, "frames": [0, 89], "fps": [30, 1],
   "quality": "high", "downsample": [1, 1], "pixel_aspect": [1, 1], "protocol": "smart",
   "controls": {"Drip Rate": 2.0, "Light Color": [255, 200, 150], "Using": "AE Lights",
                "Ripple Height": {"keys": [[0, 100], [30, 40]]}},
   "lights": [{"type": "spot", "position": [960, 200, -800], "point_of_interest": [960, 540, 0],
               "intensity": 100, "color": [1, 0.9, 0.8], "cone_angle": 90, "cone_feather": 50, "enabled": true}]})";

const ControlSetting* Find(const RenderOptions& o, const std::string& name) {
  for (const auto& c : o.controls)
    if (c.name == name) return &c;
  return nullptr;
}

TEST(Scene, ReadsEveryKeyAndResolvesPathsAgainstTheFile) {
  RenderOptions o;
  ParseScene(kScene, "shot.json", "/shots/a", o);
  EXPECT_EQ(o.input, "/shots/a/photo.png");
  EXPECT_EQ(o.depth, Depth::k16);
  EXPECT_EQ(o.frame, 12);
  EXPECT_EQ(o.frames, (std::pair{0, 89}));
  EXPECT_EQ(o.fps, (Rational{30, 1}));
  EXPECT_EQ(o.downsample, 1);
  ASSERT_EQ(o.controls.size(), 4u);
  EXPECT_EQ(Find(o, "Light Color")->numbers, (std::vector<double>{255, 200, 150}));
  EXPECT_EQ(Find(o, "Using")->choice, "AE Lights");
  ASSERT_EQ(Find(o, "Ripple Height")->keys.size(), 2u);
  EXPECT_EQ(Find(o, "Ripple Height")->keys[1].values, std::vector<double>{40});
  ASSERT_EQ(o.lights.size(), 1u);
  const minihost::LightLayer& spot = o.lights[0];
  EXPECT_EQ(spot.type, minihost::LightKind::kSpot);
  EXPECT_EQ(spot.position, (std::array<double, 3>{960, 200, -800}));
  ASSERT_TRUE(spot.point_of_interest);
  EXPECT_EQ(*spot.point_of_interest, (std::array<double, 3>{960, 540, 0}));
  EXPECT_EQ(spot.color, (std::array<double, 3>{1, 0.9, 0.8}));
  EXPECT_TRUE(spot.enabled);
}

TEST(Scene, AbsentKeysKeepWhatWasThereAndLightsMayLackAPointOfInterest) {
  RenderOptions o;
  o.output = "keep.png";
  ParseScene(R"({"downsample": 2, "lights": [{"type": "parallel", "enabled": false}]})", "s.json", "", o);
  EXPECT_EQ(o.output, "keep.png");
  EXPECT_EQ(o.downsample, 2);
  ASSERT_EQ(o.lights.size(), 1u);
  EXPECT_FALSE(o.lights[0].point_of_interest);
  EXPECT_FALSE(o.lights[0].enabled);
}

TEST(Scene, MalformedFilesNameTheProblem) {
  const std::pair<const char*, const char*> cases[] = {
      {R"({"input": })", "not valid JSON"},
      {R"([1, 2])", "one JSON object"},
      {R"({"lihgts": []})", "unknown key \"lihgts\""},
      {R"({"depth": 12})", "\"depth\" must be 8, 16 or 32"},
      {R"({"frames": [9, 3]})", "ends before it starts"},
      {R"({"downsample": [2, 1]})", "[1, N]"},
      {R"({"lights": [{"type": "laser"}]})", "\"laser\""},
      {R"({"lights": [{"type": "point", "color": [255, 0, 0]}]})", "from 0 to 1"},
      {R"({"controls": {"Drip Rate": true}})", "\"Drip Rate\""},
  };
  for (const auto& [text, expected] : cases) {
    RenderOptions o;
    try {
      ParseScene(text, "bad.json", "", o);
      ADD_FAILURE() << "accepted " << text;
    } catch (const CliError& e) {
      EXPECT_NE(std::string(e.what()).find(expected), std::string::npos) << e.what();
      EXPECT_NE(std::string(e.what()).find("bad.json"), std::string::npos) << e.what();
    }
  }
}

}  // namespace
}  // namespace pluvane::cli
