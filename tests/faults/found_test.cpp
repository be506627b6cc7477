// Faults the sweep found, each pinned by the one failing call that showed it:
// a host call that throws std::bad_alloc in the middle of a render must come
// back as out of memory with everything the effect took given back.
#include <gtest/gtest.h>

#include <string>

#include "faults.h"
#include "host.h"
#include "host/params.h"
#include "world_util.h"

namespace {

using minihost::FaultKind;
using minihost::FaultLog;
using minihost::FaultPlan;
using minihost::MiniHost;

class FoundFault : public ::testing::Test {
 protected:
  FoundFault() : host(MiniHost::DefaultModulePath()) {
    host.settings().width = 8;
    host.settings().height = 6;
    host.settings().threads = 1;
  }
  void SetUp() override { ASSERT_EQ(host.ParamsSetup(), PF_Err_NONE); }
  void TearDown() override {
    if (minihost::faults::Armed()) minihost::faults::Disarm();
  }

  // Renders a frame in `format` by smart render with the first call of
  // `function` throwing; returns the effect's answer and what the host saw.
  PF_Err RenderThrowingAt(PF_PixelFormat format, const std::string& function, FaultLog* log) {
    auto input = host.NewWorld(8, 6, format);
    testutil::FillPattern(input.get());
    auto output = host.NewWorld(8, 6, format);
    minihost::FrameRequest r;
    r.time = 5;
    r.input = input.get();
    r.output = output.get();
    minihost::faults::Arm(FaultPlan{0, FaultKind::kError, PF_Cmd_SMART_RENDER});
    EXPECT_EQ(host.RenderFrame(r), PF_Err_NONE);
    const FaultLog counted = minihost::faults::Disarm();
    int at = 0;
    for (size_t i = 0; i < counted.calls.size() && !at; ++i)
      if (function == counted.calls[i].function) at = static_cast<int>(i + 1);
    EXPECT_NE(at, 0) << function << " is never called";
    minihost::faults::Arm(FaultPlan{at, FaultKind::kThrow, PF_Cmd_SMART_RENDER});
    const PF_Err err = host.RenderFrame(r);
    *log = minihost::faults::Disarm();
    EXPECT_EQ(log->failed_at, at);
    return err;
  }

  MiniHost host;
};

TEST_F(FoundFault, AThrowingPixelFormatQueryStillReleasesTheWorldSuite) {
  FaultLog log;
  EXPECT_EQ(RenderThrowingAt(PF_PixelFormat_ARGB32, "PF_GetPixelFormat", &log), PF_Err_OUT_OF_MEMORY);
  EXPECT_EQ(log.suites_held[std::string(kPFWorldSuite) + "/2"], 0);
  EXPECT_EQ(log.SuitesHeld(), 0);
}

TEST_F(FoundFault, AThrowingColourSuiteStillChecksTheColourControlIn) {
  for (PF_PixelFormat format : {PF_PixelFormat_ARGB64, PF_PixelFormat_ARGB128}) {
    FaultLog log;
    EXPECT_EQ(RenderThrowingAt(format, "PF_GetFloatingPointColorFromColorDef", &log), PF_Err_OUT_OF_MEMORY);
    EXPECT_EQ(log.params_held, 0);
    EXPECT_EQ(log.stray_checkins, 0);
    EXPECT_EQ(log.SuitesHeld(), 0);
  }
}

}  // namespace
