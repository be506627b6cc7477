// The effect module as a careless or hostile host drives it: any control
// values (out of range, NaN, infinite), any time, time scale and step (0 and
// negative too), world sizes from 0x0, odd downsample factors and pixel
// aspects, both render protocols and every depth. The module must answer every
// call with a result code, never crash, and give back what it took.
// It drives the stand-in host directly rather than the session layer: the
// session only ever sends well-formed times and sizes, and this target is
// about the raw host records no session would produce.
#include <dlfcn.h>
#include <fuzzer/FuzzedDataProvider.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <memory>

#include "minihost/composition.h"
#include "minihost/host.h"
#include "tests/support/test_host.h"

namespace {

constexpr PF_PixelFormat kFormats[] = {PF_PixelFormat_ARGB32, PF_PixelFormat_ARGB64, PF_PixelFormat_ARGB128};

double AnyDouble(FuzzedDataProvider& in) {
  switch (in.ConsumeIntegralInRange<int>(0, 5)) {
    case 0: return std::numeric_limits<double>::quiet_NaN();
    case 1: return std::numeric_limits<double>::infinity() * (in.ConsumeBool() ? 1 : -1);
    case 2: return in.ConsumeFloatingPoint<double>();
    default: return in.ConsumeFloatingPointInRange<double>(-2000.0, 6000.0);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  minihost::LayerSettings s;
  s.width = in.ConsumeIntegralInRange<A_long>(0, 80);
  s.height = in.ConsumeIntegralInRange<A_long>(0, 80);
  s.time_scale = in.ConsumeIntegral<A_u_long>();
  s.time_step = in.ConsumeIntegral<A_long>();
  s.local_time_step = in.ConsumeBool() ? s.time_step : in.ConsumeIntegral<A_long>();
  s.total_time = in.ConsumeIntegral<A_long>();
  // The work of a frame grows with the drop life in frames, Longevity x
  // time_scale / local_time_step: a host running at a billion frames per
  // second asks for a billion birth frames, which is slow, not wrong. Keep the
  // rate to what hosts run at (zero and negative steps stay possible).
  if (s.local_time_step != 0) {
    const unsigned long long most = 1000ull * static_cast<unsigned long long>(std::llabs(s.local_time_step));
    if (s.time_scale > most) s.time_scale = static_cast<A_u_long>(s.time_scale % (most + 1));
  }
  s.downsample_x = {in.ConsumeIntegralInRange<A_long>(-2, 8), in.ConsumeIntegralInRange<A_u_long>(0, 8)};
  s.downsample_y = in.ConsumeBool() ? s.downsample_x
                                    : PF_RationalScale{in.ConsumeIntegralInRange<A_long>(-2, 8),
                                                       in.ConsumeIntegralInRange<A_u_long>(0, 8)};
  s.pixel_aspect_ratio = {in.ConsumeIntegral<A_long>(), in.ConsumeIntegral<A_u_long>()};
  s.quality = in.ConsumeBool() ? PF_Quality_HI : PF_Quality_LO;
  s.threads = in.ConsumeIntegralInRange<int>(1, 2);

  static const std::string module = minihost::MiniHost::DefaultModulePath();
  // One extra reference keeps the module mapped between runs: libFuzzer keeps
  // its coverage counters, which live in the module.
  static void* const keep_loaded = dlopen(module.c_str(), RTLD_NOW | RTLD_LOCAL);
  (void)keep_loaded;
  minihost::TestHost host(module, s);
  // A user cancels a render that takes too long; so does this host, which
  // also drives the module's cancellation path.
  host.faults().cancel_at_progress = 4000;
  PF_OutData out{};
  if (host.GlobalSetup(&out) != PF_Err_NONE || host.ParamsSetup() != PF_Err_NONE) return 0;

  const int params = static_cast<int>(host.params().size());
  for (int n = in.ConsumeIntegralInRange<int>(0, 12); n > 0 && params > 1; --n) {
    const int index = in.ConsumeIntegralInRange<int>(1, params - 1);
    switch (host.params()[index].param_type) {
      case PF_Param_SLIDER:
      case PF_Param_FIX_SLIDER:
      case PF_Param_ANGLE: {
        double v = AnyDouble(in);
        // The frame's work grows with Drip Rate x Longevity (sec): at their
        // valid maximums (100 and 100 s) a frame holds millions of drops,
        // slow and not wrong. Those two stay within their slider spans (5
        // and 6): the host saturates an infinity to the 16.16 limit, 32767,
        // far past the valid maximum, so an infinity becomes the span's end
        // here. NaN still goes through.
        if ((index == 1 || index == 2) && std::fabs(v) > 6.0)
          v = std::isfinite(v) ? std::fmod(v, 6.0) : std::copysign(6.0, v);
        host.SetFixed(index, v);
        break;
      }
      case PF_Param_POPUP: host.SetPopup(index, in.ConsumeIntegralInRange<A_long>(-2, 5)); break;
      case PF_Param_COLOR: {
        PF_Pixel c{in.ConsumeIntegral<A_u_char>(), in.ConsumeIntegral<A_u_char>(), in.ConsumeIntegral<A_u_char>(),
                   in.ConsumeIntegral<A_u_char>()};
        host.SetColor(index, c);
        break;
      }
      case PF_Param_POINT: host.SetPoint(index, AnyDouble(in), AnyDouble(in)); break;
      default: break;
    }
  }
  for (int n = in.ConsumeIntegralInRange<int>(0, 3); n > 0; --n) {
    minihost::LightLayer light;
    light.type = static_cast<minihost::LightKind>(in.ConsumeIntegralInRange<int>(0, 3));
    for (double& v : light.position) v = AnyDouble(in);
    if (in.ConsumeBool()) light.point_of_interest = std::array<double, 3>{AnyDouble(in), AnyDouble(in), AnyDouble(in)};
    light.intensity = AnyDouble(in);
    light.cone_angle = AnyDouble(in);
    light.cone_feather = AnyDouble(in);
    host.composition().AddLight(light);
  }

  const PF_PixelFormat format = kFormats[in.ConsumeIntegralInRange<int>(0, 2)];
  const A_long w = in.ConsumeIntegralInRange<A_long>(0, 80), h = in.ConsumeIntegralInRange<A_long>(0, 80);
  minihost::WorldPtr input = host.NewWorld(w, h, format);
  minihost::WorldPtr output = host.NewWorld(in.ConsumeBool() ? w : in.ConsumeIntegralInRange<A_long>(0, 80),
                                            in.ConsumeBool() ? h : in.ConsumeIntegralInRange<A_long>(0, 80), format);
  if (!input || !output) return 0;
  for (A_long y = 0; y < h; ++y) {
    auto* row = reinterpret_cast<uint8_t*>(input->data) + static_cast<ptrdiff_t>(y) * input->rowbytes;
    for (size_t b = 0; b < static_cast<size_t>(w) * minihost::MiniHost::PixelSize(format); ++b)
      row[b] = in.ConsumeIntegral<uint8_t>();
  }
  minihost::FrameRequest request;
  request.time = in.ConsumeIntegral<A_long>();
  request.input = input.get();
  request.output = output.get();
  request.protocol = in.ConsumeBool() ? minihost::Protocol::kSmart : minihost::Protocol::kClassic;
  host.RenderFrame(request);
  // Whatever the result, the module gave back every suite it took.
  if (host.total_acquired() != host.total_released()) std::abort();
  return 0;
}
