// Checks of colour and vector triples for the lighting tests.
#pragma once

#include <gtest/gtest.h>

#define EXPECT_RGB(p, r, g, b) \
  do { EXPECT_DOUBLE_EQ((p).red, (r)); EXPECT_DOUBLE_EQ((p).green, (g)); EXPECT_DOUBLE_EQ((p).blue, (b)); } while (0)
#define EXPECT_XYZ(v, x_, y_, z_) \
  do { EXPECT_DOUBLE_EQ((v).x, (x_)); EXPECT_DOUBLE_EQ((v).y, (y_)); EXPECT_DOUBLE_EQ((v).z, (z_)); } while (0)
