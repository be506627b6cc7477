// What the OpenFX tests share: a loaded plug-in in our test host, a frame
// rendered through it as hosts render, and the same frame rendered by a
// session as `pluvane render` renders it.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "host/entry.h"
#include "tests/support/ofx_host.h"
#include "session/controls.h"
#include "session/session.h"

namespace ofxfixture {

namespace session = pluvane::session;
using ofxtest::Effect;
using ofxtest::Host;
using ofxtest::Layout;
using ofxtest::Param;
using ofxtest::Picture;
using ofxtest::PropertySet;

// ---- a loaded plug-in --------------------------------------------------------------------------

struct Loaded {
  Host host{PLUVANE_OFX_PATH};
  Loaded() {
    EXPECT_TRUE(host.loaded()) << "cannot load " << PLUVANE_OFX_PATH;
    if (!host.loaded()) return;
    EXPECT_EQ(host.Load(), kOfxStatOK);
    EXPECT_EQ(host.Describe(), kOfxStatOK);
    EXPECT_EQ(host.DescribeInContext(kOfxImageEffectContextFilter), kOfxStatOK);
    EXPECT_EQ(host.DescribeInContext(kOfxImageEffectContextGeneral), kOfxStatOK);
  }
};

inline Param* ByLabel(Effect& e, const std::string& label) {
  for (auto& p : e.params.params)
    if (p->props.String(kOfxPropLabel) == label) return p.get();
  ADD_FAILURE() << "no parameter labelled " << label;
  static Param none;
  return &none;
}

// ---- what a frame is made of -------------------------------------------------------------------

struct Shot {
  Layout layout;
  session::Rational rate{25, 1};  // what the host's double rate must become
  int scale_den = 1;               // render scale 1 / scale_den
  bool top_down = false;
  bool transparent = false;        // alpha from 0 to full across the picture
  double time = 4;
  std::string context = kOfxImageEffectContextFilter;
  std::optional<long long> session_frame;  // the frame the session renders, when not the nearest to `time`
  // A picture connected to the Mask clip (general context): packed top-down
  // RGBA floats of the frame's size, handed over as `mask_components`.
  std::vector<float> mask;
  std::string mask_components = kOfxImageComponentAlpha;
  bool mask_without_image = false;  // the Mask clip connected, with no image to give
  // The same control values given to the host's parameters and to the session.
  std::function<void(Effect&, const Layout&)> host_values;
  std::function<void(session::Session&)> session_values;
};

inline int SampleSize(const std::string& depth) { return depth == kOfxBitDepthByte ? 1 : depth == kOfxBitDepthShort ? 2 : 4; }
inline session::SampleType TypeOf(const std::string& depth) {
  return depth == kOfxBitDepthByte    ? session::SampleType::kUInt8
         : depth == kOfxBitDepthShort ? session::SampleType::kUInt16
                                      : session::SampleType::kFloat;
}

// A picture of w x h, packed top-down RGBA floats: colour ramps and a ring,
// fully opaque or with alpha from 0 to 1 (a quarter fully transparent).
inline std::vector<float> Pattern(int w, int h, bool transparent) {
  std::vector<float> v(static_cast<size_t>(w) * h * 4);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      float* p = &v[(static_cast<size_t>(y) * w + x) * 4];
      const double r = std::hypot(x - w * 0.4, y - h * 0.6);
      p[0] = static_cast<float>(x) / w;
      p[1] = static_cast<float>(y) / h;
      p[2] = std::fmod(r, 9.0) < 3.0 ? 0.9f : 0.2f;
      p[3] = transparent ? std::max(0.0f, static_cast<float>(x) / w * 1.4f - 0.35f) : 1.0f;
      p[3] = std::min(p[3], 1.0f);
    }
  return v;
}

// Floats 0..1 as stored samples of `depth`.
inline std::vector<unsigned char> Encode(const std::vector<float>& v, const std::string& depth) {
  std::vector<unsigned char> out(v.size() * SampleSize(depth));
  for (size_t i = 0; i < v.size(); ++i) {
    if (depth == kOfxBitDepthByte) out[i] = static_cast<unsigned char>(std::lround(v[i] * 255));
    else if (depth == kOfxBitDepthShort) {
      const uint16_t s = static_cast<uint16_t>(std::lround(v[i] * 65535));
      std::memcpy(&out[i * 2], &s, 2);
    } else {
      std::memcpy(&out[i * 4], &v[i], 4);
    }
  }
  return out;
}

