// The plug-in in hosts as they are: our declarations against the standard's
// names, a strict host that refuses what it does not know, and each
// behaviour of real hosts that once broke the plug-in.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

#include "openfx_plugin/instance.h"
#include "tests/openfx/plugin_fixture.h"

namespace {

using namespace ofxfixture;
using ofxtest::Quirks;

// "name" -> "value" of every `inline constexpr` in ofx_api/ofx_api.h.
std::vector<std::pair<std::string, std::string>> DeclaredIdentifiers() {
  std::ifstream file(PLUVANE_OFX_API_HEADER);
  std::vector<std::pair<std::string, std::string>> out;
  const std::string lead = "inline constexpr ";
  for (std::string line; std::getline(file, line);) {
    if (line.rfind(lead, 0) != 0) continue;
    const size_t name_at = line.find(' ', lead.size()) + 1;
    const size_t name_end = line.find_first_of("[ ", name_at);
    const size_t eq = line.find("= ", name_end);
    const size_t semi = line.find(';', eq);
    std::string value = line.substr(eq + 2, semi - eq - 2);
    if (value.size() >= 2 && value.front() == '"') value = value.substr(1, value.size() - 2);
    out.emplace_back(line.substr(name_at, name_end - name_at), value);
  }
  return out;
}

TEST(OpenFxStandard, EveryDeclaredIdentifierIsTheStandards) {
  const auto declared = DeclaredIdentifiers();
  size_t checked = 0;
  for (const auto& [name, value] : declared) {
    std::string standard = "(unknown to the strict host)";
    for (const auto& k : ofxtest::KnownProperties())
      if (name == k.macro) standard = k.name;
    for (const auto& k : ofxtest::KnownValues())
      if (name == k.macro) standard = k.value;
    EXPECT_EQ(value, standard) << name;
    checked += value == standard;
  }
  EXPECT_GE(declared.size(), 96u);
  std::printf("%zu identifiers of ofx_api/ofx_api.h checked, %zu equal to the standard's\n", declared.size(), checked);
}

TEST(OpenFxStandard, TheTestHostRefusesWhatItDoesNotKnow) {
  Loaded l;
  OfxHost* h = l.host.ofx_host();
  const auto* props = static_cast<const OfxPropertySuiteV1*>(h->fetchSuite(h->host, kOfxPropertySuite, 1));
  ASSERT_NE(props, nullptr);
  PropertySet set;
  EXPECT_EQ(props->propSetInt(set.handle(), "OfxImageEffectPropSupportsMultipleClipDepths", 0, 0), kOfxStatErrUnknown);
  EXPECT_EQ(props->propSetString(set.handle(), "OfxImagePreMultiplied", 0, "x"), kOfxStatErrUnknown);
  EXPECT_EQ(props->propSetString(set.handle(), kOfxImagePropBounds, 0, "x"), kOfxStatErrValue);
  EXPECT_EQ(props->propSetInt(set.handle(), kOfxImagePropBounds, 4, 0), kOfxStatErrBadIndex);
  EXPECT_EQ(props->propSetInt(set.handle(), kOfxImagePropBounds, 3, 0), kOfxStatOK);
  EXPECT_EQ(props->propSetDouble(set.handle(), "OfxImageClipPropRoI_Source", 3, 1.0), kOfxStatOK);
}

// Rain with the point light at its default place, in a frame away from the origin with wide pixels.
Shot PointLightShot(const std::string& depth) {
  Shot s = RainyShot(depth);
  s.layout.width = 96, s.layout.height = 54;
  s.layout.par = 2.0;
  s.layout.origin = {-14, 6};
  s.host_values = [](Effect& e, const Layout& l) {
    Rainy(e, l);
    ByLabel(e, "Light Type")->value = {1};
  };
  s.session_values = [](session::Session& ses) {
    Rainy(ses);
    ses.SetChoice(ses.Control("Light Type"), 2);
  };
  return s;
}

TEST(OpenFxHosts, OptionalPropertiesAreSkippedWhereTheHostLacksThem) {
  {
    Loaded l;  // a host that knows them all gets them all
    EXPECT_FALSE(l.host.descriptor().props.String(kOfxPropPluginDescription).empty());
    const PropertySet& pos = ByLabel(l.host.context_descriptor(kOfxImageEffectContextFilter), "Light Position")->props;
    EXPECT_EQ(pos.Int(kOfxParamPropUseHostOverlayHandle), 1);  // hosts draw a handle for it
  }
  // Resolve's missing description and default coordinate system, HostSupport's
  // missing overlay handle, and the hints a host may not show.
  Quirks q;
  q.unknown_properties = {kOfxPropPluginDescription, kOfxParamPropDefaultCoordinateSystem, kOfxParamPropUseHostOverlayHandle,
                          kOfxImageEffectPluginPropGrouping, kOfxParamPropScriptName, kOfxParamPropDigits,
                          kOfxImageEffectPropSupportsMultipleClipDepths, kOfxImageEffectPluginPropHostFrameThreading};
  for (const char* depth : {kOfxBitDepthByte, kOfxBitDepthFloat}) {
    SCOPED_TRACE(depth);
    ExpectSameFrame(PointLightShot(depth), q);  // the light stands where the default puts it
  }
  Loaded l(q);
  const Layout layout = PointLightShot(kOfxBitDepthByte).layout;
  Effect* inst = l.host.CreateInstance(kOfxImageEffectContextFilter, layout);
  ASSERT_NE(inst, nullptr);
  EXPECT_EQ(ByLabel(*inst, "Light Position")->value,
            (std::vector<double>{-14 + 0.25 * 96 * 2, 6 + 0.75 * 54}));
}

TEST(OpenFxHosts, APropertyTheRenderNeedsFailsWithOneMessage) {
  Host host(PLUVANE_OFX_PATH);
  host.quirks().unknown_properties = {kOfxImageEffectPropSupportedPixelDepths};
  ASSERT_EQ(host.Load(), kOfxStatOK);
  EXPECT_EQ(host.Describe(), kOfxStatFailed);
  ASSERT_EQ(host.messages().size(), 1u);
  EXPECT_NE(host.messages()[0].find("OfxImageEffectPropSupportedPixelDepths"), std::string::npos) << host.messages()[0];
}

TEST(OpenFxHosts, EveryNumberDeclaresRangesAndPositionsSpanTheFrame) {
  Quirks q;
  q.clamp_unranged_doubles = true;
  ExpectSameFrame(PointLightShot(kOfxBitDepthShort), q);  // the light is not clamped into a corner
  Loaded l(q);
  for (const auto& p : l.host.context_descriptor(kOfxImageEffectContextFilter).params.params) {
    if (p->type != kOfxParamTypeDouble && p->type != kOfxParamTypeDouble2D) continue;
    for (const char* r : {kOfxParamPropMin, kOfxParamPropMax, kOfxParamPropDisplayMin, kOfxParamPropDisplayMax})
      EXPECT_TRUE(p->props.Find(r)) << p->name << " " << r;
  }
  const Layout layout = PointLightShot(kOfxBitDepthByte).layout;
  Effect* inst = l.host.CreateInstance(kOfxImageEffectContextFilter, layout);
  ASSERT_NE(inst, nullptr);
  const PropertySet& pos = ByLabel(*inst, "Light Position")->props;
  EXPECT_EQ(pos.Double(kOfxParamPropDisplayMin, 0), -14);
  EXPECT_EQ(pos.Double(kOfxParamPropDisplayMin, 1), 6);
  EXPECT_EQ(pos.Double(kOfxParamPropDisplayMax, 0), -14 + 96 * 2);
  EXPECT_EQ(pos.Double(kOfxParamPropDisplayMax, 1), 6 + 54);
}

TEST(OpenFxHosts, FrameRateFromTheSourceTheEffectOrTheDefault) {
  Quirks none;
  none.no_frame_rate = true;
  Shot s = RainyShot(kOfxBitDepthByte);
  s.time = 17;
  s.rate = pluvane::ofx::DefaultRate();
  EXPECT_EQ(s.rate, (session::Rational{30, 1}));  // as the README says
  const auto messages = ExpectSameFrame(s, none);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0], "OfxMessageWarning: the host gave no frame rate; pluvane renders at 30 fps");

  // The effect's rate when the clips have none; the Source's before the effect's.
  const auto effect_rate = [](Effect& e, const Layout& l) {
    Rainy(e, l);
    e.props.Doubles(kOfxImageEffectPropFrameRate, {24});
  };
  s.host_values = effect_rate;
  s.rate = {24, 1};
  EXPECT_TRUE(ExpectSameFrame(s, none).empty());
  s.rate = {25, 1};  // the Source clip's, the layout's
  ExpectSameFrame(s);
}

