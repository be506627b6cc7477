// Internal to the stand-in host: the utility callbacks each file serves,
// gathered into one PF_UtilCallbacks table.
#pragma once

#include "minihost/host.h"

namespace minihost {

// The part of `world` inside `area` (the whole world when `area` is null);
// empty when they do not meet.
inline PF_LRect ClipToWorld(const PF_EffectWorld* world, const PF_Rect* area) {
  PF_LRect r{0, 0, world->width, world->height};
  if (area) {
    r.left = area->left > r.left ? area->left : r.left;
    r.top = area->top > r.top ? area->top : r.top;
    r.right = area->right < r.right ? area->right : r.right;
    r.bottom = area->bottom < r.bottom ? area->bottom : r.bottom;
  }
  return r;
}

// The area sample's per-command tables: a fresh set for a command, and
// dropping the tables of a world the command is about to write.
std::shared_ptr<SampleTables> NewSampleTables();
void ForgetSampleTables(CallContext* ctx, const PF_EffectWorld* world);

PF_Err HostCopy(PF_ProgPtr effect_ref, PF_EffectWorld* src, PF_EffectWorld* dst, PF_Rect* src_r,
                PF_Rect* dst_r);
PF_Err HostFill(PF_ProgPtr effect_ref, const PF_Pixel* color, const PF_Rect* dst_rect,
                PF_EffectWorld* world);
// The row suite's runs of area samples (sampling.cpp).
PF_Err SampleRun8(PF_ProgPtr effect_ref, const PF_Fixed* xs, PF_Fixed y, A_long count, const PF_SampPB* params,
                  PF_Pixel* dst, A_long* failed_index);
PF_Err SampleRun16(PF_ProgPtr effect_ref, const PF_Fixed* xs, PF_Fixed y, A_long count, const PF_SampPB* params,
                   PF_Pixel16* dst, A_long* failed_index);
PF_Err SampleRunFloat(PF_ProgPtr effect_ref, const PF_Fixed* xs, PF_Fixed y, A_long count, const PF_SampPB* params,
                      PF_PixelFloat* dst, A_long* failed_index);
PF_Err HostIterate8(PF_InData* in_data, A_long progress_base, A_long progress_final,
                    PF_EffectWorld* src, const PF_Rect* area, void* refcon,
                    PF_IteratePixel8Func pix_fn, PF_EffectWorld* dst);
PF_Err HostIterate16(PF_InData* in_data, A_long progress_base, A_long progress_final,
                     PF_EffectWorld* src, const PF_Rect* area, void* refcon,
                     PF_IteratePixel16Func pix_fn, PF_EffectWorld* dst);

}  // namespace minihost
