// The render driver: one frame of the effect into the output world, for one
// pixel type.
#pragma once

#include "common/fxenv.h"

// Renders with the effect's own light or the composition's lights; a
// Longevity of 0 copies the input. Returns the first host error, or the
// iteration's result.
template <typename T>
PF_Err RenderThisSmart(Fxenv& env);

// Runs the float iteration of "PF iterateFloat Suite" through a suite handler
// of its own.
PF_Err QX_Iterate(PF_InData* in_data, A_long progress_base, A_long progress_final, PF_EffectWorld* src,
                  const PF_Rect* area, void* refcon, PF_IteratePixelFloatFunc pix_fn, PF_EffectWorld* dst);

extern template PF_Err RenderThisSmart<PF_Pixel>(Fxenv&);
extern template PF_Err RenderThisSmart<PF_Pixel16>(Fxenv&);
extern template PF_Err RenderThisSmart<PF_PixelFloat>(Fxenv&);
