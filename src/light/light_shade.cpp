#include "light/light_shade.h"

#include <algorithm>
#include <cmath>

namespace {

// The colour channels a light contributes to; alpha is never lit.
constexpr double FX_Double_Pixel::*kRGB[] = {&FX_Double_Pixel::red, &FX_Double_Pixel::green,
                                             &FX_Double_Pixel::blue};

double Dot(const FX_D_Point& a, const FX_D_Point& b) { return a.x * b.x + a.y * b.y + a.z * b.z; }

// v M, v taken as a row vector.
FX_D_Point Transform(const FX_D_Point& v, const FX_3D_Matrix& M) {
  return FX_D_Point{v.x * M.m[0][0] + v.y * M.m[1][0] + v.z * M.m[2][0],
                    v.x * M.m[0][1] + v.y * M.m[1][1] + v.z * M.m[2][1],
                    v.x * M.m[0][2] + v.y * M.m[1][2] + v.z * M.m[2][2]};
}

void Add(FX_D_Point& p, const FX_D_Point& t) {
  p.x += t.x;
  p.y += t.y;
  p.z += t.z;
}

// The highlight never gets sharper than this floor allows.
double SmoothnessFloor(double s) { return s <= 0.5 ? 0.5 : s; }

}  // namespace

// ---- construction and factors ---------------------------------------------------

LightShade::LightShade(PF_InData* in_data) : LightShade(in_data, 1.0, 1.0, 1.0, 1.0, 1.0, 50.0) {}

LightShade::LightShade(PF_InData* in_data, double ambient_, double diffuse_, double specular_,
                       double dust_, double metallicity_, double smoothness_)
    : ambient(ambient_),
      diffuse(diffuse_),
      specular(specular_),
      dust(dust_),
      metallicity(metallicity_),
      smoothness(SmoothnessFloor(smoothness_)),
      inData(in_data) {}

void LightShade::SetAmbientShading(double a) {
  ambient = a;
  for (auto c : kRGB) ambientLight.*c *= a;
}

void LightShade::SetDiffuseShading(double d) { diffuse = d; }
void LightShade::SetSpecularShading(double s) { specular = s; }
void LightShade::SetDustShading(double d) { dust = d; }
void LightShade::SetMetallicity(double m) { metallicity = m; }
void LightShade::SetSmoothness(double s) { smoothness = SmoothnessFloor(s); }

void LightShade::SetOffset(double dx, double dy) {
  lightOffsetX = dx;
  lightOffsetY = dy;
}

// ---- filling ---------------------------------------------------------------------------

void LightShade::AddAmbientLight(const FX_Double_Pixel& color) {
  for (auto c : kRGB) {
    if (hasAmbient) ambientLight.*c += ambient * (color.*c);
    else ambientLight.*c = ambient * (color.*c);
  }
  hasAmbient = true;
}

bool LightShade::AddLightSource(const NewLightSource& n) {
  ++requestCount;
  if (lightCount >= kMaxLights) return false;
  if (n.color.red == 0.0 && n.color.green == 0.0 && n.color.blue == 0.0) return true;

  LightSource& l = lights[lightCount];
  l.type = n.type;
  l.direction = n.direction;
  l.position = n.position;
  l.position.x += lightOffsetX;
  l.position.y += lightOffsetY;
  l.coneOuter = n.coneOuter;
  l.coneInner = n.coneInner;
  l.diffuseColor = l.dustColor = l.specularColor = FX_Double_Pixel{0.0, 0.0, 0.0, 0.0};
  for (auto c : kRGB) {
    l.diffuseColor.*c = diffuse * (n.color.*c);
    l.dustColor.*c = 0.5 * dust * (n.color.*c);
    // Only the highlight refuses negative light.
    l.specularColor.*c = specular * std::max(n.color.*c, 0.0);
  }
  ++lightCount;
  return true;
}

