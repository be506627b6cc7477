// The effect's parameter set: the position of every control in the host's
// parameter array, and the answer to the parameter set-up command.
#pragma once

#include "pf_effect.h"

enum ParamIndex {
  kParamInput = 0,
  kParamDripRate = 1,
  kParamLongevity = 2,
  kParamRippling = 3,
  kParamDisplacement = 4,
  kParamRippleHeight = 5,
  kParamSpreading = 6,
  kParamLightGroup = 7,
  kParamUsing = 8,
  kParamLightIntensity = 9,
  kParamLightColor = 10,
  kParamLightType = 11,
  kParamLightHeight = 12,
  kParamLightPosition = 13,
  kParamLightDirection = 14,
  kParamLightGroupEnd = 15,
  kParamShadingGroup = 16,
  kParamAmbient = 17,
  kParamDiffuse = 18,
  kParamSpecular = 19,
  kParamRoughness = 20,
  kParamMetal = 21,
  kParamShadingGroupEnd = 22,
  kParamCount = 23
};

// Popup values (1-based).
enum { kUsingEffectLight = 1, kUsingAELights = 2 };
enum { kLightTypeDistant = 1, kLightTypePoint = 2 };

// Adds the 22 controls; sets out_data->num_params to 23 when all were added.
PF_Err ParamsSetup(PF_InData* in_data, PF_OutData* out_data);
