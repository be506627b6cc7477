#include <array>

#include "tests/ripple/ripple_support.h"
#include "tests/support/world_util.h"

namespace {

class NewWorldTest : public RippleTest {
 protected:
  // Calls of new and dispose through "PF World Suite" versions 1 and 2.
  std::array<int, 4> Calls() {
    return {host.recorder().suite_new_world_calls[1], host.recorder().suite_dispose_world_calls[1], host.recorder().suite_new_world_calls[2],
            host.recorder().suite_dispose_world_calls[2]};
  }
};

}  // namespace

// Float worlds come from suite version 2, the others from version 1; each goes
// back through the version that made it (the float one through the destructor).
TEST_F(NewWorldTest, EachFormatIsReleasedWithTheVersionThatMadeIt) {
  struct Case { PF_PixelFormat asked, made; std::array<int, 4> calls; };
  for (const Case& c : {Case{PF_PixelFormat_ARGB32, PF_PixelFormat_ARGB32, {1, 1, 0, 0}},
                        {PF_PixelFormat_ARGB64, PF_PixelFormat_ARGB64, {1, 1, 0, 0}},
                        {PF_PixelFormat_INVALID, PF_PixelFormat_ARGB32, {1, 1, 0, 0}},
                        {PF_PixelFormat_ARGB128, PF_PixelFormat_ARGB128, {0, 0, 1, 1}}}) {
    SCOPED_TRACE(c.asked);
    std::array<int, 4> calls = Calls();
    {
      DirectCall call(host, 0);
      FX_NewWorld buffer(*call.env);
      ASSERT_EQ(buffer.New(5, 3, c.asked, true), PF_Err_NONE);
      ASSERT_NE(buffer.Layer(), nullptr);
      EXPECT_EQ(minihost::MiniHost::WorldFormat(buffer.Layer()), c.made);
      EXPECT_TRUE(testutil::SamePixels(buffer.Layer(), host.NewWorld(5, 3, c.made).get()));  // 5×3, cleared
      if (c.made != PF_PixelFormat_ARGB128) { EXPECT_EQ(buffer.Dispose(), PF_Err_NONE); }
    }
    EXPECT_EQ(host.live_worlds(), 0);
    for (int i = 0; i < 4; ++i) calls[i] = Calls()[i] - calls[i];
    EXPECT_EQ(calls, c.calls);
  }
}

TEST_F(NewWorldTest, NewReleasesTheHeldBufferWithItsOwnVersionFirst) {
  DirectCall call(host, 0);
  FX_NewWorld buffer(*call.env);
  EXPECT_EQ(buffer.Layer(), nullptr);  // nothing before the first New,
  EXPECT_EQ(buffer.Dispose(), PF_Err_NONE);
  EXPECT_EQ(host.total_acquired() + host.recorder().new_world_calls, 0);  // and no host call
  ASSERT_EQ(buffer.New(4, 4, PF_PixelFormat_ARGB128, false), PF_Err_NONE);
  ASSERT_EQ(buffer.New(6, 2, PF_PixelFormat_ARGB32, false), PF_Err_NONE);
  EXPECT_EQ(Calls(), (std::array<int, 4>{1, 0, 1, 1}));
  EXPECT_EQ(host.live_worlds(), 1);
  EXPECT_EQ(buffer.Layer()->width, 6);
  host.faults().fail_new_world_at = host.recorder().new_world_calls + 1;
  EXPECT_EQ(buffer.New(3, 3, PF_PixelFormat_ARGB128, false), PF_Err_OUT_OF_MEMORY);
  EXPECT_EQ(buffer.Layer(), nullptr);
  EXPECT_EQ(host.live_worlds(), 0);  // the 8-bit buffer went before the attempt
  EXPECT_EQ(buffer.Dispose(), PF_Err_NONE);
  EXPECT_EQ(std::make_pair(Calls()[1], Calls()[3]), std::make_pair(1, 1));  // each released once
}
