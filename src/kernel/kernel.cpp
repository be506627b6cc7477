#include "kernel/kernel.h"

#include <algorithm>
#include <bit>
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

// Fold beyond the first period (or with no span), out of line.
__attribute__((noinline)) double FoldFar(double pos, double span, double r, double max) {
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
PF_Fixed ToFixed(double v) {
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
bool CalmTablePays(const RIPInfo<T>& info) {
  if constexpr (!PixelTraits<T>::kClamped) {
    return false;
  } else {
    const PF_LayerDef* w = info.heightWorld;
    const double pixels = w ? static_cast<double>(w->width) * w->height : 0.0;
    return pixels >= static_cast<double>(PixelTraits<T>::kMax) + 1.0;
  }
}

// A calm pixel's colour, sampled into `out`, shaded and stored.
template <class T>
inline void ShadeCalm(const RIPInfo<T>& info, A_long x, A_long y, T* out) {
  if constexpr (PixelTraits<T>::kClamped) {
    // Every light gathered once: each channel's stored value depends on its
    // sampled value alone, looked up in the frame's table.
    if (!info.calmTable.empty()) {
      constexpr auto kMax = PixelTraits<T>::kMax;
      constexpr size_t n = static_cast<size_t>(kMax) + 1;
      const auto* t = info.calmTable.data();
      if constexpr (kMax == 255) {
        out->red = t[out->red], out->green = t[n + out->green], out->blue = t[2 * n + out->blue];
        return;
      } else if (out->red <= kMax && out->green <= kMax && out->blue <= kMax) {
        out->red = t[out->red], out->green = t[n + out->green], out->blue = t[2 * n + out->blue];
        return;
      }
    }
  }
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

}  // namespace

template <class T>
void PrepareCalmWater(RIPInfo<T>& info) {
  Surface(info, 0.0, 0.0, info.calm);
  info.calmPB = info.sampPB;
  info.calmPB.x_radius = info.calm.xRadius;
  info.calmPB.y_radius = info.calm.yRadius;
  info.calmPB.area = info.calm.area;
  // Positions by the per-pixel arithmetic: undisplaced position plus the
  // calm displacement, folded, in 16.16.
  const FX_Surface& c = info.calm;
  const A_long columns = info.heightWorld ? info.heightWorld->width : 0;
  const A_long rows = info.heightWorld ? info.heightWorld->height : 0;
  info.calmFx.resize(static_cast<size_t>(columns > 0 ? columns : 0));
  info.calmFy.resize(static_cast<size_t>(rows > 0 ? rows : 0));
  for (A_long x = 0; x < columns; ++x) {
    const double x0 = x * info.scaleX + info.offsetX;
    info.calmFx[static_cast<size_t>(x)] = ToFixed(Fold(x0 + c.dx, c.spanX, c.rx, info.maxX) * info.fixScaleX);
  }
  for (A_long y = 0; y < rows; ++y) {
    const double y0 = y * info.scaleY + info.offsetY;
    info.calmFy[static_cast<size_t>(y)] = ToFixed(Fold(y0 + c.dy, c.spanY, c.ry, info.maxY) * info.fixScaleY);
  }
  info.calmLitLights = 0;
  info.calmLitReady = false;
  info.calmTable.clear();
  info.calmReady = info.shade != nullptr;
  if (!info.calmReady) return;
  const LightShade& shade = *info.shade;
  info.calmLitLights = shade.LeadingLightsIndependentOfPosition();
  info.calmLitReady = info.calmLitLights == shade.lightCount;
  info.calmGather = TSLightGather{shade.ambientLight, {}, {}};
  shade.GatherRange(info.calm.normal, 0.0, 0.0, 0, info.calmLitLights, info.calmGather);
  if constexpr (PixelTraits<T>::kClamped) {
    if (info.calmLitReady && CalmTablePays(info)) {
      // Every sampled value through the kernel's own conversions and mix.
      constexpr size_t n = static_cast<size_t>(PixelTraits<T>::kMax) + 1;
      info.calmTable.resize(3 * n);
      for (size_t v = 0; v < n; ++v) {
        T px{};
        using C = typename PixelTraits<T>::Channel;
        px.red = px.green = px.blue = static_cast<C>(v);
        const FX_Double_Pixel colour = NormalizePixel<T>(px, 1.0);
        DenormalizePixel<T>(shade.MixGathered(colour, info.calmGather), px);
        info.calmTable[v] = px.red;
        info.calmTable[n + v] = px.green;
        info.calmTable[2 * n + v] = px.blue;
      }
    }
  }
}

namespace {

// A pixel on a ripple: its own normal, displacement, request and shading.
template <class T>
__attribute__((noinline)) PF_Err Rippled(const RIPInfo<T>& info, A_long x, A_long y, double dhx, double dhy,
                                         T* out) {
  FX_Surface s;
  Surface(info, dhx, dhy, s);

  PF_SampPB pb = info.sampPB;  // the shared record is only read
  pb.x_radius = s.xRadius;
  pb.y_radius = s.yRadius;
  pb.area = s.area;

  const double x0 = x * info.scaleX + info.offsetX;
  const double y0 = y * info.scaleY + info.offsetY;
  const double sx = Fold(x0 + s.dx, s.spanX, s.rx, info.maxX);
  const double sy = Fold(y0 + s.dy, s.spanY, s.ry, info.maxY);

  const PF_Err err = info.sampleFn(info.effectRef, ToFixed(sx * info.fixScaleX), ToFixed(sy * info.fixScaleY), &pb, out);

  const FX_Double_Pixel colour = NormalizePixel<T>(*out, 1.0);
  DenormalizePixel<T>(info.shade->ShadePixel(colour, s.normal, x0, y0), *out);
  return err;
}

}  // namespace

template <class T>
PF_Err BlobRIP(void* refcon, A_long x, A_long y, T* /*in*/, T* out) {
  const RIPInfo<T>& info = *static_cast<const RIPInfo<T>*>(refcon);

  // Heights: the missing neighbour across the left and top edges is the
  // pixel itself, so there is no slope across them.
  const float* cell = reinterpret_cast<const float*>(info.heightWorld->data) +
                      static_cast<ptrdiff_t>(y) * info.heightStride + x;
  const double h = *cell;
  const double hl = x > 0 ? cell[-1] : h;
  const double hu = y > 0 ? cell[-info.heightStride] : h;
  const double dhx = hl - h, dhy = hu - h;

  if (info.calmReady && IsCalm(dhx, dhy)) [[likely]] {
    // Calm water: the frame's prepared request at the column's and row's
    // position, and its prepared shading.
    const PF_Err err = info.sampleFn(info.effectRef, info.calmFx[static_cast<size_t>(x)],
                                     info.calmFy[static_cast<size_t>(y)], &info.calmPB, out);
    ShadeCalm(info, x, y, out);
    return err;
  }
  return Rippled(info, x, y, dhx, dhy, out);
}

template PF_Err BlobRIP<PF_Pixel>(void*, A_long, A_long, PF_Pixel*, PF_Pixel*);
template PF_Err BlobRIP<PF_Pixel16>(void*, A_long, A_long, PF_Pixel16*, PF_Pixel16*);
template PF_Err BlobRIP<PF_PixelFloat>(void*, A_long, A_long, PF_PixelFloat*, PF_PixelFloat*);
template void PrepareCalmWater<PF_Pixel>(RIPInfo<PF_Pixel>&);
template void PrepareCalmWater<PF_Pixel16>(RIPInfo<PF_Pixel16>&);
template void PrepareCalmWater<PF_PixelFloat>(RIPInfo<PF_PixelFloat>&);
