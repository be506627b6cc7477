// The effect as a frei0r filter (ffmpeg, MLT, GStreamer). On the outside a
// frei0r RGBA8888 filter; on the inside a host: every instance owns a
// stand-in host that drives the effect's linked-in entry point exactly as
// `pluvane render --depth 8` does, so the same frame comes out.
//
// Parameters, in frei0r order: the effect's 18 controls under their own
// names, with the time unit and frame rate first (ffmpeg sets parameters by
// position), then draft quality, then what the editors built on MLT need
// (added at the end so that ffmpeg's positional lists keep their meaning):
// "Units" and the point light's "Light X" and "Light Y"; then the host's own
// "Seed" and "Mix" (session/around.h), again at the end.
// Doubles follow the frei0r convention unless "Units" is "native": 0..1
// covers each control's usual span by a linear rule, value = lo + v × (hi -
// lo) (the table below); values beyond 0..1 extend the same line and are
// clamped to what the control accepts. With "Units" "native" a double is the
// control's own value (drops per frame, seconds, degrees, ...), clamped the
// same way, and a double the host never set stays at the control's default:
// MLT interpolates the numbers it passes, so keyframes in the controls' units
// need the values in those units. NaN leaves the control at its default.
// MLT passes no position parameters: "Light X" and "Light Y" place the point
// light as fractions of the frame's width and height (0.5 is the centre), in
// either units mode, so a project keeps its light in place at any preview
// scale. Each, when a finite number, wins over its axis of "Light Position";
// their default NaN leaves the light where "Light Position" puts it.
// "Frame Rate" "project" takes the rate from the host's time stamps (MLT
// stamps frame n at n / fps seconds), for editors whose panels cannot name
// the project's rate.
// "Seed" runs 0..1 = seeds 0..63 (to the nearest; native: the seed itself),
// "Mix" 0..1 in either units mode; both are clamped to their ranges, as a
// filter cannot report a bad value.
#include <algorithm>
#include <array>
#include <cctype>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "frei0r/history.h"
#include "host/entry.h"
#include "session/error.h"
#include "session/session.h"
#include "util/version.h"

// frei0r.h declares the plug-in's functions without C linkage of its own.
extern "C" {
#include <frei0r.h>
}

