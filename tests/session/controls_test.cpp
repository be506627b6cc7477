// Controls through the session: the texts users write (--set, --key, the
// scene file's values) stored as the host stores them, keys in frames, and
// errors that name the problem.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>

#include "session/error.h"
#include "session/session.h"

namespace pluvane::session {
namespace {

constexpr A_long kOne = 65536;  // 1.0 in 16.16 fixed point

class ControlsTest : public ::testing::Test {
 protected:
  void SetUp() override { Load(1); }
  void Load(int downsample) {
    effect_ = std::make_unique<Session>(minihost::MiniHost::DefaultModulePath(), 200, 100);
    effect_->SetDownsample(downsample);
  }
  void Set(const std::string& text) { effect_->Apply(ParseSetOption(text)); }
  void Key(const std::string& text) { effect_->Apply(ParseKeyOption(text)); }
  PF_ParamDef At(const std::string& name, long long frame = 0) {
    const Timebase& t = effect_->timebase();
    return effect_->host().ValueAt(effect_->Control(name), t.TimeOf(frame), t.time_scale());
  }
  std::unique_ptr<Session> effect_;
};

TEST_F(ControlsTest, ValuesAreStoredAsTheHostStoresThem) {
  Set("Roughness=0.015");  // 0.015 × 65536 = 983.04, rounded
  EXPECT_EQ(At("Roughness").u.fd.value, 983);
  Set("Displacement=-12.5");
  EXPECT_EQ(At("Displacement").u.fd.value, -12 * kOne - kOne / 2);
  Set("Rippling=720");
  EXPECT_EQ(At("Rippling").u.ad.value, 720 * kOne);
  Set("drip rate=100.000001");  // any case; stores exactly 100, inside the range
  EXPECT_EQ(At("Drip Rate").u.fd.value, 100 * kOne);
  Set("USING=ae lights");
  EXPECT_EQ(At("Using").u.pd.value, 2);
  Set("Light Type=point");  // a choice's first word
  EXPECT_EQ(At("Light Type").u.pd.value, 2);
  Set("Light Color=#ff8000");
  EXPECT_EQ(At("Light Color").u.cd.value.green, 0x80);
  const int drip = effect_->Control("Drip Rate");
  effect_->SetValue(drip, 1e9);  // beyond the valid range: its top
  EXPECT_EQ(At("Drip Rate").u.fd.value, 100 * kOne);
  effect_->SetValue(drip, std::nan(""));  // NaN: the default
  EXPECT_EQ(At("Drip Rate").u.fd.value, effect_->definitions()[drip].u.fd.dephault);
  EXPECT_EQ(At("Light Position").u.td.x_value, 200 / 4 * kOne);  // a quarter of the layer by default
  Load(2);  // at half resolution the point is handed over in buffer pixels
  EXPECT_EQ(At("Light Position").u.td.x_value, 200 / 4 / 2 * kOne);
  Set("Light Position=100, 60");
  EXPECT_EQ(At("Light Position").u.td.y_value, 60 / 2 * kOne);
}

TEST_F(ControlsTest, KeysInterpolateLinearlyInFramesAndHoldOutside) {
  Key("Ripple Height=10:100,40:40");  // -2 per frame
  EXPECT_EQ(At("Ripple Height", 0).u.fd.value, 100 * kOne);
  EXPECT_EQ(At("Ripple Height", 17).u.fd.value, (100 - 2 * 7) * kOne);
  EXPECT_EQ(At("Ripple Height", 90).u.fd.value, 40 * kOne);
  effect_->SetRate({30000, 1001});  // frame f at time f × 1001
  Key("Light Position=0:0,0,10:100,50");
  EXPECT_EQ(At("Light Position", 4).u.td.x_value, 100 * 4 / 10 * kOne);
  EXPECT_EQ(At("Light Position", 4).u.td.y_value, 50 * 4 / 10 * kOne);
}

TEST_F(ControlsTest, BadTextsNameTheProblem) {
  const std::pair<const char*, const char*> cases[] = {
      {"Drip Rate=100.00001", "outside its valid range 0 to 100"},
      {"Light Height=-101", "-100 to 100"},
      {"Light Type=3", "\"Distant Light\" (1), \"Point Light\" (2)"},
      {"Using=lights", "takes one of"},
      {"Light Color=256,0,0", "0 to 255"},
      {"Light Color=#ff80", "Light Color"},
      {"Longevity=2", "did you mean \"Longevity (sec)\""},
      {"Light=2", "heading of a group"},
      {"Drip Rate", "NAME=VALUE"},
      {"=3", "NAME=VALUE"},
      {"Drip Rate=", "Drip Rate"},
      {"key Ripple Height=0:100,30:250", "outside its valid range"},
      {"key Using=0:1,10:2", "cannot be animated"},
      {"key Light Position=0:100,10:200", "takes"},  // a point needs x and y
      {"key Drip Rate=0:1,x:2", "Drip Rate"},
      {"key Drip Rate=-1:5", "Drip Rate"},
      {"key Drip Rate=5", "Drip Rate"},
  };
  for (const auto& [text, message] : cases) {
    const std::string t = text;
    EXPECT_THAT([&] { t.rfind("key ", 0) == 0 ? Key(t.substr(4)) : Set(t); },
                ::testing::ThrowsMessage<Error>(::testing::HasSubstr(message)))
        << text;
  }
}

}  // namespace
}  // namespace pluvane::session
