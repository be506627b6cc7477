// A stand-in host with the effect's controls declared, a small layer, and
// helpers to render one frame of it.
#pragma once

#include <gtest/gtest.h>

#include "minihost/composition.h"
#include "minihost/host.h"
#include "tests/support/test_host.h"
#include "common/params.h"
#include "tests/support/world_util.h"

class RenderTest : public ::testing::Test {
 protected:
  static constexpr A_long kW = 48, kH = 32;

  RenderTest() : host(minihost::MiniHost::DefaultModulePath()) {
    host.settings().width = kW;
    host.settings().height = kH;
    host.settings().time_scale = 30;
  }
  void SetUp() override { ASSERT_EQ(host.ParamsSetup(), PF_Err_NONE); }

  minihost::WorldPtr Layer(PF_PixelFormat format, A_long w = kW, A_long h = kH) {
    minihost::WorldPtr world = host.NewWorld(w, h, format);
    testutil::FillPattern(world.get());
    return world;
  }

  // Renders frame `frame` of `input` into a new output of the same size and format.
  minihost::WorldPtr Render(const PF_EffectWorld* input, A_long frame = 12,
                            minihost::Protocol protocol = minihost::Protocol::kSmart, PF_Err* err_out = nullptr) {
    minihost::WorldPtr out = host.NewWorld(input->width, input->height, minihost::MiniHost::WorldFormat(input));
    testutil::Scribble(out.get(), 0x77);  // an unwritten pixel shows
    const PF_Err err = host.RenderFrame({.time = frame * host.settings().time_step,
                                         .input = const_cast<PF_EffectWorld*>(input),
                                         .output = out.get(),
                                         .protocol = protocol});
    if (err_out) *err_out = err;
    else EXPECT_EQ(err, PF_Err_NONE);
    return out;
  }

  // Plain lighting: the output is the sample times `ambient`, whatever the normal.
  void AmbientOnly(double ambient_percent = 100) {
    host.SetFixed(kParamAmbient, ambient_percent);
    host.SetFixed(kParamDiffuse, 0);
    host.SetFixed(kParamSpecular, 0);
  }

  minihost::TestHost host;
};

inline const PF_PixelFormat kAllFormats[] = {PF_PixelFormat_ARGB32, PF_PixelFormat_ARGB64, PF_PixelFormat_ARGB128};
