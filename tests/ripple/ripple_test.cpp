// The drops of a frame, as statistics over many frames and as a rule between
// frames, and the work buffer off the render's path. (The drops and the field
// of every frame of tests/regression show byte for byte.)
#include <gtest/gtest.h>

#include <array>
#include <optional>
#include <vector>

#include "common/fxenv.h"
#include "common/params.h"
#include "common/snapshot.h"
#include "minihost/host.h"
#include "ripple/drops.h"
#include "ripple/new_world.h"
#include "session/around.h"
#include "tests/support/test_host.h"
#include "tests/support/world_util.h"

namespace {

class RippleTest : public ::testing::Test {
 protected:
  RippleTest() : host(minihost::MiniHost::DefaultModulePath()) {
    host.settings().width = 48;
    host.settings().height = 32;
  }
  void SetUp() override { ASSERT_EQ(host.ParamsSetup(), PF_Err_NONE); }

  // One host call made by hand at host time `time`: the context, the host
  // current on this thread, and the call's Fxenv (destroyed first, releasing
  // the suites it acquired).
  struct Call {
    Call(minihost::MiniHost& host, A_long time) : current(&host) {
      host.PrepareContext(ctx, time);
      env.emplace(&ctx.in_data, &ctx.out_data, ctx.param_ptrs.data(), nullptr);
    }
    minihost::ScopedCurrentHost current;
    minihost::CallContext ctx;
    std::optional<Fxenv> env;
  };

  // The drops of the frame at host time `time`, as the render generates them.
  std::vector<FX_DropInfo> Drops(A_long time) {
    Call call(host, time);
    PF_InData* in = &call.ctx.in_data;
    const FX_PARc s(in);
    FX_PAR par{in->width * s.scaleX, in->height * s.scaleY, s.invAspect, s.scaleX, s.scaleY, s.invScaleX, s.invScaleY};
    const double longevity = Get_Fix_Slider(in, kParamLongevity, in->current_time, in->time_step, in->time_scale);
    std::vector<FX_DropInfo> drops;
    FX_DropSetup setup;
    if (!FX_PrepareDrops(in, longevity, par.width, par.height, 0.0, 0.0, &setup)) return drops;
    const FX_DropObserver collect = [](void* c, const FX_DropInfo& d) {
      static_cast<std::vector<FX_DropInfo>*>(c)->push_back(d);
    };
    EXPECT_EQ(FX_GenerateDrops(in, setup, &par, nullptr, collect, &drops), PF_Err_NONE);
    return drops;
  }

