#include "openfx_plugin/image_bridge.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <type_traits>

#include "openfx_plugin/suites.h"

namespace pluvane::ofx {
namespace {

namespace session = pluvane::session;

template <typename T>
constexpr T FullCode() {
  if constexpr (std::is_same_v<T, float>) return 1.0f;
  else return std::numeric_limits<T>::max();
}

// Straight colour from premultiplied, and back, in the samples' own units:
// integer codes rounded to nearest (halves up), floats divided and multiplied.
template <typename T>
T Unpremultiply(T c, T a) {
  if constexpr (std::is_same_v<T, float>) return a != 0.0f ? c / a : 0.0f;
  else {
    if (a == 0) return 0;
    const uint64_t v = (uint64_t{c} * FullCode<T>() * 2 + a) / (uint64_t{a} * 2);
    return static_cast<T>(std::min<uint64_t>(v, FullCode<T>()));
  }
}
template <typename T>
T Premultiply(T c, T a) {
  if constexpr (std::is_same_v<T, float>) return c * a;
  else return static_cast<T>((uint64_t{c} * a * 2 + FullCode<T>()) / (uint64_t{FullCode<T>()} * 2));
}

template <typename T>
void GatherAs(const Image& image, const OfxRectI& layer, T* out, bool premultiplied) {
  for (int y = layer.y2 - 1; y >= layer.y1; --y) {
    for (int x = layer.x1; x < layer.x2; ++x, out += 4) {
      if (x < image.bounds.x1 || x >= image.bounds.x2 || y < image.bounds.y1 || y >= image.bounds.y2) {
        out[0] = out[1] = out[2] = out[3] = T{};
        continue;
      }
      // Copied out: a host's rows may start at any byte (an odd row padding).
      T p[4];
      std::memcpy(p, image.Pixel(x, y), image.components * sizeof(T));
      if (image.components == 1) {
        out[0] = out[1] = out[2] = out[3] = p[0];
        continue;
      }
      const T a = image.components == 4 ? p[3] : FullCode<T>();
      for (int c = 0; c < 3; ++c) {
        if (image.premultiplied == premultiplied) out[c] = p[c];
        else out[c] = premultiplied ? Premultiply(p[c], a) : Unpremultiply(p[c], a);
      }
      out[3] = a;
    }
  }
}

template <typename T>
void PremultiplyAs(T* packed, size_t pixels) {
  for (size_t i = 0; i < pixels; ++i, packed += 4)
    for (int c = 0; c < 3; ++c) packed[c] = Premultiply(packed[c], packed[3]);
}

template <typename T>
void ScatterAs(const Image& image, const OfxRectI& layer, const OfxRectI& window, const T* rendered, bool as_stored) {
  const int lw = layer.x2 - layer.x1;
  const int x1 = std::max(window.x1, image.bounds.x1), x2 = std::min(window.x2, image.bounds.x2);
  const int y1 = std::max(window.y1, image.bounds.y1), y2 = std::min(window.y2, image.bounds.y2);
  for (int y = y1; y < y2; ++y) {
    for (int x = x1; x < x2; ++x) {
      // Through a copy: a host's rows may start at any byte (an odd row padding).
      char* at = image.Pixel(x, y);
      T p[4] = {};
      if (x >= layer.x1 && x < layer.x2 && y >= layer.y1 && y < layer.y2) {
        const std::ptrdiff_t r = (static_cast<std::ptrdiff_t>(layer.y2 - 1 - y) * lw + (x - layer.x1)) * 4;
        const void* from = rendered ? static_cast<const void*>(rendered + r) : at;
        std::memcpy(p, from, sizeof p);
        if (image.premultiplied && !as_stored)
          for (int c = 0; c < 3; ++c) p[c] = Premultiply(p[c], p[3]);
      }
      std::memcpy(at, p, sizeof p);
    }
  }
}

}  // namespace

Image::Image(OfxImageClipHandle clip, OfxTime time, const char* what, bool optional) {
  if (g.effect->clipGetImage(clip, time, nullptr, &props_) != kOfxStatOK || !props_) {
    props_ = nullptr;
    if (optional) return;
    throw Failure{kOfxStatFailed, std::string("the host gave no ") + what + " image"};
  }
  try {
    Describe(what);
  } catch (...) {
    g.effect->clipReleaseImage(props_);
    throw;
  }
}

Image::~Image() {
  if (props_) g.effect->clipReleaseImage(props_);
}

void Image::Describe(const char* what) {
  void* pixels = nullptr;
  int rb = 0;
  if (g.props->propGetPointer(props_, kOfxImagePropData, 0, &pixels) != kOfxStatOK || !pixels ||
      g.props->propGetIntN(props_, kOfxImagePropBounds, 4, &bounds.x1) != kOfxStatOK ||
      g.props->propGetInt(props_, kOfxImagePropRowBytes, 0, &rb) != kOfxStatOK)
    throw Failure{kOfxStatFailed, std::string("the host's ") + what + " image has no pixels"};
  data = static_cast<char*>(pixels);
  row_bytes = rb;
  const std::string depth = GetString(props_, kOfxImageEffectPropPixelDepth);
  if (depth == kOfxBitDepthByte) type = session::SampleType::kUInt8, sample_size = 1;
  else if (depth == kOfxBitDepthShort) type = session::SampleType::kUInt16, sample_size = 2;
  else if (depth == kOfxBitDepthFloat) type = session::SampleType::kFloat, sample_size = 4;
  else throw Failure{kOfxStatErrFormat, std::string("the ") + what + " image's depth \"" + depth + "\" is not byte, short or float"};
  const std::string comps = GetString(props_, kOfxImageEffectPropComponents);
  if (comps == kOfxImageComponentRGBA) components = 4;
  else if (comps == kOfxImageComponentRGB) components = 3;
  else if (comps == kOfxImageComponentAlpha) components = 1;
  else throw Failure{kOfxStatErrFormat, std::string("the ") + what + " image's components \"" + comps + "\" are not RGBA, RGB or Alpha"};
  premultiplied = GetString(props_, kOfxImageEffectPropPreMultiplication) == kOfxImagePreMultiplied;
  const long long w = static_cast<long long>(bounds.x2) - bounds.x1, h = static_cast<long long>(bounds.y2) - bounds.y1;
  if (w < 0 || h < 0 || std::llabs(static_cast<long long>(row_bytes)) < w * components * sample_size)
    throw Failure{kOfxStatErrFormat, std::string("the host's ") + what + " image has rows shorter than its bounds"};
}

void Gather(const Image& image, const OfxRectI& layer, void* out, bool premultiplied) {
  switch (image.type) {
    case session::SampleType::kUInt8: GatherAs(image, layer, static_cast<uint8_t*>(out), premultiplied); break;
    case session::SampleType::kUInt16: GatherAs(image, layer, static_cast<uint16_t*>(out), premultiplied); break;
    default: GatherAs(image, layer, static_cast<float*>(out), premultiplied); break;
  }
}

void Premultiply(void* packed, size_t pixels, session::SampleType type) {
  switch (type) {
    case session::SampleType::kUInt8: PremultiplyAs(static_cast<uint8_t*>(packed), pixels); break;
    case session::SampleType::kUInt16: PremultiplyAs(static_cast<uint16_t*>(packed), pixels); break;
    default: PremultiplyAs(static_cast<float*>(packed), pixels); break;
  }
}

void Scatter(const Image& image, const OfxRectI& layer, const OfxRectI& window, const void* rendered, bool as_stored) {
  switch (image.type) {
    case session::SampleType::kUInt8: ScatterAs(image, layer, window, static_cast<const uint8_t*>(rendered), as_stored); break;
    case session::SampleType::kUInt16: ScatterAs(image, layer, window, static_cast<const uint16_t*>(rendered), as_stored); break;
    default: ScatterAs(image, layer, window, static_cast<const float*>(rendered), as_stored); break;
  }
}

}  // namespace pluvane::ofx
