#include "dispatch.h"

// Rendering is not built yet: the commands answer success without drawing.
PF_Err SmartPreRender(PF_InData*, PF_OutData*, PF_ParamDef**, PF_PreRenderExtra*) {
  return PF_Err_NONE;
}
PF_Err SmartRender(PF_InData*, PF_OutData*, PF_ParamDef**, PF_SmartRenderExtra*) {
  return PF_Err_NONE;
}
PF_Err Render(PF_InData*, PF_OutData*, PF_ParamDef**, PF_LayerDef*) { return PF_Err_NONE; }
PF_Err QueryDynamicFlags(PF_InData*, PF_OutData*, PF_ParamDef**) { return PF_Err_NONE; }
PF_Err RenderSmart(Fxenv&) { return PF_Err_NONE; }
