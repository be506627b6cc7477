// The images the host hands over and the session's pixel buffers: fetching
// an image and reading its layout, gathering the layer from it as straight
// RGBA, and scattering the rendered layer back (premultiplied again where the
// image is, transparent black outside the layer).
#pragma once

#include <cstddef>

#include "ofx_api/ofx_api.h"
#include "session/layer.h"

namespace pluvane::ofx {

// An image fetched from a clip, released when it goes.
class Image {
 public:
  // Failure when the host gives no image (none() when `optional`), or one
  // the plug-in cannot read.
  Image(OfxImageClipHandle clip, OfxTime time, const char* what, bool optional = false);
  ~Image();
  bool none() const { return props_ == nullptr; }
  Image(const Image&) = delete;
  Image& operator=(const Image&) = delete;

  bool Covers(const OfxRectI& r) const {
    return bounds.x1 <= r.x1 && bounds.y1 <= r.y1 && bounds.x2 >= r.x2 && bounds.y2 >= r.y2;
  }
  char* Pixel(int x, int y) const {
    return data + static_cast<std::ptrdiff_t>(y - bounds.y1) * row_bytes +
           static_cast<std::ptrdiff_t>(x - bounds.x1) * components * sample_size;
  }

  char* data = nullptr;
  std::ptrdiff_t row_bytes = 0;
  OfxRectI bounds{0, 0, 0, 0};
  pluvane::session::SampleType type = pluvane::session::SampleType::kUInt8;
  int sample_size = 1;
  int components = 4;
  bool premultiplied = false;

 private:
  void Describe(const char* what);
  OfxPropertySetHandle props_ = nullptr;
};

// The layer's rectangle of `image` as packed top-down RGBA in `out`: outside
// the image's bounds transparent black, RGB with full alpha, an alpha image
// as grey of its own level; colour straight, or premultiplied when asked
// (as stored when the image stores it so).
void Gather(const Image& image, const OfxRectI& layer, void* out, bool premultiplied = false);

// Packed RGBA of `pixels` pixels of `type`, straight colour made premultiplied.
void Premultiply(void* packed, size_t pixels, pluvane::session::SampleType type);

// The output image's pixels within `window`: inside the layer the rendered
// pixels (from `rendered`, packed top-down, or already in place when null)
// in straight colour, premultiplied when the output is, or already as the
// output stores them (`as_stored`); outside the layer transparent black.
void Scatter(const Image& image, const OfxRectI& layer, const OfxRectI& window, const void* rendered, bool as_stored = false);

}  // namespace pluvane::ofx
