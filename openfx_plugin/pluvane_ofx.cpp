// The effect as an OpenFX image effect plug-in (Resolve, Fusion, Nuke,
// Natron, Flame, Baselight, Silhouette, MLT's openfx module). On the outside
// one plug-in with a "Source" and an "Output" clip in the filter and general
// contexts; on the inside a session per instance that drives the effect's
// linked-in entry point as `pluvane render` does:
//   - every control the effect reads, at whatever time it reads it, is the
//     host's value at that time (paramGetValueAtTime; OFX time is frames);
//   - the host's frame rate becomes the session's exact rate, its render
//     scale the downsample, the clip's pixel aspect the layer's;
//   - OFX images (bottom-up, bounds anywhere) are read into the session's
//     worlds through the layer bridge, 16-bit images as 16-bit files are;
//   - the effect sees straight colour: a premultiplied source is divided by
//     its alpha on the way in and the output multiplied by it on the way out;
//   - the pixel pass runs on the host's MultiThread suite when it has one.
// The identifier "org.pluvane.Pluvane" never changes: hosts store it in
// their projects.
#include <algorithm>
#include <array>
#include <cctype>
#include <functional>
#include <limits>
#include <type_traits>
#include <atomic>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "host/entry.h"
#include "ofx_api/ofx_api.h"
#include "session/error.h"
#include "session/session.h"
#include "util/version.h"

