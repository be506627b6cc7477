#include <algorithm>
#include <map>
#include <thread>

#include "ripple_support.h"

namespace {

struct Drawn {
  int u1, u2, u3;
};

// The next candidate that becomes a drop: its index among the candidates
// tried since seeding and its three values.
Drawn NextDrop(FX_Random& r, int* candidate) {
  while (!FX_Random::Accepts(r.Draw())) ++*candidate;
  const int u1 = FX_Random::Value15(r.Draw());
  const int u2 = FX_Random::Value15(r.Draw());
  return {u1, u2, FX_Random::Value15(r.Draw())};
}

const FX_DropInfo* Find(const std::vector<FX_DropInfo>& drops, A_long birth, A_long candidate) {
  for (const FX_DropInfo& d : drops)
    if (d.birthIndex == birth && d.candidate == candidate) return &d;
  return nullptr;
}

}  // namespace

TEST(Random, SeedZero) {
  FX_Random r;
  r.Seed(0);
  for (uint32_t state : {12345u, 3554416254u, 2802067423u}) {
    EXPECT_EQ(r.Draw(), state);
    EXPECT_FALSE(FX_Random::Accepts(r.rnext));
  }
  int candidate = 3;
  const Drawn d = NextDrop(r, &candidate);
  EXPECT_EQ(candidate, 3);
  EXPECT_EQ((std::vector<int>{d.u1, d.u2, d.u3}), (std::vector<int>{3498, 16927, 16045}));
}

TEST(Random, SeedThreeThousandAcceptsItsFirstFourCandidates) {
  FX_Random r;
  r.Seed(3000);
  const std::vector<std::vector<int>> expected = {
      {13661, 26751, 12934}, {70, 6034, 15660}, {13646, 17169, 393}, {2438, 11898, 617}};
  for (int j = 0; j < 4; ++j) {
    int candidate = j;
    const Drawn d = NextDrop(r, &candidate);
    EXPECT_EQ(candidate, j);
    EXPECT_EQ((std::vector<int>{d.u1, d.u2, d.u3}), expected[j]);
  }
}

class DropsTest : public RippleTest {};

TEST_F(DropsTest, PrepareFromTheFrameAndTheScatterArea) {
  DirectCall call(host, 10);
  FX_DropSetup s;
  ASSERT_TRUE(FX_PrepareDrops(call.in(), 1.0, 300.0, 400.0, -10.0, 20.0, &s));
  EXPECT_EQ(s.fps, 30.0);
  EXPECT_EQ(s.lifeFrames, 30.0);
  EXPECT_EQ(s.invLife, 1.0 / 30.0);
  EXPECT_EQ(s.ageScale, 1.0);
  EXPECT_EQ(s.frameStart, 10);
  EXPECT_EQ(s.frameFraction, 0.0);
  EXPECT_EQ(s.centerX, 140.0);
  EXPECT_EQ(s.centerY, 220.0);
  EXPECT_EQ(s.diagonal, 500.0);
}

TEST_F(DropsTest, NoWaterWithoutLifeOrFrames) {
  FX_DropSetup s;
  {
    DirectCall call(host, 10);
    EXPECT_FALSE(FX_PrepareDrops(call.in(), 0.0, 300, 400, 0, 0, &s));
  }
  for (A_long step : {0, -1}) {
    host.settings().local_time_step = step;
    DirectCall call(host, 10);
    EXPECT_FALSE(FX_PrepareDrops(call.in(), 1.0, 300, 400, 0, 0, &s));
  }
  host.settings().local_time_step = 1;
  host.settings().time_scale = 0;
  DirectCall call(host, 10);
  EXPECT_FALSE(FX_PrepareDrops(call.in(), 1.0, 300, 400, 0, 0, &s));
}

TEST_F(DropsTest, WorkedFrame) {
  // 30 frames per second, frame 10, Longevity 1, Drip Rate 1, Ripple Height
  // 100, Spreading 100 (the defaults).
  std::vector<std::pair<A_long, A_long>> progress;
  host.set_progress_listener([&](A_long i, A_long total) { progress.emplace_back(i, total); });
  const std::vector<FX_DropInfo> drops = Drops(10);

  ASSERT_EQ(progress.size(), 29u);
  std::map<A_long, uint32_t> seeds;
  for (A_long i = 1; i <= 29; ++i) {
    EXPECT_EQ(progress[i - 1], std::make_pair(i, A_long{60}));
    seeds[i] = static_cast<uint32_t>(10 - i);  // 9, 8, ..., -19 as words
  }
  std::map<A_long, uint32_t> seen;
  for (const FX_DropInfo& d : drops) {
    seen[d.birthIndex] = d.seed;
    EXPECT_EQ(d.candidates, 20.0);
    EXPECT_EQ(d.birthTime, 10 - d.birthIndex);
  }
  EXPECT_EQ(seen, seeds);

  const FX_DropInfo* young = Find(drops, 1, 10);
  ASSERT_NE(young, nullptr);
  EXPECT_EQ(young->radius, 5.0);
  EXPECT_EQ(young->fade, 0.009666666666666667);
  const auto old = std::find_if(drops.begin(), drops.end(),
                                [](const FX_DropInfo& d) { return d.birthIndex == 29; });
  ASSERT_NE(old, drops.end());
  EXPECT_EQ(old->fade, 0.00033333333333333327);
}