namespace {

namespace session = pluvane::session;
using pluvane::frei0r::History;

enum class Kind { kSlider, kAngle, kPopup, kColor, kPoint, kFrameRate, kTimeUnit, kDraft, kUnits, kPixelX, kPixelY,
                  kSeed, kMix };

struct ParamSpec {
  const char* name;
  Kind kind;
  double lo, hi;  // doubles: the control's value at 0 and at 1
  const char* explanation;
};

// The mapping of every double keeps the control's default on a short decimal.
constexpr ParamSpec kParams[] = {
    {"Time Unit", Kind::kTimeUnit, 0, 0, "unit of the host's time: seconds (MLT, GStreamer) or milliseconds (ffmpeg)"},
    {"Frame Rate", Kind::kFrameRate, 0, 0, "frames per second of the clip, N or N/D like 30000/1001, or project: the rate of the host's time stamps (default 30)"},
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
    {"Units", Kind::kUnits, 0, 0, "how doubles are read: 0..1 (default) over each control's span, or native: the control's own units"},
    {"Light X", Kind::kPixelX, 0, 0, "point light x as a fraction of the frame's width; a number wins over Light Position (default NaN: not set)"},
    {"Light Y", Kind::kPixelY, 0, 0, "point light y as a fraction of the frame's height; a number wins over Light Position (default NaN: not set)"},
    {"Seed", Kind::kSeed, session::kSeed.min, session::kSeed.max, "another rain with the same settings; 0..1 = seeds 0..63 (default 0)"},
    {"Mix", Kind::kMix, session::kMix.min, session::kMix.max, "0 the picture as it is, 1 the effect's result (default 1)"},
};
constexpr int kParamCount = static_cast<int>(sizeof kParams / sizeof kParams[0]);

// The value a frei0r parameter holds, as the host last set it.
struct Value {
  double number = 0;          // doubles and bools
  double r = 1, g = 1, b = 1;  // colours
  double x = 0, y = 0;         // positions
  std::string text;            // strings
  bool set = false;            // given by the host at least once
};

// "native" in any case; everything else is the 0..1 convention.
bool IsNative(const std::string& units) {
  std::string lower;
  for (char c : units) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return lower == "native";
}

class Instance {
 public:
  Instance(unsigned width, unsigned height)
      : session_(&MainEntry, static_cast<int>(width), static_cast<int>(height)),
        width_(static_cast<int>(width)),
        height_(static_cast<int>(height)) {
    for (int i = 0; i < kParamCount; ++i) {
      const ParamSpec& p = kParams[i];
      const bool control = p.kind == Kind::kSlider || p.kind == Kind::kAngle || p.kind == Kind::kPopup ||
                           p.kind == Kind::kColor || p.kind == Kind::kPoint;
      index_[i] = control ? session_.Control(p.name) : -1;
      values_[i] = Default(i);
      if (control && p.kind != Kind::kPopup) {
        slot_of_.resize(std::max<size_t>(slot_of_.size(), static_cast<size_t>(index_[i]) + 1), -1);
        slot_of_[static_cast<size_t>(index_[i])] = static_cast<int>(slotted_.size());
        slotted_.push_back(index_[i]);
      }
    }
    // The effect asks the kept values of earlier frames; the current frame's
    // and unseen frames' come from what ApplyControls set.
    session_.SetValueSource([this](int index, double seconds, std::array<double, 3>& value) {
      if (index < 0 || static_cast<size_t>(index) >= slot_of_.size() || slot_of_[static_cast<size_t>(index)] < 0) return false;
      const History::Values* kept = history_.At(session_.timebase().FrameAt(seconds));
      if (!kept) return false;
      value = (*kept)[static_cast<size_t>(slot_of_[static_cast<size_t>(index)])];
      return true;
    });
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
      case Kind::kTimeUnit:
      case Kind::kUnits: {
        const char* s = *static_cast<const f0r_param_string*>(param);
        v.text = s ? std::string(s, strnlen(s, 256)) : "";
        break;
      }
      default:
        v.number = *static_cast<const double*>(param);
        break;
    }
    v.set = true;
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
      case Kind::kUnits:
        *static_cast<f0r_param_string*>(param) = const_cast<char*>(v.text.c_str());
        break;
      case Kind::kSlider:
      case Kind::kAngle:
        // In native units a double never set reads as the control's default.
        *static_cast<double*>(param) = native() && !v.set ? session::ClampToControl(Definition(i), NAN) : v.number;
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
    if (p.kind == Kind::kUnits) v.text = "0..1";
    if (p.kind == Kind::kPixelX || p.kind == Kind::kPixelY) v.number = NAN;
    if (p.kind == Kind::kMix) v.number = session::kMix.dflt;
    if (index_[i] < 0) return v;
    const PF_ParamDef& d = session_.definitions()[index_[i]];
    switch (p.kind) {
      case Kind::kSlider: v.number = (PF_FixedToDouble(d.u.fd.dephault) - p.lo) / (p.hi - p.lo); break;
      case Kind::kAngle: v.number = (PF_FixedToDouble(d.u.ad.dephault) - p.lo) / (p.hi - p.lo); break;
      case Kind::kPopup: {
        const auto choices = session::ChoicesOf(d);
        const size_t c = static_cast<size_t>(std::max<A_long>(d.u.pd.dephault, 1)) - 1;
        v.text = c < choices.size() ? choices[c] : "";
        break;
      }
      case Kind::kColor:
        v.r = d.u.cd.dephault.red / 255.0, v.g = d.u.cd.dephault.green / 255.0, v.b = d.u.cd.dephault.blue / 255.0;
        break;
      case Kind::kPoint: v.x = PF_FixedToDouble(d.u.td.x_dephault) / 100.0, v.y = PF_FixedToDouble(d.u.td.y_dephault) / 100.0; break;
      default: break;
    }
    return v;
  }

  static A_u_char Channel(double v, A_u_char dflt) {
    if (std::isnan(v)) return dflt;
    return static_cast<A_u_char>(std::lround(std::clamp(v, 0.0, 1.0) * 255.0));
  }

  const PF_ParamDef& Definition(int i) const { return session_.definitions()[index_[i]]; }
  bool native() const { return IsNative(ValueOf(Kind::kUnits).text); }

