// Conversions between the host's pixel depths and the working colour.
#include "kernel/pixel.h"

#include <gtest/gtest.h>

#include <array>
#include <limits>
#include <set>

namespace {

template <class P>
std::array<double, 3> RGB(const P& p) { return {double(p.red), double(p.green), double(p.blue)}; }
template <class P>
std::array<double, 4> ARGB(const P& p) { return {double(p.alpha), double(p.red), double(p.green), double(p.blue)}; }

TEST(NormalizePixel, FullScaleIsOneInEveryDepthAndTheScaleMultiplies) {
  EXPECT_EQ(RGB(NormalizePixel(PF_Pixel{255, 255, 255, 255}, 1.0)), (std::array{1.0, 1.0, 1.0}));
  EXPECT_EQ(RGB(NormalizePixel(PF_Pixel16{32768, 32768, 0, 32768}, 1.0)), (std::array{1.0, 0.0, 1.0}));
  EXPECT_EQ(RGB(NormalizePixel(PF_PixelFloat{1.0f, 1.5f, -0.25f, 1.0f}, 1.0)), (std::array{1.5, -0.25, 1.0}));
  EXPECT_EQ(RGB(NormalizePixel(PF_Pixel{255, 255, 255, 255}, 0.5)), (std::array{0.5, 0.5, 0.5}));
  EXPECT_EQ(NormalizePixel(PF_PixelFloat{0, 0.5f, 0, 0}, 3.0).red, 1.5);
}

TEST(DenormalizePixel, IntegerDepthsClampTruncateAndKeepAlpha) {
  struct Case { double v; int p8, p16; };
  for (const Case& c : {Case{1.0, 255, 32768}, {2.5, 255, 32768}, {0.999, 254, 32735}, {0.5, 127, 16384},
                        {-0.25, 0, 0}, {-0.0, 0, 0}, {std::numeric_limits<double>::quiet_NaN(), 0, 0}}) {
    PF_Pixel p8{7, 9, 9, 9};
    PF_Pixel16 p16{9, 7, 7, 7};
    DenormalizePixel(FX_Double_Pixel{0.0, c.v, c.v, c.v}, p8);
    DenormalizePixel(FX_Double_Pixel{0.0, c.v, c.v, c.v}, p16);
    EXPECT_EQ(ARGB(p8), (std::array<double, 4>{7, 1.0 * c.p8, 1.0 * c.p8, 1.0 * c.p8})) << c.v;
    EXPECT_EQ(ARGB(p16), (std::array<double, 4>{9, 1.0 * c.p16, 1.0 * c.p16, 1.0 * c.p16})) << c.v;
  }
}

TEST(DenormalizePixel, FloatPassesThroughUnclamped) {
  PF_PixelFloat p{0.75f, 0, 0, 0};
  DenormalizePixel(FX_Double_Pixel{0.0, 1.5, -0.25, 0.1}, p);
  EXPECT_EQ(ARGB(p), (std::array<double, 4>{0.75, 1.5, -0.25, 0.1f}));
}

TEST(DepthRoundTrip, EightBitLosesOneOnTwentyFourValuesSixteenBitNone) {
  const std::set<int> lower = {33,  37,  41,  45,  49,  53,  57,  61,  66,  74,  82,  90,
                               98,  106, 114, 122, 132, 148, 164, 180, 196, 212, 228, 244};
  for (int c = 0; c <= 255; ++c) {
    const auto v = static_cast<A_u_char>(c);
    PF_Pixel out{0, 0, 0, 0};
    DenormalizePixel(NormalizePixel(PF_Pixel{0, v, v, v}, 1.0), out);
    const double expected = lower.count(c) ? c - 1 : c;
    EXPECT_EQ(RGB(out), (std::array{expected, expected, expected})) << "channel " << c;
  }
  for (int c = 0; c <= 32768; ++c) {
    const auto v = static_cast<A_u_short>(c);
    PF_Pixel16 out{0, 0, 0, 0};
    DenormalizePixel(NormalizePixel(PF_Pixel16{0, v, v, v}, 1.0), out);
    ASSERT_EQ(RGB(out), (std::array{1.0 * c, 1.0 * c, 1.0 * c}));
  }
}

TEST(AdaptDepth, WidensAllFourChannelsToTheSixteenBitScale) {
  PF_Pixel16 out{1, 1, 1, 1};
  using Widened = std::pair<PF_Pixel, std::array<double, 4>>;
  for (const auto& [in, widened] : {Widened{{255, 255, 255, 255}, {32768, 32768, 32768, 32768}},
                                    Widened{{0, 0, 0, 0}, {0, 0, 0, 0}},
                                    Widened{{1, 128, 254, 0}, {129, 16448, 32640, 0}}}) {
    AdaptDepth<PF_Pixel16>(in, out);
    EXPECT_EQ(ARGB(out), widened);
  }
}

}  // namespace
