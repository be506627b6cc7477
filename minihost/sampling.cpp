// The sampling suites "PF Sampling8 Suite", "PF Sampling16 Suite" and
// "PF SamplingFloat Suite" (version 1). Their area sample is a box filter:
// a box centred at the 16.16 position with half-widths x_radius, y_radius;
// pixel (i, j) covers [i−½, i+½]×[j−½, j+½] and weighs its overlap area with
// the box; the result is the weighted mean of all four channels. Pixels
// beyond the edges read the nearest edge pixel. Integer depths round the mean
// to nearest; float keeps it. With half-widths of half a pixel this is
// bilinear interpolation. A zero half-width samples that axis at the pixel
// that covers the centre.
#include <algorithm>
#include <cmath>
#include <vector>

#include "callbacks.h"

namespace minihost {
namespace {

constexpr double kFix = 1.0 / 65536.0;

// The overlap weights of one axis: pixels first..first+count-1.
struct AxisWeights {
  long first = 0;
  int count = 0;
  double w[1100];  // half-widths up to 549 pixels; wider boxes are cut to that
  double total = 0;
};

void Weights(double centre, double half, AxisWeights& a) {
  half = std::fabs(half);
  constexpr int kMax = static_cast<int>(sizeof(a.w) / sizeof(a.w[0]));
  if (half > (kMax - 2) / 2.0) half = (kMax - 2) / 2.0;
  if (half == 0.0) {
    a.first = static_cast<long>(std::floor(centre + 0.5));
    a.count = 1;
    a.w[0] = 1.0;
    a.total = 1.0;
    return;
  }
  const double lo = centre - half, hi = centre + half;
  a.first = static_cast<long>(std::floor(lo + 0.5));
  const long last = static_cast<long>(std::ceil(hi - 0.5));
  a.count = 0;
  a.total = 0;
  for (long i = a.first; i <= last && a.count < kMax; ++i) {
    const double w = std::min(i + 0.5, hi) - std::max(i - 0.5, lo);
    a.w[a.count++] = w > 0 ? w : 0;
    a.total += w > 0 ? w : 0;
  }
}

template <typename Pixel>
const Pixel& At(const PF_EffectWorld* w, long x, long y) {
  x = std::clamp<long>(x, 0, w->width - 1);
  y = std::clamp<long>(y, 0, w->height - 1);
  return reinterpret_cast<const Pixel*>(reinterpret_cast<const uint8_t*>(w->data) + y * static_cast<long>(w->rowbytes))[x];
}

template <typename Channel>
Channel Store(double v) {
  if constexpr (std::is_floating_point_v<Channel>) {
    return static_cast<Channel>(v);
  } else {
    return static_cast<Channel>(std::floor(v + 0.5));
  }
}

template <typename Pixel>
PF_Err AreaSample(PF_ProgPtr, PF_Fixed x, PF_Fixed y, const PF_SampPB* pb, Pixel* dst) {
  if (!pb || !dst || !pb->src || !pb->src->data || pb->src->width <= 0 || pb->src->height <= 0)
    return PF_Err_BAD_CALLBACK_PARAM;
  AxisWeights ax, ay;
  Weights(x * kFix, pb->x_radius * kFix, ax);
  Weights(y * kFix, pb->y_radius * kFix, ay);
  double a = 0, r = 0, g = 0, b = 0;
  for (int j = 0; j < ay.count; ++j) {
    if (ay.w[j] == 0) continue;
    double ra = 0, rr = 0, rg = 0, rb = 0;
    for (int i = 0; i < ax.count; ++i) {
      if (ax.w[i] == 0) continue;
      const Pixel& p = At<Pixel>(pb->src, ax.first + i, ay.first + j);
      ra += ax.w[i] * p.alpha;
      rr += ax.w[i] * p.red;
      rg += ax.w[i] * p.green;
      rb += ax.w[i] * p.blue;
    }
    a += ay.w[j] * ra;
    r += ay.w[j] * rr;
    g += ay.w[j] * rg;
    b += ay.w[j] * rb;
  }
  const double total = ax.total * ay.total;
  if (!(total > 0)) return PF_Err_BAD_CALLBACK_PARAM;
  using Channel = decltype(dst->red);
  dst->alpha = Store<Channel>(a / total);
  dst->red = Store<Channel>(r / total);
  dst->green = Store<Channel>(g / total);
  dst->blue = Store<Channel>(b / total);
  return PF_Err_NONE;
}

// Nearest-neighbour (half-width 0) and subpixel (half a pixel) sampling are
// served by the same filter with fixed half-widths.
template <typename Pixel, PF_Fixed kHalfWidth>
PF_Err FixedSample(PF_ProgPtr ref, PF_Fixed x, PF_Fixed y, const PF_SampPB* pb, Pixel* dst) {
  if (!pb) return PF_Err_BAD_CALLBACK_PARAM;
  PF_SampPB p = *pb;
  p.x_radius = p.y_radius = kHalfWidth;
  return AreaSample<Pixel>(ref, x, y, &p, dst);
}
template <typename Pixel>
constexpr auto NearestSample = FixedSample<Pixel, 0>;
template <typename Pixel>
constexpr auto SubpixelSample = FixedSample<Pixel, 32768>;

const PF_Sampling8Suite1 kSampling8 = {NearestSample<PF_Pixel>, SubpixelSample<PF_Pixel>, AreaSample<PF_Pixel>};
const PF_Sampling16Suite1 kSampling16 = {NearestSample<PF_Pixel16>, SubpixelSample<PF_Pixel16>,
                                         AreaSample<PF_Pixel16>};
const PF_SamplingFloatSuite1 kSamplingFloat = {NearestSample<PF_PixelFloat>, SubpixelSample<PF_PixelFloat>,
                                               AreaSample<PF_PixelFloat>};

}  // namespace

void RegisterSamplingSuites(MiniHost& host) {
  host.RegisterSuite(kPFSampling8Suite, kPFSamplingSuiteVersion1, &kSampling8);
  host.RegisterSuite(kPFSampling16Suite, kPFSamplingSuiteVersion1, &kSampling16);
  host.RegisterSuite(kPFSamplingFloatSuite, kPFSamplingSuiteVersion1, &kSamplingFloat);
}

}  // namespace minihost
