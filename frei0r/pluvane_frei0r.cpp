// The effect as a frei0r filter (ffmpeg, MLT, GStreamer). On the outside a
// frei0r RGBA8888 filter; on the inside a host: every instance owns a
// stand-in host that drives the effect's linked-in entry point exactly as
// `pluvane render --depth 8` does, so the same frame comes out.
//
// Parameters, in frei0r order: the effect's 18 controls under their own
// names, with the time unit and frame rate first (ffmpeg sets parameters by
// position) and draft quality last.
// Doubles follow the frei0r convention: 0..1 covers each control's usual span
// by a linear rule, value = lo + v × (hi - lo) (the table below); values
// beyond 0..1 extend the same line and are clamped to what the control
// accepts. NaN leaves the control at its default.
#include <algorithm>
#include <cctype>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "entry.h"
#include "host.h"

// frei0r.h declares the plug-in's functions without C linkage of its own.
extern "C" {
#include <frei0r.h>
}

namespace {

using minihost::MiniHost;

enum class Kind { kSlider, kAngle, kPopup, kColor, kPoint, kFrameRate, kTimeUnit, kDraft };

struct ParamSpec {
  const char* name;
  Kind kind;
  double lo, hi;  // doubles: the control's value at 0 and at 1
  const char* explanation;
};

// The mapping of every double keeps the control's default on a short decimal.
constexpr ParamSpec kParams[] = {
    {"Time Unit", Kind::kTimeUnit, 0, 0, "unit of the host's time: seconds (MLT, GStreamer) or milliseconds (ffmpeg)"},
    {"Frame Rate", Kind::kFrameRate, 0, 0, "frames per second of the clip, N or N/D like 30000/1001 (default 30)"},
    {"Drip Rate", Kind::kSlider, 0, 5, "drops per frame; 0..1 = 0..5 (default 0.2 = 1)"},
    {"Longevity (sec)", Kind::kSlider, 0, 10, "seconds a ripple lasts; 0..1 = 0..10 (default 0.1 = 1)"},
    {"Rippling", Kind::kAngle, 0, 720, "degrees; 0..1 = 0..720 (default 0.5 = 360)"},
    {"Displacement", Kind::kSlider, -50, 50, "0..1 = -50..50 (default 0.7 = 20)"},
    {"Ripple Height", Kind::kSlider, 0, 200, "0..1 = 0..200 (default 0.5 = 100)"},
    {"Spreading", Kind::kSlider, 0, 200, "0..1 = 0..200 (default 0.5 = 100)"},
    {"Using", Kind::kPopup, 0, 0, "Effect Light or AE Lights"},
    {"Light Intensity", Kind::kSlider, 0, 200, "0..1 = 0..200 (default 0.5 = 100)"},
    {"Light Color", Kind::kColor, 0, 0, "colour of the light"},
    {"Light Type", Kind::kPopup, 0, 0, "Distant Light or Point Light"},
    {"Light Height", Kind::kSlider, 0, 100, "0..1 = 0..100 (default 0.65 = 65)"},
    {"Light Position", Kind::kPoint, 0, 0, "point light position, fractions of the frame (default 0.25, 0.25)"},
    {"Light Direction", Kind::kAngle, -180, 180, "degrees; 0..1 = -180..180 (default 0.375 = -45)"},
    {"Ambient", Kind::kSlider, 0, 200, "0..1 = 0..200 (default 0.5 = 100)"},
    {"Diffuse", Kind::kSlider, 0, 100, "0..1 = 0..100 (default 0)"},
    {"Specular", Kind::kSlider, 0, 100, "0..1 = 0..100 (default 1 = 100)"},
    {"Roughness", Kind::kSlider, 0, 0.25, "0..1 = 0..0.25, at least 0.001 (default 0.06 = 0.015)"},
    {"Metal", Kind::kSlider, 0, 100, "0..1 = 0..100 (default 1 = 100)"},
    {"Draft", Kind::kDraft, 0, 0, "render at draft quality"},
};
constexpr int kParamCount = static_cast<int>(sizeof kParams / sizeof kParams[0]);

constexpr double kFixedLimit = 32767.0;  // the largest whole part a 16.16 value holds
constexpr long long kMaxRate = 1000000;  // frame rate numerator and denominator limit

std::string Lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
  return s;
}

