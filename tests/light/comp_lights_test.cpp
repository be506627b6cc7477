// Reading the composition's lights into the shading model through the
// stand-in host's AEGP suites.
#include "light/comp_lights.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "composition.h"
#include "expect_light.h"
#include "host.h"

namespace {

using minihost::LightKind;
using minihost::LightLayer;

constexpr double kDeg = 0.017453292519943295;

LightLayer Light(LightKind type, std::array<double, 3> position = {0, 0, 0}) {
  LightLayer l;
  l.type = type;
  l.position = position;
  return l;
}

class CompositionLights : public ::testing::Test {
 protected:
  // Gathers the lights at `frame` (30 per second) into `shade`, through one
  // environment that is gone, with its suites, when this returns.
  bool Gather(LightShade& shade, A_long frame = 0) {
    minihost::CallContext ctx;
    host.PrepareContext(ctx, frame);
    minihost::ScopedCurrentHost current(&host);
    Fxenv env(&ctx.in_data, &ctx.out_data, ctx.param_ptrs.data(), nullptr);
    return GetAllLights(env, shade, A_Time{frame, 30});
  }

  minihost::MiniHost host{minihost::MiniHost::DefaultModulePath()};
  minihost::Composition& comp = host.composition();
  // ambient 0.5, diffuse 0.8, specular 0.6, dust 0.4, metallicity 0, smoothness 10
  LightShade shade{nullptr, 0.5, 0.8, 0.6, 0.4, 0.0, 10.0};
};

TEST_F(CompositionLights, CompositionWithoutLightsSuppliesNone) {
  EXPECT_FALSE(Gather(shade));  // only the effect's layer
  comp.AddPlainLayer();
  comp.AddPlainLayer();
  EXPECT_FALSE(Gather(shade));
  EXPECT_EQ(shade.lightCount, 0);
  EXPECT_EQ(shade.requestCount, 0);
  EXPECT_FALSE(shade.hasAmbient);
}

TEST_F(CompositionLights, PointLightIsStoredAtItsWorldPositionFacingTheViewer) {
  comp.AddPlainLayer();
  comp.AddLight(Light(LightKind::kPoint, {100, 50, -200}));
  shade.SetOffset(7, -3);
  ASSERT_TRUE(Gather(shade));
  ASSERT_EQ(shade.lightCount, 1);
  EXPECT_EQ(shade.lights[0].type, kLightPoint);
  EXPECT_XYZ(shade.lights[0].position, 107, 47, 200);
  EXPECT_RGB(shade.lights[0].diffuseColor, 0.8, 0.8, 0.8);
}

TEST_F(CompositionLights, DirectionPointsFromTheLayerTowardTheLight) {
  comp.AddLight(Light(LightKind::kParallel));  // shines along world +z, at the layer
  LightLayer slanted = Light(LightKind::kParallel, {0, 0, 0});
  slanted.point_of_interest = std::array<double, 3>{3, 0, 4};  // shines along (0.6, 0, 0.8)
  comp.AddLight(slanted);
  ASSERT_TRUE(Gather(shade));
  ASSERT_EQ(shade.lightCount, 2);
  EXPECT_EQ(shade.lights[0].type, kLightDistant);
  EXPECT_XYZ(shade.lights[0].direction, 0, 0, 1);
  EXPECT_XYZ(shade.lights[1].direction, -0.6, 0, 0.8);
}

TEST_F(CompositionLights, LightUnderAScaledParentStillHasAUnitDirection) {
  LightLayer l = Light(LightKind::kSpot, {10, 20, -30});
  l.point_of_interest = std::array<double, 3>{10, 20, 0};
  l.parent_scale = 2.5;
  comp.AddLight(l);
  ASSERT_TRUE(Gather(shade));
  EXPECT_XYZ(shade.lights[0].direction, 0, 0, 1);
  EXPECT_XYZ(shade.lights[0].position, 10, 20, 30);
}

TEST_F(CompositionLights, SpotConesFromAngleAndFeather) {
  LightLayer feathered = Light(LightKind::kSpot);
  feathered.cone_angle = 90;
  feathered.cone_feather = 50;
  LightLayer sharp = feathered;
  sharp.cone_feather = 0;  // counts as 1 percent
  comp.AddLight(feathered);
  comp.AddLight(sharp);
  ASSERT_TRUE(Gather(shade));
  ASSERT_EQ(shade.lightCount, 2);
  EXPECT_EQ(shade.lights[0].type, kLightSpot);
  EXPECT_NEAR(shade.lights[0].coneOuter, std::cos(45 * kDeg), 1e-15);
  EXPECT_NEAR(shade.lights[0].coneInner, std::cos(22.5 * kDeg), 1e-15);
  EXPECT_NEAR(shade.lights[1].coneOuter, std::cos(45 * kDeg), 1e-15);
  EXPECT_NEAR(shade.lights[1].coneInner, std::cos(44.55 * kDeg), 1e-15);
}

TEST_F(CompositionLights, AmbientLightAloneCounts) {
  LightLayer ambient = Light(LightKind::kAmbient);
  ambient.intensity = 50;
  ambient.color = {1, 0.5, 0};
  comp.AddLight(ambient);
  EXPECT_TRUE(Gather(shade));
  EXPECT_EQ(shade.requestCount, 0);
  EXPECT_RGB(shade.ambientLight, 0.25, 0.125, 0.0);  // intensity 0.5 × ambient factor 0.5
}

TEST_F(CompositionLights, BlackLightsCountThoughNothingIsStored) {
  LightLayer black = Light(LightKind::kPoint);
  black.color = {0, 0, 0};
  LightLayer dark = Light(LightKind::kSpot);
  dark.intensity = 0;
  comp.AddLight(black);
  comp.AddLight(dark);
  EXPECT_TRUE(Gather(shade));
  EXPECT_EQ(shade.lightCount, 0);
  EXPECT_EQ(shade.requestCount, 2);
}

TEST_F(CompositionLights, NegativeIntensityGivesNegativeDiffuseAndNoHighlight) {
  LightLayer l = Light(LightKind::kPoint);
  l.intensity = -100;
  comp.AddLight(l);
  ASSERT_TRUE(Gather(shade));
  EXPECT_RGB(shade.lights[0].diffuseColor, -0.8, -0.8, -0.8);
  EXPECT_RGB(shade.lights[0].dustColor, -0.2, -0.2, -0.2);
  EXPECT_RGB(shade.lights[0].specularColor, 0, 0, 0);
}

TEST_F(CompositionLights, OnlyLightsSwitchedOnAndInTheirSpanAreUsed) {
  LightLayer off = Light(LightKind::kPoint, {1, 0, 0});
  off.enabled = false;
  LightLayer span = Light(LightKind::kPoint, {2, 0, 0});
  span.in_seconds = 1.0;
  span.out_seconds = 2.0;
  comp.AddLight(off);
  comp.AddLight(span);

  EXPECT_FALSE(Gather(shade, 15));  // 0.5 s
  EXPECT_FALSE(Gather(shade, 60));  // 2 s: the out point is not covered
  ASSERT_TRUE(Gather(shade, 45));   // 1.5 s
  ASSERT_EQ(shade.lightCount, 1);
  EXPECT_EQ(shade.lights[0].position.x, 2.0);
}

TEST_F(CompositionLights, NegativeTimeIsReadAsTimeZero) {
  LightLayer first = Light(LightKind::kPoint);
  first.in_seconds = 0.0;
  first.out_seconds = 0.1;
  comp.AddLight(first);
  EXPECT_TRUE(Gather(shade, -30));
}

TEST_F(CompositionLights, UnknownLightTypesAreSkipped) {
  comp.AddLight(Light(static_cast<LightKind>(7)));
  EXPECT_FALSE(Gather(shade));
  EXPECT_EQ(shade.requestCount, 0);
}

TEST_F(CompositionLights, KeepsTheFirstNineteenLightsInLayerOrder) {
  for (int i = 0; i < 21; ++i) comp.AddLight(Light(LightKind::kPoint, {double(i), 0, 0}));
  EXPECT_TRUE(Gather(shade));
  EXPECT_EQ(shade.lightCount, 19);
  EXPECT_EQ(shade.requestCount, 21);
  EXPECT_EQ(shade.lights[0].position.x, 0.0);
  EXPECT_EQ(shade.lights[18].position.x, 18.0);
}

TEST_F(CompositionLights, HostErrorEndsTheSearchAndKeepsWhatWasAdded) {
  LightLayer ambient = Light(LightKind::kAmbient);
  comp.AddLight(ambient);
  comp.AddLight(Light(LightKind::kPoint, {1, 0, 0}));
  comp.AddLight(Light(LightKind::kPoint, {2, 0, 0}));
  // Intensity and colour of each light: the fifth read is the last light's intensity.
  comp.FailCall("AEGP_GetLayerStreamValue", 5);
  EXPECT_FALSE(Gather(shade));
  EXPECT_TRUE(shade.hasAmbient);
  EXPECT_EQ(shade.lightCount, 1);
  EXPECT_EQ(shade.lights[0].position.x, 1.0);
}

TEST_F(CompositionLights, AnyFailingHostCallGivesFalse) {
  LightLayer spot = Light(LightKind::kSpot);
  comp.AddLight(spot);
  for (const char* fn :
       {"AEGP_ConvertEffectToCompTime", "AEGP_GetEffectLayer", "AEGP_GetLayerParentComp",
        "AEGP_GetCompNumLayers", "AEGP_GetCompLayerByIndex", "AEGP_IsVideoActive",
        "AEGP_GetLayerObjectType", "AEGP_GetLightType", "AEGP_GetLayerToWorldXformFromView"}) {
    comp.FailCall(fn, 1);
    LightShade s(nullptr);
    EXPECT_FALSE(Gather(s)) << fn;
    EXPECT_EQ(s.requestCount, 0) << fn;
  }
  for (int nth = 1; nth <= 4; ++nth) {  // intensity, colour, cone angle, feather
    comp.FailCall("AEGP_GetLayerStreamValue", nth);
    LightShade s(nullptr);
    EXPECT_FALSE(Gather(s)) << "stream read " << nth;
    EXPECT_EQ(s.requestCount, 0) << "stream read " << nth;
  }
  LightShade s(nullptr);
  EXPECT_TRUE(Gather(s));  // each injected error hit one call only
}

TEST_F(CompositionLights, EachSuiteIsAcquiredOnceAndReleasedAfter) {
  for (int i = 0; i < 3; ++i) comp.AddLight(Light(LightKind::kSpot));
  ASSERT_TRUE(Gather(shade));
  for (auto [name, version] : {std::pair<std::string, int>{"AEGP PF Interface Suite", 1},
                               {"AEGP Layer Suite", 5},
                               {"AEGP Light Suite", 1},
                               {"AEGP Stream Suite", 4}}) {
    const minihost::SuiteCount n = host.suite_count(name, version);
    EXPECT_EQ(n.acquired, 1) << name;
    EXPECT_EQ(n.released, 1) << name;
  }
}

TEST_F(CompositionLights, MissingSuiteRaisesTheMissingSuiteError) {
  comp.AddLight(Light(LightKind::kPoint));
  host.RemoveSuite("AEGP Light Suite", 1);
  try {
    Gather(shade);
    FAIL() << "expected the missing-suite error";
  } catch (int err) {
    EXPECT_EQ(err, PF_Err_BAD_CALLBACK_PARAM);
  }
  EXPECT_EQ(host.total_acquired(), host.total_released());
}

}  // namespace