namespace {

namespace session = pluvane::session;

constexpr char kIdentifier[] = "org.pluvane.Pluvane";
constexpr char kGrouping[] = "Pluvane";

OfxHost* g_host = nullptr;
const OfxPropertySuiteV1* g_props = nullptr;
const OfxImageEffectSuiteV1* g_effect = nullptr;
const OfxParameterSuiteV1* g_params = nullptr;
const OfxMultiThreadSuiteV1* g_threads = nullptr;  // optional
const OfxMessageSuiteV1* g_messages = nullptr;     // optional

// A failure of the host or of the frame, with the status the action returns
// and one sentence for the host's message suite.
struct Failure {
  OfxStatus status;
  std::string message;
};

void Check(OfxStatus st, const char* what) {
  if (st != kOfxStatOK) throw Failure{kOfxStatFailed, std::string("the host could not ") + what};
}

// ---- properties ----------------------------------------------------------------------------

void SetString(OfxPropertySetHandle p, const char* name, const char* value, int index = 0) {
  Check(g_props->propSetString(p, name, index, value), "take a property of the plug-in");
}
void SetInt(OfxPropertySetHandle p, const char* name, int value, int index = 0) {
  Check(g_props->propSetInt(p, name, index, value), "take a property of the plug-in");
}
void SetDouble(OfxPropertySetHandle p, const char* name, double value, int index = 0) {
  Check(g_props->propSetDouble(p, name, index, value), "take a property of the plug-in");
}
void SetStrings(OfxPropertySetHandle p, const char* name, const std::vector<std::string>& values) {
  for (size_t i = 0; i < values.size(); ++i) SetString(p, name, values[i].c_str(), static_cast<int>(i));
}
std::string GetString(OfxPropertySetHandle p, const char* name, const std::string& otherwise = "") {
  char* s = nullptr;
  if (!p || g_props->propGetString(p, name, 0, &s) != kOfxStatOK || !s) return otherwise;
  return s;
}
double GetDouble(OfxPropertySetHandle p, const char* name, double otherwise, int index = 0) {
  double v = otherwise;
  if (!p || g_props->propGetDouble(p, name, index, &v) != kOfxStatOK) return otherwise;
  return v;
}

// ---- the effect's controls as OFX parameters ---------------------------------------------------------

struct Control {
  int index;           // the effect's control index
  PF_ParamDef def;     // as the effect declared it
  std::string name;    // the OFX parameter's name: the label in lower camel case, never changed
  std::string parent;  // the group it sits in ("" at the top)
};

// "Longevity (sec)" -> "longevitySec".
std::string ScriptName(const std::string& label) {
  std::string out;
  bool up = false;
  for (char c : label) {
    if (std::isalnum(static_cast<unsigned char>(c))) {
      const char l = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      out += up && !out.empty() ? static_cast<char>(std::toupper(static_cast<unsigned char>(c))) : l;
      up = false;
    } else {
      up = true;
    }
  }
  return out;
}

// The effect's controls, asked once from the effect itself.
const std::vector<Control>& Controls() {
  static const std::vector<Control> controls = [] {
    session::Session s(&MainEntry, 64, 64);
    std::vector<Control> out;
    std::vector<std::string> groups;
    const auto& defs = s.definitions();
    for (size_t i = 1; i < defs.size(); ++i) {
      const PF_ParamDef& d = defs[i];
      if (d.param_type == PF_Param_GROUP_END) {
        if (!groups.empty()) groups.pop_back();
        continue;
      }
      Control c{static_cast<int>(i), d, ScriptName(d.name), groups.empty() ? "" : groups.back()};
      for (const Control& o : out)
        if (o.name == c.name) c.name += std::to_string(i);
      if (d.param_type == PF_Param_GROUP_START) groups.push_back(c.name);
      out.push_back(c);
    }
    return out;
  }();
  return controls;
}

// A 16.16 value as hosts should show it: to the control's number of decimals
// when that is within one 16.16 step of it (0.015 and 0.001, not
// 0.0149993896484375 and 0.00099), else the shortest decimal that is the
// same 16.16 value.
double Decimal(PF_Fixed v, int precision = -1) {
  if (precision >= 0) {
    const double scale = std::pow(10.0, std::min(precision, 6));
    const double x = std::round(v / 65536.0 * scale) / scale;
    if (std::fabs(x * 65536.0 - v) <= 1.0) return x;
  }
  for (int digits = 0; digits < 6; ++digits) {
    const double scale = std::pow(10.0, digits);
    const double x = std::round(v / 65536.0 * scale) / scale;
    if (std::llround(x * 65536.0) == v) return x;
  }
  return v / 65536.0;
}

void DefineParam(OfxParamSetHandle set, const Control& c) {
  const PF_ParamDef& d = c.def;
  const char* type = nullptr;
  switch (d.param_type) {
    case PF_Param_FIX_SLIDER:
    case PF_Param_ANGLE: type = kOfxParamTypeDouble; break;
    case PF_Param_POINT: type = kOfxParamTypeDouble2D; break;
    case PF_Param_COLOR: type = kOfxParamTypeRGB; break;
    case PF_Param_POPUP: type = kOfxParamTypeChoice; break;
    case PF_Param_GROUP_START: type = kOfxParamTypeGroup; break;
    default: return;  // the effect declares no other kind
  }
  OfxPropertySetHandle p = nullptr;
  Check(g_params->paramDefine(set, type, c.name.c_str(), &p), "define a parameter");
  if (!p) throw Failure{kOfxStatFailed, "the host gave no properties for a parameter"};
  SetString(p, kOfxPropLabel, d.name);
  SetString(p, kOfxParamPropScriptName, c.name.c_str());
  if (!c.parent.empty()) SetString(p, kOfxParamPropParent, c.parent.c_str());
  const auto fixed = [&d](PF_Fixed v) { return Decimal(v, d.param_type == PF_Param_FIX_SLIDER ? d.u.fd.precision : -1); };
  switch (d.param_type) {
    case PF_Param_FIX_SLIDER:
      SetString(p, kOfxParamPropDoubleType, kOfxParamDoubleTypePlain);
      SetDouble(p, kOfxParamPropDefault, fixed(d.u.fd.dephault));
      SetDouble(p, kOfxParamPropMin, fixed(d.u.fd.valid_min));
      SetDouble(p, kOfxParamPropMax, fixed(d.u.fd.valid_max));
      SetDouble(p, kOfxParamPropDisplayMin, fixed(d.u.fd.slider_min));
      SetDouble(p, kOfxParamPropDisplayMax, fixed(d.u.fd.slider_max));
      SetInt(p, kOfxParamPropDigits, d.u.fd.precision);
      break;
    case PF_Param_ANGLE: {
      // Degrees, any number of turns within what the effect's 16.16 angles hold.
      const double dflt = fixed(d.u.ad.dephault);
      SetString(p, kOfxParamPropDoubleType, kOfxParamDoubleTypeAngle);
      SetDouble(p, kOfxParamPropDefault, dflt);
      SetDouble(p, kOfxParamPropMin, -32767);
      SetDouble(p, kOfxParamPropMax, 32767);
      SetDouble(p, kOfxParamPropDisplayMin, std::min(-360.0, dflt));
      SetDouble(p, kOfxParamPropDisplayMax, std::max(360.0, dflt));
      break;
    }
    case PF_Param_POINT:
      // An absolute position; the default is a fraction of the frame, y up
      // from the bottom as OFX coordinates run.
      SetString(p, kOfxParamPropDoubleType, kOfxParamDoubleTypeXYAbsolute);
      SetString(p, kOfxParamPropDefaultCoordinateSystem, kOfxParamCoordinatesNormalised);
      SetDouble(p, kOfxParamPropDefault, fixed(d.u.td.x_dephault) / 100.0, 0);
      SetDouble(p, kOfxParamPropDefault, 1.0 - fixed(d.u.td.y_dephault) / 100.0, 1);
      break;
    case PF_Param_COLOR:
      SetDouble(p, kOfxParamPropDefault, d.u.cd.dephault.red / 255.0, 0);
      SetDouble(p, kOfxParamPropDefault, d.u.cd.dephault.green / 255.0, 1);
      SetDouble(p, kOfxParamPropDefault, d.u.cd.dephault.blue / 255.0, 2);
      break;
    case PF_Param_POPUP:
      SetStrings(p, kOfxParamPropChoiceOption, session::ChoicesOf(d));
      SetInt(p, kOfxParamPropDefault, std::max<A_long>(d.u.pd.dephault, 1) - 1);
      SetInt(p, kOfxParamPropAnimates, 0);
      break;
    default: break;
  }
}

// ---- images ---------------------------------------------------------------------------------------------

// An image fetched from a clip, released when it goes.
class Image {
 public:
  Image(OfxImageClipHandle clip, OfxTime time, const char* what) {
    if (g_effect->clipGetImage(clip, time, nullptr, &props_) != kOfxStatOK || !props_)
      throw Failure{kOfxStatFailed, std::string("the host gave no ") + what + " image"};
    try {
      Describe(what);
    } catch (...) {
      g_effect->clipReleaseImage(props_);
      throw;
    }
  }
  ~Image() { g_effect->clipReleaseImage(props_); }
  Image(const Image&) = delete;
  Image& operator=(const Image&) = delete;

