// A colour control read in the render's pixel depth. Deep renders ask the
// host for the colour in floating point when the host is new enough to offer
// it, so a colour finer than 8 bits per channel keeps its precision; other
// hosts, and a failing host call, give the widened 8-bit colour.
#pragma once

#include "common/fxenv.h"
#include "pf_effect.h"

// The colour of control `index` at (time, time_step, time_scale), as a pixel
// of type T. Instances exist for PF_Pixel, PF_Pixel16 and PF_PixelFloat.
// A host that passes the version test but lacks the colour suite makes the
// suite cache throw its missing-suite error.
template <class T>
T GetColorControl(Fxenv& env, A_long index, A_long time, A_long time_step, A_u_long time_scale);

extern template PF_Pixel GetColorControl<PF_Pixel>(Fxenv&, A_long, A_long, A_long, A_u_long);
extern template PF_Pixel16 GetColorControl<PF_Pixel16>(Fxenv&, A_long, A_long, A_long, A_u_long);
extern template PF_PixelFloat GetColorControl<PF_PixelFloat>(Fxenv&, A_long, A_long, A_long,
                                                             A_u_long);
