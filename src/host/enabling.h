// Greys out the light controls that the current "Using" and "Light Type"
// choices leave idle.
#pragma once

#include "common/fxenv.h"

PF_Err FXE_EnableEffectControl(Fxenv& env, int index);
PF_Err FXE_DisableEffectControl(Fxenv& env, int index);

// Handler of the user-changed-parameter and update-parameters-UI commands.
PF_Err UpdateControlStates(PF_InData* in_data, PF_OutData* out_data, PF_ParamDef** params);
