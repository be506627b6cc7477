// How fast the effect renders: whole frames through the session layer, and
// the per-drop and per-pixel pieces the frame time is made of.
//
// Targets on the 2-core reference machine (see the README): a default
// 1920×1080 frame in well under a second in every depth, with the kernel
// pass (one sample and one shading call per pixel) the larger share.
#include <benchmark/benchmark.h>

#include <chrono>
#include <vector>

#include "minihost/host.h"
#include "session/session.h"
#include "light/light_shade.h"
#include "ripple/height_field.h"
#include "tests/support/world_util.h"

namespace {

struct FrameOptions {
  int threads = 0;          // 0: every core
  bool heavy_rain = false;  // Drip Rate 10, Longevity (sec) 3
  A_long frame = 30;        // the first of the frames every iteration renders
  A_long frames = 10;       // how many frames every iteration renders
};

// Fixed work: every iteration renders the same frames (30 to 39 unless told
// otherwise), so two builds are timed on the same pixels, and the time shown
// is per frame. The session's first frame (buffers made and touched for the
// first time) is rendered before the timed loop and reported apart, as
// first_frame_ms; in a fresh process it also pays for the first touch of
// the memory, which bench/whole_process.sh and `pluvane render` show.
void BM_Frame(benchmark::State& state, pluvane::session::Depth depth, A_long w, A_long h, PF_Quality quality,
              FrameOptions opt = {}) {
  namespace session = pluvane::session;
  using Clock = std::chrono::steady_clock;
  session::Session effect(minihost::MiniHost::DefaultModulePath(), w, h);
  effect.SetDraft(quality == PF_Quality_LO);
  effect.SetThreads(opt.threads);
  if (opt.heavy_rain) {
    effect.Apply(session::ParseSetOption("Drip Rate=10"));
    effect.Apply(session::ParseSetOption("Longevity (sec)=3"));
  }
  auto input = effect.NewWorld(depth);
  testutil::FillPattern(input.get());
  auto output = effect.NewWorld(depth);
  const auto t0 = Clock::now();
  if (effect.RenderFrame(opt.frame, input.get(), output.get()) != PF_Err_NONE) state.SkipWithError("render failed");
  const double first_ms = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
  for (auto _ : state) {
    const auto start = Clock::now();
    for (A_long f = opt.frame; f < opt.frame + opt.frames; ++f)
      if (effect.RenderFrame(f, input.get(), output.get()) != PF_Err_NONE) state.SkipWithError("render failed");
    state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count() / opt.frames);
  }
  state.counters["first_frame_ms"] = first_ms;
  state.counters["Mpixel/s"] = benchmark::Counter(static_cast<double>(w) * h * state.iterations() / 1e6,
                                                 benchmark::Counter::kIsRate);
}

BENCHMARK_CAPTURE(BM_Frame, hd_8bit, pluvane::session::Depth::k8, 1920, 1080, PF_Quality_HI)->Unit(benchmark::kMillisecond)->UseManualTime();
BENCHMARK_CAPTURE(BM_Frame, hd_16bit, pluvane::session::Depth::k16, 1920, 1080, PF_Quality_HI)->Unit(benchmark::kMillisecond)->UseManualTime();
BENCHMARK_CAPTURE(BM_Frame, hd_float, pluvane::session::Depth::k32, 1920, 1080, PF_Quality_HI)->Unit(benchmark::kMillisecond)->UseManualTime();
BENCHMARK_CAPTURE(BM_Frame, hd_8bit_draft, pluvane::session::Depth::k8, 1920, 1080, PF_Quality_LO)->Unit(benchmark::kMillisecond)->UseManualTime();
// The targets table: heavy rain at frames 100 to 104, 4K, and one worker against two.
BENCHMARK_CAPTURE(BM_Frame, hd_8bit_heavy_rain_f100, pluvane::session::Depth::k8, 1920, 1080, PF_Quality_HI,
                  FrameOptions{0, true, 100, 5})->Unit(benchmark::kMillisecond)->UseManualTime();
BENCHMARK_CAPTURE(BM_Frame, uhd_8bit, pluvane::session::Depth::k8, 3840, 2160, PF_Quality_HI, FrameOptions{0, false, 30, 4})->Unit(benchmark::kMillisecond)->UseManualTime();
BENCHMARK_CAPTURE(BM_Frame, hd_8bit_1thread, pluvane::session::Depth::k8, 1920, 1080, PF_Quality_HI, FrameOptions{1})
    ->Unit(benchmark::kMillisecond)->UseManualTime();
BENCHMARK_CAPTURE(BM_Frame, hd_8bit_2threads, pluvane::session::Depth::k8, 1920, 1080, PF_Quality_HI, FrameOptions{2})
    ->Unit(benchmark::kMillisecond)->UseManualTime();

// One ripple of radius 60 into a 1080p float field.
void BM_DrawForce(benchmark::State& state) {
  PF_InData in{};
  in.utils = minihost::UtilCallbacks();
  std::vector<float> cells(1920 * 1080, 0.0f);
  PF_LayerDef field{};
  field.data = reinterpret_cast<PF_PixelPtr>(cells.data());
  field.width = 1920;
  field.height = 1080;
  field.rowbytes = 1920 * 4;
  FX_PAR par{1920, 1080, 1, 1, 1, 1, 1};
  for (auto _ : state) FX_DrawForce(&in, &par, FX_D_Point{960, 540, 0}, 0.01, 60, 0.2, &field);
  benchmark::DoNotOptimize(cells.data());
}
BENCHMARK(BM_DrawForce);

// Shading one pixel with the effect's own light and a white ambient light.
void BM_ShadePixel(benchmark::State& state) {
  PF_InData in{};
  in.utils = minihost::UtilCallbacks();
  LightShade shade(&in, 1.0, 0.5, 1.0, 0.0, 1.0, 66.7);
  shade.AddAmbientLight(FX_Double_Pixel{1, 1, 1, 1});
  NewLightSource light{};
  light.type = kLightDistant;
  light.color = FX_Double_Pixel{1, 1, 1, 1};
  light.direction = FX_D_Point{0.3, -0.3, 0.9055};
  shade.AddLightSource(light);
  FX_Double_Pixel p{1, 0.4, 0.6, 0.8};
  FX_D_Point n{0.1, 0.05, 0.9937};
  for (auto _ : state) benchmark::DoNotOptimize(shade.ShadePixel(p, n, 100.0, 200.0));
}
BENCHMARK(BM_ShadePixel);

}  // namespace