  bool Covers(const OfxRectI& r) const {
    return bounds.x1 <= r.x1 && bounds.y1 <= r.y1 && bounds.x2 >= r.x2 && bounds.y2 >= r.y2;
  }
  char* Pixel(int x, int y) const {
    return data + static_cast<std::ptrdiff_t>(y - bounds.y1) * row_bytes +
           static_cast<std::ptrdiff_t>(x - bounds.x1) * components * sample_size;
  }

  char* data = nullptr;
  std::ptrdiff_t row_bytes = 0;
  OfxRectI bounds{0, 0, 0, 0};
  session::SampleType type = session::SampleType::kUInt8;
  int sample_size = 1;
  int components = 4;
  bool premultiplied = false;

 private:
  // The image's layout from its properties; Failure when unusable.
  void Describe(const char* what) {
    void* pixels = nullptr;
    int rb = 0;
    if (g_props->propGetPointer(props_, kOfxImagePropData, 0, &pixels) != kOfxStatOK || !pixels ||
        g_props->propGetIntN(props_, kOfxImagePropBounds, 4, &bounds.x1) != kOfxStatOK ||
        g_props->propGetInt(props_, kOfxImagePropRowBytes, 0, &rb) != kOfxStatOK)
      throw Failure{kOfxStatFailed, std::string("the host's ") + what + " image has no pixels"};
    data = static_cast<char*>(pixels);
    row_bytes = rb;
    const std::string depth = GetString(props_, kOfxImageEffectPropPixelDepth);
    if (depth == kOfxBitDepthByte) type = session::SampleType::kUInt8, sample_size = 1;
    else if (depth == kOfxBitDepthShort) type = session::SampleType::kUInt16, sample_size = 2;
    else if (depth == kOfxBitDepthFloat) type = session::SampleType::kFloat, sample_size = 4;
    else throw Failure{kOfxStatErrFormat, std::string("the ") + what + " image's depth \"" + depth + "\" is not byte, short or float"};
    const std::string comps = GetString(props_, kOfxImageEffectPropComponents);
    if (comps == kOfxImageComponentRGBA) components = 4;
    else if (comps == kOfxImageComponentRGB) components = 3;
    else throw Failure{kOfxStatErrFormat, std::string("the ") + what + " image's components \"" + comps + "\" are not RGBA or RGB"};
    premultiplied = GetString(props_, kOfxImageEffectPropPreMultiplication) == kOfxImagePreMultiplied;
    const long long w = static_cast<long long>(bounds.x2) - bounds.x1, h = static_cast<long long>(bounds.y2) - bounds.y1;
    if (w < 0 || h < 0 || std::llabs(static_cast<long long>(row_bytes)) < w * components * sample_size)
      throw Failure{kOfxStatErrFormat, std::string("the host's ") + what + " image has rows shorter than its bounds"};
  }