std::string Trim(const std::string& s) {
  const size_t a = s.find_first_not_of(" \t\r\n");
  if (a == std::string::npos) return "";
  const size_t b = s.find_last_not_of(" \t\r\n");
  return s.substr(a, b - a + 1);
}

// A whole number from all of `s`, within 1..kMaxRate; 0 otherwise.
long long RatePart(const std::string& s) {
  if (s.empty() || s.size() > 7 || !std::all_of(s.begin(), s.end(), [](unsigned char c) { return std::isdigit(c); }))
    return 0;
  const long long v = std::stoll(s);
  return v >= 1 && v <= kMaxRate ? v : 0;
}

struct Rate {
  long long num = 30, den = 1;
};

// "N", "N/D" or a decimal like "29.97" (taken as 2997/100); false when it is none.
bool ParseRate(const std::string& text, Rate* rate) {
  const std::string s = Trim(text);
  if (const size_t slash = s.find('/'); slash != std::string::npos) {
    const long long n = RatePart(Trim(s.substr(0, slash))), d = RatePart(Trim(s.substr(slash + 1)));
    if (!n || !d) return false;
    *rate = {n, d};
    return true;
  }
  if (const size_t dot = s.find('.'); dot != std::string::npos) {
    std::string whole = s.substr(0, dot), frac = s.substr(dot + 1);
    while (!frac.empty() && frac.back() == '0') frac.pop_back();
    if (frac.size() > 3 || (whole.empty() && frac.empty())) return false;
    if (whole.empty()) whole = "0";
    long long scale = 1;
    for (size_t i = 0; i < frac.size(); ++i) scale *= 10;
    const std::string digits = whole + frac;
    if (!std::all_of(digits.begin(), digits.end(), [](unsigned char c) { return std::isdigit(c); })) return false;
    if (digits.size() > 7) return false;
    const long long n = std::stoll(digits);
    if (n < 1 || n > kMaxRate) return false;
    *rate = {n, scale};
    return true;
  }
  const long long n = RatePart(s);
  if (!n) return false;
  *rate = {n, 1};
  return true;
}

// The value a frei0r parameter holds, as the host last set it.
struct Value {
  double number = 0;          // doubles and bools
  double r = 1, g = 1, b = 1;  // colours
  double x = 0, y = 0;         // positions
  std::string text;            // strings
};

class Instance {
 public:
  Instance(unsigned width, unsigned height) {
    minihost::LayerSettings settings;
    settings.width = static_cast<A_long>(width);
    settings.height = static_cast<A_long>(height);
    host_ = std::make_unique<MiniHost>(&MainEntry, settings);
    PF_OutData out{};
    if (host_->GlobalSetup(&out) || host_->ParamsSetup()) throw minihost::HostError("effect set-up failed");
    input_ = host_->NewWorld(settings.width, settings.height, PF_PixelFormat_ARGB32);
    for (int i = 0; i < kParamCount; ++i) {
      const ParamSpec& p = kParams[i];
      const bool control = p.kind != Kind::kFrameRate && p.kind != Kind::kTimeUnit && p.kind != Kind::kDraft;
      index_[i] = control ? host_->FindParam(p.name) : -1;
      if (control && index_[i] < 0) throw minihost::HostError(std::string("the effect lacks ") + p.name);
      values_[i] = Default(i);
    }
  }

