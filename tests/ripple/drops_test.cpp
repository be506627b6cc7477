#include <algorithm>
#include <array>
#include <cmath>
#include <map>
#include <optional>
#include <tuple>

#include "tests/ripple/ripple_support.h"

namespace {

// The next candidate, which must be a drop: its three values, drawn in order.
std::array<int, 3> DrawDrop(FX_Random& r) {
  EXPECT_TRUE(FX_Random::Accepts(r.Draw()));
  return {FX_Random::Value15(r.Draw()), FX_Random::Value15(r.Draw()), FX_Random::Value15(r.Draw())};
}

std::optional<FX_DropInfo> Find(const std::vector<FX_DropInfo>& drops, A_long birth, A_long candidate) {
  for (const FX_DropInfo& d : drops)
    if (d.birthIndex == birth && d.candidate == candidate) return d;
  return std::nullopt;
}

// What tells the drops of birth frame `i` apart, in order.
auto Of(const std::vector<FX_DropInfo>& drops, A_long i) {
  std::vector<std::tuple<double, double, double, double, double, A_long, uint32_t>> out;
  for (const FX_DropInfo& d : drops)
    if (d.birthIndex == i) out.emplace_back(d.centre.x, d.centre.y, d.amplitude, d.radius, d.wave, d.candidate, d.seed);
  return out;
}

using DropsTest = RippleTest;

}  // namespace

TEST_F(DropsTest, SeedsZeroAndThreeThousand) {
  FX_Random r;
  r.Seed(0);  // three rejected candidates, then a drop
  for (uint32_t state : {12345u, 3554416254u, 2802067423u}) {
    EXPECT_EQ(r.Draw(), state);
    EXPECT_FALSE(FX_Random::Accepts(state));
  }
  EXPECT_EQ(DrawDrop(r), (std::array<int, 3>{3498, 16927, 16045}));
  r.Seed(3000);  // its first four candidates are drops
  for (const std::array<int, 3>& u : {std::array<int, 3>{13661, 26751, 12934}, {70, 6034, 15660},
                                      {13646, 17169, 393}, {2438, 11898, 617}})
    EXPECT_EQ(DrawDrop(r), u);

  // Birth frame 1 of frame 1 is seeded 0: its first drop, on the 48×32 layer.
  host.SetFixed(kParamRippling, 90.0);
  const std::vector<FX_DropInfo> drops = Drops(1);
  ASSERT_FALSE(drops.empty());
  const FX_DropInfo& d = drops.front();
  const double diagonal = std::sqrt(48.0 * 48.0 + 32.0 * 32.0);
  EXPECT_EQ(std::make_pair(d.birthIndex, d.candidate), std::make_pair(A_long{1}, A_long{3}));
  EXPECT_EQ(d.centre.x, 24.0 - 0.7864990234375 * diagonal);
  EXPECT_EQ(d.centre.y, 16.0 + 0.03314208984375 * diagonal);
  EXPECT_EQ(d.amplitude, 0.7448272705078125 * d.fade);
  EXPECT_DOUBLE_EQ(d.wave, 0.05);  // 90° / 1800
}

TEST_F(DropsTest, WorkedFrame) {
  // 30 frames per second, frame 10, the defaults: Longevity 1, Drip Rate 1,
  // Ripple Height 100, Spreading 100.
  A_long reports = 0;
  host.set_progress_listener([&](A_long i, A_long total) {
    EXPECT_EQ(std::make_pair(i, total), std::make_pair(++reports, A_long{60}));
  });
  const std::vector<FX_DropInfo> drops = Drops(10);
  host.set_progress_listener(nullptr);
  EXPECT_EQ(reports, 29);
  for (const FX_DropInfo& d : drops) {
    EXPECT_EQ(d.seed, static_cast<uint32_t>(10 - d.birthIndex));  // 9, 8, ..., -19 as words
    EXPECT_EQ(std::make_pair(d.candidates, d.birthTime), std::make_pair(20.0, 10 - d.birthIndex));
  }
  // Birth frames 1 of frame 3001 and 29 of frame 3029 are seeded 3000: their
  // first candidate is a drop.
  const auto young = Find(drops, 1, 10), first = Find(Drops(3001), 1, 0), oldest = Find(Drops(3029), 29, 0);
  ASSERT_TRUE(young && first && oldest);
  EXPECT_EQ(young->radius, 5.0);
  EXPECT_EQ(young->fade, 0.009666666666666667);
  EXPECT_EQ(first->radius, 3.3333333333333335);
  EXPECT_EQ(oldest->radius, 96.66666666666667);
  EXPECT_EQ(oldest->fade, 0.00033333333333333327);
}

