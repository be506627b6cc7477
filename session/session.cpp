#include "session/session.h"

#include <algorithm>
#include <climits>
#include <cmath>

#include "session/error.h"

namespace pluvane::session {

Session::Session(const std::string& module_path, int width, int height) {
  minihost::LayerSettings settings;
  settings.width = width;
  settings.height = height;
  try {
    host_ = std::make_unique<minihost::MiniHost>(module_path, settings);
  } catch (const minihost::HostError& e) {
    throw Error(std::string(e.what()) + "; build it, or set PLUVANE_MODULE to the path of pluvane_effect.so");
  }
  SetUp();
}

Session::Session(PF_MainEntryFunc main_entry, int width, int height) {
  minihost::LayerSettings settings;
  settings.width = width;
  settings.height = height;
  host_ = std::make_unique<minihost::MiniHost>(main_entry, settings);
  SetUp();
}

Session::~Session() = default;

void Session::SetUp() {
  if (host_->settings().width < 1 || host_->settings().height < 1)
    throw Error("a layer of " + std::to_string(host_->settings().width) + "x" + std::to_string(host_->settings().height) +
                " has no pixels");
  SetRate(timebase_.rate());
  PF_OutData out{};
  if (PF_Err err = host_->GlobalSetup(&out))
    throw Error("the effect module refused its global set-up (error " + std::to_string(err) + "); reinstall pluvane");
  if (PF_Err err = host_->ParamsSetup())
    throw Error("the effect module could not declare its controls (error " + std::to_string(err) + "); reinstall pluvane");
}

void Session::SetRate(const Rational& rate) {
  timebase_ = Timebase(rate);
  minihost::LayerSettings& s = host_->settings();
  s.time_scale = timebase_.time_scale();
  s.time_step = s.local_time_step = timebase_.time_step();
}

void Session::SetDuration(long long frames) {
  host_->settings().total_time =
      static_cast<A_long>(std::clamp<long long>(frames * timebase_.rate().den, 0, static_cast<long long>(INT_MAX)));
}

void Session::SetDownsample(int n) {
  const PF_RationalScale scale{1, static_cast<A_u_long>(std::max(n, 1))};
  SetDownsample(scale, scale);
}

void Session::SetDownsample(PF_RationalScale x, PF_RationalScale y) {
  if (x.num < 1 || x.den < 1 || y.num < 1 || y.den < 1 || static_cast<A_u_long>(x.num) > x.den ||
      static_cast<A_u_long>(y.num) > y.den)
    throw Error("a preview scale must be a fraction from 0 to 1");
  host_->settings().downsample_x = x;
  host_->settings().downsample_y = y;
}

void Session::SetPixelAspect(const Rational& aspect) {
  host_->settings().pixel_aspect_ratio = PF_RationalScale{static_cast<A_long>(aspect.num), static_cast<A_u_long>(aspect.den)};
}

void Session::SetDraft(bool draft) { host_->settings().quality = draft ? PF_Quality_LO : PF_Quality_HI; }

void Session::SetThreads(int threads) { host_->settings().threads = std::max(threads, 0); }

void Session::SetProtocol(minihost::Protocol protocol) { protocol_ = protocol; }

int Session::render_width() const {
  const auto& s = host_->settings();
  return static_cast<int>(static_cast<long long>(s.width) * s.downsample_x.num / s.downsample_x.den);
}

int Session::render_height() const {
  const auto& s = host_->settings();
  return static_cast<int>(static_cast<long long>(s.height) * s.downsample_y.num / s.downsample_y.den);
}

void Session::SetValue(int index, double value) {
  const PF_ParamDef& def = host_->params().at(static_cast<size_t>(index));
  host_->SetFixed(index, ClampToControl(def, value));
}

void Session::SetPoint(int index, double x, double y) {
  const PF_ParamDef& def = host_->params().at(static_cast<size_t>(index));
  const auto [default_x, default_y] = host_->PointDefault(def);
  if (std::isnan(x)) x = default_x;
  if (std::isnan(y)) y = default_y;
  host_->SetPoint(index, ClampToControl(def, x), ClampToControl(def, y));
}

void Session::SetColor(int index, A_u_char red, A_u_char green, A_u_char blue) {
  host_->SetColor(index, PF_Pixel{255, red, green, blue});
}

void Session::SetChoice(int index, A_long choice) { host_->SetPopup(index, choice); }

void Session::AddLight(const minihost::LightLayer& light) { host_->composition().AddLight(light); }

minihost::WorldPtr Session::NewWorld(Depth depth) {
  return WithLayerAspect(host_->NewWorld(render_width(), render_height(), FormatOf(depth)));
}

minihost::WorldPtr Session::NewOutputWorld(Depth depth) {
  return WithLayerAspect(host_->NewOutputWorld(render_width(), render_height(), FormatOf(depth)));
}

minihost::WorldPtr Session::WithLayerAspect(minihost::WorldPtr world) const {
  world->pix_aspect_ratio = host_->settings().pixel_aspect_ratio;
  return world;
}

void Session::SetSeed(int seed) {
  seed_ = static_cast<int>(CheckHostControl(kSeed, seed, "the seed"));
}

void Session::SetMix(double mix) { mix_ = CheckHostControl(kMix, mix, "the mix"); }

void Session::SetMatte(std::optional<Matte> matte) { matte_ = std::move(matte); }

void Session::SetLoop(long long period) {
  if (period < 0 || period > timebase_.LastFrame())
    throw Error("a loop of " + std::to_string(period) + " frames lies beyond the host's time range at " +
                timebase_.rate().Text() + " fps");
  loop_ = period;
}

PF_Err Session::RenderEffect(long long frame, PF_EffectWorld* input, PF_EffectWorld* output) {
  minihost::FrameRequest request;
  request.time = timebase_.TimeOf(frame);
  request.input = input;
  request.output = output;
  request.protocol = protocol_;
  // The seed's shift, as a 32-bit word: the effect's times wrap as words too.
  host_->settings().time_shift =
      static_cast<A_long>(static_cast<uint32_t>(SeedShift(seed_, timebase_) * timebase_.time_step()));
  return host_->RenderFrame(request);
}

PF_Err Session::RenderFrame(long long frame, PF_EffectWorld* input, PF_EffectWorld* output) {
  const Depth depth = DepthOf(minihost::MiniHost::WorldFormat(output));
  const long long f = loop_ > 0 ? frame % loop_ : frame;
  timebase_.TimeOf(frame);  // the frame asked for lies in the host's time range, looped or not
  if (PF_Err err = RenderEffect(f, input, output)) return err;
  if (f < LoopFade(loop_)) {
    // The same frame a turn later continues the previous turn's last frame:
    // the fade leaves it for frame f in equal steps.
    minihost::WorldPtr later = NewOutputWorld(depth);
    if (PF_Err err = RenderEffect(f + loop_, input, later.get())) return err;
    BlendWorlds(later.get(), output, depth, static_cast<double>(f + 1) / static_cast<double>(LoopFade(loop_) + 1), nullptr);
  }
  if (mix_ != 1.0 || matte_) BlendWorlds(input, output, depth, mix_, matte_ ? &*matte_ : nullptr);
  return PF_Err_NONE;
}

PF_Err Session::RenderFrame(long long frame, const PixelView& in, const MutablePixelView& out, Depth depth) {
  if (!input_ || buffer_depth_ != depth || input_->width != render_width() || input_->height != render_height()) {
    input_ = NewWorld(depth);
    buffer_depth_ = depth;
  }
  FillWorld(in, depth, input_.get());
  // A fresh output buffer per frame, as a host hands out.
  output_ = NewOutputWorld(depth);
  const PF_Err err = RenderFrame(frame, input_.get(), output_.get());
  if (err == PF_Err_NONE) ReadWorld(output_.get(), depth, out);
  output_ = {};
  return err;
}

std::string ErrorWords(PF_Err err) {
  switch (err) {
    case PF_Err_OUT_OF_MEMORY: return "out of memory";
    case PF_Err_BAD_CALLBACK_PARAM: return "a host service failed or is missing";
    case PF_Interrupt_CANCEL: return "cancelled";
    default: return "error " + std::to_string(err);
  }
}

}  // namespace pluvane::session
