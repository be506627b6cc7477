// The OpenFX plug-in loaded through dlopen by our test host and driven as
// hosts drive it: what it declares, frames equal to the session's (which is
// what `pluvane render` renders through) in every depth, scale, aspect, rate,
// storage and alpha convention, control enabling, instances on several
// threads, and a host that fails.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <tuple>

#include "openfx_plugin/instance.h"
#include "tests/openfx/plugin_fixture.h"

namespace {

using namespace ofxfixture;

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
    const bool general = context == std::string(kOfxImageEffectContextGeneral);
    ASSERT_EQ(c.clips.size(), general ? 3u : 2u) << context;  // the filter context has one input
    EXPECT_EQ(c.clips.at("Source")->props.AllStrings(kOfxImageEffectPropSupportedComponents),
              (std::vector<std::string>{kOfxImageComponentRGBA, kOfxImageComponentRGB}));
    EXPECT_EQ(c.clips.at("Output")->props.AllStrings(kOfxImageEffectPropSupportedComponents),
              (std::vector<std::string>{kOfxImageComponentRGBA}));
  }
  EXPECT_EQ(l.host.DescribeInContext("OfxImageEffectContextGenerator"), kOfxStatErrUnsupported);
}

PF_Fixed Fixed(double v) { return static_cast<PF_Fixed>(std::llround(v * 65536.0)); }

// Every control as the effect declares it, typed, with its ranges and default.
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
  // Then the host's own "Seed" and "Mix", and where there is a Mask (the
  // general context) "Invert Mask" (their types, defaults and ranges:
  // openfx_ofxcheck).
  EXPECT_EQ(c.params.params.size(), declared + 2);
  EXPECT_EQ(l.host.context_descriptor(kOfxImageEffectContextGeneral).params.params.size(), declared + 3);
  // 25 %, 25 % of the layer from the top left is 0.25, 0.75 of the frame from the bottom.
  const PropertySet& pos = ByLabel(c, "Light Position")->props;
  EXPECT_EQ(pos.String(kOfxParamPropDefaultCoordinateSystem), kOfxParamCoordinatesNormalised);
  EXPECT_EQ(pos.Double(kOfxParamPropDefault, 0), 0.25);
  EXPECT_EQ(pos.Double(kOfxParamPropDefault, 1), 0.75);
  const PropertySet& color = ByLabel(c, "Light Color")->props;
  for (int i = 0; i < 3; ++i) EXPECT_EQ(color.Double(kOfxParamPropDefault, i), 1.0);
}

// ---- frames equal the session's -------------------------------------------------------------------

