#include "openfx_plugin/params.h"

#include <algorithm>
#include <cctype>
#include <cmath>

#include "host/entry.h"
#include "openfx_plugin/suites.h"
#include "session/around.h"
#include "session/controls.h"
#include "session/session.h"

namespace pluvane::ofx {
namespace {

namespace session = pluvane::session;

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

// A 16.16 value as hosts should show it: to the control's number of decimals
// when that is within one 16.16 step of it (0.015 and 0.001, not
// 0.0149993896484375 and 0.00099), else the shortest decimal that is the
// same 16.16 value.
double Decimal(PF_Fixed v, int precision = -1) {
  if (precision >= 0) {
    const double scale = std::pow(10.0, std::min(precision, 6));
    const double x = std::round(PF_FixedToDouble(v) * scale) / scale;
    if (std::fabs(x * kPF_FixedOne - v) <= 1.0) return x;
  }
  for (int digits = 0; digits < 6; ++digits) {
    const double scale = std::pow(10.0, digits);
    const double x = std::round(PF_FixedToDouble(v) * scale) / scale;
    if (std::llround(x * kPF_FixedOne) == v) return x;
  }
  return PF_FixedToDouble(v);
}

void SetRange(OfxPropertySetHandle p, const char* name, double a, double b) {
  SetDouble(p, name, a, 0);
  SetDouble(p, name, b, 1);
}

// A position runs as far as the effect's 16.16 points hold; hosts show the
// frame, here a 1920x1080 one until an instance knows its project.
constexpr double kPointLimit = kPF_FixedLimit;
constexpr double kFrameWidth = 1920, kFrameHeight = 1080;

constexpr char kInvertMaskLabel[] = "Invert Mask";

}  // namespace

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
  Check(g.params->paramDefine(set, type, c.name.c_str(), &p), "define a parameter");
  if (!p) throw Failure{kOfxStatFailed, "the host gave no properties for a parameter"};
  SetString(p, kOfxPropLabel, d.name);
  MaySetString(p, kOfxParamPropScriptName, c.name.c_str());
  if (!c.parent.empty()) SetString(p, kOfxParamPropParent, c.parent.c_str());
  const auto fixed = [&d](PF_Fixed v) { return Decimal(v, d.param_type == PF_Param_FIX_SLIDER ? d.u.fd.precision : -1); };
  switch (d.param_type) {
    case PF_Param_FIX_SLIDER:
      MaySetString(p, kOfxParamPropDoubleType, kOfxParamDoubleTypePlain);
      SetDouble(p, kOfxParamPropDefault, fixed(d.u.fd.dephault));
      SetDouble(p, kOfxParamPropMin, fixed(d.u.fd.valid_min));
      SetDouble(p, kOfxParamPropMax, fixed(d.u.fd.valid_max));
      SetDouble(p, kOfxParamPropDisplayMin, fixed(d.u.fd.slider_min));
      SetDouble(p, kOfxParamPropDisplayMax, fixed(d.u.fd.slider_max));
      MaySetInt(p, kOfxParamPropDigits, d.u.fd.precision);
      break;
    case PF_Param_ANGLE: {
      // Degrees, any number of turns within what the effect's 16.16 angles hold.
      const double dflt = fixed(d.u.ad.dephault);
      MaySetString(p, kOfxParamPropDoubleType, kOfxParamDoubleTypeAngle);
      SetDouble(p, kOfxParamPropDefault, dflt);
      SetDouble(p, kOfxParamPropMin, -kPF_FixedLimit);
      SetDouble(p, kOfxParamPropMax, kPF_FixedLimit);
      SetDouble(p, kOfxParamPropDisplayMin, std::min(-360.0, dflt));
      SetDouble(p, kOfxParamPropDisplayMax, std::max(360.0, dflt));
      break;
    }
    case PF_Param_POINT:
      // An absolute position; the default is a fraction of the frame, y up
      // from the bottom as OFX coordinates run. Hosts that draw handles draw one.
      SetString(p, kOfxParamPropDoubleType, kOfxParamDoubleTypeXYAbsolute);
      MaySetString(p, kOfxParamPropDefaultCoordinateSystem, kOfxParamCoordinatesNormalised);
      MaySetInt(p, kOfxParamPropUseHostOverlayHandle, 1);
      SetDouble(p, kOfxParamPropDefault, Decimal(d.u.td.x_dephault) / 100.0, 0);
      SetDouble(p, kOfxParamPropDefault, 1.0 - Decimal(d.u.td.y_dephault) / 100.0, 1);
      SetRange(p, kOfxParamPropMin, -kPointLimit, -kPointLimit);
      SetRange(p, kOfxParamPropMax, kPointLimit, kPointLimit);
      SetRange(p, kOfxParamPropDisplayMin, 0, 0);
      SetRange(p, kOfxParamPropDisplayMax, kFrameWidth, kFrameHeight);
      break;
    case PF_Param_COLOR:
      SetDouble(p, kOfxParamPropDefault, d.u.cd.dephault.red / 255.0, 0);
      SetDouble(p, kOfxParamPropDefault, d.u.cd.dephault.green / 255.0, 1);
      SetDouble(p, kOfxParamPropDefault, d.u.cd.dephault.blue / 255.0, 2);
      break;
    case PF_Param_POPUP:
      SetStrings(p, kOfxParamPropChoiceOption, session::ChoicesOf(d));
      SetInt(p, kOfxParamPropDefault, std::max<A_long>(d.u.pd.dephault, 1) - 1);
      MaySetInt(p, kOfxParamPropAnimates, 0);
      break;
    default: break;
  }
}

