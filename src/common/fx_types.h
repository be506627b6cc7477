// Working types shared by every subsystem: a point or vector of doubles, the
// working colour, and a 3×3 matrix.
#pragma once

// Three doubles: a position (working units) or a vector such as a normal.
struct FX_D_Point {
  double x, y, z;
};

// The working colour: alpha, red, green, blue, nominally 0..1 in every depth.
struct FX_Double_Pixel {
  double alpha, red, green, blue;
};

// Row-major 3×3 matrix; vectors are transformed as row vectors (v' = v M).
struct FX_3D_Matrix {
  double m[3][3];
};
