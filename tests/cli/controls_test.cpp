// Controls on the host side: values stored as the host stores them, ranges,
// popups, colours, points, keyframes in frames, and the enabled states.
#include <gtest/gtest.h>

#include "controls.h"
#include "errors.h"

namespace pluvane::cli {
namespace {

class ControlsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    minihost::LayerSettings s;
    s.width = 200;
    s.height = 100;
    host_ = LoadEffect(s);
  }
  void Set(const std::string& text) { ApplyControl(*host_, ParseSetOption(text), fps_); }
  void Key(const std::string& text) { ApplyControl(*host_, ParseKeyOption(text), fps_); }
  PF_ParamDef At(const std::string& name, A_long frame = 0) {
    return host_->ValueAt(FindControl(*host_, name), frame * static_cast<A_long>(fps_.den),
                          static_cast<A_u_long>(fps_.num));
  }
  std::string ErrorOf(const std::string& set) {
    try {
      Set(set);
    } catch (const CliError& e) {
      return e.what();
    }
    return "";
  }

  std::unique_ptr<minihost::MiniHost> host_;
  Rational fps_{30, 1};
};

TEST_F(ControlsTest, SlidersAreStoredAsRoundedFixedPoint) {
  Set("Roughness=0.015");  // 983.04 / 65536
  EXPECT_EQ(At("Roughness").u.fd.value, 983);
  Set("Displacement=-12.5");
  EXPECT_EQ(At("Displacement").u.fd.value, -12 * 65536 - 32768);
  Set("Rippling=720");
  EXPECT_EQ(At("Rippling").u.ad.value, 720 * 65536);
}

TEST_F(ControlsTest, TheValidRangeIsCheckedOnTheStoredValue) {
  EXPECT_NE(ErrorOf("Drip Rate=100.00001").find("outside its valid range 0 to 100"), std::string::npos);
  EXPECT_EQ(ErrorOf("Drip Rate=100.000001"), "");  // stores exactly 100
  EXPECT_NE(ErrorOf("Roughness=0").find("outside its valid range"), std::string::npos);
  EXPECT_NE(ErrorOf("Light Height=-101").find("-100 to 100"), std::string::npos);
}

TEST_F(ControlsTest, PopupsTakeTheirChoiceTextOrNumber) {
  Set("Using=AE Lights");
  EXPECT_EQ(At("Using").u.pd.value, 2);
  Set("Light Type=2");
  EXPECT_EQ(At("Light Type").u.pd.value, 2);
  EXPECT_NE(ErrorOf("Light Type=3").find("\"Distant Light\" (1), \"Point Light\" (2)"), std::string::npos);
  EXPECT_NE(ErrorOf("Using=ae lights").find("takes one of"), std::string::npos);
}

TEST_F(ControlsTest, ColoursTakeWholeNumbersOrHex) {
  Set("Light Color=#ff8000");
  const PF_Pixel c = At("Light Color").u.cd.value;
  EXPECT_EQ(c.red, 255);
  EXPECT_EQ(c.green, 128);
  EXPECT_EQ(c.blue, 0);
  EXPECT_NE(ErrorOf("Light Color=256,0,0").find("0 to 255"), std::string::npos);
  EXPECT_NE(ErrorOf("Light Color=1,2").find("0 to 255"), std::string::npos);
}

TEST_F(ControlsTest, LightPositionIsInLayerPixelsAndDefaultsToAQuarter) {
  EXPECT_EQ(At("Light Position").u.td.x_value, 50 * 65536);
  EXPECT_EQ(At("Light Position").u.td.y_value, 25 * 65536);
  Set("Light Position=100,60");
  EXPECT_EQ(At("Light Position").u.td.x_value, 100 * 65536);
}

