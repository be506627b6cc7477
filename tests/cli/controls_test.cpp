// Controls on the host side: values stored as the host stores them, ranges and
// keyframes in frames, given as --set and --key texts. (The control table is
// checked through `pluvane controls`.)
#include "cli_test_util.h"
#include "controls.h"
#include "errors.h"

namespace pluvane::cli {
namespace {

constexpr A_long kOne = 65536;  // 1.0 in 16.16 fixed point

class ControlsTest : public ::testing::Test {
 protected:
  void SetUp() override { Load(1); }
  void Load(A_long downsample) {
    minihost::LayerSettings s;
    s.width = 200;
    s.height = 100;
    s.downsample_x = s.downsample_y = PF_RationalScale{1, static_cast<A_u_long>(downsample)};
    host_ = LoadEffect(s);
  }
  void Set(const std::string& text) { ApplyControl(*host_, ParseSetOption(text), fps_); }
  void Key(const std::string& text) { ApplyControl(*host_, ParseKeyOption(text), fps_); }
  PF_ParamDef At(const std::string& name, A_long frame = 0) {
    return host_->ValueAt(FindControl(*host_, name), frame * static_cast<A_long>(fps_.den),
                          static_cast<A_u_long>(fps_.num));
  }

  std::unique_ptr<minihost::MiniHost> host_;
  Rational fps_{30, 1};
};

TEST_F(ControlsTest, ValuesAreStoredAsTheHostStoresThem) {
  Set("Roughness=0.015");  // 983.04 / 65536, rounded
  EXPECT_EQ(At("Roughness").u.fd.value, 983);
  Set("Displacement=-12.5");
  EXPECT_EQ(At("Displacement").u.fd.value, -12 * kOne - kOne / 2);
  Set("Rippling=720");
  EXPECT_EQ(At("Rippling").u.ad.value, 720 * kOne);
  Set("Drip Rate=100.000001");  // stores exactly 100, inside the range
  EXPECT_EQ(At("Drip Rate").u.fd.value, 100 * kOne);
  Set("Using=AE Lights");
  EXPECT_EQ(At("Using").u.pd.value, 2);
  Set("Light Type=2");
  EXPECT_EQ(At("Light Type").u.pd.value, 2);
  Set("Light Color=#ff8000");
  EXPECT_EQ(At("Light Color").u.cd.value.green, 128);
  EXPECT_EQ(At("Light Position").u.td.x_value, 50 * kOne);  // a quarter of the layer by default
  Set("Light Position=100, 60");
  EXPECT_EQ(At("Light Position").u.td.y_value, 60 * kOne);
  Load(2);  // at half resolution the point is handed over in buffer pixels
  EXPECT_EQ(At("Light Position").u.td.x_value, 25 * kOne);
  Set("Light Position=100, 60");
  EXPECT_EQ(At("Light Position").u.td.y_value, 30 * kOne);
}

TEST_F(ControlsTest, KeysInterpolateLinearlyInFramesAndHoldOutside) {
  Key("Ripple Height=10:100,40:40");  // -2 per frame
  EXPECT_EQ(At("Ripple Height", 0).u.fd.value, 100 * kOne);
  EXPECT_EQ(At("Ripple Height", 17).u.fd.value, 86 * kOne);
  EXPECT_EQ(At("Ripple Height", 90).u.fd.value, 40 * kOne);
  fps_ = Rational{30000, 1001};  // frame f at time f × 1001
  Key("Light Position=0:0,0,10:100,50");
  EXPECT_EQ(At("Light Position", 4).u.td.x_value, 40 * kOne);
  EXPECT_EQ(At("Light Position", 4).u.td.y_value, 20 * kOne);
}

TEST_F(ControlsTest, BadValuesNameTheProblem) {
  const std::pair<const char*, const char*> cases[] = {
      {"Drip Rate=100.00001", "outside its valid range 0 to 100"},
      {"Light Height=-101", "-100 to 100"},
      {"Light Type=3", "\"Distant Light\" (1), \"Point Light\" (2)"},
      {"Using=ae lights", "takes one of"},
      {"Light Color=256,0,0", "0 to 255"},
      {"Longevity=2", "did you mean \"Longevity (sec)\""},
      {"Light=2", "heading of a group"},
      {"key Ripple Height=0:100,30:250", "outside its valid range"},
      {"key Using=0:1,10:2", "cannot be animated"},
      {"key Light Position=0:100,10:200", "takes"},  // a point needs x and y
  };
  for (const auto& [text, message] : cases) {
    const std::string s = text;
    EXPECT_THAT(clitest::ErrorOf<CliError>([&] { s.rfind("key ", 0) == 0 ? Key(s.substr(4)) : Set(s); }),
                ::testing::HasSubstr(message));
  }
}

}  // namespace
}  // namespace pluvane::cli
