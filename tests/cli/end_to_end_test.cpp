// The built `pluvane` program, run as a user runs it. Independent runs start
// together: each is mostly program start-up.
#include "tests/support/cli_fixture.h"

namespace {

using namespace clitest;
using Args = std::vector<std::string>;
using ::testing::ContainsRegex;
using ::testing::HasSubstr;
namespace fs = std::filesystem;

constexpr int kW = 48, kH = 30;

class EndToEnd : public ::testing::Test {
 protected:
  std::vector<Process> Pluvane(const std::vector<Args>& runs) {
    auto results = RunAll(runs, dir_.path());
    for (const auto& r : results) EXPECT_EQ(r.code, 0) << r.err;
    return results;
  }
  void Input(const std::string& name, TypeDesc type, int channels = 4) { WritePattern(dir_ / name, type, channels, kW, kH); }
  Image Read(const std::string& name) const { return ReadImage(dir_ / name); }
  TempDir dir_;
};

TEST_F(EndToEnd, StillsInEveryDepthAndFileType) {
  Input("in8.png", TypeDesc::UINT8);
  Input("in8.jpg", TypeDesc::UINT8, 3);
  Input("in16.png", TypeDesc::UINT16);
  Input("in16.tif", TypeDesc::UINT16);
  Input("inh.exr", TypeDesc::HALF);
  const struct {
    Args args;
    TypeDesc type;
    int channels = 4, scale = 1;
  } cases[] = {
      {{"in8.png", "-o", "a.png"}, TypeDesc::UINT8},
      {{"in16.png", "-o", "b.TIF"}, TypeDesc::UINT16},
      {{"inh.exr", "-o", "c.exr"}, TypeDesc::FLOAT},
      {{"inh.exr", "-o", "d.png"}, TypeDesc::UINT16},  // PNG holds no float
      {{"in8.jpg", "-o", "e.jpg"}, TypeDesc::UINT8, 3},
      {{"in8.png", "-o", "f.png", "--depth", "16"}, TypeDesc::UINT16},
      {{"in8.png", "-o", "g.tif", "--depth", "32"}, TypeDesc::FLOAT},
      {{"in16.tif", "-o", "h.png", "--depth", "8", "--quality", "draft"}, TypeDesc::UINT8},
      {{"in8.png", "-o", "i.png", "--downsample", "2", "--set", "Light Position=10,10"}, TypeDesc::UINT8, 4, 2},
  };
  std::vector<Args> runs;
  for (const auto& c : cases) runs.push_back(Cat({"render", "--frame", "3"}, c.args));
  const auto results = Pluvane(runs);
  for (size_t i = 0; i < results.size(); ++i) {
    const auto& c = cases[i];
    SCOPED_TRACE(c.args[2]);
    EXPECT_THAT(results[i].out, HasSubstr("wrote " + c.args[2]));
    const Image out = Read(c.args[2]);
    EXPECT_EQ(out.width, kW / c.scale);
    EXPECT_EQ(out.height, kH / c.scale);
    EXPECT_EQ(out.type, c.type);
    EXPECT_EQ(out.channels, c.channels);
  }
  EXPECT_EQ(dir_.Files(), (Args{"a.png", "b.TIF", "c.exr", "d.png", "e.jpg", "f.png", "g.tif", "h.png", "i.png", "in16.png",
                                "in16.tif", "in8.jpg", "in8.png", "inh.exr"}));  // and no temporary file
}

// With Longevity 0 the layer comes back as it went in, through the file rules
// alone: golden numbers from those rules. Grey files have no alpha: full alpha.
TEST_F(EndToEnd, PassThroughFollowsTheFileRulesAndTheBoxAverage) {
  WriteImage(dir_ / "in16.png", 6, 1, 1, TypeDesc::UINT16, {0, 1, 3, 32768, 65534, 65535});
  WriteImage(dir_ / "in8.png", 5, 1, 1, TypeDesc::UINT8, {0, 1, 51, 128, 255});
  WriteImage(dir_ / "inf.exr", 6, 1, 1, TypeDesc::FLOAT, {-0.25f, 0.5f, 1.0f, 7.0f, 1.5f, 0.2f});
  const float inf = std::numeric_limits<float>::infinity();
  WriteImage(dir_ / "nan.exr", 5, 1, 1, TypeDesc::FLOAT, {std::nanf(""), inf, -inf, 7.5f, 0.25f});
  // 2 x 2 boxes; the last column and row are no whole box and drop.
  WriteImage(dir_ / "box.png", 9, 3, 1, TypeDesc::UINT8, {10, 20, 1, 0, 255, 255, 9, 9, 255,  //
                                                          30, 43, 0, 0, 255, 255, 9, 9, 255,  //
                                                          255, 255, 255, 255, 255, 255, 255, 255, 255});
  Input("pat8.png", TypeDesc::UINT8);
  Input("patf.exr", TypeDesc::FLOAT);
  const struct {
    Args args;
    std::vector<float> want;
  } cases[] = {
      // round(v × 32768 / 65535), then round(h × 65535 / 32768): 3 -> 2 -> 4; 65534 -> 32767 -> 65533
      {{"in16.png", "-o", "o16.png"}, {0, 2, 4, 32768, 65533, 65535}},
      // (v × 32768 + 128) / 255 in integers, then back: 1 -> 129 -> 257.996; 128 -> 16448 -> 32895.498
      {{"in8.png", "-o", "o8.png", "--depth", "16"}, {0, 258, 13108, 32895, 65535}},
      // round(v × 255 / 65535): 3 -> 0.0117; 32768 -> 127.502
      {{"in16.png", "-o", "o16to8.png", "--depth", "8"}, {0, 0, 0, 128, 255, 255}},
      // clamped to 0..1, round(v × 32768), then back: 0.5 -> 16384 -> 32767.5
      {{"inf.exr", "-o", "of.png", "--depth", "16"}, {0, 32768, 65535, 65535, 65535, 13108}},
      {{"inf.exr", "-o", "of8.png", "--depth", "8"}, {0, 128, 255, 255, 255, 51}},
      // NaN read as 0, infinities as the largest finite half-float value, everything else as it was
      {{"nan.exr", "-o", "onan.exr"}, {0, 65504, -65504, 7.5f, 0.25f}},
      // box means 25.75 and 0.25, rounded
      {{"box.png", "-o", "obox.png", "--downsample", "2"}, {26, 0, 255, 9}},
  };
  std::vector<Args> runs{{"render", "pat8.png", "-o", "pat8.o.png"}, {"render", "patf.exr", "-o", "patf.o.exr"}};
  for (const auto& c : cases) runs.push_back(Cat({"render"}, c.args));
  for (auto& run : runs) run = Cat(run, {"--set", "Longevity (sec)=0", "--frame", "5"});
  Pluvane(runs);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[2]);
    const Image o = Read(c.args[2]);
    ASSERT_EQ(static_cast<size_t>(o.width * o.height * o.channels), 4 * c.want.size());
    for (size_t x = 0; x < c.want.size(); ++x) {
      EXPECT_EQ(o.samples[x * 4 + 1], c.want[x]) << x;
      EXPECT_EQ(o.samples[x * 4 + 3], FullScale(o.type));
    }
  }
  EXPECT_EQ(Read("pat8.png"), Read("pat8.o.png"));  // 8-bit and float files come back exactly
  EXPECT_EQ(Read("patf.exr"), Read("patf.o.exr"));
}