TEST_F(DropsTest, FieldIsTheSameInAnyOrderAndHoldsTheReportedDrops) {
  host.SetFixed(kParamRippling, 300.0);
  std::map<A_long, std::vector<float>> first;
  for (A_long t : {5, 12, 20, 41}) first[t] = Field(t);
  EXPECT_NE(first[12], first[20]);
  for (A_long t : {12, 41, 5, 20, 12}) EXPECT_EQ(Field(t), first[t]) << "frame " << t;

  const std::vector<FX_DropInfo> drops = Drops(12);  // drawn again, in the order reported
  DirectCall call(host, 12);
  FX_PAR par{48, 32, 1, 1, 1, 1, 1};
  minihost::WorldPtr redrawn = host.NewWorld(48, 32, PF_PixelFormat_ARGB32);
  for (const FX_DropInfo& d : drops) FX_DrawForce(call.in(), &par, d.centre, d.amplitude, d.radius, d.wave, redrawn.get());
  EXPECT_EQ(Cells(redrawn.get()), first[12]);
  EXPECT_GT(std::count_if(first[12].begin(), first[12].end(), [](float v) { return v != 0.0f; }), 48 * 32 / 2);
}

TEST_F(DropsTest, FramesWithoutDropsReportNoProgress) {
  // Longevity 0 or under a frame, no Drip Rate or Ripple Height, a local time step of 0 or -1, no time scale.
  struct Case { int param; double value, restore; A_long step; A_u_long scale; };
  for (const Case& c : {Case{kParamLongevity, 0, 1, 1, 30}, {kParamLongevity, 0.03, 1, 1, 30},
                        {kParamDripRate, 0, 1, 1, 30}, {kParamRippleHeight, 0, 100, 1, 30},
                        {kParamLongevity, 1, 1, 0, 30}, {kParamLongevity, 1, 1, -1, 30}, {kParamLongevity, 1, 1, 1, 0}}) {
    SCOPED_TRACE(testing::Message() << c.param << " " << c.value << " " << c.step << " " << c.scale);
    host.settings().local_time_step = c.step;
    host.settings().time_scale = c.scale;
    host.SetFixed(c.param, c.value);
    host.ResetProgressCalls();
    EXPECT_TRUE(Drops(10).empty());
    EXPECT_EQ(host.progress_calls(), 0);
    host.SetFixed(c.param, c.restore);
  }
  host.settings().time_scale = 30;
  host.SetFixed(kParamDripRate, 0.01);  // a fifth of a candidate still tries the first one
  const std::vector<FX_DropInfo> drops = Drops(3001);
  EXPECT_EQ(host.progress_calls(), 29);
  ASSERT_FALSE(drops.empty());  // seed 3000 takes its first candidate
  for (const FX_DropInfo& d : drops) EXPECT_EQ(d.candidate, 0);
}

TEST_F(DropsTest, AgedOutBirthFrameBetweenFramesIsSkipped) {
  // Half way between frames (step 100 at 3000 per second), a life of about
  // 29.4 frames: birth frame 29, 29.5 frames old, is skipped.
  host.settings().time_scale = 3000;
  host.settings().local_time_step = 100;
  host.SetFixed(kParamLongevity, 0.98);
  const std::vector<FX_DropInfo> drops = Drops(1050);
  EXPECT_EQ(host.progress_calls(), 28);
  ASSERT_FALSE(drops.empty());
  EXPECT_LT(drops.back().birthIndex, 29);
  EXPECT_EQ(drops.front().birthIndex, 1);
  EXPECT_EQ(drops.front().birthTime, 900);  // 1.5 frames old: read at 1050 − 150
  EXPECT_EQ(drops.front().seed, 900u);      // seeded with its frame start
}

// Each control keyed to change between birth frames 10 and 11 of frame 20: the
// drops born up to frame 10 look as with the old value, the later ones new.
TEST_F(DropsTest, KeyedControlsActThroughTheirValueAtBirth) {
  struct Case { int param; double before, after; };
  for (const Case& c : {Case{kParamDripRate, 1, 2}, {kParamRippling, 90, 180}, {kParamRippleHeight, 100, 50},
                        {kParamSpreading, 100, 300}}) {
    SCOPED_TRACE(c.param);
    host.SetFixed(kParamRippling, 200.0);
    host.SetFixed(c.param, c.before);
    const std::vector<FX_DropInfo> old = Drops(20);
    host.SetFixed(c.param, c.after);
    const std::vector<FX_DropInfo> fresh = Drops(20);
    host.SetKeys(c.param, {{0.0, c.before}, {10.0 / 30, c.before}, {11.0 / 30, c.after}});
    const std::vector<FX_DropInfo> keyed = Drops(20);
    host.SetFixed(c.param, c.before);
    for (A_long i = 1; i < 30; ++i) {
      EXPECT_EQ(Of(keyed, i), Of(20 - i <= 10 ? old : fresh, i)) << "birth frame " << i;
      EXPECT_NE(Of(old, i), Of(fresh, i)) << "birth frame " << i;
    }
  }
}

TEST_F(DropsTest, CancelStopsBetweenBirthFramesAndLeaksNothing) {
  host.faults().cancel_at_progress = 3;
  std::vector<float> field;
  std::vector<FX_DropInfo> drops;
  EXPECT_EQ(Frame(10, &field, &drops), PF_Interrupt_CANCEL);
  EXPECT_EQ(host.progress_calls(), 3);
  ASSERT_FALSE(drops.empty());
  EXPECT_EQ(drops.back().birthIndex, 3);
  EXPECT_EQ(host.live_worlds(), 0);
  EXPECT_EQ(host.total_acquired(), host.total_released());
}