TEST(OpenFxHosts, RegionsInScaledPixelsGiveTheWholeFrame) {
  Quirks q;
  q.scaled_regions = true;
  for (int den : {1, 2})
    for (const char* depth : {kOfxBitDepthByte, kOfxBitDepthFloat}) {
      SCOPED_TRACE(std::string(depth) + " at scale 1/" + std::to_string(den));
      Shot s = PointLightShot(depth);
      s.scale_den = den;
      ExpectSameFrame(s, q);
    }
}

TEST(OpenFxHosts, RainMovesOverAStillInACachingHost) {
  Shot s = RainyShot(kOfxBitDepthByte);
  s.caching_host = true;
  s.time = 7;
  ExpectSameFrame(s);
}

TEST(OpenFxHosts, NegativeFramesRainLikeAnyOther) {
  std::vector<unsigned char> previous;
  for (double time : {-3.0, -2.0}) {
    Shot s = RainyShot(kOfxBitDepthByte);
    s.time = time;
    s.session_frame = pluvane::ofx::kNegativeFrames + static_cast<long long>(time);
    ExpectSameFrame(s);
    Loaded l;
    const Rendered r = ThroughPlugin(l.host, s);
    EXPECT_NE(r.pixels, previous);  // the rain moves from frame to frame
    previous = r.pixels;
  }
  EXPECT_EQ(pluvane::ofx::SessionFrame(-1, 1 << 30), pluvane::ofx::kNegativeFrames - 1);
  EXPECT_EQ(pluvane::ofx::SessionFrame(-pluvane::ofx::kNegativeFrames, 1 << 30), 0);
}

