// Faults the sweep found, each pinned by the one failing call that showed it:
// a host call that throws std::bad_alloc in the middle of a render must come
// back as out of memory with everything the effect took given back, and a
// NaN from the host's math must not turn into undefined behaviour.
#include <gtest/gtest.h>

#include <string>

#include "tests/support/fault_plan.h"
#include "tests/support/test_host.h"
#include "minihost/host.h"
#include "common/params.h"
#include "tests/support/world_util.h"

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
  // `function` (after the first call of `after`, when given) failing with
  // `kind`; returns the effect's answer and what the host saw.
  PF_Err RenderFailingAt(PF_PixelFormat format, const std::string& function, FaultKind kind, FaultLog* log,
                         const std::string& after = "") {
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
    bool past = after.empty();
    for (size_t i = 0; i < counted.calls.size() && !at; ++i) {
      if (past && function == counted.calls[i].function) at = static_cast<int>(i + 1);
      if (after == counted.calls[i].function) past = true;
    }
    EXPECT_NE(at, 0) << function << " is never called";
    minihost::faults::Arm(FaultPlan{at, kind, PF_Cmd_SMART_RENDER});
    const PF_Err err = host.RenderFrame(r);
    *log = minihost::faults::Disarm();
    EXPECT_EQ(log->failed_at, at);
    return err;
  }

  minihost::TestHost host;
};

TEST_F(FoundFault, AThrowingPixelFormatQueryStillReleasesTheWorldSuite) {
  FaultLog log;
  EXPECT_EQ(RenderFailingAt(PF_PixelFormat_ARGB32, "PF_GetPixelFormat", FaultKind::kThrow, &log), PF_Err_OUT_OF_MEMORY);
  EXPECT_EQ(log.suites_held[std::string(kPFWorldSuite) + "/2"], 0);
  EXPECT_EQ(log.SuitesHeld(), 0);
}

TEST_F(FoundFault, AThrowingColourSuiteStillChecksTheColourControlIn) {
  for (PF_PixelFormat format : {PF_PixelFormat_ARGB64, PF_PixelFormat_ARGB128}) {
    FaultLog log;
    EXPECT_EQ(RenderFailingAt(format, "PF_GetFloatingPointColorFromColorDef", FaultKind::kThrow, &log), PF_Err_OUT_OF_MEMORY);
    EXPECT_EQ(log.params_held, 0);
    EXPECT_EQ(log.stray_checkins, 0);
    EXPECT_EQ(log.SuitesHeld(), 0);
  }
}

// The kernel's first square root (of the first rippled pixel) comes back NaN: the pixel's
// blur radius must not come from converting NaN to an integer (the sanitized
// build checks every such conversion in the effect), and the frame still renders.
// Both forms of the pass: by rows, and per pixel on a host without rows.
TEST_F(FoundFault, ANaNSquareRootInThePixelPassIsNoUndefinedConversion) {
  for (bool rows : {true, false}) {
    if (!rows) host.RemoveSuite(kPluvaneIterateRowsSuite, kPluvaneIterateRowsSuiteVersion1);
    for (PF_PixelFormat format : {PF_PixelFormat_ARGB32, PF_PixelFormat_ARGB64, PF_PixelFormat_ARGB128}) {
      FaultLog log;
      // The row iteration, or the utility callback's iterate (8-bit),
      // iterate16, or the float suite's iterate.
      const std::string iterate = rows ? "iterate_rows" : format == PF_PixelFormat_ARGB64 ? "iterate16" : "iterate";
      EXPECT_EQ(RenderFailingAt(format, "sqrt", FaultKind::kError, &log, iterate), PF_Err_NONE) << iterate;
      EXPECT_EQ(log.SuitesHeld(), 0);
      EXPECT_EQ(log.worlds_held, 0);
    }
  }
}

}  // namespace
