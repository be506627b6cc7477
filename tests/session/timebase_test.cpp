// One rate, one fraction: how the texts people write for frame rates become
// the host's time scale and step, and how frames and host times meet.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>

#include "session/error.h"
#include "session/timebase.h"

namespace pluvane::session {
namespace {

Rational Rate(const char* text) { return ParseRate(text); }

TEST(Rates, OneRateIsOneFractionHoweverItIsWritten) {
  EXPECT_EQ(Rate("25.5"), (Rational{51, 2}));
  EXPECT_EQ(Rate("51/2"), (Rational{51, 2}));
  EXPECT_EQ(Rate("102/4"), (Rational{51, 2}));
  EXPECT_EQ(Rate(" 24 "), (Rational{24, 1}));
  EXPECT_EQ(Rate("30000/1001"), (Rational{30000, 1001}));
  EXPECT_EQ(Rate("12.5"), (Rational{25, 2}));  // one decimal is never an NTSC rate
  EXPECT_EQ(Rate("25.000"), (Rational{25, 1}));
  EXPECT_EQ(Rate("0.5"), (Rational{1, 2}));
}

TEST(Rates, NtscDecimalsAreTheRatesTheyStandFor) {
  EXPECT_EQ(Rate("23.976"), (Rational{24000, 1001}));
  EXPECT_EQ(Rate("29.97"), (Rational{30000, 1001}));
  EXPECT_EQ(Rate("47.952"), (Rational{48000, 1001}));
  EXPECT_EQ(Rate("59.94"), (Rational{60000, 1001}));
  EXPECT_EQ(Rate("119.88"), (Rational{120000, 1001}));
  EXPECT_EQ(Rate("23.9760239"), (Rational{24000, 1001}));  // cut, not rounded
  EXPECT_EQ(Rate("23.97602397602398"), (Rational{24000, 1001}));
  // Not NTSC: other decimals are exact fractions.
  EXPECT_EQ(Rate("29.98"), (Rational{1499, 50}));
  EXPECT_EQ(Rate("23.975"), (Rational{959, 40}));
  // A pixel aspect is never snapped.
  EXPECT_EQ(ParseRatio("29.97", "--pixel-aspect"), (Rational{2997, 100}));
  EXPECT_EQ(ParseRatio("20/22", "--pixel-aspect"), (Rational{10, 11}));
}

TEST(Rates, HostDoublesBecomeExactRates) {
  EXPECT_EQ(RateFromDouble(23.976), (Rational{24000, 1001}));
  EXPECT_EQ(RateFromDouble(24000.0 / 1001.0), (Rational{24000, 1001}));
  EXPECT_EQ(RateFromDouble(29.97), (Rational{30000, 1001}));
  EXPECT_EQ(RateFromDouble(59.94), (Rational{60000, 1001}));
  EXPECT_EQ(RateFromDouble(25), (Rational{25, 1}));
  EXPECT_EQ(RateFromDouble(25.5), (Rational{51, 2}));
  EXPECT_EQ(RateFromDouble(12.5), (Rational{25, 2}));
  for (double bad : {0.0, -24.0, std::nan(""), HUGE_VAL}) EXPECT_THROW(RateFromDouble(bad), Error) << bad;
}

TEST(Rates, MalformedTextsAreRefusedByName) {
  for (const char* bad : {"", "0", "0.0", "-1", "abc", "1/0", "3/", "/3", "1e5", "fast", "1.2.3", ".", "2147483648/1"}) {
    try {
      ParseRate(bad, "--fps");
      ADD_FAILURE() << bad;
    } catch (const Error& e) {
      EXPECT_NE(std::string(e.what()).find("--fps"), std::string::npos) << e.what();
    }
  }
}

TEST(Timebase, FrameTimesAndHostTimes) {
  const Timebase ntsc(Rational{30000, 1001});
  EXPECT_EQ(ntsc.time_scale(), 30000u);
  EXPECT_EQ(ntsc.time_step(), 1001);
  EXPECT_EQ(ntsc.TimeOf(29), 29 * 1001);
  EXPECT_DOUBLE_EQ(ntsc.SecondsOf(29), 29 * 1001 / 30000.0);
  // A host's time stamp of frame f, in seconds or milliseconds, is frame f again.
  for (long long f : {0LL, 1LL, 29LL, 1000LL, 123457LL}) {
    EXPECT_EQ(ntsc.FrameAt(ntsc.SecondsOf(static_cast<double>(f))), f);
    EXPECT_EQ(ntsc.FrameAt(ntsc.SecondsOf(static_cast<double>(f)) * 1000, TimeUnit::kMilliseconds), f);
  }
  EXPECT_EQ(ntsc.FrameAt(-5), 0);
  EXPECT_EQ(ntsc.FrameAt(std::nan("")), 0);
  EXPECT_EQ(ntsc.FrameAt(1e300), ntsc.LastFrame());
  EXPECT_NO_THROW(ntsc.TimeOf(ntsc.LastFrame() + 1));  // the frame after the last still has a time
  EXPECT_THROW(ntsc.TimeOf(INT_MAX / 1001 + 1), Error);
  EXPECT_EQ(ParseTimeUnit("MS"), TimeUnit::kMilliseconds);
  EXPECT_EQ(ParseTimeUnit("seconds"), TimeUnit::kSeconds);
}

}  // namespace
}  // namespace pluvane::session
