// Reading the composition's lights into the frame's shading model.
#pragma once

#include "aegp_suites.h"
#include "common/fxenv.h"
#include "light/light_shade.h"

// Walks the layers of the composition holding the effect's layer and adds
// every light layer whose video is active at `time` to `shade`: ambient lights
// through AddAmbientLight, parallel, point and spot lights through
// AddLightSource. True when the composition supplied at least one light
// (black lights count); false otherwise and on any host error, in which case
// the lights added before the error stay in `shade`. A suite the host cannot
// supply throws the suite cache's missing-suite error.
bool GetAllLights(Fxenv& env, LightShade& shade, A_Time time);