// The frame through the plug-in equals the session's wherever hosts differ:
// depth and alpha convention, render scale and pixel aspect, the rate as a
// double, keys between frames, image storage and bounds, an RGB source, the
// general context, Seed and Mix, frames before 0.
TEST(OpenFxFrames, EqualTheSessionWhereverHostsDiffer) {
  std::vector<std::pair<std::string, Shot>> shots;
  for (const char* depth : {kOfxBitDepthByte, kOfxBitDepthShort, kOfxBitDepthFloat})
    for (const char* premult : {kOfxImageUnPreMultiplied, kOfxImagePreMultiplied}) {
      Shot s = RainyShot(depth);
      s.transparent = true;
      s.layout.premultiplication = premult;
      shots.emplace_back(std::string(depth) + " " + premult, s);
    }
  for (const auto& [den, par] : {std::pair{2, 1.0}, {1, 2.0}, {2, 2.0}}) {
    Shot s = RainyShot(kOfxBitDepthFloat);
    s.scale_den = den;
    s.layout.par = par;
    s.layout.width = 96, s.layout.height = 54;
    shots.emplace_back("scale 1/" + std::to_string(den) + ", aspect " + std::to_string(par), s);
  }
  const std::pair<double, session::Rational> rates[] = {{23.976, {24000, 1001}}, {29.97, {30000, 1001}}, {12.5, {25, 2}}};
  for (const auto& [fps, rate] : rates) {
    Shot s = RainyShot(kOfxBitDepthByte);
    s.layout.fps = fps;
    s.rate = rate;
    s.time = 17;
    shots.emplace_back("rate " + std::to_string(fps), s);
  }
  for (const auto& [top_down, origin] : {std::pair{true, OfxPointD{-20, 12}}, {false, OfxPointD{31, -7}}}) {
    Shot s = RainyShot(kOfxBitDepthByte);
    s.top_down = top_down;
    s.layout.origin = origin;
    shots.emplace_back(std::string(top_down ? "top-down" : "bottom-up") + " away from 0,0", s);
  }
  Shot rgb = RainyShot(kOfxBitDepthByte);
  rgb.layout.components = kOfxImageComponentRGB;
  shots.emplace_back("RGB source", rgb);
  Shot general = RainyShot(kOfxBitDepthFloat);
  general.context = kOfxImageEffectContextGeneral;
  shots.emplace_back("general context", general);
  for (const auto& [seed, mix, depth] : {std::tuple{5, 1.0, kOfxBitDepthByte}, {63, 0.35, kOfxBitDepthShort}}) {
    Shot s = RainyShot(depth);
    s.host_values = [seed = seed, mix = mix](Effect& e, const Layout& l) {
      Rainy(e, l);
      ByLabel(e, "Seed")->value = {static_cast<double>(seed)};
      ByLabel(e, "Mix")->value = {mix};
    };
    s.session_values = [seed = seed, mix = mix](session::Session& ses) {
      Rainy(ses);
      ses.SetSeed(seed);
      ses.SetMix(mix);
    };
    shots.emplace_back("seed " + std::to_string(seed) + " mix " + std::to_string(mix), s);
  }
  Shot before_zero = RainyShot(kOfxBitDepthByte);
  before_zero.time = -3;
  before_zero.session_frame = pluvane::ofx::kNegativeFrames - 3;
  shots.emplace_back("frame -3", before_zero);
  for (const auto& [what, shot] : shots) {
    SCOPED_TRACE(what);
    ExpectSameFrame(shot);
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
  EXPECT_NE(ThroughPlugin(a.host, s).pixels, ThroughPlugin(a.host, still).pixels);
}

// ---- mask --------------------------------------------------------------------------------

// A connected Mask is `pluvane render --matte` of the same picture's alpha
// (--matte-channel alpha), Invert Mask is --matte-invert, Mix goes on top;
// Alpha images as hosts hand a mask over, or RGBA from a host that does not
// convert. ofxcheck connects no Mask clip (only Source in the general
// context), so this is checked in our host only.
TEST(OpenFxAround, MaskClipIsTheCommandLinesMatte) {
  for (const char* depth : {kOfxBitDepthByte, kOfxBitDepthShort, kOfxBitDepthFloat})
    for (const char* components : {kOfxImageComponentAlpha, kOfxImageComponentRGBA})
      for (bool invert : {false, true}) {
        SCOPED_TRACE(std::string(depth) + " " + components + (invert ? " inverted" : ""));
        Shot s = RainyShot(depth);
        s.context = kOfxImageEffectContextGeneral;
        s.mask = Pattern(s.layout.width, s.layout.height, true);  // a quarter transparent, then a ramp to opaque
        s.mask_components = components;
        s.host_values = [invert](Effect& e, const Layout& l) {
          Rainy(e, l);
          ByLabel(e, "Mix")->value = {0.8};
          ByLabel(e, "Invert Mask")->value = {invert ? 1.0 : 0.0};
        };
        const session::Matte matte = MatteOfPicture(s.mask, s.layout.width, s.layout.height, depth, invert);
        s.session_values = [matte](session::Session& ses) {
          Rainy(ses);
          ses.SetMix(0.8);
          ses.SetMatte(matte);
        };
        ExpectSameFrame(s);
      }
  // A connected Mask without an image at the time (a shorter clip) is
  // transparent: the Source as it is, the rain everywhere when inverted.
  for (bool invert : {false, true}) {
    Shot s = RainyShot(kOfxBitDepthByte);
    s.context = kOfxImageEffectContextGeneral;
    s.mask_without_image = true;
    s.host_values = [invert](Effect& e, const Layout& l) {
      Rainy(e, l);
      ByLabel(e, "Invert Mask")->value = {invert ? 1.0 : 0.0};
    };
    Loaded l;
    const Rendered r = ThroughPlugin(l.host, s);
    EXPECT_EQ(r.status, kOfxStatOK);
    if (invert) EXPECT_EQ(r.pixels, ThroughSession(s));
    else EXPECT_EQ(r.pixels, Encode(Pattern(s.layout.width, s.layout.height, false), kOfxBitDepthByte));
  }
}

// Over a premultiplied Source, mix and mask work on the colour as the host
// stores it: Mix 0, and an inverted opaque Mask, give back the Source's
// bytes exactly; an opaque Mask at Mix 1 gives the frame without one.
TEST(OpenFxAround, PremultipliedSourceMixesAsStored) {
  for (const char* depth : {kOfxBitDepthByte, kOfxBitDepthShort, kOfxBitDepthFloat}) {
    SCOPED_TRACE(depth);
    Loaded l;
    Shot s = RainyShot(depth);
    s.context = kOfxImageEffectContextGeneral;
    s.transparent = true;
    s.layout.premultiplication = kOfxImagePreMultiplied;
    std::vector<unsigned char> source = Encode(Pattern(s.layout.width, s.layout.height, true), depth);
    ConvertAlpha(source, depth, false);
    const Rendered plain = ThroughPlugin(l.host, s);
    ASSERT_EQ(plain.status, kOfxStatOK);
    ASSERT_NE(plain.pixels, source);

    Shot mix0 = s;
    mix0.host_values = [](Effect& e, const Layout& lay) {
      Rainy(e, lay);
      ByLabel(e, "Mix")->value = {0};
    };
    EXPECT_EQ(ThroughPlugin(l.host, mix0).pixels, source);
    Shot opaque = s;
    opaque.mask = Pattern(s.layout.width, s.layout.height, false);
    EXPECT_EQ(ThroughPlugin(l.host, opaque).pixels, plain.pixels);
    opaque.host_values = [](Effect& e, const Layout& lay) {
      Rainy(e, lay);
      ByLabel(e, "Invert Mask")->value = {1};
    };
    EXPECT_EQ(ThroughPlugin(l.host, opaque).pixels, source);
  }
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

// An instance with plain Source and Output pictures attached, before
// `spoil` changes the host or the pictures.
struct Attached {
  Loaded l;
  Shot s = RainyShot(kOfxBitDepthByte);
  Effect* inst = nullptr;
  OfxRectI b = Bounds(s);
  Picture src, dst;
  explicit Attached(const std::function<void(Host&, Picture&, Picture&)>& spoil = {}) {
    inst = l.host.CreateInstance(s.context, s.layout);
    EXPECT_NE(inst, nullptr);
    if (!inst) return;
    src.bounds = dst.bounds = b;
    if (spoil) spoil(l.host, src, dst);
    src.Allocate(), dst.Allocate();
    inst->clips.at("Source")->picture = &src;
    inst->clips.at("Output")->picture = &dst;
  }
  OfxStatus Render() { return inst ? RenderAction(l.host, inst, s, b) : kOfxStatFailed; }
};

// A failing host call gives a failure status and an error message; an image
// the plug-in does not take fails cleanly.
TEST(OpenFxFailures, FailingCallsAndUnsupportedImagesFailCleanly) {
  const struct {
    const char* what;
    std::function<void(Host&, Picture&, Picture&)> spoil;
    bool message;
  } cases[] = {
      {"parameter reads fail", [](Host& h, Picture&, Picture&) { h.faults().fail_param_reads = true; }, true},
      {"no image", [](Host& h, Picture&, Picture&) { h.faults().fail_get_image = true; }, true},
      {"an image without data", [](Host& h, Picture&, Picture&) { h.faults().null_image_data = true; }, true},
      {"half-float depth", [](Host&, Picture& s, Picture&) { s.depth = "OfxBitDepthHalf"; }, false},
      {"alpha-only source", [](Host&, Picture& s, Picture&) { s.components = "OfxImageComponentAlpha"; }, false},
      {"RGB output", [](Host&, Picture&, Picture& d) { d.components = kOfxImageComponentRGB; }, false},
      {"output depth unlike the source", [](Host&, Picture&, Picture& d) { d.depth = kOfxBitDepthShort; }, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Attached a(c.spoil);
    EXPECT_NE(a.Render(), kOfxStatOK);
    if (!c.message) continue;
    ASSERT_FALSE(a.l.host.messages().empty());
    EXPECT_EQ(a.l.host.messages().back().rfind("OfxMessageError: ", 0), 0u) << a.l.host.messages().back();
  }
  // An instance whose parameters the host cannot find is refused.
  Loaded l;
  l.host.faults().fail_get_param_handle = true;
  OfxStatus st = kOfxStatOK;
  EXPECT_EQ(l.host.CreateInstance(kOfxImageEffectContextFilter, Layout{}, &st), nullptr);
  EXPECT_NE(st, kOfxStatOK);
}

// The host asks to stop: the render ends with a failure and no frame, and
// the next render runs. A handle that is no instance of ours is refused.
TEST(OpenFxFailures, AbortsAndStrangersFailCleanly) {
  Attached a;
  ASSERT_NE(a.inst, nullptr);
  a.inst->abort = true;
  EXPECT_EQ(a.Render(), kOfxStatFailed);
  a.inst->abort = false;
  EXPECT_EQ(a.Render(), kOfxStatOK);
  Effect stranger;
  EXPECT_NE(a.l.host.Call(kOfxImageEffectActionRender, stranger.handle(), nullptr), kOfxStatOK);
}

// A host that lacks a property the render needs: one message naming it.
TEST(OpenFxFailures, APropertyTheRenderNeedsFailsWithOneMessage) {
  Host host(PLUVANE_OFX_PATH);
  host.quirks().unknown_properties = {kOfxImageEffectPropSupportedPixelDepths};
  ASSERT_EQ(host.Load(), kOfxStatOK);
  EXPECT_EQ(host.Describe(), kOfxStatFailed);
  ASSERT_EQ(host.messages().size(), 1u);
  EXPECT_NE(host.messages()[0].find("OfxImageEffectPropSupportedPixelDepths"), std::string::npos) << host.messages()[0];
}

// An edit in the panel is answered while a render of the instance runs.
TEST(OpenFxThreads, InstanceChangedDoesNotWaitForARender) {
  Attached a;
  ASSERT_NE(a.inst, nullptr);
  Rainy(*a.inst, a.s.layout);
  Host& host = a.l.host;

  // The render holds at its first parameter read until the change is answered.
  std::mutex m;
  std::condition_variable cv;
  bool rendering = false, released = false, held_too_long = false;
  const std::thread::id tester = std::this_thread::get_id();
  host.faults().on_param_read = [&] {
    if (std::this_thread::get_id() == tester) return;
    std::unique_lock<std::mutex> lock(m);
    rendering = true;
    cv.notify_all();
    if (!cv.wait_for(lock, std::chrono::seconds(20), [&] { return released; })) held_too_long = true;
  };
  std::thread render([&] { EXPECT_EQ(a.Render(), kOfxStatOK); });
  {
    std::unique_lock<std::mutex> lock(m);
    ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(20), [&] { return rendering; })) << "the render never read a parameter";
  }
  PropertySet in;
  in.Strings(kOfxPropType, {kOfxTypeParameter});
  in.Strings(kOfxPropName, {ByLabel(*a.inst, "Light Type")->name});
  in.Strings(kOfxPropChangeReason, {"OfxChangeUserEdited"});
  in.Doubles(kOfxPropTime, {0});
  EXPECT_EQ(host.Call(kOfxActionInstanceChanged, a.inst->handle(), &in), kOfxStatOK);
  {
    std::lock_guard<std::mutex> lock(m);
    EXPECT_FALSE(held_too_long) << "instance changed waited for the render";
    released = true;
  }
  cv.notify_all();
  render.join();
  host.faults().on_param_read = nullptr;
}

}  // namespace
