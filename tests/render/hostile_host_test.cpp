// What a careless host may send: scales without meaning. Found by fuzzing
// MainEntry; each gets an error code instead of a render from NaN positions.
#include "tests/support/render_fixture.h"

namespace {

TEST_F(RenderTest, ZeroOrNegativeScalesAreRefusedWithAnError) {
  const PF_RationalScale bad[] = {{1, 0}, {0, 1}, {-1, 2}};
  for (minihost::Protocol protocol : {minihost::Protocol::kSmart, minihost::Protocol::kClassic}) {
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