bool LightShade::GetNextLightPosition(FX_D_Point& p, int& index) const {
  if (index < 0) index = 0;
  while (index < lightCount) {
    const LightSource& l = lights[index++];
    if (l.type == kLightPoint || l.type == kLightSpot) {
      p = l.position;
      return true;
    }
  }
  return false;
}

void LightShade::TransformAll(const FX_3D_Matrix& M, const FX_D_Point& T, double dx, double dy,
                              double /*dz*/) {
  for (int i = 0; i < lightCount; ++i) {
    LightSource& l = lights[i];
    l.position.x -= dx;
    l.position.y -= dy;
    l.direction.z = -l.direction.z;
    l.position.z = -l.position.z;
    l.direction = Transform(l.direction, M);
    l.position = Transform(l.position, M);
    Add(l.position, T);
  }
}

void LightShade::TransformAll(const FX_3D_Matrix& M, const FX_D_Point& T) {
  for (int i = 0; i < lightCount; ++i) {
    LightSource& l = lights[i];
    l.position.z = -l.position.z;
    Add(l.position, T);
    l.position = Transform(l.position, M);
    l.direction.z = -l.direction.z;
    l.direction = Transform(l.direction, M);
  }
}

// ---- shading ------------------------------------------------------------------------------

void LightShade::ShadeLightView(const FX_D_Point& N, const LightSource& light, TSLightGather& g,
                                const FX_D_Point& L, double k, const FX_D_Point& V) const {
  const double d = Dot(N, L);
  // The view ray mirrored about the surface.
  const double nv2 = 2.0 * Dot(N, V);
  const FX_D_Point W{nv2 * N.x - V.x, nv2 * N.y - V.y, nv2 * N.z - V.z};
  Gather(light, g, d, k, (1.0 - d * d) * k * (1.0 + d), -Dot(W, L));
}

void LightShade::ShadeDistantView(const FX_D_Point& normal, const LightSource& light,
                                  TSLightGather& g, const FX_D_Point& view) const {
  ShadeLightView(normal, light, g, light.direction, 1.0, view);
}

void LightShade::ShadePointView(const FX_D_Point& normal, const LightSource& light,
                                TSLightGather& g, const FX_D_Point& Q,
                                const FX_D_Point& view) const {
  const FX_D_Point& S = light.position;
  ShadeLightView(normal, light, g, TowardLight({S.x - Q.x, S.y - Q.y, S.z - Q.z}), 1.0, view);
}

void LightShade::ShadeSpotView(const FX_D_Point& normal, const LightSource& light,
                               TSLightGather& g, const FX_D_Point& Q,
                               const FX_D_Point& view) const {
  const FX_D_Point& S = light.position;
  const FX_D_Point L = TowardLight({S.x - Q.x, S.y - Q.y, S.z - Q.z});
  double k;
  if (!ConeFactor(light, Dot(L, light.direction), k)) return;
  ShadeLightView(normal, light, g, L, k, view);
}

FX_Double_Pixel LightShade::ShadePixelView(const FX_Double_Pixel& pixel, const FX_D_Point& normal,
                                           const FX_D_Point& position,
                                           const FX_D_Point& view) const {
  TSLightGather g{ambientLight, {}, {}};
  for (int i = 0; i < lightCount; ++i) {
    const LightSource& l = lights[i];
    switch (l.type) {
      case kLightDistant: ShadeDistantView(normal, l, g, view); break;
      case kLightPoint: ShadePointView(normal, l, g, position, view); break;
      case kLightSpot: ShadeSpotView(normal, l, g, position, view); break;
      default: break;
    }
  }
  // Dust fades as the view meets the surface head-on.
  const double e = Dot(normal, view);
  const double gd = e >= 0.0 ? 1.0 - e : 1.0 + e;
  FX_Double_Pixel out = pixel;
  for (auto c : kRGB) {
    const double p = pixel.*c;
    out.*c = (gd * g.dustSum.*c + p * g.diffuseSum.*c) + (1.0 + metallicity * (p - 1.0)) * g.specularSum.*c;
  }
  return out;
}
