// The OpenFX plug-in loaded through dlopen by our test host and driven as
// hosts drive it: what it declares, frames equal to the session's (which is
// what `pluvane render` renders through) in every depth, scale, aspect, rate,
// storage and alpha convention, control enabling, instances on several
// threads, and a host that fails.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "host/entry.h"
#include "tests/openfx/ofx_host.h"
#include "session/controls.h"
#include "session/session.h"

namespace {

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
    EXPECT_TRUE(host.loaded()) << dlerror();
    if (!host.loaded()) return;
    EXPECT_EQ(host.Load(), kOfxStatOK);
    EXPECT_EQ(host.Describe(), kOfxStatOK);
    EXPECT_EQ(host.DescribeInContext(kOfxImageEffectContextFilter), kOfxStatOK);
    EXPECT_EQ(host.DescribeInContext(kOfxImageEffectContextGeneral), kOfxStatOK);
  }
};

Param* ByLabel(Effect& e, const std::string& label) {
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
  // The same control values given to the host's parameters and to the session.
  std::function<void(Effect&, const Layout&)> host_values;
  std::function<void(session::Session&)> session_values;
};

int SampleSize(const std::string& depth) { return depth == kOfxBitDepthByte ? 1 : depth == kOfxBitDepthShort ? 2 : 4; }
session::SampleType TypeOf(const std::string& depth) {
  return depth == kOfxBitDepthByte    ? session::SampleType::kUInt8
         : depth == kOfxBitDepthShort ? session::SampleType::kUInt16
                                      : session::SampleType::kFloat;
}

