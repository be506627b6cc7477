// The controls the effect declares, as the host sees them: what must hold of
// every one, and the disk ids, which saved projects store.
#include <algorithm>
#include <cstring>
#include <set>
#include <string>

#include "common/params.h"
#include "tests/support/host_fixture.h"

namespace {

TEST_F(ParamsHostTest, EveryControlIsSoundAndTheDiskIdsNeverChange) {
  const auto& p = host.params();
  ASSERT_EQ(p.size(), 23u);  // the layer and 22 controls
  // Saved projects name controls by these ids: never renumbered, "Using"
  // (added later) keeps 22.
  const A_long ids[] = {1, 2, 3, 4, 5, 6, 7, 22, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21};
  std::set<std::string> names;
  int open_groups = 0;
  for (size_t i = 1; i < p.size(); ++i) {
    const PF_ParamDef& d = p[i];
    SCOPED_TRACE(std::string("index ") + std::to_string(i) + " " + d.name);
    EXPECT_EQ(d.uu.id, ids[i - 1]);
    if (d.param_type == PF_Param_GROUP_END) {
      EXPECT_GT(open_groups--, 0) << "a group ends that never started";
      continue;
    }
    if (d.param_type == PF_Param_GROUP_START) ++open_groups;
    EXPECT_TRUE(names.insert(d.name).second) << "a second control of that name";
    EXPECT_GT(std::strlen(d.name), 0u);
    switch (d.param_type) {
      case PF_Param_FIX_SLIDER: {
        const PF_FixedSliderDef& f = d.u.fd;
        EXPECT_LE(f.valid_min, f.slider_min);
        EXPECT_LE(f.slider_min, f.dephault);
        EXPECT_LE(f.dephault, f.slider_max);
        EXPECT_LE(f.slider_max, f.valid_max);
        EXPECT_EQ(f.value, f.dephault);
        break;
      }
      case PF_Param_POPUP: {
        const std::string choices = d.u.pd.u.namesptr;
        EXPECT_EQ(d.u.pd.num_choices, 1 + std::count(choices.begin(), choices.end(), '|'));
        EXPECT_GE(d.u.pd.dephault, 1);
        EXPECT_LE(d.u.pd.dephault, d.u.pd.num_choices);
        // The other controls' enabling follows a popup: the host must ask
        // the effect when it changes, and it cannot vary in time.
        EXPECT_EQ(d.flags, PF_ParamFlag_SUPERVISE | PF_ParamFlag_CANNOT_TIME_VARY);
        break;
      }
      default: break;
    }
  }
  EXPECT_EQ(open_groups, 0);
  EXPECT_EQ(p.back().param_type, PF_Param_GROUP_END);
  // Roughness divides the shading: it never reaches zero.
  EXPECT_GT(p[kParamRoughness].u.fd.valid_min, 0);
}

}  // namespace