Reading ReadParam(const Control& c, OfxParamHandle h, double frame, const Frame& where, std::array<double, 3>& v) {
  OfxStatus st = kOfxStatOK;
  switch (c.def.param_type) {
    case PF_Param_FIX_SLIDER:
    case PF_Param_ANGLE:
      st = g.params->paramGetValueAtTime(h, frame, &v[0]);
      break;
    case PF_Param_POINT: {
      // Host units, y up from the bottom, to full-resolution layer pixels from the top.
      double x = 0, y = 0;
      st = g.params->paramGetValueAtTime(h, frame, &x, &y);
      v[0] = (x - where.rod.x1) / where.par / where.ux;
      v[1] = (where.rod.y2 - y) / where.uy;
      break;
    }
    case PF_Param_COLOR: {
      double r = 0, gr = 0, b = 0;
      st = g.params->paramGetValueAtTime(h, frame, &r, &gr, &b);
      v = {r * 255.0, gr * 255.0, b * 255.0};
      break;
    }
    case PF_Param_POPUP: {
      int choice = 0;
      st = g.params->paramGetValueAtTime(h, frame, &choice);
      v[0] = choice + 1.0;
      break;
    }
    default: return Reading::kNoValue;
  }
  return st == kOfxStatOK ? Reading::kValue : Reading::kHostFailed;
}

void PlaceNormalisedDefaults(OfxImageEffectHandle effect, OfxParamSetHandle set) {
  OfxPropertySetHandle props = nullptr;
  Check(g.effect->getPropertySet(effect, &props), "give the effect's properties");
  const double w = GetDouble(props, kOfxImageEffectPropProjectSize, 0, 0), h = GetDouble(props, kOfxImageEffectPropProjectSize, 0, 1);
  const double x0 = GetDouble(props, kOfxImageEffectPropProjectOffset, 0, 0), y0 = GetDouble(props, kOfxImageEffectPropProjectOffset, 0, 1);
  for (const Control& c : Controls()) {
    if (c.def.param_type != PF_Param_POINT) continue;
    OfxParamHandle param = nullptr;
    OfxPropertySetHandle p = nullptr;
    if (g.params->paramGetHandle(set, c.name.c_str(), &param, &p) != kOfxStatOK || !p) continue;
    // The display span is the frame, once the frame is known.
    if (w > 0 && h > 0) {
      g.props->propSetDouble(p, kOfxParamPropDisplayMin, 0, x0), g.props->propSetDouble(p, kOfxParamPropDisplayMin, 1, y0);
      g.props->propSetDouble(p, kOfxParamPropDisplayMax, 0, x0 + w), g.props->propSetDouble(p, kOfxParamPropDisplayMax, 1, y0 + h);
    }
    if (GetString(p, kOfxParamPropDefaultCoordinateSystem) == kOfxParamCoordinatesNormalised || w <= 0 || h <= 0) continue;
    // The default as declared, the fraction of the frame from the bottom left.
    const double dx = Decimal(c.def.u.td.x_dephault) / 100.0, dy = 1.0 - Decimal(c.def.u.td.y_dephault) / 100.0;
    double x = 0, y = 0;
    unsigned int keys = 0;
    if (g.params->paramGetNumKeys(param, &keys) != kOfxStatOK || keys != 0) continue;
    if (g.params->paramGetValue(param, &x, &y) != kOfxStatOK || x != dx || y != dy) continue;
    g.params->paramSetValue(param, x0 + dx * w, y0 + dy * h);
  }
}

