// The iteration services: utils->iterate, utils->iterate16 and
// "PF iterateFloat Suite". Rows are spread over worker threads; every
// destination pixel is visited exactly once, and the reported error is the
// one of the first failing pixel in row order, so the result does not depend
// on the number of threads.
#include <algorithm>
#include <atomic>
#include <climits>
#include <thread>
#include <vector>

#include "callbacks.h"

namespace minihost {
namespace {

template <typename Pixel>
Pixel* PixelAt(PF_EffectWorld* w, A_long x, A_long y) {
  return reinterpret_cast<Pixel*>(reinterpret_cast<uint8_t*>(w->data) + static_cast<ptrdiff_t>(y) * w->rowbytes) + x;
}

template <typename Pixel, typename Fn>
PF_Err Iterate(PF_InData* in_data, PF_EffectWorld* src, const PF_Rect* area, void* refcon, Fn pix_fn,
               PF_EffectWorld* dst) {
  if (!in_data || !dst || !dst->data || !pix_fn) return PF_Err_BAD_CALLBACK_PARAM;
  MiniHost* host = MiniHost::FromRef(in_data->effect_ref);
  const PF_LRect r = ClipToWorld(dst, area);
  if (r.left >= r.right || r.top >= r.bottom) return PF_Err_NONE;

  int threads = host->settings().threads;
  if (threads <= 0) threads = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  threads = std::min<int>(threads, r.bottom - r.top);

  std::atomic<A_long> next_row{r.top};
  // The first failing pixel in row order: (row, column) packed for comparison.
  std::atomic<long long> first_fail{LLONG_MAX};
  std::vector<PF_Err> row_err(static_cast<size_t>(r.bottom - r.top), PF_Err_NONE);

  auto worker = [&] {
    for (;;) {
      const A_long y = next_row.fetch_add(1);
      if (y >= r.bottom) return;
      if (host->cancel_requested()) continue;
      for (A_long x = r.left; x < r.right; ++x) {
        Pixel* in = (src && src->data && x < src->width && y < src->height) ? PixelAt<Pixel>(src, x, y) : nullptr;
        const PF_Err err = pix_fn(refcon, x, y, in, PixelAt<Pixel>(dst, x, y));
        if (err && row_err[static_cast<size_t>(y - r.top)] == PF_Err_NONE) {
          row_err[static_cast<size_t>(y - r.top)] = err;
          const long long key = static_cast<long long>(y) * (1LL << 32) + x;
          long long cur = first_fail.load();
          while (key < cur && !first_fail.compare_exchange_weak(cur, key)) {
          }
        }
      }
    }
  };
  std::vector<std::thread> pool;
  for (int i = 1; i < threads; ++i) pool.emplace_back(worker);
  worker();
  for (auto& t : pool) t.join();

  if (host->cancel_requested()) return PF_Interrupt_CANCEL;
  const long long fail = first_fail.load();
  if (fail != LLONG_MAX) return row_err[static_cast<size_t>(fail / (1LL << 32) - r.top)];
  return PF_Err_NONE;
}

PF_Err IterateFloat(PF_InData* in_data, A_long, A_long, PF_EffectWorld* src, const PF_Rect* area,
                    void* refcon, PF_IteratePixelFloatFunc pix_fn, PF_EffectWorld* dst) {
  return Iterate<PF_PixelFloat>(in_data, src, area, refcon, pix_fn, dst);
}

const PF_iterateFloatSuite1 kIterateFloatSuite = {IterateFloat};

}  // namespace

PF_Err HostIterate8(PF_InData* in_data, A_long, A_long, PF_EffectWorld* src, const PF_Rect* area,
                    void* refcon, PF_IteratePixel8Func pix_fn, PF_EffectWorld* dst) {
  return Iterate<PF_Pixel>(in_data, src, area, refcon, pix_fn, dst);
}

PF_Err HostIterate16(PF_InData* in_data, A_long, A_long, PF_EffectWorld* src, const PF_Rect* area,
                     void* refcon, PF_IteratePixel16Func pix_fn, PF_EffectWorld* dst) {
  return Iterate<PF_Pixel16>(in_data, src, area, refcon, pix_fn, dst);
}

void RegisterIterateSuites(MiniHost& host) {
  host.RegisterSuite(kPFIterateFloatSuite, kPFIterateFloatSuiteVersion1, &kIterateFloatSuite);
}

}  // namespace minihost
