// A temporary image buffer from the host's world service, held for the length
// of one render. The buffer is always released with the same "PF World Suite"
// version that allocated it: version 2 for float worlds, version 1 otherwise.
#pragma once

#include "common/fxenv.h"

class FX_NewWorld {
 public:
  explicit FX_NewWorld(Fxenv& env);
  ~FX_NewWorld();  // releases the buffer, ignoring the host's answer
  FX_NewWorld(const FX_NewWorld&) = delete;
  FX_NewWorld& operator=(const FX_NewWorld&) = delete;

  // Replaces any held buffer by one of width × height pixels in `format`
  // (PF_PixelFormat_ARGB32, _ARGB64 or _ARGB128; any other code gives an 8-bit
  // world), with zeroed pixels when `clear` is true. If releasing the old
  // buffer fails, that error is returned and nothing is allocated.
  PF_Err New(int width, int height, int format, bool clear);

  // The held world, or null when none is held (or the host gave no pixels).
  PF_EffectWorld* Layer();

  // Releases the held buffer; 0 when none is held. The buffer is forgotten
  // even when the host reports an error, so it is never released twice.
  PF_Err Dispose();

 private:
  bool allocated;
  Fxenv* env;
  PF_EffectWorld world;
  PF_PixelFormat pixelFormat;  // format of the last successful New
};
