// Reading the composition's lights into the shading model through the
// stand-in host's AEGP suites.
#include "tests/support/test_host.h"
#include "light/comp_lights.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "minihost/composition.h"
#include "tests/support/direct_call.h"
#include "tests/light/expect_light.h"

namespace {

using minihost::LightKind;
using minihost::LightLayer;

constexpr double kDeg = 0.017453292519943295;

// A light layer of `type` at `position` (host world space), as `set` changes it.
LightLayer Light(LightKind type, std::array<double, 3> position = {0, 0, 0}, void (*set)(LightLayer&) = nullptr) {
  LightLayer l;
  l.type = type;
  l.position = position;
  if (set) set(l);
  return l;
}

class CompositionLights : public ::testing::Test {
 protected:
  // Gathers the lights at `frame` (30 per second) into a fresh `shade`, through
  // one call whose suites are released when this returns.
  bool Gather(A_long frame = 0) {
    // ambient 0.5, diffuse 0.8, specular 0.6, dust 0.4, metallicity 0, smoothness 10
    shade = LightShade{nullptr, 0.5, 0.8, 0.6, 0.4, 0.0, 10.0};
    shade.SetOffset(7, -3);
    DirectCall call(host, frame);
    return GetAllLights(*call.env, shade, A_Time{frame, 30});
  }

  minihost::TestHost host{minihost::MiniHost::DefaultModulePath()};
  minihost::Composition& comp = host.composition();
  LightShade shade{nullptr};
};

TEST_F(CompositionLights, OnlySwitchedOnLightsInTheirSpanAndOfTheFourTypesAreUsed) {
  EXPECT_FALSE(Gather());  // only the effect's layer
  comp.AddPlainLayer();
  comp.AddLight(Light(static_cast<LightKind>(7)));  // a type outside the four
  comp.AddLight(Light(LightKind::kPoint, {}, [](LightLayer& l) { l.enabled = false; }));
  comp.AddLight(Light(LightKind::kPoint, {}, [](LightLayer& l) { l.in_seconds = 1, l.out_seconds = 2; }));
  for (A_long frame : {0, 15, 60}) {  // before, and at the out point that the span does not cover
    EXPECT_FALSE(Gather(frame)) << frame;
    EXPECT_EQ(shade.lightCount + shade.requestCount, 0);
    EXPECT_FALSE(shade.hasAmbient);
  }
  ASSERT_TRUE(Gather(45));  // 1.5 s: only the light in its span
  EXPECT_EQ(shade.lightCount, 1);
  comp.AddLight(Light(LightKind::kPoint, {}, [](LightLayer& l) { l.in_seconds = 0, l.out_seconds = 0.1; }));
  EXPECT_TRUE(Gather(-30));  // a negative time is read as time 0
}

TEST_F(CompositionLights, PositionDirectionAndConesInTheShadingFrame) {
  comp.AddLight(Light(LightKind::kPoint, {100, 50, -200}));
  comp.AddLight(Light(LightKind::kParallel));  // shines along world +z
  comp.AddLight(Light(LightKind::kParallel, {}, [](LightLayer& l) { l.point_of_interest = {{3, 0, 4}}; }));
  comp.AddLight(Light(LightKind::kSpot, {10, 20, -30}, [](LightLayer& l) {  // under a scaled parent
    l.point_of_interest = {{10, 20, 0}}, l.parent_scale = 2.5;
  }));
  comp.AddLight(Light(LightKind::kSpot, {}, [](LightLayer& l) { l.cone_angle = 90, l.cone_feather = 50; }));
  comp.AddLight(Light(LightKind::kSpot, {}, [](LightLayer& l) { l.cone_angle = 90, l.cone_feather = 0; }));
  ASSERT_TRUE(Gather());
  ASSERT_EQ(shade.lightCount, 6);
  EXPECT_EQ(shade.lights[0].type, kLightPoint);
  EXPECT_XYZ(shade.lights[0].position, 107, 47, 200);  // offset by (7, -3)
  EXPECT_RGB(shade.lights[0].diffuseColor, 0.8, 0.8, 0.8);
  EXPECT_EQ(shade.lights[1].type, kLightDistant);
  EXPECT_XYZ(shade.lights[1].direction, 0, 0, 1);
  EXPECT_XYZ(shade.lights[2].direction, -0.6, 0, 0.8);
  EXPECT_XYZ(shade.lights[3].direction, 0, 0, 1);
  EXPECT_XYZ(shade.lights[3].position, 17, 17, 30);
  // Spot cones: 90° with feather 50, and with feather 0, which counts as 1 percent.
  EXPECT_EQ(shade.lights[4].type, kLightSpot);
  EXPECT_NEAR(shade.lights[4].coneOuter, std::cos(45 * kDeg), 1e-15);
  EXPECT_NEAR(shade.lights[4].coneInner, std::cos(22.5 * kDeg), 1e-15);
  EXPECT_NEAR(shade.lights[5].coneOuter, std::cos(45 * kDeg), 1e-15);
  EXPECT_NEAR(shade.lights[5].coneInner, std::cos(44.55 * kDeg), 1e-15);
}

TEST_F(CompositionLights, AmbientAndBlackLightsCountThoughNothingIsStored) {
  comp.AddLight(Light(LightKind::kAmbient, {}, [](LightLayer& l) { l.intensity = 50, l.color = {1, 0.5, 0}; }));
  EXPECT_TRUE(Gather());  // an ambient light alone counts
  EXPECT_EQ(shade.requestCount, 0);
  EXPECT_RGB(shade.ambientLight, 0.25, 0.125, 0.0);  // intensity 0.5 × ambient factor 0.5

  comp.Clear();  // black lights count though nothing is stored
  comp.AddLight(Light(LightKind::kPoint, {}, [](LightLayer& l) { l.color = {0, 0, 0}; }));
  comp.AddLight(Light(LightKind::kSpot, {}, [](LightLayer& l) { l.intensity = 0; }));
  EXPECT_TRUE(Gather());
  EXPECT_EQ(std::make_pair(shade.lightCount, shade.requestCount), std::make_pair(A_u_short{0}, A_u_short{2}));
}

// (A failing or missing composition call, and the suites' balance:
// FaultSweep.RenderWithCompositionLights.)
TEST_F(CompositionLights, KeepsTheFirstNineteenLights) {
  for (int i = 0; i < 21; ++i) comp.AddLight(Light(LightKind::kSpot, {double(i), 0, 0}));
  ASSERT_TRUE(Gather());
  EXPECT_EQ(std::make_pair(shade.lightCount, shade.requestCount), std::make_pair(A_u_short{19}, A_u_short{21}));
  EXPECT_EQ(shade.lights[18].position.x, 18.0 + 7);
}

}  // namespace
