#include <array>

#include "tests/ripple/ripple_support.h"

using GetterTest = RippleTest;

TEST_F(GetterTest, ConvertValuesReadAtTheTimeGivenAndCheckInWhatTheyCheckOut) {
  host.settings().downsample_x = host.settings().downsample_y = {1, 2};
  host.SetFixed(kParamDripRate, 1.5);  // stored as 98304
  host.SetFixed(kParamRippling, 90.5);
  host.SetPopup(kParamUsing, kUsingAELights);
  host.SetPoint(kParamLightPosition, 100.0, 50.0);
  host.SetKeys(kParamSpreading, {{0.0, 100.0}, {1.0, 200.0}});
  DirectCall call(host, 0);
  PF_InData* in = call.in();
  EXPECT_EQ(Get_Fix_Slider(in, kParamDripRate, 0, 1, 30), 1.5);
  EXPECT_EQ(Get_Angle(in, kParamRippling, 0, 1, 30), 90.5);
  EXPECT_EQ(Get_PopUp(in, kParamUsing, 0, 1, 30), kUsingAELights);
  const FX_D_Point2D p = Get_Point(in, kParamLightPosition, 0, 1, 30);  // in buffer pixels
  EXPECT_EQ(std::make_pair(p.x, p.y), std::make_pair(50.0, 25.0));
  EXPECT_EQ(Get_Fix_Slider(in, kParamSpreading, 2, 1, 2), 200.0);  // 1 s at 2 per second
  host.faults().fail_checkout_param_at = host.recorder().checkout_calls + 1;  // reads 0, still checks in
  EXPECT_EQ(Get_Fix_Slider(in, kParamRippleHeight, 0, 1, 30), 0.0);
  EXPECT_EQ(host.checkout_count(), 5);
  EXPECT_EQ(host.checkin_count(), 6);
}

TEST(Snapshot, ScaleAtHalfResolutionWithWidePixels) {
  PF_InData in{};
  in.downsample_x = in.downsample_y = {1, 2};
  in.pixel_aspect_ratio = {2, 1};
  const FX_PARc s(&in);
  EXPECT_EQ((std::array<double, 8>{s.meanScale, s.invAspect, s.scaleX, s.scaleY, s.invScaleX, s.invScaleY,
                                   s.fixScaleX, s.fixScaleY}),
            (std::array<double, 8>{3.0, 0.5, 4.0, 2.0, 0.25, 0.5, 16384.0, 32768.0}));
  EXPECT_EQ((std::array<float, 8>{s.meanScaleF, s.invAspectF, s.scaleXF, s.scaleYF, s.invScaleXF, s.invScaleYF,
                                  s.fixScaleXF, s.fixScaleYF}),
            (std::array<float, 8>{3.0f, 0.5f, 4.0f, 2.0f, 0.25f, 0.5f, 16384.0f, 32768.0f}));
}

TEST(Snapshot, CopyTimeSplitsAtTheFrameStartTowardZero) {
  struct Case { A_long time, step, start, offset; double fraction; };
  for (const Case& c : {Case{250, 100, 200, 50, 0.5}, {-250, 100, -200, -50, -0.5}, {300, 100, 300, 0, 0.0},
                        {0, 100, 0, 0, 0.0}, {0, 7, 0, 0, 0.0}}) {
    PF_InData in{};
    in.current_time = c.time, in.local_time_step = c.step, in.time_step = 7, in.time_scale = 3000;
    const FX_TimeInfo t = FX_CopyTime(&in);
    EXPECT_EQ((std::array<A_long, 6>{t.time, t.frameStart, t.frameOffset, t.timeStep, t.localTimeStep,
                                     static_cast<A_long>(t.timeScale)}),
              (std::array<A_long, 6>{c.time, c.start, c.offset, 7, c.step, 3000}));
    EXPECT_EQ(t.frameFraction, c.fraction) << c.time;
  }
}

TEST(Snapshot, VectorDivisionUnlessTheDivisorIsZero) {
  const FX_D_Point unit = FX_VectorDivision({3, 4, 0}, 5), same = FX_VectorDivision({3, 4, 0}, 0);
  EXPECT_DOUBLE_EQ(unit.x, 0.6);
  EXPECT_DOUBLE_EQ(unit.y, 0.8);
  EXPECT_EQ(unit.z, 0.0);
  EXPECT_EQ((std::array<double, 3>{same.x, same.y, same.z}), (std::array<double, 3>{3, 4, 0}));
}