  OfxPropertySetHandle props_ = nullptr;
};

template <typename T>
constexpr T FullCode() {
  if constexpr (std::is_same_v<T, float>) return 1.0f;
  else return std::numeric_limits<T>::max();
}

// Straight colour from premultiplied, and back, in the samples' own units:
// integer codes rounded to nearest (halves up), floats divided and multiplied.
template <typename T>
T Unpremultiply(T c, T a) {
  if constexpr (std::is_same_v<T, float>) return a != 0.0f ? c / a : 0.0f;
  else {
    if (a == 0) return 0;
    const uint64_t v = (uint64_t{c} * FullCode<T>() * 2 + a) / (uint64_t{a} * 2);
    return static_cast<T>(std::min<uint64_t>(v, FullCode<T>()));
  }
}
template <typename T>
T Premultiply(T c, T a) {
  if constexpr (std::is_same_v<T, float>) return c * a;
  else return static_cast<T>((uint64_t{c} * a * 2 + FullCode<T>()) / (uint64_t{FullCode<T>()} * 2));
}

// The layer's rectangle of `image` as packed top-down RGBA in `out`: outside
// the image's bounds transparent black, RGB with full alpha, premultiplied
// colour made straight.
template <typename T>
void Gather(const Image& image, const OfxRectI& layer, T* out) {
  const int w = layer.x2 - layer.x1;
  for (int y = layer.y2 - 1; y >= layer.y1; --y) {
    for (int x = layer.x1; x < layer.x2; ++x, out += 4) {
      if (x < image.bounds.x1 || x >= image.bounds.x2 || y < image.bounds.y1 || y >= image.bounds.y2) {
        out[0] = out[1] = out[2] = out[3] = T{};
        continue;
      }
      const T* p = reinterpret_cast<const T*>(image.Pixel(x, y));
      const T a = image.components == 4 ? p[3] : FullCode<T>();
      for (int c = 0; c < 3; ++c) out[c] = image.premultiplied ? Unpremultiply(p[c], a) : p[c];
      out[3] = a;
    }
  }
  (void)w;
}

// The output image's pixels within `window`: inside the layer the rendered
// pixels (from `rendered`, packed top-down, or already in place when null),
// premultiplied when the output is; outside the layer transparent black.
template <typename T>
void Scatter(const Image& image, const OfxRectI& layer, const OfxRectI& window, const T* rendered) {
  const int lw = layer.x2 - layer.x1;
  const int x1 = std::max(window.x1, image.bounds.x1), x2 = std::min(window.x2, image.bounds.x2);
  const int y1 = std::max(window.y1, image.bounds.y1), y2 = std::min(window.y2, image.bounds.y2);
  for (int y = y1; y < y2; ++y) {
    for (int x = x1; x < x2; ++x) {
      T* p = reinterpret_cast<T*>(image.Pixel(x, y));
      if (x < layer.x1 || x >= layer.x2 || y < layer.y1 || y >= layer.y2) {
        p[0] = p[1] = p[2] = p[3] = T{};
        continue;
      }
      if (rendered) {
        const T* r = rendered + (static_cast<std::ptrdiff_t>(layer.y2 - 1 - y) * lw + (x - layer.x1)) * 4;
        std::memcpy(p, r, 4 * sizeof(T));
      }
      if (image.premultiplied)
        for (int c = 0; c < 3; ++c) p[c] = Premultiply(p[c], p[3]);
    }
  }
}

template <typename F>
void ForSample(session::SampleType type, F&& f) {
  switch (type) {
    case session::SampleType::kUInt8: f(uint8_t{}); break;
    case session::SampleType::kUInt16: f(uint16_t{}); break;
    default: f(float{}); break;
  }
}

// A double the host gives (rate, scale, aspect) as an exact fraction.
session::Rational Fraction(double v, const char* what) {
  try {
    return session::RateFromDouble(v);
  } catch (const session::Error&) {
    throw Failure{kOfxStatFailed, std::string("the host's ") + what + " " + std::to_string(v) + " is not a positive number"};
  }
}

// ---- an instance ------------------------------------------------------------------------------------------

class Instance {
 public:
  explicit Instance(OfxImageEffectHandle effect) : effect_(effect) {
    OfxParamSetHandle set = nullptr;
    Check(g_effect->getParamSet(effect, &set), "give the parameter set");
    const auto& controls = Controls();
    handles_.assign(controls.empty() ? 1 : controls.back().index + 1, nullptr);
    param_props_.assign(handles_.size(), nullptr);
    types_.assign(handles_.size(), PF_Param_GROUP_END);
    labels_.assign(handles_.size(), "");
    for (const Control& c : controls) {
      OfxParamHandle h = nullptr;
      OfxPropertySetHandle p = nullptr;
      Check(g_params->paramGetHandle(set, c.name.c_str(), &h, &p), "find a parameter it was given");
      handles_[c.index] = h;
      param_props_[c.index] = p;
      types_[c.index] = c.def.param_type;
      labels_[c.index] = c.def.name;
    }
    OfxPropertySetHandle ignored = nullptr;
    Check(g_effect->clipGetHandle(effect, kOfxImageEffectSimpleSourceClipName, &source_, &ignored), "find the Source clip");
    Check(g_effect->clipGetHandle(effect, kOfxImageEffectOutputClipName, &output_, &ignored), "find the Output clip");
    Check(g_effect->getPropertySet(effect, &props_), "give the effect's properties");
    MakeSession(64, 64);
    UpdateEnabled();
  }

  // The enabled state the effect gives its controls for the current values.
  void UpdateEnabled() {
    std::lock_guard<std::mutex> lock(mutex_);
    read_failed_ = -1;
    const std::vector<bool> enabled = session_->Enabled();
    if (read_failed_ >= 0) throw ReadFailure();
    for (size_t i = 1; i < enabled.size() && i < param_props_.size(); ++i)
      if (param_props_[i] && types_[i] != PF_Param_GROUP_START) SetInt(param_props_[i], kOfxParamPropEnabled, enabled[i] ? 1 : 0);
  }

  void ClipPreferences(OfxPropertySetHandle out) {
    const std::string name = std::string(kOfxImageClipPropComponentsPrefix) + kOfxImageEffectOutputClipName;
    SetString(out, name.c_str(), kOfxImageComponentRGBA);
    OfxPropertySetHandle source = nullptr;
    Check(g_effect->clipGetPropertySet(source_, &source), "give the Source clip's properties");
    const std::string premult = GetString(source, kOfxImageEffectPropPreMultiplication, kOfxImageUnPreMultiplied);
    SetString(out, kOfxImageEffectPropPreMultiplication, premult.c_str());
  }

  OfxRectD SourceRegion(OfxTime time) const {
    OfxRectD rod{0, 0, 0, 0};
    Check(g_effect->clipGetRegionOfDefinition(source_, time, &rod), "give the Source clip's region");
    return rod;
  }