TEST_F(DropsTest, FirstCandidateRadiusOfYoungestAndOldestBirthFrames) {
  // Birth frame 1 of frame 3001, and birth frame 29 of frame 3029, are both
  // seeded 3000, whose first candidate is a drop.
  const FX_DropInfo* d;
  const std::vector<FX_DropInfo> young = Drops(3001);
  ASSERT_NE(d = Find(young, 1, 0), nullptr);
  EXPECT_EQ(d->radius, 3.3333333333333335);
  const std::vector<FX_DropInfo> old = Drops(3029);
  ASSERT_NE(d = Find(old, 29, 0), nullptr);
  EXPECT_EQ(d->radius, 96.66666666666667);
  EXPECT_EQ(d->fade, 0.00033333333333333327);
}

TEST_F(DropsTest, PositionsAndAmplitudesFromTheSequence) {
  host.SetFixed(kParamRippling, 90.0);
  DirectCall call(host, 1);  // birth frame 1 is seeded 0
  FX_DropSetup s;
  ASSERT_TRUE(FX_PrepareDrops(call.in(), 1.0, 300.0, 400.0, 0.0, 0.0, &s));
  std::vector<FX_DropInfo> drops;
  FX_PAR par{};
  ASSERT_EQ(FX_GenerateDrops(call.in(), s, &par, nullptr, CollectDrop, &drops), PF_Err_NONE);
  ASSERT_FALSE(drops.empty());
  const FX_DropInfo& first = drops.front();
  EXPECT_EQ(first.birthIndex, 1);
  EXPECT_EQ(first.candidate, 3);
  EXPECT_EQ(first.centre.x, 150.0 - 0.7864990234375 * 500.0);
  EXPECT_EQ(first.centre.y, 200.0 + 0.03314208984375 * 500.0);
  EXPECT_EQ(first.amplitude, 0.7448272705078125 * first.fade);
  EXPECT_DOUBLE_EQ(first.wave, 0.05);  // 90° / 1800
}

TEST_F(DropsTest, EveryDropGoesIntoTheFieldInOrder) {
  host.SetFixed(kParamRippling, 360.0);
  const std::vector<float> field = Field(12);
  const std::vector<FX_DropInfo> drops = Drops(12);
  ASSERT_GT(drops.size(), 100u);
  DirectCall call(host, 12);
  FX_PAR par{48, 32, 1, 1, 1, 1, 1};
  minihost::WorldPtr redrawn = host.NewWorld(48, 32, PF_PixelFormat_ARGB32);
  for (const FX_DropInfo& d : drops)
    FX_DrawForce(call.in(), &par, d.centre, d.amplitude, d.radius, d.wave, redrawn.get());
  int nonzero = 0;
  for (A_long y = 0; y < 32; ++y)
    for (A_long x = 0; x < 48; ++x) {
      float v;
      std::memcpy(&v, reinterpret_cast<const char*>(redrawn->data) + y * redrawn->rowbytes + 4 * x, 4);
      ASSERT_EQ(field[y * 48 + x], v);
      nonzero += v != 0.0f;
    }
  EXPECT_GT(nonzero, 48 * 32 / 2);
}

TEST_F(DropsTest, SameFieldTwiceAndInAnyOrder) {
  host.SetFixed(kParamRippling, 300.0);
  const std::vector<A_long> frames = {5, 12, 20, 41};
  std::map<A_long, std::vector<float>> inOrder;
  for (A_long t : frames) inOrder[t] = Field(t);
  EXPECT_EQ(Field(12), inOrder[12]);
  for (A_long t : {41, 5, 20, 12}) EXPECT_EQ(Field(t), inOrder[t]) << "frame " << t;
  EXPECT_NE(inOrder[12], inOrder[20]);

  std::vector<float> a, b;
  std::thread other([&] { b = Field(20); });
  a = Field(20);
  other.join();
  EXPECT_EQ(a, inOrder[20]);
  EXPECT_EQ(b, inOrder[20]);
}

TEST_F(DropsTest, BirthFramesWithoutDropsReportNothing) {
  struct Case {
    int param;
    double value;
  };
  // Longevity 0.03 s is under one frame; no Drip Rate or no Ripple Height makes nothing.
  for (const Case& c : {Case{kParamLongevity, 0.03}, Case{kParamDripRate, 0.0},
                        Case{kParamRippleHeight, 0.0}}) {
    SCOPED_TRACE(c.param);
    host.SetFixed(c.param, c.value);
    host.ResetProgressCalls();
    PF_Err err;
    EXPECT_TRUE(Drops(10, &err).empty());
    EXPECT_EQ(err, PF_Err_NONE);
    EXPECT_EQ(host.progress_calls(), 0);
    host.SetFixed(c.param, c.param == kParamLongevity ? 1.0 : (c.param == kParamDripRate ? 1.0 : 100.0));
  }
}