// Every refusal is one line that names the real problem and, where there is
// one, the fix; nothing is written.
TEST(BadInput, EndsWithOneClearLineAndWritesNothing) {
  const std::pair<Args, const char*> cases[] = {
      {{"missing.png", "-o", "o.png"}, "'missing.png' does not exist"},
      {{"notes.png", "-o", "o.png"}, "cannot read 'notes.png' as an image"},
      {{"in.png", "-o", "o.png", "--set", "Drip Rait=2"}, "did you mean \"Drip Rate\""},
      {{"in.png", "-o", "o.png", "--set", "Spreading=5001"}, "outside its valid range 0 to 5000"},
      {{"--scene", "broken.json", "-o", "o.png"}, "is not valid JSON"},
      {{"--scene", "absent.json", "-o", "o.png"}, "'absent.json' does not exist"},
      {{"in.png", "-o", "./in.png"}, "would overwrite the input"},
      // A missing folder is made, but not inside a file.
      {{"in.png", "-o", "notes.png/sub/o.png"}, "cannot create output folder 'notes.png/sub'"},
      // Root may write into any folder; /proc takes no new files from anyone.
      {{"in.png", "-o", geteuid() == 0 ? "/proc/o.png" : "locked/o.png"}, "cannot write into folder"},
      {{"in.png", "-o", "o.jpg", "--depth", "16"}, "JPEG holds only 8-bit samples"},
      {{"in.png", "-o", "o.exr"}, "add --depth 32"},
      {{"in.png", "-o", "o.bmp"}, "unknown format"},
      {{"in.png", "-o", "o.png", "--frames", "0-3"}, "frame number pattern"},
      {{"in.png", "-o", "o.png", "--chunk", "0/2"}, "--chunk needs an output name with a frame number pattern"},
      {{"in.png", "-o", "o.png", "--downsample", "100"}, "leaves no pixels"},
      {{"in.png", "-o", "o.png", "--bogus"}, "--bogus"},
      {{"in.png"}, "no output given"},
      {{"in.png", "-o", "o.png", "--seed", "64"}, "\"Seed\" = 64 (--seed) is outside its valid range 0 to 63"},
      {{"in.png", "-o", "o.png", "--mix", "1.5"}, "\"Mix\" = 1.5 (--mix) is outside its valid range 0 to 1"},
      {{"in.png", "-o", "o.png", "--loop", "2.5"}, "not a whole number of frames"},
      {{"in.png", "-o", "o.png", "--matte", "notes.png"}, "cannot read 'notes.png' as an image"},
      // A pixel aspect is a ratio, not a frame rate.
      {{"in.png", "-o", "o.png", "--pixel-aspect", "0"},
       "--pixel-aspect \"0\" is not a positive number or ratio; write it like 1, 10/11"},
      // A sequence numbered from 1 into one file: the frame to ask for.
      {{"seq.####.png", "-o", "o.png"}, "frame 0 is not in the input sequence 'seq.####.png', which has frames 1-3; a "
                                        "single output file takes one frame: add --frame 1"},
      {{"seq.####.png", "-o", "o.####.png", "--frames", "0-2"},
       "frames 0-2 reach outside the input sequence 'seq.####.png', which has frames 1-3"},
      // One limit for a single frame and a range.
      {{"in.png", "-o", "o.png", "--frame", "10000001"},
       "--frame \"10000001\" goes beyond frame 10000000, the last frame pluvane renders"},
      {{"in.png", "-o", "o.####.png", "--frames", "10000001"}, "--frames \"10000001\" goes beyond frame 10000000"},
      {{"in.png", "-o", "o.png", "--frame", "-1"}, "--frame -1 is before the start; give frame 0 or later"},
      // A setting split over two arguments.
      {{"in.png", "-o", "o.png", "--set", "Drip Rate", "2"},
       "--set takes NAME=VALUE as one argument: did you mean --set \"Drip Rate=2\"?"},
      {{"in.png", "-o", "o.png", "--key", "Ripple Height", "0:100,30:40"},
       "did you mean --key \"Ripple Height=0:100,30:40\"?"},
      {{"in.png", "-o", "o.png", "--set", "Drip Rate"}, "--set \"Drip Rate\" is not NAME=VALUE; write it like --set \"Drip Rate=2\""},
  };
  const Args files{"broken.json", "in.png", "locked", "notes.png", "seq.0001.png", "seq.0002.png", "seq.0003.png"};
  std::vector<TempDir> dirs(std::size(cases));
  std::vector<Process> started;
  for (size_t i = 0; i < dirs.size(); ++i) {
    WritePattern(dirs[i] / "in.png", TypeDesc::UINT8, 4, kW, kH);
    for (const char* f : {"seq.0001.png", "seq.0002.png", "seq.0003.png"}) fs::copy_file(dirs[i] / "in.png", dirs[i] / f);
    std::ofstream(dirs[i] / "notes.png") << "not an image";
    std::ofstream(dirs[i] / "broken.json") << R"({"input": "in.png", "controls": {)";
    fs::create_directory(dirs[i] / "locked");
    fs::permissions(dirs[i] / "locked", fs::perms::owner_read | fs::perms::owner_exec);
    started.push_back(Start(Cat({"render"}, cases[i].first), dirs[i].path()));
  }
  for (size_t i = 0; i < dirs.size(); ++i) {
    SCOPED_TRACE(cases[i].second);
    const Process r = Finish(started[i]);
    EXPECT_EQ(r.code, 2);
    EXPECT_THAT(r.err, ::testing::MatchesRegex("pluvane: error: [^\n]*\n"));
    EXPECT_THAT(r.err, HasSubstr(cases[i].second));
    EXPECT_EQ(dirs[i].Files(), files);
    EXPECT_TRUE(fs::is_empty(dirs[i] / "locked"));
  }
}

// The demo runs in the farm tests, `about` in the install tests.
TEST_F(EndToEnd, ControlsListsEachControlAndWhetherTheValuesSetEnableIt) {
  const std::string table = Pluvane({{"controls", "--set", "Using=AE Lights"}})[0].out;
  EXPECT_EQ(std::count(table.begin(), table.end(), '\n'), 23) << table;  // a heading and 22 rows
  // Name, type, valid range, slider range, default, and the state for the values set.
  EXPECT_THAT(table, ContainsRegex("Drip Rate +slider +0 to 100 +0 to 5 +1 +enabled"));
  EXPECT_THAT(table, ContainsRegex("Using +popup +Effect Light \\| AE Lights +Effect Light +enabled"));
  EXPECT_THAT(table, ContainsRegex("Roughness +slider [^\n]* 0.015 +enabled"));
  EXPECT_THAT(table, ContainsRegex("Light Intensity [^\n]* disabled"));
}

}  // namespace
