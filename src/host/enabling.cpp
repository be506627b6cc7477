#include "enabling.h"

#include "common/params.h"

namespace {

PF_Err UpdateUI(Fxenv& env, int index, const PF_ParamDef& def) {
  return env.suites.ParamUtilsSuite1()->PF_UpdateParamUI(env.inData->effect_ref, index, &def);
}

}  // namespace

PF_Err FXE_EnableEffectControl(Fxenv& env, int index) {
  PF_ParamDef copy = *env.params[index];  // the host's record stays as it is
  copy.ui_flags &= ~PF_PUI_DISABLED;
  return UpdateUI(env, index, copy);
}

PF_Err FXE_DisableEffectControl(Fxenv& env, int index) {
  PF_ParamDef copy = *env.params[index];
  copy.ui_flags |= PF_PUI_DISABLED;
  switch (copy.param_type) {
    case PF_Param_LAYER:
    case PF_Param_CHECKBOX:
    case PF_Param_COLOR:
    case PF_Param_POINT:
    case PF_Param_POPUP:
    case PF_Param_ARBITRARY_DATA:
    case PF_Param_PATH:
      break;
    default:  // a disabled slider or angle also closes its disclosure triangle
      copy.flags |= PF_ParamFlag_COLLAPSE_TWIRLY;
      break;
  }
  return UpdateUI(env, index, copy);
}

PF_Err UpdateControlStates(PF_InData* in_data, PF_OutData* out_data, PF_ParamDef** params) {
  Fxenv env(in_data, out_data, params, nullptr);
  // Every call re-applies the whole state from the values handed with it;
  // only the last update's result is reported.
  const A_long using_light = params[kParamUsing]->u.pd.value;
  const A_long light_type = params[kParamLightType]->u.pd.value;
  PF_Err err = PF_Err_NONE;
  if (using_light == kUsingEffectLight) {
    for (int i = kParamLightIntensity; i <= kParamLightHeight; ++i) FXE_EnableEffectControl(env, i);
    if (light_type == kLightTypeDistant) {
      FXE_DisableEffectControl(env, kParamLightPosition);
      err = FXE_EnableEffectControl(env, kParamLightDirection);
    } else {
      FXE_EnableEffectControl(env, kParamLightPosition);
      err = FXE_DisableEffectControl(env, kParamLightDirection);
    }
  } else {
    for (int i = kParamLightIntensity; i <= kParamLightDirection; ++i)
      err = FXE_DisableEffectControl(env, i);
  }
  return err;
}
