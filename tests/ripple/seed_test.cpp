// Seeds as the session gives them to the effect (a shift of the time it
// sees): other drops, with the statistics of seed 0.
#include "session/around.h"
#include "tests/ripple/ripple_support.h"

namespace {

struct Tally {
  double per_second = 0;     // drops born
  double mean_strength = 0;  // amplitude / fade: the random factor of each drop
};

// The host time shift of a seed at 30 fps.
A_long ShiftOf(int seed) {
  const pluvane::session::Timebase time;
  return static_cast<A_long>(pluvane::session::SeedShift(seed, time) * time.time_step());
}

class SeedTest : public RippleTest {
 protected:
  // Every birth frame of 20 minutes at 30 fps once (each frame shows the
  // drops of the 29 birth frames before it, Longevity 1 s).
  Tally Count(int seed) {
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
    return {drops / (kFrames / 30.0), strength / static_cast<double>(drops)};
  }
};

TEST_F(SeedTest, OtherDropsWithTheSameStatistics) {
  const Tally zero = Count(0);
  EXPECT_NEAR(zero.per_second, 300.0, 6.0);  // 20 candidates a frame, half of them drops, 30 frames a second
  for (int seed : {1, 63}) {
    SCOPED_TRACE(seed);
    const Tally other = Count(seed);
    EXPECT_NEAR(other.per_second, zero.per_second, zero.per_second * 0.01);
    EXPECT_NEAR(other.mean_strength, zero.mean_strength, 0.005);
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

}  // namespace
