// What the host adds around the effect, through the built `pluvane`: the
// seed, the mix and the matte, the loop.
#include "tests/support/cli_fixture.h"

namespace {

using namespace clitest;
using Args = std::vector<std::string>;
namespace fs = std::filesystem;

constexpr int kW = 96, kH = 60;

class Around : public ::testing::Test {
 protected:
  void SetUp() override { WritePattern(dir_ / "in.png", TypeDesc::UINT8, 4, kW, kH); }
  void Pluvane(const std::vector<Args>& runs) {
    for (const auto& r : RunAll(runs, dir_.path())) EXPECT_EQ(r.code, 0) << r.err;
  }
  // A picture of one grey level and alpha for every pixel (left half, right half).
  void Flat(const std::string& name, float grey, float alpha_left = 255, float alpha_right = 255) {
    std::vector<float> s;
    for (int y = 0; y < kH; ++y)
      for (int x = 0; x < kW; ++x) s.insert(s.end(), {grey, grey, grey, x < kW / 2 ? alpha_left : alpha_right});
    WriteImage(dir_ / name, kW, kH, 4, TypeDesc::UINT8, s);
  }
  Image Read(const std::string& name) const { return ReadImage(dir_ / name); }
  std::string Bytes(const std::string& name) const { return ReadAll(dir_ / name); }
  // The mean absolute difference of two frames' samples.
  double Step(const std::string& a, const std::string& b) const {
    const Image x = Read(a), y = Read(b);
    double sum = 0;
    for (size_t i = 0; i < x.samples.size(); ++i) sum += std::fabs(x.samples[i] - y.samples[i]);
    return sum / static_cast<double>(x.samples.size());
  }
  TempDir dir_;
};

// A seed reads the keys at the frames' own times: drops born up to frame 10
// have no rate, so in a range its frame 10 is calm water and frame 20 is not.
TEST_F(Around, SeedsAreOtherRainAsDeterministicAsSeedZero) {
  const Args rain{"render", "in.png", "--set", "Drip Rate=3"};
  const Args keyed{"render", "in.png", "--key", "Drip Rate=10:0,11:4", "--seed", "7"};
  std::ofstream(dir_ / "scene.json") << R"({"input": "in.png", "output": "scene.png", "frame": 40, "seed": 1,
                                           "controls": {"Drip Rate": 3}})";
  Pluvane({{"render", "--scene", "scene.json"}, Cat(rain, {"-o", "plain.png", "--frame", "40"}),
           Cat(rain, {"-o", "zero.png", "--frame", "40", "--seed", "0"}),
           Cat(rain, {"-o", "one.png", "--frame", "40", "--seed", "1"}),
           Cat(rain, {"-o", "two.png", "--frame", "40", "--seed", "2"}),
           Cat(rain, {"-o", "all.####.png", "--frames", "36-41", "--seed", "63"}),
           Cat(rain, {"-o", "part.####.png", "--frames", "36-41", "--seed", "63", "--chunk", "1/2"}),
           Cat(rain, {"-o", "part.####.png", "--frames", "36-41", "--seed", "63", "--chunk", "0/2"}),
           Cat(rain, {"-o", "alone.png", "--frame", "40", "--seed", "63"}),
           Cat(keyed, {"-o", "keyed.##.png", "--frames", "10-20"}),
           {"render", "in.png", "--set", "Drip Rate=0", "-o", "flat.png", "--frame", "10"}});
  EXPECT_EQ(Bytes("zero.png"), Bytes("plain.png"));
  EXPECT_FALSE(Read("one.png") == Read("plain.png"));
  EXPECT_EQ(Bytes("scene.png"), Bytes("one.png"));
  EXPECT_FALSE(Read("two.png") == Read("one.png"));
  for (int f = 36; f <= 41; ++f) {
    const std::string n = "00" + std::to_string(f) + ".png";
    EXPECT_EQ(Bytes("part." + n), Bytes("all." + n)) << f;
  }
  EXPECT_EQ(Bytes("alone.png"), Bytes("all.0040.png"));
  EXPECT_EQ(Read("keyed.10.png"), Read("flat.png"));
  EXPECT_FALSE(Read("keyed.20.png") == Read("flat.png"));
}

