// What the OpenFX tests share: a loaded plug-in in our test host, a frame
// rendered through it as hosts render, and the same frame rendered by a
// session as `pluvane render` renders it.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <utility>
#include <vector>

#include "host/entry.h"
#include "session/around.h"
#include "session/controls.h"
#include "session/samples.h"
#include "session/session.h"
#include "tests/support/ofx_host.h"

namespace ofxfixture {

namespace session = pluvane::session;
using namespace ofxtest;

// The plug-in loaded and described in both contexts.
struct Loaded {
  Host host;
  explicit Loaded(const std::string& bundle = PLUVANE_OFX_PATH) : host(bundle) {
    EXPECT_TRUE(host.loaded()) << "cannot load " << bundle;
    if (!host.loaded()) return;
    EXPECT_EQ(host.Load(), kOfxStatOK);
    EXPECT_EQ(host.Describe(), kOfxStatOK);
    EXPECT_EQ(host.DescribeInContext(kOfxImageEffectContextFilter), kOfxStatOK);
    EXPECT_EQ(host.DescribeInContext(kOfxImageEffectContextGeneral), kOfxStatOK);
  }
};

using Values = std::vector<std::pair<std::string, double>>;

// Rain that shows in a small frame: many drops, long lives, the light's diffuse part on.
inline const Values kRain = {{"Drip Rate", 6}, {"Longevity (sec)", 2}, {"Diffuse", 60}};

struct Shot {
  Layout layout{};
  int scale_den = 1;          // render scale 1 / scale_den
  bool transparent = false;   // alpha from 0 to full across the picture
  double time = 4;
  std::string context = kOfxImageEffectContextFilter;
  // A picture connected to the Mask clip (general context): packed top-down
  // RGBA floats, handed over as `mask_components` of the layout's depth.
  std::vector<float> mask{};
  std::string mask_components = kOfxImageComponentAlpha;
  Values values{};  // given to the host's parameters after kRain (the session gets kRain alone)
};

// A picture of w x h, packed top-down RGBA floats: colour ramps and a ring,
// fully opaque or with alpha from 0 to 1 (a quarter fully transparent).
inline std::vector<float> Pattern(int w, int h, bool transparent) {
  std::vector<float> v;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const float ring = std::fmod(std::hypot(x - w * 0.4, y - h * 0.6), 9.0) < 3.0 ? 0.9f : 0.2f;
      const float alpha = transparent ? std::clamp(x * 1.4f / w - 0.35f, 0.0f, 1.0f) : 1.0f;
      v.insert(v.end(), {static_cast<float>(x) / w, static_cast<float>(y) / h, ring, alpha});
    }
  return v;
}

// Floats 0..1 as stored samples of `depth`; `channels` 3 or 1 keep RGB or alpha alone.
inline std::vector<unsigned char> Encode(const std::vector<float>& rgba, const std::string& depth, int channels = 4) {
  std::vector<unsigned char> out;
  for (size_t i = 0; i < rgba.size(); ++i) {
    if ((channels == 3 && i % 4 == 3) || (channels == 1 && i % 4 != 3)) continue;
    const float v = rgba[i];
    const uint16_t s = static_cast<uint16_t>(std::lround(v * 65535));
    const unsigned char* b = depth == kOfxBitDepthShort ? reinterpret_cast<const unsigned char*>(&s) : reinterpret_cast<const unsigned char*>(&v);
    if (depth == kOfxBitDepthByte) out.push_back(static_cast<unsigned char>(std::lround(v * 255)));
    else out.insert(out.end(), b, b + (depth == kOfxBitDepthShort ? 2 : 4));
  }
  return out;
}

