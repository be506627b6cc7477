// The pixel kernel on a hand-made height field, with a sample function that
// records what the kernel asks the host for.
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

  double SampledX() const { return g_log.x / 65536.0; }

  // A step in the field just left of column 1, steep enough that the normal
  // lies almost flat along +x: the displacement is then nearly `displace`.
  void SteepStep() { heights[1] = 1e7f; }

  double ambient = 1.0;
  PF_InData in_data{};
  std::vector<float> heights;
  PF_LayerDef field{};
  RIPInfo<PF_PixelFloat> rip;
};

TEST_F(BlobRIPTest, FlatFieldSamplesInPlaceWithHalfPixelRadii) {
  rip.hiQuality = true;
  rip.offsetX = 3;
  rip.offsetY = 2;
  Run(4, 1);
  EXPECT_EQ(g_log.x, 7 * 65536);
  EXPECT_EQ(g_log.y, 3 * 65536);
  EXPECT_EQ(g_log.pb.x_radius, 32768);
  EXPECT_EQ(g_log.pb.y_radius, 32768);
  EXPECT_EQ(g_log.pb.area, 65536);
}

TEST_F(BlobRIPTest, FoldMirrorsPositionsAtTheEdges) {
  rip.maxX = 100;  // standard quality: span 100, no radius
  const double positions[][2] = {{50, 50}, {-3, 3}, {103, 97}, {203, 3}, {-103, 97}};
  for (const auto& p : positions) {
    rip.offsetX = p[0];
    Run(0, 0);
    EXPECT_DOUBLE_EQ(SampledX(), p[1]) << "from " << p[0];
  }
}

TEST_F(BlobRIPTest, HighQualityRadiusIsCappedAt64) {
  rip.hiQuality = true;
  rip.displace = -400;
  SteepStep();
  Run(1, 0);
  EXPECT_EQ(g_log.pb.x_radius, 64 * 65536 + 32768);
  EXPECT_EQ(g_log.pb.y_radius, 32768);
  EXPECT_EQ(g_log.pb.area, FixMul(64 * 65536 + 32768, 32768) * 4);
  EXPECT_GE(SampledX(), 64.0);  // kept a radius away from the edge
}

TEST_F(BlobRIPTest, ABlurTooWideToFoldIsNarrowedAndThePixelWritten) {
  rip.hiQuality = true;
  rip.maxX = 99;
  rip.displace = -198;  // rx just below 49.5: a span near 0
  SteepStep();
  PF_Err err = -1;
  const PF_PixelFloat out = Run(1, 0, &err);
  EXPECT_EQ(err, PF_Err_NONE);
  EXPECT_EQ(g_log.calls, 1);
  EXPECT_EQ(g_log.pb.x_radius, 49 * 65536 + 32768);  // span held at 1
  EXPECT_GE(SampledX(), 49.0);
  EXPECT_LE(SampledX(), 50.0);
  EXPECT_FLOAT_EQ(out.red, 0.5f);
}

TEST_F(BlobRIPTest, AWideEnoughLayerKeepsTheFullRadius) {
  rip.hiQuality = true;
  rip.maxX = 101;  // span just above 1 for the same blur
  rip.displace = -198;
  SteepStep();
  Run(1, 0);
  EXPECT_GT(g_log.pb.x_radius, 49 * 65536 + 32768);
}

TEST_F(BlobRIPTest, ALayerOneUnitWideSamplesInsideIt) {
  rip.maxX = 0;  // standard quality, span 0
  rip.maxY = 0;
  rip.displace = 50;
  SteepStep();
  Run(1, 0);
  EXPECT_EQ(g_log.x, 0);
  EXPECT_EQ(g_log.y, 0);
}

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

TEST(FixMul, MultipliesSixteenSixteen) {
  EXPECT_EQ(FixMul(32768, 32768), 16384);
  EXPECT_EQ(FixMul(3 * 65536, -2 * 65536), -6 * 65536);
  EXPECT_EQ(FixMul(0x7fffffff, 0x7fffffff), 0x7fffffff);  // held at the range's end
}

}  // namespace
