// The module's one exported function and the answers to the two set-up
// commands.
#pragma once

#include "pf_effect.h"
#include "util/version.h"

#define PLUVANE_EXPORT __attribute__((visibility("default")))

extern "C" PLUVANE_EXPORT PF_Err MainEntry(PF_Cmd cmd, PF_InData* in_data, PF_OutData* out_data,
                                           PF_ParamDef* params[], PF_LayerDef* output,
                                           void* extra);

PF_Err About(PF_InData* in_data, PF_OutData* out_data);
PF_Err GlobalSetup(PF_OutData* out_data);

// The effect's version as the host packs it: 1.6.0, release, build 0.
constexpr A_u_long kEffectVersion =
    PF_VERSION(PLUVANE_VERSION_MAJOR, PLUVANE_VERSION_MINOR, 0, PF_Stage_RELEASE, 0);
