// The entry point: command table, about text, global set-up and the guard.
// (Every host call failing in every command: tests/faults.)
#include <cstring>

#include "tests/support/host_fixture.h"

namespace {

using minihost::CallContext;

constexpr char kAboutStart[] =
    "Orlumen 1.7.1\rQX Pluvane, v1.6  (ELF x86-64)\rSimulate raindrops rippling the layer as a surface.";

TEST_F(ParamsHostTest, UnhandledCommandsReturnSuccessAndTouchNothing) {
  const PF_Cmd unhandled[] = {2, 3, 5, 6, 7, 8, 9, 10, 12, 15, 16, 17, 19, 20, 21, 22, 25, 26, 1000, -1, -100};
  for (PF_Cmd cmd : unhandled) {
    CallContext ctx;
    host.PrepareContext(ctx, 0);
    std::memset(&ctx.out_data, 0x5A, sizeof ctx.out_data);
    const PF_OutData before = ctx.out_data;
    host.recorder().acquired = 0;
    host.recorder().ClearCheckoutLog();
    EXPECT_EQ(host.Invoke(cmd, ctx, nullptr, nullptr), PF_Err_NONE) << "command " << cmd;
    EXPECT_EQ(std::memcmp(&before, &ctx.out_data, sizeof before), 0) << "command " << cmd;
    EXPECT_EQ(host.total_acquired(), 0) << "command " << cmd;
    EXPECT_TRUE(host.recorder().checked_out().empty()) << "command " << cmd;
  }
}

// The about text, with the host's own text appended, cut to the 255
// characters the host's message holds, also after a preset of 256 bytes
// without a terminator.
TEST_F(HostTest, AboutAppendsTheHostTextWithinItsMessage) {
  for (const std::string& preset : {std::string(), std::string(" (c) host"), std::string(200, 'x'), std::string(256, 'y')}) {
    std::string text;
    ASSERT_EQ(host.About(&text, preset), PF_Err_NONE);
    EXPECT_EQ(text, (std::string(kAboutStart) + preset).substr(0, 255)) << preset.size();
  }
}

TEST_F(HostTest, GlobalSetupSetsVersionAndOrsFlags) {
  PF_OutData out{};
  out.out_flags = 1 << 20;
  out.out_flags2 = 1 << 30;
  ASSERT_EQ(host.GlobalSetup(&out), PF_Err_NONE);
  // Version 1.6, release: major in bits 19 and up, minor from bit 15, the stage from bit 9.
  EXPECT_EQ(out.my_version, (1u << 19) | (6u << 15) | (static_cast<A_u_long>(PF_Stage_RELEASE) << 9));
  EXPECT_EQ(out.out_flags, (1 << 20) | PF_OutFlag_WIDE_TIME_INPUT | PF_OutFlag_NON_PARAM_VARY |
                               PF_OutFlag_DEEP_COLOR_AWARE | PF_OutFlag_SEND_UPDATE_PARAMS_UI);
  EXPECT_EQ(out.out_flags2, (1 << 30) | PF_OutFlag2_SUPPORTS_QUERY_DYNAMIC_FLAGS | PF_OutFlag2_I_USE_3D_LIGHTS |
                                PF_OutFlag2_SUPPORTS_SMART_RENDER | PF_OutFlag2_FLOAT_COLOR_AWARE);
}

// The set-up commands work without the basic suite; every command that
// builds its environment from it refuses to run without it.
TEST_F(HostTest, OnlyTheSetUpCommandsRunWithoutTheBasicSuite) {
  host.faults().no_basic_suite = true;
  std::string text;
  EXPECT_EQ(host.About(&text), PF_Err_NONE);
  PF_OutData out{};
  EXPECT_EQ(host.GlobalSetup(&out), PF_Err_NONE);
  EXPECT_EQ(host.ParamsSetup(), PF_Err_NONE);
  for (PF_Cmd cmd : {PF_Cmd_RENDER, PF_Cmd_USER_CHANGED_PARAM, PF_Cmd_UPDATE_PARAMS_UI,
                     PF_Cmd_QUERY_DYNAMIC_FLAGS, PF_Cmd_SMART_PRE_RENDER, PF_Cmd_SMART_RENDER}) {
    EXPECT_EQ(host.Call(cmd), PF_Err_BAD_CALLBACK_PARAM) << "command " << cmd;
  }
}

}  // namespace
