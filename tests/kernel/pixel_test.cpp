// Conversions between the host's pixel depths and the working colour.
#include "kernel/pixel.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <set>

namespace {

TEST(NormalizePixel, FullScaleIsExactlyOneInEveryDepth) {
  const FX_Double_Pixel w8 = NormalizePixel(PF_Pixel{255, 255, 255, 255}, 1.0);
  EXPECT_EQ(w8.red, 1.0);
  EXPECT_EQ(w8.green, 1.0);
  EXPECT_EQ(w8.blue, 1.0);
  const FX_Double_Pixel w16 = NormalizePixel(PF_Pixel16{32768, 32768, 0, 32768}, 1.0);
  EXPECT_EQ(w16.red, 1.0);
  EXPECT_EQ(w16.green, 0.0);
  EXPECT_EQ(w16.blue, 1.0);
  const FX_Double_Pixel wf = NormalizePixel(PF_PixelFloat{1.0f, 1.5f, -0.25f, 1.0f}, 1.0);
  EXPECT_EQ(wf.red, 1.5);
  EXPECT_EQ(wf.green, -0.25);
  EXPECT_EQ(wf.blue, 1.0);
}

TEST(NormalizePixel, ScaleFoldsAnIntensityIntoTheColour) {
  const FX_Double_Pixel w = NormalizePixel(PF_Pixel{255, 255, 255, 255}, 0.5);
  EXPECT_EQ(w.red, 0.5);
  EXPECT_EQ(w.green, 0.5);
  EXPECT_EQ(w.blue, 0.5);
  EXPECT_EQ(NormalizePixel(PF_PixelFloat{0, 0.5f, 0, 0}, 3.0).red, 1.5);
}

TEST(DenormalizePixel, IntegerDepthsClampAndTruncate) {
  PF_Pixel p8{7, 0, 0, 0};
  DenormalizePixel(FX_Double_Pixel{0.0, 1.0, 0.999, 2.5}, p8);
  EXPECT_EQ(p8.red, 255);
  EXPECT_EQ(p8.green, 254);  // truncated, not rounded
  EXPECT_EQ(p8.blue, 255);
  EXPECT_EQ(p8.alpha, 7);    // alpha is left as it was

  PF_Pixel16 p16{9, 0, 0, 0};
  DenormalizePixel(FX_Double_Pixel{0.0, 1.0, 0.5, 7.0}, p16);
  EXPECT_EQ(p16.red, 32768);
  EXPECT_EQ(p16.green, 16384);
  EXPECT_EQ(p16.blue, 32768);
  EXPECT_EQ(p16.alpha, 9);
}

TEST(DenormalizePixel, NegativeAndNotANumberStoreAsZero) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  PF_Pixel p8{1, 9, 9, 9};
  DenormalizePixel(FX_Double_Pixel{0.0, -0.25, nan, -0.0}, p8);
  EXPECT_EQ(p8.red, 0);
  EXPECT_EQ(p8.green, 0);
  EXPECT_EQ(p8.blue, 0);
  PF_Pixel16 p16{1, 9, 9, 9};
  DenormalizePixel(FX_Double_Pixel{0.0, -3.0, nan, 1e-9}, p16);
  EXPECT_EQ(p16.red, 0);
  EXPECT_EQ(p16.green, 0);
  EXPECT_EQ(p16.blue, 0);
}

TEST(DenormalizePixel, FloatPassesThroughUnclamped) {
  PF_PixelFloat p{0.75f, 0, 0, 0};
  DenormalizePixel(FX_Double_Pixel{0.0, 1.5, -0.25, 0.1}, p);
  EXPECT_EQ(p.red, 1.5f);
  EXPECT_EQ(p.green, -0.25f);
  EXPECT_EQ(p.blue, 0.1f);
  EXPECT_EQ(p.alpha, 0.75f);
}

TEST(DepthRoundTrip, EightBitLosesOneOnTwentyFourValues) {
  const std::set<int> lower = {33,  37,  41,  45,  49,  53,  57,  61,  66,  74,  82,  90,
                               98,  106, 114, 122, 132, 148, 164, 180, 196, 212, 228, 244};
  for (int c = 0; c <= 255; ++c) {
    const auto v = static_cast<A_u_char>(c);
    PF_Pixel out{0, 0, 0, 0};
    DenormalizePixel(NormalizePixel(PF_Pixel{0, v, v, v}, 1.0), out);
    const int expected = lower.count(c) ? c - 1 : c;
    EXPECT_EQ(out.red, expected) << "channel " << c;
    EXPECT_EQ(out.blue, expected) << "channel " << c;
  }
}

TEST(DepthRoundTrip, SixteenBitIsTheIdentity) {
  for (int c = 0; c <= 32768; ++c) {
    const auto v = static_cast<A_u_short>(c);
    PF_Pixel16 out{0, 0, 0, 0};
    DenormalizePixel(NormalizePixel(PF_Pixel16{0, v, v, v}, 1.0), out);
    ASSERT_EQ(out.green, c);
  }
}

TEST(AdaptDepth, WidensAllFourChannelsToTheSixteenBitScale) {
  PF_Pixel16 out{1, 1, 1, 1};
  AdaptDepth<PF_Pixel16>(PF_Pixel{255, 255, 255, 255}, out);
  EXPECT_EQ(out.alpha, 32768);
  EXPECT_EQ(out.red, 32768);
  EXPECT_EQ(out.green, 32768);
  EXPECT_EQ(out.blue, 32768);

  AdaptDepth<PF_Pixel16>(PF_Pixel{0, 0, 0, 0}, out);
  EXPECT_EQ(out.alpha, 0);
  EXPECT_EQ(out.red, 0);

  AdaptDepth<PF_Pixel16>(PF_Pixel{1, 128, 254, 0}, out);
  EXPECT_EQ(out.alpha, 129);
  EXPECT_EQ(out.red, 16448);
  EXPECT_EQ(out.green, 32640);
  EXPECT_EQ(out.blue, 0);
}

}  // namespace
