// The effect's controls as OFX parameters: what each kind of control is
// declared as, and how a value the host gives becomes the control's value.
// A new kind of control is one case in DefineParam and one in ReadParam.
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

}  // namespace pluvane::ofx
