// The pixel kernel when the host's sampling fails. (Where it samples, with
// which radii, folded at the edges and capped, every frame of
// tests/regression shows byte for byte: the strongest displacements both
// ways, a layer too narrow for the radius, expanded and calm edges.)
#include <gtest/gtest.h>

#include <vector>

#include "minihost/host.h"
#include "kernel/kernel.h"

namespace {

struct SampleLog {
  PF_Fixed x = 0, y = 0;
  PF_SampPB pb{};
  int calls = 0;
  PF_Err result = PF_Err_NONE;
  PF_PixelFloat colour{1, 0.5f, 0.25f, 0.125f};
};
SampleLog g_log;

PF_Err RecordingSample(PF_ProgPtr, PF_Fixed x, PF_Fixed y, const PF_SampPB* pb, PF_PixelFloat* dst) {
  g_log.x = x;
  g_log.y = y;
  g_log.pb = *pb;
  ++g_log.calls;
  *dst = g_log.colour;
  return g_log.result;
}

class BlobRIPTest : public ::testing::Test {
 protected:
  static constexpr A_long kW = 8, kH = 4;

  void SetUp() override {
    g_log = SampleLog{};
    in_data.utils = minihost::UtilCallbacks();
    heights.assign(kW * kH, 0.0f);
    field.data = reinterpret_cast<PF_PixelPtr>(heights.data());
    field.width = kW;
    field.height = kH;
    field.rowbytes = kW * 4;
    rip.shade = new LightShade(&in_data, ambient, 0, 0, 0, 0, 50);
    rip.shade->AddAmbientLight(FX_Double_Pixel{1, 1, 1, 1});
    rip.heightWorld = &field;
    rip.heightStride = kW;
    rip.maxX = 1000;
    rip.maxY = 1000;
    rip.inData = &in_data;
    rip.sampleFn = RecordingSample;
  }

  PF_PixelFloat Run(A_long x, A_long y, PF_Err* err = nullptr) {
    PF_PixelFloat out{-1, -1, -1, -1};
    const PF_Err e = BlobRIP<PF_PixelFloat>(&rip, x, y, nullptr, &out);
    if (err) *err = e;
    return out;
  }

  double ambient = 1.0;
  PF_InData in_data{};
  std::vector<float> heights;
  PF_LayerDef field{};
  RIPInfo<PF_PixelFloat> rip;
};

TEST_F(BlobRIPTest, AFailedSampleIsStillShadedAndStored) {
  g_log.result = PF_Err_INTERNAL_STRUCT_DAMAGED;
  delete rip.shade;
  rip.shade = new LightShade(&in_data, 2.0, 0, 0, 0, 0, 50);
  rip.shade->AddAmbientLight(FX_Double_Pixel{1, 1, 1, 1});
  PF_Err err = PF_Err_NONE;
  const PF_PixelFloat out = Run(2, 2, &err);
  EXPECT_EQ(err, PF_Err_INTERNAL_STRUCT_DAMAGED);
  EXPECT_FLOAT_EQ(out.red, 1.0f);   // 0.5 × 2
  EXPECT_FLOAT_EQ(out.blue, 0.25f);
  EXPECT_FLOAT_EQ(out.alpha, 1.0f);  // the sample's alpha stays
}

}  // namespace
