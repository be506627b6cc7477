// The OpenFX plug-in in our own OFX host, for what ofxcheck (a host on the
// official host library, ofxcheck_test.py) cannot do: a connected Mask clip,
// instances on several threads, a panel's change during a render, and a host
// whose calls fail or whose images the plug-in cannot take.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <mutex>
#include <set>
#include <thread>

#include "tests/openfx/plugin_fixture.h"

namespace {

using namespace ofxfixture;

// A connected Mask is `pluvane render --matte` of a picture with that alpha
// (--matte-channel alpha), Invert Mask is --matte-invert; an Alpha image as
// hosts hand a mask over, or RGBA from a host that does not convert; in each
// depth, and under an RGB Source. A Mask connected without an image at the
// time (a shorter clip) is transparent, and over a premultiplied Source an
// inverted opaque Mask gives back the Source's bytes.
TEST(OpenFxAround, MaskClipIsTheCommandLinesMatte) {
  Loaded l;
  struct Case {
    const char *depth, *mask;
    bool invert;
    const char* source = kOfxImageComponentRGBA;
  };
  for (const Case& c : {Case{kOfxBitDepthByte, kOfxImageComponentAlpha, false}, Case{kOfxBitDepthShort, kOfxImageComponentRGBA, true},
                        Case{kOfxBitDepthFloat, kOfxImageComponentAlpha, true},
                        Case{kOfxBitDepthByte, kOfxImageComponentRGBA, false, kOfxImageComponentRGB}}) {
    SCOPED_TRACE(std::string(c.depth) + " " + c.mask + (c.invert ? " inverted, " : ", ") + c.source + " source");
    Shot s{.layout{.depth = c.depth, .components = c.source}, .context = kOfxImageEffectContextGeneral};
    s.mask = Pattern(s.layout.width, s.layout.height, true);  // a quarter transparent, then a ramp to opaque
    s.mask_components = c.mask;
    s.values = {{"Invert Mask", c.invert}};
    EXPECT_EQ(ThroughPlugin(l.host, s), ThroughSession(s, c.invert));
  }
  Shot s{.context = kOfxImageEffectContextGeneral};
  Instance i(l.host, s);
  ASSERT_NE(i.effect, nullptr);
  i.effect->clips.at("Mask")->props.Ints(kOfxImageClipPropConnected, {1});
  EXPECT_EQ(i.Render(), kOfxStatOK);
  EXPECT_EQ(i.dst.memory, i.src.memory);

  s.layout.premultiplication = kOfxImagePreMultiplied;
  s.mask = Pattern(s.layout.width, s.layout.height, false);
  s.values = {{"Invert Mask", 1}};
  EXPECT_EQ(ThroughPlugin(l.host, s), Encode(Pattern(s.layout.width, s.layout.height, false), s.layout.depth));
}

// Instances rendering at once from several threads, each frame on the host's
// thread pool, give what one instance gives alone.
TEST(OpenFxThreads, InstancesOnSeveralThreadsEqualOneInstance) {
  Loaded l;
  Shot s{.layout{.depth = kOfxBitDepthFloat}};
  const double times[] = {3, 8, 21};
  std::vector<std::vector<unsigned char>> alone;
  for (double t : times) {
    s.time = t;
    alone.push_back(ThroughPlugin(l.host, s));
  }
  constexpr int kInstances = 3;
  std::vector<std::unique_ptr<Instance>> insts;
  for (int i = 0; i < kInstances; ++i) {
    insts.push_back(std::make_unique<Instance>(l.host, s));
    ASSERT_NE(insts.back()->effect, nullptr);
  }
  std::vector<std::vector<std::vector<unsigned char>>> got(kInstances);
  std::vector<std::thread> threads;
  for (int i = 0; i < kInstances; ++i)
    threads.emplace_back([&, i] {
      for (double t : times) {
        insts[i]->shot.time = t;
        if (insts[i]->Render() == kOfxStatOK) got[i].push_back(insts[i]->dst.memory);
      }
    });
  for (auto& t : threads) t.join();
  for (int i = 0; i < kInstances; ++i) EXPECT_EQ(got[i], alone) << "instance " << i;
}

// An edit in the panel is answered while a render of the instance runs: the
// render holds at its first parameter read until the change is answered.
TEST(OpenFxThreads, InstanceChangedDoesNotWaitForARender) {
  Loaded l;
  Instance i(l.host, Shot{});
  ASSERT_NE(i.effect, nullptr);
  std::promise<void> reading, answered;
  std::atomic<bool> held{false};
  bool held_too_long = false;
  const std::thread::id tester = std::this_thread::get_id();
  l.host.fail = [&](const std::string& call) {
    if (call.rfind("paramGetValue", 0) == 0 && std::this_thread::get_id() != tester && !held.exchange(true)) {
      reading.set_value();
      held_too_long = answered.get_future().wait_for(std::chrono::seconds(20)) != std::future_status::ready;
    }
    return false;
  };
  std::thread render([&] { EXPECT_EQ(i.Render(), kOfxStatOK); });
  EXPECT_EQ(reading.get_future().wait_for(std::chrono::seconds(20)), std::future_status::ready) << "the render read no parameter";
  PropertySet in;
  in.Strings(kOfxPropType, {kOfxTypeParameter});
  in.Strings(kOfxPropName, {"lightType"});
  in.Strings(kOfxPropChangeReason, {"OfxChangeUserEdited"});
  in.Doubles(kOfxPropTime, {0});
  EXPECT_EQ(l.host.Call(kOfxActionInstanceChanged, i.effect->handle(), &in), kOfxStatOK);
  answered.set_value();
  render.join();
  EXPECT_FALSE(held_too_long) << "instance changed waited for the render";
}

// Every call the plug-in makes to the host, failing in turn from load to
// render: the plug-in returns a failure status or the frame it renders
// without the failure; a failed or other frame comes with a message (unless
// the host asked to stop), and the instance renders the frame once the host
// works again. Images the plug-in does not take fail the render with a
// status, as do a handle that is no instance of it and a host without a host
// structure.
TEST(OpenFxFailures, FailingHostCallsAndImagesItCannotTakeFailCleanly) {
  const Shot s;
  std::mutex m;
  std::set<std::string> calls;
  const auto attempt = [&](const std::string& failing, std::vector<unsigned char>* frame) {
    SCOPED_TRACE(failing.empty() ? "no failure" : "failing " + failing);
    Host host(PLUVANE_OFX_PATH);
    host.fail = [&](const std::string& call) {
      std::lock_guard<std::mutex> lock(m);
      calls.insert(call);
      return call == failing;
    };
    OfxStatus st = host.Load();
    if (st != kOfxStatOK) {
      EXPECT_EQ(st, kOfxStatErrMissingHostFeature);
      return;
    }
    if (host.Describe() != kOfxStatOK || host.DescribeInContext(s.context) != kOfxStatOK) return;
    Instance i(host, s);
    if (!i.effect) {
      EXPECT_NE(i.created, kOfxStatOK);
      return;
    }
    const bool rendered = i.Render() == kOfxStatOK;
    EXPECT_TRUE(failing != "abort" || !rendered) << "the render went on after the host asked to stop";
    if (frame->empty()) *frame = i.dst.memory;
    // Another frame only with a word to the host (no frame rate: the default rate).
    EXPECT_TRUE((rendered && i.dst.memory == *frame) || failing == "abort" || !host.messages().empty())
        << (rendered ? "another frame" : "a failure") << " without a message";
    host.fail = nullptr;
    EXPECT_EQ(i.Render(), kOfxStatOK);
    EXPECT_EQ(i.dst.memory, *frame);
  };
  std::vector<unsigned char> frame;
  attempt("", &frame);
  ASSERT_NE(frame, Encode(Pattern(s.layout.width, s.layout.height, false), s.layout.depth)) << "no rain";
  ASSERT_GT(calls.size(), 50u);
  for (const std::string& call : std::set<std::string>(calls)) attempt(call, &frame);

  const std::pair<const char*, std::function<void(Instance&)>> spoilt[] = {
      {"an image without data", [](Instance& i) { i.src.memory.clear(); }},
      {"half-float depth", [](Instance& i) { i.src.depth = i.dst.depth = "OfxBitDepthHalf", i.src.Allocate(), i.dst.Allocate(); }},
      {"alpha-only source", [](Instance& i) { i.src.components = kOfxImageComponentAlpha; }},
      {"RGB output", [](Instance& i) { i.dst.components = kOfxImageComponentRGB; }},
      {"output depth unlike the source", [](Instance& i) { i.dst.depth = kOfxBitDepthShort, i.dst.Allocate(); }},
  };
  {
    Loaded l;
    for (const auto& [what, spoil] : spoilt) {
      Instance i(l.host, s);
      spoil(i);
      EXPECT_NE(i.Render(), kOfxStatOK) << what;
    }
    Effect stranger;
    EXPECT_NE(l.host.Call(kOfxImageEffectActionRender, stranger.handle(), nullptr), kOfxStatOK);
  }
  Host hostless(PLUVANE_OFX_PATH);
  hostless.plugin()->setHost(nullptr);
  EXPECT_EQ(hostless.Call(kOfxActionLoad, nullptr), kOfxStatErrMissingHostFeature);
}

}  // namespace