TEST_F(Around, MixAndMatteBlendTheLayerWithTheResult) {
  Flat("white.png", 255);
  Flat("black.png", 0);
  Flat("grey.png", 128);
  Flat("half.png", 255, 0, 255);  // transparent on the left: its alpha is the matte
  const Args rain{"render", "in.png", "--frame", "12", "--set", "Drip Rate=4"};
  Pluvane({Cat(rain, {"-o", "fx.png"}), Cat(rain, {"-o", "mix0.png", "--mix", "0"}),
           Cat(rain, {"-o", "white.o.png", "--matte", "white.png"}),
           Cat(rain, {"-o", "black.o.png", "--matte", "black.png", "--matte-invert"}),
           Cat(rain, {"-o", "grey.o.png", "--matte", "grey.png"}),
           Cat(rain, {"-o", "halfmix.png", "--mix", "0.50196078431372548"}),  // 128 / 255
           Cat(rain, {"-o", "half.o.png", "--matte", "half.png"}),
           Cat(rain, {"-o", "luma.o.png", "--matte", "half.png", "--matte-channel", "luma"})});
  EXPECT_EQ(Read("mix0.png"), Read("in.png"));
  EXPECT_EQ(Bytes("white.o.png"), Bytes("fx.png"));
  EXPECT_EQ(Bytes("black.o.png"), Bytes("fx.png"));
  EXPECT_EQ(Bytes("luma.o.png"), Bytes("fx.png"));  // white, whatever its alpha
  EXPECT_EQ(Read("grey.o.png"), Read("halfmix.png"));
  EXPECT_FALSE(Read("grey.o.png") == Read("fx.png"));
  const Image half = Read("half.o.png"), in = Read("in.png"), fx = Read("fx.png");
  size_t differs = 0;  // from the layer on the left, from the effect's result on the right
  for (size_t i = 0; i < half.samples.size(); ++i)
    differs += half.samples[i] != ((i / 4) % kW < kW / 2 ? in : fx).samples[i];
  EXPECT_EQ(differs, 0u);
}

// A matte from a sequence or a clip gives each frame its own matte: the
// frame whose matte is grey is the grey still-matte render, the frame whose
// matte is white the plain render.
TEST_F(Around, SequenceAndClipMattesGoFrameByFrame) {
  Flat("grey.png", 128);
  Flat("m.0000.png", 128);
  Flat("m.0001.png", 255);
  Ffmpeg("-framerate 30 -i '" + (dir_ / "m.%04d.png") + "' -c:v ffv1 -pix_fmt bgr0 '" + (dir_ / "m.mkv") + "'");
  const Args rain{"render", "in.png", "--fps", "30", "--set", "Drip Rate=4"};
  Pluvane({Cat(rain, {"-o", "plain.#.png", "--frames", "0-1"}),
           Cat(rain, {"-o", "grey.#.png", "--frames", "0-1", "--matte", "grey.png"}),
           Cat(rain, {"-o", "seq.#.png", "--frames", "0-1", "--matte", "m.####.png"}),
           Cat(rain, {"-o", "clip.#.png", "--frames", "0-1", "--matte", "m.mkv"})});
  for (const char* kind : {"seq", "clip"}) {
    SCOPED_TRACE(kind);
    EXPECT_EQ(Bytes(std::string(kind) + ".0.png"), Bytes("grey.0.png"));
    EXPECT_EQ(Bytes(std::string(kind) + ".1.png"), Bytes("plain.1.png"));
    EXPECT_NE(Bytes(std::string(kind) + ".0.png"), Bytes("plain.0.png"));
  }
}

// A loop of 12 frames: frame 12 is frame 0 again, the step from the last
// frame to the first is no larger than the largest step between neighbours,
// and frames after the fade are the plain render's.
TEST_F(Around, LoopWrapsWithoutAJump) {
  const Args rain{"render", "in.png", "--set", "Drip Rate=3", "--seed", "5"};
  Pluvane({Cat(rain, {"-o", "loop.####.png", "--loop", "12", "--frames", "0-12"}),
           Cat(rain, {"-o", "plain.png", "--frame", "7"}), Cat(rain, {"-o", "turn.##.png", "--loop", "0.4s"})});
  EXPECT_EQ(Bytes("loop.0012.png"), Bytes("loop.0000.png"));
  EXPECT_EQ(Bytes("loop.0007.png"), Bytes("plain.png"));
  double largest = 0;
  for (int f = 0; f + 1 < 12; ++f) {
    const auto name = [](int n) { return "loop.00" + std::string(n < 10 ? "0" : "") + std::to_string(n) + ".png"; };
    largest = std::max(largest, Step(name(f), name(f + 1)));
  }
  const double wrap = Step("loop.0011.png", "loop.0000.png");
  EXPECT_GT(wrap, 0.0);
  EXPECT_LE(wrap, largest);
  // A loop in seconds renders one turn: 0.4 s at 30 fps.
  EXPECT_TRUE(fs::exists(dir_ / "turn.11.png"));
  EXPECT_FALSE(fs::exists(dir_ / "turn.12.png"));
  EXPECT_EQ(Bytes("turn.05.png"), Bytes("loop.0005.png"));
}

}  // namespace
