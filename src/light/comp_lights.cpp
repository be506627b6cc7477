#include "light/comp_lights.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr double kDegToRad = 0.017453292519943295;

// The shading type of a host light type; 0 for ambient lights, -1 for types
// the shading does not know.
int ShadingType(AEGP_LightType type) {
  switch (type) {
    case AEGP_LightType_PARALLEL: return kLightDistant;
    case AEGP_LightType_SPOT: return kLightSpot;
    case AEGP_LightType_POINT: return kLightPoint;
    case AEGP_LightType_AMBIENT: return 0;
    default: return -1;
  }
}

// The way a light shines is row 2 of its layer-to-world matrix. Under a
// scaled parent that row is scaled too; the shading needs a unit vector, and
// a parent's scale does not change where a light points, so such a row is
// brought back to unit length. Unscaled rows are taken as they are.
FX_D_Point ShineAxis(const A_Matrix4& M, const PF_InData* in_data) {
  FX_D_Point z{M.mat[2][0], M.mat[2][1], M.mat[2][2]};
  const double len2 = z.x * z.x + z.y * z.y + z.z * z.z;
  if (len2 > 0.0 && std::fabs(len2 - 1.0) > 1e-9) {
    const double len = in_data->utils->ansi.sqrt(len2);
    z = FX_D_Point{z.x / len, z.y / len, z.z / len};
  }
  return z;
}

}  // namespace

bool GetAllLights(Fxenv& env, LightShade& shade, A_Time time) {
  PF_InData* in = env.inData;
  const AEGP_PFInterfaceSuite1* pf = env.suites.PFInterfaceSuite1();

  A_Time compTime{};
  if (pf->AEGP_ConvertEffectToCompTime(in->effect_ref, std::max<A_long>(time.value, 0), time.scale,
                                       &compTime))
    return false;
  AEGP_LayerH effectLayer = nullptr;
  if (pf->AEGP_GetEffectLayer(in->effect_ref, &effectLayer) || !effectLayer) return false;

  const AEGP_LayerSuite5* layers = env.suites.LayerSuite5();
  AEGP_CompH comp = nullptr;
  if (layers->AEGP_GetLayerParentComp(effectLayer, &comp) || !comp) return false;
  A_long count = 0;
  if (layers->AEGP_GetCompNumLayers(comp, &count)) return false;
  if (count < 2) return false;  // the effect's own layer is one of them

  // Reads one stream at the composition time, after expressions.
  const auto stream = [&](AEGP_LayerH layer, AEGP_LayerStream which, AEGP_StreamVal& value) {
    return env.suites.StreamSuite4()->AEGP_GetLayerStreamValue(
        layer, which, AEGP_LTimeMode_CompTime, &compTime, false, &value, nullptr);
  };

  for (A_long i = 0; i < count; ++i) {
    AEGP_LayerH layer = nullptr;
    if (layers->AEGP_GetCompLayerByIndex(comp, i, &layer)) return false;
    if (!layer) continue;
    A_Boolean active = false;
    if (layers->AEGP_IsVideoActive(layer, AEGP_LTimeMode_CompTime, &compTime, &active))
      return false;
    if (!active) continue;
    AEGP_ObjectType objectType = AEGP_ObjectType_AV;
    if (layers->AEGP_GetLayerObjectType(layer, &objectType)) return false;
    if (objectType != AEGP_ObjectType_LIGHT) continue;
    AEGP_LightType lightType = AEGP_LightType_PARALLEL;
    if (env.suites.LightSuite1()->AEGP_GetLightType(layer, &lightType)) return false;
    const int type = ShadingType(lightType);
    if (type < 0) continue;

    A_Matrix4 M{};
    if (layers->AEGP_GetLayerToWorldXformFromView(layer, &compTime, &compTime, &M)) return false;
    AEGP_StreamVal value{};
    if (stream(layer, AEGP_LayerStream_INTENSITY, value)) return false;
    const double intensity = 0.01 * value.one_d;
    if (stream(layer, AEGP_LayerStream_COLOR, value)) return false;
    const FX_Double_Pixel color{0.0, intensity * value.color.redF, intensity * value.color.greenF,
                                intensity * value.color.blueF};

    if (type == 0) {
      shade.AddAmbientLight(color);
      continue;
    }

    // Host world space has +z away from the viewer, the shading frame toward
    // it; the direction is reversed to point from the surface to the light.
    NewLightSource light{};
    light.type = static_cast<A_u_short>(type);
    light.color = color;
    light.position = FX_D_Point{M.mat[3][0], M.mat[3][1], -M.mat[3][2]};
    const FX_D_Point axis = ShineAxis(M, in);
    light.direction = FX_D_Point{-axis.x, -axis.y, axis.z};

    if (type == kLightSpot) {
      if (stream(layer, AEGP_LayerStream_CONE_ANGLE, value)) return false;
      const double halfAngle = 0.5 * value.one_d * kDegToRad;
      if (stream(layer, AEGP_LayerStream_CONE_FEATHER, value)) return false;
      // The fully lit core is always at least 1 percent narrower than the cone.
      const double feather = std::max(1.0, value.one_d);
      light.coneOuter = in->utils->ansi.cos(halfAngle);
      light.coneInner = in->utils->ansi.cos((1.0 - feather * 0.01) * halfAngle);
    }
    shade.AddLightSource(light);
  }
  return shade.requestCount != 0 || shade.hasAmbient;
}
