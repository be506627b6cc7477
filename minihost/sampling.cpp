// The sampling suites "PF Sampling8 Suite", "PF Sampling16 Suite" and
// "PF SamplingFloat Suite" (version 1). Their area sample is a box filter:
// a box centred at the 16.16 position with half-widths x_radius, y_radius;
// pixel (i, j) covers [i−½, i+½]×[j−½, j+½] and weighs its overlap area with
// the box; the result is the weighted mean of all four channels. Pixels
// beyond the edges read the nearest edge pixel. Integer depths round the mean
// to nearest; float keeps it. With half-widths of half a pixel this is
// bilinear interpolation. A zero half-width samples that axis at the pixel
// that covers the centre.
//
// How the sum is formed, and why it is exact. Box edges lie on multiples of
// 2^-16 (16.16 positions and radii), so every overlap weight is a multiple of
// 2^-16 no larger than 1, and every weight strictly inside the box is exactly
// 1. The sum runs row by row: each row's weighted sum, then the rows weighted
// and added in order, in double precision.
//  - Integer depths: a row's weighted sum is an integer count of 2^-16 below
//    2^37, which a double holds exactly whatever the order of the additions.
//    For boxes wider than 16 columns it is therefore taken from per-row
//    prefix sums of the world (built once per world and command, on the first
//    such sample), in a time independent of the box width; narrower boxes
//    count their pixels in integers, which is cheaper than building the
//    table. The rows are then combined in double exactly as a pixel-by-pixel
//    sum combines them, so the result is the same to the bit either way.
//  - Float: sums of floats round in double, and the rounding depends on the
//    order, so every pixel is still read and added in row order; only the
//    weights and the edge clamping are worked out once per call instead of
//    per pixel. The four channels are added side by side, each in its own
//    lane with its own additions in the same order.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "minihost/callbacks.h"
#include "minihost/parallel.h"
#include "minihost/sample_tables.h"