  void Set(int i, f0r_param_t param) {
    if (i < 0 || i >= kParamCount || !param) return;
    Value& v = values_[i];
    switch (kParams[i].kind) {
      case Kind::kColor: {
        const auto* c = static_cast<const f0r_param_color_t*>(param);
        v.r = c->r, v.g = c->g, v.b = c->b;
        break;
      }
      case Kind::kPoint: {
        const auto* p = static_cast<const f0r_param_position_t*>(param);
        v.x = p->x, v.y = p->y;
        break;
      }
      case Kind::kPopup:
      case Kind::kFrameRate:
      case Kind::kTimeUnit: {
        const char* s = *static_cast<const f0r_param_string*>(param);
        v.text = s ? std::string(s, strnlen(s, 256)) : "";
        break;
      }
      default:
        v.number = *static_cast<const double*>(param);
        break;
    }
  }

  void Get(int i, f0r_param_t param) const {
    if (i < 0 || i >= kParamCount || !param) return;
    const Value& v = values_[i];
    switch (kParams[i].kind) {
      case Kind::kColor:
        *static_cast<f0r_param_color_t*>(param) = {static_cast<float>(v.r), static_cast<float>(v.g), static_cast<float>(v.b)};
        break;
      case Kind::kPoint:
        *static_cast<f0r_param_position_t*>(param) = {v.x, v.y};
        break;
      case Kind::kPopup:
      case Kind::kFrameRate:
      case Kind::kTimeUnit:
        *static_cast<f0r_param_string*>(param) = const_cast<char*>(v.text.c_str());
        break;
      default:
        *static_cast<double*>(param) = v.number;
        break;
    }
  }

  void Update(double time, const uint32_t* in, uint32_t* out) {
    const size_t pixels = static_cast<size_t>(input_->width) * input_->height;
    if (!in || !out) return;
    try {
      if (Render(time, in, out)) return;
    } catch (...) {
    }
    // A filter has no way to report a failure: the frame passes unchanged.
    std::memmove(out, in, pixels * 4);
  }

 private:
  Value Default(int i) const {
    Value v;
    const ParamSpec& p = kParams[i];
    if (p.kind == Kind::kFrameRate) v.text = "30";
    if (p.kind == Kind::kTimeUnit) v.text = "seconds";
    if (index_[i] < 0) return v;
    const PF_ParamDef& d = host_->params()[index_[i]];
    switch (p.kind) {
      case Kind::kSlider: v.number = (d.u.fd.dephault / 65536.0 - p.lo) / (p.hi - p.lo); break;
      case Kind::kAngle: v.number = (d.u.ad.dephault / 65536.0 - p.lo) / (p.hi - p.lo); break;
      case Kind::kPopup: v.text = Choices(d).at(std::max<A_long>(d.u.pd.dephault, 1) - 1); break;
      case Kind::kColor:
        v.r = d.u.cd.dephault.red / 255.0, v.g = d.u.cd.dephault.green / 255.0, v.b = d.u.cd.dephault.blue / 255.0;
        break;
      case Kind::kPoint: v.x = d.u.td.x_dephault / 65536.0 / 100.0, v.y = d.u.td.y_dephault / 65536.0 / 100.0; break;
      default: break;
    }
    return v;
  }

  // At least one name, so that the default's name is always there.
  static std::vector<std::string> Choices(const PF_ParamDef& d) {
    auto out = minihost::PopupChoices(d);
    if (out.empty()) out.emplace_back();
    return out;
  }

  // A popup's choice from its name, its first word (any case) or its number
  // from 1; the default choice for anything else.
  static A_long PopupChoice(const PF_ParamDef& d, const std::string& text) {
    const std::string want = Lower(Trim(text));
    const auto choices = Choices(d);
    for (size_t c = 0; c < choices.size(); ++c) {
      const std::string name = Lower(choices[c]);
      if (want == name || (!want.empty() && want == name.substr(0, name.find(' '))) || want == std::to_string(c + 1))
        return static_cast<A_long>(c) + 1;
    }
    return d.u.pd.dephault;
  }