// A picture of w x h, packed top-down RGBA floats: colour ramps and a ring,
// fully opaque or with alpha from 0 to 1 (a quarter fully transparent).
std::vector<float> Pattern(int w, int h, bool transparent) {
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
std::vector<unsigned char> Encode(const std::vector<float>& v, const std::string& depth) {
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
void ConvertAlpha(std::vector<unsigned char>& bytes, bool to_straight) {
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
void ConvertAlpha(std::vector<unsigned char>& bytes, const std::string& depth, bool to_straight) {
  if (depth == kOfxBitDepthByte) ConvertAlpha<uint8_t>(bytes, to_straight);
  else if (depth == kOfxBitDepthShort) ConvertAlpha<uint16_t>(bytes, to_straight);
  else ConvertAlpha<float>(bytes, to_straight);
}

// RGBA without its alpha.
std::vector<unsigned char> DropAlpha(const std::vector<unsigned char>& rgba, int sample) {
  std::vector<unsigned char> out;
  for (size_t i = 0; i < rgba.size(); i += 4 * sample) out.insert(out.end(), rgba.begin() + i, rgba.begin() + i + 3 * sample);
  return out;
}

struct Rendered {
  OfxStatus status = kOfxStatFailed;
  std::vector<unsigned char> pixels;  // packed top-down RGBA of the output's bounds
};

// The picture's size at the render scale, and where it sits.
OfxRectI Bounds(const Shot& s) {
  const Layout& l = s.layout;
  const int x0 = static_cast<int>(std::lround(l.origin.x / s.scale_den / l.par));
  const int y0 = static_cast<int>(std::lround(l.origin.y / s.scale_den));
  return {x0, y0, x0 + l.width / s.scale_den, y0 + l.height / s.scale_den};
}

OfxStatus RenderAction(Host& host, Effect* inst, const Shot& s, const OfxRectI& window) {
  PropertySet in;
  in.Doubles(kOfxPropTime, {s.time});
  in.Doubles(kOfxImageEffectPropRenderScale, {1.0 / s.scale_den, 1.0 / s.scale_den});
  in.Ints(kOfxImageEffectPropRenderWindow, {window.x1, window.y1, window.x2, window.y2});
  in.Strings("OfxImageEffectPropFieldToRender", {"OfxImageFieldNone"});
  return host.Call(kOfxImageEffectActionRender, inst->handle(), &in);
}

// A frame through the plug-in: the host's sequence of actions around one render.
Rendered ThroughPlugin(Host& host, const Shot& s) {
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
std::vector<unsigned char> ThroughSession(const Shot& s) {
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
  EXPECT_EQ(ses.RenderFrame(std::llround(s.time), iv, ov, session::NaturalDepth(TypeOf(l.depth))), PF_Err_NONE);
  if (premult) ConvertAlpha(out, l.depth, false);
  return out;
}

// Rain that shows in a small frame: many drops, long lives, the light's diffuse part on.
void Rainy(Effect& e, const Layout&) {
  ByLabel(e, "Drip Rate")->value = {6};
  ByLabel(e, "Longevity (sec)")->value = {2};
  ByLabel(e, "Diffuse")->value = {60};
}
void Rainy(session::Session& s) {
  s.SetValue(s.Control("Drip Rate"), 6);
  s.SetValue(s.Control("Longevity (sec)"), 2);
  s.SetValue(s.Control("Diffuse"), 60);
}

void ExpectSameFrame(const Shot& s) {
  Loaded l;
  const Rendered r = ThroughPlugin(l.host, s);
  ASSERT_EQ(r.status, kOfxStatOK) << (l.host.messages().empty() ? "" : l.host.messages().back());
  const std::vector<unsigned char> want = ThroughSession(s);
  ASSERT_EQ(r.pixels.size(), want.size());
  size_t diff = 0;
  for (size_t i = 0; i < want.size(); ++i) diff += r.pixels[i] != want[i];
  EXPECT_EQ(diff, 0u) << "bytes differing from the session's frame";
  // The rain changed the picture: the comparison is not of two copies of the input.
  std::vector<unsigned char> input = Encode(Pattern(Bounds(s).x2 - Bounds(s).x1, Bounds(s).y2 - Bounds(s).y1, s.transparent), s.layout.depth);
  if (s.layout.premultiplication == kOfxImagePreMultiplied) ConvertAlpha(input, s.layout.depth, false);
  EXPECT_NE(r.pixels, input);
}

Shot RainyShot(const std::string& depth) {
  Shot s;
  s.layout.depth = depth;
  s.host_values = [](Effect& e, const Layout& l) { Rainy(e, l); };
  s.session_values = [](session::Session& ses) { Rainy(ses); };
  return s;
}

// ---- what the plug-in declares ------------------------------------------------------------------

TEST(OpenFxPlugin, DeclaresOneImageEffectWithItsIdentity) {
  Loaded l;
  ASSERT_TRUE(l.host.loaded());
  const OfxPlugin* p = l.host.plugin();
  EXPECT_STREQ(p->pluginApi, "OfxImageEffectPluginAPI");
  EXPECT_EQ(p->apiVersion, 1);
  EXPECT_STREQ(p->pluginIdentifier, "org.pluvane.Pluvane");
  EXPECT_EQ(p->pluginVersionMajor, 1u);
  EXPECT_EQ(p->pluginVersionMinor, 6u);
  auto count = reinterpret_cast<int (*)()>(dlsym(l.host.library(), "OfxGetNumberOfPlugins"));
  auto get = reinterpret_cast<OfxPlugin* (*)(int)>(dlsym(l.host.library(), "OfxGetPlugin"));
  ASSERT_TRUE(count && get);
  EXPECT_EQ(count(), 1);
  EXPECT_EQ(get(1), nullptr);
  EXPECT_EQ(dlsym(l.host.library(), "MainEntry"), nullptr);  // the module's entry stays inside

  const PropertySet& d = l.host.descriptor().props;
  EXPECT_EQ(d.String(kOfxPropLabel), "Pluvane");
  EXPECT_FALSE(d.String(kOfxImageEffectPluginPropGrouping).empty());
  EXPECT_EQ(d.AllStrings(kOfxImageEffectPropSupportedContexts),
            (std::vector<std::string>{kOfxImageEffectContextFilter, kOfxImageEffectContextGeneral}));
  EXPECT_EQ(d.AllStrings(kOfxImageEffectPropSupportedPixelDepths),
            (std::vector<std::string>{kOfxBitDepthByte, kOfxBitDepthShort, kOfxBitDepthFloat}));
  EXPECT_EQ(d.String(kOfxImageEffectPluginRenderThreadSafety), kOfxImageEffectRenderInstanceSafe);
  EXPECT_EQ(d.Int(kOfxImageEffectPropSupportsTiles), 0);
  EXPECT_EQ(d.Int(kOfxImageEffectPropSupportsMultiResolution), 0);
  EXPECT_EQ(d.Int(kOfxImageEffectPropTemporalClipAccess), 0);

  for (const char* context : {kOfxImageEffectContextFilter, kOfxImageEffectContextGeneral}) {
    Effect& c = l.host.context_descriptor(context);
    ASSERT_EQ(c.clips.size(), 2u) << context;
    EXPECT_EQ(c.clips.at("Source")->props.AllStrings(kOfxImageEffectPropSupportedComponents),
              (std::vector<std::string>{kOfxImageComponentRGBA, kOfxImageComponentRGB}));
    EXPECT_EQ(c.clips.at("Output")->props.AllStrings(kOfxImageEffectPropSupportedComponents),
              (std::vector<std::string>{kOfxImageComponentRGBA}));
  }
  EXPECT_EQ(l.host.DescribeInContext("OfxImageEffectContextGenerator"), kOfxStatErrUnsupported);
}

PF_Fixed Fixed(double v) { return static_cast<PF_Fixed>(std::llround(v * 65536.0)); }

// Every control as the effect declares it, typed; a few checked against the
// control table the README states.
TEST(OpenFxPlugin, ParametersAreTheEffectsControlsTyped) {
  Loaded l;
  ASSERT_TRUE(l.host.loaded());
  Effect& c = l.host.context_descriptor(kOfxImageEffectContextFilter);
  session::Session ref(&MainEntry, 64, 36);
  std::string group;
  size_t declared = 0;
  for (size_t i = 1; i < ref.definitions().size(); ++i) {
    const PF_ParamDef& d = ref.definitions()[i];
    if (d.param_type == PF_Param_GROUP_END) {
      group.clear();
      continue;
    }
    ++declared;
    SCOPED_TRACE(d.name);
    Param* p = ByLabel(c, d.name);
    const PropertySet& pp = p->props;
    EXPECT_EQ(pp.String(kOfxParamPropParent), group.empty() ? "" : ByLabel(c, group)->name);
    EXPECT_EQ(pp.String(kOfxParamPropScriptName), p->name);
    switch (d.param_type) {
      case PF_Param_FIX_SLIDER:
        EXPECT_EQ(p->type, kOfxParamTypeDouble);
        // Decimals within one 16.16 step of the control's own values.
        EXPECT_LE(std::fabs(pp.Double(kOfxParamPropMin) * 65536 - d.u.fd.valid_min), 1.0);
        EXPECT_LE(std::fabs(pp.Double(kOfxParamPropMax) * 65536 - d.u.fd.valid_max), 1.0);
        EXPECT_LE(std::fabs(pp.Double(kOfxParamPropDisplayMin) * 65536 - d.u.fd.slider_min), 1.0);
        EXPECT_LE(std::fabs(pp.Double(kOfxParamPropDisplayMax) * 65536 - d.u.fd.slider_max), 1.0);
        EXPECT_LE(std::fabs(pp.Double(kOfxParamPropDefault) * 65536 - d.u.fd.dephault), 1.0);
        break;
      case PF_Param_ANGLE:
        EXPECT_EQ(p->type, kOfxParamTypeDouble);
        EXPECT_EQ(pp.String(kOfxParamPropDoubleType), kOfxParamDoubleTypeAngle);
        EXPECT_EQ(Fixed(pp.Double(kOfxParamPropDefault)), d.u.ad.dephault);
        break;
      case PF_Param_POINT:
        EXPECT_EQ(p->type, kOfxParamTypeDouble2D);
        EXPECT_EQ(pp.String(kOfxParamPropDoubleType), kOfxParamDoubleTypeXYAbsolute);
        break;
      case PF_Param_COLOR: EXPECT_EQ(p->type, kOfxParamTypeRGB); break;
      case PF_Param_POPUP:
        EXPECT_EQ(p->type, kOfxParamTypeChoice);
        EXPECT_EQ(pp.AllStrings(kOfxParamPropChoiceOption), session::ChoicesOf(d));
        EXPECT_EQ(pp.Int(kOfxParamPropDefault), d.u.pd.dephault - 1);
        break;
      case PF_Param_GROUP_START:
        EXPECT_EQ(p->type, kOfxParamTypeGroup);
        group = d.name;
        break;
      default: ADD_FAILURE() << "unexpected control type"; break;
    }
  }
  EXPECT_EQ(c.params.params.size(), declared);

  // The README's table.
  const PropertySet& drip = ByLabel(c, "Drip Rate")->props;
  EXPECT_EQ(drip.Double(kOfxParamPropMin), 0);
  EXPECT_EQ(drip.Double(kOfxParamPropMax), 100);
  EXPECT_EQ(drip.Double(kOfxParamPropDefault), 1);
  EXPECT_EQ(drip.String(kOfxParamPropParent), "");
  EXPECT_EQ(ByLabel(c, "Rippling")->props.Double(kOfxParamPropDefault), 360);
  EXPECT_EQ(ByLabel(c, "Light Direction")->props.Double(kOfxParamPropDefault), -45);
  EXPECT_EQ(ByLabel(c, "Roughness")->props.Double(kOfxParamPropDefault), 0.015);
  EXPECT_EQ(ByLabel(c, "Roughness")->props.Double(kOfxParamPropMin), 0.001);
  EXPECT_EQ(ByLabel(c, "Using")->props.AllStrings(kOfxParamPropChoiceOption),
            (std::vector<std::string>{"Effect Light", "AE Lights"}));
  EXPECT_EQ(ByLabel(c, "Light Type")->props.AllStrings(kOfxParamPropChoiceOption),
            (std::vector<std::string>{"Distant Light", "Point Light"}));
  const std::string light = ByLabel(c, "Light")->name, shading = ByLabel(c, "Shading")->name;
  for (const char* name : {"Using", "Light Intensity", "Light Color", "Light Type", "Light Height", "Light Position", "Light Direction"})
    EXPECT_EQ(ByLabel(c, name)->props.String(kOfxParamPropParent), light) << name;
  for (const char* name : {"Ambient", "Diffuse", "Specular", "Roughness", "Metal"})
    EXPECT_EQ(ByLabel(c, name)->props.String(kOfxParamPropParent), shading) << name;
  // 25 %, 25 % of the layer from the top left is 0.25, 0.75 of the frame from the bottom.
  const PropertySet& pos = ByLabel(c, "Light Position")->props;
  EXPECT_EQ(pos.String(kOfxParamPropDefaultCoordinateSystem), kOfxParamCoordinatesNormalised);
  EXPECT_EQ(pos.Double(kOfxParamPropDefault, 0), 0.25);
  EXPECT_EQ(pos.Double(kOfxParamPropDefault, 1), 0.75);
  const PropertySet& color = ByLabel(c, "Light Color")->props;
  for (int i = 0; i < 3; ++i) EXPECT_EQ(color.Double(kOfxParamPropDefault, i), 1.0);
}

// ---- frames equal the session's -------------------------------------------------------------------

TEST(OpenFxFrames, EqualTheSessionInEveryDepth) {
  for (const char* depth : {kOfxBitDepthByte, kOfxBitDepthShort, kOfxBitDepthFloat}) {
    SCOPED_TRACE(depth);
    ExpectSameFrame(RainyShot(depth));
  }
}

TEST(OpenFxFrames, EqualTheSessionAtHalfScaleAndWidePixels) {
  for (int den : {1, 2})
    for (double par : {1.0, 2.0}) {
      SCOPED_TRACE("scale 1/" + std::to_string(den) + ", aspect " + std::to_string(par));
      Shot s = RainyShot(kOfxBitDepthFloat);
      s.scale_den = den;
      s.layout.par = par;
      s.layout.width = 96, s.layout.height = 54;
      ExpectSameFrame(s);
    }
}

TEST(OpenFxFrames, HostRatesBecomeExactRates) {
  const std::pair<double, session::Rational> rates[] = {{24.0, {24, 1}},
                                                           {25.0, {25, 1}},
                                                           {23.976, {24000, 1001}},
                                                           {29.97, {30000, 1001}},
                                                           {59.94, {60000, 1001}},
                                                           {12.5, {25, 2}}};
  for (const auto& [fps, rate] : rates) {
    SCOPED_TRACE(fps);
    Shot s = RainyShot(kOfxBitDepthByte);
    s.layout.fps = fps;
    s.rate = rate;
    s.time = 17;
    ExpectSameFrame(s);
  }
}

// Keys in the host at frames; the effect reads them at every drop's birth,
// which falls between frames at 23.976.
TEST(OpenFxFrames, KeyframedHeightAndPointLightPosition) {
  Shot s = RainyShot(kOfxBitDepthShort);
  s.layout.fps = 23.976;
  s.rate = {24000, 1001};
  s.layout.par = 2.0;
  s.layout.origin = {-14, 6};
  s.time = 9;
  s.host_values = [](Effect& e, const Layout& l) {
    Rainy(e, l);
    ByLabel(e, "Ripple Height")->keys = {{0, {40}}, {12, {180}}};
    ByLabel(e, "Light Type")->value = {1};  // Point Light
    // Layer pixels (10, 8) and (50, 30) in canonical coordinates: x times the
    // aspect from the region's left, y up from its bottom.
    const auto canon = [&l](double x, double y) {
      return std::vector<double>{l.origin.x + x * l.par, l.origin.y + l.height - y};
    };
    ByLabel(e, "Light Position")->keys = {{2, canon(10, 8)}, {10, canon(50, 30)}};
  };
  s.session_values = [](session::Session& ses) {
    Rainy(ses);
    ses.SetKeys(ses.Control("Ripple Height"), {{0, {40}}, {12, {180}}});
    ses.SetChoice(ses.Control("Light Type"), 2);
    ses.SetKeys(ses.Control("Light Position"), {{2, {10, 8}}, {10, {50, 30}}});
  };
  ExpectSameFrame(s);

  // The keys matter: a still value gives another frame.
  Shot still = s;
  still.host_values = [](Effect& e, const Layout& l) {
    Rainy(e, l);
    ByLabel(e, "Light Type")->value = {1};
  };
  Loaded a;
  Loaded* keep = &a;
  const Rendered keyed = ThroughPlugin(keep->host, s);
  const Rendered plain = ThroughPlugin(keep->host, still);
  EXPECT_NE(keyed.pixels, plain.pixels);
}

TEST(OpenFxFrames, ImagesStoredEitherWayWithBoundsAwayFromZero) {
  for (bool top_down : {false, true})
    for (const OfxPointD origin : {OfxPointD{0, 0}, OfxPointD{-20, 12}, OfxPointD{31, -7}}) {
      SCOPED_TRACE(std::string(top_down ? "top-down" : "bottom-up") + " at " + std::to_string(origin.x) + "," +
                   std::to_string(origin.y));
      Shot s = RainyShot(kOfxBitDepthByte);
      s.top_down = top_down;
      s.layout.origin = origin;
      ExpectSameFrame(s);
    }
}

TEST(OpenFxFrames, TransparentPictureInBothAlphaConventions) {
  for (const char* depth : {kOfxBitDepthByte, kOfxBitDepthShort, kOfxBitDepthFloat})
    for (const char* premult : {kOfxImageUnPreMultiplied, kOfxImagePreMultiplied}) {
      SCOPED_TRACE(std::string(depth) + " " + premult);
      Shot s = RainyShot(depth);
      s.transparent = true;
      s.layout.premultiplication = premult;
      ExpectSameFrame(s);
    }
}

TEST(OpenFxFrames, RgbSourceIsOpaqueAndTheGeneralContextRendersAlike) {
  Shot s = RainyShot(kOfxBitDepthByte);
  s.layout.components = kOfxImageComponentRGB;
  ExpectSameFrame(s);
  Shot g = RainyShot(kOfxBitDepthFloat);
  g.context = kOfxImageEffectContextGeneral;
  ExpectSameFrame(g);
}

// ---- control enabling --------------------------------------------------------------------------------

// "Using" and "Light Type" enable and disable the controls the effect says,
// the same ones `pluvane controls --set` reports (it describes the controls
// through the session).
TEST(OpenFxControls, UsingAndLightTypeEnableWhatTheEffectSays) {
  Loaded l;
  ASSERT_TRUE(l.host.loaded());
  Effect* inst = l.host.CreateInstance(kOfxImageEffectContextFilter, Layout{});
  ASSERT_NE(inst, nullptr);
  const std::pair<const char*, std::vector<std::pair<const char*, int>>> cases[] = {
      {"Using=Effect Light", {{"Using", 0}, {"Light Type", 0}}},
      {"Using=AE Lights", {{"Using", 1}, {"Light Type", 0}}},
      {"Light Type=Point Light", {{"Using", 0}, {"Light Type", 1}}},
      {"Light Type=Distant Light", {{"Using", 0}, {"Light Type", 0}}},
  };
  for (const auto& [set, values] : cases) {
    SCOPED_TRACE(set);
    for (const auto& [name, v] : values) ByLabel(*inst, name)->value = {static_cast<double>(v)};
    PropertySet in;
    in.Strings(kOfxPropType, {kOfxTypeParameter});
    in.Strings(kOfxPropName, {ByLabel(*inst, session::ParseSetOption(set).name)->name});
    in.Strings(kOfxPropChangeReason, {"OfxChangeUserEdited"});
    in.Doubles(kOfxPropTime, {0});
    in.Doubles(kOfxImageEffectPropRenderScale, {1, 1});
    ASSERT_EQ(l.host.Call(kOfxActionInstanceChanged, inst->handle(), &in), kOfxStatOK);

    session::Session ref(&MainEntry, 64, 36);
    for (const auto& [name, v] : values) ref.Apply(session::ParseSetOption(std::string(name) + "=" + std::to_string(v + 1)));
    for (const session::ControlInfo& info : ref.Describe()) {
      if (info.type == "group" || info.type == "end of group") continue;
      EXPECT_EQ(ByLabel(*inst, info.name)->props.Int(kOfxParamPropEnabled), info.enabled ? 1 : 0) << info.name;
    }
  }
  // The README's statement: with "AE Lights", controls 9 to 14 are disabled.
  ByLabel(*inst, "Using")->value = {1};
  PropertySet in;
  in.Strings(kOfxPropType, {kOfxTypeParameter});
  in.Strings(kOfxPropName, {ByLabel(*inst, "Using")->name});
  ASSERT_EQ(l.host.Call(kOfxActionInstanceChanged, inst->handle(), &in), kOfxStatOK);
  for (const char* name : {"Light Intensity", "Light Color", "Light Type", "Light Height", "Light Position", "Light Direction"})
    EXPECT_EQ(ByLabel(*inst, name)->props.Int(kOfxParamPropEnabled), 0) << name;
  EXPECT_EQ(ByLabel(*inst, "Ambient")->props.Int(kOfxParamPropEnabled), 1);
}

// ---- threads ------------------------------------------------------------------------------------------

// Instances rendering at once from several threads, each on the host's
// thread pool, give what one instance gives alone.
TEST(OpenFxThreads, InstancesOnSeveralThreadsEqualOneInstance) {
  Loaded l;
  ASSERT_TRUE(l.host.loaded());
  Layout layout;
  layout.depth = kOfxBitDepthFloat;
  Shot base = RainyShot(kOfxBitDepthFloat);
  base.layout = layout;
  const double times[] = {3, 8, 21};
  std::vector<std::vector<unsigned char>> alone;
  for (double t : times) {
    Shot s = base;
    s.time = t;
    alone.push_back(ThroughPlugin(l.host, s).pixels);
  }

  constexpr int kInstances = 3;
  std::vector<Effect*> insts;
  std::vector<Picture> src(kInstances), dst(kInstances);
  const OfxRectI b = Bounds(base);
  for (int i = 0; i < kInstances; ++i) {
    insts.push_back(l.host.CreateInstance(kOfxImageEffectContextFilter, layout));
    ASSERT_NE(insts.back(), nullptr);
    Rainy(*insts.back(), layout);
    src[i].bounds = dst[i].bounds = b;
    src[i].depth = dst[i].depth = kOfxBitDepthFloat;
    src[i].Allocate(), dst[i].Allocate();
    src[i].Put(Encode(Pattern(b.x2 - b.x1, b.y2 - b.y1, false), kOfxBitDepthFloat));
    insts[i]->clips.at("Source")->picture = &src[i];
    insts[i]->clips.at("Output")->picture = &dst[i];
  }
  std::vector<std::vector<std::vector<unsigned char>>> got(kInstances);
  std::vector<std::thread> threads;
  for (int i = 0; i < kInstances; ++i)
    threads.emplace_back([&, i] {
      for (double t : times) {
        Shot s = base;
        s.time = t;
        if (RenderAction(l.host, insts[i], s, b) != kOfxStatOK) return;
        got[i].push_back(dst[i].Get());
      }
    });
  for (auto& t : threads) t.join();
  for (int i = 0; i < kInstances; ++i) {
    ASSERT_EQ(got[i].size(), std::size(times)) << "instance " << i;
    for (size_t f = 0; f < std::size(times); ++f) EXPECT_EQ(got[i][f], alone[f]) << "instance " << i << ", time " << times[f];
  }
  for (Effect* inst : insts) EXPECT_EQ(l.host.DestroyInstance(inst), kOfxStatOK);
}

// ---- a host that fails -----------------------------------------------------------------------------------

TEST(OpenFxFailures, MissingSuitesRefuseToLoad) {
  for (const char* suite : {kOfxPropertySuite, kOfxImageEffectSuite, kOfxParameterSuite}) {
    SCOPED_TRACE(suite);
    Host host(PLUVANE_OFX_PATH);
    ASSERT_TRUE(host.loaded());
    host.faults().missing_suites = {suite};
    EXPECT_EQ(host.Load(), kOfxStatErrMissingHostFeature);
    EXPECT_NE(host.Describe(), kOfxStatOK);
  }
  Host host(PLUVANE_OFX_PATH);
  ASSERT_TRUE(host.loaded());
  host.plugin()->setHost(nullptr);
  EXPECT_EQ(host.Call(kOfxActionLoad, nullptr), kOfxStatErrMissingHostFeature);
}

TEST(OpenFxFailures, OptionalSuitesMissingStillRenderTheSameFrame) {
  Shot s = RainyShot(kOfxBitDepthByte);
  Host host(PLUVANE_OFX_PATH);
  ASSERT_TRUE(host.loaded());
  host.faults().missing_suites = {kOfxMultiThreadSuite, kOfxMessageSuite};
  ASSERT_EQ(host.Load(), kOfxStatOK);
  ASSERT_EQ(host.Describe(), kOfxStatOK);
  ASSERT_EQ(host.DescribeInContext(kOfxImageEffectContextFilter), kOfxStatOK);
  const Rendered r = ThroughPlugin(host, s);
  EXPECT_EQ(r.status, kOfxStatOK);
  EXPECT_EQ(r.pixels, ThroughSession(s));

  // A pool that cannot start: the calling thread renders it all.
  Loaded l;
  l.host.faults().fail_multithread = true;
  const Rendered f = ThroughPlugin(l.host, s);
  EXPECT_EQ(f.status, kOfxStatOK);
  EXPECT_EQ(f.pixels, r.pixels);
}

TEST(OpenFxFailures, FailingCallsGiveAFailureStatusAndAMessage) {
  const std::pair<const char*, std::function<void(Host&)>> faults[] = {
      {"parameter reads fail", [](Host& h) { h.faults().fail_param_reads = true; }},
      {"no image", [](Host& h) { h.faults().fail_get_image = true; }},
      {"an image without data", [](Host& h) { h.faults().null_image_data = true; }},
  };
  for (const auto& [what, arm] : faults) {
    SCOPED_TRACE(what);
    Loaded l;
    Shot s = RainyShot(kOfxBitDepthByte);
    Effect* inst = l.host.CreateInstance(s.context, s.layout);
    ASSERT_NE(inst, nullptr);
    const OfxRectI b = Bounds(s);
    Picture src, dst;
    src.bounds = dst.bounds = b;
    src.Allocate(), dst.Allocate();
    inst->clips.at("Source")->picture = &src;
    inst->clips.at("Output")->picture = &dst;
    arm(l.host);
    EXPECT_NE(RenderAction(l.host, inst, s, b), kOfxStatOK);
    ASSERT_FALSE(l.host.messages().empty());
    EXPECT_EQ(l.host.messages().back().rfind("OfxMessageError: ", 0), 0u) << l.host.messages().back();
  }
  // An instance whose parameters the host cannot find is refused.
  Loaded l;
  l.host.faults().fail_get_param_handle = true;
  OfxStatus st = kOfxStatOK;
  EXPECT_EQ(l.host.CreateInstance(kOfxImageEffectContextFilter, Layout{}, &st), nullptr);
  EXPECT_NE(st, kOfxStatOK);
}

TEST(OpenFxFailures, UnsupportedImagesAndAbortsFailCleanly) {
  const std::pair<const char*, std::function<void(Picture&, Picture&)>> cases[] = {
      {"half-float depth", [](Picture& s, Picture&) { s.depth = "OfxBitDepthHalf"; }},
      {"alpha-only source", [](Picture& s, Picture&) { s.components = "OfxImageComponentAlpha"; }},
      {"RGB output", [](Picture&, Picture& d) { d.components = kOfxImageComponentRGB; }},
      {"output depth unlike the source", [](Picture&, Picture& d) { d.depth = kOfxBitDepthShort; }},
  };
  for (const auto& [what, spoil] : cases) {
    SCOPED_TRACE(what);
    Loaded l;
    Shot s = RainyShot(kOfxBitDepthByte);
    Effect* inst = l.host.CreateInstance(s.context, s.layout);
    ASSERT_NE(inst, nullptr);
    const OfxRectI b = Bounds(s);
    Picture src, dst;
    src.bounds = dst.bounds = b;
    spoil(src, dst);
    src.Allocate(), dst.Allocate();
    inst->clips.at("Source")->picture = &src;
    inst->clips.at("Output")->picture = &dst;
    EXPECT_NE(RenderAction(l.host, inst, s, b), kOfxStatOK);
  }
  // The host asks to stop: the render ends with a failure and no frame.
  Loaded l;
  Shot s = RainyShot(kOfxBitDepthByte);
  Effect* inst = l.host.CreateInstance(s.context, s.layout);
  ASSERT_NE(inst, nullptr);
  const OfxRectI b = Bounds(s);
  Picture src, dst;
  src.bounds = dst.bounds = b;
  src.Allocate(), dst.Allocate();
  inst->clips.at("Source")->picture = &src;
  inst->clips.at("Output")->picture = &dst;
  inst->abort = true;
  EXPECT_EQ(RenderAction(l.host, inst, s, b), kOfxStatFailed);
  inst->abort = false;
  EXPECT_EQ(RenderAction(l.host, inst, s, b), kOfxStatOK);  // and the next render runs
  // A handle that is no instance of ours.
  Effect stranger;
  EXPECT_NE(l.host.Call(kOfxImageEffectActionRender, stranger.handle(), nullptr), kOfxStatOK);
}

}  // namespace
