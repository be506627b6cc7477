// The render driver: one frame of the effect into the output world, for one
// pixel type.
#pragma once

#include "host/fxenv.h"

template <typename T>
PF_Err RenderThisSmart(Fxenv& env);

extern template PF_Err RenderThisSmart<PF_Pixel>(Fxenv&);
extern template PF_Err RenderThisSmart<PF_Pixel16>(Fxenv&);
extern template PF_Err RenderThisSmart<PF_PixelFloat>(Fxenv&);