// The documented alpha rule in stored units: straight = round(c x full / a)
// (0 where a = 0), premultiplied = round(c x a / full); floats divide and multiply.
template <typename T>
inline void ConvertAlpha(std::vector<unsigned char>& bytes, bool to_straight) {
  T* s = reinterpret_cast<T*>(bytes.data());
  const size_t n = bytes.size() / sizeof(T) / 4;
  for (size_t i = 0; i < n; ++i, s += 4) {
    const T a = s[3];
    for (int c = 0; c < 3; ++c) {
      if constexpr (std::is_same_v<T, float>) s[c] = to_straight ? (a != 0 ? s[c] / a : 0.0f) : s[c] * a;
      else {
        const double full = std::numeric_limits<T>::max();
        s[c] = to_straight ? (a ? static_cast<T>(std::min(full, std::floor(s[c] * full / a + 0.5))) : 0)
                           : static_cast<T>(std::floor(s[c] * static_cast<double>(a) / full + 0.5));
      }
    }
  }
}
inline void ConvertAlpha(std::vector<unsigned char>& bytes, const std::string& depth, bool to_straight) {
  if (depth == kOfxBitDepthByte) ConvertAlpha<uint8_t>(bytes, to_straight);
  else if (depth == kOfxBitDepthShort) ConvertAlpha<uint16_t>(bytes, to_straight);
  else ConvertAlpha<float>(bytes, to_straight);
}

// RGBA without its alpha.
inline std::vector<unsigned char> DropAlpha(const std::vector<unsigned char>& rgba, int sample) {
  std::vector<unsigned char> out;
  for (size_t i = 0; i < rgba.size(); i += 4 * sample) out.insert(out.end(), rgba.begin() + i, rgba.begin() + i + 3 * sample);
  return out;
}

struct Rendered {
  OfxStatus status = kOfxStatFailed;
  std::vector<unsigned char> pixels;  // packed top-down RGBA of the output's bounds
};

// The picture's size at the render scale, and where it sits.
inline OfxRectI Bounds(const Shot& s) {
  const Layout& l = s.layout;
  const int x0 = static_cast<int>(std::lround(l.origin.x / s.scale_den / l.par));
  const int y0 = static_cast<int>(std::lround(l.origin.y / s.scale_den));
  return {x0, y0, x0 + l.width / s.scale_den, y0 + l.height / s.scale_den};
}

inline OfxStatus RenderAction(Host& host, Effect* inst, const Shot& s, const OfxRectI& window) {
  PropertySet in;
  in.Doubles(kOfxPropTime, {s.time});
  in.Doubles(kOfxImageEffectPropRenderScale, {1.0 / s.scale_den, 1.0 / s.scale_den});
  in.Ints(kOfxImageEffectPropRenderWindow, {window.x1, window.y1, window.x2, window.y2});
  in.Strings("OfxImageEffectPropFieldToRender", {"OfxImageFieldNone"});
  return host.Call(kOfxImageEffectActionRender, inst->handle(), &in);
}

