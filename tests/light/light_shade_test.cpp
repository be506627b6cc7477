// The shading model's interface off the render path: the setters and the
// view forms. (How the render path lights every pixel, with the effect's
// light and with every kind of composition light: tests/regression.)
#include "light/light_shade.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>

namespace {

#define EXPECT_RGB(p, r, g, b) \
  do { EXPECT_DOUBLE_EQ((p).red, (r)); EXPECT_DOUBLE_EQ((p).green, (g)); EXPECT_DOUBLE_EQ((p).blue, (b)); } while (0)

const FX_D_Point kFlat{0, 0, 1};
const FX_Double_Pixel kWhite{1, 1, 1, 1};

NewLightSource Light(A_u_short type, FX_D_Point direction = {0, 0, 1}, FX_D_Point position = {},
                     FX_Double_Pixel color = {0, 1, 1, 1}, double coneOuter = 0, double coneInner = 0) {
  return NewLightSource{type, color, direction, position, coneOuter, coneInner};
}

class Shading : public ::testing::Test {
 protected:
  void SetUp() override {
    utils.ansi.sqrt = [](double v) { return std::sqrt(v); };
    utils.ansi.pow = [](double a, double b) { return std::pow(a, b); };
    in_data.utils = &utils;
  }
  // ambient, diffuse, specular, dust, metallicity, smoothness
  LightShade Model(double a, double d, double s, double dust, double m = 0, double sm = 10) {
    return LightShade(&in_data, a, d, s, dust, m, sm);
  }
  PF_UtilCallbacks utils{};
  PF_InData in_data{};
};

TEST_F(Shading, FactorsSmoothnessFloorAndAmbientLight) {
  LightShade s(&in_data);
  EXPECT_EQ((std::array{s.ambient, s.diffuse, s.specular, s.dust, s.metallicity, s.smoothness}),
            (std::array{1.0, 1.0, 1.0, 1.0, 1.0, 50.0}));
  EXPECT_EQ(s.lightCount + s.requestCount, 0);
  for (auto [given, kept] : {std::pair{0.2, 0.5}, {0.5, 0.5}, {0.7, 0.7}, {-3.0, 0.5}, {12.0, 12.0}}) {
    EXPECT_EQ(Model(1, 1, 1, 1, 1, given).smoothness, kept) << given;
    s.SetSmoothness(given);
    EXPECT_EQ(s.smoothness, kept) << given;
  }
  // Ambient lights accumulate, weighted by the ambient factor.
  s = Model(0.5, 1, 1, 1);
  EXPECT_FALSE(s.hasAmbient);
  s.AddAmbientLight({9, 0.2, 0.2, 0.2});
  s.AddAmbientLight({9, 0.1, 0.0, 0.0});
  EXPECT_TRUE(s.hasAmbient);
  EXPECT_RGB(s.ambientLight, 0.15, 0.1, 0.1);
  EXPECT_EQ(s.ambientLight.alpha, 0.0);
  s.SetAmbientShading(2.0);  // rescales what is there, and weighs later additions
  EXPECT_RGB(s.ambientLight, 0.3, 0.2, 0.2);
  s.AddAmbientLight({0, 0.1, 0, 0});
  EXPECT_DOUBLE_EQ(s.ambientLight.red, 0.5);
}

TEST_F(Shading, ViewFormsMatchThePlainFormsLookingStraightIn) {
  // Dust is the one term the two forms weigh differently; without it, a viewer
  // at V = (0, 0, -1) sees the same diffuse light and highlight.
  LightShade s = Model(0.3, 0.8, 0.7, 0.0, 0.4, 12);
  s.AddAmbientLight({0, 0.2, 0.3, 0.4});
  s.AddLightSource(Light(kLightDistant, {0.3, -0.2, std::sqrt(1 - 0.13)}, {}, {0, 1, 0.8, 0.6}));
  s.AddLightSource(Light(kLightPoint, {}, {-40, 25, 60}, {0, 0.5, 1, 1}));
  s.AddLightSource(Light(kLightSpot, {0, 0, 1}, {20, 30, 80}, {0, 1, 1, 0.5}, 0.8, 0.99));  // pixel in the rim
  const FX_Double_Pixel P{1, 0.6, 0.4, 0.2};
  const FX_D_Point N{0.2, -0.1, std::sqrt(1 - 0.05)};
  const FX_Double_Pixel plain = s.ShadePixel(P, N, 5, 10);
  EXPECT_RGB(s.ShadePixelView(P, N, {5, 10, 0}, {0, 0, -1}), plain.red, plain.green, plain.blue);
  EXPECT_GT(plain.red, P.red * s.ambientLight.red);  // the lights did add something

  // Dust: d = -0.5 gets none in the plain form; the view form weighs it by
  // (1 - d²)(1 + d) = 0.375 and, seen at N·V = -0.8, by g = 0.2.
  LightShade dusty = Model(1, 0, 0, 1.0);
  dusty.AddLightSource(Light(kLightDistant, {std::sqrt(0.75), 0, -0.5}));
  EXPECT_EQ(dusty.ShadePixel(kWhite, kFlat, 0, 0).red, 0.0);
  EXPECT_DOUBLE_EQ(dusty.ShadePixelView(kWhite, kFlat, {0, 0, 0}, {-0.6, 0, -0.8}).red, 0.2 * 0.375 * 0.5);
}

}  // namespace
