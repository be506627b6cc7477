// Whole frames through MainEntry: depths, pass-through, flat water, lights.
// (Every depth, protocol, worker count and layer size byte for byte:
// tests/regression.)
#include <set>
#include <thread>

#include "tests/support/render_fixture.h"

namespace {

using minihost::Protocol;
using testutil::Get;
using testutil::Px;

TEST_F(RenderTest, TheThreeDepthsAgree) {
  auto in8 = Layer(PF_PixelFormat_ARGB32), in16 = Layer(PF_PixelFormat_ARGB64), inF = Layer(PF_PixelFormat_ARGB128);
  // The same picture in every depth: the deeper ones take the 8-bit values.
  for (A_long y = 0; y < kH; ++y)
    for (A_long x = 0; x < kW; ++x) {
      testutil::Set(in16.get(), x, y, Get(in8.get(), x, y));
      testutil::Set(inF.get(), x, y, Get(in8.get(), x, y));
    }
  auto o8 = Render(in8.get()), o16 = Render(in16.get()), oF = Render(inF.get());
  double worst16 = 0, worst8 = 0;
  for (A_long y = 0; y < kH; ++y)
    for (A_long x = 0; x < kW; ++x) {
      const Px f = Get(oF.get(), x, y), s = Get(o16.get(), x, y), e = Get(o8.get(), x, y);
      const double fc[] = {f.r, f.g, f.b}, sc[] = {s.r, s.g, s.b}, ec[] = {e.r, e.g, e.b};
      for (int c = 0; c < 3; ++c) {
        const double clamped = std::clamp(fc[c], 0.0, 1.0);
        worst16 = std::max(worst16, std::fabs(clamped - sc[c]));
        worst8 = std::max(worst8, std::fabs(clamped - ec[c]));
      }
      EXPECT_NEAR(s.a, f.a, 1.01 / 32768);  // alpha: the input and the sample, each rounded
    }
  // Integer depths round each sample to their level and truncate the shaded
  // value; the shading (ambient, specular up to about 2×) widens that a little.
  EXPECT_LT(worst16, 4.0 / 32768);
  EXPECT_LT(worst8, 4.0 / 255);
}

TEST_F(RenderTest, LongevityZeroPassesTheLayerThroughUntouched) {
  host.SetFixed(kParamLongevity, 0);
  for (PF_PixelFormat format : kAllFormats) {
    for (Protocol protocol : {Protocol::kSmart, Protocol::kClassic}) {
      auto input = Layer(format);
      host.ClearCheckoutLog();
      auto out = Render(input.get(), 12, protocol);
      EXPECT_TRUE(testutil::SamePixels(input.get(), out.get())) << format;
      const std::vector<int> read = host.checked_out_indices();
      for (int light : {8, 9, 10, 11, 12, 13, 14, 17, 18, 19, 20, 21})
        EXPECT_EQ(std::count(read.begin(), read.end(), light), 0) << "control " << light << " was read";
    }
  }
}

TEST_F(RenderTest, FlatWaterShadesEachPixelByTheFlatNormal) {
  // No drops: only the light straight overhead, diffuse. The flat normal's
  // z is 0.025 / 0.02501.
  host.SetFixed(kParamDripRate, 0);
  host.SetFixed(kParamAmbient, 0);
  host.SetFixed(kParamDiffuse, 100);
  host.SetFixed(kParamSpecular, 0);
  host.SetFixed(kParamLightHeight, 100);
  const double nz = 0.025 / 0.02501;
  auto input = Layer(PF_PixelFormat_ARGB128);
  auto out = Render(input.get());
  for (A_long y = 0; y < kH; ++y)
    for (A_long x = 0; x < kW; ++x) {
      const Px i = Get(input.get(), x, y), o = Get(out.get(), x, y);
      EXPECT_NEAR(o.r, i.r * nz, 1e-6);
      EXPECT_NEAR(o.g, i.g * nz, 1e-6);
      EXPECT_NEAR(o.b, i.b * nz, 1e-6);
      EXPECT_EQ(o.a, i.a);
    }
}

TEST_F(RenderTest, DisplacementZeroSamplesEachPixelAtItsOwnPosition) {
  host.SetFixed(kParamDisplacement, 0);
  AmbientOnly();
  for (PF_PixelFormat format : {PF_PixelFormat_ARGB64, PF_PixelFormat_ARGB128}) {
    for (PF_Quality quality : {PF_Quality_HI, PF_Quality_LO}) {
      host.settings().quality = quality;
      auto input = Layer(format);
      auto out = Render(input.get());
      EXPECT_TRUE(testutil::SamePixels(input.get(), out.get())) << format << " quality " << quality;
    }
  }
}

TEST_F(RenderTest, ShadedValuesAboveOneStoreAtFullScale) {
  host.SetFixed(kParamDripRate, 0);
  AmbientOnly(120);
  for (PF_PixelFormat format : kAllFormats) {
    auto input = host.NewWorld(kW, kH, format);
    for (A_long y = 0; y < kH; ++y)
      for (A_long x = 0; x < kW; ++x) testutil::Set(input.get(), x, y, Px{1, 1, 1, 1});
    auto out = Render(input.get());
    const Px o = Get(out.get(), 5, 5);
    if (format == PF_PixelFormat_ARGB128) EXPECT_NEAR(o.r, 1.2, 1e-6);
    else EXPECT_EQ(o.r, 1.0);  // 255 or 32768
  }
}

TEST_F(RenderTest, CompositionLightsReplaceTheEffectLight) {
  host.SetFixed(kParamDripRate, 0);
  AmbientOnly();
  host.SetPopup(kParamUsing, kUsingAELights);
  minihost::LightLayer ambient;
  ambient.type = minihost::LightKind::kAmbient;
  ambient.color = {0.5, 0.5, 0.5};
  host.composition().AddLight(ambient);
  auto input = Layer(PF_PixelFormat_ARGB128);
  host.ClearCheckoutLog();
  auto out = Render(input.get());
  const Px i = Get(input.get(), 10, 10), o = Get(out.get(), 10, 10);
  EXPECT_NEAR(o.r, 0.5 * i.r, 1e-6);  // only the half-grey ambient light, no white one
  const std::vector<int> read = host.checked_out_indices();
  for (int light : {9, 10, 11, 12, 13, 14})
    EXPECT_EQ(std::count(read.begin(), read.end(), light), 0) << "control " << light << " was read";
}

TEST_F(RenderTest, AELightsWithoutLightsFallBackToTheEffectLight) {
  auto input = Layer(PF_PixelFormat_ARGB64);
  auto effect_light = Render(input.get());
  host.SetPopup(kParamUsing, kUsingAELights);
  host.composition().AddPlainLayer();
  auto fallback = Render(input.get());
  EXPECT_TRUE(testutil::SamePixels(effect_light.get(), fallback.get()));
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
    threads.emplace_back([&, f] {
      minihost::FrameRequest r;
      r.time = 10 + f;
      r.input = input.get();
      r.output = outs[f].get();
      errs[f] = host.RenderFrame(r);
    });
  for (auto& t : threads) t.join();
  for (A_long f = 0; f < 4; ++f) {
    EXPECT_EQ(errs[f], PF_Err_NONE);
    EXPECT_TRUE(testutil::SamePixels(expected[f].get(), outs[f].get())) << "frame " << 10 + f;
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