TEST(OpenFxHosts, InstanceChangedDoesNotWaitForARender) {
  Loaded l;
  Shot s = RainyShot(kOfxBitDepthByte);
  Effect* inst = l.host.CreateInstance(s.context, s.layout);
  ASSERT_NE(inst, nullptr);
  Rainy(*inst, s.layout);
  const OfxRectI b = Bounds(s);
  Picture src, dst;
  src.bounds = dst.bounds = b;
  src.Allocate(), dst.Allocate();
  inst->clips.at("Source")->picture = &src;
  inst->clips.at("Output")->picture = &dst;

  // The render holds at its first parameter read until the change is answered.
  std::mutex m;
  std::condition_variable cv;
  bool rendering = false, released = false, held_too_long = false;
  const std::thread::id tester = std::this_thread::get_id();
  l.host.faults().on_param_read = [&] {
    if (std::this_thread::get_id() == tester) return;
    std::unique_lock<std::mutex> lock(m);
    rendering = true;
    cv.notify_all();
    if (!cv.wait_for(lock, std::chrono::seconds(20), [&] { return released; })) held_too_long = true;
  };
  std::thread render([&] { EXPECT_EQ(RenderAction(l.host, inst, s, b), kOfxStatOK); });
  {
    std::unique_lock<std::mutex> lock(m);
    ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(20), [&] { return rendering; })) << "the render never read a parameter";
  }
  PropertySet in;
  in.Strings(kOfxPropType, {kOfxTypeParameter});
  in.Strings(kOfxPropName, {ByLabel(*inst, "Light Type")->name});
  in.Strings(kOfxPropChangeReason, {"OfxChangeUserEdited"});
  in.Doubles(kOfxPropTime, {0});
  EXPECT_EQ(l.host.Call(kOfxActionInstanceChanged, inst->handle(), &in), kOfxStatOK);
  {
    std::lock_guard<std::mutex> lock(m);
    EXPECT_FALSE(held_too_long) << "instance changed waited for the render";
    released = true;
  }
  cv.notify_all();
  render.join();
  l.host.faults().on_param_read = nullptr;
}

}  // namespace
