#include "snapshot.h"

#include <cmath>
#include <cstdint>

namespace {


// Checks the control out, lets `read` take the value, checks it in. A failed
// checkout leaves the record zeroed, so the value reads as 0.
template <typename Read>
auto WithParam(PF_InData* in_data, int index, A_long time, A_long time_step, A_u_long time_scale,
               Read read) {
  PF_ParamDef def{};
  if (in_data->inter.checkout_param(in_data->effect_ref, index, time, time_step, time_scale, &def))
    def = PF_ParamDef{};
  auto value = read(def);
  in_data->inter.checkin_param(in_data->effect_ref, &def);
  return value;
}

}  // namespace

double Get_Fix_Slider(PF_InData* in_data, int index, A_long time, A_long time_step, A_u_long time_scale) {
  return WithParam(in_data, index, time, time_step, time_scale,
                   [](const PF_ParamDef& d) { return PF_FixedToDouble(d.u.fd.value); });
}

double Get_Angle(PF_InData* in_data, int index, A_long time, A_long time_step, A_u_long time_scale) {
  return WithParam(in_data, index, time, time_step, time_scale,
                   [](const PF_ParamDef& d) { return PF_FixedToDouble(d.u.ad.value); });
}

FX_D_Point2D Get_Point(PF_InData* in_data, int index, A_long time, A_long time_step, A_u_long time_scale) {
  return WithParam(in_data, index, time, time_step, time_scale, [](const PF_ParamDef& d) {
    return FX_D_Point2D{PF_FixedToDouble(d.u.td.x_value), PF_FixedToDouble(d.u.td.y_value)};
  });
}

int Get_PopUp(PF_InData* in_data, int index, A_long time, A_long time_step, A_u_long time_scale) {
  return WithParam(in_data, index, time, time_step, time_scale,
                   [](const PF_ParamDef& d) { return static_cast<int>(d.u.pd.value); });
}

PF_Pixel Get_Color(PF_InData* in_data, int index, A_long time, A_long time_step, A_u_long time_scale) {
  return WithParam(in_data, index, time, time_step, time_scale, [](const PF_ParamDef& d) {
    PF_Pixel c = d.u.cd.value;
    c.alpha = 255;
    return c;
  });
}

FX_PARc::FX_PARc(const PF_InData* in) {
  const auto ratio = [](const PF_RationalScale& r) {
    return static_cast<double>(r.num) / static_cast<double>(r.den);
  };
  invAspect = static_cast<double>(in->pixel_aspect_ratio.den) /
              static_cast<double>(in->pixel_aspect_ratio.num);
  invScaleX = invAspect * ratio(in->downsample_x);
  invScaleY = ratio(in->downsample_y);
  scaleY = 1.0 / invScaleY;
  scaleX = 1.0 / invScaleX;
  fixScaleX = 65536.0 * invScaleX;
  fixScaleY = 65536.0 * invScaleY;
  meanScale = (scaleX + scaleY) / 2;
  meanScaleF = static_cast<float>(meanScale);
  invAspectF = static_cast<float>(invAspect);
  scaleXF = static_cast<float>(scaleX);
  scaleYF = static_cast<float>(scaleY);
  invScaleXF = static_cast<float>(invScaleX);
  invScaleYF = static_cast<float>(invScaleY);
  fixScaleXF = static_cast<float>(fixScaleX);
  fixScaleYF = static_cast<float>(fixScaleY);
}

FX_TimeInfo FX_CopyTime(const PF_InData* in) {
  FX_TimeInfo t{};
  t.time = in->current_time;
  t.timeScale = in->time_scale;
  t.timeStep = in->time_step;
  t.localTimeStep = in->local_time_step;
  if (t.localTimeStep != 0) {
    // Truncation toward zero of the double quotient: -250 / 100 starts at -200.
    // Multiplied in 64 bits: the quotient of the most negative time by a step
    // of −1 does not fit 32 bits, the product always does.
    t.frameStart = static_cast<A_long>(
        static_cast<int64_t>(std::trunc(static_cast<double>(t.time) / t.localTimeStep)) *
        t.localTimeStep);
    t.frameOffset = t.time - t.frameStart;
    t.frameFraction = static_cast<double>(t.frameOffset) / static_cast<double>(t.localTimeStep);
  }
  return t;
}

FX_D_Point FX_VectorDivision(FX_D_Point v, double d) {
  if (d == 0.0) return v;
  const double r = 1.0 / d;
  return {v.x * r, v.y * r, v.z * r};
}
