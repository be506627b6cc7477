// The pieces of the pixel kernel that its per-pixel and its row form share,
// so that both run the very same arithmetic.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "kernel/kernel.h"

namespace kernel_detail {

// Fold beyond the first period (or with no span), out of line.
__attribute__((noinline)) double FoldFar(double pos, double span, double r, double max);

// Mirrors a position back into [r, max − r]: the pattern repeats with period
// 2 × span, odd periods reversed. A span of 0 or less (a layer at most one
// working unit across) has nothing to fold: the position is clamped into the
// layer instead.
inline double Fold(double pos, double span, double r, double max) {
  // Inside the first period: n is 0 and rem is pos (pos − 0 × span); the
  // division could only round pos / span up to 1, which the step back in
  // FoldFar undoes exactly. (A span of 0 or less or NaN fails the test.)
  if (pos >= 0 && pos < span) return r + pos;
  return FoldFar(pos, span, r, max);
}

// A 16.16 position from a working-unit position; out-of-range values are
// held at the ends of the 32-bit range instead of overflowing.
inline PF_Fixed ToFixed(double v) {
  if (!(v > -2147483648.0)) return INT32_MIN;
  if (v >= 2147483647.0) return INT32_MAX;
  return static_cast<PF_Fixed>(v);
}

// The slope's consequences from the two height differences dhx = hl − h and
// dhy = hu − h.
template <class T>
inline void Surface(const RIPInfo<T>& info, double dhx, double dhy, FX_Surface& s) {
  const double gx = dhx * info.slopeX;
  const double gy = dhy * info.slopeY;
  const double len = info.inData->utils->ansi.sqrt((gx * gx + gy * gy) + 0.025 * 0.025);
  const double k = 1.0 / (len + 0.00001);
  s.normal = FX_D_Point{gx * k, gy * k, 0.025 * k};

  s.dx = s.normal.x * info.displace;
  s.dy = s.normal.y * info.displace;

  s.rx = 0, s.ry = 0, s.spanX = info.maxX, s.spanY = info.maxY;
  if (info.hiQuality) {
    // Written so that a NaN displacement (a host whose sqrt gave NaN) takes
    // the widest radius instead of reaching the integer conversion below.
    double rx = std::fabs(s.dx) * 0.25;
    if (!(rx <= 64.0)) rx = 64.0;
    double ry = std::fabs(s.dy) * 0.25;
    if (!(ry <= 64.0)) ry = 64.0;
    double spanX = rx * -2.0 + info.maxX;
    double spanY = ry * -2.0 + info.maxY;
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
    s.rx = rx, s.ry = ry, s.spanX = spanX, s.spanY = spanY;
    s.xRadius = static_cast<PF_Fixed>(rx * info.fixScaleX + 32768.0);
    s.yRadius = static_cast<PF_Fixed>(ry * info.fixScaleY + 32768.0);
    s.area = static_cast<PF_Fixed>(std::min<int64_t>(INT32_MAX, static_cast<int64_t>(FixMul(s.xRadius, s.yRadius)) * 4));
  } else {
    // Standard quality: a half-pixel box, the same request an undisplaced
    // high-quality pixel makes.
    s.xRadius = s.yRadius = 32768;
    s.area = 65536;
  }
}

// Both differences exactly +0.0: the pixel takes the calm-water values.
inline bool IsCalm(double dhx, double dhy) {
  return (std::bit_cast<uint64_t>(dhx) | std::bit_cast<uint64_t>(dhy)) == 0;
}

// The calm table pays for itself once a frame has about as many pixels as
// the table has entries: an 8-bit table always, a 16-bit one from 32769
// pixels on.
template <class T>
inline bool CalmTablePays(const RIPInfo<T>& info) {
  if constexpr (!PixelTraits<T>::kClamped) {
    return false;
  } else {
    const PF_LayerDef* w = info.heightWorld;
    const double pixels = w ? static_cast<double>(w->width) * w->height : 0.0;
    return pixels >= static_cast<double>(PixelTraits<T>::kMax) + 1.0;
  }
}

// A calm pixel's red, green and blue from the frame's table `t` (integer
// depths): each channel's stored value depends on its sampled value alone.
// False, with the pixel untouched, for a 16-bit sample above full scale,
// which the table does not hold.
template <class T>
inline bool CalmFromTable(const typename PixelTraits<T>::Channel* t, T* p) {
  constexpr auto kMax = PixelTraits<T>::kMax;
  constexpr size_t n = static_cast<size_t>(kMax) + 1;
  if constexpr (kMax != 255) {
    if (p->red > kMax || p->green > kMax || p->blue > kMax) return false;
  }
  p->red = t[p->red], p->green = t[n + p->green], p->blue = t[2 * n + p->blue];
  return true;
}

// A calm pixel's colour, sampled into `out`, shaded by the gathered lights
// and stored (what the table, where there is one, holds for in-range samples).
template <class T>
inline void ShadeCalmByLights(const RIPInfo<T>& info, A_long x, A_long y, T* out) {
  const FX_Double_Pixel colour = NormalizePixel<T>(*out, 1.0);
  if (info.calmLitReady) {
    DenormalizePixel<T>(info.shade->MixGathered(colour, info.calmGather), *out);
  } else {
    // The lights that depend on the position go on from the gathered ones.
    const double x0 = x * info.scaleX + info.offsetX;
    const double y0 = y * info.scaleY + info.offsetY;
    TSLightGather g = info.calmGather;
    info.shade->GatherRange(info.calm.normal, x0, y0, info.calmLitLights, info.shade->lightCount, g);
    DenormalizePixel<T>(info.shade->MixGathered(colour, g), *out);
  }
}

// A calm pixel's colour, sampled into `out`, shaded and stored.
template <class T>
inline void ShadeCalm(const RIPInfo<T>& info, A_long x, A_long y, T* out) {
  if constexpr (PixelTraits<T>::kClamped) {
    // Every light gathered once: the table has the result.
    if (!info.calmTable.empty() && CalmFromTable(info.calmTable.data(), out)) return;
  }
  ShadeCalmByLights(info, x, y, out);
}

}  // namespace kernel_detail
