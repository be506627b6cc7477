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
#include "session/error.h"
#include "session/session.h"
#include "util/version.h"

// frei0r.h declares the plug-in's functions without C linkage of its own.
extern "C" {
#include <frei0r.h>
}

namespace {

namespace session = pluvane::session;

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

// The value a frei0r parameter holds, as the host last set it.
struct Value {
  double number = 0;          // doubles and bools
  double r = 1, g = 1, b = 1;  // colours
  double x = 0, y = 0;         // positions
  std::string text;            // strings
};

class Instance {
 public:
  Instance(unsigned width, unsigned height)
      : session_(&MainEntry, static_cast<int>(width), static_cast<int>(height)),
        width_(static_cast<int>(width)),
        height_(static_cast<int>(height)) {
    for (int i = 0; i < kParamCount; ++i) {
      const ParamSpec& p = kParams[i];
      const bool control = p.kind != Kind::kFrameRate && p.kind != Kind::kTimeUnit && p.kind != Kind::kDraft;
      index_[i] = control ? session_.Control(p.name) : -1;
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
    if (!in || !out) return;
    try {
      if (Render(time, in, out)) return;
    } catch (...) {
    }
    // A filter has no way to report a failure: the frame passes unchanged.
    std::memmove(out, in, static_cast<size_t>(width_) * height_ * 4);
  }

 private:
  Value Default(int i) const {
    Value v;
    const ParamSpec& p = kParams[i];
    if (p.kind == Kind::kFrameRate) v.text = "30";
    if (p.kind == Kind::kTimeUnit) v.text = "seconds";
    if (index_[i] < 0) return v;
    const PF_ParamDef& d = session_.definitions()[index_[i]];
    switch (p.kind) {
      case Kind::kSlider: v.number = (d.u.fd.dephault / 65536.0 - p.lo) / (p.hi - p.lo); break;
      case Kind::kAngle: v.number = (d.u.ad.dephault / 65536.0 - p.lo) / (p.hi - p.lo); break;
      case Kind::kPopup: {
        const auto choices = session::ChoicesOf(d);
        const size_t c = static_cast<size_t>(std::max<A_long>(d.u.pd.dephault, 1)) - 1;
        v.text = c < choices.size() ? choices[c] : "";
        break;
      }
      case Kind::kColor:
        v.r = d.u.cd.dephault.red / 255.0, v.g = d.u.cd.dephault.green / 255.0, v.b = d.u.cd.dephault.blue / 255.0;
        break;
      case Kind::kPoint: v.x = d.u.td.x_dephault / 65536.0 / 100.0, v.y = d.u.td.y_dephault / 65536.0 / 100.0; break;
      default: break;
    }
    return v;
  }

  static A_u_char Channel(double v, A_u_char dflt) {
    if (std::isnan(v)) return dflt;
    return static_cast<A_u_char>(std::lround(std::clamp(v, 0.0, 1.0) * 255.0));
  }

  // The frei0r values in the controls' units: doubles by the 0..1 line of the
  // table, positions as fractions of the frame, colours 0..1 per channel.
  void ApplyControls() {
    for (int i = 0; i < kParamCount; ++i) {
      const int index = index_[i];
      if (index < 0) continue;
      const PF_ParamDef& d = session_.definitions()[index];
      const Value& v = values_[i];
      const ParamSpec& p = kParams[i];
      switch (p.kind) {
        case Kind::kSlider:
        case Kind::kAngle:
          session_.SetValue(index, std::isnan(v.number) ? v.number : p.lo + std::clamp(v.number, -1e6, 1e6) * (p.hi - p.lo));
          break;
        case Kind::kPopup:
          session_.SetChoice(index, session::MatchChoice(d, v.text).value_or(d.u.pd.dephault));
          break;
        case Kind::kColor: {
          const PF_Pixel dflt = d.u.cd.dephault;
          session_.SetColor(index, Channel(v.r, dflt.red), Channel(v.g, dflt.green), Channel(v.b, dflt.blue));
          break;
        }
        case Kind::kPoint:
          session_.SetPoint(index, v.x * width_, v.y * height_);
          break;
        default: break;
      }
    }
  }

  const Value& ValueOf(Kind kind) const {
    for (int i = 0; i < kParamCount; ++i)
      if (kParams[i].kind == kind) return values_[i];
    return values_[0];
  }

  bool Render(double time, const uint32_t* in, uint32_t* out) {
    session::Rational rate{30, 1};
    try {
      rate = session::ParseRate(ValueOf(Kind::kFrameRate).text);
    } catch (const session::Error&) {
    }
    session_.SetRate(rate);
    // The host's time to the nearest frame, then that frame's time exactly as
    // the command line gives it.
    const long long frame = session_.timebase().FrameAt(time, session::ParseTimeUnit(ValueOf(Kind::kTimeUnit).text));
    session_.SetDuration(frame + 1);
    const double draft = ValueOf(Kind::kDraft).number;
    session_.SetDraft(!std::isnan(draft) && draft >= 0.5);
    ApplyControls();
    return session_.RenderFrame(frame, session::PackedRgba8(in, width_, height_), session::PackedRgba8(out, width_, height_),
                                session::Depth::k8) == PF_Err_NONE;
  }

  session::Session session_;
  int width_, height_;
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
  info->major_version = PLUVANE_VERSION_MAJOR;
  info->minor_version = PLUVANE_VERSION_MINOR;
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
