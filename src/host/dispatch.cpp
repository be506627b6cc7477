#include "dispatch.h"

#include "common/params.h"
#include "host/driver.h"
#include "common/snapshot.h"

namespace {

bool IsEmpty(const PF_LRect& r) { return r.left >= r.right || r.top >= r.bottom; }

bool PositiveRatio(const PF_RationalScale& r) { return r.num > 0 && r.den > 0; }

template <typename T>
T Clamp(T v, T lo, T hi) {
  return v < lo ? lo : (v > hi ? hi : v);
}

}  // namespace

PF_Err SmartPreRender(PF_InData* in_data, PF_OutData* out_data, PF_ParamDef** params,
                      PF_PreRenderExtra* extra) {
  Fxenv env(in_data, out_data, params, nullptr);

  // The effect always works from the whole input layer: a one-pixel probe
  // tells its full extent, then the real checkout asks for all of it.
  PF_RenderRequest request = extra->input->output_request;
  request.preserve_rgb_of_zero_alpha = false;
  request.rect = PF_LRect{0, 0, 1, 1};
  PF_CheckoutResult probe{};
  if (PF_Err err = extra->cb->checkout_layer(in_data->effect_ref, kParamInput, 9999, &request,
                                             in_data->current_time, in_data->time_step,
                                             in_data->time_scale, &probe))
    return err;
  const PF_LRect extent = probe.max_result_rect;
  request.rect = extent;
  PF_CheckoutResult full{};
  if (PF_Err err = extra->cb->checkout_layer(in_data->effect_ref, kParamInput, 0, &request,
                                             in_data->current_time, in_data->time_step,
                                             in_data->time_scale, &full))
    return err;

  extra->output->max_result_rect = extent;
  const PF_LRect asked = extra->input->output_request.rect;
  if (IsEmpty(extent)) {
    extra->output->result_rect = extent;
  } else {
    extra->output->result_rect = PF_LRect{Clamp(asked.left, extent.left, extent.right),
                                          Clamp(asked.top, extent.top, extent.bottom),
                                          Clamp(asked.right, extent.left, extent.right),
                                          Clamp(asked.bottom, extent.top, extent.bottom)};
  }
  return PF_Err_NONE;
}

PF_Err SmartRender(PF_InData* in_data, PF_OutData* out_data, PF_ParamDef** params,
                   PF_SmartRenderExtra* extra) {
  Fxenv env(in_data, out_data, params, nullptr);
  PF_EffectWorld* input = nullptr;
  PF_EffectWorld* output = nullptr;
  if (PF_Err err = extra->cb->checkout_layer_pixels(in_data->effect_ref, 0, &input)) return err;
  if (PF_Err err = extra->cb->checkout_output(in_data->effect_ref, &output)) return err;
  if (!input || !output) return PF_Err_NONE;

  env.input = input;
  env.smartExtra = extra;
  env.output = output;
  if (IsEmpty(extra->input->output_request.rect))
    return in_data->utils->fill(in_data->effect_ref, nullptr, nullptr, output);
  if (input->width <= 0 || input->height <= 0 || output->width <= 0 || output->height <= 0)
    return PF_Err_NONE;
  return RenderSmart(env);
}

PF_Err Render(PF_InData* in_data, PF_OutData* out_data, PF_ParamDef** params, PF_LayerDef* output) {
  Fxenv env(in_data, out_data, params, output);
  env.input = &params[kParamInput]->u.ld;
  return RenderSmart(env);
}

PF_Err QueryDynamicFlags(PF_InData* in_data, PF_OutData* out_data, PF_ParamDef** params) {
  Fxenv env(in_data, out_data, params, nullptr);
  // A failed checkout reads as 0, which is not "Effect Light": the flag is
  // then set, the safe answer (the host keeps the lights available).
  const int using_light = Get_PopUp(in_data, kParamUsing, in_data->current_time,
                                    in_data->time_step, in_data->time_scale);
  if (using_light == kUsingEffectLight)
    out_data->out_flags2 &= ~PF_OutFlag2_I_USE_3D_LIGHTS;
  else
    out_data->out_flags2 |= PF_OutFlag2_I_USE_3D_LIGHTS;
  return PF_Err_NONE;
}

PF_Err RenderSmart(Fxenv& env) {
  // The host's scales must be positive ratios: a zero or negative downsample
  // or pixel aspect has no meaning, and would make every position the render
  // computes infinite or NaN.
  const PF_InData* in = env.inData;
  if (!PositiveRatio(in->downsample_x) || !PositiveRatio(in->downsample_y) || !PositiveRatio(in->pixel_aspect_ratio))
    return PF_Err_BAD_CALLBACK_PARAM;
  switch (env.PixelFormat()) {
    case PF_PixelFormat_ARGB64:
      return RenderThisSmart<PF_Pixel16>(env);
    case PF_PixelFormat_ARGB32:
      return RenderThisSmart<PF_Pixel>(env);
    case PF_PixelFormat_ARGB128:
      return RenderThisSmart<PF_PixelFloat>(env);
    default:
      return PF_Err_BAD_CALLBACK_PARAM;
  }
}
