// Every host call fails, one at a time. For each command the effect answers,
// a first run counts every call the effect makes to the stand-in host; then
// the command is sent again once per call index with that call failing, in
// every way that call can fail. Each run must end with an error code (or
// success where the effect has a fallback for that failure, or nothing it
// promised depends on it: MaySucceed), and the host must get back every
// suite, world and control the effect took.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "minihost/composition.h"
#include "tests/support/fault_plan.h"
#include "tests/support/test_host.h"
#include "minihost/host.h"
#include "common/params.h"
#include "tests/support/world_util.h"

namespace {

using minihost::CallClass;
using minihost::FaultCall;
using minihost::FaultKind;
using minihost::FaultLog;
using minihost::FaultPlan;
using minihost::MiniHost;

constexpr A_long kW = 6, kH = 4;

std::vector<FaultKind> KindsFor(CallClass cls) {
  switch (cls) {
    case CallClass::kAcquire: return {FaultKind::kError, FaultKind::kNullSuite, FaultKind::kThrow};
    case CallClass::kCall: return {FaultKind::kError, FaultKind::kThrow};
    default: return {FaultKind::kError};
  }
}

const char* const kKindNames[] = {"error", "bad_alloc", "null suite"};  // by FaultKind

bool Named(const FaultCall& c, const char* name) { return std::string(c.function) == name; }

// Whether the effect may answer success when call `i` (0-based) of `calls`
// failed with `kind`. A std::bad_alloc must always come back as out of memory.
bool MaySucceed(const std::vector<FaultCall>& calls, size_t i, FaultKind kind) {
  const FaultCall& c = calls[i];
  if (kind == FaultKind::kThrow) return false;
  // A release counts as made; math and string results the effect cannot check.
  if (c.cls == CallClass::kRelease || c.cls == CallClass::kMath || c.cls == CallClass::kText) return true;
  // The field drawn on the render thread, the kernel per pixel, the depth from the deep flag.
  if (Named(c, "AcquireSuite"))
    return c.detail == std::string(kPFIterateGenericSuite) + "/1" || c.detail == std::string(kPFWorldSuite) + "/2" ||
           c.detail == std::string(kPluvaneIterateRowsSuite) + "/1";
  // A control read as 0, the 8-bit colour widened, the effect's own light.
  if (Named(c, "checkout_param") || Named(c, "PF_GetFloatingPointColorFromColorDef")) return true;
  if (std::string(c.function).rfind("AEGP_", 0) == 0) return true;
  if (Named(c, "PF_UpdateParamUI")) {  // only the command's last update gives its result
    for (size_t j = i + 1; j < calls.size(); ++j)
      if (Named(calls[j], "PF_UpdateParamUI")) return true;
    return false;
  }
  return false;
}

// The error the effect must answer when it does not succeed.
PF_Err ExpectedError(const FaultCall& c, FaultKind kind) {
  if (kind == FaultKind::kThrow) return PF_Err_OUT_OF_MEMORY;
  if (Named(c, "AcquireSuite")) return PF_Err_BAD_CALLBACK_PARAM;  // a missing suite
  if (Named(c, "PF_GetPixelFormat")) return PF_Err_BAD_CALLBACK_PARAM;  // no known pixel format
  return minihost::kInjectedError;  // a host error is passed back unchanged
}

// One command with the host state it is sent in.
struct Scenario {
  std::string name;
  PF_Cmd command;
  std::function<PF_Err()> run;
};

class FaultSweep : public ::testing::Test {
 protected:
  // One worker: the calls in one repeatable order.
  FaultSweep()
      : host(MiniHost::DefaultModulePath(), {.width = kW, .height = kH, .threads = 1, .thread_runner = {}}) {}
  void SetUp() override {
    ASSERT_EQ(host.ParamsSetup(), PF_Err_NONE);
    // A short life and a light rain: a few drops, each reaching into the layer.
    host.SetFixed(kParamLongevity, 0.1);
    host.SetFixed(kParamDripRate, 0.05);
  }
  void TearDown() override {
    if (minihost::faults::Armed()) minihost::faults::Disarm();
  }

