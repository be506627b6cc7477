// The iteration services: utils->iterate, utils->iterate16 and
// "PF iterateFloat Suite". Rows are spread over worker threads; every
// destination pixel is visited exactly once, and the reported error is the
// one of the first failing pixel in row order, so the result does not depend
// on the number of threads.
//
// "PF Iterate Generic Suite": runs a function for every index of a range
// across the same workers, for work that is not one pixel at a time.
//
// "Pluvane Iterate Rows Suite", this host's own: the pixel iteration with a
// whole row per call.
#include <algorithm>
#include <atomic>
#include <vector>

#include "minihost/callbacks.h"
#include "minihost/parallel.h"

namespace minihost {
namespace {

// Counts finished bands or rows for the host's work listener, when there is one.
class WorkCounter {
 public:
  WorkCounter(const MiniHost& host, MiniHost::Work work, A_long total)
      : listener_(host.work_listener()), work_(work), total_(total) {}
  void OneDone() {
    if (listener_) listener_(work_, done_.fetch_add(1, std::memory_order_relaxed) + 1, total_);
  }

 private:
  const MiniHost::WorkListener& listener_;
  MiniHost::Work work_;
  A_long total_;
  std::atomic<A_long> done_{0};
};

template <typename Pixel>
Pixel* PixelAt(PF_EffectWorld* w, A_long x, A_long y) {
  return reinterpret_cast<Pixel*>(reinterpret_cast<uint8_t*>(w->data) + static_cast<ptrdiff_t>(y) * w->rowbytes) + x;
}

// Runs row_fn(y, r) for every row y of the area of dst clipped to the world
// r, spread over the workers. A cancel stops the rows not yet started; the
// error of the first failing row in order is returned, whatever the number of
// threads.
template <typename RowFn>
PF_Err ForEachRow(PF_InData* in_data, const PF_Rect* area, PF_EffectWorld* dst, RowFn row_fn) {
  MiniHost* host = MiniHost::FromRef(in_data->effect_ref);
  ForgetSampleTables(MiniHost::ContextFromRef(in_data->effect_ref), dst);
  const PF_LRect r = ClipToWorld(dst, area);
  if (r.left >= r.right || r.top >= r.bottom) return PF_Err_NONE;

  std::vector<PF_Err> row_err(static_cast<size_t>(r.bottom - r.top), PF_Err_NONE);
  WorkCounter rows(*host, MiniHost::Work::kRows, r.bottom - r.top);
  RunParallel(host->settings().threads, r.bottom - r.top, [&](A_long i) {
    if (host->cancel_requested()) return;
    row_err[static_cast<size_t>(i)] = row_fn(r.top + i, r);
    rows.OneDone();
  }, 1, &host->settings().thread_runner);

  if (host->cancel_requested()) return PF_Interrupt_CANCEL;
  for (PF_Err err : row_err)
    if (err) return err;
  return PF_Err_NONE;
}

template <typename Pixel, typename Fn>
PF_Err Iterate(PF_InData* in_data, PF_EffectWorld* src, const PF_Rect* area, void* refcon, Fn pix_fn,
               PF_EffectWorld* dst) {
  if (!in_data || !dst || !dst->data || !pix_fn) return PF_Err_BAD_CALLBACK_PARAM;
  const bool has_src = src && src->data;
  return ForEachRow(in_data, area, dst, [&](A_long y, const PF_LRect& r) {
    Pixel* out = PixelAt<Pixel>(dst, 0, y);
    Pixel* in = has_src && y < src->height ? PixelAt<Pixel>(src, 0, y) : nullptr;
    const A_long in_end = in ? std::min(r.right, src->width) : r.left;
    PF_Err first = PF_Err_NONE;
    A_long x = r.left;
    for (; x < in_end; ++x) {
      const PF_Err err = pix_fn(refcon, x, y, in + x, out + x);
      if (err && !first) first = err;
    }
    // Past the source (or without one) the function gets no input pixel;
    // the loop is the common case of a render without a source world.
    for (; x < r.right; ++x) {
      const PF_Err err = pix_fn(refcon, x, y, nullptr, out + x);
      if (err && !first) first = err;
    }
    return first;
  });
}

// The rows of the area, each handed to fn whole, on the same workers and
// with the same cancelling, progress and error rules as the pixel iteration.
PF_Err IterateRows(PF_InData* in_data, const PF_Rect* area, void* refcon, PF_IterateRowFunc fn,
                   PF_EffectWorld* dst) {
  if (!in_data || !dst || !dst->data || !fn) return PF_Err_BAD_CALLBACK_PARAM;
  return ForEachRow(in_data, area, dst, [&](A_long y, const PF_LRect& r) {
    uint8_t* row = reinterpret_cast<uint8_t*>(dst->data) + static_cast<ptrdiff_t>(y) * dst->rowbytes;
    return fn(refcon, y, r.left, r.right, row);
  });
}

const PF_IterateRowsSuite1 kIterateRowsSuite = {IterateRows, SampleRun8, SampleRun16, SampleRunFloat};

PF_Err IterateFloat(PF_InData* in_data, A_long, A_long, PF_EffectWorld* src, const PF_Rect* area,
                    void* refcon, PF_IteratePixelFloatFunc pix_fn, PF_EffectWorld* dst) {
  return Iterate<PF_PixelFloat>(in_data, src, area, refcon, pix_fn, dst);
}

const PF_iterateFloatSuite1 kIterateFloatSuite = {IterateFloat};

// fn(refcon, thread_index, i, iterations) for every i in 0..iterations−1;
// thread_index is the worker's number, 0 for the calling thread. The error of
// the lowest failing index is returned; all indices run even after one fails.
PF_Err IterateGeneric(PF_ProgPtr effect_ref, A_long iterations, void* refcon, PF_IterateGenericFunc fn) {
  if (!effect_ref || !fn || iterations < 0) return PF_Err_BAD_CALLBACK_PARAM;
  MiniHost* host = MiniHost::FromRef(effect_ref);
  std::vector<PF_Err> errs(static_cast<size_t>(iterations), PF_Err_NONE);
  WorkCounter bands(*host, MiniHost::Work::kBands, iterations);
  RunParallel(host->settings().threads, iterations, [&](A_long i, int worker) {
    errs[static_cast<size_t>(i)] = fn(refcon, worker, i, iterations);
    bands.OneDone();
  }, 1, &host->settings().thread_runner);
  for (PF_Err err : errs)
    if (err) return err;
  return PF_Err_NONE;
}

const PF_IterateGenericSuite1 kIterateGenericSuite = {IterateGeneric};

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
  host.RegisterSuite(kPFIterateGenericSuite, kPFIterateGenericSuiteVersion1, &kIterateGenericSuite);
  host.RegisterSuite(kPluvaneIterateRowsSuite, kPluvaneIterateRowsSuiteVersion1, &kIterateRowsSuite);
}

}  // namespace minihost
