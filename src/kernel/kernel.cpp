#include "kernel/kernel.h"

#include <cmath>
#include <cstdint>

#include "kernel/kernel_parts.h"

PF_Fixed FixMul(PF_Fixed a, PF_Fixed b) {
  const int64_t p = (static_cast<int64_t>(a) * b + 0x8000) >> 16;
  if (p > INT32_MAX) return INT32_MAX;
  if (p < INT32_MIN) return INT32_MIN;
  return static_cast<PF_Fixed>(p);
}

namespace kernel_detail {

// Fold beyond the first period (or with no span), out of line.
double FoldFar(double pos, double span, double r, double max) {
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

}  // namespace kernel_detail

using namespace kernel_detail;

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
