// Shared set-up of the ripple tests: a stand-in host with the effect's
// controls declared, one call context made current on this thread (so module
// functions can be called directly), and a height field rendered the way a
// frame renders it.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "host.h"
#include "host/fxenv.h"
#include "host/params.h"
#include "ripple/drops.h"
#include "ripple/height_field.h"
#include "ripple/new_world.h"
#include "ripple/snapshot.h"

// One host call made by hand: the context at `time`, the host current on this
// thread, and the call's Fxenv (destroyed first, releasing its suites).
struct DirectCall {
  DirectCall(minihost::MiniHost& host, A_long time) : current(&host) {
    host.PrepareContext(ctx, time);
    env = std::make_unique<Fxenv>(&ctx.in_data, &ctx.out_data, ctx.param_ptrs.data(), nullptr);
  }
  PF_InData* in() { return &ctx.in_data; }

  minihost::ScopedCurrentHost current;
  minihost::CallContext ctx;
  std::unique_ptr<Fxenv> env;
};

// Collects every drop the generator reports.
inline void CollectDrop(void* context, const FX_DropInfo& drop) {
  static_cast<std::vector<FX_DropInfo>*>(context)->push_back(drop);
}

inline bool SameDrop(const FX_DropInfo& a, const FX_DropInfo& b) {
  return a.centre.x == b.centre.x && a.centre.y == b.centre.y && a.amplitude == b.amplitude &&
         a.radius == b.radius && a.wave == b.wave && a.birthIndex == b.birthIndex &&
         a.candidate == b.candidate && a.seed == b.seed;
}

class RippleTest : public ::testing::Test {
 protected:
  RippleTest() : host(minihost::MiniHost::DefaultModulePath()) {
    host.settings().width = 48;
    host.settings().height = 32;
  }
  void SetUp() override { ASSERT_EQ(host.ParamsSetup(), PF_Err_NONE); }

  // The frame's drop values for a layer of the host's size, scattered over the
  // whole layer. False when the frame would pass its input through.
  static bool Setup(PF_InData* in, FX_DropSetup* setup) {
    const FX_PARc scale(in);
    const double longevity =
        Get_Fix_Slider(in, kParamLongevity, in->current_time, in->time_step, in->time_scale);
    return FX_PrepareDrops(in, longevity, in->width * scale.scaleX, in->height * scale.scaleY, 0.0,
                           0.0, setup);
  }

  // The drops of the frame at `time`, observed only.
  std::vector<FX_DropInfo> Drops(A_long time, PF_Err* err = nullptr) {
    DirectCall call(host, time);
    FX_DropSetup setup;
    std::vector<FX_DropInfo> drops;
    PF_Err result = PF_Err_NONE;
    if (Setup(call.in(), &setup)) {
      FX_PAR par{};
      result = FX_GenerateDrops(call.in(), setup, &par, nullptr, CollectDrop, &drops);
    }
    if (err) *err = result;
    return drops;
  }

  // The height field of the frame at `time`, as floats row by row.
  std::vector<float> Field(A_long time) {
    DirectCall call(host, time);
    PF_InData* in = call.in();
    FX_DropSetup setup;
    EXPECT_TRUE(Setup(in, &setup));
    const FX_PARc scale(in);
    FX_PAR par{in->width * scale.scaleX, in->height * scale.scaleY, scale.invAspect, scale.scaleX,
               scale.scaleY, scale.invScaleX, scale.invScaleY};
    FX_NewWorld buffer(*call.env);
    EXPECT_EQ(buffer.New(in->width, in->height, PF_PixelFormat_ARGB32, false), PF_Err_NONE);
    PF_EffectWorld* field = buffer.Layer();
    const PF_Pixel zero{0, 0, 0, 0};
    EXPECT_EQ(in->utils->fill(in->effect_ref, &zero, nullptr, field), PF_Err_NONE);
    EXPECT_EQ(FX_GenerateDrops(in, setup, &par, field), PF_Err_NONE);
    std::vector<float> cells(static_cast<size_t>(field->width) * field->height);
    for (A_long y = 0; y < field->height; ++y)
      std::memcpy(&cells[static_cast<size_t>(y) * field->width],
                  reinterpret_cast<const char*>(field->data) + y * field->rowbytes,
                  sizeof(float) * field->width);
    return cells;
  }

  minihost::MiniHost host;
};
