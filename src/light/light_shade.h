// The shading model of one frame: six surface factors, up to 19 lights and
// one accumulated ambient light, and the shading of a pixel by them.
//
// Frame of reference: the lit surface is the layer plane z = 0, x and y in the
// frame of the pixel positions handed to ShadePixel, +z toward the viewer.
// A light's `direction` is a unit vector from the surface toward the light
// (nothing here normalises it); its `position` has z as the height above the
// layer. Light does not weaken with distance.
//
// The model is filled on one thread before the pixel pass; during the pass
// only const members run, which write nothing but their own locals, so any
// number of pixels may be shaded at once on one LightShade.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>

#include "common/fx_types.h"
#include "pf_effect.h"

// Light types. Any other value takes a slot but is never shaded.
enum : A_u_short { kLightDistant = 1, kLightPoint = 2, kLightSpot = 3 };

// A light as a caller describes it; AddLightSource copies it.
struct NewLightSource {
  A_u_short type;
  FX_Double_Pixel color;   // already multiplied by the intensity; alpha ignored
  FX_D_Point direction;    // distant and spot: unit vector toward the light
  FX_D_Point position;     // point and spot
  double coneOuter;        // spot: cosine of the angle between axis and cone edge
  double coneInner;        // spot: cosine of the fully lit core's half-angle (> coneOuter)
};

// A stored light, with the surface factors folded into its colours.
struct LightSource {
  A_u_short type;
  FX_Double_Pixel diffuseColor;   // diffuse × colour
  FX_Double_Pixel dustColor;      // 0.5 × dust × colour
  FX_Double_Pixel specularColor;  // specular × max(colour, 0)
  FX_D_Point direction;
  FX_D_Point position;            // offset by the model's light offset when stored
  double coneOuter;
  double coneInner;
};

// The light gathered for one pixel (red, green and blue only).
struct TSLightGather {
  FX_Double_Pixel diffuseSum;   // starts as the ambient light
  FX_Double_Pixel specularSum;
  FX_Double_Pixel dustSum;
};

class LightShade {
 public:
  static constexpr int kMaxLights = 19;

  // Every factor 1.0, smoothness 50.
  explicit LightShade(PF_InData* in_data);
  // Smoothness is raised to 0.5 when it is 0.5 or less.
  LightShade(PF_InData* in_data, double ambient, double diffuse, double specular, double dust,
             double metallicity, double smoothness);

  // Scales the ambient light already gathered as well.
  void SetAmbientShading(double a);
  // These three affect only lights added afterwards.
  void SetDiffuseShading(double d);
  void SetSpecularShading(double s);
  void SetDustShading(double d);
  void SetMetallicity(double m);
  void SetSmoothness(double s);  // 0.5 at least
  // Added to x and y of the position of every light added afterwards.
  void SetOffset(double dx, double dy);

  // Adds ambient × colour (red, green, blue) to the ambient light.
  void AddAmbientLight(const FX_Double_Pixel& color);
  // Stores a light. Every call is counted in requestCount. False when all 19
  // slots are taken (the light is dropped); a black light (red, green and
  // blue exactly 0) is accepted but not stored.
  bool AddLightSource(const NewLightSource& light);

  // Iterates the positions of point and spot lights in the order added: start
  // with index 0 and call until it returns false; p is untouched then.
  bool GetNextLightPosition(FX_D_Point& p, int& index) const;

  // Moves every stored light: position less (dx, dy), z of position and
  // direction negated, both multiplied by M, then T added to the position.
  // dz has no effect.
  void TransformAll(const FX_3D_Matrix& M, const FX_D_Point& T, double dx, double dy, double dz);
  // Moves every stored light: z of the position negated and T added before
  // the multiplication by M; direction z-negated and multiplied by M.
  void TransformAll(const FX_3D_Matrix& M, const FX_D_Point& T);