  // The frei0r values in the controls' units: doubles by the 0..1 line of the
  // table or as they are (native units), positions as fractions of the frame
  // (Light X and Light Y win when set), colours 0..1 per channel.
  void ApplyControls() {
    const bool native_units = native();
    const double light_x = ValueOf(Kind::kPixelX).number, light_y = ValueOf(Kind::kPixelY).number;
    for (int i = 0; i < kParamCount; ++i) {
      const int index = index_[i];
      if (index < 0) continue;
      const PF_ParamDef& d = session_.definitions()[index];
      const Value& v = values_[i];
      const ParamSpec& p = kParams[i];
      switch (p.kind) {
        case Kind::kSlider:
        case Kind::kAngle:
          if (native_units)
            session_.SetValue(index, v.set ? v.number : NAN);
          else
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
          session_.SetPoint(index, (std::isfinite(light_x) ? light_x : v.x) * width_,
                            (std::isfinite(light_y) ? light_y : v.y) * height_);
          break;
        default: break;
      }
    }
  }

  // The time-varying controls as the stand-in host now holds them, in the
  // form it takes back from a value source.
  History::Values CurrentValues() {
    History::Values out;
    out.reserve(slotted_.size());
    for (int index : slotted_) {
      const PF_ParamDef& d = session_.definitions()[static_cast<size_t>(index)];
      switch (d.param_type) {
        case PF_Param_FIX_SLIDER: out.push_back({PF_FixedToDouble(d.u.fd.value), 0, 0}); break;
        case PF_Param_ANGLE: out.push_back({PF_FixedToDouble(d.u.ad.value), 0, 0}); break;
        case PF_Param_COLOR:
          out.push_back({static_cast<double>(d.u.cd.value.red), static_cast<double>(d.u.cd.value.green),
                         static_cast<double>(d.u.cd.value.blue)});
          break;
        default: {
          const auto point = session_.host().PointValue(index);
          out.push_back({point.first, point.second, 0});
          break;
        }
      }
    }
    return out;
  }

  static int SlotOf(Kind kind) {
    for (int i = 0; i < kParamCount; ++i)
      if (kParams[i].kind == kind) return i;
    return 0;
  }

  const Value& ValueOf(Kind kind) const {
    for (int i = 0; i < kParamCount; ++i)
      if (kParams[i].kind == kind) return values_[i];
    return values_[0];
  }

  bool Render(double time, const uint32_t* in, uint32_t* out) {
    const session::TimeUnit unit = session::ParseTimeUnit(ValueOf(Kind::kTimeUnit).text);
    const std::string& rate_text = ValueOf(Kind::kFrameRate).text;
    session::Rational rate{30, 1};
    if (session::IsProjectRate(rate_text)) {
      rate = stamps_.Add(unit == session::TimeUnit::kMilliseconds ? time / 1000.0 : time);
    } else {
      try {
        rate = session::ParseRate(rate_text);
      } catch (const session::Error&) {
      }
    }
    const session::Rational before = session_.timebase().rate();
    if (!(rate == before)) history_.Rescale(before, rate);
    session_.SetRate(rate);
    // The host's time to the nearest frame, then that frame's time exactly as
    // the command line gives it.
    const long long frame = session_.timebase().FrameAt(time, unit);
    session_.SetDuration(frame + 1);
    const double draft = ValueOf(Kind::kDraft).number;
    session_.SetDraft(!std::isnan(draft) && draft >= 0.5);
    ApplyControls();
    const double seed = ValueOf(Kind::kSeed).number, seed_at_one = kParams[SlotOf(Kind::kSeed)].hi;
    session_.SetSeed(static_cast<int>(session::ClampToHostControl(session::kSeed, native() ? seed : seed * seed_at_one)));
    session_.SetMix(session::ClampToHostControl(session::kMix, ValueOf(Kind::kMix).number));
    history_.Record(frame, CurrentValues());
    return session_.RenderFrame(frame, session::PackedRgba8(in, width_, height_), session::PackedRgba8(out, width_, height_),
                                session::Depth::k8) == PF_Err_NONE;
  }

  session::Session session_;
  int width_, height_;
  int index_[kParamCount] = {};
  Value values_[kParamCount];
  std::vector<int> slotted_;  // control indices of the time-varying controls, by slot
  std::vector<int> slot_of_;  // slot by control index, -1 for none
  History history_;
  session::RateFromStamps stamps_;
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
    case Kind::kTimeUnit:
    case Kind::kUnits: info->type = F0R_PARAM_STRING; break;
    case Kind::kDraft: info->type = F0R_PARAM_BOOL; break;
    default: info->type = F0R_PARAM_DOUBLE; break;
  }
}

f0r_instance_t f0r_construct(unsigned int width, unsigned int height) {
  if (width == 0 || height == 0 || width > session::kLargestPluginSide ||
      height > session::kLargestPluginSide)
    return nullptr;
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
