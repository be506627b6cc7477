// What the user types on the command line: frame ranges, output patterns and
// scene files.
#include <map>

#include "tests/support/cli_fixture.h"
#include "cli/cli_error.h"
#include "cli/scene.h"
#include "cli/values.h"

namespace pluvane::cli {
namespace {

TEST(Parse, FrameRanges) {
  EXPECT_EQ(ParseFrameRange("0-89", "--frames"), (std::pair{0, 89}));
  EXPECT_EQ(ParseFrameRange("12", "--frames"), (std::pair{12, 12}));
  for (const char* bad : {"5-3", "a-b", "-3", "1-", "1-2-3"}) EXPECT_THROW(ParseFrameRange(bad, "--frames"), CliError) << bad;
  // Ten million frames at most: a range of billions is refused by name, not walked.
  EXPECT_EQ(ParseFrameRange("0-10000000", "--frames"), (std::pair{0, 10000000}));
  for (const char* huge : {"0-10000001", "0-1999999999", "0-99999999999999999999999"})
    EXPECT_THAT(clitest::ErrorOf<CliError>([&] { ParseFrameRange(huge, "--frames"); }), ::testing::HasSubstr("goes beyond frame 10000000"))
        << huge;
}

TEST(Parse, OutputPatternsGiveZeroPaddedNumbers) {
  EXPECT_EQ(ParseOutputPattern("rain.####.png").FileFor(7), "rain.0007.png");
  EXPECT_EQ(ParseOutputPattern("out/rain.%04d.exr").FileFor(12), "out/rain.0012.exr");
  EXPECT_EQ(ParseOutputPattern("r.%d.png").FileFor(3), "r.3.png");
  EXPECT_EQ(ParseOutputPattern("r.##.png").FileFor(123), "r.123.png");
  // A long run of '#' pads to its full length, so frames keep names of their own.
  const OutputPattern wide = ParseOutputPattern("r." + std::string(40, '#') + ".png");
  EXPECT_EQ(wide.FileFor(5), "r." + std::string(39, '0') + "5.png");
  EXPECT_NE(wide.FileFor(5), wide.FileFor(6));
  const OutputPattern still = ParseOutputPattern("shot#1/still.png");  // a '#' in a folder is no pattern
  EXPECT_FALSE(still.has_pattern);
  EXPECT_EQ(still.FileFor(5), "shot#1/still.png");
  EXPECT_THROW(ParseOutputPattern("rain.%s.png"), CliError);
}

TEST(Scene, ReadsItsKeysAndResolvesPathsAgainstTheFile) {
  RenderOptions o;
  o.output = "keep.png";
  ParseScene(R"({"input": "photo.png", "depth": 16, "frame": 12, "frames": [0, 89], "fps": [30, 1], "downsample": [1, 2],
      "quality": "high", "pixel_aspect": [1, 1], "protocol": "smart",
      "controls": {"Drip Rate": 2.0, "Using": "AE Lights", "Ripple Height": {"keys": [[0, 100], [30, 40]]}},
      "lights": [{"type": "spot", "position": [960, 200, -800], "point_of_interest": [960, 540, 0],
                  "intensity": 100, "color": [1, 0.9, 0.8], "cone_angle": 90, "cone_feather": 50, "enabled": true},
                 {"type": "parallel", "enabled": false}]})",
             "shot.json", "/shots/a", o);
  EXPECT_EQ(o.input, "/shots/a/photo.png");
  EXPECT_EQ(o.output, "keep.png");  // absent keys keep what was there
  EXPECT_EQ(o.depth, Depth::k16);
  EXPECT_EQ(o.frames, (std::pair{0, 89}));
  EXPECT_EQ(o.downsample, 2);
  std::map<std::string, ControlSetting> controls;
  for (const auto& c : o.controls) controls[c.name] = c;
  EXPECT_EQ(controls.size(), 3u);
  EXPECT_EQ(controls["Using"].choice, "AE Lights");
  ASSERT_EQ(controls["Ripple Height"].keys.size(), 2u);
  EXPECT_EQ(controls["Ripple Height"].keys[1].values, std::vector<double>{40});
  ASSERT_EQ(o.lights.size(), 2u);
  EXPECT_EQ(o.lights[0].type, minihost::LightKind::kSpot);
  EXPECT_EQ(o.lights[0].position, (std::array<double, 3>{960, 200, -800}));
  EXPECT_EQ(o.lights[0].point_of_interest, (std::array<double, 3>{960, 540, 0}));
  EXPECT_EQ(o.lights[0].color, (std::array<double, 3>{1, 0.9, 0.8}));
  EXPECT_FALSE(o.lights[1].point_of_interest);
  EXPECT_FALSE(o.lights[1].enabled);
}

TEST(Scene, MalformedFilesNameTheProblem) {
  const std::pair<const char*, const char*> cases[] = {
      {R"({"input": })", "not valid JSON"},
      {R"({"controls": {"Drip Rate": 1e616}})", "not valid JSON"},  // beyond a double: found by fuzzing
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
    const std::string error = clitest::ErrorOf<CliError>([&] { ParseScene(text, "bad.json", "", o); });
    EXPECT_THAT(error, ::testing::HasSubstr(expected));
    EXPECT_THAT(error, ::testing::HasSubstr("bad.json"));
  }
}

}  // namespace
}  // namespace pluvane::cli
