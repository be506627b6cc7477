// The ripple tests' host (controls declared, a 48×32 layer), direct calls into
// the module, and a frame's drops and height field.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "tests/support/direct_call.h"
#include "tests/support/test_host.h"
#include "common/params.h"
#include "ripple/drops.h"
#include "ripple/height_field.h"
#include "ripple/new_world.h"
#include "common/snapshot.h"

// The cells of a float height field, row by row.
inline std::vector<float> Cells(const PF_EffectWorld* w) {
  std::vector<float> cells(static_cast<size_t>(w->width) * w->height);
  for (A_long y = 0; y < w->height; ++y)
    std::memcpy(&cells[static_cast<size_t>(y) * w->width],
                reinterpret_cast<const char*>(w->data) + y * w->rowbytes, sizeof(float) * w->width);
  return cells;
}

class RippleTest : public ::testing::Test {
 protected:
  RippleTest() : host(minihost::MiniHost::DefaultModulePath()) {
    host.settings().width = 48;
    host.settings().height = 32;
  }
  void SetUp() override { ASSERT_EQ(host.ParamsSetup(), PF_Err_NONE); }

  // Generates the frame at `time` (drops scattered over the whole layer) into a height
  // field and/or a list of drops; nothing when the frame passes its input through.
  PF_Err Frame(A_long time, std::vector<float>* field, std::vector<FX_DropInfo>* drops = nullptr) {
    DirectCall call(host, time);
    PF_InData* in = call.in();
    const FX_PARc s(in);
    FX_PAR par{in->width * s.scaleX, in->height * s.scaleY, s.invAspect, s.scaleX, s.scaleY, s.invScaleX, s.invScaleY};
    const double longevity = Get_Fix_Slider(in, kParamLongevity, in->current_time, in->time_step, in->time_scale);
    FX_DropSetup setup;
    if (!FX_PrepareDrops(in, longevity, par.width, par.height, 0.0, 0.0, &setup)) return PF_Err_NONE;
    FX_NewWorld buffer(*call.env);
    if (PF_Err err = field ? buffer.New(in->width, in->height, PF_PixelFormat_ARGB32, true) : PF_Err_NONE) return err;
    const FX_DropObserver collect = [](void* c, const FX_DropInfo& d) {
      static_cast<std::vector<FX_DropInfo>*>(c)->push_back(d);
    };
    const PF_Err err = FX_GenerateDrops(in, setup, &par, buffer.Layer(), drops ? collect : nullptr, drops);
    if (field) *field = Cells(buffer.Layer());
    return err;
  }
  std::vector<FX_DropInfo> Drops(A_long time) {
    std::vector<FX_DropInfo> drops;
    EXPECT_EQ(Frame(time, nullptr, &drops), PF_Err_NONE);
    return drops;
  }
  std::vector<float> Field(A_long time) {
    std::vector<float> field;
    EXPECT_EQ(Frame(time, &field), PF_Err_NONE);
    return field;
  }

  minihost::TestHost host;
};
