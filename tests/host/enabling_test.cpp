// Greying out the light controls the current choices leave idle.
#include <cstring>

#include "common/params.h"
#include "tests/support/host_fixture.h"

namespace {

using minihost::ParamUIUpdate;

// For each choice of "Using" and "Light Type", both commands redraw the six
// light controls (indices 9 to 14), disabling the idle ones. Disabling closes
// sliders and angles; enabling never clears that, and other controls keep
// their flags.
TEST_F(ParamsHostTest, TheLightChoicesDisableTheIdleLightControls) {
  struct Case { A_long using_light, type; int disabled[6]; };
  for (const Case& c : {Case{kUsingEffectLight, kLightTypeDistant, {0, 0, 0, 0, 1, 0}},
                        {kUsingEffectLight, kLightTypePoint, {0, 0, 0, 0, 0, 1}},
                        {kUsingAELights, kLightTypeDistant, {1, 1, 1, 1, 1, 1}},
                        {kUsingAELights, kLightTypePoint, {1, 1, 1, 1, 1, 1}}}) {
    host.SetPopup(kParamUsing, c.using_light);
    host.SetPopup(kParamLightType, c.type);
    for (PF_Cmd cmd : {PF_Cmd_USER_CHANGED_PARAM, PF_Cmd_UPDATE_PARAMS_UI}) {
      SCOPED_TRACE(testing::Message() << "Using " << c.using_light << ", type " << c.type << ", command " << cmd);
      host.ClearUIUpdates();
      EXPECT_EQ(host.UpdateParamsUI(cmd), PF_Err_NONE);
      const std::vector<ParamUIUpdate> got = host.ui_updates();
      ASSERT_EQ(got.size(), 6u);
      for (int i = 0; i < 6; ++i) {
        const PF_ParamDef& d = host.params()[9 + i];
        const bool closes = c.disabled[i] && (d.param_type == PF_Param_FIX_SLIDER || d.param_type == PF_Param_ANGLE);
        EXPECT_EQ(got[i].index, 9 + i);
        EXPECT_EQ((got[i].ui_flags & PF_PUI_DISABLED) != 0, c.disabled[i] != 0) << d.name;
        EXPECT_EQ(got[i].flags, closes ? (d.flags | PF_ParamFlag_COLLAPSE_TWIRLY) : d.flags) << d.name;
      }
    }
  }
}

TEST_F(ParamsHostTest, OnlyTheLastUpdateResultIsReported) {
  host.faults().update_param_ui_error = PF_Err_INVALID_INDEX;
  EXPECT_EQ(host.UpdateParamsUI(), PF_Err_INVALID_INDEX);
  EXPECT_EQ(host.ui_updates().size(), 6u);  // an error does not stop the sequence
}

TEST_F(ParamsHostTest, ParameterRecordsAreNeverWritten) {
  host.SetPopup(kParamUsing, kUsingAELights);
  minihost::CallContext ctx;
  ASSERT_EQ(host.Call(PF_Cmd_UPDATE_PARAMS_UI, 0, nullptr, nullptr, &ctx), PF_Err_NONE);
  for (int i = 1; i < kParamCount; ++i) {
    const PF_ParamDef fresh = host.ValueAt(i, 0, host.settings().time_scale);
    EXPECT_EQ(std::memcmp(&fresh, &ctx.param_values[i], sizeof fresh), 0) << "index " << i;
  }
}

}  // namespace
