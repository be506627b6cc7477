// The shading model: what it stores, and how it lights a pixel.
#include "light/light_shade.h"

#include <gtest/gtest.h>

#include <cmath>

#include "expect_light.h"

namespace {

// Host math callbacks that count their calls, so the tests can see that the
// shading goes through the host and what each light costs.
int sqrt_calls = 0;
int pow_calls = 0;
double CountingSqrt(double v) { return ++sqrt_calls, std::sqrt(v); }
double CountingPow(double a, double b) { return ++pow_calls, std::pow(a, b); }

const FX_D_Point kFlat{0, 0, 1};
const FX_Double_Pixel kWhite{1, 1, 1, 1};

NewLightSource Light(A_u_short type, FX_Double_Pixel color = {0, 1, 1, 1}) {
  NewLightSource n{};
  n.type = type;
  n.color = color;
  n.direction = {0, 0, 1};
  return n;
}

class Shading : public ::testing::Test {
 protected:
  void SetUp() override {
    utils.ansi.sqrt = CountingSqrt;
    utils.ansi.pow = CountingPow;
    in_data.utils = &utils;
    sqrt_calls = pow_calls = 0;
  }
  // ambient, diffuse, specular, dust, metallicity, smoothness
  LightShade Model(double a, double d, double s, double dust, double m = 0, double sm = 10) {
    return LightShade(&in_data, a, d, s, dust, m, sm);
  }

