// The pixel kernel a row at a time. Calm pixels take the per-pixel path's
// calm branch as they come; rippled pixels are gathered into lanes and go
// through the per-pixel arithmetic side by side: every lane runs the same
// IEEE operations in the same order as BlobRIP does for its pixel, written as
// loops over the lanes that the compiler turns into vector instructions (no
// fused multiply-add: the build turns contraction off). What only the host
// may answer (its square root, power and area sample) is asked once per
// pixel, as BlobRIP asks it.
#include <bit>
#include <cmath>
#include <cstdint>
#include <type_traits>

#include "kernel/kernel.h"
#include "kernel/kernel_parts.h"

using namespace kernel_detail;

namespace {

constexpr int kLanes = 8;

// The first failing pixel of a row, by column: lanes finish out of order.
struct FirstError {
  PF_Err err = PF_Err_NONE;
  A_long x = 0;
  void Note(PF_Err e, A_long at) {
    if (e != PF_Err_NONE && (err == PF_Err_NONE || at < x)) err = e, x = at;
  }
};

// Rippled pixels of one row waiting for their pass; lanes from n on hold a
// flat surface so that every lane computes ordinary numbers.
struct Batch {
  int n = 0;
  A_long x[kLanes];
  double dhx[kLanes], dhy[kLanes];
  void Clear() {
    n = 0;
    for (int i = 0; i < kLanes; ++i) x[i] = 0, dhx[i] = 0.0, dhy[i] = 0.0;
  }
};

// Red, green and blue of the lanes in the working colour.
struct Colours {
  double r[kLanes], g[kLanes], b[kLanes];
};

// The gather and mix of LightShade (GatherRange, ShadeLight, Gather,
// MixGathered) for lights that do not depend on the position, lane by lane.
// Lights of other types are skipped, as GatherRange skips them.
template <class T>
void ShadeDistantLanes(const LightShade& shade, int n, const double* nx, const double* ny, const double* nz,
                       Colours& c) {
  double dr[kLanes], dg[kLanes], db[kLanes], ur[kLanes], ug[kLanes], ub[kLanes], sr[kLanes], sg[kLanes],
      sb[kLanes];
  double RX[kLanes], RY[kLanes], RZ[kLanes];
  for (int i = 0; i < kLanes; ++i) {
    dr[i] = shade.ambientLight.red, dg[i] = shade.ambientLight.green, db[i] = shade.ambientLight.blue;
    ur[i] = 0.0, ug[i] = 0.0, ub[i] = 0.0;
    sr[i] = 0.0, sg[i] = 0.0, sb[i] = 0.0;
    // The fixed view direction mirrored about the normal.
    RX[i] = 2.0 * nz[i] * nx[i];
    RY[i] = 2.0 * nz[i] * ny[i];
    RZ[i] = 2.0 * nz[i] * nz[i] - 1.0;
  }
  double (*const powFn)(double, double) =
      shade.inData && shade.inData->utils ? shade.inData->utils->ansi.pow : nullptr;
  for (int l = 0; l < shade.lightCount; ++l) {
    const LightSource& light = shade.lights[l];
    if (light.type != kLightDistant) continue;
    const FX_D_Point L = light.direction;
    double d[kLanes], s[kLanes], p[kLanes];
    for (int i = 0; i < kLanes; ++i) {
      d[i] = nx[i] * L.x + ny[i] * L.y + nz[i] * L.z;
      s[i] = RX[i] * L.x + RY[i] * L.y + RZ[i] * L.z;
      p[i] = 0.0;
    }
    // pow only where the highlight can be seen, as the per-pixel gather calls it.
    for (int i = 0; i < n; ++i)
      if (s[i] > 0.0) p[i] = (powFn ? powFn(s[i], shade.smoothness) : std::pow(s[i], shade.smoothness)) * 1.0;
    for (int i = 0; i < kLanes; ++i) {
      const double t = 9.0 * d[i] * d[i];
      const double f = d[i] > 0.0 ? d[i] : (t < 1.0 ? t : 1.0);
      const double dustWeight = (1.0 - f) * 1.0;
      const double kd = 1.0 * d[i];
      const bool lit = d[i] > 0.0, seen = s[i] > 0.0;
      dr[i] = lit ? dr[i] + kd * light.diffuseColor.red : dr[i];
      dg[i] = lit ? dg[i] + kd * light.diffuseColor.green : dg[i];
      db[i] = lit ? db[i] + kd * light.diffuseColor.blue : db[i];
      ur[i] = ur[i] + dustWeight * light.dustColor.red;
      ug[i] = ug[i] + dustWeight * light.dustColor.green;
      ub[i] = ub[i] + dustWeight * light.dustColor.blue;
      sr[i] = seen ? sr[i] + p[i] * light.specularColor.red : sr[i];
      sg[i] = seen ? sg[i] + p[i] * light.specularColor.green : sg[i];
      sb[i] = seen ? sb[i] + p[i] * light.specularColor.blue : sb[i];
    }
  }
  const double m = shade.metallicity;
  for (int i = 0; i < kLanes; ++i) {
    c.r[i] = (c.r[i] * dr[i] + ur[i]) + (1.0 + m * (c.r[i] - 1.0)) * sr[i];
    c.g[i] = (c.g[i] * dg[i] + ug[i]) + (1.0 + m * (c.g[i] - 1.0)) * sg[i];
    c.b[i] = (c.b[i] * db[i] + ub[i]) + (1.0 + m * (c.b[i] - 1.0)) * sb[i];
  }
}

// StoreChannel for every lane of one channel.
template <class T>
void StoreLanes(int n, const double* v, T* const* out, typename PixelTraits<T>::Channel T::*channel) {
  using Traits = PixelTraits<T>;
  if constexpr (Traits::kClamped) {
    int32_t q[kLanes];
    for (int i = 0; i < kLanes; ++i) {
      const double w = v[i] * Traits::kFullScale;
      q[i] = static_cast<int32_t>(!(w > 0) ? 0.0 : (w >= Traits::kFullScale ? Traits::kFullScale : w));
    }
    for (int i = 0; i < n; ++i) out[i]->*channel = static_cast<typename Traits::Channel>(q[i]);
  } else {
    for (int i = 0; i < n; ++i) out[i]->*channel = static_cast<float>(v[i]);
  }
}

// The rippled pixels of the batch: Surface, the fold, the sample, the shade
// and the store of the per-pixel path, for all lanes at once.
template <class T>
void RippledLanes(const RIPInfo<T>& info, A_long y, T* row, const Batch& b, bool distantOnly, FirstError& first) {
  const int n = b.n;
  constexpr int K = kLanes;
  double gx[K], gy[K], q[K], len[K];
  for (int i = 0; i < K; ++i) {
    gx[i] = b.dhx[i] * info.slopeX;
    gy[i] = b.dhy[i] * info.slopeY;
    q[i] = (gx[i] * gx[i] + gy[i] * gy[i]) + 0.025 * 0.025;
    len[i] = 1.0;
  }
  double (*const sqrtFn)(double) = info.inData->utils->ansi.sqrt;
  for (int i = 0; i < n; ++i) len[i] = sqrtFn(q[i]);

  double nx[K], ny[K], nz[K], dx[K], dy[K];
  for (int i = 0; i < K; ++i) {
    const double k = 1.0 / (len[i] + 0.00001);
    nx[i] = gx[i] * k, ny[i] = gy[i] * k, nz[i] = 0.025 * k;
    dx[i] = nx[i] * info.displace;
    dy[i] = ny[i] * info.displace;
  }

  double rx[K], ry[K], spanX[K], spanY[K];
  PF_Fixed xRadius[K], yRadius[K], area[K];
  if (info.hiQuality) {
    const double narrowRx = info.maxX >= 1.0 ? (info.maxX - 1.0) * 0.5 : 0.0;
    const double narrowRy = info.maxY >= 1.0 ? (info.maxY - 1.0) * 0.5 : 0.0;
    const double narrowSpanX = narrowRx * -2.0 + info.maxX, narrowSpanY = narrowRy * -2.0 + info.maxY;
    for (int i = 0; i < K; ++i) {
      double ax = std::fabs(dx[i]) * 0.25;
      ax = ax <= 64.0 ? ax : 64.0;  // NaN takes the widest radius
      double ay = std::fabs(dy[i]) * 0.25;
      ay = ay <= 64.0 ? ay : 64.0;
      const double sx = ax * -2.0 + info.maxX, sy = ay * -2.0 + info.maxY;
      const bool narrowX = sx < 1.0, narrowY = sy < 1.0;
      rx[i] = narrowX ? narrowRx : ax;
      spanX[i] = narrowX ? narrowSpanX : sx;
      ry[i] = narrowY ? narrowRy : ay;
      spanY[i] = narrowY ? narrowSpanY : sy;
    }
    for (int i = 0; i < K; ++i) {
      xRadius[i] = static_cast<PF_Fixed>(rx[i] * info.fixScaleX + 32768.0);
      yRadius[i] = static_cast<PF_Fixed>(ry[i] * info.fixScaleY + 32768.0);
    }
    for (int i = 0; i < n; ++i)
      area[i] = static_cast<PF_Fixed>(
          std::min<int64_t>(INT32_MAX, static_cast<int64_t>(FixMul(xRadius[i], yRadius[i])) * 4));
  } else {
    for (int i = 0; i < K; ++i) {
      rx[i] = 0.0, ry[i] = 0.0, spanX[i] = info.maxX, spanY[i] = info.maxY;
      xRadius[i] = 32768, yRadius[i] = 32768, area[i] = 65536;
    }
  }

  // Undisplaced and displaced positions, folded back into the layer: the
  // first period for every lane at once, the rest lane by lane.
  const double y0 = y * info.scaleY + info.offsetY;
  double x0[K], px[K], py[K], sx[K], sy[K];
  for (int i = 0; i < K; ++i) {
    x0[i] = b.x[i] * info.scaleX + info.offsetX;
    px[i] = x0[i] + dx[i];
    py[i] = y0 + dy[i];
    sx[i] = rx[i] + px[i];
    sy[i] = ry[i] + py[i];
  }
  PF_Fixed fx[K], fy[K];
  for (int i = 0; i < n; ++i) {
    if (!(px[i] >= 0 && px[i] < spanX[i])) sx[i] = FoldFar(px[i], spanX[i], rx[i], info.maxX);
    if (!(py[i] >= 0 && py[i] < spanY[i])) sy[i] = FoldFar(py[i], spanY[i], ry[i], info.maxY);
    fx[i] = ToFixed(sx[i] * info.fixScaleX);
    fy[i] = ToFixed(sy[i] * info.fixScaleY);
  }

  T* out[K];
  PF_SampPB pb = info.sampPB;
  for (int i = 0; i < n; ++i) {
    out[i] = row + b.x[i];
    pb.x_radius = xRadius[i];
    pb.y_radius = yRadius[i];
    pb.area = area[i];
    first.Note(info.sampleFn(info.effectRef, fx[i], fy[i], &pb, out[i]), b.x[i]);
  }

  if (!distantOnly) {
    // Lights at a position: the model's own shading, pixel by pixel.
    for (int i = 0; i < n; ++i) {
      const FX_Double_Pixel colour = NormalizePixel<T>(*out[i], 1.0);
      DenormalizePixel<T>(info.shade->ShadePixel(colour, FX_D_Point{nx[i], ny[i], nz[i]}, x0[i], y0), *out[i]);
    }
    return;
  }
  Colours c;
  const double f = PixelTraits<T>::kLoad * 1.0;
  for (int i = 0; i < K; ++i) c.r[i] = 0.0, c.g[i] = 0.0, c.b[i] = 0.0;
  for (int i = 0; i < n; ++i) {
    c.r[i] = static_cast<double>(out[i]->red) * f;
    c.g[i] = static_cast<double>(out[i]->green) * f;
    c.b[i] = static_cast<double>(out[i]->blue) * f;
  }
  ShadeDistantLanes<T>(*info.shade, n, nx, ny, nz, c);
  StoreLanes<T>(n, c.r, out, &T::red);
  StoreLanes<T>(n, c.g, out, &T::green);
  StoreLanes<T>(n, c.b, out, &T::blue);
}

// True when h[−1..7] and up[0..7] all hold the same finite float, bit for
// bit (compared as integers, which the compiler does eight at a time).
inline bool FlatEight(const float* h, const float* up) {
  const uint32_t v = std::bit_cast<uint32_t>(h[-1]);
  uint32_t diff = 0;
  for (int i = 0; i < kLanes; ++i)
    diff |= (std::bit_cast<uint32_t>(h[i]) ^ v) | (std::bit_cast<uint32_t>(up[i]) ^ v);
  return diff == 0 && (v & 0x7f800000u) != 0x7f800000u;
}

}  // namespace

