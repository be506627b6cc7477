#include <algorithm>

#include "ripple_support.h"

namespace {

// A float field with padded rows and a guard row above and below, so a write
// outside the cells shows.
struct TestField {
  TestField(A_long w, A_long h) : rowbytes(w * 4 + 12), storage(static_cast<size_t>(h + 2) * rowbytes) {
    world.data = reinterpret_cast<PF_PixelPtr>(storage.data() + rowbytes);
    world.rowbytes = rowbytes;
    world.width = w;
    world.height = h;
  }
  float at(A_long x, A_long y) const {
    float v;
    std::memcpy(&v, storage.data() + (y + 1) * rowbytes + 4 * x, sizeof v);
    return v;
  }
  // True when nothing but the cells was written.
  bool OnlyCellsWritten() const {
    std::vector<uint8_t> rest = storage;
    for (A_long y = 0; y < world.height; ++y)
      std::fill_n(rest.begin() + (y + 1) * rowbytes, 4 * world.width, 0);
    return std::all_of(rest.begin(), rest.end(), [](uint8_t b) { return b == 0; });
  }
  bool Calm() const {
    return std::all_of(storage.begin(), storage.end(), [](uint8_t b) { return b == 0; });
  }

  A_long rowbytes;
  std::vector<uint8_t> storage;
  PF_LayerDef world{};
};

class DrawForceTest : public ::testing::Test {
 protected:
  DrawForceTest() { in.utils = minihost::UtilCallbacks(); }
  void Draw(TestField& f, double x, double y, double amplitude, double radius, double wave,
            FX_PAR* scale = nullptr) {
    FX_DrawForce(&in, scale ? scale : &unit, FX_D_Point{x, y, 0.0}, amplitude, radius, wave, &f.world);
  }
  PF_InData in{};
  FX_PAR unit{64, 64, 1, 1, 1, 1, 1};
};

}  // namespace

TEST_F(DrawForceTest, StatedRippleHeights) {
  TestField f(32, 32);
  Draw(f, 16, 16, 1.0, 10.0, 0.1);
  // Distance 5 along either axis and on the diagonal (3, 4).
  EXPECT_EQ(f.at(21, 16), -1.1985638141632080f);
  EXPECT_EQ(f.at(16, 11), -1.1985638141632080f);
  EXPECT_EQ(f.at(19, 20), -1.1985638141632080f);
  EXPECT_EQ(static_cast<double>(f.at(13, 12)), static_cast<double>(static_cast<float>(-1.1985638465105075)));
  EXPECT_EQ(f.at(16, 16), 0.0f);  // the centre
  EXPECT_EQ(f.at(26, 16), 0.0f);  // exactly at the radius
  EXPECT_EQ(f.at(16, 6), 0.0f);
  EXPECT_TRUE(f.OnlyCellsWritten());

  TestField g(32, 32);
  Draw(g, 16, 16, 2.0, 10.0, 0.1);
  EXPECT_EQ(g.at(24, 16), static_cast<float>(-0.7120308815694995));
}

TEST_F(DrawForceTest, NoRadiusDrawsNothing) {
  TestField f(16, 16);
  Draw(f, 8, 8, 1.0, 0.0, 0.1);
  Draw(f, 8, 8, 1.0, -3.0, 0.1);
  EXPECT_TRUE(f.Calm());
}

TEST_F(DrawForceTest, RipplesBeyondEverySideChangeNothing) {
  TestField f(32, 24);
  for (const FX_D_Point c : {FX_D_Point{-12, 12, 0}, FX_D_Point{44, 12, 0}, FX_D_Point{16, -12, 0},
                             FX_D_Point{16, 36, 0}, FX_D_Point{-400, -400, 0}, FX_D_Point{1e12, 5, 0}})
    Draw(f, c.x, c.y, 1.0, 10.0, 0.3);
  EXPECT_TRUE(f.Calm());
}

TEST_F(DrawForceTest, RipplesOverAnEdgeAreClippedToTheBuffer) {
  // Each ripple overlaps one side of a 32×32 field; the same ripple drawn 20
  // pixels further in on a larger field gives the cells the clipped one keeps.
  for (const FX_D_Point c : {FX_D_Point{2, 16, 0}, FX_D_Point{29, 16, 0}, FX_D_Point{16, 2, 0},
                             FX_D_Point{16, 29, 0}, FX_D_Point{1, 30, 0}}) {
    SCOPED_TRACE(testing::Message() << c.x << "," << c.y);
    TestField small(32, 32), large(72, 72);
    Draw(small, c.x, c.y, 1.5, 9.0, 0.4);
    Draw(large, c.x + 20, c.y + 20, 1.5, 9.0, 0.4);
    EXPECT_TRUE(small.OnlyCellsWritten());
    int changed = 0;
    for (A_long y = 0; y < 32; ++y)
      for (A_long x = 0; x < 32; ++x) {
        ASSERT_EQ(small.at(x, y), large.at(x + 20, y + 20)) << x << "," << y;
        changed += small.at(x, y) != 0.0f;
      }
    EXPECT_GT(changed, 0);
  }
}

TEST_F(DrawForceTest, CellsStandForTheirWorkingUnitPositions) {
  // Half resolution with wide pixels: buffer cell (x, y) is working position
  // (4x, 2y), so it matches full-resolution cell (4x, 2y) of the same ripple.
  FX_PAR coarse{64, 64, 0.5, 4.0, 2.0, 0.25, 0.5};
  TestField full(64, 64), half(16, 32);
  Draw(full, 32, 30, 1.0, 14.0, 0.25);
  Draw(half, 32, 30, 1.0, 14.0, 0.25, &coarse);
  int changed = 0;
  for (A_long y = 0; y < 32; ++y)
    for (A_long x = 0; x < 16; ++x) {
      ASSERT_EQ(half.at(x, y), full.at(4 * x, 2 * y)) << x << "," << y;
      changed += half.at(x, y) != 0.0f;
    }
  EXPECT_GT(changed, 10);
}

TEST_F(DrawForceTest, OverlappingRipplesAdd) {
  TestField once(32, 32), twice(32, 32);
  Draw(once, 15, 17, 0.8, 11.0, 0.35);
  Draw(twice, 15, 17, 0.8, 11.0, 0.35);
  Draw(twice, 15, 17, 0.8, 11.0, 0.35);
  for (A_long y = 0; y < 32; ++y)
    for (A_long x = 0; x < 32; ++x) ASSERT_EQ(twice.at(x, y), 2.0f * once.at(x, y));
}
