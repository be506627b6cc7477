// The layer bridge: the effect host's worlds in each depth, filled from and
// read into the pixel buffers front ends hold (a file's samples, frei0r's
// packed 8-bit RGBA, a compositor's 16-bit or float image), through the one
// set of value rules in samples.h.
#pragma once

#include <cstddef>
#include <vector>

#include "pf_effect.h"
#include "session/samples.h"

namespace pluvane::session {

// The world format of a render depth.
PF_PixelFormat FormatOf(Depth depth);
// The depth of a world format (8-bit for anything else).
Depth DepthOf(PF_PixelFormat format);

// Host values into a world of the image's depth and size, and back. ReadWorld
// fills `reuse` (a spent buffer, or nothing) with the samples.
void FillWorld(const HostImage& image, PF_EffectWorld* world);
HostImage ReadWorld(const PF_EffectWorld* world, Depth depth, std::vector<float> reuse = {});

// RGBA samples stored row by row: `data` is the top row, `row_bytes` the step
// to the row below (negative for images stored bottom-up).
struct PixelView {
  const void* data = nullptr;
  std::ptrdiff_t row_bytes = 0;
  int width = 0;
  int height = 0;
  SampleType type = SampleType::kUInt8;
};
struct MutablePixelView {
  void* data = nullptr;
  std::ptrdiff_t row_bytes = 0;
  int width = 0;
  int height = 0;
  SampleType type = SampleType::kUInt8;
};

// Stored samples into a world of `depth` (at least the view's size), and a
// world's host values out to stored samples.
void FillWorld(const PixelView& from, Depth depth, PF_EffectWorld* world);
void ReadWorld(const PF_EffectWorld* world, Depth depth, const MutablePixelView& to);

// Packed 8-bit RGBA (frei0r's and most hosts' layout) of the world's size.
inline PixelView PackedRgba8(const void* data, int width, int height) {
  return {data, static_cast<std::ptrdiff_t>(width) * 4, width, height, SampleType::kUInt8};
}
inline MutablePixelView PackedRgba8(void* data, int width, int height) {
  return {data, static_cast<std::ptrdiff_t>(width) * 4, width, height, SampleType::kUInt8};
}

}  // namespace pluvane::session
