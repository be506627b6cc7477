#include "tests/ripple/ripple_support.h"

namespace {

// A float field with padded rows and a guard row above and below, so a write
// outside the cells shows.
struct TestField {
  TestField(A_long w, A_long h) : stride(w + 3), data(static_cast<size_t>(h + 2) * stride) {
    world.data = reinterpret_cast<PF_PixelPtr>(&data[stride]);
    world.rowbytes = stride * sizeof(float);
    world.width = w;
    world.height = h;
  }
  float at(A_long x, A_long y) const { return data[(y + 1) * stride + x]; }
  bool OnlyCellsWritten() const {
    for (size_t i = 0; i < data.size(); ++i) {
      const A_long x = static_cast<A_long>(i % stride), y = static_cast<A_long>(i / stride) - 1;
      if (data[i] != 0.0f && (x >= world.width || y < 0 || y >= world.height)) return false;
    }
    return true;
  }
  A_long stride;
  std::vector<float> data;
  PF_LayerDef world{};
};

class DrawForceTest : public ::testing::Test {
 protected:
  DrawForceTest() { in.utils = minihost::UtilCallbacks(); }
  void Draw(TestField& f, double x, double y, double amplitude, double radius, double wave, FX_PAR* scale = nullptr) {
    FX_DrawForce(&in, scale ? scale : &unit, FX_D_Point{x, y, 0.0}, amplitude, radius, wave, &f.world);
  }
  // How many cells of `part` the ripple changed, or -1 unless each cell (x, y)
  // equals cell (sx·x + o, sy·y + o) of `whole`.
  static int Matching(const TestField& part, const TestField& whole, int sx, int sy, int o) {
    int changed = 0;
    for (A_long y = 0; y < part.world.height; ++y)
      for (A_long x = 0; x < part.world.width; ++x) {
        if (part.at(x, y) != whole.at(sx * x + o, sy * y + o)) return -1;
        changed += part.at(x, y) != 0.0f;
      }
    return changed;
  }
  PF_InData in{};
  FX_PAR unit{64, 64, 1, 1, 1, 1, 1};
};

}  // namespace

TEST_F(DrawForceTest, StatedRippleHeights) {
  TestField f(32, 32), g(32, 32);
  Draw(f, 16, 16, 1.0, 10.0, 0.1);
  // Distance 5 along either axis and on the diagonal (3, 4).
  for (const auto& [x, y] : {std::pair{21, 16}, {16, 11}, {19, 20}, {13, 12}})
    EXPECT_EQ(f.at(x, y), -1.1985638141632080f) << x << "," << y;  // -1.1985638465105075 as a float
  EXPECT_EQ(f.at(16, 16), 0.0f);  // the centre
  EXPECT_EQ(f.at(26, 16), 0.0f);  // exactly at the radius
  EXPECT_EQ(f.at(16, 6), 0.0f);
  EXPECT_TRUE(f.OnlyCellsWritten());
  Draw(f, 16, 16, 1.0, 10.0, 0.1);  // the same ripple again adds as much
  EXPECT_EQ(f.at(21, 16), 2 * -1.1985638141632080f);
  Draw(g, 16, 16, 2.0, 10.0, 0.1);
  EXPECT_EQ(g.at(24, 16), static_cast<float>(-0.7120308815694995));
}

TEST_F(DrawForceTest, RipplesAreClippedToTheBuffer) {
  // A 32×32 field against the same ripple 20 pixels further in on a larger one:
  // overlapping a side (or a corner) keeps the cells inside; wholly beyond a
  // side, or without a radius, it changes nothing.
  struct Case { double x, y, radius; bool overlaps; };
  for (const Case& c : {Case{2, 16, 9, true}, {29, 16, 9, true}, {16, 2, 9, true}, {16, 29, 9, true},
                        {1, 30, 9, true}, {-12, 12, 10, false}, {44, 12, 10, false}, {16, -12, 10, false},
                        {16, 44, 10, false}, {-400, -400, 10, false}, {1e12, 5, 10, false}, {8, 8, 0, false},
                        {8, 8, -3, false}}) {
    SCOPED_TRACE(testing::Message() << c.x << "," << c.y << " radius " << c.radius);
    TestField small(32, 32), large(72, 72);
    Draw(small, c.x, c.y, 1.5, c.radius, 0.4);
    Draw(large, c.x + 20, c.y + 20, 1.5, c.radius, 0.4);
    EXPECT_TRUE(small.OnlyCellsWritten());
    const int changed = Matching(small, large, 1, 1, 20);
    EXPECT_EQ(changed > 0, c.overlaps) << changed;
    EXPECT_GE(changed, 0);
  }
}

TEST_F(DrawForceTest, CellsStandForTheirWorkingUnitPositions) {
  // Half resolution with wide pixels: cell (x, y) is working position (4x, 2y).
  FX_PAR coarse{64, 64, 0.5, 4.0, 2.0, 0.25, 0.5};
  TestField full(64, 64), half(16, 32);
  Draw(full, 32, 30, 1.0, 14.0, 0.25);
  Draw(half, 32, 30, 1.0, 14.0, 0.25, &coarse);
  EXPECT_GT(Matching(half, full, 4, 2, 0), 10);
}
