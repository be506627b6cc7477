#include "openfx_plugin/instance.h"

#include <algorithm>
#include <cmath>
#include <functional>

#include "host/entry.h"
#include "openfx_plugin/image_bridge.h"
#include "openfx_plugin/suites.h"
#include "session/around.h"
#include "session/error.h"
#include "session/layer.h"

namespace pluvane::ofx {
namespace {

namespace session = pluvane::session;

// A double the host gives (rate, scale, aspect) as an exact fraction.
session::Rational Fraction(double v, const char* what) {
  try {
    return session::RateFromDouble(v);
  } catch (const session::Error&) {
    throw Failure{kOfxStatFailed, std::string("the host's ") + what + " " + std::to_string(v) + " is not a positive number"};
  }
}

void HostThread(unsigned int index, unsigned int, void* arg) {
  try {
    (*static_cast<const std::function<void(int)>*>(arg))(static_cast<int>(index));
  } catch (...) {
    // Nothing may leave a host's thread; the calling thread finishes what is left.
  }
}
bool RunOnHostThreads(int workers, const std::function<void(int)>& work) {
  // The suite's threads cannot start threads of their own.
  if (g.threads->multiThreadIsSpawnedThread && g.threads->multiThreadIsSpawnedThread()) return false;
  return g.threads->multiThread(&HostThread, static_cast<unsigned int>(workers),
                                const_cast<std::function<void(int)>*>(&work)) == kOfxStatOK;
}

// Packed top-down RGBA as a world, for the session's blend (which treats
// the four samples of a pixel alike, in whatever order).
PF_EffectWorld PackedWorld(char* data, int width, int height, int sample_size) {
  PF_EffectWorld w{};
  w.data = reinterpret_cast<PF_PixelPtr>(data);
  w.rowbytes = width * 4 * sample_size;
  w.width = width, w.height = height;
  return w;
}

}  // namespace

Instance::Instance(OfxImageEffectHandle effect) : effect_(effect) {
  OfxParamSetHandle set = nullptr;
  Check(g.effect->getParamSet(effect, &set), "give the parameter set");
  const auto& controls = Controls();
  const size_t n = controls.empty() ? 1 : static_cast<size_t>(controls.back().index) + 1;
  controls_.assign(n, nullptr), handles_.assign(n, nullptr), param_props_.assign(n, nullptr);
  for (const Control& c : controls) {
    OfxParamHandle h = nullptr;
    OfxPropertySetHandle p = nullptr;
    Check(g.params->paramGetHandle(set, c.name.c_str(), &h, &p), "find a parameter it was given");
    controls_[c.index] = &c, handles_[c.index] = h, param_props_[c.index] = p;
  }
  around_ = std::make_unique<AroundParams>(set);
  OfxPropertySetHandle ignored = nullptr;
  Check(g.effect->clipGetHandle(effect, kOfxImageEffectSimpleSourceClipName, &source_, &ignored), "find the Source clip");
  Check(g.effect->clipGetHandle(effect, kOfxImageEffectOutputClipName, &output_, &ignored), "find the Output clip");
  // Only the general context has one.
  if (g.effect->clipGetHandle(effect, kMaskClip, &mask_, &ignored) != kOfxStatOK) mask_ = nullptr;
  Check(g.effect->getPropertySet(effect, &props_), "give the effect's properties");
  PlaceNormalisedDefaults(effect, set);
  render_reader_.rate = enabling_reader_.rate = DefaultRate();
  enabling_ = NewSession(64, 64, enabling_reader_);
  UpdateEnabled();
}

void Instance::UpdateEnabled() {
  std::lock_guard<std::mutex> lock(enabling_mutex_);
  enabling_reader_.failed = -1;
  const std::vector<bool> enabled = enabling_->Enabled();
  if (enabling_reader_.failed >= 0) ReadFailure(enabling_reader_);
  for (size_t i = 1; i < enabled.size() && i < param_props_.size(); ++i)
    if (param_props_[i] && controls_[i]->def.param_type != PF_Param_GROUP_START)
      SetInt(param_props_[i], kOfxParamPropEnabled, enabled[i] ? 1 : 0);
}

void Instance::ClipPreferences(OfxPropertySetHandle out) {
  const std::string name = std::string(kOfxImageClipPropComponentsPrefix) + kOfxImageEffectOutputClipName;
  SetString(out, name.c_str(), kOfxImageComponentRGBA);
  OfxPropertySetHandle source = nullptr;
  Check(g.effect->clipGetPropertySet(source_, &source), "give the Source clip's properties");
  const std::string premult = GetString(source, kOfxImageEffectPropPreMultiplication, kOfxImageUnPreMultiplied);
  SetString(out, kOfxImageEffectPropPreMultiplication, premult.c_str());
  // The mask as the single channel it is read as; a host that cannot give
  // that hands over RGBA, whose alpha is read.
  if (mask_) MaySetString(out, (std::string(kOfxImageClipPropComponentsPrefix) + kMaskClip).c_str(), kOfxImageComponentAlpha);
  // The rain moves over a still picture: a host that caches by inputs must key by time.
  MaySetInt(out, kOfxImageEffectFrameVarying, 1);
}

OfxRectD Instance::SourceRegion(OfxTime time) const {
  OfxRectD rod{0, 0, 0, 0};
  Check(g.effect->clipGetRegionOfDefinition(source_, time, &rod), "give the Source clip's region");
  return rod;
}

void Instance::Message(const char* type, const std::string& text) const { Post(effect_, type, text); }

session::Rational Instance::FrameRate(OfxPropertySetHandle source_props) {
  OfxPropertySetHandle output_props = nullptr;
  g.effect->clipGetPropertySet(output_, &output_props);
  // The Source clip's rate, the Output's (the effect's), the instance's (the
  // project's), then the rate of the footage the Source was made from.
  const std::pair<OfxPropertySetHandle, const char*> places[] = {
      {source_props, kOfxImageEffectPropFrameRate},
      {output_props, kOfxImageEffectPropFrameRate},
      {props_, kOfxImageEffectPropFrameRate},
      {source_props, kOfxImageEffectPropUnmappedFrameRate}};
  for (const auto& [p, name] : places) {
    const double fps = GetDouble(p, name, 0.0);
    if (std::isfinite(fps) && fps > 0) return Fraction(fps, "frame rate");
  }
  if (!told_default_rate_) {
    told_default_rate_ = true;
    Message(kOfxMessageWarning, "the host gave no frame rate; pluvane renders at " + DefaultRate().Text() + " fps");
  }
  return DefaultRate();
}

std::unique_ptr<session::Session> Instance::NewSession(int width, int height, Reader& reader) const {
  auto s = std::make_unique<session::Session>(&MainEntry, width, height);
  s->SetValueSource([this, &reader](int index, double seconds, std::array<double, 3>& v) { return Read(reader, index, seconds, v); });
  return s;
}

std::optional<session::Matte> Instance::MaskMatte(OfxTime time, const OfxRectI& layer, session::Depth depth, bool invert) {
  OfxPropertySetHandle props = nullptr;
  if (!mask_ || g.effect->clipGetPropertySet(mask_, &props) != kOfxStatOK || GetInt(props, kOfxImageClipPropConnected, 0) != 1)
    return std::nullopt;
  // A connected mask without an image at this time (a shorter clip) is
  // transparent, as it is outside its bounds.
  const Image mask(mask_, time, "Mask", true);
  const int lw = layer.x2 - layer.x1, lh = layer.y2 - layer.y1;
  mask_buffer_.resize(static_cast<size_t>(lw) * lh * 4 * mask.sample_size);
  if (mask.none()) std::fill(mask_buffer_.begin(), mask_buffer_.end(), 0);
  else Gather(mask, layer, mask_buffer_.data());
  // Into the session's values, as a matte file's alpha becomes a matte.
  const minihost::WorldPtr world = session_->NewWorld(depth);
  session::FillWorld(session::PixelView{mask_buffer_.data(), static_cast<std::ptrdiff_t>(lw) * 4 * mask.sample_size, lw, lh, mask.type},
                     depth, world.get());
  return session::MatteOf(world.get(), depth, invert, session::MatteChannel::kAlpha);
}

bool Instance::Read(Reader& reader, int index, double seconds, std::array<double, 3>& v) const {
  if (index <= 0 || static_cast<size_t>(index) >= handles_.size() || !handles_[index]) return false;
  // The host's time in time-scale units is whole; that over the time step is the frame.
  const double frame = static_cast<double>(std::llround(seconds * reader.rate.num)) / static_cast<double>(reader.rate.den);
  const Reading read = ReadParam(*controls_[index], handles_[index], frame, reader.where, v);
  if (read != Reading::kHostFailed) return read == Reading::kValue;
  int none = -1;
  reader.failed.compare_exchange_strong(none, index);
  return false;
}

void Instance::ReadFailure(const Reader& reader) const {
  throw Failure{kOfxStatFailed, std::string("the host did not give the value of \"") + controls_[reader.failed]->def.name + "\""};
}

OfxStatus Instance::Render(OfxPropertySetHandle args) {
  std::lock_guard<std::mutex> lock(render_mutex_);
  double time = 0;
  Check(g.props->propGetDouble(args, kOfxPropTime, 0, &time), "give the time to render");
  double scale[2] = {1, 1};
  Check(g.props->propGetDoubleN(args, kOfxImageEffectPropRenderScale, 2, scale), "give the render scale");
  OfxRectI window{0, 0, 0, 0};
  Check(g.props->propGetIntN(args, kOfxImageEffectPropRenderWindow, 4, &window.x1), "give the render window");
  const session::Rational sx = Fraction(scale[0], "render scale"), sy = Fraction(scale[1], "render scale");
  if (sx.num > sx.den || sy.num > sy.den) throw Failure{kOfxStatFailed, "a render scale above 1 is not supported"};

  OfxPropertySetHandle source_props = nullptr;
  Check(g.effect->clipGetPropertySet(source_, &source_props), "give the Source clip's properties");
  Reader& r = render_reader_;
  r.rate = FrameRate(source_props);
  r.where.par = GetDouble(source_props, kOfxImagePropPixelAspectRatio, 1.0);
  const session::Rational aspect = Fraction(r.where.par, "pixel aspect ratio");
  r.where.rod = SourceRegion(time);
  Image src(source_, time, "Source");

  // The frame in full-resolution pixels. Regions are canonical, unless the
  // host hands them out in pixels at the render scale (as MLT does): then the
  // Source image is exactly as large as its region, in pixels at that scale.
  long long width = std::llround((r.where.rod.x2 - r.where.rod.x1) / r.where.par), height = std::llround(r.where.rod.y2 - r.where.rod.y1);
  r.where.ux = r.where.uy = 1.0;
  if ((scale[0] < 1 || scale[1] < 1) && src.bounds.x2 - src.bounds.x1 == width && src.bounds.y2 - src.bounds.y1 == height) {
    r.where.ux = scale[0], r.where.uy = scale[1];
    width = std::llround(width / scale[0]), height = std::llround(height / scale[1]);
  }
  if (width < 1 || height < 1 || width > session::kLargestPluginSide || height > session::kLargestPluginSide)
    throw Failure{kOfxStatFailed, "the Source clip of " + std::to_string(width) + "x" + std::to_string(height) +
                                      " pixels is empty or larger than " + std::to_string(session::kLargestPluginSide) +
                                      " pixels a side"};
  if (!session_ || width != width_ || height != height_) {
    session_.reset();
    session_ = NewSession(static_cast<int>(width), static_cast<int>(height), r);
    width_ = static_cast<int>(width), height_ = static_cast<int>(height);
    session_->SetProgressListener([this](A_long, A_long) {
      if (g.effect->abort && g.effect->abort(effect_)) session_->Cancel();
    });
    if (g.threads && g.threads->multiThread) {
      unsigned int cpus = 0;
      if (g.threads->multiThreadNumCPUs && g.threads->multiThreadNumCPUs(&cpus) == kOfxStatOK && cpus > 0)
        session_->SetThreads(static_cast<int>(std::min(cpus, 256u)));
      session_->SetThreadRunner(&RunOnHostThreads);
    }
  }
  session_->SetRate(r.rate);
  session_->SetPixelAspect(aspect);
  session_->SetDownsample(PF_RationalScale{static_cast<A_long>(sx.num), static_cast<A_u_long>(sx.den)},
                          PF_RationalScale{static_cast<A_long>(sy.num), static_cast<A_u_long>(sy.den)});
  const long long frame = SessionFrame(time, session_->timebase().LastFrame());
  session_->SetDuration(frame + 1);

  // The layer in the images' pixel coordinates at this scale.
  const int x0 = static_cast<int>(std::lround(r.where.rod.x1 * scale[0] / r.where.ux / r.where.par));
  const int y0 = static_cast<int>(std::lround(r.where.rod.y1 * scale[1] / r.where.uy));
  const OfxRectI layer{x0, y0, x0 + session_->render_width(), y0 + session_->render_height()};
  const int lw = layer.x2 - layer.x1, lh = layer.y2 - layer.y1;

  Image dst(output_, time, "Output");
  if (dst.type != src.type)
    throw Failure{kOfxStatErrFormat, "the Output image's depth differs from the Source's; give both one depth"};
  if (dst.components != 4) throw Failure{kOfxStatErrFormat, "the Output image is not RGBA"};
  if (src.components == 1) throw Failure{kOfxStatErrFormat, "the Source image is alpha only; give it RGBA or RGB"};
  const session::Depth depth = session::NaturalDepth(src.type);
  const size_t packed = static_cast<size_t>(lw) * lh * 4 * src.sample_size;

  // Seed, Mix and Mask. The mix and mask go over the layer in its own alpha
  // convention: straight colour in the session, as `pluvane render` mixes;
  // premultiplied colour here, over the Source as the host stores it, once
  // the rendered colour is premultiplied again.
  const Around around = around_->At(time);
  session_->SetSeed(around.seed);
  std::optional<session::Matte> matte = MaskMatte(time, layer, depth, around.invert_mask);
  const bool mix_here = dst.premultiplied && (around.mix != 1.0 || matte);
  session_->SetMix(mix_here ? 1.0 : around.mix);
  if (mix_here) session_->SetMatte(std::nullopt);
  else session_->SetMatte(std::move(matte));  // the session's from here on

  // Straight from the host's memory when the image holds the whole layer as
  // RGBA straight colour; through a packed copy otherwise.
  session::PixelView in{nullptr, 0, lw, lh, src.type};
  if (src.Covers(layer) && src.components == 4 && !src.premultiplied) {
    in.data = src.Pixel(layer.x1, layer.y2 - 1);
    in.row_bytes = -src.row_bytes;
  } else {
    in_buffer_.resize(packed);
    Gather(src, layer, in_buffer_.data());
    in.data = in_buffer_.data();
    in.row_bytes = static_cast<std::ptrdiff_t>(lw) * 4 * src.sample_size;
  }
  const bool direct = dst.Covers(layer) && !mix_here;
  session::MutablePixelView out{nullptr, 0, lw, lh, dst.type};
  if (direct) {
    out.data = dst.Pixel(layer.x1, layer.y2 - 1);
    out.row_bytes = -dst.row_bytes;
  } else {
    out_buffer_.resize(packed);
    out.data = out_buffer_.data();
    out.row_bytes = static_cast<std::ptrdiff_t>(lw) * 4 * dst.sample_size;
  }

  session_->ClearCancel();
  r.failed = -1;
  const PF_Err err = session_->RenderFrame(frame, in, out, depth);
  if (r.failed >= 0) ReadFailure(r);
  if (err == PF_Interrupt_CANCEL) return kOfxStatFailed;  // the host asked to stop: no message
  if (err != PF_Err_NONE)
    throw Failure{err == PF_Err_OUT_OF_MEMORY ? kOfxStatErrMemory : kOfxStatFailed,
                  "pluvane could not render frame " + std::to_string(frame) + ": " + session::ErrorWords(err)};
  if (mix_here) {
    from_buffer_.resize(packed);
    Gather(src, layer, from_buffer_.data(), true);
    Premultiply(out_buffer_.data(), static_cast<size_t>(lw) * lh, dst.type);
    PF_EffectWorld from = PackedWorld(from_buffer_.data(), lw, lh, src.sample_size);
    PF_EffectWorld onto = PackedWorld(out_buffer_.data(), lw, lh, dst.sample_size);
    session::BlendWorlds(&from, &onto, depth, around.mix, matte ? &*matte : nullptr);
    Scatter(dst, layer, window, out_buffer_.data(), true);
  } else if (!direct || dst.premultiplied || !dst.Covers(window) || layer.x1 > window.x1 || layer.y1 > window.y1 ||
             layer.x2 < window.x2 || layer.y2 < window.y2) {
    Scatter(dst, layer, window, direct ? nullptr : out_buffer_.data());
  }
  return kOfxStatOK;
}

}  // namespace pluvane::ofx