  PF_UtilCallbacks utils{};
  PF_InData in_data{};
};

// ---- storage -------------------------------------------------------------------------

TEST_F(Shading, ConstructorsSetFactorsAndFloorTheSmoothness) {
  const LightShade plain(&in_data);
  EXPECT_EQ(plain.ambient + plain.diffuse + plain.specular + plain.dust + plain.metallicity, 5.0);
  EXPECT_EQ(plain.smoothness, 50.0);
  EXPECT_EQ(plain.lightCount + plain.requestCount, 0);
  EXPECT_FALSE(plain.hasAmbient);

  EXPECT_EQ(Model(1, 1, 1, 1, 1, 0.2).smoothness, 0.5);
  EXPECT_EQ(Model(1, 1, 1, 1, 1, 0.7).smoothness, 0.7);
  LightShade s(&in_data);
  s.SetSmoothness(-3);
  EXPECT_EQ(s.smoothness, 0.5);
  s.SetSmoothness(12);
  EXPECT_EQ(s.smoothness, 12.0);
}

TEST_F(Shading, KeepsNineteenLightsAndCountsEveryRequest) {
  LightShade s(&in_data);
  EXPECT_TRUE(s.AddLightSource(Light(kLightPoint, {1, 0, 0, 0})));  // black: accepted, not stored
  EXPECT_EQ(s.lightCount, 0);
  EXPECT_EQ(s.requestCount, 1);
  for (int i = 0; i < 19; ++i) {
    NewLightSource n = Light(kLightPoint);
    n.position = {double(i), 0, 0};
    EXPECT_TRUE(s.AddLightSource(n));
  }
  EXPECT_FALSE(s.AddLightSource(Light(kLightPoint)));
  EXPECT_FALSE(s.AddLightSource(Light(kLightPoint, {0, 0, 0, 0})));
  EXPECT_EQ(s.lightCount, 19);
  EXPECT_EQ(s.requestCount, 22);
  EXPECT_EQ(s.lights[18].position.x, 18.0);
}

TEST_F(Shading, FoldsTheFactorsIntoTheColoursAndClampsOnlySpecular) {
  LightShade s = Model(1.0, 0.8, 0.6, 0.4);
  ASSERT_TRUE(s.AddLightSource(Light(kLightDistant, {0, -1, 0.5, 0})));
  EXPECT_RGB(s.lights[0].diffuseColor, -0.8, 0.4, 0.0);
  EXPECT_RGB(s.lights[0].dustColor, -0.2, 0.1, 0.0);
  EXPECT_RGB(s.lights[0].specularColor, 0.0, 0.3, 0.0);

  // Factors changed later apply to later lights only.
  s.SetDiffuseShading(2.0);
  s.SetSpecularShading(3.0);
  s.SetDustShading(4.0);
  ASSERT_TRUE(s.AddLightSource(Light(kLightDistant)));
  EXPECT_DOUBLE_EQ(s.lights[0].diffuseColor.green, 0.4);
  EXPECT_RGB(s.lights[1].diffuseColor, 2.0, 2.0, 2.0);
  EXPECT_RGB(s.lights[1].specularColor, 3.0, 3.0, 3.0);
  EXPECT_RGB(s.lights[1].dustColor, 2.0, 2.0, 2.0);
}

TEST_F(Shading, OffsetMovesOnlyLightsAddedAfterIt) {
  LightShade s(&in_data);
  NewLightSource n = Light(kLightPoint);
  n.position = {10, 20, 30};
  s.AddLightSource(n);
  s.SetOffset(5, -7);
  s.AddLightSource(n);
  EXPECT_XYZ(s.lights[0].position, 10, 20, 30);
  EXPECT_XYZ(s.lights[1].position, 15, 13, 30);
}

TEST_F(Shading, AmbientLightsAccumulateWeightedByTheAmbientFactor) {
  LightShade s = Model(0.5, 1, 1, 1);
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

TEST_F(Shading, NextLightPositionVisitsPointAndSpotLightsInOrder) {
  LightShade s(&in_data);
  NewLightSource spot = Light(kLightSpot), point = Light(kLightPoint);
  spot.position = {1, 2, 3};
  point.position = {4, 5, 6};
  s.AddLightSource(Light(kLightDistant));
  s.AddLightSource(spot);
  s.AddLightSource(point);

  FX_D_Point p{};
  int i = -4;  // a negative start counts as 0
  ASSERT_TRUE(s.GetNextLightPosition(p, i));
  EXPECT_EQ(i, 2);
  EXPECT_XYZ(p, 1, 2, 3);
  ASSERT_TRUE(s.GetNextLightPosition(p, i));
  EXPECT_EQ(i, 3);
  EXPECT_FALSE(s.GetNextLightPosition(p, i));
  EXPECT_XYZ(p, 4, 5, 6);
}

TEST_F(Shading, TransformAllAppliesTheTranslationAfterOrBeforeTheMatrix) {
  const FX_3D_Matrix quarterTurn{{{0, 1, 0}, {-1, 0, 0}, {0, 0, 1}}};  // (x, y, z) → (-y, x, z)
  NewLightSource n = Light(kLightSpot);
  n.position = {10, 20, 30};
  n.direction = {0, 0.6, 0.8};
  LightShade after(&in_data), before(&in_data);
  after.AddLightSource(n);
  before.AddLightSource(n);

  after.TransformAll(quarterTurn, {1, 2, 3}, 4, 5, 99);
  EXPECT_XYZ(after.lights[0].position, -14, 8, -27);
  EXPECT_XYZ(after.lights[0].direction, -0.6, 0, -0.8);
  before.TransformAll(quarterTurn, {1, 2, 3});
  EXPECT_XYZ(before.lights[0].position, -22, 11, -27);
  EXPECT_XYZ(before.lights[0].direction, -0.6, 0, -0.8);
}

// ---- shading ---------------------------------------------------------------------------

TEST_F(Shading, WithoutLightsOnlyTheAmbientLightRemains) {
  const FX_Double_Pixel P{0.7, 0.5, 0.25, 1.0};
  const FX_Double_Pixel black = LightShade(&in_data).ShadePixel(P, kFlat, 0, 0);
  EXPECT_RGB(black, 0, 0, 0);
  EXPECT_EQ(black.alpha, 0.7);

  LightShade s = Model(0.5, 1, 1, 1);
  s.AddAmbientLight({0, 1.0, 0.5, 2.0});
  EXPECT_RGB(s.ShadePixel(P, kFlat, 0, 0), 0.25, 0.0625, 1.0);
}

TEST_F(Shading, DistantLightFacingAFlatSurface) {
  const FX_Double_Pixel P{1, 0.2, 0.5, 0.9};
  LightShade s = Model(1, 1, 1, 1);
  s.AddLightSource(Light(kLightDistant));
  EXPECT_RGB(s.ShadePixel(P, kFlat, 3, 4), 1.2, 1.5, 1.9);  // P + a white highlight
  s.SetMetallicity(1.0);                                    // highlight tinted by the pixel
  EXPECT_RGB(s.ShadePixel(P, kFlat, 3, 4), 0.4, 1.0, 1.8);
}

TEST_F(Shading, GrazingLightGivesOnlyDustAndOppositeLightNothing) {
  const FX_Double_Pixel P{1, 0.2, 0.5, 0.9};
  LightShade s = Model(0.5, 1, 1, 0.6);
  s.AddAmbientLight({0, 1, 1, 1});
  NewLightSource grazing = Light(kLightDistant);
  grazing.direction = {1, 0, 0};
  s.AddLightSource(grazing);
  EXPECT_RGB(s.ShadePixel(P, kFlat, 0, 0), 0.1 + 0.3, 0.25 + 0.3, 0.45 + 0.3);

  LightShade behind = Model(0.5, 1, 1, 0.6);
  behind.AddAmbientLight({0, 1, 1, 1});
  NewLightSource opposite = Light(kLightDistant);
  opposite.direction = {0, 0, -1};
  behind.AddLightSource(opposite);
  EXPECT_RGB(behind.ShadePixel(P, kFlat, 0, 0), 0.1, 0.25, 0.45);
  EXPECT_EQ(pow_calls, 0);  // no highlight to raise
}

TEST_F(Shading, PointLightOverheadAndOnThePixelItself) {
  LightShade s = Model(1, 1, 0, 0);
  NewLightSource above = Light(kLightPoint);
  above.position = {30, 40, 100};
  s.AddLightSource(above);
  const double d = s.ShadePixel(kWhite, kFlat, 30, 40).red;
  EXPECT_DOUBLE_EQ(d, 100.0 / 100.00001);
  EXPECT_LT(d, 1.0);
  EXPECT_EQ(sqrt_calls, 1);
  EXPECT_EQ(pow_calls, 1);

  pow_calls = 0;
  LightShade at = Model(1, 1, 1, 0.8);
  NewLightSource on = Light(kLightPoint);
  on.position = {30, 40, 0};
  at.AddLightSource(on);
  EXPECT_RGB(at.ShadePixel(kWhite, kFlat, 30, 40), 0.4, 0.4, 0.4);  // full dust only
  EXPECT_EQ(pow_calls, 0);
}

TEST_F(Shading, SpotConeEdgeAndCore) {
  // The spot hangs above the pixel pointing at it: c = L·direction = L.z.
  const double c = 100.0 / (100.0 + 0.00001);
  const auto shade = [&](double outer, double inner) {
    LightShade s = Model(1, 1, 1, 0);
    NewLightSource spot = Light(kLightSpot);
    spot.position = {0, 0, 100};
    spot.coneOuter = outer;
    spot.coneInner = inner;
    s.AddLightSource(spot);
    return s.ShadePixel(kWhite, kFlat, 0, 0).red;
  };
  const double full = c + std::pow(c, 10.0);  // diffuse d plus the highlight s^10, s = d = c

  EXPECT_EQ(shade(c, c + 0.01), 0.0);                       // on the edge: k = 0
  EXPECT_EQ(shade(std::nextafter(c, 2.0), 1.0), 0.0);       // just outside
  EXPECT_DOUBLE_EQ(shade(c - 0.1, c), full);                // at the core: k = 1
  EXPECT_NEAR(shade(c - 0.2, c + 0.2), 0.5 * full, 1e-12);  // halfway: k = 0.5
}

TEST_F(Shading, LightsOfUnknownTypeChangeNothing) {
  const FX_Double_Pixel P{1, 0.2, 0.5, 0.9};
  LightShade s(&in_data);
  s.AddAmbientLight({0, 0.5, 0.5, 0.5});
  s.AddLightSource(Light(0));
  s.AddLightSource(Light(4));
  EXPECT_EQ(s.lightCount, 2);
  EXPECT_RGB(s.ShadePixel(P, kFlat, 0, 0), 0.1, 0.25, 0.45);
  EXPECT_EQ(sqrt_calls + pow_calls, 0);
}

TEST_F(Shading, ViewFormsMatchThePlainFormsLookingStraightIn) {
  // Dust is the one term the two forms weigh differently; without it, a
  // viewer at V = (0, 0, -1) sees the same diffuse light and highlight.
  LightShade s = Model(0.3, 0.8, 0.7, 0.0, 0.4, 12);
  s.AddAmbientLight({0, 0.2, 0.3, 0.4});
  NewLightSource distant = Light(kLightDistant, {0, 1, 0.8, 0.6});
  distant.direction = {0.3, -0.2, std::sqrt(1 - 0.13)};
  NewLightSource point = Light(kLightPoint, {0, 0.5, 1, 1});
  point.position = {-40, 25, 60};
  NewLightSource spot = Light(kLightSpot, {0, 1, 1, 0.5});
  spot.position = {20, 30, 80};
  spot.coneOuter = 0.8;
  spot.coneInner = 0.99;  // the pixel lies in the feathered rim
  for (const NewLightSource& n : {distant, point, spot}) s.AddLightSource(n);

  const FX_Double_Pixel P{1, 0.6, 0.4, 0.2};
  const FX_D_Point N{0.2, -0.1, std::sqrt(1 - 0.05)};
  const FX_Double_Pixel plain = s.ShadePixel(P, N, 5, 10);
  EXPECT_RGB(s.ShadePixelView(P, N, {5, 10, 0}, {0, 0, -1}), plain.red, plain.green, plain.blue);
  EXPECT_GT(plain.red, P.red * s.ambientLight.red);  // the lights did add something
}

TEST_F(Shading, ViewFormWeighsDustByLightAndViewAngle) {
  LightShade s = Model(1, 0, 0, 1.0);
  NewLightSource below = Light(kLightDistant);
  below.direction = {std::sqrt(0.75), 0, -0.5};  // d = -0.5
  s.AddLightSource(below);

  // Plain form: d = -0.5 lies past -1/3, so no dust at all.
  EXPECT_EQ(s.ShadePixel(kWhite, kFlat, 0, 0).red, 0.0);
  // View form: weight (1 - d²)(1 + d) = 0.375; seen at N·V = -0.8, g = 0.2.
  EXPECT_DOUBLE_EQ(s.ShadePixelView(kWhite, kFlat, {0, 0, 0}, {-0.6, 0, -0.8}).red,
                   0.2 * 0.375 * 0.5);
}

}  // namespace
