#include "height_field.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>

void FX_DrawForce(PF_InData* in_data, FX_PAR* par, FX_D_Point centre, double amplitude, double radius,
                  double wave, PF_LayerDef* field) {
  FX_DrawForceRows(in_data, par, centre, amplitude, radius, wave, field, 0, field->height);
}

void FX_DrawForceRows(PF_InData* in_data, FX_PAR* par, FX_D_Point centre, double amplitude, double radius,
                      double wave, PF_LayerDef* field, A_long rowBegin, A_long rowEnd) {
  if (!(radius > 0.0)) return;  // also refuses a NaN radius

  // Centre and extent in buffer pixels.
  const double bx = centre.x * par->invScaleX;
  const double by = centre.y * par->invScaleY;
  const double rx = par->invScaleX * radius;
  const double ry = radius * par->invScaleY;

  // The box is truncated toward zero, with one extra column and row on the far
  // side. The bounds stay doubles until they are clamped to the buffer, so a
  // drop far outside never overflows an integer. A NaN bound fails every test
  // and draws nothing.
  double x0 = std::trunc(bx - rx);
  double x1 = std::trunc(bx + rx + 1.0);
  const double lastX = static_cast<double>(field->width) - 1.0;
  const double lastY = static_cast<double>(field->height) - 1.0;
  if (!(x0 <= lastX) || !(x1 >= 0.0)) return;
  double y0 = std::trunc(by - ry);
  double y1 = std::trunc(by + ry + 1.0);
  x0 = std::max(x0, 0.0);
  x1 = std::min(x1, lastX);
  if (!(y0 <= lastY) || !(y1 >= 0.0)) return;
  y0 = std::max(y0, 0.0);
  y1 = std::min(y1, lastY);

  const A_long xFirst = static_cast<A_long>(x0), xLast = static_cast<A_long>(x1);
  const A_long yFirst = std::max(static_cast<A_long>(y0), rowBegin);
  const A_long yLast = std::min(static_cast<A_long>(y1), rowEnd - 1);
  if (yFirst > yLast) return;
  const double scaleX = par->scaleX, scaleY = par->scaleY;
  const double r2 = radius * radius;
  const double invR = 1.0 / radius;
  double (*const hostSqrt)(double) = in_data->utils->ansi.sqrt;
  double (*const hostSin)(double) = in_data->utils->ansi.sin;

  for (A_long y = yFirst; y <= yLast; ++y) {
    float* row = reinterpret_cast<float*>(reinterpret_cast<uint8_t*>(field->data) +
                                          static_cast<ptrdiff_t>(y) * field->rowbytes);
    // Distances in working units; cell (x, y) stands for (x × scaleX, y × scaleY).
    const double dy = (by - y) * scaleY;
    const double dy2 = dy * dy;
    // Stepped across the row, not recomputed, so every cell sees the same sums.
    double dx = (bx - xFirst) * scaleX;
    for (A_long x = xFirst; x <= xLast; ++x, dx -= scaleX) {
      const double d2 = dx * dx + dy2;
      if (d2 >= r2) continue;
      const double d = hostSqrt(d2);
      const double w = radius - d;
      const double t = d * invR;
      double s;
      if (t <= 0.0)
        s = 0.0;
      else if (t >= 1.0)
        s = 1.0;
      else
        s = t * t * (t * -2.0 + 3.0);
      const double value = s * w * -hostSin(w * wave) * amplitude;
      // Added in single precision: the field holds floats.
      row[x] = row[x] + static_cast<float>(value);
    }
  }
}
