#include "ripple_support.h"

namespace {

class NewWorldTest : public RippleTest {
 protected:
  int news(int version) { return host.suite_new_world_calls[version]; }
  int disposes(int version) { return host.suite_dispose_world_calls[version]; }
};

bool AllZero(const PF_EffectWorld* w, size_t pixel_size) {
  for (A_long y = 0; y < w->height; ++y) {
    const char* row = reinterpret_cast<const char*>(w->data) + y * w->rowbytes;
    for (size_t i = 0; i < w->width * pixel_size; ++i)
      if (row[i]) return false;
  }
  return true;
}

}  // namespace

TEST_F(NewWorldTest, FreshObjectHoldsNothingAndCallsNoHost) {
  DirectCall call(host, 0);
  FX_NewWorld buffer(*call.env);
  EXPECT_EQ(buffer.Layer(), nullptr);
  EXPECT_EQ(buffer.Dispose(), PF_Err_NONE);
  EXPECT_EQ(host.total_acquired(), 0);
  EXPECT_EQ(host.new_world_calls, 0);
}

TEST_F(NewWorldTest, EightAndSixteenBitWorldsUseSuiteVersionOne) {
  struct Case {
    PF_PixelFormat asked, made;
  };
  for (const Case& c : {Case{PF_PixelFormat_ARGB32, PF_PixelFormat_ARGB32},
                        Case{PF_PixelFormat_ARGB64, PF_PixelFormat_ARGB64},
                        Case{PF_PixelFormat_INVALID, PF_PixelFormat_ARGB32}}) {
    DirectCall call(host, 0);
    FX_NewWorld buffer(*call.env);
    ASSERT_EQ(buffer.New(5, 3, c.asked, true), PF_Err_NONE);
    PF_EffectWorld* w = buffer.Layer();
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(w->width, 5);
    EXPECT_EQ(w->height, 3);
    EXPECT_EQ(minihost::MiniHost::WorldFormat(w), c.made);
    EXPECT_TRUE(AllZero(w, minihost::MiniHost::PixelSize(c.made)));
    EXPECT_EQ(host.live_worlds(), 1);
    EXPECT_EQ(buffer.Dispose(), PF_Err_NONE);
    EXPECT_EQ(buffer.Layer(), nullptr);
    EXPECT_EQ(host.live_worlds(), 0);
  }
  EXPECT_EQ(news(1), 3);
  EXPECT_EQ(disposes(1), 3);
  EXPECT_EQ(news(2) + disposes(2), 0);
  EXPECT_EQ(host.suite_count(kPFWorldSuite, 2).acquired, 0);
}

TEST_F(NewWorldTest, FloatWorldIsMadeAndReleasedWithVersionTwo) {
  {
    DirectCall call(host, 0);
    FX_NewWorld buffer(*call.env);
    ASSERT_EQ(buffer.New(4, 4, PF_PixelFormat_ARGB128, true), PF_Err_NONE);
    EXPECT_EQ(minihost::MiniHost::WorldFormat(buffer.Layer()), PF_PixelFormat_ARGB128);
    EXPECT_TRUE(AllZero(buffer.Layer(), sizeof(PF_PixelFloat)));
  }  // released by the destructor
  EXPECT_EQ(news(2), 1);
  EXPECT_EQ(disposes(2), 1);
  EXPECT_EQ(news(1) + disposes(1), 0);
  EXPECT_EQ(host.live_worlds(), 0);
  EXPECT_EQ(host.total_acquired(), host.total_released());
}

TEST_F(NewWorldTest, SecondNewReleasesTheFirstWithItsOwnVersion) {
  DirectCall call(host, 0);
  FX_NewWorld buffer(*call.env);
  ASSERT_EQ(buffer.New(4, 4, PF_PixelFormat_ARGB128, false), PF_Err_NONE);
  ASSERT_EQ(buffer.New(6, 2, PF_PixelFormat_ARGB32, false), PF_Err_NONE);
  EXPECT_EQ(disposes(2), 1);
  EXPECT_EQ(disposes(1), 0);
  EXPECT_EQ(host.live_worlds(), 1);
  EXPECT_EQ(buffer.Layer()->width, 6);
  ASSERT_EQ(buffer.New(3, 3, PF_PixelFormat_ARGB128, false), PF_Err_NONE);
  EXPECT_EQ(disposes(1), 1);
  EXPECT_EQ(buffer.Dispose(), PF_Err_NONE);
  EXPECT_EQ(disposes(2), 2);
  EXPECT_EQ(host.live_worlds(), 0);
}

TEST_F(NewWorldTest, FailedNewHoldsNothing) {
  DirectCall call(host, 0);
  FX_NewWorld buffer(*call.env);
  ASSERT_EQ(buffer.New(4, 4, PF_PixelFormat_ARGB32, false), PF_Err_NONE);
  host.faults().fail_new_world_at = host.new_world_calls + 1;
  EXPECT_EQ(buffer.New(4, 4, PF_PixelFormat_ARGB32, false), PF_Err_OUT_OF_MEMORY);
  EXPECT_EQ(buffer.Layer(), nullptr);
  EXPECT_EQ(host.live_worlds(), 0);  // the first buffer went before the attempt
  const int disposed = disposes(1);
  EXPECT_EQ(buffer.Dispose(), PF_Err_NONE);
  EXPECT_EQ(disposes(1), disposed);
}