  // The lit colour of a pixel with unit normal N at (x, y) on the surface,
  // seen from straight in front. Alpha is the pixel's; nothing is clamped.
  FX_Double_Pixel ShadePixel(const FX_Double_Pixel& pixel, const FX_D_Point& normal, double x,
                             double y) const;
  // ShadePixel in two steps: the light gathered at the pixel, then its mix
  // with the pixel's colour.
  TSLightGather GatherLights(const FX_D_Point& normal, double x, double y) const;
  FX_Double_Pixel MixGathered(const FX_Double_Pixel& pixel, const TSLightGather& g) const {
    FX_Double_Pixel out = pixel;
    const auto lit = [this](double p, double diffuseSum, double dustSum, double specularSum) {
      return (p * diffuseSum + dustSum) + (1.0 + metallicity * (p - 1.0)) * specularSum;
    };
    out.red = lit(pixel.red, g.diffuseSum.red, g.dustSum.red, g.specularSum.red);
    out.green = lit(pixel.green, g.diffuseSum.green, g.dustSum.green, g.specularSum.green);
    out.blue = lit(pixel.blue, g.diffuseSum.blue, g.dustSum.blue, g.specularSum.blue);
    return out;
  }
  // True when every stored light is distant (or of a type never shaded): the
  // gather then depends on the normal alone, not on the position.
  bool GatherIndependentOfPosition() const;
  // How many lights, from the first, are gathered the same at every
  // position: the lights before the first point or spot light.
  int LeadingLightsIndependentOfPosition() const;
  // Adds lights first..end−1 to g, in order: a gather of the lights before
  // `first` (or the ambient light alone) continued at (x, y).
  void GatherRange(const FX_D_Point& normal, double x, double y, int first, int end, TSLightGather& g) const;
  void ShadeDistant(const FX_D_Point& normal, const LightSource& light, TSLightGather& g) const;
  void ShadePoint(const FX_D_Point& normal, const LightSource& light, TSLightGather& g, double x,
                  double y) const;
  void ShadeSpot(const FX_D_Point& normal, const LightSource& light, TSLightGather& g, double x,
                 double y) const;

  // The same for a point Q in space seen along the unit ray V (eye toward
  // the surface).
  FX_Double_Pixel ShadePixelView(const FX_Double_Pixel& pixel, const FX_D_Point& normal,
                                 const FX_D_Point& position, const FX_D_Point& view) const;
  void ShadeDistantView(const FX_D_Point& normal, const LightSource& light, TSLightGather& g,
                        const FX_D_Point& view) const;
  void ShadePointView(const FX_D_Point& normal, const LightSource& light, TSLightGather& g,
                      const FX_D_Point& position, const FX_D_Point& view) const;
  void ShadeSpotView(const FX_D_Point& normal, const LightSource& light, TSLightGather& g,
                     const FX_D_Point& position, const FX_D_Point& view) const;

  // The model's state. Fill it through the members above; it is public so
  // that the render side and tests can inspect what was stored.
  double ambient;
  double diffuse;
  double specular;
  double dust;         // light scattered where the light grazes the surface
  double metallicity;  // 0: highlights in the light's colour, 1: tinted by the pixel
  double smoothness;   // exponent of the highlight
  PF_InData* inData;   // not owned; reaches the host's sqrt and pow
  std::array<LightSource, kMaxLights> lights{};
  FX_Double_Pixel ambientLight{0.0, 0.0, 0.0, 0.0};
  bool hasAmbient = false;
  A_u_short lightCount = 0;
  A_u_short requestCount = 0;
  double lightOffsetX = 0.0;
  double lightOffsetY = 0.0;

 private:
  double Sqrt(double v) const;
  double Pow(double base, double exponent) const;
  // Unit vector along v, kept finite (zero) when v is zero.
  FX_D_Point TowardLight(const FX_D_Point& v) const;
  // Cone factor k of a spot light for c = L·direction; false when the pixel
  // lies outside the cone and the light adds nothing.
  static bool ConeFactor(const LightSource& light, double c, double& k);
  // Adds one light's diffuse, dust and specular parts to the gather: d = N·L,
  // k the cone factor, dustWeight the weight of the dust colour, s the
  // cosine that the highlight is raised from.
  void Gather(const LightSource& light, TSLightGather& g, double d, double k, double dustWeight,
              double s) const;
  // The plain and the view forms of one light, L already known; R is the
  // fixed view direction mirrored about the normal.
  void ShadeLight(const FX_D_Point& normal, const FX_D_Point& R, const LightSource& light, TSLightGather& g,
                  const FX_D_Point& L, double k) const;
  static FX_D_Point MirroredView(const FX_D_Point& N) {
    return FX_D_Point{2.0 * N.z * N.x, 2.0 * N.z * N.y, 2.0 * N.z * N.z - 1.0};
  }
  void ShadeLightView(const FX_D_Point& normal, const LightSource& light, TSLightGather& g,
                      const FX_D_Point& L, double k, const FX_D_Point& view) const;
};

// ---- shading one pixel ----------------------------------------------------------------
// Defined here, inline: the pixel kernel shades every pixel of every frame,
// and the calls per light would cost as much as the sums.

