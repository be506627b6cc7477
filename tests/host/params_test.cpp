// The 22 controls the effect declares, as the host sees them.
#include <string>

#include "common/params.h"
#include "tests/support/host_fixture.h"

namespace {

constexpr PF_Fixed Fix(int v) { return v * 65536; }

struct Slider {
  int index;
  const char* name;
  A_long id;
  PF_Fixed valid_min, valid_max, slider_min, slider_max, dflt;
  int precision;
  PF_ParamFlags flags;
};

const Slider kSliders[] = {
    {1, "Drip Rate", 1, 0, Fix(100), 0, Fix(5), Fix(1), 1, 0},
    {2, "Longevity (sec)", 2, 0, Fix(100), 0, Fix(6), Fix(1), 2, 0},
    {4, "Displacement", 4, Fix(-1024), Fix(1024), Fix(-50), Fix(50), Fix(20), 1, 0},
    {5, "Ripple Height", 5, 0, Fix(200), 0, Fix(200), Fix(100), 1, 0},
    {6, "Spreading", 6, 0, Fix(5000), 0, Fix(200), Fix(100), 1, 0},
    {9, "Light Intensity", 8, 0, Fix(1000), 0, Fix(150), Fix(100), 1, 0x20},
    {12, "Light Height", 11, Fix(-100), Fix(100), 0, Fix(100), Fix(65), 1, 0x20},
    {17, "Ambient", 16, 0, Fix(200), 0, Fix(100), Fix(100), 1, 0},
    {18, "Diffuse", 17, 0, Fix(100), 0, Fix(100), 0, 1, 0},
    {19, "Specular", 18, 0, Fix(100), 0, Fix(100), Fix(100), 1, 0},
    {20, "Roughness", 19, 0x41, 0x8000, 0x41, 0x4000, 0x3D7, 3, 0},
    {21, "Metal", 20, 0, Fix(100), 0, Fix(100), Fix(100), 1, 0},
};

TEST_F(HostTest, DeclaresTwentyThreeParameters) {
  A_long num_params = 0;
  ASSERT_EQ(host.ParamsSetup(&num_params), PF_Err_NONE);
  EXPECT_EQ(num_params, 23);
  ASSERT_EQ(host.params().size(), 23u);
  EXPECT_EQ(host.params().back().param_type, PF_Param_GROUP_END);
}

TEST_F(ParamsHostTest, IdsInTableOrderKeepUsingAtTwentyTwo) {
  const A_long expected[] = {1, 2, 3, 4, 5, 6, 7, 22, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21};
  for (int i = 1; i <= 22; ++i) EXPECT_EQ(host.params()[i].uu.id, expected[i - 1]) << "index " << i;
}

TEST_F(ParamsHostTest, SlidersHaveTheirRangesDefaultsAndFlags) {
  for (const Slider& s : kSliders) {
    const PF_ParamDef& d = host.params()[s.index];
    SCOPED_TRACE(s.name);
    EXPECT_EQ(d.param_type, PF_Param_FIX_SLIDER);
    EXPECT_STREQ(d.name, s.name);
    EXPECT_EQ(d.uu.id, s.id);
    EXPECT_EQ(d.u.fd.valid_min, s.valid_min);
    EXPECT_EQ(d.u.fd.valid_max, s.valid_max);
    EXPECT_EQ(d.u.fd.slider_min, s.slider_min);
    EXPECT_EQ(d.u.fd.slider_max, s.slider_max);
    EXPECT_EQ(d.u.fd.dephault, s.dflt);
    EXPECT_EQ(d.u.fd.value, s.dflt);
    EXPECT_EQ(d.u.fd.precision, s.precision);
    EXPECT_EQ(d.u.fd.display_flags, 0);
    EXPECT_EQ(d.flags, s.flags);
    EXPECT_EQ(d.ui_flags, 0);
    EXPECT_STREQ(d.u.fd.value_str, "");
  }
}

TEST_F(ParamsHostTest, RoughnessNeverReachesZero) {
  const PF_ParamDef& d = host.params()[kParamRoughness];
  EXPECT_GT(d.u.fd.valid_min, 0);
  EXPECT_GT(d.u.fd.slider_min, 0);
}

TEST_F(ParamsHostTest, AnglesPopupsColourAndPoint) {
  const auto& p = host.params();
  EXPECT_EQ(p[3].param_type, PF_Param_ANGLE);
  EXPECT_STREQ(p[3].name, "Rippling");
  EXPECT_EQ(p[3].u.ad.dephault, Fix(360));
  EXPECT_EQ(p[14].param_type, PF_Param_ANGLE);
  EXPECT_STREQ(p[14].name, "Light Direction");
  EXPECT_EQ(p[14].u.ad.value, Fix(-45));
  EXPECT_EQ(p[14].flags, PF_ParamFlag_COLLAPSE_TWIRLY);

  EXPECT_EQ(p[8].param_type, PF_Param_POPUP);
  EXPECT_STREQ(p[8].name, "Using");
  EXPECT_STREQ(p[8].u.pd.u.namesptr, "Effect Light|AE Lights");
  EXPECT_EQ(p[8].u.pd.num_choices, 2);
  EXPECT_EQ(p[8].u.pd.value, 1);
  EXPECT_EQ(p[8].flags, PF_ParamFlag_SUPERVISE | PF_ParamFlag_CANNOT_TIME_VARY);
  EXPECT_STREQ(p[11].name, "Light Type");
  EXPECT_STREQ(p[11].u.pd.u.namesptr, "Distant Light|Point Light");
  EXPECT_EQ(p[11].u.pd.dephault, 1);
  EXPECT_EQ(p[11].flags, PF_ParamFlag_SUPERVISE | PF_ParamFlag_CANNOT_TIME_VARY);

  EXPECT_EQ(p[10].param_type, PF_Param_COLOR);
  EXPECT_STREQ(p[10].name, "Light Color");
  const PF_Pixel c = p[10].u.cd.dephault;
  EXPECT_EQ(c.alpha + c.red + c.green + c.blue, 4 * 255);

  EXPECT_EQ(p[13].param_type, PF_Param_POINT);
  EXPECT_STREQ(p[13].name, "Light Position");
  EXPECT_EQ(p[13].u.td.x_dephault, Fix(25));
  EXPECT_EQ(p[13].u.td.y_dephault, Fix(25));
  EXPECT_FALSE(p[13].u.td.restrict_bounds);
  EXPECT_EQ(p[13].ui_flags, PF_PUI_DISABLED);
}

TEST_F(ParamsHostTest, GroupsFrameTheLightAndShadingControls) {
  const auto& p = host.params();
  EXPECT_EQ(p[7].param_type, PF_Param_GROUP_START);
  EXPECT_STREQ(p[7].name, "Light");
  EXPECT_EQ(p[15].param_type, PF_Param_GROUP_END);
  EXPECT_STREQ(p[15].name, "");
  EXPECT_EQ(p[16].param_type, PF_Param_GROUP_START);
  EXPECT_STREQ(p[16].name, "Shading");
  EXPECT_EQ(p[22].param_type, PF_Param_GROUP_END);
}

class AddParamFailure : public HostTest, public ::testing::WithParamInterface<int> {};

TEST_P(AddParamFailure, StopsAtTheFailingControl) {
  const int n = GetParam();
  host.faults().fail_add_param_at = n;
  host.faults().add_param_error = PF_Err_INVALID_INDEX;
  A_long num_params = -7;
  EXPECT_EQ(host.ParamsSetup(&num_params), PF_Err_INVALID_INDEX);
  EXPECT_EQ(host.params().size(), static_cast<size_t>(n));  // the layer plus n - 1 controls
  EXPECT_EQ(num_params, 0);  // never written: the context's record started at zero
}

INSTANTIATE_TEST_SUITE_P(FirstMiddleLast, AddParamFailure, ::testing::Values(1, 8, 22));

}  // namespace