  OfxStatus Render(OfxPropertySetHandle args) {
    std::lock_guard<std::mutex> lock(mutex_);
    double time = 0;
    Check(g_props->propGetDouble(args, kOfxPropTime, 0, &time), "give the time to render");
    double scale[2] = {1, 1};
    Check(g_props->propGetDoubleN(args, kOfxImageEffectPropRenderScale, 2, scale), "give the render scale");
    OfxRectI window{0, 0, 0, 0};
    Check(g_props->propGetIntN(args, kOfxImageEffectPropRenderWindow, 4, &window.x1), "give the render window");

    OfxPropertySetHandle source_props = nullptr;
    Check(g_effect->clipGetPropertySet(source_, &source_props), "give the Source clip's properties");
    rate_ = Fraction(FrameRate(source_props), "frame rate");
    par_ = GetDouble(source_props, kOfxImagePropPixelAspectRatio, 1.0);
    const session::Rational aspect = Fraction(par_, "pixel aspect ratio");
    rod_ = SourceRegion(time);
    const long long width = std::llround((rod_.x2 - rod_.x1) / par_), height = std::llround(rod_.y2 - rod_.y1);
    if (width < 1 || height < 1 || width > 32767 || height > 32767)
      throw Failure{kOfxStatFailed, "the Source clip of " + std::to_string(width) + "x" + std::to_string(height) +
                                        " pixels is empty or larger than 32767 pixels a side"};
    if (!session_ || width != width_ || height != height_) MakeSession(static_cast<int>(width), static_cast<int>(height));
    const session::Rational sx = Fraction(scale[0], "render scale"), sy = Fraction(scale[1], "render scale");
    if (sx.num > sx.den || sy.num > sy.den) throw Failure{kOfxStatFailed, "a render scale above 1 is not supported"};
    session_->SetRate(rate_);
    session_->SetPixelAspect(aspect);
    session_->SetDownsample(PF_RationalScale{static_cast<A_long>(sx.num), static_cast<A_u_long>(sx.den)},
                            PF_RationalScale{static_cast<A_long>(sy.num), static_cast<A_u_long>(sy.den)});
    // OFX time counts frames; a time between frames renders the nearest one.
    const long long frame = std::isfinite(time) ? std::clamp<long long>(std::llround(time), 0, session_->timebase().LastFrame()) : 0;
    session_->SetDuration(frame + 1);

    // The layer in the images' pixel coordinates at this scale.
    const int x0 = static_cast<int>(std::lround(rod_.x1 * scale[0] / par_));
    const int y0 = static_cast<int>(std::lround(rod_.y1 * scale[1]));
    const OfxRectI layer{x0, y0, x0 + session_->render_width(), y0 + session_->render_height()};
    const int lw = layer.x2 - layer.x1, lh = layer.y2 - layer.y1;

    Image src(source_, time, "Source");
    Image dst(output_, time, "Output");
    if (dst.type != src.type)
      throw Failure{kOfxStatErrFormat, "the Output image's depth differs from the Source's; give both one depth"};
    if (dst.components != 4) throw Failure{kOfxStatErrFormat, "the Output image is not RGBA"};
    const session::Depth depth = session::NaturalDepth(src.type);
    const size_t packed = static_cast<size_t>(lw) * lh * 4 * src.sample_size;

    // Straight from the host's memory when the image holds the whole layer as
    // RGBA straight colour; through a packed copy otherwise.
    session::PixelView in{nullptr, 0, lw, lh, src.type};
    if (src.Covers(layer) && src.components == 4 && !src.premultiplied) {
      in.data = src.Pixel(layer.x1, layer.y2 - 1);
      in.row_bytes = -src.row_bytes;
    } else {
      in_buffer_.resize(packed);
      ForSample(src.type, [&](auto t) { Gather(src, layer, reinterpret_cast<decltype(t)*>(in_buffer_.data())); });
      in.data = in_buffer_.data();
      in.row_bytes = static_cast<std::ptrdiff_t>(lw) * 4 * src.sample_size;
    }
    const bool direct = dst.Covers(layer);
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
    read_failed_ = -1;
    const PF_Err err = session_->RenderFrame(frame, in, out, depth);
    if (read_failed_ >= 0) throw ReadFailure();
    if (err == PF_Interrupt_CANCEL) return kOfxStatFailed;  // the host asked to stop: no message
    if (err != PF_Err_NONE)
      throw Failure{err == PF_Err_OUT_OF_MEMORY ? kOfxStatErrMemory : kOfxStatFailed,
                    "pluvane could not render frame " + std::to_string(frame) + ": " + session::ErrorWords(err)};
    if (!direct || dst.premultiplied || !dst.Covers(window) || layer.x1 > window.x1 || layer.y1 > window.y1 ||
        layer.x2 < window.x2 || layer.y2 < window.y2)
      ForSample(dst.type, [&](auto t) {
        using T = decltype(t);
        Scatter<T>(dst, layer, window, direct ? nullptr : reinterpret_cast<const T*>(out_buffer_.data()));
      });
    return kOfxStatOK;
  }

