#include "session/around.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <type_traits>

#include "minihost/host.h"
#include "session/error.h"
#include "session/layer.h"
#include "util/text.h"

namespace pluvane::session {
namespace {

// The host time units each seed has to itself: just under 2^25, and odd.
// Which candidates of a birth frame become drops depends on the low 17 bits
// of its seed alone, so a span that is a multiple of 2^17 would give every
// seed the same drops in other places; an odd span gives each seed its own.
constexpr long long kSeedSpan = 33554393;  // the largest prime below 2^25

std::string NumberText(double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%g", v);
  return buf;
}

// Blends one row of samples (channels interleaved) of type T whose white is `full`.
template <typename T>
void BlendRow(const T* from, T* onto, int width, double mix, const float* matte, double full, bool invert) {
  constexpr bool kFloat = std::is_floating_point_v<T>;
  for (int x = 0; x < width; ++x) {
    double w = mix;
    if (matte) {
      const double m = std::clamp(static_cast<double>(matte[x]) / full, 0.0, 1.0);
      w = mix * (invert ? 1.0 - m : m);
    }
    if (w == 1.0) continue;
    for (int c = 0; c < 4; ++c) {
      const size_t i = static_cast<size_t>(x) * 4 + static_cast<size_t>(c);
      if (w == 0.0) {
        onto[i] = from[i];
        continue;
      }
      const double a = from[i], b = onto[i];
      const double v = a + (b - a) * w;
      if constexpr (kFloat)
        onto[i] = static_cast<T>(v);
      else
        onto[i] = static_cast<T>(std::floor(v + 0.5));  // between two codes of the depth: stays within them
    }
  }
}

template <typename T>
void Blend(const PF_EffectWorld* from, PF_EffectWorld* onto, double mix, const Matte* matte, double full) {
  const int width = std::min(from->width, onto->width), height = std::min(from->height, onto->height);
  for (int y = 0; y < height; ++y) {
    const auto* a = reinterpret_cast<const T*>(static_cast<const char*>(static_cast<const void*>(from->data)) +
                                                static_cast<std::ptrdiff_t>(y) * from->rowbytes);
    auto* b = reinterpret_cast<T*>(static_cast<char*>(static_cast<void*>(onto->data)) +
                                   static_cast<std::ptrdiff_t>(y) * onto->rowbytes);
    const float* m = nullptr;
    int w = width;
    if (matte) {
      if (y >= matte->height) break;
      m = matte->level.data() + static_cast<size_t>(y) * static_cast<size_t>(matte->width);
      w = std::min(w, matte->width);
    }
    BlendRow(a, b, w, mix, m, matte ? matte->full : full, matte && matte->invert);
  }
}

}  // namespace

double CheckHostControl(const HostControl& control, double value, const std::string& origin) {
  const std::string name = text::DoubleQuoted(control.name);
  if (!std::isfinite(value) || value < control.min || value > control.max)
    throw Error(name + " = " + NumberText(value) + " (" + origin + ") is outside its valid range " +
                NumberText(control.min) + " to " + NumberText(control.max) + "; give a value in that range");
  if (control.whole && value != std::floor(value))
    throw Error(name + " = " + NumberText(value) + " (" + origin + ") is not a whole number; give one from " +
                NumberText(control.min) + " to " + NumberText(control.max));
  return value;
}

double ParseHostControl(const HostControl& control, const std::string& text, const std::string& origin) {
  const std::string t = text::Trim(text);
  char* end = nullptr;
  const double v = t.empty() ? 0.0 : std::strtod(t.c_str(), &end);
  if (t.empty() || end != t.c_str() + t.size())
    throw Error(text::DoubleQuoted(control.name) + " = \"" + text + "\" (" + origin + ") is not a number; give one from " +
                NumberText(control.min) + " to " + NumberText(control.max));
  return CheckHostControl(control, v, origin);
}

double ClampToHostControl(const HostControl& control, double value) {
  if (std::isnan(value)) return control.dflt;
  const double v = std::clamp(value, control.min, control.max);
  return control.whole ? std::round(v) : v;
}

long long SeedFrames(const Timebase& time) { return kSeedSpan / time.time_step(); }

long long SeedShift(int seed, const Timebase& time) { return -static_cast<long long>(seed) * SeedFrames(time); }

long long ParseLoop(const std::string& raw, const Timebase& time, const std::string& what) {
  const std::string t = text::Lower(text::Trim(raw));
  const bool seconds = !t.empty() && t.back() == 's';
  const std::string number = !t.empty() && (seconds || t.back() == 'f') ? t.substr(0, t.size() - 1) : t;
  const auto bad = [&](const std::string& why) {
    return Error(what + " \"" + raw + "\" " + why + "; write frames like 48 or seconds like 2s");
  };
  char* end = nullptr;
  const double v = number.empty() ? NAN : std::strtod(number.c_str(), &end);
  if (number.empty() || end != number.c_str() + number.size() || !std::isfinite(v) || v <= 0)
    throw bad("is not a positive duration");
  if (!seconds && v != std::floor(v)) throw bad("is not a whole number of frames");
  const double frames = seconds ? std::round(v * time.rate().value()) : v;
  if (frames < 1) throw bad("is shorter than one frame at " + time.rate().Text() + " fps");
  if (frames > static_cast<double>(time.LastFrame()))
    throw bad("is longer than the host's time range at " + time.rate().Text() + " fps");
  return static_cast<long long>(frames);
}

long long LoopFade(long long period) { return period < 2 ? 0 : std::max(1LL, period / 4); }

Matte MatteOf(const HostImage& image, bool invert, MatteChannel channel) {
  Matte m;
  m.width = image.width;
  m.height = image.height;
  m.invert = invert;
  const uint32_t full = samples::FullScale(image.depth);
  m.full = full ? full : 1.0;
  const size_t pixels = static_cast<size_t>(image.width) * static_cast<size_t>(image.height);
  bool alpha = channel == MatteChannel::kAlpha;
  for (size_t i = 0; channel == MatteChannel::kAuto && i < pixels && !alpha; ++i) alpha = image.rgba[i * 4 + 3] < m.full;
  m.level.resize(pixels);
  for (size_t i = 0; i < pixels; ++i) {
    const float* p = &image.rgba[i * 4];
    if (alpha) {
      m.level[i] = p[3];
    } else if (p[0] == p[1] && p[1] == p[2]) {
      m.level[i] = p[0];  // grey: its own level, exactly
    } else {
      const double luma = 0.2126 * p[0] + 0.7152 * p[1] + 0.0722 * p[2];
      m.level[i] = static_cast<float>(full ? std::floor(luma + 0.5) : luma);
    }
  }
  return m;
}

Matte MatteOf(const PF_EffectWorld* world, Depth depth, bool invert, MatteChannel channel) {
  return MatteOf(ReadWorld(world, depth), invert, channel);
}

void BlendWorlds(const PF_EffectWorld* from, PF_EffectWorld* onto, Depth depth, double mix, const Matte* matte) {
  if (!from || !onto || !from->data || !onto->data) return;
  switch (depth) {
    case Depth::k8: Blend<A_u_char>(from, onto, mix, matte, 255.0); break;
    case Depth::k16: Blend<A_u_short>(from, onto, mix, matte, 32768.0); break;
    case Depth::k32: Blend<float>(from, onto, mix, matte, 1.0); break;
  }
}

}  // namespace pluvane::session
