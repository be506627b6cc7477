// Filling and comparing host worlds in tests, whatever their depth.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "minihost/host.h"

namespace testutil {

// A pixel as four doubles on the 0..1 scale of its depth (8-bit /255,
// 16-bit /32768, float as stored).
struct Px {
  double a, r, g, b;
};

inline uint8_t* RowOf(const PF_EffectWorld* w, A_long y) {
  return reinterpret_cast<uint8_t*>(w->data) + static_cast<ptrdiff_t>(y) * w->rowbytes;
}

// Stores v (0..1) rounded to the depth's nearest level.
inline void Set(PF_EffectWorld* w, A_long x, A_long y, const Px& v) {
  switch (minihost::MiniHost::WorldFormat(w)) {
    case PF_PixelFormat_ARGB64: {
      auto c = [](double d) { return static_cast<A_u_short>(std::lround(std::clamp(d, 0.0, 1.0) * 32768)); };
      reinterpret_cast<PF_Pixel16*>(RowOf(w, y))[x] = PF_Pixel16{c(v.a), c(v.r), c(v.g), c(v.b)};
      break;
    }
    case PF_PixelFormat_ARGB128:
      reinterpret_cast<PF_PixelFloat*>(RowOf(w, y))[x] =
          PF_PixelFloat{static_cast<float>(v.a), static_cast<float>(v.r), static_cast<float>(v.g), static_cast<float>(v.b)};
      break;
    default: {
      auto c = [](double d) { return static_cast<A_u_char>(std::lround(std::clamp(d, 0.0, 1.0) * 255)); };
      reinterpret_cast<PF_Pixel*>(RowOf(w, y))[x] = PF_Pixel{c(v.a), c(v.r), c(v.g), c(v.b)};
      break;
    }
  }
}

// A test picture: tiles with smooth gradients, partly transparent in one corner.
inline Px Pattern(A_long x, A_long y) {
  const bool tile = ((x / 6) + (y / 6)) % 2 != 0;
  const double a = (x < 4 && y < 4) ? 0.5 : 1.0;
  return {a, tile ? 0.15 + 0.01 * (x % 7) : 0.8, 0.3 + 0.02 * (y % 13), tile ? 0.9 : 0.35 + 0.01 * (x % 11)};
}

inline void FillPattern(PF_EffectWorld* w) {
  for (A_long y = 0; y < w->height; ++y)
    for (A_long x = 0; x < w->width; ++x) Set(w, x, y, Pattern(x + w->origin_x, y + w->origin_y));
}

// Byte-wise equality of the pixels (padding ignored).
inline bool SamePixels(const PF_EffectWorld* a, const PF_EffectWorld* b) {
  if (a->width != b->width || a->height != b->height) return false;
  const size_t bytes = static_cast<size_t>(a->width) * minihost::MiniHost::PixelSize(minihost::MiniHost::WorldFormat(a));
  for (A_long y = 0; y < a->height; ++y)
    if (std::memcmp(RowOf(a, y), RowOf(b, y), bytes) != 0) return false;
  return true;
}

// Fills every byte of the pixels with `byte`: what an unwritten pixel would show.
inline void Scribble(PF_EffectWorld* w, uint8_t byte) {
  for (A_long y = 0; y < w->height; ++y) std::memset(RowOf(w, y), byte, w->rowbytes);
}

}  // namespace testutil