  // The control's value on the host side: the mapped double, clamped.
  double Mapped(int i, const PF_ParamDef& d) const {
    const ParamSpec& p = kParams[i];
    const double v = values_[i].number;
    if (std::isnan(v)) return (p.kind == Kind::kSlider ? d.u.fd.dephault : d.u.ad.dephault) / 65536.0;
    const double value = p.lo + std::clamp(v, -1e6, 1e6) * (p.hi - p.lo);
    if (p.kind == Kind::kSlider) return std::clamp(value, d.u.fd.valid_min / 65536.0, d.u.fd.valid_max / 65536.0);
    return std::clamp(value, -kFixedLimit, kFixedLimit);
  }

  static A_u_char Channel(double v, A_u_char dflt) {
    if (std::isnan(v)) return dflt;
    return static_cast<A_u_char>(std::lround(std::clamp(v, 0.0, 1.0) * 255.0));
  }

  void ApplyControls() {
    MiniHost& h = *host_;
    const double w = h.settings().width, ht = h.settings().height;
    for (int i = 0; i < kParamCount; ++i) {
      const int index = index_[i];
      if (index < 0) continue;
      const PF_ParamDef& d = h.params()[index];
      const Value& v = values_[i];
      switch (kParams[i].kind) {
        case Kind::kSlider:
        case Kind::kAngle: h.SetFixed(index, Mapped(i, d)); break;
        case Kind::kPopup: h.SetPopup(index, PopupChoice(d, v.text)); break;
        case Kind::kColor: {
          const PF_Pixel dflt = d.u.cd.dephault;
          h.SetColor(index, PF_Pixel{255, Channel(v.r, dflt.red), Channel(v.g, dflt.green), Channel(v.b, dflt.blue)});
          break;
        }
        case Kind::kPoint: {
          const double fx = std::isnan(v.x) ? d.u.td.x_dephault / 65536.0 / 100.0 : v.x;
          const double fy = std::isnan(v.y) ? d.u.td.y_dephault / 65536.0 / 100.0 : v.y;
          h.SetPoint(index, std::clamp(fx * w, -kFixedLimit, kFixedLimit), std::clamp(fy * ht, -kFixedLimit, kFixedLimit));
          break;
        }
        default: break;
      }
    }
  }

  double Number(Kind kind) const {
    for (int i = 0; i < kParamCount; ++i)
      if (kParams[i].kind == kind) return values_[i].number;
    return 0;
  }
  const std::string& Text(Kind kind) const {
    for (int i = 0; i < kParamCount; ++i)
      if (kParams[i].kind == kind) return values_[i].text;
    return values_[0].text;
  }

