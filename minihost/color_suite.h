// Test hooks of the stand-in "PF ColorParamSuite": by default it answers a
// colour control's 8-bit colour divided by 255; tests can give a control a
// finer (or out-of-range) floating-point colour, or make the suite fail.
#pragma once

#include "minihost/host.h"

namespace minihost {

// From now on the suite answers `color` for control `index` (after
// ParamsSetup). The control's 8-bit value is left as it is.
void SetFloatColor(MiniHost& host, int index, PF_PixelFloat color);
// Every later call of the suite returns `err`; PF_Err_NONE restores it.
void SetColorSuiteError(MiniHost& host, PF_Err err);

}  // namespace minihost
