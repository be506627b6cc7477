// Pixel values: the one place where samples as a file or a host's buffer
// stores them become the effect host's values of a render depth, and back.
// These are fixed rules, so the same picture always gives the same frame,
// whichever front end hands it over:
//   8-bit host values run 0..255, 16-bit host values 0..32768 (not 65535),
//   float host values are 0..1 nominally and not clamped.
// The rules are inline so that whole frames convert without a call per sample.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

namespace pluvane::session {

// How a buffer (a file, a host's image) stores its samples: integer codes
// 0..255 or 0..65535, or floats.
enum class SampleType { kUInt8, kUInt16, kFloat };
// The render depth: the effect host's pixel format.
enum class Depth { k8 = 8, k16 = 16, k32 = 32 };

// A layer in host values of one depth, RGBA interleaved, top row first.
struct HostImage {
  int width = 0;
  int height = 0;
  Depth depth = Depth::k8;
  std::vector<float> rgba;
};

namespace samples {

// Integer rounding of num / den to nearest, halves up (num, den > 0).
inline uint32_t RoundDiv(uint64_t num, uint64_t den) { return static_cast<uint32_t>((2 * num + den) / (2 * den)); }

inline uint32_t AsCode(float v, uint32_t max) {
  if (!(v > 0.0f)) return 0;
  return std::min(static_cast<uint32_t>(v), max);
}

// A float clamped to 0..1 and scaled to `full`, rounded to nearest. NaN reads as 0.
inline float ClampRound(float v, double full) {
  if (!(v > 0.0f)) return 0.0f;
  if (v >= 1.0f) return static_cast<float>(full);
  return static_cast<float>(std::floor(static_cast<double>(v) * full + 0.5));
}

// The largest integer code of a sample type or host depth; 0 for float.
inline uint32_t FullScale(SampleType type) {
  return type == SampleType::kUInt8 ? 255u : type == SampleType::kUInt16 ? 65535u : 0u;
}
inline uint32_t FullScale(Depth depth) { return depth == Depth::k8 ? 255u : depth == Depth::k16 ? 32768u : 0u; }

// Float samples into a float render keep their values, HDR ones included, but
// not NaN and infinities: one such sample would spread over its neighbours
// through the displacement's area sums. NaN reads as 0, and an infinity as the
// largest finite half-float value, +-65504, as bright as an EXR file can say.
inline float Finite(float v) {
  if (std::isnan(v)) return 0.0f;
  if (std::isinf(v)) return v > 0 ? 65504.0f : -65504.0f;
  return v;
}

// A sample on the scale 0..from onto 0..to (0 meaning float, 0..1): integer
// codes by rounding to nearest, floats clamped to 0..1 before they become codes.
inline float Rescale(float v, uint32_t from, uint32_t to) {
  if (from == 0) return to == 0 ? v : ClampRound(v, to);
  const uint32_t c = AsCode(v, from);
  if (to == 0) return static_cast<float>(c) / static_cast<float>(from);
  if (to == from) return static_cast<float>(c);  // what the rounded division gives, without dividing
  return static_cast<float>(RoundDiv(uint64_t{c} * to, from));
}

}  // namespace samples

// One stored sample to a host value of `to`:
//   8-bit, 8-bit depth: as it is;  16-bit, 16-bit depth: round(v × 32768 / 65535);
//   8-bit, 16-bit depth: (v × 32768 + 128) / 255 in integers;
//   16-bit, 8-bit depth: round(v × 255 / 65535);  integer, float depth: v / 255, v / 65535;
//   float, integer depth: clamped to 0..1, then round(v × 255) or round(v × 32768);
//   float, float depth: as it is, NaN and infinities made finite.
inline float StoredToHost(float v, SampleType from, Depth to) {
  // 8-bit samples at 16-bit depth widen as the module itself widens 8-bit
  // colours: (c × 32768 + 128) / 255, which is not always round-to-nearest.
  if (from == SampleType::kUInt8 && to == Depth::k16)
    return static_cast<float>((samples::AsCode(v, 255) * 32768u + 128u) / 255u);
  if (from == SampleType::kFloat && to == Depth::k32) return samples::Finite(v);
  return samples::Rescale(v, samples::FullScale(from), samples::FullScale(to));
}

// One host value of `from` to a stored sample of `to`:
//   8-bit to 8-bit as it is;  16-bit host to 16-bit: round(v × 65535 / 32768);
//   float to an integer type: clamped to 0..1, then round(v × 255) or round(v × 65535);
//   float to float as it is.
inline float HostToStored(float v, Depth from, SampleType to) {
  return samples::Rescale(v, samples::FullScale(from), samples::FullScale(to));
}

// The depth a buffer renders at unless told otherwise: 8-bit 8, 16-bit 16, float 32.
inline Depth NaturalDepth(SampleType type) {
  return type == SampleType::kUInt8 ? Depth::k8 : type == SampleType::kUInt16 ? Depth::k16 : Depth::k32;
}

}  // namespace pluvane::session
