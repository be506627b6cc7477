#include "session/layer.h"

#include <bit>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "session/error.h"

namespace pluvane::session {
namespace {

template <typename Pixel>
Pixel* WorldRow(PF_EffectWorld* world, int y) {
  return reinterpret_cast<Pixel*>(reinterpret_cast<char*>(world->data) + static_cast<std::ptrdiff_t>(y) * world->rowbytes);
}
template <typename Pixel>
const Pixel* WorldRow(const PF_EffectWorld* world, int y) {
  return reinterpret_cast<const Pixel*>(reinterpret_cast<const char*>(world->data) +
                                        static_cast<std::ptrdiff_t>(y) * world->rowbytes);
}

// The channel type and depth of a world pixel.
template <typename Pixel> struct PixelTraits;
template <> struct PixelTraits<PF_Pixel> {
  using Value = A_u_char;
  static constexpr Depth kDepth = Depth::k8;
};
template <> struct PixelTraits<PF_Pixel16> {
  using Value = A_u_short;
  static constexpr Depth kDepth = Depth::k16;
};
template <> struct PixelTraits<PF_PixelFloat> {
  using Value = float;
  static constexpr Depth kDepth = Depth::k32;
};

template <typename Pixel, typename Value>
void FillFromImage(const HostImage& image, PF_EffectWorld* world) {
  for (int y = 0; y < image.height; ++y) {
    Pixel* row = WorldRow<Pixel>(world, y);
    const float* src = &image.rgba[static_cast<size_t>(y) * image.width * 4];
    for (int x = 0; x < image.width; ++x, src += 4)
      row[x] = Pixel{static_cast<Value>(src[3]), static_cast<Value>(src[0]), static_cast<Value>(src[1]),
                     static_cast<Value>(src[2])};
  }
}

template <typename Pixel>
void ReadToImage(const PF_EffectWorld* world, HostImage& image) {
  for (int y = 0; y < image.height; ++y) {
    const Pixel* row = WorldRow<Pixel>(world, y);
    float* dst = &image.rgba[static_cast<size_t>(y) * image.width * 4];
    for (int x = 0; x < image.width; ++x, dst += 4) {
      dst[0] = static_cast<float>(row[x].red);
      dst[1] = static_cast<float>(row[x].green);
      dst[2] = static_cast<float>(row[x].blue);
      dst[3] = static_cast<float>(row[x].alpha);
    }
  }
}

// 8-bit RGBA samples and a world's 8-bit pixels (alpha, red, green, blue)
// hold the same bytes in another order: on a little-endian machine, a pixel's
// 32-bit word rotated by 8 bits, which the processor does four pixels at a
// time. Rows may start at any byte, so words are copied in and out.
constexpr bool kWordRotation = std::endian::native == std::endian::little;

template <bool kIntoWorld>
void RotateRow(const char* src, char* dst, int width) {
  typedef uint32_t Words4 __attribute__((vector_size(16)));
  const auto rotate = [](auto v) { return kIntoWorld ? (v << 8) | (v >> 24) : (v >> 8) | (v << 24); };
  int x = 0;
  for (; x + 4 <= width; x += 4) {
    Words4 v;
    std::memcpy(&v, src + 4 * x, sizeof v);
    v = rotate(v);
    std::memcpy(dst + 4 * x, &v, sizeof v);
  }
  for (; x < width; ++x) {
    uint32_t v;
    std::memcpy(&v, src + 4 * x, sizeof v);
    v = rotate(v);
    std::memcpy(dst + 4 * x, &v, sizeof v);
  }
}

template <typename Stored, typename Pixel>
void FillFromView(const PixelView& from, SampleType type, PF_EffectWorld* world) {
  using Value = typename PixelTraits<Pixel>::Value;
  constexpr Depth depth = PixelTraits<Pixel>::kDepth;
  // Same layout, same scale: the samples are the host values.
  constexpr bool same = std::is_same_v<Stored, Value> && !std::is_same_v<Value, A_u_short>;
  const auto host = [type](Stored v) {
    if constexpr (same) {
      (void)type;  // the samples pass as they are
      return v;
    } else {
      return static_cast<Value>(StoredToHost(static_cast<float>(v), type, depth));
    }
  };
  if constexpr (same && sizeof(Stored) == 1 && kWordRotation) {
    for (int y = 0; y < from.height; ++y) {
      const char* src = static_cast<const char*>(from.data) + y * from.row_bytes;
      RotateRow<true>(src, reinterpret_cast<char*>(WorldRow<Pixel>(world, y)), from.width);
    }
    return;
  }
  // A host's rows may start at any byte (an odd row padding), so a pixel's
  // samples are copied out rather than read in place.
  for (int y = 0; y < from.height; ++y) {
    const char* src = static_cast<const char*>(from.data) + y * from.row_bytes;
    Pixel* row = WorldRow<Pixel>(world, y);
    for (int x = 0; x < from.width; ++x, src += sizeof(Stored[4])) {
      Stored s[4];
      std::memcpy(s, src, sizeof s);
      row[x] = Pixel{host(s[3]), host(s[0]), host(s[1]), host(s[2])};
    }
  }
}

template <typename Stored, typename Pixel>
void ReadToView(const PF_EffectWorld* world, const MutablePixelView& to, SampleType type) {
  using Value = typename PixelTraits<Pixel>::Value;
  constexpr Depth depth = PixelTraits<Pixel>::kDepth;
  constexpr bool same = std::is_same_v<Stored, Value> && !std::is_same_v<Value, A_u_short>;
  const auto stored = [type](Value v) {
    if constexpr (same) {
      (void)type;  // the samples pass as they are
      return v;
    } else {
      return static_cast<Stored>(HostToStored(static_cast<float>(v), depth, type));
    }
  };
  if constexpr (same && sizeof(Stored) == 1 && kWordRotation) {
    for (int y = 0; y < to.height; ++y) {
      const char* src = reinterpret_cast<const char*>(WorldRow<Pixel>(world, y));
      RotateRow<false>(src, static_cast<char*>(to.data) + y * to.row_bytes, to.width);
    }
    return;
  }
  for (int y = 0; y < to.height; ++y) {
    char* dst = static_cast<char*>(to.data) + y * to.row_bytes;
    const Pixel* row = WorldRow<Pixel>(world, y);
    for (int x = 0; x < to.width; ++x, dst += sizeof(Stored[4])) {
      const Stored s[4] = {stored(row[x].red), stored(row[x].green), stored(row[x].blue), stored(row[x].alpha)};
      std::memcpy(dst, s, sizeof s);
    }
  }
}

template <typename F>
void ForStored(SampleType type, F&& f) {
  switch (type) {
    case SampleType::kUInt8: f(std::uint8_t{}); break;
    case SampleType::kUInt16: f(std::uint16_t{}); break;
    default: f(float{}); break;
  }
}

void CheckSize(const PF_EffectWorld* world, int width, int height) {
  if (!world || !world->data) throw Error("no image buffer was given for the layer");
  if (world->width < width || world->height < height)
    throw Error("an image of " + std::to_string(width) + "x" + std::to_string(height) + " does not fit the layer's " +
                std::to_string(world->width) + "x" + std::to_string(world->height));
}

}  // namespace

Depth DepthOf(PF_PixelFormat format) {
  return format == PF_PixelFormat_ARGB64 ? Depth::k16 : format == PF_PixelFormat_ARGB128 ? Depth::k32 : Depth::k8;
}

PF_PixelFormat FormatOf(Depth depth) {
  switch (depth) {
    case Depth::k8: return PF_PixelFormat_ARGB32;
    case Depth::k16: return PF_PixelFormat_ARGB64;
    default: return PF_PixelFormat_ARGB128;
  }
}

void FillWorld(const HostImage& image, PF_EffectWorld* world) {
  CheckSize(world, image.width, image.height);
  switch (image.depth) {
    case Depth::k8: FillFromImage<PF_Pixel, A_u_char>(image, world); break;
    case Depth::k16: FillFromImage<PF_Pixel16, A_u_short>(image, world); break;
    default: FillFromImage<PF_PixelFloat, float>(image, world); break;
  }
}

HostImage ReadWorld(const PF_EffectWorld* world, Depth depth, std::vector<float> reuse) {
  HostImage image{world->width, world->height, depth, std::move(reuse)};
  image.rgba.resize(static_cast<size_t>(image.width) * image.height * 4);  // every sample is written below
  switch (depth) {
    case Depth::k8: ReadToImage<PF_Pixel>(world, image); break;
    case Depth::k16: ReadToImage<PF_Pixel16>(world, image); break;
    default: ReadToImage<PF_PixelFloat>(world, image); break;
  }
  return image;
}

void FillWorld(const PixelView& from, Depth depth, PF_EffectWorld* world) {
  CheckSize(world, from.width, from.height);
  if (!from.data) throw Error("no pixels were given for the layer");
  ForStored(from.type, [&](auto stored) {
    using Stored = decltype(stored);
    switch (depth) {
      case Depth::k8: FillFromView<Stored, PF_Pixel>(from, from.type, world); break;
      case Depth::k16: FillFromView<Stored, PF_Pixel16>(from, from.type, world); break;
      default: FillFromView<Stored, PF_PixelFloat>(from, from.type, world); break;
    }
  });
}

void ReadWorld(const PF_EffectWorld* world, Depth depth, const MutablePixelView& to) {
  CheckSize(world, to.width, to.height);
  if (!to.data) throw Error("no buffer was given for the rendered frame");
  ForStored(to.type, [&](auto stored) {
    using Stored = decltype(stored);
    switch (depth) {
      case Depth::k8: ReadToView<Stored, PF_Pixel>(world, to, to.type); break;
      case Depth::k16: ReadToView<Stored, PF_Pixel16>(world, to, to.type); break;
      default: ReadToView<Stored, PF_PixelFloat>(world, to, to.type); break;
    }
  });
}

}  // namespace pluvane::session
