#include "kernel/color_param.h"

#include <type_traits>

#include "kernel/pixel.h"
#include "common/snapshot.h"

namespace {

// The floating-point colour suite arrived after host interface version 12.10.
bool HostHasFloatColor(const PF_InData* in_data) {
  const PF_SpecVersion v = in_data->version;
  return v.major > 12 || (v.major == 12 && v.minor > 10);
}

// Asks the host for the control's colour in floating point; false when the
// host reports an error. The suite is acquired before the check-out so that
// a missing suite cannot leave the control checked out.
bool FloatColorFromHost(Fxenv& env, A_long index, A_long time, A_long time_step,
                        A_u_long time_scale, PF_PixelFloat& color) {
  const PF_ColorParamSuite1* suite = env.suites.ColorParamSuite1();
  PF_InData* in = env.inData;
  PF_ParamDef def{};
  // A failed check-out shows up as an error of the suite call below.
  in->inter.checkout_param(in->effect_ref, index, time, time_step, time_scale, &def);
  // Checked in on every way out from here, also when the suite call throws.
  struct CheckIn {
    PF_InData* in;
    PF_ParamDef* def;
    ~CheckIn() { in->inter.checkin_param(in->effect_ref, def); }
  } checkin{in, &def};
  return suite->PF_GetFloatingPointColorFromColorDef(in->effect_ref, &def, &color) == PF_Err_NONE;
}

// The nearest single-precision value to 1/255, for the float fallback.
constexpr float kByteToFloat = 0.003921568859368563f;

PF_PixelFloat Widen(PF_Pixel c) {
  return PF_PixelFloat{c.alpha * kByteToFloat, c.red * kByteToFloat, c.green * kByteToFloat,
                       c.blue * kByteToFloat};
}

PF_Pixel16 Widen16(PF_Pixel c) {
  PF_Pixel16 out;
  AdaptDepth<PF_Pixel16>(c, out);
  return out;
}

// 16-bit from the host's float colour, converted in single precision.
PF_Pixel16 Narrow16(const PF_PixelFloat& f) {
  return PF_Pixel16{StoreChannel<PF_Pixel16>(f.alpha), StoreChannel<PF_Pixel16>(f.red),
                    StoreChannel<PF_Pixel16>(f.green), StoreChannel<PF_Pixel16>(f.blue)};
}

}  // namespace

template <class T>
T GetColorControl(Fxenv& env, A_long index, A_long time, A_long time_step, A_u_long time_scale) {
  if constexpr (std::is_same_v<T, PF_Pixel>) {
    return Get_Color(env.inData, index, time, time_step, time_scale);
  } else {
    PF_PixelFloat color{};
    if (HostHasFloatColor(env.inData) &&
        FloatColorFromHost(env, index, time, time_step, time_scale, color)) {
      if constexpr (std::is_same_v<T, PF_PixelFloat>) return color;
      else return Narrow16(color);
    }
    const PF_Pixel byte = Get_Color(env.inData, index, time, time_step, time_scale);
    if constexpr (std::is_same_v<T, PF_PixelFloat>) return Widen(byte);
    else return Widen16(byte);
  }
}

template PF_Pixel GetColorControl<PF_Pixel>(Fxenv&, A_long, A_long, A_long, A_u_long);
template PF_Pixel16 GetColorControl<PF_Pixel16>(Fxenv&, A_long, A_long, A_long, A_u_long);
template PF_PixelFloat GetColorControl<PF_PixelFloat>(Fxenv&, A_long, A_long, A_long, A_u_long);
