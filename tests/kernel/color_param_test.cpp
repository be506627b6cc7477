// The light colour read in each render depth, across host versions.
#include "kernel/color_param.h"

#include <gtest/gtest.h>

#include "color_param.h"  // the stand-in host's colour suite hooks
#include "host.h"
#include "host/params.h"

namespace {

class ColorControl : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(host.ParamsSetup(), PF_Err_NONE);
    host.SetColor(kParamLightColor, PF_Pixel{0, 255, 128, 0});
  }

  // Reads the light colour at time 0 through one environment, as a render does.
  template <class T>
  T Read() {
    minihost::CallContext ctx;
    host.PrepareContext(ctx, 0);
    minihost::ScopedCurrentHost current(&host);
    Fxenv env(&ctx.in_data, &ctx.out_data, ctx.param_ptrs.data(), nullptr);
    return GetColorControl<T>(env, kParamLightColor, 0, 1, 30);
  }

  int SuiteAcquired() const { return host.suite_count("PF ColorParamSuite", 1).acquired; }

  minihost::MiniHost host{minihost::MiniHost::DefaultModulePath()};
};

TEST_F(ColorControl, EightBitIsTheStoredColourWithOpaqueAlpha) {
  host.settings().version = {13, 0};
  const PF_Pixel c = Read<PF_Pixel>();
  EXPECT_EQ(c.alpha, 255);
  EXPECT_EQ(c.red, 255);
  EXPECT_EQ(c.green, 128);
  EXPECT_EQ(c.blue, 0);
  EXPECT_EQ(SuiteAcquired(), 0);
}

TEST_F(ColorControl, HostOfVersion12_10WidensTheEightBitColour) {
  host.settings().version = {12, 10};
  minihost::SetFloatColor(host, kParamLightColor, PF_PixelFloat{1, 0.25f, 0.25f, 0.25f});

  const PF_PixelFloat f = Read<PF_PixelFloat>();
  EXPECT_EQ(f.alpha, 1.0f);
  EXPECT_EQ(f.red, 1.0f);
  EXPECT_EQ(f.green, 0.501960813999176f);
  EXPECT_EQ(f.blue, 0.0f);

  const PF_Pixel16 p = Read<PF_Pixel16>();
  EXPECT_EQ(p.alpha, 32768);
  EXPECT_EQ(p.red, 32768);
  EXPECT_EQ(p.green, 16448);
  EXPECT_EQ(p.blue, 0);
  EXPECT_EQ(SuiteAcquired(), 0);
}

TEST_F(ColorControl, NewerHostsAnswerThroughTheColourSuite) {
  minihost::SetFloatColor(host, kParamLightColor, PF_PixelFloat{1.0f, 1.5f, 0.5f, -0.25f});
  for (PF_SpecVersion v : {PF_SpecVersion{12, 11}, PF_SpecVersion{13, 0}}) {
    SCOPED_TRACE(testing::Message() << v.major << "." << v.minor);
    host.settings().version = v;

    const PF_PixelFloat f = Read<PF_PixelFloat>();  // unclamped
    EXPECT_EQ(f.alpha, 1.0f);
    EXPECT_EQ(f.red, 1.5f);
    EXPECT_EQ(f.green, 0.5f);
    EXPECT_EQ(f.blue, -0.25f);

    const PF_Pixel16 p = Read<PF_Pixel16>();
    EXPECT_EQ(p.alpha, 32768);
    EXPECT_EQ(p.red, 32768);
    EXPECT_EQ(p.green, 16384);
    EXPECT_EQ(p.blue, 0);
  }
  EXPECT_EQ(SuiteAcquired(), 4);
  EXPECT_EQ(host.suite_count("PF ColorParamSuite", 1).released, 4);
  EXPECT_EQ(host.checkout_count(), host.checkin_count());
}

TEST_F(ColorControl, FailingColourSuiteFallsBackToTheEightBitColour) {
  host.settings().version = {13, 0};
  minihost::SetFloatColor(host, kParamLightColor, PF_PixelFloat{1, 0.25f, 0.25f, 0.25f});
  minihost::SetColorSuiteError(host, PF_Err_INTERNAL_STRUCT_DAMAGED);

  const PF_PixelFloat f = Read<PF_PixelFloat>();
  EXPECT_EQ(f.red, 1.0f);
  EXPECT_EQ(f.green, 0.501960813999176f);
  const PF_Pixel16 p = Read<PF_Pixel16>();
  EXPECT_EQ(p.red, 32768);
  EXPECT_EQ(p.green, 16448);
  EXPECT_EQ(host.checkout_count(), host.checkin_count());
}

TEST_F(ColorControl, HostWithoutTheColourSuiteRaisesTheMissingSuiteError) {
  host.settings().version = {12, 11};
  host.RemoveSuite("PF ColorParamSuite", 1);
  try {
    Read<PF_Pixel16>();
    FAIL() << "expected the missing-suite error";
  } catch (int err) {
    EXPECT_EQ(err, PF_Err_BAD_CALLBACK_PARAM);
  }
  EXPECT_EQ(host.checkout_count(), host.checkin_count());
}

}  // namespace
