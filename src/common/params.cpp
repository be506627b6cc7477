#include "params.h"

#include <cstring>

namespace {

constexpr PF_Fixed Fix(int whole) { return PF_WholeToFixed(whole); }

// One row per control, in the order the host shows them (indices 1 to 22).
// The disk id is stored in the host's projects: never renumber.
struct ControlRow {
  PF_ParamType type;
  const char* name;
  A_long id;
  PF_ParamFlags flags;
  PF_ParamUIFlags ui_flags;
  // Sliders: valid range, slider range, default, precision. Angles and
  // points use `dflt` (points: x and y default in percent of the layer).
  PF_Fixed valid_min, valid_max, slider_min, slider_max, dflt;
  A_short precision;
  const char* choices;  // popups
};

constexpr PF_ParamFlags kPopupFlags = PF_ParamFlag_CANNOT_TIME_VARY | PF_ParamFlag_SUPERVISE;

const ControlRow kControls[] = {
    {PF_Param_FIX_SLIDER, "Drip Rate", 1, 0, 0, 0, Fix(100), 0, Fix(5), Fix(1), 1, nullptr},
    {PF_Param_FIX_SLIDER, "Longevity (sec)", 2, 0, 0, 0, Fix(100), 0, Fix(6), Fix(1), 2, nullptr},
    {PF_Param_ANGLE, "Rippling", 3, 0, 0, 0, 0, 0, 0, Fix(360), 0, nullptr},
    {PF_Param_FIX_SLIDER, "Displacement", 4, 0, 0, Fix(-1024), Fix(1024), Fix(-50), Fix(50), Fix(20), 1, nullptr},
    {PF_Param_FIX_SLIDER, "Ripple Height", 5, 0, 0, 0, Fix(200), 0, Fix(200), Fix(100), 1, nullptr},
    {PF_Param_FIX_SLIDER, "Spreading", 6, 0, 0, 0, Fix(5000), 0, Fix(200), Fix(100), 1, nullptr},
    {PF_Param_GROUP_START, "Light", 7, 0, 0, 0, 0, 0, 0, 0, 0, nullptr},
    {PF_Param_POPUP, "Using", 22, kPopupFlags, 0, 0, 0, 0, 0, 1, 0, "Effect Light|AE Lights"},
    {PF_Param_FIX_SLIDER, "Light Intensity", 8, PF_ParamFlag_COLLAPSE_TWIRLY, 0, 0, Fix(1000), 0, Fix(150), Fix(100), 1, nullptr},
    {PF_Param_COLOR, "Light Color", 9, 0, 0, 0, 0, 0, 0, 0, 0, nullptr},
    {PF_Param_POPUP, "Light Type", 10, kPopupFlags, 0, 0, 0, 0, 0, 1, 0, "Distant Light|Point Light"},
    {PF_Param_FIX_SLIDER, "Light Height", 11, PF_ParamFlag_COLLAPSE_TWIRLY, 0, Fix(-100), Fix(100), 0, Fix(100), Fix(65), 1, nullptr},
    {PF_Param_POINT, "Light Position", 12, 0, PF_PUI_DISABLED, 0, 0, 0, 0, Fix(25), 0, nullptr},
    {PF_Param_ANGLE, "Light Direction", 13, PF_ParamFlag_COLLAPSE_TWIRLY, 0, 0, 0, 0, 0, Fix(-45), 0, nullptr},
    {PF_Param_GROUP_END, nullptr, 14, 0, 0, 0, 0, 0, 0, 0, 0, nullptr},
    {PF_Param_GROUP_START, "Shading", 15, 0, 0, 0, 0, 0, 0, 0, 0, nullptr},
    {PF_Param_FIX_SLIDER, "Ambient", 16, 0, 0, 0, Fix(200), 0, Fix(100), Fix(100), 1, nullptr},
    {PF_Param_FIX_SLIDER, "Diffuse", 17, 0, 0, 0, Fix(100), 0, Fix(100), 0, 1, nullptr},
    {PF_Param_FIX_SLIDER, "Specular", 18, 0, 0, 0, Fix(100), 0, Fix(100), Fix(100), 1, nullptr},
    // Roughness is a fraction and never reaches 0: 0x41 is 65/65536.
    {PF_Param_FIX_SLIDER, "Roughness", 19, 0, 0, 0x41, 0x8000, 0x41, 0x4000, 0x3D7, 3, nullptr},
    {PF_Param_FIX_SLIDER, "Metal", 20, 0, 0, 0, Fix(100), 0, Fix(100), Fix(100), 1, nullptr},
    {PF_Param_GROUP_END, nullptr, 21, 0, 0, 0, 0, 0, 0, 0, 0, nullptr},
};
static_assert(sizeof(kControls) / sizeof(kControls[0]) == kParamCount - 1);

void FillDef(const ControlRow& row, PF_InData* in_data, PF_ParamDef& def) {
  def.param_type = row.type;
  if (row.name) in_data->utils->ansi.strcpy(def.name, row.name);
  def.flags = row.flags;
  def.ui_flags = row.ui_flags;
  def.uu.id = row.id;
  switch (row.type) {
    case PF_Param_FIX_SLIDER:
      def.u.fd.valid_min = row.valid_min;
      def.u.fd.valid_max = row.valid_max;
      def.u.fd.slider_min = row.slider_min;
      def.u.fd.slider_max = row.slider_max;
      def.u.fd.value = def.u.fd.dephault = row.dflt;
      def.u.fd.precision = row.precision;
      break;
    case PF_Param_ANGLE:
      def.u.ad.value = def.u.ad.dephault = row.dflt;
      break;
    case PF_Param_POPUP:
      def.u.pd.num_choices = 2;
      def.u.pd.value = def.u.pd.dephault = static_cast<A_short>(row.dflt);
      def.u.pd.u.namesptr = row.choices;
      break;
    case PF_Param_COLOR:
      def.u.cd.value = def.u.cd.dephault = PF_Pixel{255, 255, 255, 255};
      break;
    case PF_Param_POINT:
      def.u.td.x_value = def.u.td.x_dephault = row.dflt;
      def.u.td.y_value = def.u.td.y_dephault = row.dflt;
      def.u.td.restrict_bounds = false;
      break;
    default:
      break;
  }
}

}  // namespace

PF_Err ParamsSetup(PF_InData* in_data, PF_OutData* out_data) {
  PF_ParamDef def;
  std::memset(&def, 0, sizeof def);
  for (const ControlRow& row : kControls) {
    FillDef(row, in_data, def);
    if (PF_Err err = in_data->inter.add_param(in_data->effect_ref, -1, &def)) return err;
    std::memset(&def, 0, sizeof def);
  }
  out_data->num_params = kParamCount;
  return PF_Err_NONE;
}
