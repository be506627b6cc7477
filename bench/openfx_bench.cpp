// The OpenFX plug-in's cost over the session it wraps: a default 1920×1080
// float frame rendered through the bundle (loaded by the tests' OFX host,
// pixel pass on that host's thread pool) against the same frame rendered by
// a session directly, with as many workers. Target: the plug-in within 10 %
// of the session.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "host/entry.h"
#include "tests/support/ofx_host.h"
#include "session/session.h"

namespace {

namespace session = pluvane::session;
constexpr int kW = 1920, kH = 1080;
constexpr int kWorkers = 3;  // the tests' OFX host reports three CPUs
constexpr double kFrame = 30;

std::vector<float> Picture() {
  std::vector<float> v(static_cast<size_t>(kW) * kH * 4);
  for (int y = 0; y < kH; ++y)
    for (int x = 0; x < kW; ++x) {
      float* p = &v[(static_cast<size_t>(y) * kW + x) * 4];
      p[0] = static_cast<float>(x) / kW, p[1] = static_cast<float>(y) / kH, p[2] = ((x / 40 + y / 40) & 1) ? 0.8f : 0.2f;
      p[3] = 1.0f;
    }
  return v;
}

void BM_OfxPluginFloat1080p(benchmark::State& state) {
  ofxtest::Host host(PLUVANE_OFX_PATH);
  if (!host.loaded() || host.Load() != kOfxStatOK || host.Describe() != kOfxStatOK ||
      host.DescribeInContext(kOfxImageEffectContextFilter) != kOfxStatOK) {
    state.SkipWithError("the OpenFX bundle did not load");
    return;
  }
  ofxtest::Layout layout;
  layout.width = kW, layout.height = kH, layout.depth = kOfxBitDepthFloat;
  ofxtest::Effect* inst = host.CreateInstance(kOfxImageEffectContextFilter, layout);
  ofxtest::Picture src, dst;
  src.bounds = dst.bounds = {0, 0, kW, kH};
  src.depth = dst.depth = kOfxBitDepthFloat;
  src.Allocate(), dst.Allocate();
  const std::vector<float> pic = Picture();
  std::vector<unsigned char> bytes(pic.size() * 4);
  std::memcpy(bytes.data(), pic.data(), bytes.size());
  src.memory = bytes;
  inst->clips.at(kOfxImageEffectSimpleSourceClipName)->picture = &src;
  inst->clips.at(kOfxImageEffectOutputClipName)->picture = &dst;
  ofxtest::PropertySet in;
  in.Doubles(kOfxPropTime, {kFrame});
  in.Doubles(kOfxImageEffectPropRenderScale, {1, 1});
  in.Ints(kOfxImageEffectPropRenderWindow, {0, 0, kW, kH});
  for (auto _ : state)
    if (host.Call(kOfxImageEffectActionRender, inst->handle(), &in) != kOfxStatOK) state.SkipWithError("render failed");
  host.DestroyInstance(inst);
}
BENCHMARK(BM_OfxPluginFloat1080p)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_SessionFloat1080p(benchmark::State& state) {
  session::Session s(&MainEntry, kW, kH);
  s.SetRate({25, 1});
  s.SetThreads(kWorkers);
  const std::vector<float> in = Picture();
  std::vector<float> out(in.size());
  const session::PixelView iv{in.data(), kW * 16, kW, kH, session::SampleType::kFloat};
  const session::MutablePixelView ov{out.data(), kW * 16, kW, kH, session::SampleType::kFloat};
  for (auto _ : state)
    if (s.RenderFrame(static_cast<long long>(kFrame), iv, ov, session::Depth::k32) != PF_Err_NONE)
      state.SkipWithError("render failed");
}
BENCHMARK(BM_SessionFloat1080p)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