  void Message(const std::string& text) const {
    if (g_messages && g_messages->message) g_messages->message(effect_, kOfxMessageError, "", "%s", text.c_str());
  }

 private:
  Failure ReadFailure() const {
    return Failure{kOfxStatFailed, "the host did not give the value of \"" + labels_[read_failed_] + "\""};
  }

  double FrameRate(OfxPropertySetHandle source_props) const {
    OfxPropertySetHandle output_props = nullptr;
    g_effect->clipGetPropertySet(output_, &output_props);
    for (OfxPropertySetHandle p : {props_, output_props, source_props}) {
      const double fps = GetDouble(p, kOfxImageEffectPropFrameRate, 0.0);
      if (std::isfinite(fps) && fps > 0) return fps;
    }
    throw Failure{kOfxStatFailed, "the host gave no frame rate for the clip"};
  }

  void MakeSession(int width, int height) {
    session_.reset();
    session_ = std::make_unique<session::Session>(&MainEntry, width, height);
    width_ = width, height_ = height;
    session_->SetValueSource([this](int index, double seconds, std::array<double, 3>& v) { return Read(index, seconds, v); });
    session_->SetProgressListener([this](A_long, A_long) {
      if (g_effect->abort && g_effect->abort(effect_)) session_->Cancel();
    });
    if (g_threads && g_threads->multiThread) {
      unsigned int cpus = 0;
      if (g_threads->multiThreadNumCPUs && g_threads->multiThreadNumCPUs(&cpus) == kOfxStatOK && cpus > 0)
        session_->SetThreads(static_cast<int>(std::min(cpus, 256u)));
      session_->SetThreadRunner(&RunOnHostThreads);
    }
  }

  static void HostThread(unsigned int index, unsigned int, void* arg) {
    try {
      (*static_cast<const std::function<void(int)>*>(arg))(static_cast<int>(index));
    } catch (...) {
      // Nothing may leave a host's thread; the calling thread finishes what is left.
    }
  }
  static bool RunOnHostThreads(int workers, const std::function<void(int)>& work) {
    // The suite's threads cannot start threads of their own.
    if (g_threads->multiThreadIsSpawnedThread && g_threads->multiThreadIsSpawnedThread()) return false;
    return g_threads->multiThread(&HostThread, static_cast<unsigned int>(workers),
                                  const_cast<std::function<void(int)>*>(&work)) == kOfxStatOK;
  }

  // One control's value at `seconds` from the host, in the control's units.
  bool Read(int index, double seconds, std::array<double, 3>& v) {
    if (index <= 0 || static_cast<size_t>(index) >= handles_.size() || !handles_[index]) return false;
    // The host's time in time-scale units is whole; that over the time step is the frame.
    const double frame = static_cast<double>(std::llround(seconds * rate_.num)) / static_cast<double>(rate_.den);
    OfxParamHandle h = handles_[index];
    OfxStatus st = kOfxStatOK;
    switch (types_[index]) {
      case PF_Param_FIX_SLIDER:
      case PF_Param_ANGLE:
        st = g_params->paramGetValueAtTime(h, frame, &v[0]);
        break;
      case PF_Param_POINT: {
        // Canonical coordinates, y up from the bottom, to layer pixels from the top.
        double x = 0, y = 0;
        st = g_params->paramGetValueAtTime(h, frame, &x, &y);
        v[0] = (x - rod_.x1) / par_;
        v[1] = rod_.y2 - y;
        break;
      }
      case PF_Param_COLOR: {
        double r = 0, g = 0, b = 0;
        st = g_params->paramGetValueAtTime(h, frame, &r, &g, &b);
        v = {r * 255.0, g * 255.0, b * 255.0};
        break;
      }
      case PF_Param_POPUP: {
        int choice = 0;
        st = g_params->paramGetValueAtTime(h, frame, &choice);
        v[0] = choice + 1.0;
        break;
      }
      default: return false;
    }
    if (st != kOfxStatOK) {
      int none = -1;
      read_failed_.compare_exchange_strong(none, index);
      return false;
    }
    return true;
  }