// A frame through the plug-in: the host's sequence of actions around one render.
inline Rendered ThroughPlugin(Host& host, const Shot& s) {
  Rendered r;
  Layout l = s.layout;
  OfxStatus st = kOfxStatOK;
  Effect* inst = host.CreateInstance(s.context, l, &st);
  EXPECT_EQ(st, kOfxStatOK);
  if (!inst) return r;
  if (s.host_values) s.host_values(*inst, l);

  const OfxRectI b = Bounds(s);
  Picture src, dst;
  src.bounds = dst.bounds = b;
  src.depth = dst.depth = l.depth;
  src.components = l.components;
  src.premultiplication = dst.premultiplication = l.premultiplication;
  src.top_down = dst.top_down = s.top_down;
  src.Allocate(), dst.Allocate();
  std::vector<unsigned char> bytes = Encode(Pattern(b.x2 - b.x1, b.y2 - b.y1, s.transparent), l.depth);
  if (l.premultiplication == kOfxImagePreMultiplied) ConvertAlpha(bytes, l.depth, false);
  if (l.components == kOfxImageComponentRGB) bytes = DropAlpha(bytes, SampleSize(l.depth));
  src.Put(bytes);
  inst->clips.at(kOfxImageEffectSimpleSourceClipName)->picture = &src;
  inst->clips.at(kOfxImageEffectOutputClipName)->picture = &dst;
  Picture mask;
  if (s.mask_without_image) inst->clips.at("Mask")->props.Ints(kOfxImageClipPropConnected, {1});
  if (!s.mask.empty()) {
    mask.bounds = b, mask.depth = l.depth, mask.components = s.mask_components, mask.top_down = s.top_down;
    mask.Allocate();
    std::vector<float> samples = s.mask;
    if (s.mask_components == kOfxImageComponentAlpha) {
      samples.clear();
      for (size_t i = 3; i < s.mask.size(); i += 4) samples.push_back(s.mask[i]);
    }
    mask.Put(Encode(samples, l.depth));
    ofxtest::Clip* clip = inst->clips.at("Mask").get();
    clip->picture = &mask;
    clip->props.Strings(kOfxImageEffectPropComponents, {s.mask_components});
    clip->props.Ints(kOfxImageClipPropConnected, {1});
  }

  PropertySet none, prefs;
  EXPECT_EQ(host.Call(kOfxImageEffectActionGetClipPreferences, inst->handle(), &none, &prefs), kOfxStatOK);
  EXPECT_EQ(prefs.String("OfxImageClipPropComponents_Output"), kOfxImageComponentRGBA);
  EXPECT_EQ(prefs.String(kOfxImageEffectPropPreMultiplication), l.premultiplication);

  PropertySet rod_in, rod_out;
  rod_in.Doubles(kOfxPropTime, {s.time});
  rod_in.Doubles(kOfxImageEffectPropRenderScale, {1.0 / s.scale_den, 1.0 / s.scale_den});
  EXPECT_EQ(host.Call(kOfxImageEffectActionGetRegionOfDefinition, inst->handle(), &rod_in, &rod_out), kOfxStatOK);
  const OfxRectD& rod = inst->clips.at(kOfxImageEffectSimpleSourceClipName)->rod;
  EXPECT_EQ(rod_out.Double(kOfxImageEffectPropRegionOfDefinition, 0), rod.x1);
  EXPECT_EQ(rod_out.Double(kOfxImageEffectPropRegionOfDefinition, 3), rod.y2);

  PropertySet roi_in, roi_out;
  roi_in = rod_in;
  roi_in.Doubles(kOfxImageEffectPropRegionOfInterest, {rod.x1 + 4, rod.y1 + 4, rod.x1 + 8, rod.y1 + 8});
  EXPECT_EQ(host.Call(kOfxImageEffectActionGetRegionsOfInterest, inst->handle(), &roi_in, &roi_out), kOfxStatOK);
  EXPECT_EQ(roi_out.Double("OfxImageClipPropRoI_Source", 0), rod.x1);  // the whole source, whatever is asked
  EXPECT_EQ(roi_out.Double("OfxImageClipPropRoI_Source", 2), rod.x2);

  PropertySet seq;
  seq.Doubles("OfxImageEffectPropFrameRange", {s.time, s.time});
  seq.Doubles(kOfxImageEffectPropRenderScale, {1.0 / s.scale_den, 1.0 / s.scale_den});
  EXPECT_EQ(host.Call(kOfxImageEffectActionBeginSequenceRender, inst->handle(), &seq), kOfxStatOK);
  r.status = RenderAction(host, inst, s, b);
  EXPECT_EQ(host.Call(kOfxImageEffectActionEndSequenceRender, inst->handle(), &seq), kOfxStatOK);
  r.pixels = dst.Get();
  EXPECT_EQ(host.DestroyInstance(inst), kOfxStatOK);
  return r;
}