namespace minihost {

namespace {

constexpr double kFix = 1.0 / 65536.0;
constexpr int kMaxCount = 1100;       // half-widths up to 549 pixels; wider boxes are cut to that
constexpr int kTableMinColumns = 16;  // the prefix table serves boxes wider than this

// The overlap weights of one axis: pixels first..first+count−1, the first
// weighing wFirst, the last wLast, all others 1.
struct Axis {
  long first = 0;
  int count = 0;
  double wFirst = 0, wLast = 0;
  double total = 0;
  double W(int i) const { return i == 0 ? wFirst : (i == count - 1 ? wLast : 1.0); }
};

// The weights from the 16.16 centre and half-width, in whole units of 2^-16:
// the box edges and pixel borders are such multiples, so these integers are
// exactly the overlaps, and their doubles (÷ 65536) the same values as the
// overlaps measured in double precision.
inline __attribute__((always_inline)) void Weights(PF_Fixed centre, PF_Fixed half_width, Axis& a) {
  constexpr int64_t kHalf = 32768, kMaxHalf = static_cast<int64_t>((kMaxCount - 2) / 2) << 16;
  const int64_t c = centre;
  const int64_t half = std::min<int64_t>(half_width < 0 ? -static_cast<int64_t>(half_width) : half_width, kMaxHalf);
  if (half == 0) {
    a.first = static_cast<long>((c + kHalf) >> 16);  // the pixel covering the centre
    a.count = 1;
    a.wFirst = a.wLast = 1.0;
    a.total = 1.0;
    return;
  }
  const int64_t lo = c - half, hi = c + half;
  const int64_t first = (lo + kHalf) >> 16;         // floor(lo + ½)
  const int64_t last = (hi - kHalf + 65535) >> 16;  // ceil(hi − ½)
  // Pixel first's lower border lies at or below lo, and pixel last's upper
  // border at or above hi, so the box cuts each of those two on one side at
  // most (both sides when they are the same pixel). Both overlaps are more
  // than 0, and first ≤ last: the box is wider than 0.
  const int64_t wf = std::min((first << 16) + kHalf, hi) - lo;
  const int64_t wl = hi - std::max((last << 16) - kHalf, lo);
  a.first = static_cast<long>(first);
  a.count = static_cast<int>(last - first + 1);  // at most kMaxCount, by kMaxHalf
  a.wFirst = static_cast<double>(wf) * kFix;
  a.wLast = static_cast<double>(wl) * kFix;
  // The weights summed: exact in double, whatever the order.
  a.total = (a.count == 1 ? wf : wf + (static_cast<int64_t>(a.count) - 2) * 65536 + wl) * kFix;
}

template <typename Pixel>
const Pixel* RowPtr(const PF_EffectWorld* w, long y) {
  y = std::clamp<long>(y, 0, w->height - 1);
  return reinterpret_cast<const Pixel*>(reinterpret_cast<const uint8_t*>(w->data) + y * static_cast<long>(w->rowbytes));
}

template <typename Pixel>
void BuildRowSums(RowSums& t, const PF_EffectWorld* w, int threads, const ThreadRunner* runner) {
  t.world = w;
  t.data = w->data;
  t.width = w->width;
  t.height = w->height;
  t.rowbytes = w->rowbytes;
  t.pixel_size = sizeof(Pixel);
  t.sums.reset(new uint32_t[static_cast<size_t>(w->height) * (w->width + 1) * 4]);
  RunParallel(threads, w->height, [&t, w](A_long y) {
    const Pixel* row = RowPtr<Pixel>(w, y);
    uint32_t* s = const_cast<uint32_t*>(t.Row(y));
    uint32_t a = 0, r = 0, g = 0, b = 0;
    s[0] = s[1] = s[2] = s[3] = 0;
    for (A_long x = 0; x < w->width; ++x) {
      a += row[x].alpha;
      r += row[x].red;
      g += row[x].green;
      b += row[x].blue;
      uint32_t* e = s + 4 * (x + 1);
      e[0] = a, e[1] = r, e[2] = g, e[3] = b;
    }
  }, 16, runner);
}

// The prefix sums of `w` for this command, built on first use.
template <typename Pixel>
const RowSums* TablesFor(PF_ProgPtr ref, const PF_EffectWorld* w) {
  if (!ref) return nullptr;
  CallContext* ctx = MiniHost::ContextFromRef(ref);
  if (!ctx->sample_tables) return nullptr;
  SampleTables& t = *ctx->sample_tables;
  const RowSums* last = t.last.load(std::memory_order_acquire);
  if (last && last->Matches(w, sizeof(Pixel))) return last;
  std::lock_guard<std::mutex> lock(t.mutex);
  for (auto& e : t.live) {
    if (e->Matches(w, sizeof(Pixel))) {
      t.last.store(e.get(), std::memory_order_release);
      return e.get();
    }
  }
  auto e = std::make_unique<RowSums>();
  BuildRowSums<Pixel>(*e, w, ctx->host ? ctx->host->settings().threads : 1,
                      ctx->host ? &ctx->host->settings().thread_runner : nullptr);
  t.live.push_back(std::move(e));
  t.last.store(t.live.back().get(), std::memory_order_release);
  return t.live.back().get();
}

// Sum of channels over pixels lo..hi of one row (lo ≤ hi), clamped to the
// row: pixels left of 0 read pixel 0, right of width−1 read the last one.
inline void RangeSum(const uint32_t* s, const uint32_t* first_px, const uint32_t* last_px, long width, long lo,
                     long hi, uint64_t out[4]) {
  for (int c = 0; c < 4; ++c) out[c] = 0;
  if (lo < 0) {
    const long n = std::min(hi, -1L) - lo + 1;
    for (int c = 0; c < 4; ++c) out[c] += static_cast<uint64_t>(n) * first_px[c];
    lo = 0;
  }
  if (hi >= width) {
    const long n = hi - std::max(lo, width) + 1;
    if (n > 0)
      for (int c = 0; c < 4; ++c) out[c] += static_cast<uint64_t>(n) * last_px[c];
    hi = width - 1;
  }
  if (lo <= hi) {
    const uint32_t* a = s + 4 * lo;
    const uint32_t* b = s + 4 * (hi + 1);
    for (int c = 0; c < 4; ++c) out[c] += static_cast<uint32_t>(b[c] - a[c]);
  }
}

template <typename Pixel>
void PixelChannels(const Pixel& p, uint32_t out[4]) {
  out[0] = p.alpha, out[1] = p.red, out[2] = p.green, out[3] = p.blue;
}

// Integer depths: each row's weighted sum from the prefix sums, in units of 2^-16.
template <typename Pixel>
void SumRowsInteger(const RowSums& t, const PF_EffectWorld* w, const Axis& ax, const Axis& ay, double acc[4]) {
  const long width = w->width;
  const uint64_t WF = static_cast<uint64_t>(ax.wFirst * 65536.0), WL = static_cast<uint64_t>(ax.wLast * 65536.0);
  for (int j = 0; j < ay.count; ++j) {
    const double wy = ay.W(j);
    if (wy == 0) continue;
    const long y = std::clamp<long>(ay.first + j, 0, w->height - 1);
    const Pixel* row = RowPtr<Pixel>(w, y);
    uint32_t pf[4], pl[4], p0[4], pw[4];
    PixelChannels(row[std::clamp<long>(ax.first, 0, width - 1)], pf);
    uint64_t units[4];
    if (ax.count == 1) {
      for (int c = 0; c < 4; ++c) units[c] = WF * pf[c];
    } else {
      PixelChannels(row[std::clamp<long>(ax.first + ax.count - 1, 0, width - 1)], pl);
      uint64_t inner[4] = {0, 0, 0, 0};
      if (ax.count > 2) {
        PixelChannels(row[0], p0);
        PixelChannels(row[width - 1], pw);
        RangeSum(t.Row(y), p0, pw, width, ax.first + 1, ax.first + ax.count - 2, inner);
      }
      for (int c = 0; c < 4; ++c) units[c] = WF * pf[c] + (inner[c] << 16) + WL * pl[c];
    }
    for (int c = 0; c < 4; ++c) acc[c] += wy * (static_cast<double>(units[c]) * kFix);
  }
}

// Four lanes, one per channel (alpha, red, green, blue): every lane takes the
// same operations a channel of its own would, in the same order. They are
// two 16-byte halves, which any x86-64 processor keeps in registers; a
// 32-byte vector on a target without AVX goes through memory between
// operations (some 10 % of the sample's instructions).
typedef double Half2 __attribute__((vector_size(16)));
struct Lanes4 {
  Half2 lo, hi;
  Lanes4(Half2 l, Half2 h) : lo(l), hi(h) {}
  Lanes4(double a, double r, double g, double b) : lo{a, r}, hi{g, b} {}
  Lanes4& operator+=(const Lanes4& o) {
    lo += o.lo;
    hi += o.hi;
    return *this;
  }
  double operator[](int i) const { return i < 2 ? lo[i] : hi[i - 2]; }
};
inline Lanes4 operator+(Lanes4 a, const Lanes4& b) { return a += b; }
inline Lanes4 operator*(double w, const Lanes4& v) { return {w * v.lo, w * v.hi}; }
inline Lanes4 operator*(const Lanes4& v, double w) { return {v.lo * w, v.hi * w}; }
typedef int32_t Counts4 __attribute__((vector_size(16)));
inline Lanes4 LanesOf(Counts4 c) {
  typedef int32_t Int2 __attribute__((vector_size(8)));
  return {__builtin_convertvector((Int2{c[0], c[1]}), Half2), __builtin_convertvector((Int2{c[2], c[3]}), Half2)};
}

// The four channels' means, sums ÷ total weight, two channels to a division
// (each lane its own IEEE division). Float keeps the mean; integer depths
// round it to nearest as floor(v + 0.5): a mean of unsigned channels is never
// negative nor above 65535, and truncation is the floor of a non-negative
// number.
template <typename Pixel>
inline void StoreMeans(const double acc[4], double total, Pixel* dst) {
  using Channel = decltype(dst->red);
  const Half2 lo = Half2{acc[0], acc[1]} / total, hi = Half2{acc[2], acc[3]} / total;
  if constexpr (std::is_floating_point_v<Channel>) {
    dst->alpha = static_cast<Channel>(lo[0]);
    dst->red = static_cast<Channel>(lo[1]);
    dst->green = static_cast<Channel>(hi[0]);
    dst->blue = static_cast<Channel>(hi[1]);
  } else {
    typedef int32_t Int2 __attribute__((vector_size(8)));
    const Int2 l = __builtin_convertvector(lo + 0.5, Int2), h = __builtin_convertvector(hi + 0.5, Int2);
    dst->alpha = static_cast<Channel>(l[0]);
    dst->red = static_cast<Channel>(l[1]);
    dst->green = static_cast<Channel>(h[0]);
    dst->blue = static_cast<Channel>(h[1]);
  }
}

// An integer pixel's channels (alpha, red, green, blue, their order in
// memory) in 32-bit lanes; 16-bit ones widened at once.
template <typename Pixel>
inline Counts4 CountsOf(const Pixel& q) {
  using Channel = decltype(q.red);
  static_assert(std::is_integral_v<Channel> && sizeof(Pixel) == 4 * sizeof(Channel) && offsetof(Pixel, alpha) == 0 &&
                offsetof(Pixel, blue) == 3 * sizeof(Channel));
  if constexpr (sizeof(Channel) == 1) {
    return Counts4{q.alpha, q.red, q.green, q.blue};  // as cheap as any vector form for bytes
  } else {
    typedef Channel Raw4 __attribute__((vector_size(4 * sizeof(Channel))));
    Raw4 raw;
    std::memcpy(&raw, &q, sizeof raw);
    return __builtin_convertvector(raw, Counts4);
  }
}

// A pixel's channels as doubles (the same values however converted: integer
// channels through 32-bit lanes, two at a time).
template <typename Pixel>
inline Lanes4 PixelLanes(const Pixel& q) {
  if constexpr (std::is_floating_point_v<decltype(q.red)>) {
    return {static_cast<double>(q.alpha), static_cast<double>(q.red), static_cast<double>(q.green),
            static_cast<double>(q.blue)};
  } else {
    return LanesOf(CountsOf(q));
  }
}

// sum += w × q, or sum += q for a pixel of weight exactly 1 (1 × p is p).
template <typename Pixel>
inline void AddLanes(Lanes4& sum, double w, const Pixel& q) {
  sum += w * PixelLanes(q);
}
template <typename Pixel>
inline void AddLanes(Lanes4& sum, const Pixel& q) {
  sum += PixelLanes(q);
}

// Float: every pixel read and added in row order, in double. The weights
// inside the box are exactly 1, so those pixels are added as they are
// (1 × p is p); columns need clamping only when the box crosses an edge.
template <typename Pixel>
void SumRowsDirect(const PF_EffectWorld* w, const Axis& ax, const Axis& ay, double acc[4]) {
  const long width = w->width;
  const long firstCol = ax.first, lastCol = ax.first + ax.count - 1;
  const bool inside = firstCol >= 0 && lastCol < width;
  Lanes4 total{acc[0], acc[1], acc[2], acc[3]};
  for (int j = 0; j < ay.count; ++j) {
    const double wy = ay.W(j);
    if (wy == 0) continue;
    const Pixel* row = RowPtr<Pixel>(w, ay.first + j);
    Lanes4 sum{0, 0, 0, 0};
    if (inside) {
      const Pixel* p = row + firstCol;
      if (ax.wFirst != 0) AddLanes(sum, ax.wFirst, *p);
      if (ax.count > 1) {
        for (int i = 1; i < ax.count - 1; ++i) AddLanes(sum, p[i]);
        if (ax.wLast != 0) AddLanes(sum, ax.wLast, p[ax.count - 1]);
      }
    } else {
      for (int i = 0; i < ax.count; ++i) {
        const double wx = ax.W(i);
        if (wx == 0) continue;
        AddLanes(sum, wx, row[std::clamp<long>(ax.first + i, 0, width - 1)]);
      }
    }
    total += wy * sum;
  }
  for (int c = 0; c < 4; ++c) acc[c] = total[c];
}

// Integer depths: a row's weighted sum is a whole number of 2^-16 (see
// above). Here the inner pixels of weight 1 are counted in integers (at most
// 1100 pixels of at most 65535 fit in 31 bits), and the row's sum is formed
// in units of 2^-16 from the counts and the two edge pixels; each of those
// products and sums is a whole number below 2^53, so exact in double, and
// the row's sum is the very value the pixel-by-pixel double sum reaches.
template <typename Pixel>
void SumRowsCounted(const PF_EffectWorld* w, const Axis& ax, const Axis& ay, double acc[4]) {
  const long width = w->width;
  const double WF = ax.wFirst * 65536.0, WL = ax.wLast * 65536.0;
  const long firstCol = ax.first, lastCol = ax.first + ax.count - 1;
  const bool inside = firstCol >= 0 && lastCol < width;
  Lanes4 total{acc[0], acc[1], acc[2], acc[3]};
  for (int j = 0; j < ay.count; ++j) {
    const double wy = ay.W(j);
    if (wy == 0) continue;
    const Pixel* row = RowPtr<Pixel>(w, ay.first + j);
    const Pixel& pf = row[std::clamp<long>(firstCol, 0, width - 1)];
    Lanes4 units = WF * PixelLanes(pf);
    if (ax.count > 1) {
      const Pixel& pl = row[std::clamp<long>(lastCol, 0, width - 1)];
      Counts4 inner{0, 0, 0, 0};
      if (inside) {
        for (long x = firstCol + 1; x < lastCol; ++x) inner += CountsOf(row[x]);
      } else {
        for (long x = firstCol + 1; x < lastCol; ++x) inner += CountsOf(row[std::clamp<long>(x, 0, width - 1)]);
      }
      units = (units + 65536.0 * LanesOf(inner)) + WL * PixelLanes(pl);
    }
    total += wy * (units * kFix);
  }
  for (int c = 0; c < 4; ++c) acc[c] = total[c];
}

// The same sums as SumRowsDirect for boxes of at most two pixels on each
// axis (a centred or slightly widened half-pixel box, the common request):
// the same reads, products and additions in the same order, unrolled.
template <typename Pixel>
inline __attribute__((always_inline)) void SumRowsSmall(const PF_EffectWorld* w, const Axis& ax, const Axis& ay,
                                                        double acc[4]) {
  const long width = w->width;
  const long c0 = std::clamp<long>(ax.first, 0, width - 1);
  const long c1 = std::clamp<long>(ax.first + 1, 0, width - 1);
  const double wx0 = ax.wFirst, wx1 = ax.wLast;
  const bool two = ax.count == 2;
  Lanes4 total{acc[0], acc[1], acc[2], acc[3]};
  for (int j = 0; j < ay.count; ++j) {
    const double wy = j == 0 ? ay.wFirst : ay.wLast;
    if (wy == 0) continue;
    const Pixel* row = RowPtr<Pixel>(w, ay.first + j);
    Lanes4 sum{0, 0, 0, 0};
    if (wx0 != 0) AddLanes(sum, wx0, row[c0]);
    if (two && wx1 != 0) AddLanes(sum, wx1, row[c1]);
    total += wy * sum;
  }
  for (int c = 0; c < 4; ++c) acc[c] = total[c];
}

// Any box: the weighted mean of the pixels it covers.
template <typename Pixel>
__attribute__((noinline)) PF_Err AreaSampleBox(PF_ProgPtr ref, PF_Fixed x, PF_Fixed y, const PF_SampPB* pb,
                                               Pixel* dst) {
  if (!pb || !dst || !pb->src || !pb->src->data || pb->src->width <= 0 || pb->src->height <= 0)
    return PF_Err_BAD_CALLBACK_PARAM;
  using Channel = decltype(dst->red);
  Axis ax, ay;
  Weights(x, pb->x_radius, ax);
  Weights(y, pb->y_radius, ay);
  const double total = ax.total * ay.total;
  if (!(total > 0)) return PF_Err_BAD_CALLBACK_PARAM;
  double acc[4] = {0, 0, 0, 0};
  if (ax.count <= 2 && ay.count <= 2) {
    SumRowsSmall<Pixel>(pb->src, ax, ay, acc);
  } else if constexpr (std::is_floating_point_v<Channel>) {
    SumRowsDirect<Pixel>(pb->src, ax, ay, acc);
  } else {
    // Narrow boxes are cheaper to add up than a table of the whole world is
    // to build (a frame of rain rarely asks for wider ones): the table
    // serves wide boxes only. Both give the same sums (see above).
    const RowSums* t = ax.count > kTableMinColumns ? TablesFor<Pixel>(ref, pb->src) : nullptr;
    if (t) SumRowsInteger<Pixel>(*t, pb->src, ax, ay, acc);
    else SumRowsCounted<Pixel>(pb->src, ax, ay, acc);
  }
  StoreMeans(acc, total, dst);
  return PF_Err_NONE;
}

// Pixels taken as samples of weight 1: integer channels as they are, float
// ones as the sum forms them, 0 + v (a negative zero turns positive, every
// other value is kept).
template <typename Pixel>
inline void CopyPixels(const Pixel* from, long n, Pixel* to) {
  if constexpr (std::is_floating_point_v<decltype(from->red)>) {
    for (long k = 0; k < n; ++k) {
      to[k].alpha = from[k].alpha + 0.0f;
      to[k].red = from[k].red + 0.0f;
      to[k].green = from[k].green + 0.0f;
      to[k].blue = from[k].blue + 0.0f;
    }
  } else {
    std::memmove(to, from, static_cast<size_t>(n) * sizeof(Pixel));
  }
}

// The area sample. A half-pixel box centred on a pixel (an undisplaced
// sample, most of a frame) is answered here without the general sums: one
// pixel of weight 1 and a total weight of 1, so the mean is the pixel
// itself. An integer channel is a whole non-negative mean, which rounds to
// itself, and a float one is 0 + v. Every other request goes to
// AreaSampleBox.
template <typename Pixel>
PF_Err AreaSample(PF_ProgPtr ref, PF_Fixed x, PF_Fixed y, const PF_SampPB* pb, Pixel* dst) {
  if (pb && dst && pb->x_radius == 32768 && pb->y_radius == 32768 && ((x | y) & 0xFFFF) == 0) {
    const PF_EffectWorld* w = pb->src;
    if (w && w->data && w->width > 0 && w->height > 0) {
      CopyPixels(RowPtr<Pixel>(w, y >> 16) + std::clamp<long>(x >> 16, 0, w->width - 1), 1, dst);
      return PF_Err_NONE;
    }
  }
  return AreaSampleBox<Pixel>(ref, x, y, pb, dst);
}

// A run of samples of one row: each the area sample above would give. When
// the request is the centred half-pixel box on a whole row, the samples at
// whole columns are the pixels themselves, read without a call apiece, and a
// stretch of consecutive columns inside the row is copied as it lies.
template <typename Pixel>
PF_Err AreaSampleRun(PF_ProgPtr ref, const PF_Fixed* xs, PF_Fixed y, A_long count, const PF_SampPB* pb, Pixel* dst,
                     A_long* failed_index) {
  PF_Err first = PF_Err_NONE;
  A_long at = count;
  const PF_EffectWorld* w = pb ? pb->src : nullptr;
  const bool whole = dst && xs && w && w->data && w->width > 0 && w->height > 0 && pb->x_radius == 32768 &&
                     pb->y_radius == 32768 && (y & 0xFFFF) == 0;
  const Pixel* row = whole ? RowPtr<Pixel>(w, y >> 16) : nullptr;
  for (A_long i = 0; i < count; ++i) {
    PF_Err err = PF_Err_NONE;
    if (whole && (xs[i] & 0xFFFF) == 0) {
      // The pixel at the column, held at the row's ends; from a column inside
      // the row, also the columns that follow on, as long as they stay inside.
      const long column = std::clamp<long>(xs[i] >> 16, 0, w->width - 1);
      long n = 1;
      if (column == xs[i] >> 16) {
        const long most = std::min<long>(count - i, w->width - column);
        while (n < most && static_cast<int64_t>(xs[i + n]) == static_cast<int64_t>(xs[i]) + n * 65536) ++n;
      }
      CopyPixels(row + column, n, dst + i);
      i += n - 1;
    } else {
      err = AreaSample<Pixel>(ref, xs ? xs[i] : 0, y, pb, dst ? dst + i : nullptr);
    }
    if (err && !first) first = err, at = i;
  }
  if (failed_index) *failed_index = at;
  return first;
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

PF_Err SampleRun8(PF_ProgPtr ref, const PF_Fixed* xs, PF_Fixed y, A_long count, const PF_SampPB* pb, PF_Pixel* dst,
                  A_long* failed_index) {
  return AreaSampleRun<PF_Pixel>(ref, xs, y, count, pb, dst, failed_index);
}
PF_Err SampleRun16(PF_ProgPtr ref, const PF_Fixed* xs, PF_Fixed y, A_long count, const PF_SampPB* pb,
                   PF_Pixel16* dst, A_long* failed_index) {
  return AreaSampleRun<PF_Pixel16>(ref, xs, y, count, pb, dst, failed_index);
}
PF_Err SampleRunFloat(PF_ProgPtr ref, const PF_Fixed* xs, PF_Fixed y, A_long count, const PF_SampPB* pb,
                      PF_PixelFloat* dst, A_long* failed_index) {
  return AreaSampleRun<PF_PixelFloat>(ref, xs, y, count, pb, dst, failed_index);
}

void RegisterSamplingSuites(MiniHost& host) {
  host.RegisterSuite(kPFSampling8Suite, kPFSamplingSuiteVersion1, &kSampling8);
  host.RegisterSuite(kPFSampling16Suite, kPFSamplingSuiteVersion1, &kSampling16);
  host.RegisterSuite(kPFSamplingFloatSuite, kPFSamplingSuiteVersion1, &kSamplingFloat);
}

}  // namespace minihost