void DefineAroundParams(OfxParamSetHandle set, bool mask) {
  const auto define = [set](const char* type, const char* name, const char* label, const char* hint) {
    OfxPropertySetHandle p = nullptr;
    Check(g.params->paramDefine(set, type, name, &p), "define a parameter");
    if (!p) throw Failure{kOfxStatFailed, "the host gave no properties for a parameter"};
    SetString(p, kOfxPropLabel, label);
    MaySetString(p, kOfxParamPropScriptName, name);
    MaySetString(p, kOfxParamPropHint, hint);
    return p;
  };
  const session::HostControl& seed = session::kSeed;
  OfxPropertySetHandle p = define(kOfxParamTypeInteger, kSeedParam, seed.name,
                                  "Another rain with the same settings: each seed has drops of its own; 0 is the "
                                  "rain without a seed");
  SetInt(p, kOfxParamPropDefault, static_cast<int>(seed.dflt));
  SetInt(p, kOfxParamPropMin, static_cast<int>(seed.min));
  SetInt(p, kOfxParamPropMax, static_cast<int>(seed.max));
  SetInt(p, kOfxParamPropDisplayMin, static_cast<int>(seed.min));
  SetInt(p, kOfxParamPropDisplayMax, static_cast<int>(seed.max));
  MaySetInt(p, kOfxParamPropAnimates, 0);  // a seed that changed over time would make the rain jump

  const session::HostControl& mix = session::kMix;
  p = define(kOfxParamTypeDouble, kMixParam, mix.name, "The picture mixed with the rain: 0 the picture, 1 the rain");
  MaySetString(p, kOfxParamPropDoubleType, kOfxParamDoubleTypePlain);
  SetDouble(p, kOfxParamPropDefault, mix.dflt);
  SetDouble(p, kOfxParamPropMin, mix.min);
  SetDouble(p, kOfxParamPropMax, mix.max);
  SetDouble(p, kOfxParamPropDisplayMin, mix.min);
  SetDouble(p, kOfxParamPropDisplayMax, mix.max);
  MaySetInt(p, kOfxParamPropDigits, 2);

  if (!mask) return;
  p = define(kOfxParamTypeBoolean, kMaskInvertParam, kInvertMaskLabel,
             "The rain shows where the Mask is transparent instead of where it is opaque");
  SetInt(p, kOfxParamPropDefault, 0);
  MaySetInt(p, kOfxParamPropAnimates, 0);
}

AroundParams::AroundParams(OfxParamSetHandle set) {
  OfxPropertySetHandle ignored = nullptr;
  Check(g.params->paramGetHandle(set, kSeedParam, &seed_, &ignored), "find a parameter it was given");
  Check(g.params->paramGetHandle(set, kMixParam, &mix_, &ignored), "find a parameter it was given");
  if (g.params->paramGetHandle(set, kMaskInvertParam, &invert_, &ignored) != kOfxStatOK) invert_ = nullptr;  // no mask
}

Around AroundParams::At(double time) const {
  const auto failed = [](const char* label) {
    return Failure{kOfxStatFailed, std::string("the host did not give the value of \"") + label + "\""};
  };
  int seed = 0, invert = 0;
  double mix = 1.0;
  if (g.params->paramGetValueAtTime(seed_, time, &seed) != kOfxStatOK) throw failed(session::kSeed.name);
  if (g.params->paramGetValueAtTime(mix_, time, &mix) != kOfxStatOK) throw failed(session::kMix.name);
  if (invert_ && g.params->paramGetValueAtTime(invert_, time, &invert) != kOfxStatOK) throw failed(kInvertMaskLabel);
  Around a;
  a.seed = static_cast<int>(session::ClampToHostControl(session::kSeed, seed));
  a.mix = session::ClampToHostControl(session::kMix, mix);
  a.invert_mask = invert != 0;
  return a;
}

}  // namespace pluvane::ofx