  minihost::TestHost host;
};

// The host time shift of a seed at 30 fps.
A_long ShiftOf(int seed) {
  const pluvane::session::Timebase time;
  return static_cast<A_long>(pluvane::session::SeedShift(seed, time) * time.time_step());
}

// Seeds as the session gives them to the effect (a shift of the time it
// sees): other drops, with the statistics of seed 0.
TEST_F(RippleTest, SeedsGiveOtherDropsWithTheSameStatistics) {
  // Drops born a second and their mean strength (amplitude / fade: the random
  // factor of each drop), over every birth frame of 20 minutes at 30 fps once
  // (each frame shows the drops of the 29 birth frames before it).
  const auto tally = [&](int seed) {
    host.settings().time_shift = ShiftOf(seed);
    constexpr A_long kFrames = 30 * 60 * 20;
    long long drops = 0;
    double strength = 0;
    for (A_long t = 29; t <= kFrames; t += 29) {
      for (const FX_DropInfo& d : Drops(t)) {
        ++drops;
        strength += d.amplitude / d.fade;
      }
    }
    return std::pair{drops / (kFrames / 30.0), strength / static_cast<double>(drops)};
  };
  const auto [per_second, strength] = tally(0);
  EXPECT_NEAR(per_second, 300.0, 6.0);  // 20 candidates a frame, half of them drops, 30 frames a second
  for (int seed : {1, 63}) {
    SCOPED_TRACE(seed);
    const auto [other_per_second, other_strength] = tally(seed);
    EXPECT_NEAR(other_per_second, per_second, per_second * 0.01);
    EXPECT_NEAR(other_strength, strength, 0.005);
  }
  // At one frame, no drop of seed 0 is a drop of seed 1, and other candidates
  // become drops (which ones sets the drops' sizes).
  host.settings().time_shift = 0;
  const auto a = Drops(300);
  host.settings().time_shift = ShiftOf(1);
  const auto b = Drops(300);
  ASSERT_FALSE(a.empty());
  for (const FX_DropInfo& d : a)
    for (const FX_DropInfo& e : b) EXPECT_FALSE(d.centre.x == e.centre.x && d.centre.y == e.centre.y);
  const auto chosen = [](const std::vector<FX_DropInfo>& drops) {
    std::vector<std::pair<A_long, A_long>> out;
    for (const FX_DropInfo& d : drops) out.emplace_back(d.birthIndex, d.candidate);
    return out;
  };
  EXPECT_NE(chosen(a), chosen(b));
}

TEST_F(RippleTest, AgedOutBirthFrameBetweenFramesIsSkipped) {
  // Half way between frames (step 100 at 3000 per second), a life of about
  // 29.4 frames: birth frame 29, 29.5 frames old, is skipped.
  host.settings().time_scale = 3000;
  host.settings().local_time_step = 100;
  host.SetFixed(kParamLongevity, 0.98);
  const std::vector<FX_DropInfo> drops = Drops(1050);
  ASSERT_FALSE(drops.empty());
  EXPECT_LT(drops.back().birthIndex, 29);
  EXPECT_EQ(drops.front().birthIndex, 1);
  EXPECT_EQ(drops.front().birthTime, 900);  // 1.5 frames old: read at 1050 − 150
  EXPECT_EQ(drops.front().seed, 900u);      // seeded with its frame start
}

// A time splits into its frame's start and the offset from it, toward zero
// also before time 0 (a layer that starts before the composition).
TEST(FrameTime, SplitsAtTheFrameStartTowardZero) {
  struct Case { A_long time, step, start, offset; double fraction; };
  for (const Case& c : {Case{250, 100, 200, 50, 0.5}, {-250, 100, -200, -50, -0.5}, {300, 100, 300, 0, 0.0},
                        {0, 7, 0, 0, 0.0}}) {
    PF_InData in{};
    in.current_time = c.time, in.local_time_step = c.step, in.time_step = 7, in.time_scale = 3000;
    const FX_TimeInfo t = FX_CopyTime(&in);
    EXPECT_EQ((std::array<A_long, 3>{t.frameStart, t.frameOffset, t.localTimeStep}), (std::array{c.start, c.offset, c.step}));
    EXPECT_EQ(t.frameFraction, c.fraction) << c.time;
  }
}

// Float worlds come from "PF World Suite" 2, the others from version 1; each
// goes back through the version that made it, also when a New replaces it or
// the buffer is destroyed. (The render makes only 8-bit ones.)
TEST_F(RippleTest, TheWorkBufferGoesBackThroughTheSuiteVersionThatMadeIt) {
  const minihost::Recorder& r = host.recorder();
  const auto calls = [&] { return std::array<int, 4>{r.worlds_made[1], r.worlds_disposed[1], r.worlds_made[2], r.worlds_disposed[2]}; };
  {
    Call call(host, 0);
    FX_NewWorld buffer(*call.env);
    EXPECT_EQ(buffer.Layer(), nullptr);  // nothing before the first New
    struct Case { PF_PixelFormat asked, made; std::array<int, 4> calls; };
    for (const Case& c : {Case{PF_PixelFormat_ARGB128, PF_PixelFormat_ARGB128, {0, 0, 1, 0}},
                          {PF_PixelFormat_ARGB32, PF_PixelFormat_ARGB32, {1, 0, 1, 1}},
                          {PF_PixelFormat_ARGB64, PF_PixelFormat_ARGB64, {2, 1, 1, 1}},
                          {PF_PixelFormat_INVALID, PF_PixelFormat_ARGB32, {3, 2, 1, 1}},
                          {PF_PixelFormat_ARGB128, PF_PixelFormat_ARGB128, {3, 3, 2, 1}}}) {
      SCOPED_TRACE(c.asked);
      ASSERT_EQ(buffer.New(5, 3, c.asked, true), PF_Err_NONE);
      EXPECT_EQ(minihost::MiniHost::WorldFormat(buffer.Layer()), c.made);
      EXPECT_TRUE(testutil::SamePixels(buffer.Layer(), host.NewWorld(5, 3, c.made).get()));  // 5×3, cleared
      EXPECT_EQ(calls(), c.calls);
      EXPECT_EQ(host.live_worlds(), 1);
    }
  }
  EXPECT_EQ(calls(), (std::array<int, 4>{3, 3, 2, 2}));
  EXPECT_EQ(host.live_worlds(), 0);
}

}  // namespace