template <class T>
PF_Err BlobRIPRow(void* refcon, A_long y, A_long xBegin, A_long xEnd, void* rowPtr) {
  const RIPInfo<T>& info = *static_cast<const RIPInfo<T>*>(refcon);
  T* row = static_cast<T*>(rowPtr);
  // Heights of this row and the one above; the missing neighbour across the
  // left and top edges is the pixel itself.
  const float* h = reinterpret_cast<const float*>(info.heightWorld->data) + static_cast<ptrdiff_t>(y) * info.heightStride;
  const float* up = y > 0 ? h - info.heightStride : h;
  const bool distantOnly = info.shade->GatherIndependentOfPosition();

  FirstError first;
  Batch batch;
  batch.Clear();
  // Calm pixels are taken in runs: one sample call for the run when the host
  // samples runs, then each pixel's calm shading.
  A_long calmFrom = -1;
  const auto calmRun = [&](A_long from, A_long to) {
    T* out = row + from;
    if (info.sampleRunFn) {
      A_long failed = 0;
      const PF_Err err = info.sampleRunFn(info.effectRef, &info.calmFx[static_cast<size_t>(from)],
                                          info.calmFy[static_cast<size_t>(y)], to - from, &info.calmPB, out, &failed);
      first.Note(err, from + failed);
    } else {
      for (A_long x = from; x < to; ++x)
        first.Note(info.sampleFn(info.effectRef, info.calmFx[static_cast<size_t>(x)],
                                 info.calmFy[static_cast<size_t>(y)], &info.calmPB, row + x),
                   x);
    }
    if constexpr (PixelTraits<T>::kClamped) {
      // The table, read through a pointer taken once: the 8-bit stores
      // below could otherwise be the table's own pointer to the compiler.
      if (!info.calmTable.empty()) {
        const auto* t = info.calmTable.data();
        for (A_long x = from; x < to; ++x)
          if (!CalmFromTable(t, row + x)) ShadeCalmByLights(info, x, y, row + x);
        return;
      }
    }
    for (A_long x = from; x < to; ++x) ShadeCalm(info, x, y, row + x);
  };
  for (A_long x0 = xBegin; x0 < xEnd; x0 += kLanes) {
    const int count = static_cast<int>(std::min<A_long>(kLanes, xEnd - x0));
    double dhx[kLanes], dhy[kLanes];
    if (count == kLanes && x0 > 0) {
      // Eight calm pixels at once when the heights they difference (the
      // eight, their left neighbours and the row above) are one finite value,
      // bit for bit: every difference is then +0. Any other group is
      // differenced pixel by pixel below.
      if (info.calmReady && FlatEight(h + x0, up + x0)) {
        if (calmFrom < 0) calmFrom = x0;
        continue;
      }
      for (int i = 0; i < kLanes; ++i) {
        const double c = h[x0 + i];
        dhx[i] = static_cast<double>(h[x0 + i - 1]) - c;
        dhy[i] = static_cast<double>(up[x0 + i]) - c;
      }
    } else {
      for (int i = 0; i < count; ++i) {
        const A_long x = x0 + i;
        const double c = h[x];
        const double l = x > 0 ? h[x - 1] : c;
        dhx[i] = l - c;
        dhy[i] = static_cast<double>(up[x]) - c;
      }
    }
    for (int i = 0; i < count; ++i) {
      const A_long x = x0 + i;
      if (info.calmReady && IsCalm(dhx[i], dhy[i])) [[likely]] {
        if (calmFrom < 0) calmFrom = x;
        continue;
      }
      if (calmFrom >= 0) calmRun(calmFrom, x), calmFrom = -1;
      batch.x[batch.n] = x, batch.dhx[batch.n] = dhx[i], batch.dhy[batch.n] = dhy[i];
      if (++batch.n == kLanes) {
        RippledLanes(info, y, row, batch, distantOnly, first);
        batch.Clear();
      }
    }
  }
  if (calmFrom >= 0) calmRun(calmFrom, xEnd);
  if (batch.n > 0) RippledLanes(info, y, row, batch, distantOnly, first);
  return first.err;
}

template PF_Err BlobRIPRow<PF_Pixel>(void*, A_long, A_long, A_long, void*);
template PF_Err BlobRIPRow<PF_Pixel16>(void*, A_long, A_long, A_long, void*);
template PF_Err BlobRIPRow<PF_PixelFloat>(void*, A_long, A_long, A_long, void*);