  bool Render(double time, const uint32_t* in, uint32_t* out) {
    Rate rate;
    if (!ParseRate(Text(Kind::kFrameRate), &rate)) rate = Rate{};
    const std::string unit = Lower(Trim(Text(Kind::kTimeUnit)));
    const double scale = unit == "ms" || unit == "milliseconds" || unit == "millisecond" ? 0.001 : 1.0;
    // The host's time to the nearest frame, then that frame's time exactly as
    // the command line gives it: frame × den in units of 1/num seconds.
    const double frames = time * scale * static_cast<double>(rate.num) / static_cast<double>(rate.den);
    const long long last = INT_MAX / rate.den - 1;
    const long long frame = std::isnan(frames) ? 0 : std::llround(std::clamp(frames, 0.0, static_cast<double>(last)));



    minihost::LayerSettings& s = host_->settings();
    s.time_scale = static_cast<A_u_long>(rate.num);
    s.time_step = s.local_time_step = static_cast<A_long>(rate.den);
    s.total_time = static_cast<A_long>((frame + 1) * rate.den);
    const double draft = Number(Kind::kDraft);
    s.quality = !std::isnan(draft) && draft >= 0.5 ? PF_Quality_LO : PF_Quality_HI;
    ApplyControls();

    const A_long w = input_->width, h = input_->height;
    const auto* src = reinterpret_cast<const uint8_t*>(in);
    for (A_long y = 0; y < h; ++y) {
      auto* row = reinterpret_cast<PF_Pixel*>(reinterpret_cast<char*>(input_->data) + static_cast<ptrdiff_t>(y) * input_->rowbytes);
      for (A_long x = 0; x < w; ++x, src += 4) row[x] = PF_Pixel{src[3], src[0], src[1], src[2]};
    }
    // A fresh output buffer per frame, as the command line hands out.
    auto output = host_->NewWorld(w, h, PF_PixelFormat_ARGB32);
    minihost::FrameRequest request;
    request.time = static_cast<A_long>(frame * rate.den);
    request.input = input_.get();
    request.output = output.get();
    if (host_->RenderFrame(request) != PF_Err_NONE) return false;
    auto* dst = reinterpret_cast<uint8_t*>(out);
    for (A_long y = 0; y < h; ++y) {
      const auto* row =
          reinterpret_cast<const PF_Pixel*>(reinterpret_cast<const char*>(output->data) + static_cast<ptrdiff_t>(y) * output->rowbytes);
      for (A_long x = 0; x < w; ++x, dst += 4) {
        dst[0] = row[x].red, dst[1] = row[x].green, dst[2] = row[x].blue, dst[3] = row[x].alpha;
      }
    }
    return true;
  }

  std::unique_ptr<MiniHost> host_;
  minihost::WorldPtr input_;
  int index_[kParamCount] = {};
  Value values_[kParamCount];
};

}  // namespace

extern "C" {

int f0r_init() { return 1; }
void f0r_deinit() {}

void f0r_get_plugin_info(f0r_plugin_info_t* info) {
  info->name = "pluvane";
  info->author = "pluvane";
  info->plugin_type = F0R_PLUGIN_TYPE_FILTER;
  info->color_model = F0R_COLOR_MODEL_RGBA8888;
  info->frei0r_version = FREI0R_MAJOR_VERSION;
  info->major_version = 1;
  info->minor_version = 6;
  info->num_params = kParamCount;
  info->explanation = "Rain drops falling on the picture, with lit ripples";
}

void f0r_get_param_info(f0r_param_info_t* info, int index) {
  if (index < 0 || index >= kParamCount) return;
  const ParamSpec& p = kParams[index];
  info->name = p.name;
  info->explanation = p.explanation;
  switch (p.kind) {
    case Kind::kColor: info->type = F0R_PARAM_COLOR; break;
    case Kind::kPoint: info->type = F0R_PARAM_POSITION; break;
    case Kind::kPopup:
    case Kind::kFrameRate:
    case Kind::kTimeUnit: info->type = F0R_PARAM_STRING; break;
    case Kind::kDraft: info->type = F0R_PARAM_BOOL; break;
    default: info->type = F0R_PARAM_DOUBLE; break;
  }
}

f0r_instance_t f0r_construct(unsigned int width, unsigned int height) {
  if (width == 0 || height == 0 || width > 32767 || height > 32767) return nullptr;
  try {
    return new Instance(width, height);
  } catch (...) {
    return nullptr;
  }
}

void f0r_destruct(f0r_instance_t instance) { delete static_cast<Instance*>(instance); }

void f0r_set_param_value(f0r_instance_t instance, f0r_param_t param, int index) {
  if (instance) static_cast<Instance*>(instance)->Set(index, param);
}

void f0r_get_param_value(f0r_instance_t instance, f0r_param_t param, int index) {
  if (instance) static_cast<Instance*>(instance)->Get(index, param);
}

void f0r_update(f0r_instance_t instance, double time, const uint32_t* inframe, uint32_t* outframe) {
  if (instance) static_cast<Instance*>(instance)->Update(time, inframe, outframe);
}

}  // extern "C"
