#include "ripple_support.h"

namespace {

PF_InData Resolution(PF_RationalScale dsx, PF_RationalScale dsy, PF_RationalScale aspect) {
  PF_InData in{};
  in.downsample_x = dsx;
  in.downsample_y = dsy;
  in.pixel_aspect_ratio = aspect;
  return in;
}

PF_InData Time(A_long time, A_long local_step) {
  PF_InData in{};
  in.current_time = time;
  in.local_time_step = local_step;
  in.time_step = 7;
  in.time_scale = 3000;
  return in;
}

}  // namespace

using GetterTest = RippleTest;

TEST_F(GetterTest, ConvertValuesAndCheckInWhatTheyCheckOut) {
  host.settings().downsample_x = {1, 2};
  host.settings().downsample_y = {1, 2};
  host.SetFixed(kParamDripRate, 1.5);  // stored as 98304
  host.SetFixed(kParamRippling, 90.5);
  host.SetPopup(kParamUsing, kUsingAELights);
  host.SetColor(kParamLightColor, PF_Pixel{0, 10, 20, 30});
  host.SetPoint(kParamLightPosition, 100.0, 50.0);
  DirectCall call(host, 0);
  PF_InData* in = call.in();
  host.ClearCheckoutLog();

  EXPECT_EQ(Get_Fix_Slider(in, kParamDripRate, 0, 1, 30), 1.5);
  EXPECT_EQ(Get_Angle(in, kParamRippling, 0, 1, 30), 90.5);
  EXPECT_EQ(Get_PopUp(in, kParamUsing, 0, 1, 30), kUsingAELights);
  const PF_Pixel c = Get_Color(in, kParamLightColor, 0, 1, 30);
  EXPECT_EQ((std::vector<int>{c.alpha, c.red, c.green, c.blue}), (std::vector<int>{255, 10, 20, 30}));
  const FX_D_Point2D p = Get_Point(in, kParamLightPosition, 0, 1, 30);  // buffer pixels
  EXPECT_EQ(p.x, 50.0);
  EXPECT_EQ(p.y, 25.0);
  EXPECT_EQ(host.checkout_count(), 5);
  EXPECT_EQ(host.checkin_count(), 5);
}

TEST_F(GetterTest, ReadAtTheTimeGiven) {
  host.SetKeys(kParamSpreading, {{0.0, 100.0}, {1.0, 200.0}});
  DirectCall call(host, 0);
  EXPECT_EQ(Get_Fix_Slider(call.in(), kParamSpreading, 15, 1, 30), 150.0);
  EXPECT_EQ(Get_Fix_Slider(call.in(), kParamSpreading, 2, 1, 2), 200.0);
}

TEST_F(GetterTest, FailedCheckoutReadsZeroAndStillChecksIn) {
  DirectCall call(host, 0);
  host.ClearCheckoutLog();
  host.faults().fail_checkout_param_at = host.checkout_calls + 1;
  EXPECT_EQ(Get_Fix_Slider(call.in(), kParamRippleHeight, 0, 1, 30), 0.0);
  EXPECT_EQ(host.checkin_count(), 1);
}

TEST(ScaleSnapshot, HalfResolutionWithWidePixels) {
  const PF_InData in = Resolution({1, 2}, {1, 2}, {2, 1});
  const FX_PARc s(&in);
  EXPECT_EQ(s.invAspect, 0.5);
  EXPECT_EQ(s.invScaleX, 0.25);
  EXPECT_EQ(s.invScaleY, 0.5);
  EXPECT_EQ(s.scaleX, 4.0);
  EXPECT_EQ(s.scaleY, 2.0);
  EXPECT_EQ(s.meanScale, 3.0);
  EXPECT_EQ(s.fixScaleX, 16384.0);
  EXPECT_EQ(s.fixScaleY, 32768.0);
  EXPECT_EQ((std::vector<float>{s.meanScaleF, s.invAspectF, s.scaleXF, s.scaleYF, s.invScaleXF,
                                s.invScaleYF, s.fixScaleXF, s.fixScaleYF}),
            (std::vector<float>{3.0f, 0.5f, 4.0f, 2.0f, 0.25f, 0.5f, 16384.0f, 32768.0f}));
}

TEST(CopyTime, SplitsTimeAtFrameStartTowardZero) {
  struct Case {
    A_long time, step, start, offset;
    double fraction;
  };
  for (const Case& c : {Case{250, 100, 200, 50, 0.5}, Case{-250, 100, -200, -50, -0.5},
                        Case{300, 100, 300, 0, 0.0}, Case{0, 100, 0, 0, 0.0}, Case{0, 7, 0, 0, 0.0}}) {
    SCOPED_TRACE(c.time);
    const PF_InData in = Time(c.time, c.step);
    const FX_TimeInfo t = FX_CopyTime(&in);
    EXPECT_EQ(t.time, c.time);
    EXPECT_EQ(t.frameStart, c.start);
    EXPECT_EQ(t.frameOffset, c.offset);
    EXPECT_EQ(t.frameFraction, c.fraction);
    EXPECT_EQ(t.timeScale, 3000u);
    EXPECT_EQ(t.timeStep, 7);
    EXPECT_EQ(t.localTimeStep, c.step);
  }
}

TEST(VectorDivision, DividesUnlessTheDivisorIsZero) {
  const FX_D_Point unit = FX_VectorDivision({3, 4, 0}, 5);
  EXPECT_DOUBLE_EQ(unit.x, 0.6);
  EXPECT_DOUBLE_EQ(unit.y, 0.8);
  EXPECT_EQ(unit.z, 0.0);
  const FX_D_Point same = FX_VectorDivision({3, 4, 0}, 0);
  EXPECT_EQ((std::vector<double>{same.x, same.y, same.z}), (std::vector<double>{3, 4, 0}));
}