  // Sweeps every call of `sc`; returns the counting run's calls.
  std::vector<FaultCall> Sweep(const Scenario& sc) {
    const int live = host.live_worlds();
    minihost::faults::Arm(FaultPlan{0, FaultKind::kError, sc.command});
    const PF_Err first = sc.run();
    const FaultLog counted = minihost::faults::Disarm();
    EXPECT_EQ(first, PF_Err_NONE) << sc.name << ": the counting run failed";
    CheckBalances(sc.name + ", counting run", counted, live, false);
    const std::vector<FaultCall>& calls = counted.calls;
    EXPECT_FALSE(calls.empty()) << sc.name;
    std::printf("%s: %zu calls\n", sc.name.c_str(), calls.size());

    for (size_t i = 0; i < calls.size(); ++i) {
      for (FaultKind kind : KindsFor(calls[i].cls)) {
        const std::string what = sc.name + ": call " + std::to_string(i + 1) + " of " +
                                 std::to_string(calls.size()) + " (" + calls[i].function +
                                 (calls[i].detail.empty() ? "" : " " + calls[i].detail) + ") fails with " +
                                 kKindNames[static_cast<int>(kind)];
        const int live_before = host.live_worlds();
        minihost::faults::Arm(FaultPlan{static_cast<int>(i + 1), kind, sc.command});
        const PF_Err err = sc.run();
        const FaultLog log = minihost::faults::Disarm();

        EXPECT_EQ(log.failed_at, static_cast<int>(i + 1)) << what << ": the call was not reached again";
        if (log.calls.size() > i) {
          EXPECT_STREQ(log.calls[i].function, calls[i].function) << what;
        }
        const bool dispose_failed = calls[i].cls == CallClass::kRelease &&
                                    (Named(calls[i], "dispose_world") || Named(calls[i], "PF_DisposeWorld"));
        CheckBalances(what, log, live_before, dispose_failed);
        if (err == PF_Err_NONE) {
          EXPECT_TRUE(MaySucceed(calls, i, kind)) << what << ": success after a failure that matters";
        } else {
          EXPECT_EQ(err, ExpectedError(calls[i], kind)) << what;
        }
        if (::testing::Test::HasFailure()) return calls;  // one report is enough
      }
    }
    return calls;
  }

  void CheckBalances(const std::string& what, const FaultLog& log, int live_before, bool dispose_failed) {
    for (auto& [suite, held] : log.suites_held) EXPECT_EQ(held, 0) << what << ": suite " << suite << " not released";
    EXPECT_EQ(log.unknown_releases, 0) << what << ": released something never handed out";
    EXPECT_EQ(log.worlds_held, 0) << what << ": a world was not disposed";
    EXPECT_EQ(log.params_held, 0) << what << ": a control was not checked in";
    EXPECT_LE(log.stray_checkins, log.failed_checkouts) << what << ": checked in a control never checked out";
    // A dispose the host refused leaves its world alive on the host's side.
    EXPECT_EQ(host.live_worlds(), live_before + (dispose_failed ? 1 : 0)) << what;
  }

  minihost::WorldPtr Layer(PF_PixelFormat format) {
    minihost::WorldPtr w = host.NewWorld(kW, kH, format);
    testutil::FillPattern(w.get());
    return w;
  }

  // Composition lights of every kind the effect reads, and a plain layer.
  void AddLights() {
    host.SetPopup(kParamUsing, kUsingAELights);
    using minihost::LightKind;
    auto& comp = host.composition();
    comp.AddLight({.position = {1, 1, -20}, .point_of_interest = {}});
    comp.AddPlainLayer();
    comp.AddLight({.type = LightKind::kSpot, .position = {3, 2, -30}, .point_of_interest = {{4, 2, 0}}});
    comp.AddLight({.type = LightKind::kParallel, .point_of_interest = {}, .parent_scale = 2});
    comp.AddLight({.type = LightKind::kAmbient, .point_of_interest = {}, .intensity = 30});
  }