TEST_F(ControlsTest, LightPositionIsHandedOverInBufferPixelsWhenDownsampled) {
  minihost::LayerSettings s;
  s.width = 200;
  s.height = 100;
  s.downsample_x = s.downsample_y = PF_RationalScale{1, 2};
  host_ = LoadEffect(s);
  EXPECT_EQ(At("Light Position").u.td.x_value, 25 * 65536);  // 50 full-resolution pixels
  Set("Light Position=100,60");
  EXPECT_EQ(At("Light Position").u.td.y_value, 30 * 65536);
}

TEST_F(ControlsTest, KeysInterpolateLinearlyInFramesAndHoldOutside) {
  Key("Ripple Height=10:100,40:40");  // -2 per frame
  EXPECT_EQ(At("Ripple Height", 0).u.fd.value, 100 * 65536);
  EXPECT_EQ(At("Ripple Height", 17).u.fd.value, 86 * 65536);
  EXPECT_EQ(At("Ripple Height", 25).u.fd.value, 70 * 65536);
  EXPECT_EQ(At("Ripple Height", 90).u.fd.value, 40 * 65536);
}

TEST_F(ControlsTest, KeysFollowAFractionalFrameRate) {
  fps_ = Rational{30000, 1001};  // frame f at time f × 1001
  Key("Ripple Height=0:100,30:40");
  EXPECT_EQ(At("Ripple Height", 15).u.fd.value, 70 * 65536);
  Key("Light Position=0:0,0,10:100,50");
  EXPECT_EQ(At("Light Position", 4).u.td.x_value, 40 * 65536);
  EXPECT_EQ(At("Light Position", 4).u.td.y_value, 20 * 65536);
}

TEST_F(ControlsTest, KeysAreCheckedAndPopupsTakeNone) {
  EXPECT_THROW(Key("Ripple Height=0:100,30:250"), CliError);
  EXPECT_THROW(Key("Using=0:1,10:2"), CliError);
  EXPECT_THROW(Key("Light Color=0:1,10:2"), CliError);
  EXPECT_THROW(Key("Light Position=0:100,10:200"), CliError);  // a point needs x and y
}

TEST_F(ControlsTest, UnknownNamesSuggestTheClosestControl) {
  EXPECT_NE(ErrorOf("Drip rate=2").find("did you mean \"Drip Rate\""), std::string::npos);
  EXPECT_NE(ErrorOf("Longevity=2").find("did you mean \"Longevity (sec)\""), std::string::npos);
  EXPECT_NE(ErrorOf("Light=2").find("heading of a group"), std::string::npos);
}

bool Enabled(const std::vector<ControlInfo>& controls, const std::string& name) {
  for (const auto& c : controls)
    if (c.name == name) return c.enabled;
  ADD_FAILURE() << "no control " << name;
  return false;
}

TEST_F(ControlsTest, DescribesTheDeclaredControlsAndTheirEnabledState) {
  auto controls = DescribeControls(*host_);
  ASSERT_EQ(controls.size(), 22u);
  EXPECT_EQ(controls[0].name, "Drip Rate");
  EXPECT_EQ(controls[0].valid_range, "0 to 100");
  EXPECT_EQ(controls[0].slider_range, "0 to 5");
  EXPECT_EQ(controls[7].valid_range, "Effect Light | AE Lights");
  EXPECT_EQ(controls[19].default_value, "0.015");
  EXPECT_FALSE(Enabled(controls, "Light Position"));
  EXPECT_TRUE(Enabled(controls, "Light Direction"));

  Set("Light Type=Point Light");
  controls = DescribeControls(*host_);
  EXPECT_TRUE(Enabled(controls, "Light Position"));
  EXPECT_FALSE(Enabled(controls, "Light Direction"));

  Set("Using=AE Lights");
  controls = DescribeControls(*host_);
  for (const char* name : {"Light Intensity", "Light Color", "Light Type", "Light Height", "Light Position", "Light Direction"})
    EXPECT_FALSE(Enabled(controls, name)) << name;
  EXPECT_TRUE(Enabled(controls, "Specular"));
}

}  // namespace
}  // namespace pluvane::cli
