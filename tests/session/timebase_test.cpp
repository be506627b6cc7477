// One rate, one fraction: how the texts people write for frame rates and the
// doubles hosts give become the host's time scale and step, and how frames
// and host times meet.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <climits>
#include <cmath>

#include "session/error.h"
#include "session/timebase.h"

namespace pluvane::session {
namespace {

TEST(Rates, OneRateIsOneFractionHoweverItIsWritten) {
  const std::pair<const char*, Rational> texts[] = {
      {"25.5", {51, 2}}, {"102/4", {51, 2}}, {" 24 ", {24, 1}}, {"25.000", {25, 1}}, {"0.5", {1, 2}},
      {"12.5", {25, 2}},  // one decimal is never an NTSC rate
      {"23.976", {24000, 1001}}, {"29.97", {30000, 1001}}, {"47.952", {48000, 1001}}, {"59.94", {60000, 1001}},
      {"119.88", {120000, 1001}}, {"30000/1001", {30000, 1001}},
      {"23.9760239", {24000, 1001}}, {"23.97602397602398", {24000, 1001}},  // cut, not rounded
      {"29.98", {1499, 50}}, {"23.975", {959, 40}},  // not NTSC: exact fractions
  };
  for (const auto& [text, rate] : texts) EXPECT_EQ(ParseRate(text), rate) << text;
  // A pixel aspect is never snapped.
  EXPECT_EQ(ParseRatio("29.97", "--pixel-aspect"), (Rational{2997, 100}));
  const std::pair<double, Rational> doubles[] = {{23.976, {24000, 1001}}, {24000.0 / 1001.0, {24000, 1001}},
                                                 {29.97, {30000, 1001}},  {59.94, {60000, 1001}},
                                                 {25, {25, 1}},           {12.5, {25, 2}}};
  for (const auto& [value, rate] : doubles) EXPECT_EQ(RateFromDouble(value), rate) << value;
  for (double bad : {0.0, -24.0, std::nan(""), HUGE_VAL}) EXPECT_THROW(RateFromDouble(bad), Error) << bad;
  for (const char* bad : {"", "0", "-1", "abc", "1/0", "3/", "/3", "1e5", "1.2.3", ".", "2147483648/1"})
    EXPECT_THAT([&] { ParseRate(bad, "--fps"); }, testing::ThrowsMessage<Error>(testing::HasSubstr("--fps"))) << bad;
}

TEST(Timebase, FrameTimesAndHostTimes) {
  const Timebase ntsc(Rational{30000, 1001});
  EXPECT_EQ(ntsc.time_scale(), 30000u);
  EXPECT_EQ(ntsc.TimeOf(29), 29 * 1001);
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
}

}  // namespace
}  // namespace pluvane::session
