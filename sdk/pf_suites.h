// Our own declarations of the host's suite mechanism (SPBasicSuite), the PF
// suites the effect acquires by name and version, the sampling block, and the
// smart pre-render / smart render records.
#pragma once

#include "pf_effect.h"

extern "C" {

typedef A_long SPErr;
enum { kSPNoError = 0, kSPSuiteNotFoundError = 0x53214e46 /* "S!NF" */ };

// Hands out suites (tables of functions) by name and version.
typedef struct SPBasicSuite {
  SPErr (*AcquireSuite)(const char* name, A_long version, const void** suite);
  SPErr (*ReleaseSuite)(const char* name, A_long version);
} SPBasicSuite;

// ---- suite names ----------------------------------------------------------
#define kPFParamUtilsSuite "PF Param Utils Suite"
#define kPFParamUtilsSuiteVersion1 1
#define kPFColorParamSuite "PF ColorParamSuite"
#define kPFColorParamSuiteVersion1 1
#define kPFSampling8Suite "PF Sampling8 Suite"
#define kPFSampling16Suite "PF Sampling16 Suite"
#define kPFSamplingFloatSuite "PF SamplingFloat Suite"
#define kPFSamplingSuiteVersion1 1
#define kPFIterateFloatSuite "PF iterateFloat Suite"
#define kPFIterateFloatSuiteVersion1 1
#define kPFIterateGenericSuite "PF Iterate Generic Suite"
#define kPFIterateGenericSuiteVersion1 1
#define kPluvaneIterateRowsSuite "Pluvane Iterate Rows Suite"
#define kPluvaneIterateRowsSuiteVersion1 1
#define kPFWorldSuite "PF World Suite"
#define kPFWorldSuiteVersion1 1
#define kPFWorldSuiteVersion2 2

// ---- PF Param Utils Suite 1 ---------------------------------------------------
typedef struct {
  PF_Err (*PF_UpdateParamUI)(PF_ProgPtr effect_ref, PF_ParamIndex param_index,
                             const PF_ParamDef* def);
} PF_ParamUtilsSuite1;

// ---- PF ColorParamSuite 1 -----------------------------------------------------------
typedef struct {
  PF_Err (*PF_GetFloatingPointColorFromColorDef)(PF_ProgPtr effect_ref,
                                                 const PF_ParamDef* color_def,
                                                 PF_PixelFloat* fp_color);
} PF_ColorParamSuite1;

// ---- PF World Suite 1 and 2 ---------------------------------------------------------
typedef struct {
  PF_Err (*new_world)(PF_ProgPtr effect_ref, A_long width, A_long height,
                      PF_NewWorldFlags flags, PF_EffectWorld* world);
  PF_Err (*dispose_world)(PF_ProgPtr effect_ref, PF_EffectWorld* world);
} PF_WorldSuite1;

typedef struct {
  PF_Err (*PF_NewWorld)(PF_ProgPtr effect_ref, A_long width, A_long height, PF_Boolean clear_pix,
                        PF_PixelFormat pixel_format, PF_EffectWorld* world);
  PF_Err (*PF_DisposeWorld)(PF_ProgPtr effect_ref, PF_EffectWorld* world);
  PF_Err (*PF_GetPixelFormat)(const PF_EffectWorld* world, PF_PixelFormat* pixel_format);
} PF_WorldSuite2;

// ---- sampling -------------------------------------------------------------------
// One sample request: a box of half-widths x_radius, y_radius (16.16 buffer
// pixels) around the sample position, read from `src`.
typedef struct {
  PF_Fixed x_radius;
  PF_Fixed y_radius;
  PF_Fixed area;
  PF_EffectWorld* src;
  A_long samp_behave;
  A_long allow_asynch;
  A_long motion_blur;
  A_long comp_mode;
  PF_Pixel* mask0;
} PF_SampPB;

typedef struct {
  PF_Err (*nn_sample)(PF_ProgPtr effect_ref, PF_Fixed x, PF_Fixed y, const PF_SampPB* params,
                      PF_Pixel* dst_pixel);
  PF_Err (*subpixel_sample)(PF_ProgPtr effect_ref, PF_Fixed x, PF_Fixed y,
                            const PF_SampPB* params, PF_Pixel* dst_pixel);
  PF_Err (*area_sample)(PF_ProgPtr effect_ref, PF_Fixed x, PF_Fixed y, const PF_SampPB* params,
                        PF_Pixel* dst_pixel);
} PF_Sampling8Suite1;

typedef struct {
  PF_Err (*nn_sample16)(PF_ProgPtr effect_ref, PF_Fixed x, PF_Fixed y, const PF_SampPB* params,
                        PF_Pixel16* dst_pixel);
  PF_Err (*subpixel_sample16)(PF_ProgPtr effect_ref, PF_Fixed x, PF_Fixed y,
                              const PF_SampPB* params, PF_Pixel16* dst_pixel);
  PF_Err (*area_sample16)(PF_ProgPtr effect_ref, PF_Fixed x, PF_Fixed y,
                          const PF_SampPB* params, PF_Pixel16* dst_pixel);
} PF_Sampling16Suite1;

typedef struct {
  PF_Err (*nn_sample_float)(PF_ProgPtr effect_ref, PF_Fixed x, PF_Fixed y,
                            const PF_SampPB* params, PF_PixelFloat* dst_pixel);
  PF_Err (*subpixel_sample_float)(PF_ProgPtr effect_ref, PF_Fixed x, PF_Fixed y,
                                  const PF_SampPB* params, PF_PixelFloat* dst_pixel);
  PF_Err (*area_sample_float)(PF_ProgPtr effect_ref, PF_Fixed x, PF_Fixed y,
                              const PF_SampPB* params, PF_PixelFloat* dst_pixel);
} PF_SamplingFloatSuite1;

// ---- PF iterateFloat Suite 1 ------------------------------------------------------
typedef struct {
  PF_Err (*iterate)(PF_InData* in_data, A_long progress_base, A_long progress_final,
                    PF_EffectWorld* src, const PF_Rect* area, void* refcon,
                    PF_IteratePixelFloatFunc pix_fn, PF_EffectWorld* dst);
} PF_iterateFloatSuite1;

// ---- PF Iterate Generic Suite 1 --------------------------------------------------------
// Work spread over the host's threads: fn runs once for every i in
// 0..iterations−1, possibly several at once, in any order; thread_index is a
// small number identifying the thread that runs it (0 is the caller's).
// Returns the error of the lowest failing i, after every i has run.
typedef PF_Err (*PF_IterateGenericFunc)(void* refcon, A_long thread_index, A_long i, A_long iterations);
typedef struct {
  PF_Err (*iterate_generic)(PF_ProgPtr effect_ref, A_long iterations, void* refcon, PF_IterateGenericFunc fn);
} PF_IterateGenericSuite1;

// ---- Pluvane Iterate Rows Suite 1 --------------------------------------------------------
// Our own host's suite, offered by no other host: the pixel pass a row at a
// time, so that an effect can work on many pixels per call. fn runs once for
// every row y of `area` (the whole of dst when null) with the row's columns
// x_begin..x_end−1; `row` points at dst's pixel (0, y), in dst's own pixel
// type. Rows may run at the same time on the host's threads, in any
// order. Returns the error of the first failing row in row order, or
// PF_Interrupt_CANCEL when the user cancelled.
//
// The area_sample_run functions sample `count` positions of one row with one
// request: dst[i] gets what the depth's area_sample gives for (xs[i], y) and
// `params`. They return the error of the first failing sample and put its
// index in *failed_index (count when none failed); every sample is made.
typedef PF_Err (*PF_IterateRowFunc)(void* refcon, A_long y, A_long x_begin, A_long x_end, void* row);
typedef struct {
  PF_Err (*iterate_rows)(PF_InData* in_data, const PF_Rect* area, void* refcon, PF_IterateRowFunc fn,
                         PF_EffectWorld* dst);
  PF_Err (*area_sample_run)(PF_ProgPtr effect_ref, const PF_Fixed* xs, PF_Fixed y, A_long count,
                            const PF_SampPB* params, PF_Pixel* dst, A_long* failed_index);
  PF_Err (*area_sample_run16)(PF_ProgPtr effect_ref, const PF_Fixed* xs, PF_Fixed y, A_long count,
                              const PF_SampPB* params, PF_Pixel16* dst, A_long* failed_index);
  PF_Err (*area_sample_run_float)(PF_ProgPtr effect_ref, const PF_Fixed* xs, PF_Fixed y, A_long count,
                                  const PF_SampPB* params, PF_PixelFloat* dst, A_long* failed_index);
} PF_IterateRowsSuite1;

// ---- smart pre-render and smart render ------------------------------------------------
typedef struct {
  PF_LRect rect;  // empty when left >= right or top >= bottom
  A_long field;
  A_long channel_mask;
  PF_Boolean preserve_rgb_of_zero_alpha;
} PF_RenderRequest;

typedef struct {
  PF_LRect result_rect;
  PF_LRect max_result_rect;  // the largest area the checked-out input can supply
} PF_CheckoutResult;

typedef struct {
  PF_RenderRequest output_request;
  A_short bitdepth;
} PF_PreRenderInput;

typedef struct {
  PF_LRect result_rect;
  PF_LRect max_result_rect;
  PF_Boolean solid;
  A_long flags;
  void* pre_render_data;
} PF_PreRenderOutput;

typedef struct {
  PF_Err (*checkout_layer)(PF_ProgPtr effect_ref, PF_ParamIndex index, A_long checkout_id,
                           const PF_RenderRequest* req, A_long what_time, A_long time_step,
                           A_u_long time_scale, PF_CheckoutResult* checkout_result);
} PF_PreRenderCallbacks;

typedef struct {
  PF_PreRenderInput* input;
  PF_PreRenderOutput* output;
  PF_PreRenderCallbacks* cb;
} PF_PreRenderExtra;

typedef struct {
  PF_RenderRequest output_request;
  A_short bitdepth;
} PF_SmartRenderInput;

typedef struct {
  PF_Err (*checkout_layer_pixels)(PF_ProgPtr effect_ref, A_long checkout_id,
                                  PF_EffectWorld** pixels);
  PF_Err (*checkin_layer_pixels)(PF_ProgPtr effect_ref, A_long checkout_id);
  PF_Err (*checkout_output)(PF_ProgPtr effect_ref, PF_EffectWorld** output);
} PF_SmartRenderCallbacks;

typedef struct {
  PF_SmartRenderInput* input;
  PF_SmartRenderCallbacks* cb;
} PF_SmartRenderExtra;

}  // extern "C"
