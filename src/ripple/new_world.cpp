#include "new_world.h"

FX_NewWorld::FX_NewWorld(Fxenv& env_)
    : allocated(false), env(&env_), world{}, pixelFormat(PF_PixelFormat_INVALID) {}

FX_NewWorld::~FX_NewWorld() { (void)Dispose(); }

PF_Err FX_NewWorld::New(int width, int height, int format, bool clear) {
  if (allocated) {
    if (PF_Err err = Dispose()) return err;
  }
  PF_ProgPtr ref = env->inData->effect_ref;
  PF_Err err;
  if (format == PF_PixelFormat_ARGB128) {
    // Float worlds exist only in the second version of the suite.
    err = env->suites.WorldSuite2()->PF_NewWorld(ref, width, height, clear, PF_PixelFormat_ARGB128,
                                                 &world);
  } else {
    PF_NewWorldFlags flags = 0;
    if (format == PF_PixelFormat_ARGB64) flags |= PF_NewWorldFlag_DEEP_PIXELS;
    if (clear) flags |= PF_NewWorldFlag_CLEAR_PIXELS;
    err = env->suites.WorldSuite1()->new_world(ref, width, height, flags, &world);
  }
  if (err == PF_Err_NONE) {
    allocated = true;
    pixelFormat = format;
  } else {
    // Whatever the host left in the record is not ours to use.
    world = PF_EffectWorld{};
  }
  return err;
}

PF_EffectWorld* FX_NewWorld::Layer() {
  return (allocated && world.data) ? &world : nullptr;
}

PF_Err FX_NewWorld::Dispose() {
  if (!allocated) return PF_Err_NONE;
  PF_ProgPtr ref = env->inData->effect_ref;
  const PF_Err err = (pixelFormat == PF_PixelFormat_ARGB128)
                         ? env->suites.WorldSuite2()->PF_DisposeWorld(ref, &world)
                         : env->suites.WorldSuite1()->dispose_world(ref, &world);
  world = PF_EffectWorld{};
  allocated = false;
  return err;
}
