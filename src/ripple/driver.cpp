#include "driver.h"

// Rendering is not built yet: frames are left as the host gave them.
template <typename T>
PF_Err RenderThisSmart(Fxenv&) {
  return PF_Err_NONE;
}

template PF_Err RenderThisSmart<PF_Pixel>(Fxenv&);
template PF_Err RenderThisSmart<PF_Pixel16>(Fxenv&);
template PF_Err RenderThisSmart<PF_PixelFloat>(Fxenv&);