  void SweepRender(PF_PixelFormat format, minihost::Protocol protocol, const std::string& name) {
    auto input = Layer(format);
    auto output = host.NewWorld(kW, kH, format);
    minihost::FrameRequest r{.time = 5, .input = input.get(), .output = output.get(), .protocol = protocol};
    const PF_Cmd cmd = protocol == minihost::Protocol::kSmart ? PF_Cmd_SMART_RENDER : PF_Cmd_RENDER;
    const std::vector<FaultCall> calls = Sweep({name, cmd, [&] { return host.RenderFrame(r); }});
    // The sweep covers the ripples only if a drop reaches into the layer.
    if (host.params()[kParamLongevity].u.fd.value != 0) {
      int sines = 0;
      for (const FaultCall& c : calls) sines += Named(c, "sin");
      EXPECT_GT(sines, 1) << name << ": no ripple drawn";
    }
  }

  minihost::TestHost host;
};

const struct {
  PF_PixelFormat format;
  const char* name;
} kDepths[] = {{PF_PixelFormat_ARGB32, "8-bit"}, {PF_PixelFormat_ARGB64, "16-bit"}, {PF_PixelFormat_ARGB128, "float"}};

TEST_F(FaultSweep, SetUpCommands) {
  std::string text;
  Sweep({"about", PF_Cmd_ABOUT, [&] { return host.About(&text, "host text"); }});
  Sweep({"params set-up", PF_Cmd_PARAMS_SETUP, [&] { return host.ParamsSetup(); }});
  // Global set-up makes no host call: nothing to fail, and it must not need any.
  minihost::faults::Arm(FaultPlan{0, FaultKind::kError, PF_Cmd_GLOBAL_SETUP});
  PF_OutData out{};
  EXPECT_EQ(host.GlobalSetup(&out), PF_Err_NONE);
  EXPECT_TRUE(minihost::faults::Disarm().calls.empty());
}

TEST_F(FaultSweep, ControlEnablingAndDynamicFlags) {
  for (A_long using_light : {1, 2}) {
    for (A_long light_type : {1, 2}) {
      host.SetPopup(kParamUsing, using_light);
      host.SetPopup(kParamLightType, light_type);
      const std::string suffix = " (Using " + std::to_string(using_light) + ", type " + std::to_string(light_type) + ")";
      for (PF_Cmd cmd : {PF_Cmd_USER_CHANGED_PARAM, PF_Cmd_UPDATE_PARAMS_UI})
        Sweep({(cmd == PF_Cmd_USER_CHANGED_PARAM ? "user changed param" : "update params UI") + suffix, cmd,
               [&] { return host.UpdateParamsUI(cmd); }});
    }
    Sweep({"dynamic flags, Using " + std::to_string(using_light), PF_Cmd_QUERY_DYNAMIC_FLAGS,
           [&] { return host.Call(PF_Cmd_QUERY_DYNAMIC_FLAGS, 5); }});
  }
}

// The effect's own light, then composition lights, at every depth by both protocols.
TEST_F(FaultSweep, RenderWithEitherLight) {
  for (const std::string lights : {"effect light, ", "composition lights, "}) {
    if (lights != "effect light, ") AddLights();
    for (auto& d : kDepths) {
      SweepRender(d.format, minihost::Protocol::kSmart, "smart render, " + lights + d.name);
      SweepRender(d.format, minihost::Protocol::kClassic, "classic render, " + lights + d.name);
    }
  }
}

// The pre-render; a render of no water, which copies the layer through; an
// empty area asked for, where the output is cleared.
TEST_F(FaultSweep, PreRenderAndRendersOfNoWaterOrNothing) {
  auto input = Layer(PF_PixelFormat_ARGB32);
  auto output = host.NewWorld(kW, kH, PF_PixelFormat_ARGB32);
  minihost::FrameRequest r{.time = 5, .input = input.get(), .output = output.get()};
  Sweep({"smart pre-render", PF_Cmd_SMART_PRE_RENDER, [&] { return host.RenderFrame(r); }});
  host.SetFixed(kParamLongevity, 0);
  SweepRender(PF_PixelFormat_ARGB64, minihost::Protocol::kClassic, "classic render, no water");
  r = {.input = input.get(), .output = output.get(), .has_request = true, .request = {2, 1, 2, 3}};
  Sweep({"smart render, empty request", PF_Cmd_SMART_RENDER, [&] { return host.RenderFrame(r); }});
}

}  // namespace
