// The render commands as a host drives them: pre-render rectangles, the
// checkouts, expanded worlds, missing worlds, formats, failures and leaks.
#include "tests/support/render_fixture.h"

namespace {

using minihost::FrameRequest;
using minihost::FrameResult;
using minihost::Protocol;
using testutil::Get;

bool Eq(const PF_LRect& a, const PF_LRect& b) {
  return a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom;
}

class PreRenderTest : public RenderTest {
 protected:
  FrameResult PreRender(const PF_LRect& asked, A_long in_w = kW, A_long in_h = kH) {
    auto input = Layer(PF_PixelFormat_ARGB32, in_w, in_h);
    auto output = host.NewWorld(kW, kH, PF_PixelFormat_ARGB32);
    FrameRequest r;
    r.input = input.get();
    r.output = output.get();
    r.has_request = true;
    r.request = asked;
    FrameResult result;
    host.RenderFrame(r, &result);
    EXPECT_EQ(result.pre_render_err, PF_Err_NONE);
    return result;
  }
};

TEST_F(PreRenderTest, AsksForTheWholeInputThroughAProbe) {
  const FrameResult r = PreRender({5, 6, 10, 12});
  ASSERT_EQ(r.checkouts.size(), 2u);
  EXPECT_EQ(r.checkouts[0].first, 0);
  EXPECT_TRUE(Eq(r.checkouts[0].second, {0, 0, kW, kH}));
  EXPECT_EQ(r.checkouts[1].first, 9999);
  EXPECT_TRUE(Eq(r.checkouts[1].second, {0, 0, 1, 1}));
  EXPECT_TRUE(Eq(r.max_result_rect, {0, 0, kW, kH}));
}

// The answer is the request cut to the layer; one wholly outside collapses
// onto the nearest edge.
TEST_F(PreRenderTest, RequestsAreCutToTheExtent) {
  const std::pair<PF_LRect, PF_LRect> cases[] = {
      {{5, 6, 10, 12}, {5, 6, 10, 12}},
      {{-5, 3, kW + 9, kH + 1}, {0, 3, kW, kH}},
      {{-20, 2, -10, 8}, {0, 2, 0, 8}},
      {{3, kH + 5, 9, kH + 9}, {3, kH, 9, kH}},
  };
  for (const auto& [asked, answer] : cases) EXPECT_TRUE(Eq(PreRender(asked).result_rect, answer)) << asked.left << "," << asked.top;
}

TEST_F(PreRenderTest, EmptyExtentIsTheAnswer) {
  const FrameResult r = PreRender({0, 0, 10, 10}, 0, 0);
  EXPECT_TRUE(Eq(r.result_rect, {0, 0, 0, 0}));
  EXPECT_TRUE(Eq(r.max_result_rect, {0, 0, 0, 0}));
}

TEST_F(RenderTest, AnEmptyRequestClearsTheOutput) {
  auto input = Layer(PF_PixelFormat_ARGB64);
  auto output = host.NewWorld(kW, kH, PF_PixelFormat_ARGB64);
  testutil::Scribble(output.get(), 0x31);
  FrameRequest r;
  r.input = input.get();
  r.output = output.get();
  r.has_request = true;
  r.request = {10, 10, 10, 20};
  ASSERT_EQ(host.RenderFrame(r), PF_Err_NONE);
  auto zero = host.NewWorld(kW, kH, PF_PixelFormat_ARGB64);
  EXPECT_TRUE(testutil::SamePixels(output.get(), zero.get()));
}

TEST_F(RenderTest, MissingWorldsAreNoErrorAndLeaveTheOutputAlone) {
  auto input = Layer(PF_PixelFormat_ARGB32);
  auto output = host.NewWorld(kW, kH, PF_PixelFormat_ARGB32);
  testutil::Scribble(output.get(), 0x31);
  auto before = host.NewWorld(kW, kH, PF_PixelFormat_ARGB32);
  testutil::Scribble(before.get(), 0x31);
  for (bool no_input : {true, false}) {
    FrameRequest r;
    r.input = input.get();
    r.output = output.get();
    r.withhold_input = no_input;
    r.withhold_output = !no_input;
    EXPECT_EQ(host.RenderFrame(r), PF_Err_NONE);
    EXPECT_TRUE(testutil::SamePixels(output.get(), before.get()));
  }
}

TEST_F(RenderTest, ExpandedOutputShiftsDropsLightsAndSampling) {
  auto input = Layer(PF_PixelFormat_ARGB128);
  auto layer_sized = Render(input.get(), 20, Protocol::kClassic);
  // The host asks for an output 10 pixels larger on every side.
  auto wide = host.NewWorld(kW + 20, kH + 20, PF_PixelFormat_ARGB128);
  wide->origin_x = -10;
  wide->origin_y = -10;
  ASSERT_EQ(RenderInto(input.get(), wide.get(), 20), PF_Err_NONE);
  // Inside the layer the frames agree; the layer's first row and column see
  // a real neighbour in the wider field, so they are left out.
  for (A_long y = 1; y < kH; ++y)
    for (A_long x = 1; x < kW; ++x) {
      const testutil::Px a = Get(layer_sized.get(), x, y), b = Get(wide.get(), x + 10, y + 10);
      ASSERT_EQ(a.r, b.r) << x << "," << y;
      ASSERT_EQ(a.g, b.g) << x << "," << y;
      ASSERT_EQ(a.b, b.b) << x << "," << y;
    }
}

TEST_F(RenderTest, ExpandedInputIsReadWhereTheOutputLies) {
  host.SetFixed(kParamDisplacement, 0);
  auto input = Layer(PF_PixelFormat_ARGB64);
  auto plain = Render(input.get(), 20, Protocol::kClassic);
  // An earlier effect grew the layer by 5 pixels on every side.
  auto grown = host.NewWorld(kW + 10, kH + 10, PF_PixelFormat_ARGB64);
  grown->origin_x = -5;
  grown->origin_y = -5;
  testutil::FillPattern(grown.get());
  auto output = host.NewWorld(kW, kH, PF_PixelFormat_ARGB64);
  ASSERT_EQ(RenderInto(grown.get(), output.get(), 20), PF_Err_NONE);
  EXPECT_TRUE(testutil::SamePixels(plain.get(), output.get()));
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
  host.ResetSuiteCounts();
  host.faults().cancel_at_progress = 3;
  auto out = host.NewWorld(kW, kH, PF_PixelFormat_ARGB32);
  EXPECT_EQ(RenderInto(input.get(), out.get(), 30), PF_Interrupt_CANCEL);
  EXPECT_EQ(host.progress_calls(), 3);
  EXPECT_EQ(host.live_worlds(), worlds + 1);  // only the test's output
  EXPECT_EQ(host.total_acquired(), host.total_released());
}

TEST_F(RenderTest, AnUnknownPixelFormatIsRefused) {
  auto input = Layer(PF_PixelFormat_ARGB32);
  auto out = host.NewWorld(kW, kH, PF_PixelFormat_ARGB32);
  static_cast<minihost::HostWorld*>(out->host_ref)->format = PF_PixelFormat_INVALID;
  FrameRequest r;
  r.input = input.get();
  r.output = out.get();
  EXPECT_EQ(host.RenderFrame(r), PF_Err_BAD_CALLBACK_PARAM);
}

}  // namespace
