// The render commands as a host drives them: pre-render rectangles, the
// checkouts, missing worlds, formats, cancelling and leaks. (Expanded worlds
// byte for byte: tests/regression.)
#include "tests/support/render_fixture.h"

namespace {

using minihost::FrameRequest;
using minihost::FrameResult;
using minihost::Protocol;

bool Eq(const PF_LRect& a, const PF_LRect& b) {
  return a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom;
}

// The pre-render asks for the whole input and a probe pixel, and answers the
// request cut to the layer; one wholly outside collapses onto the nearest
// edge, and an empty layer answers empty.
TEST_F(RenderTest, PreRenderAsksForTheWholeInputAndCutsTheRequest) {
  struct Case { PF_LRect asked; A_long in_w, in_h; PF_LRect answer, max; };
  const PF_LRect whole{0, 0, kW, kH};
  for (const Case& c : {Case{{5, 6, 10, 12}, kW, kH, {5, 6, 10, 12}, whole},
                        {{-5, 3, kW + 9, kH + 1}, kW, kH, {0, 3, kW, kH}, whole},
                        {{-20, 2, -10, 8}, kW, kH, {0, 2, 0, 8}, whole},
                        {{3, kH + 5, 9, kH + 9}, kW, kH, {3, kH, 9, kH}, whole},
                        {{0, 0, 10, 10}, 0, 0, {0, 0, 0, 0}, {0, 0, 0, 0}}}) {
    SCOPED_TRACE(testing::Message() << c.asked.left << "," << c.asked.top << " of " << c.in_w);
    auto input = Layer(PF_PixelFormat_ARGB32, c.in_w, c.in_h);
    auto output = host.NewWorld(kW, kH, PF_PixelFormat_ARGB32);
    FrameResult result;
    host.RenderFrame({.input = input.get(), .output = output.get(), .has_request = true, .request = c.asked}, &result);
    EXPECT_EQ(result.pre_render_err, PF_Err_NONE);
    EXPECT_TRUE(Eq(result.result_rect, c.answer));
    EXPECT_TRUE(Eq(result.max_result_rect, c.max));
    if (c.in_w == 0) continue;
    ASSERT_EQ(result.checkouts.size(), 2u);
    EXPECT_EQ(result.checkouts[0].first, 0);
    EXPECT_TRUE(Eq(result.checkouts[0].second, whole));
    EXPECT_EQ(result.checkouts[1].first, 9999);
    EXPECT_TRUE(Eq(result.checkouts[1].second, {0, 0, 1, 1}));
  }
}

// An empty request clears the output; a withheld input or output is no
// error and leaves the output as it was.
TEST_F(RenderTest, AnEmptyRequestClearsTheOutputAndMissingWorldsLeaveIt) {
  auto input = Layer(PF_PixelFormat_ARGB64);
  auto output = host.NewWorld(kW, kH, PF_PixelFormat_ARGB64);
  auto scribbled = host.NewWorld(kW, kH, PF_PixelFormat_ARGB64), zero = host.NewWorld(kW, kH, PF_PixelFormat_ARGB64);
  testutil::Scribble(scribbled.get(), 0x31);
  for (int which : {0, 1, 2}) {  // the input withheld, the output withheld, an empty request
    testutil::Scribble(output.get(), 0x31);
    const FrameRequest r{.input = input.get(), .output = output.get(), .has_request = which == 2,
                         .request = {10, 10, 10, 20}, .withhold_input = which == 0, .withhold_output = which == 1};
    EXPECT_EQ(host.RenderFrame(r), PF_Err_NONE) << which;
    EXPECT_TRUE(testutil::SamePixels(output.get(), which == 2 ? zero.get() : scribbled.get())) << which;
  }
}

TEST_F(RenderTest, WithoutTheWorldSuiteTheDeepFlagPicksTheDepth) {
  auto in16 = Layer(PF_PixelFormat_ARGB64);
  auto in8 = Layer(PF_PixelFormat_ARGB32);
  auto expected16 = Render(in16.get()), expected8 = Render(in8.get());
  host.RemoveSuite("PF World Suite", 2);
  EXPECT_TRUE(testutil::SamePixels(Render(in16.get()).get(), expected16.get()));
  EXPECT_TRUE(testutil::SamePixels(Render(in8.get()).get(), expected8.get()));
}

TEST_F(RenderTest, CancellingStopsTheRenderAndLeaksNothing) {
  auto input = Layer(PF_PixelFormat_ARGB32);
  const int worlds = host.live_worlds();
  host.faults().cancel_at_progress = 3;
  auto out = host.NewWorld(kW, kH, PF_PixelFormat_ARGB32);
  EXPECT_EQ(host.RenderFrame({.time = 30, .input = input.get(), .output = out.get()}), PF_Interrupt_CANCEL);
  EXPECT_EQ(host.recorder().progress_calls.load(), 3);
  EXPECT_EQ(host.live_worlds(), worlds + 1);  // only the test's output
  EXPECT_EQ(host.total_acquired(), host.total_released());
}

TEST_F(RenderTest, AnUnknownPixelFormatIsRefused) {
  auto input = Layer(PF_PixelFormat_ARGB32);
  auto out = host.NewWorld(kW, kH, PF_PixelFormat_ARGB32);
  static_cast<minihost::HostWorld*>(out->host_ref)->format = PF_PixelFormat_INVALID;
  EXPECT_EQ(host.RenderFrame({.input = input.get(), .output = out.get()}), PF_Err_BAD_CALLBACK_PARAM);
}

// What a careless host may send, found by fuzzing MainEntry: scales without
// meaning get an error code instead of a render from NaN positions.
TEST_F(RenderTest, ZeroOrNegativeScalesAreRefusedWithAnError) {
  const PF_RationalScale bad[] = {{1, 0}, {0, 1}, {-1, 2}};
  for (minihost::Protocol protocol : {Protocol::kSmart, Protocol::kClassic}) {
    for (const PF_RationalScale& scale : bad) {
      for (int which = 0; which < 3; ++which) {
        auto& s = host.settings();
        s.downsample_x = s.downsample_y = s.pixel_aspect_ratio = PF_RationalScale{1, 1};
        (which == 0 ? s.downsample_x : which == 1 ? s.downsample_y : s.pixel_aspect_ratio) = scale;
        auto input = Layer(PF_PixelFormat_ARGB32);
        PF_Err err = PF_Err_NONE;
        Render(input.get(), 12, protocol, &err);
        EXPECT_EQ(err, PF_Err_BAD_CALLBACK_PARAM) << scale.num << "/" << scale.den << " as scale " << which;
        EXPECT_EQ(host.total_acquired(), host.total_released());
      }
    }
  }
}

}  // namespace
