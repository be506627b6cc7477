// The shading model: what it stores, and how it lights a pixel.
#include "light/light_shade.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <vector>

#include "tests/light/expect_light.h"

namespace {

// Host math callbacks that count their calls: shading goes through the host,
// at most one sqrt and one pow per light.
int sqrt_calls = 0, pow_calls = 0;
double CountingSqrt(double v) { return ++sqrt_calls, std::sqrt(v); }
double CountingPow(double a, double b) { return ++pow_calls, std::pow(a, b); }

const FX_D_Point kFlat{0, 0, 1};
const FX_Double_Pixel kWhite{1, 1, 1, 1}, kP{1, 0.2, 0.5, 0.9};

NewLightSource Light(A_u_short type, FX_D_Point direction = {0, 0, 1}, FX_D_Point position = {},
                     FX_Double_Pixel color = {0, 1, 1, 1}, double coneOuter = 0, double coneInner = 0) {
  return NewLightSource{type, color, direction, position, coneOuter, coneInner};
}

class Shading : public ::testing::Test {
 protected:
  void SetUp() override {
    utils.ansi.sqrt = CountingSqrt;
    utils.ansi.pow = CountingPow;
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

TEST_F(Shading, OnAFlatSurface) {
  const double overhead = 100.0 / 100.00001;  // d of a point light 100 above the pixel
  struct Case {
    const char* what;
    std::array<double, 5> factors;  // ambient, diffuse, specular, dust, metallicity
    FX_Double_Pixel ambientLight;
    std::vector<NewLightSource> lights;
    FX_Double_Pixel P;
    double x, y;
    std::array<double, 3> rgb;
    int sqrts, pows;
  };
  const Case cases[] = {
      {"no light: black", {1, 1, 1, 1, 0}, {}, {}, {0.7, 0.5, 0.25, 1}, 0, 0, {0, 0, 0}, 0, 0},
      {"no light: ambient", {0.5, 1, 1, 1, 0}, {0, 1, 0.5, 2}, {}, {0.7, 0.5, 0.25, 1}, 0, 0, {0.25, 0.0625, 1}, 0, 0},
      {"distant, facing: P + 1", {1, 1, 1, 1, 0}, {}, {Light(kLightDistant)}, kP, 3, 4, {1.2, 1.5, 1.9}, 0, 1},
      {"the same, metallic: 2P", {1, 1, 1, 1, 1}, {}, {Light(kLightDistant)}, kP, 3, 4, {0.4, 1.0, 1.8}, 0, 1},
      {"grazing: dust only", {0.5, 1, 1, 0.6, 0}, {0, 1, 1, 1}, {Light(kLightDistant, {1, 0, 0})}, kP, 0, 0,
       {0.4, 0.55, 0.75}, 0, 0},
      {"opposite: nothing", {0.5, 1, 1, 0.6, 0}, {0, 1, 1, 1}, {Light(kLightDistant, {0, 0, -1})}, kP, 0, 0,
       {0.1, 0.25, 0.45}, 0, 0},
      {"point overhead", {1, 1, 0, 0, 0}, {}, {Light(kLightPoint, {}, {30, 40, 100})}, kWhite, 30, 40,
       {overhead, overhead, overhead}, 1, 1},
      {"point on the pixel: full dust only", {1, 1, 1, 0.8, 0}, {}, {Light(kLightPoint, {}, {30, 40, 0})}, kWhite,
       30, 40, {0.4, 0.4, 0.4}, 1, 0},
      {"types 0 and 4", {1, 1, 1, 1, 0}, {0, 0.5, 0.5, 0.5}, {Light(0), Light(4)}, kP, 0, 0, {0.1, 0.25, 0.45}, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const auto& [a, d, s, dust, m] = c.factors;
    LightShade model = Model(a, d, s, dust, m);
    model.AddAmbientLight(c.ambientLight);
    for (const NewLightSource& n : c.lights) model.AddLightSource(n);
    sqrt_calls = pow_calls = 0;
    const FX_Double_Pixel lit = model.ShadePixel(c.P, kFlat, c.x, c.y);
    EXPECT_RGB(lit, c.rgb[0], c.rgb[1], c.rgb[2]);
    EXPECT_EQ(lit.alpha, c.P.alpha);
    EXPECT_EQ(std::make_pair(sqrt_calls, pow_calls), std::make_pair(c.sqrts, c.pows));
  }
}

TEST_F(Shading, SpotConeEdgeAndCore) {
  // The spot hangs above the pixel pointing at it: c = L·direction = L.z.
  const double c = 100.0 / (100.0 + 0.00001);
  const auto shade = [&](double outer, double inner) {
    LightShade s = Model(1, 1, 1, 0);
    s.AddLightSource(Light(kLightSpot, {0, 0, 1}, {0, 0, 100}, {0, 1, 1, 1}, outer, inner));
    return s.ShadePixel(kWhite, kFlat, 0, 0).red;
  };
  const double full = c + std::pow(c, 10.0);  // diffuse d plus the highlight s^10, s = d = c
  EXPECT_EQ(shade(c, c + 0.01), 0.0);                       // on the edge: k = 0
  EXPECT_EQ(shade(std::nextafter(c, 2.0), 1.0), 0.0);       // just outside
  EXPECT_DOUBLE_EQ(shade(c - 0.1, c), full);                // at the core: k = 1
  EXPECT_NEAR(shade(c - 0.2, c + 0.2), 0.5 * full, 1e-12);  // halfway: k = 0.5
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