// The same frame rendered by a session directly, as `pluvane render` renders it.
inline std::vector<unsigned char> ThroughSession(const Shot& s) {
  const Layout& l = s.layout;
  session::Session ses(&MainEntry, l.width, l.height);
  ses.SetRate(s.rate);
  ses.SetDownsample(PF_RationalScale{1, static_cast<A_u_long>(s.scale_den)}, PF_RationalScale{1, static_cast<A_u_long>(s.scale_den)});
  ses.SetPixelAspect(session::RateFromDouble(l.par));
  if (s.session_values) s.session_values(ses);
  const OfxRectI b = Bounds(s);
  const int w = b.x2 - b.x1, h = b.y2 - b.y1;
  EXPECT_EQ(w, ses.render_width());
  EXPECT_EQ(h, ses.render_height());
  std::vector<unsigned char> in = Encode(Pattern(w, h, s.transparent), l.depth);
  const bool premult = l.premultiplication == kOfxImagePreMultiplied;
  if (premult) ConvertAlpha(in, l.depth, false), ConvertAlpha(in, l.depth, true);  // what the host's copy holds, made straight
  std::vector<unsigned char> out(in.size());
  const int ss = SampleSize(l.depth);
  const session::PixelView iv{in.data(), static_cast<std::ptrdiff_t>(w) * 4 * ss, w, h, TypeOf(l.depth)};
  const session::MutablePixelView ov{out.data(), static_cast<std::ptrdiff_t>(w) * 4 * ss, w, h, TypeOf(l.depth)};
  EXPECT_EQ(ses.RenderFrame(s.session_frame.value_or(std::llround(s.time)), iv, ov, session::NaturalDepth(TypeOf(l.depth))), PF_Err_NONE);
  if (premult) ConvertAlpha(out, l.depth, false);
  return out;
}

// `pluvane render --matte FILE --matte-channel alpha` of a picture of
// `depth` (packed top-down RGBA floats as in Shot::mask): its alpha in the
// render depth's values.
inline session::Matte MatteOfPicture(const std::vector<float>& rgba, int w, int h, const std::string& depth, bool invert) {
  session::HostImage image;
  image.width = w, image.height = h, image.depth = session::NaturalDepth(TypeOf(depth));
  const std::vector<unsigned char> stored = Encode(rgba, depth);
  for (size_t i = 0; i < rgba.size(); ++i) {
    float v = rgba[i];
    if (depth == kOfxBitDepthByte) v = stored[i];
    else if (depth == kOfxBitDepthShort) v = static_cast<float>(stored[2 * i] | stored[2 * i + 1] << 8);
    image.rgba.push_back(session::StoredToHost(v, TypeOf(depth), image.depth));
  }
  return session::MatteOf(image, invert, session::MatteChannel::kAlpha);
}

// Rain that shows in a small frame: many drops, long lives, the light's diffuse part on.
inline void Rainy(Effect& e, const Layout&) {
  ByLabel(e, "Drip Rate")->value = {6};
  ByLabel(e, "Longevity (sec)")->value = {2};
  ByLabel(e, "Diffuse")->value = {60};
}
inline void Rainy(session::Session& s) {
  s.SetValue(s.Control("Drip Rate"), 6);
  s.SetValue(s.Control("Longevity (sec)"), 2);
  s.SetValue(s.Control("Diffuse"), 60);
}

// The frame through the plug-in equals the session's; returns what the
// plug-in told the host.
inline std::vector<std::string> ExpectSameFrame(const Shot& s) {
  Loaded l;
  const Rendered r = ThroughPlugin(l.host, s);
  EXPECT_EQ(r.status, kOfxStatOK) << (l.host.messages().empty() ? "" : l.host.messages().back());
  const std::vector<unsigned char> want = ThroughSession(s);
  if (r.status != kOfxStatOK || r.pixels.size() != want.size()) {
    ADD_FAILURE() << "no frame of the session's size";
    return l.host.messages();
  }
  size_t diff = 0;
  for (size_t i = 0; i < want.size(); ++i) diff += r.pixels[i] != want[i];
  EXPECT_EQ(diff, 0u) << "bytes differing from the session's frame";
  // The rain changed the picture: the comparison is not of two copies of the input.
  std::vector<unsigned char> input = Encode(Pattern(Bounds(s).x2 - Bounds(s).x1, Bounds(s).y2 - Bounds(s).y1, s.transparent), s.layout.depth);
  if (s.layout.premultiplication == kOfxImagePreMultiplied) ConvertAlpha(input, s.layout.depth, false);
  EXPECT_NE(r.pixels, input);
  return l.host.messages();
}

inline Shot RainyShot(const std::string& depth) {
  Shot s;
  s.layout.depth = depth;
  s.host_values = [](Effect& e, const Layout& l) { Rainy(e, l); };
  s.session_values = [](session::Session& ses) { Rainy(ses); };
  return s;
}

}  // namespace ofxfixture
