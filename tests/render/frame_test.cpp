// Whole frames through MainEntry where no saved checksum reaches: frames left
// as the layer, frames without drops, which lights and light colour a host's
// settings pick, frames from many threads. (Every depth, protocol, worker
// count and layer size byte for byte: tests/regression.)
#include <thread>

#include "minihost/color_suite.h"
#include "tests/support/render_fixture.h"

namespace {

using minihost::LightKind;
using minihost::LightLayer;
using minihost::Protocol;
using testutil::SamePixels;

// Which light controls a render read.
int LightControlsRead(minihost::TestHost& host, std::initializer_list<int> lights) {
  const std::vector<int> read = host.recorder().checked_out();
  int n = 0;
  for (int light : lights) n += static_cast<int>(std::count(read.begin(), read.end(), light));
  return n;
}

TEST_F(RenderTest, WithoutWaterOrDisplacementTheLayerStaysAsItIs) {
  host.SetFixed(kParamLongevity, 0);
  for (PF_PixelFormat format : kAllFormats) {
    for (Protocol protocol : {Protocol::kSmart, Protocol::kClassic}) {
      auto input = Layer(format);
      host.recorder().ClearCheckoutLog();
      EXPECT_TRUE(SamePixels(input.get(), Render(input.get(), 12, protocol).get())) << format;
      EXPECT_EQ(LightControlsRead(host, {8, 9, 10, 11, 12, 13, 14, 17, 18, 19, 20, 21}), 0);
    }
  }
  // Ripples that displace nothing, lit by a plain ambient light.
  host.SetFixed(kParamLongevity, 1);
  host.SetFixed(kParamDisplacement, 0);
  AmbientOnly();
  for (PF_PixelFormat format : {PF_PixelFormat_ARGB64, PF_PixelFormat_ARGB128}) {
    for (PF_Quality quality : {PF_Quality_HI, PF_Quality_LO}) {
      host.settings().quality = quality;
      auto input = Layer(format);
      EXPECT_TRUE(SamePixels(input.get(), Render(input.get()).get())) << format << " quality " << quality;
    }
  }
}

// Longevity 0 or under a frame, no Drip Rate or Ripple Height, a local time
// step of 0 or -1, no time scale: no drop is generated, so no progress either.
TEST_F(RenderTest, FramesWithoutDropsReportNoProgress) {
  struct Case { int param; double value, restore; A_long step; A_u_long scale; };
  for (const Case& c : {Case{kParamLongevity, 0, 1, 1, 30}, {kParamLongevity, 0.03, 1, 1, 30},
                        {kParamDripRate, 0, 1, 1, 30}, {kParamRippleHeight, 0, 100, 1, 30},
                        {kParamLongevity, 1, 1, 0, 30}, {kParamLongevity, 1, 1, -1, 30}, {kParamLongevity, 1, 1, 1, 0}}) {
    SCOPED_TRACE(testing::Message() << c.param << " " << c.value << " " << c.step << " " << c.scale);
    host.settings().local_time_step = c.step;
    host.settings().time_scale = c.scale;
    host.SetFixed(c.param, c.value);
    host.recorder().progress_calls = 0;
    auto input = Layer(PF_PixelFormat_ARGB32);
    Render(input.get(), 10);
    EXPECT_EQ(host.recorder().progress_calls.load(), 0);
    host.SetFixed(c.param, c.restore);
  }
}

// Only the composition's lights that are switched on, in their span and of
// the four types count; with none, the effect falls back to its own light.
TEST_F(RenderTest, CompositionLightsThatCountReplaceTheEffectLight) {
  const auto light = [](LightKind type, void (*set)(LightLayer&) = nullptr) {
    LightLayer l;
    l.type = type;
    l.position = {20, 10, -40};
    if (set) set(l);
    return l;
  };
  auto input = Layer(PF_PixelFormat_ARGB128);
  const auto lit = [&](const std::vector<LightLayer>& lights) {
    host.composition().Clear();
    host.composition().AddPlainLayer();
    for (const LightLayer& l : lights) host.composition().AddLight(l);
    return Render(input.get(), 15);  // 0.5 s
  };
  const auto own = Render(input.get(), 15);
  host.SetPopup(kParamUsing, kUsingAELights);
  struct Case { const char* what; std::vector<LightLayer> lights; bool counts; };
  const Case cases[] = {
      {"no light", {}, false},
      {"a type outside the four", {light(static_cast<LightKind>(7))}, false},
      {"switched off", {light(LightKind::kPoint, [](LightLayer& l) { l.enabled = false; })}, false},
      {"before its span", {light(LightKind::kPoint, [](LightLayer& l) { l.in_seconds = 1, l.out_seconds = 2; })}, false},
      {"at its out point", {light(LightKind::kPoint, [](LightLayer& l) { l.out_seconds = 0.5; })}, false},
      {"at its in point", {light(LightKind::kPoint, [](LightLayer& l) { l.in_seconds = 0.5; })}, true},
      {"an ambient light alone", {light(LightKind::kAmbient)}, true},
      {"a black light", {light(LightKind::kPoint, [](LightLayer& l) { l.color = {0, 0, 0}; })}, true},
  };
  for (const Case& c : cases) EXPECT_EQ(SamePixels(lit(c.lights).get(), own.get()), !c.counts) << c.what;
  // Lit by the composition, the effect's own light controls are not read.
  host.recorder().ClearCheckoutLog();
  lit({light(LightKind::kAmbient)});
  EXPECT_EQ(LightControlsRead(host, {9, 10, 11, 12, 13, 14}), 0);

  // At most 19 lights are kept: a 20th and 21st change nothing, a 19th does.
  std::vector<LightLayer> spots;
  for (int i = 0; i < 21; ++i) spots.push_back(light(LightKind::kSpot, [](LightLayer& l) { l.cone_angle = 40; }));
  for (int i = 0; i < 21; ++i) spots[i].position = {2.0 * i, 1.5 * i, -30};
  const auto nineteen = lit({spots.begin(), spots.begin() + 19});
  EXPECT_TRUE(SamePixels(lit(spots).get(), nineteen.get()));
  EXPECT_FALSE(SamePixels(lit({spots.begin(), spots.begin() + 18}).get(), nineteen.get()));
  // A spot's cone feather of 0 counts as 1 percent (and 3 percent is another cone).
  const auto feather = [&](double percent) {
    LightLayer spot = light(LightKind::kSpot, [](LightLayer& l) { l.position = {24, 16, -60}, l.cone_angle = 30; });
    spot.cone_feather = percent;
    return lit({spot});
  };
  EXPECT_TRUE(SamePixels(feather(0).get(), feather(1).get()));
  EXPECT_FALSE(SamePixels(feather(3).get(), feather(1).get()));
}

// A host before 12.11, or one whose colour suite fails, gives the light's
// 8-bit colour widened; a newer one the suite's float colour, unclamped.
TEST_F(RenderTest, TheLightColourComesFromTheColourSuiteOnNewerHosts) {
  host.SetColor(kParamLightColor, PF_Pixel{255, 255, 128, 0});
  for (PF_PixelFormat format : {PF_PixelFormat_ARGB64, PF_PixelFormat_ARGB128}) {
    SCOPED_TRACE(format);
    auto input = Layer(format);
    const auto render = [&](PF_SpecVersion version, PF_Err suite_error) {
      host.settings().version = version;
      minihost::SetColorSuiteError(host, suite_error);
      return Render(input.get());
    };
    minihost::SetFloatColor(host, kParamLightColor, PF_PixelFloat{1, 1, 128 / 255.0f, 0});
    const auto widened = render({13, 0}, PF_Err_NONE);
    minihost::SetFloatColor(host, kParamLightColor, PF_PixelFloat{1, 1.5f, 0.5f, -0.25f});
    EXPECT_FALSE(SamePixels(render({12, 11}, PF_Err_NONE).get(), widened.get()));
    EXPECT_TRUE(SamePixels(render({12, 10}, PF_Err_NONE).get(), widened.get()));
    EXPECT_TRUE(SamePixels(render({13, 0}, PF_Err_INTERNAL_STRUCT_DAMAGED).get(), widened.get()));
    EXPECT_EQ(host.recorder().checked_out().size(), static_cast<size_t>(host.recorder().checkins.load()));
  }
}

TEST_F(RenderTest, FramesRenderFromManyThreadsAtOnce) {
  auto input = Layer(PF_PixelFormat_ARGB64);
  std::vector<minihost::WorldPtr> expected;
  for (A_long f = 0; f < 4; ++f) expected.push_back(Render(input.get(), 10 + f));
  std::vector<minihost::WorldPtr> outs;
  for (A_long f = 0; f < 4; ++f) outs.push_back(host.NewWorld(kW, kH, PF_PixelFormat_ARGB64));
  std::vector<std::thread> threads;
  std::vector<PF_Err> errs(4, -1);
  for (A_long f = 0; f < 4; ++f)
    threads.emplace_back(
        [&, f] { errs[f] = host.RenderFrame({.time = 10 + f, .input = input.get(), .output = outs[f].get()}); });
  for (auto& t : threads) t.join();
  for (A_long f = 0; f < 4; ++f) {
    EXPECT_EQ(errs[f], PF_Err_NONE);
    EXPECT_TRUE(SamePixels(expected[f].get(), outs[f].get())) << "frame " << 10 + f;
  }
}

TEST_F(RenderTest, DynamicFlagsFollowTheUsingControl) {
  for (A_long using_light : {kUsingEffectLight, kUsingAELights}) {
    host.SetPopup(kParamUsing, using_light);
    minihost::CallContext ctx;
    host.PrepareContext(ctx, 0);
    ctx.out_data.out_flags2 = using_light == kUsingEffectLight ? 0x1405 : 0x1401;
    ASSERT_EQ(host.Invoke(PF_Cmd_QUERY_DYNAMIC_FLAGS, ctx, nullptr, nullptr), PF_Err_NONE);
    EXPECT_EQ(ctx.out_data.out_flags2, using_light == kUsingEffectLight ? 0x1401 : 0x1405);
  }
}

}  // namespace
