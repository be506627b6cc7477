// The effect's controls as OFX parameters: what each kind of control is
// declared as, and how a value the host gives becomes the control's value.
// A new kind of control is one case in DefineParam and one in ReadParam.
// After them the host's own controls (session/around.h): "Seed", "Mix" and
// "Invert Mask" for the optional "Mask" clip.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "ofx_api/ofx_api.h"
#include "pf_effect.h"

namespace pluvane::ofx {

struct Control {
  int index;           // the effect's control index
  PF_ParamDef def;     // as the effect declared it
  std::string name;    // the OFX parameter's name: the label in lower camel case, never changed
  std::string parent;  // the group it sits in ("" at the top)
};

// The effect's controls that become parameters, asked once from the effect itself.
const std::vector<Control>& Controls();

// Declares `c` in the descriptor's parameter set.
void DefineParam(OfxParamSetHandle set, const Control& c);

// Where positions are, in the host's units: the Source clip's region, the
// pixel aspect, and how many host units make one full-resolution canonical
// unit in x and y (1, or the render scale for a host that hands out regions
// in pixels at the render scale).
struct Frame {
  OfxRectD rod{0, 0, 0, 0};
  double par = 1.0;
  double ux = 1.0, uy = 1.0;
};

// `c`'s value at `frame` into `v`, in the control's own units (points in
// full-resolution layer pixels from the top left).
enum class Reading { kValue, kNoValue /* a group */, kHostFailed };
Reading ReadParam(const Control& c, OfxParamHandle h, double frame, const Frame& where, std::array<double, 3>& v);

// An instance's positions whose normalised default the host took as canonical
// (a host without kOfxParamPropDefaultCoordinateSystem) set to the point of
// the project they stand for, when still at that default and not keyed.
void PlaceNormalisedDefaults(OfxImageEffectHandle effect, OfxParamSetHandle set);

// The host's own controls, named as openfx-misc names its Mix and Invert
// Mask, with the session's ranges and defaults; the mask clip's name.
inline constexpr char kSeedParam[] = "seed";
inline constexpr char kMixParam[] = "mix";
inline constexpr char kMaskInvertParam[] = "maskInvert";
inline constexpr char kMaskClip[] = "Mask";
// "Seed" and "Mix"; "Invert Mask" too where there is a Mask clip.
void DefineAroundParams(OfxParamSetHandle set, bool mask);

// Their values at a time, brought within the session's ranges (a host may
// let a value past them).
struct Around {
  int seed = 0;
  double mix = 1.0;
  bool invert_mask = false;
};
class AroundParams {
 public:
  explicit AroundParams(OfxParamSetHandle set);
  Around At(double time) const;

 private:
  OfxParamHandle seed_ = nullptr, mix_ = nullptr, invert_ = nullptr;
};

}  // namespace pluvane::ofx