  OfxImageEffectHandle effect_;
  OfxPropertySetHandle props_ = nullptr;
  OfxImageClipHandle source_ = nullptr, output_ = nullptr;
  std::vector<OfxParamHandle> handles_;  // by the effect's control index
  std::vector<OfxPropertySetHandle> param_props_;
  std::vector<PF_ParamType> types_;
  std::vector<std::string> labels_;
  std::mutex mutex_;  // one render or change at a time per instance
  std::unique_ptr<session::Session> session_;
  int width_ = 0, height_ = 0;
  // What value reads during a render convert with.
  session::Rational rate_{24, 1};
  OfxRectD rod_{0, 0, 0, 0};
  double par_ = 1.0;
  std::atomic<int> read_failed_{-1};  // the first control the host did not give
  std::vector<char> in_buffer_, out_buffer_;
};

Instance* InstanceOf(const void* handle) {
  auto effect = static_cast<OfxImageEffectHandle>(const_cast<void*>(handle));
  OfxPropertySetHandle props = nullptr;
  void* data = nullptr;
  if (!effect || g_effect->getPropertySet(effect, &props) != kOfxStatOK ||
      g_props->propGetPointer(props, kOfxPropInstanceData, 0, &data) != kOfxStatOK || !data)
    throw Failure{kOfxStatErrBadHandle, "the host gave an effect that is not an instance of pluvane"};
  return static_cast<Instance*>(data);
}

// ---- actions ------------------------------------------------------------------------------------------------

OfxStatus Load() {
  if (!g_host || !g_host->fetchSuite) return kOfxStatErrMissingHostFeature;
  g_props = static_cast<const OfxPropertySuiteV1*>(g_host->fetchSuite(g_host->host, kOfxPropertySuite, 1));
  g_effect = static_cast<const OfxImageEffectSuiteV1*>(g_host->fetchSuite(g_host->host, kOfxImageEffectSuite, 1));
  g_params = static_cast<const OfxParameterSuiteV1*>(g_host->fetchSuite(g_host->host, kOfxParameterSuite, 1));
  g_threads = static_cast<const OfxMultiThreadSuiteV1*>(g_host->fetchSuite(g_host->host, kOfxMultiThreadSuite, 1));
  g_messages = static_cast<const OfxMessageSuiteV1*>(g_host->fetchSuite(g_host->host, kOfxMessageSuite, 2));
  if (!g_messages) g_messages = static_cast<const OfxMessageSuiteV1*>(g_host->fetchSuite(g_host->host, kOfxMessageSuite, 1));
  if (!g_props || !g_effect || !g_params) return kOfxStatErrMissingHostFeature;
  return kOfxStatOK;
}

OfxStatus Describe(const void* handle) {
  OfxPropertySetHandle p = nullptr;
  Check(g_effect->getPropertySet(static_cast<OfxImageEffectHandle>(const_cast<void*>(handle)), &p), "give the effect's properties");
  SetString(p, kOfxPropLabel, "Pluvane");
  SetString(p, kOfxImageEffectPluginPropGrouping, kGrouping);
  SetString(p, kOfxPropPluginDescription, "Rain drops falling on the picture, with lit ripples");
  SetStrings(p, kOfxImageEffectPropSupportedContexts, {kOfxImageEffectContextFilter, kOfxImageEffectContextGeneral});
  SetStrings(p, kOfxImageEffectPropSupportedPixelDepths, {kOfxBitDepthByte, kOfxBitDepthShort, kOfxBitDepthFloat});
  SetInt(p, kOfxImageEffectPluginPropSingleInstance, 0);
  // One render at a time per instance, any number of instances at once; the
  // plug-in spreads a frame over the host's threads itself.
  SetString(p, kOfxImageEffectPluginRenderThreadSafety, kOfxImageEffectRenderInstanceSafe);
  SetInt(p, kOfxImageEffectPluginPropHostFrameThreading, 0);
  SetInt(p, kOfxImageEffectPropSupportsMultiResolution, 0);
  SetInt(p, kOfxImageEffectPropSupportsTiles, 0);
  SetInt(p, kOfxImageEffectPropTemporalClipAccess, 0);
  SetInt(p, kOfxImageEffectPropSupportsMultipleClipDepths, 0);
  SetInt(p, kOfxImageEffectPropSupportsMultipleClipPARs, 0);
  return kOfxStatOK;
}

OfxStatus DescribeInContext(const void* handle, OfxPropertySetHandle in) {
  auto effect = static_cast<OfxImageEffectHandle>(const_cast<void*>(handle));
  const std::string context = GetString(in, kOfxImageEffectPropContext);
  if (context != kOfxImageEffectContextFilter && context != kOfxImageEffectContextGeneral) return kOfxStatErrUnsupported;
  OfxPropertySetHandle clip = nullptr;
  Check(g_effect->clipDefine(effect, kOfxImageEffectSimpleSourceClipName, &clip), "define the Source clip");
  SetStrings(clip, kOfxImageEffectPropSupportedComponents, {kOfxImageComponentRGBA, kOfxImageComponentRGB});
  SetInt(clip, kOfxImageEffectPropSupportsTiles, 0);
  SetInt(clip, kOfxImageEffectPropTemporalClipAccess, 0);
  SetInt(clip, kOfxImageClipPropOptional, 0);
  Check(g_effect->clipDefine(effect, kOfxImageEffectOutputClipName, &clip), "define the Output clip");
  SetStrings(clip, kOfxImageEffectPropSupportedComponents, {kOfxImageComponentRGBA});
  SetInt(clip, kOfxImageEffectPropSupportsTiles, 0);
  OfxParamSetHandle set = nullptr;
  Check(g_effect->getParamSet(effect, &set), "give the parameter set");
  for (const Control& c : Controls()) DefineParam(set, c);
  return kOfxStatOK;
}

OfxStatus CreateInstance(const void* handle) {
  auto effect = static_cast<OfxImageEffectHandle>(const_cast<void*>(handle));
  OfxPropertySetHandle props = nullptr;
  Check(g_effect->getPropertySet(effect, &props), "give the effect's properties");
  auto instance = std::make_unique<Instance>(effect);
  Check(g_props->propSetPointer(props, kOfxPropInstanceData, 0, instance.get()), "keep the instance");
  instance.release();
  return kOfxStatOK;
}

OfxStatus DestroyInstance(const void* handle) {
  Instance* instance = InstanceOf(handle);
  OfxPropertySetHandle props = nullptr;
  if (g_effect->getPropertySet(static_cast<OfxImageEffectHandle>(const_cast<void*>(handle)), &props) == kOfxStatOK)
    g_props->propSetPointer(props, kOfxPropInstanceData, 0, nullptr);
  delete instance;
  return kOfxStatOK;
}

OfxStatus Action(const char* action, const void* handle, OfxPropertySetHandle in, OfxPropertySetHandle out) {
  const std::string a = action;
  if (a == kOfxActionLoad) return Load();
  if (!g_props || !g_effect || !g_params) return kOfxStatErrMissingHostFeature;
  if (a == kOfxActionUnload) return kOfxStatOK;
  if (a == kOfxActionDescribe) return Describe(handle);
  if (a == kOfxImageEffectActionDescribeInContext) return DescribeInContext(handle, in);
  if (a == kOfxActionCreateInstance) return CreateInstance(handle);
  if (a == kOfxActionDestroyInstance) return DestroyInstance(handle);
  if (a == kOfxImageEffectActionRender) return InstanceOf(handle)->Render(in);
  if (a == kOfxImageEffectActionGetClipPreferences) {
    InstanceOf(handle)->ClipPreferences(out);
    return kOfxStatOK;
  }
  if (a == kOfxImageEffectActionGetRegionOfDefinition) {
    // The source's region: the effect keeps the layer's size.
    const OfxRectD rod = InstanceOf(handle)->SourceRegion(GetDouble(in, kOfxPropTime, 0.0));
    Check(g_props->propSetDoubleN(out, kOfxImageEffectPropRegionOfDefinition, 4, &rod.x1), "take the region of definition");
    return kOfxStatOK;
  }
  if (a == kOfxImageEffectActionGetRegionsOfInterest) {
    // The whole source, whatever part of the output is asked for: the effect reads the whole layer.
    const OfxRectD rod = InstanceOf(handle)->SourceRegion(GetDouble(in, kOfxPropTime, 0.0));
    const std::string name = std::string(kOfxImageClipPropRoIPrefix) + kOfxImageEffectSimpleSourceClipName;
    Check(g_props->propSetDoubleN(out, name.c_str(), 4, &rod.x1), "take the region of interest");
    return kOfxStatOK;
  }
  if (a == kOfxActionInstanceChanged) {
    // A changed control may change which controls the effect enables.
    if (GetString(in, kOfxPropType) == kOfxTypeParameter) InstanceOf(handle)->UpdateEnabled();
    return kOfxStatOK;
  }
  if (a == kOfxImageEffectActionBeginSequenceRender || a == kOfxImageEffectActionEndSequenceRender) {
    InstanceOf(handle);
    return kOfxStatOK;
  }
  return kOfxStatReplyDefault;
}

// Tells the host what went wrong, when it asked an instance.
void Report(const void* handle, const std::string& text) {
  if (!g_messages || !g_messages->message || !g_props || !g_effect || !handle) return;
  OfxPropertySetHandle props = nullptr;
  void* data = nullptr;
  auto effect = static_cast<OfxImageEffectHandle>(const_cast<void*>(handle));
  if (g_effect->getPropertySet(effect, &props) == kOfxStatOK &&
      g_props->propGetPointer(props, kOfxPropInstanceData, 0, &data) == kOfxStatOK && data)
    static_cast<Instance*>(data)->Message(text);
  else
    g_messages->message(effect, kOfxMessageError, "", "%s", text.c_str());
}

OfxStatus PluginMain(const char* action, const void* handle, OfxPropertySetHandle in, OfxPropertySetHandle out) {
  if (!action) return kOfxStatErrBadHandle;
  try {
    return Action(action, handle, in, out);
  } catch (const Failure& f) {
    Report(handle, f.message);
    return f.status;
  } catch (const std::bad_alloc&) {
    Report(handle, "pluvane ran out of memory");
    return kOfxStatErrMemory;
  } catch (const std::exception& e) {
    Report(handle, e.what());
    return kOfxStatFailed;
  } catch (...) {
    return kOfxStatFailed;
  }
}

void SetHost(OfxHost* host) { g_host = host; }

OfxPlugin g_plugin = {kOfxImageEffectPluginApi, kOfxImageEffectPluginApiVersion, kIdentifier,
                      PLUVANE_VERSION_MAJOR, PLUVANE_VERSION_MINOR, &SetHost, &PluginMain};

}  // namespace

extern "C" {

__attribute__((visibility("default"))) int OfxGetNumberOfPlugins(void) { return 1; }

__attribute__((visibility("default"))) OfxPlugin* OfxGetPlugin(int nth) { return nth == 0 ? &g_plugin : nullptr; }

}  // extern "C"
