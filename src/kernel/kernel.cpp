#include "kernel/kernel.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>

PF_Fixed FixMul(PF_Fixed a, PF_Fixed b) {
  const int64_t p = (static_cast<int64_t>(a) * b + 0x8000) >> 16;
  if (p > INT32_MAX) return INT32_MAX;
  if (p < INT32_MIN) return INT32_MIN;
  return static_cast<PF_Fixed>(p);
}

namespace {

// Mirrors a position back into [r, max − r]: the pattern repeats with period
// 2 × span, odd periods reversed. A span of 0 or less (a layer at most one
// working unit across) has nothing to fold: the position is clamped into the
// layer instead.
double Fold(double pos, double span, double r, double max) {
  if (!(span > 0)) {
    const double hi = max > 0 ? max : 0;
    return pos > hi ? hi : (pos > 0 ? pos : 0);  // NaN gives 0
  }
  const double q = pos / span;
  int64_t n;
  double rem;
  if (std::fabs(q) < 2147483647.0) {
    n = static_cast<int32_t>(q);
    rem = pos - static_cast<double>(n) * span;
    if (rem < 0) {
      n = n - 1;
      rem = rem + span;
    }
  } else {
    // Beyond the 32-bit range of the period count (or not a number): the same
    // fold through the remainder of a whole period.
    double r2 = std::fmod(pos, 2 * span);
    if (!(r2 == r2)) r2 = 0;
    if (r2 < 0) r2 += 2 * span;
    n = r2 >= span ? 1 : 0;
    rem = n ? r2 - span : r2;
  }
  double s = r + rem;
  if (n & 1) s = max - s;
  return s;
}

// A 16.16 position from a working-unit position; out-of-range values are
// held at the ends of the 32-bit range instead of overflowing.
PF_Fixed ToFixed(double v) {
  if (!(v > -2147483648.0)) return INT32_MIN;
  if (v >= 2147483647.0) return INT32_MAX;
  return static_cast<PF_Fixed>(v);
}

}  // namespace

template <class T>
PF_Err BlobRIP(void* refcon, A_long x, A_long y, T* /*in*/, T* out) {
  const RIPInfo<T>& info = *static_cast<const RIPInfo<T>*>(refcon);
  double (*const host_sqrt)(double) = info.inData->utils->ansi.sqrt;

  // Heights: the missing neighbour across the left and top edges is the
  // pixel itself, so there is no slope across them.
  const float* cell = reinterpret_cast<const float*>(info.heightWorld->data) +
                      static_cast<ptrdiff_t>(y) * info.heightStride + x;
  const double h = *cell;
  const double hl = x > 0 ? cell[-1] : h;
  const double hu = y > 0 ? cell[-info.heightStride] : h;

  const double gx = (hl - h) * info.slopeX;
  const double gy = (hu - h) * info.slopeY;
  const double len = host_sqrt((gx * gx + gy * gy) + 0.025 * 0.025);
  const double k = 1.0 / (len + 0.00001);
  FX_D_Point normal{gx * k, gy * k, 0.025 * k};

  const double dx = normal.x * info.displace;
  const double dy = normal.y * info.displace;

  PF_SampPB pb = info.sampPB;  // the shared record is only read
  double rx = 0, ry = 0, spanX = info.maxX, spanY = info.maxY;
  if (info.hiQuality) {
    // Written so that a NaN displacement (a host whose sqrt gave NaN) takes
    // the widest radius instead of reaching the integer conversion below.
    rx = std::fabs(dx) * 0.25;
    if (!(rx <= 64.0)) rx = 64.0;
    ry = std::fabs(dy) * 0.25;
    if (!(ry <= 64.0)) ry = 64.0;
    spanX = rx * -2.0 + info.maxX;
    spanY = ry * -2.0 + info.maxY;
    // A blur wider than the layer allows would leave no room to fold: the
    // radius is narrowed so the span stays 1 (or the radius drops to 0 on a
    // layer too small for any blur), and the pixel is still sampled.
    if (spanX < 1.0) {
      rx = info.maxX >= 1.0 ? (info.maxX - 1.0) * 0.5 : 0.0;
      spanX = rx * -2.0 + info.maxX;
    }
    if (spanY < 1.0) {
      ry = info.maxY >= 1.0 ? (info.maxY - 1.0) * 0.5 : 0.0;
      spanY = ry * -2.0 + info.maxY;
    }
    pb.x_radius = static_cast<PF_Fixed>(rx * info.fixScaleX + 32768.0);
    pb.y_radius = static_cast<PF_Fixed>(ry * info.fixScaleY + 32768.0);
    pb.area = static_cast<PF_Fixed>(
        std::min<int64_t>(INT32_MAX, static_cast<int64_t>(FixMul(pb.x_radius, pb.y_radius)) * 4));
  } else {
    // Standard quality: a half-pixel box, the same request an undisplaced
    // high-quality pixel makes.
    pb.x_radius = pb.y_radius = 32768;
    pb.area = 65536;
  }

  double x0 = x * info.scaleX + info.offsetX;
  double y0 = y * info.scaleY + info.offsetY;
  const double sx = Fold(x0 + dx, spanX, rx, info.maxX);
  const double sy = Fold(y0 + dy, spanY, ry, info.maxY);

  const PF_Err err = info.sampleFn(info.effectRef, ToFixed(sx * info.fixScaleX), ToFixed(sy * info.fixScaleY), &pb, out);

  const FX_Double_Pixel colour = NormalizePixel<T>(*out, 1.0);
  const FX_Double_Pixel lit = info.shade->ShadePixel(colour, normal, x0, y0);
  DenormalizePixel<T>(lit, *out);
  return err;
}

template PF_Err BlobRIP<PF_Pixel>(void*, A_long, A_long, PF_Pixel*, PF_Pixel*);
template PF_Err BlobRIP<PF_Pixel16>(void*, A_long, A_long, PF_Pixel16*, PF_Pixel16*);
template PF_Err BlobRIP<PF_PixelFloat>(void*, A_long, A_long, PF_PixelFloat*, PF_PixelFloat*);
