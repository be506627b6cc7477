// Our own declarations of the host's AEGP suites that reach the composition
// around the effect: its layers, the light layers, their transforms and
// stream values.
#pragma once

#include "pf_suites.h"

extern "C" {

typedef struct { A_long value; A_u_long scale; } A_Time;
typedef struct { double mat[4][4]; } A_Matrix4;  // row 3 holds the translation

typedef struct AEGP_LayerOpaque* AEGP_LayerH;
typedef struct AEGP_CompOpaque* AEGP_CompH;

typedef A_long AEGP_ObjectType;
enum { AEGP_ObjectType_AV = 0, AEGP_ObjectType_LIGHT = 1, AEGP_ObjectType_CAMERA = 2 };

typedef A_long AEGP_LightType;
enum {
  AEGP_LightType_PARALLEL = 0,
  AEGP_LightType_SPOT = 1,
  AEGP_LightType_POINT = 2,
  AEGP_LightType_AMBIENT = 3,
};

typedef A_long AEGP_LTimeMode;
enum { AEGP_LTimeMode_LayerTime = 0, AEGP_LTimeMode_CompTime = 1 };

typedef A_long AEGP_LayerStream;
enum {
  AEGP_LayerStream_INTENSITY = 16,
  AEGP_LayerStream_COLOR = 17,
  AEGP_LayerStream_CONE_ANGLE = 18,
  AEGP_LayerStream_CONE_FEATHER = 19,
};

typedef A_long AEGP_StreamType;
enum { AEGP_StreamType_OneD = 4, AEGP_StreamType_COLOR = 5 };

typedef struct { double alphaF, redF, greenF, blueF; } AEGP_ColorVal;
typedef union {
  double one_d;
  AEGP_ColorVal color;
} AEGP_StreamVal;

#define kAEGPPFInterfaceSuite "AEGP PF Interface Suite"
#define kAEGPPFInterfaceSuiteVersion1 1
#define kAEGPLayerSuite "AEGP Layer Suite"
#define kAEGPLayerSuiteVersion5 5
#define kAEGPLightSuite "AEGP Light Suite"
#define kAEGPLightSuiteVersion1 1
#define kAEGPStreamSuite "AEGP Stream Suite"
#define kAEGPStreamSuiteVersion4 4

typedef struct {
  A_Err (*AEGP_GetEffectLayer)(PF_ProgPtr effect_ref, AEGP_LayerH* layerPH);
  A_Err (*AEGP_ConvertEffectToCompTime)(PF_ProgPtr effect_ref, A_long what_time,
                                        A_u_long time_scale, A_Time* comp_timePT);
} AEGP_PFInterfaceSuite1;

typedef struct {
  A_Err (*AEGP_GetCompNumLayers)(AEGP_CompH compH, A_long* num_layersPL);
  A_Err (*AEGP_GetCompLayerByIndex)(AEGP_CompH compH, A_long layer_indexL,
                                    AEGP_LayerH* layerPH);
  A_Err (*AEGP_IsVideoActive)(AEGP_LayerH layerH, AEGP_LTimeMode time_mode,
                              const A_Time* timePT, A_Boolean* is_activePB);
  A_Err (*AEGP_GetLayerObjectType)(AEGP_LayerH layerH, AEGP_ObjectType* object_type);
  A_Err (*AEGP_GetLayerToWorldXformFromView)(AEGP_LayerH layerH, const A_Time* view_timeP,
                                             const A_Time* comp_timeP, A_Matrix4* transform);
  A_Err (*AEGP_GetLayerParentComp)(AEGP_LayerH layerH, AEGP_CompH* compPH);
} AEGP_LayerSuite5;

typedef struct {
  A_Err (*AEGP_GetLightType)(AEGP_LayerH light_layerH, AEGP_LightType* light_type);
} AEGP_LightSuite1;

typedef struct {
  A_Err (*AEGP_GetLayerStreamValue)(AEGP_LayerH layerH, AEGP_LayerStream which_stream,
                                    AEGP_LTimeMode time_mode, const A_Time* timePT,
                                    A_Boolean pre_expressionB, AEGP_StreamVal* stream_valP,
                                    AEGP_StreamType* strm_typeP0);
} AEGP_StreamSuite4;

}  // extern "C"
