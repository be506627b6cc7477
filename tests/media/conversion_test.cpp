// The fixed rules between file samples and host values, and the preview box
// average. (File types, reading and writing are checked end to end.)
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "media/image.h"

namespace pluvane::media {
namespace {

using S = SampleType;
using D = Depth;

struct Rule {
  float from;
  S type;
  D depth;
  float to;
};

TEST(Conversion, FileToHost) {
  const Rule rules[] = {
      {200, S::kUInt8, D::k8, 200},
      // round(v × 32768 / 65535)
      {65535, S::kUInt16, D::k16, 32768}, {32768, S::kUInt16, D::k16, 16384},  // 16384.25
      {1, S::kUInt16, D::k16, 1}, {3, S::kUInt16, D::k16, 2},                  // 0.500008, 1.500023
      {65534, S::kUInt16, D::k16, 32767},                                      // 32767.49999
      // (v × 32768 + 128) / 255 in integers
      {255, S::kUInt8, D::k16, 32768}, {128, S::kUInt8, D::k16, 16448}, {1, S::kUInt8, D::k16, 129},  // .75, .0039
      // round(v × 255 / 65535)
      {65535, S::kUInt16, D::k8, 255}, {257, S::kUInt16, D::k8, 1},
      {128, S::kUInt16, D::k8, 0}, {129, S::kUInt16, D::k8, 1},  // 0.498, 0.502
      // v / full scale
      {51, S::kUInt8, D::k32, 0.2f}, {13107, S::kUInt16, D::k32, 0.2f}, {65535, S::kUInt16, D::k32, 1},
      // float: clamped to 0..1, then round(v × full scale); float depth keeps it
      {0.5f, S::kFloat, D::k8, 128}, {-0.25f, S::kFloat, D::k8, 0}, {1.5f, S::kFloat, D::k8, 255},
      {0.5f, S::kFloat, D::k16, 16384}, {7, S::kFloat, D::k16, 32768},
      {1.7f, S::kFloat, D::k32, 1.7f}, {-0.3f, S::kFloat, D::k32, -0.3f},
  };
  for (const Rule& r : rules)
    EXPECT_EQ(FileToHost(r.from, r.type, r.depth), r.to) << r.from << " at depth " << DepthBits(r.depth);
}

TEST(Conversion, HostToFile) {
  const Rule rules[] = {
      // round(v × 65535 / 32768)
      {32768, S::kUInt16, D::k16, 65535}, {16384, S::kUInt16, D::k16, 32768}, {1, S::kUInt16, D::k16, 2},  // 32767.5, 1.99997
      // float: clamped, then round(v × full scale)
      {0.2f, S::kUInt8, D::k32, 51}, {0.5f, S::kUInt16, D::k32, 32768}, {2, S::kUInt16, D::k32, 65535},
      {-1, S::kUInt8, D::k32, 0}, {1.25f, S::kFloat, D::k32, 1.25f},
  };
  for (const Rule& r : rules)
    EXPECT_EQ(HostToFile(r.from, r.depth, r.type), r.to) << r.from << " at depth " << DepthBits(r.depth);
  for (int v = 0; v <= 255; ++v) EXPECT_EQ(HostToFile(FileToHost(v, S::kUInt8, D::k8), D::k8, S::kUInt8), v);
}

TEST(BoxDownsample, SixteenBitRoundsAndFloatKeepsTheMean) {
  HostImage deep{2, 2, D::k16, std::vector<float>(16, 0.0f)};
  deep.rgba[0] = 32768, deep.rgba[12] = 1;  // (32768 + 1) / 4 = 8192.25
  EXPECT_EQ(BoxDownsample(deep, 2).rgba[0], 8192);
  HostImage flt{2, 2, D::k32, std::vector<float>(16, 0.0f)};
  flt.rgba[0] = 1.0f, flt.rgba[4] = 0.5f;
  EXPECT_EQ(BoxDownsample(flt, 2).rgba[0], 0.375f);
}

}  // namespace
}  // namespace pluvane::media
