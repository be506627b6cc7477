// The host's three pixel depths and the conversions between them and the
// working colour. One algorithm serves all depths; what differs per depth is
// the small set of constants in PixelTraits.
//
// Integer depths are entered by multiplying by the reciprocal of the full
// scale and left by multiplying by the full scale, clamping and truncating
// (never rounding). The float depth is neither scaled nor clamped.
#pragma once

#include <cstdint>

#include "common/fx_types.h"
#include "pf_effect.h"

template <class T>
struct PixelTraits;

// The integer depths: entered by multiplying by 1 / full scale (the double
// nearest it, applied by multiplication), left by clamping and truncating.
template <class C, C kFull>
struct IntegerPixelTraits {
  using Channel = C;
  static constexpr bool kClamped = true;
  static constexpr double kFullScale = kFull;
  static constexpr double kLoad = 1.0 / kFullScale;
  static constexpr Channel kMax = kFull;
};

template <>
struct PixelTraits<PF_Pixel> : IntegerPixelTraits<A_u_char, 255> {};
// Full scale is 32768, not 65535.
template <>
struct PixelTraits<PF_Pixel16> : IntegerPixelTraits<A_u_short, 32768> {};
static_assert(PixelTraits<PF_Pixel>::kLoad == 0.00392156862745098);
static_assert(PixelTraits<PF_Pixel16>::kLoad == 3.0517578125e-05);

template <>
struct PixelTraits<PF_PixelFloat> {
  using Channel = float;
  static constexpr bool kClamped = false;
  static constexpr double kLoad = 1.0;
  static constexpr double kFullScale = 1.0;
};

// One channel of depth T from a working value v (double, or float where the
// conversion is done in single precision): w = v × full scale; not greater
// than 0 (NaN included) gives 0, at least the full scale gives the full
// scale, anything between is truncated toward zero. Float passes through.
template <class T, class Real>
inline typename PixelTraits<T>::Channel StoreChannel(Real v) {
  using Traits = PixelTraits<T>;
  if constexpr (Traits::kClamped) {
    const Real w = v * static_cast<Real>(Traits::kFullScale);
    if (!(w > 0)) return 0;
    if (w >= static_cast<Real>(Traits::kFullScale)) return Traits::kMax;
    return static_cast<typename Traits::Channel>(w);
  } else {
    return static_cast<typename Traits::Channel>(v);
  }
}

// Host pixel to working colour, each of red, green and blue multiplied by
// (load factor × scale). A scale other than 1 folds an intensity into the
// colour. Alpha is not converted (left at 0): no caller reads it.
template <class T>
inline FX_Double_Pixel NormalizePixel(const T& pixel, double scale) {
  const double f = PixelTraits<T>::kLoad * scale;
  FX_Double_Pixel out;
  out.alpha = 0.0;
  out.red = static_cast<double>(pixel.red) * f;
  out.green = static_cast<double>(pixel.green) * f;
  out.blue = static_cast<double>(pixel.blue) * f;
  return out;
}

// Working colour into a host pixel: red, green and blue by the depth's store
// rule; the pixel's alpha is left as it was.
template <class T>
inline void DenormalizePixel(const FX_Double_Pixel& value, T& pixel) {
  pixel.red = StoreChannel<T>(value.red);
  pixel.green = StoreChannel<T>(value.green);
  pixel.blue = StoreChannel<T>(value.blue);
}

// Widening of an 8-bit pixel into a deeper integer depth, all four channels.
// Only the 16-bit form exists.
template <class T>
void AdaptDepth(PF_Pixel in, T& out) = delete;

// c × 32768 / 255 rounded to nearest in integer arithmetic: 0 → 0, 1 → 129,
// 128 → 16448, 255 → 32768.
template <>
inline void AdaptDepth<PF_Pixel16>(PF_Pixel in, PF_Pixel16& out) {
  const auto widen = [](A_u_char c) {
    constexpr std::uint32_t from = PixelTraits<PF_Pixel>::kMax;
    constexpr std::uint32_t to = PixelTraits<PF_Pixel16>::kMax;
    return static_cast<A_u_short>((c * to + (from + 1) / 2) / from);
  };
  out.alpha = widen(in.alpha);
  out.red = widen(in.red);
  out.green = widen(in.green);
  out.blue = widen(in.blue);
}
