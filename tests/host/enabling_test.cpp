// Greying out the light controls the current choices leave idle.
#include <cstring>

#include "common/params.h"
#include "tests/support/host_fixture.h"

namespace {

using minihost::ParamUIUpdate;

struct Expect {
  int index;
  bool disabled;
};

void CheckUpdates(const std::vector<ParamUIUpdate>& got, const std::vector<Expect>& want,
                  const std::vector<PF_ParamDef>& defs) {
  ASSERT_EQ(got.size(), want.size());
  for (size_t i = 0; i < want.size(); ++i) {
    SCOPED_TRACE(want[i].index);
    EXPECT_EQ(got[i].index, want[i].index);
    EXPECT_EQ((got[i].ui_flags & PF_PUI_DISABLED) != 0, want[i].disabled);
    const PF_ParamDef& d = defs[want[i].index];
    const bool closes = want[i].disabled && (d.param_type == PF_Param_FIX_SLIDER || d.param_type == PF_Param_ANGLE);
    // Enabling never clears the twirly flag; disabling sets it for sliders and angles only.
    EXPECT_EQ(got[i].flags, closes ? (d.flags | PF_ParamFlag_COLLAPSE_TWIRLY) : d.flags);
  }
}

TEST_F(ParamsHostTest, EffectLightWithDistantLight) {
  for (PF_Cmd cmd : {PF_Cmd_USER_CHANGED_PARAM, PF_Cmd_UPDATE_PARAMS_UI}) {
    host.ClearUIUpdates();
    EXPECT_EQ(host.UpdateParamsUI(cmd), PF_Err_NONE);
    CheckUpdates(host.ui_updates(), {{9, false}, {10, false}, {11, false}, {12, false}, {13, true}, {14, false}},
                 host.params());
  }
}

TEST_F(ParamsHostTest, EffectLightWithPointLight) {
  host.SetPopup(kParamLightType, kLightTypePoint);
  EXPECT_EQ(host.UpdateParamsUI(), PF_Err_NONE);
  CheckUpdates(host.ui_updates(), {{9, false}, {10, false}, {11, false}, {12, false}, {13, false}, {14, true}},
               host.params());
}

TEST_F(ParamsHostTest, AELightsDisableEveryLightControl) {
  for (A_long type : {kLightTypeDistant, kLightTypePoint}) {
    host.ClearUIUpdates();
    host.SetPopup(kParamUsing, kUsingAELights);
    host.SetPopup(kParamLightType, type);
    EXPECT_EQ(host.UpdateParamsUI(), PF_Err_NONE);
    CheckUpdates(host.ui_updates(), {{9, true}, {10, true}, {11, true}, {12, true}, {13, true}, {14, true}},
                 host.params());
  }
}

TEST_F(ParamsHostTest, DisabledPointColourAndPopupKeepTheirFlags) {
  host.SetPopup(kParamUsing, kUsingAELights);
  ASSERT_EQ(host.UpdateParamsUI(), PF_Err_NONE);
  const auto updates = host.ui_updates();
  EXPECT_EQ(updates[1].flags, 0);     // Light Color
  EXPECT_EQ(updates[2].flags, PF_ParamFlag_SUPERVISE | PF_ParamFlag_CANNOT_TIME_VARY);  // Light Type keeps its popup flags only
  EXPECT_EQ(updates[4].flags, 0);     // Light Position
  EXPECT_EQ(updates[0].flags, PF_ParamFlag_COLLAPSE_TWIRLY);  // Light Intensity: slider, closed
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

TEST_F(ParamsHostTest, TheParamUtilsSuiteIsAcquiredOnceAndReleased) {
  ASSERT_EQ(host.UpdateParamsUI(), PF_Err_NONE);
  const auto count = host.suite_count("PF Param Utils Suite", 1);
  EXPECT_EQ(count.acquired, 1);
  EXPECT_EQ(count.released, 1);
}

}  // namespace