TEST_F(DropsTest, TinyDripRateTriesOneCandidate) {
  host.SetFixed(kParamDripRate, 0.01);
  const std::vector<FX_DropInfo> drops = Drops(3001);
  ASSERT_FALSE(drops.empty());  // seed 3000 takes its first candidate
  for (const FX_DropInfo& d : drops) EXPECT_EQ(d.candidate, 0);
  EXPECT_EQ(host.progress_calls(), 29);
}

TEST_F(DropsTest, AgedOutBirthFrameBetweenFramesIsSkipped) {
  // Half way between frames (frame step 100 at 3000 per second) with a life
  // of about 29.4 frames: birth frame 29 is 29.5 frames old.
  host.settings().time_scale = 3000;
  host.settings().local_time_step = 100;
  host.SetFixed(kParamLongevity, 0.98);
  std::vector<A_long> reported;
  host.set_progress_listener([&](A_long i, A_long total) {
    reported.push_back(i);
    EXPECT_EQ(total, 58);
  });
  const std::vector<FX_DropInfo> drops = Drops(1050);
  EXPECT_EQ(reported.size(), 28u);
  EXPECT_EQ(reported.back(), 28);
  for (const FX_DropInfo& d : drops) EXPECT_LT(d.birthIndex, 29);
  ASSERT_FALSE(drops.empty());
  EXPECT_EQ(drops.front().birthIndex, 1);  // 1.5 frames old: read at 1050 − 150
  EXPECT_EQ(drops.front().birthTime, 900);
  EXPECT_EQ(drops.front().seed, 900u);  // seeded with its frame start
}

// A control keyed to change between birth frames 10 and 11 of frame 20: the
// drops born up to frame 10 look as with the old value throughout, the later
// ones as with the new value, though the frame itself sees the new value.
class BirthTimeTest : public DropsTest, public ::testing::WithParamInterface<std::pair<int, std::pair<double, double>>> {};

TEST_P(BirthTimeTest, DropsUseTheValueAtTheirBirth) {
  const int param = GetParam().first;
  const auto [before, after] = GetParam().second;
  host.SetFixed(kParamRippling, 200.0);
  host.SetFixed(param, before);
  const std::vector<FX_DropInfo> old = Drops(20);
  host.SetFixed(param, after);
  const std::vector<FX_DropInfo> fresh = Drops(20);
  host.SetKeys(param, {{0.0, before}, {10.0 / 30, before}, {11.0 / 30, after}});
  const std::vector<FX_DropInfo> keyed = Drops(20);

  auto of = [](const std::vector<FX_DropInfo>& drops, A_long i) {
    std::vector<FX_DropInfo> out;
    std::copy_if(drops.begin(), drops.end(), std::back_inserter(out),
                 [i](const FX_DropInfo& d) { return d.birthIndex == i; });
    return out;
  };
  auto same = [](const std::vector<FX_DropInfo>& a, const std::vector<FX_DropInfo>& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), SameDrop);
  };
  for (A_long i = 1; i < 30; ++i) {
    SCOPED_TRACE(i);
    const std::vector<FX_DropInfo> expected = of(20 - i <= 10 ? old : fresh, i);
    EXPECT_TRUE(same(of(keyed, i), expected));
    EXPECT_FALSE(same(of(old, i), of(fresh, i)));
  }
}

INSTANTIATE_TEST_SUITE_P(Controls, BirthTimeTest,
                         ::testing::Values(std::make_pair(int{kParamDripRate}, std::make_pair(1.0, 2.0)),
                                           std::make_pair(int{kParamRippling}, std::make_pair(90.0, 180.0)),
                                           std::make_pair(int{kParamRippleHeight}, std::make_pair(100.0, 50.0)),
                                           std::make_pair(int{kParamSpreading}, std::make_pair(100.0, 300.0))));

TEST_F(DropsTest, CancelStopsBetweenBirthFramesAndLeaksNothing) {
  host.SetFixed(kParamRippling, 200.0);
  host.faults().cancel_at_progress = 3;
  std::vector<FX_DropInfo> drops;
  PF_Err err;
  {
    DirectCall call(host, 10);
    FX_DropSetup s;
    ASSERT_TRUE(Setup(call.in(), &s));
    FX_PAR par{48, 32, 1, 1, 1, 1, 1};
    FX_NewWorld buffer(*call.env);
    ASSERT_EQ(buffer.New(48, 32, PF_PixelFormat_ARGB32, true), PF_Err_NONE);
    err = FX_GenerateDrops(call.in(), s, &par, buffer.Layer(), CollectDrop, &drops);
  }
  EXPECT_EQ(err, PF_Interrupt_CANCEL);
  EXPECT_EQ(host.progress_calls(), 3);
  ASSERT_FALSE(drops.empty());
  EXPECT_EQ(drops.back().birthIndex, 3);
  EXPECT_EQ(host.live_worlds(), 0);
  EXPECT_GT(host.total_acquired(), 0);
  EXPECT_EQ(host.total_acquired(), host.total_released());
}