// An instance of the plug-in over the shot's layout, its parameters set by
// label (kRain, then the shot's values), with Source (the pattern) and Output
// pictures of the shot's size at its scale attached, and the shot's mask connected.
struct Instance {
  Host& host;
  Shot shot;
  OfxStatus created = kOfxStatFailed;
  Effect* effect;
  Picture src, dst, mask;
  Instance(Host& on, const Shot& s) : host(on), shot(s), effect(on.CreateInstance(s.context, s.layout, &created)) {
    if (!effect) return;
    for (const Values* list : {&kRain, &s.values})
      for (const auto& [label, value] : *list) {
        const auto p = std::find_if(effect->params.begin(), effect->params.end(),
                                    [&](const auto& p) { return p->props.template Get<std::string>(kOfxPropLabel) == label; });
        if (p == effect->params.end()) ADD_FAILURE() << "no parameter labelled " << label;
        else (*p)->value = {value};
      }
    const Layout& l = s.layout;
    const int w = l.width / s.scale_den, h = l.height / s.scale_den;
    for (Picture* p : {&src, &dst, &mask}) p->bounds = {0, 0, w, h}, p->depth = l.depth, p->premultiplication = l.premultiplication;
    src.components = l.components, mask.components = s.mask_components;
    dst.Allocate();
    src.memory = Encode(Pattern(w, h, s.transparent), l.depth, l.components == kOfxImageComponentRGB ? 3 : 4);
    effect->clips.at(kOfxImageEffectSimpleSourceClipName)->picture = &src;
    effect->clips.at(kOfxImageEffectOutputClipName)->picture = &dst;
    if (s.mask.empty()) return;
    mask.memory = Encode(s.mask, l.depth, s.mask_components == kOfxImageComponentAlpha ? 1 : 4);
    effect->clips.at("Mask")->picture = &mask;
    effect->clips.at("Mask")->props.Ints(kOfxImageClipPropConnected, {1});
  }
  // The render action for the shot's time, over the whole frame.
  OfxStatus Render() {
    PropertySet in;
    in.Doubles(kOfxPropTime, {shot.time});
    in.Doubles(kOfxImageEffectPropRenderScale, {1.0 / shot.scale_den, 1.0 / shot.scale_den});
    in.Ints(kOfxImageEffectPropRenderWindow, {0, 0, dst.bounds.x2, dst.bounds.y2});
    return host.Call(kOfxImageEffectActionRender, effect->handle(), &in);
  }
};

// A frame through the plug-in: the host's sequence of actions around one
// render; the Output's packed top-down RGBA, or nothing when the render failed.
inline std::vector<unsigned char> ThroughPlugin(Host& host, const Shot& s) {
  Instance i(host, s);
  EXPECT_EQ(i.created, kOfxStatOK);
  if (!i.effect) return {};
  PropertySet seq;
  seq.Doubles("OfxImageEffectPropFrameRange", {s.time, s.time});
  seq.Doubles(kOfxImageEffectPropRenderScale, {1.0 / s.scale_den, 1.0 / s.scale_den});
  EXPECT_EQ(host.Call(kOfxImageEffectActionBeginSequenceRender, i.effect->handle(), &seq), kOfxStatOK);
  const OfxStatus rendered = i.Render();
  EXPECT_EQ(rendered, kOfxStatOK);
  EXPECT_EQ(host.Call(kOfxImageEffectActionEndSequenceRender, i.effect->handle(), &seq), kOfxStatOK);
  EXPECT_EQ(host.DestroyInstance(i.effect), kOfxStatOK);
  return rendered == kOfxStatOK ? i.dst.memory : std::vector<unsigned char>{};
}

// The same frame, with kRain, rendered by a session directly as `pluvane
// render` renders it; a mask is `--matte` of a picture with that alpha.
inline std::vector<unsigned char> ThroughSession(const Shot& s, bool invert_mask = false) {
  const Layout& l = s.layout;
  const session::SampleType type = l.depth == kOfxBitDepthByte    ? session::SampleType::kUInt8
                                   : l.depth == kOfxBitDepthShort ? session::SampleType::kUInt16
                                                                  : session::SampleType::kFloat;
  session::Session ses(&MainEntry, l.width, l.height);
  ses.SetRate({25, 1});
  for (const auto& [label, value] : kRain) ses.SetValue(ses.Control(label), value);
  const int w = l.width, h = l.height, row = w * 4 * static_cast<int>(Encode({0}, l.depth).size());
  if (!s.mask.empty()) {
    session::HostImage matte{w, h, session::NaturalDepth(type), {}};
    for (float v : s.mask)
      matte.rgba.push_back(session::StoredToHost(
          type == session::SampleType::kFloat ? v : std::round(v * session::samples::FullScale(type)), type, matte.depth));
    ses.SetMatte(session::MatteOf(matte, invert_mask, session::MatteChannel::kAlpha));
  }
  const std::vector<unsigned char> in = Encode(Pattern(w, h, s.transparent), l.depth);
  std::vector<unsigned char> out(in.size());
  EXPECT_EQ(ses.RenderFrame(std::llround(s.time), session::PixelView{in.data(), row, w, h, type},
                            session::MutablePixelView{out.data(), row, w, h, type}, session::NaturalDepth(type)),
            PF_Err_NONE);
  return out;
}

}  // namespace ofxfixture
