// The light colour read in each render depth, across host versions.
#include "tests/support/test_host.h"
#include "kernel/color_param.h"

#include <gtest/gtest.h>

#include <array>

#include "minihost/color_suite.h"  // the stand-in host's colour suite hooks
#include "tests/support/direct_call.h"
#include "common/params.h"

namespace {

template <class P>
std::array<double, 4> ARGB(const P& p) { return {double(p.alpha), double(p.red), double(p.green), double(p.blue)}; }

class ColorControl : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(host.ParamsSetup(), PF_Err_NONE);
    host.SetColor(kParamLightColor, PF_Pixel{0, 255, 128, 0});
  }
  // The light colour at time 0 in depth T, read through one call as a render does.
  template <class T>
  std::array<double, 4> Read() {
    DirectCall call(host, 0);
    return ARGB(GetColorControl<T>(*call.env, kParamLightColor, 0, 1, 30));
  }
  int SuiteCalls() const { return host.suite_count("PF ColorParamSuite", 1).acquired; }

  minihost::TestHost host{minihost::MiniHost::DefaultModulePath()};
};

TEST_F(ColorControl, EightBitIsTheStoredColourWithOpaqueAlpha) {
  EXPECT_EQ(Read<PF_Pixel>(), (std::array<double, 4>{255, 255, 128, 0}));
  EXPECT_EQ(SuiteCalls(), 0);
}

// A host of version 12.10, or a failing colour suite, gives the 8-bit colour widened.
TEST_F(ColorControl, OldHostOrFailingSuiteWidensTheEightBitColour) {
  minihost::SetFloatColor(host, kParamLightColor, PF_PixelFloat{1, 0.25f, 0.25f, 0.25f});
  for (const auto& [version, err] : {std::pair{PF_SpecVersion{12, 10}, PF_Err_NONE},
                                     {PF_SpecVersion{13, 0}, PF_Err_INTERNAL_STRUCT_DAMAGED}}) {
    SCOPED_TRACE(testing::Message() << version.major << "." << version.minor);
    host.settings().version = version;
    minihost::SetColorSuiteError(host, err);
    EXPECT_EQ(Read<PF_PixelFloat>(), (std::array<double, 4>{1.0, 1.0, 0.501960813999176f, 0.0}));
    EXPECT_EQ(Read<PF_Pixel16>(), (std::array<double, 4>{32768, 32768, 16448, 0}));
    EXPECT_EQ(host.checkout_count(), host.checkin_count());
  }
  EXPECT_EQ(SuiteCalls(), 2);  // asked by 13.0 only
}

TEST_F(ColorControl, NewerHostsAnswerThroughTheColourSuite) {
  minihost::SetFloatColor(host, kParamLightColor, PF_PixelFloat{1.0f, 1.5f, 0.5f, -0.25f});
  for (PF_SpecVersion v : {PF_SpecVersion{12, 11}, PF_SpecVersion{13, 0}}) {
    SCOPED_TRACE(testing::Message() << v.major << "." << v.minor);
    host.settings().version = v;
    EXPECT_EQ(Read<PF_PixelFloat>(), (std::array<double, 4>{1.0, 1.5, 0.5, -0.25}));  // unclamped
    EXPECT_EQ(Read<PF_Pixel16>(), (std::array<double, 4>{32768, 32768, 16384, 0}));
  }
  EXPECT_EQ(SuiteCalls(), 4);
  EXPECT_EQ(host.suite_count("PF ColorParamSuite", 1).released, 4);
  EXPECT_EQ(host.checkout_count(), host.checkin_count());
}

TEST_F(ColorControl, HostWithoutTheColourSuiteRaisesTheMissingSuiteError) {
  host.settings().version = {12, 11};
  host.RemoveSuite("PF ColorParamSuite", 1);
  try {
    Read<PF_Pixel16>();
    ADD_FAILURE() << "no missing-suite error";
  } catch (int err) {
    EXPECT_EQ(err, PF_Err_BAD_CALLBACK_PARAM);
  }
  EXPECT_EQ(host.checkout_count(), host.checkin_count());
}

}  // namespace
