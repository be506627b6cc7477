// The commands that concern rendering: smart pre-render, smart render, the
// classic render, and the dynamic-flags query; and the render for the output's
// pixel depth.
#pragma once

#include "common/fxenv.h"

PF_Err SmartPreRender(PF_InData* in_data, PF_OutData* out_data, PF_ParamDef** params,
                      PF_PreRenderExtra* extra);
PF_Err SmartRender(PF_InData* in_data, PF_OutData* out_data, PF_ParamDef** params,
                   PF_SmartRenderExtra* extra);
PF_Err Render(PF_InData* in_data, PF_OutData* out_data, PF_ParamDef** params,
              PF_LayerDef* output);
PF_Err QueryDynamicFlags(PF_InData* in_data, PF_OutData* out_data, PF_ParamDef** params);

// Runs the render instance that matches the output's pixel format.
PF_Err RenderSmart(Fxenv& env);