namespace light_detail {
inline double Dot(const FX_D_Point& a, const FX_D_Point& b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
// Keeps L finite (zero) when the light sits exactly on the shaded point.
constexpr double kLengthGuard = 0.00001;
}  // namespace light_detail

inline double LightShade::Sqrt(double v) const {
  if (inData && inData->utils) return inData->utils->ansi.sqrt(v);
  return std::sqrt(v);
}

inline double LightShade::Pow(double base, double exponent) const {
  if (inData && inData->utils) return inData->utils->ansi.pow(base, exponent);
  return std::pow(base, exponent);
}

inline FX_D_Point LightShade::TowardLight(const FX_D_Point& v) const {
  const double len = Sqrt(light_detail::Dot(v, v)) + light_detail::kLengthGuard;
  return FX_D_Point{v.x / len, v.y / len, v.z / len};
}

inline bool LightShade::ConeFactor(const LightSource& light, double c, double& k) {
  if (c < light.coneOuter) return false;
  k = 1.0;
  if (c < light.coneInner) {
    // Smoothstep across the feathered rim of the cone.
    const double t = (c - light.coneOuter) / (light.coneInner - light.coneOuter);
    if (t <= 0.0) k = 0.0;
    else if (t < 1.0) k = t * t * (3.0 - 2.0 * t);
  }
  return true;
}

inline void LightShade::Gather(const LightSource& light, TSLightGather& g, double d, double k,
                        double dustWeight, double s) const {
  // pow only when the highlight can be seen; one call serves all channels.
  // The channels written out: the same sums as a loop over them, without
  // the member-pointer indirection in the per-pixel path.
  if (d > 0.0) {
    const double kd = k * d;
    g.diffuseSum.red += kd * light.diffuseColor.red;
    g.diffuseSum.green += kd * light.diffuseColor.green;
    g.diffuseSum.blue += kd * light.diffuseColor.blue;
  }
  g.dustSum.red += dustWeight * light.dustColor.red;
  g.dustSum.green += dustWeight * light.dustColor.green;
  g.dustSum.blue += dustWeight * light.dustColor.blue;
  if (s > 0.0) {
    const double p = Pow(s, smoothness) * k;
    g.specularSum.red += p * light.specularColor.red;
    g.specularSum.green += p * light.specularColor.green;
    g.specularSum.blue += p * light.specularColor.blue;
  }
}

inline void LightShade::ShadeLight(const FX_D_Point& N, const FX_D_Point& R, const LightSource& light,
                                   TSLightGather& g, const FX_D_Point& L, double k) const {
  const double d = light_detail::Dot(N, L);
  // Dust: full where the light grazes the surface, none once it faces the
  // light, and none beyond d = -1/3 as the surface turns away.
  const double f = d > 0.0 ? d : std::min(1.0, 9.0 * d * d);
  Gather(light, g, d, k, (1.0 - f) * k, light_detail::Dot(R, L));
}

inline void LightShade::ShadeDistant(const FX_D_Point& normal, const LightSource& light,
                              TSLightGather& g) const {
  ShadeLight(normal, MirroredView(normal), light, g, light.direction, 1.0);
}

inline void LightShade::ShadePoint(const FX_D_Point& normal, const LightSource& light, TSLightGather& g,
                            double x, double y) const {
  const FX_D_Point& S = light.position;
  ShadeLight(normal, MirroredView(normal), light, g, TowardLight({S.x - x, S.y - y, S.z}), 1.0);
}

inline void LightShade::ShadeSpot(const FX_D_Point& normal, const LightSource& light, TSLightGather& g,
                           double x, double y) const {
  const FX_D_Point& S = light.position;
  const FX_D_Point L = TowardLight({S.x - x, S.y - y, S.z});
  double k;
  if (!ConeFactor(light, light_detail::Dot(L, light.direction), k)) return;
  ShadeLight(normal, MirroredView(normal), light, g, L, k);
}

inline void LightShade::GatherRange(const FX_D_Point& normal, double x, double y, int first, int end,
                                    TSLightGather& g) const {
  // The mirrored view is the same for every light of the pixel: worked out
  // once, and distant lights gathered straight from it.
  const FX_D_Point R = MirroredView(normal);
  for (int i = first; i < end; ++i) {
    const LightSource& l = lights[i];
    if (l.type == kLightDistant) {
      ShadeLight(normal, R, l, g, l.direction, 1.0);
    } else if (l.type == kLightPoint) {
      const FX_D_Point& S = l.position;
      ShadeLight(normal, R, l, g, TowardLight({S.x - x, S.y - y, S.z}), 1.0);
    } else if (l.type == kLightSpot) {
      ShadeSpot(normal, l, g, x, y);
    }
  }
}

inline TSLightGather LightShade::GatherLights(const FX_D_Point& normal, double x, double y) const {
  TSLightGather g{ambientLight, {}, {}};
  GatherRange(normal, x, y, 0, lightCount, g);
  return g;
}

inline int LightShade::LeadingLightsIndependentOfPosition() const {
  int i = 0;
  while (i < lightCount && lights[i].type != kLightPoint && lights[i].type != kLightSpot) ++i;
  return i;
}

inline bool LightShade::GatherIndependentOfPosition() const {
  return LeadingLightsIndependentOfPosition() == lightCount;
}

inline FX_Double_Pixel LightShade::ShadePixel(const FX_Double_Pixel& pixel, const FX_D_Point& normal,
                                       double x, double y) const {
  return MixGathered(pixel, GatherLights(normal, x, y));
}
