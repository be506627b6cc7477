#include "driver.h"

#include "common/params.h"
#include "kernel/color_param.h"
#include "kernel/kernel.h"
#include "light/comp_lights.h"
#include "ripple/drops.h"
#include "ripple/new_world.h"
#include "common/snapshot.h"

namespace {

// The host services that differ per depth: the sampling suite whose area
// sample the kernel calls, and the iteration that runs the kernel.
template <class T>
struct RenderTraits;

template <>
struct RenderTraits<PF_Pixel> {
  static FX_SampleFn<PF_Pixel> Sampler(const AEGP_SuiteHandler& s) { return s.Sampling8Suite1()->area_sample; }
  static FX_SampleRunFn<PF_Pixel> RunSampler(const PF_IterateRowsSuite1& rows) { return rows.area_sample_run; }
  static PF_Err Iterate(PF_InData* in, RIPInfo<PF_Pixel>* rip, PF_EffectWorld* out) {
    return in->utils->iterate(in, 0, out->height, nullptr, nullptr, rip, BlobRIP<PF_Pixel>, out);
  }
};

template <>
struct RenderTraits<PF_Pixel16> {
  static FX_SampleFn<PF_Pixel16> Sampler(const AEGP_SuiteHandler& s) { return s.Sampling16Suite1()->area_sample16; }
  static FX_SampleRunFn<PF_Pixel16> RunSampler(const PF_IterateRowsSuite1& rows) { return rows.area_sample_run16; }
  static PF_Err Iterate(PF_InData* in, RIPInfo<PF_Pixel16>* rip, PF_EffectWorld* out) {
    return in->utils->iterate16(in, 0, out->height, nullptr, nullptr, rip, BlobRIP<PF_Pixel16>, out);
  }
};

template <>
struct RenderTraits<PF_PixelFloat> {
  static FX_SampleFn<PF_PixelFloat> Sampler(const AEGP_SuiteHandler& s) {
    return s.SamplingFloatSuite1()->area_sample_float;
  }
  static FX_SampleRunFn<PF_PixelFloat> RunSampler(const PF_IterateRowsSuite1& rows) {
    return rows.area_sample_run_float;
  }
  static PF_Err Iterate(PF_InData* in, RIPInfo<PF_PixelFloat>* rip, PF_EffectWorld* out) {
    return QX_Iterate(in, 0, out->height, nullptr, nullptr, rip, BlobRIP<PF_PixelFloat>, out);
  }
};

}  // namespace

PF_Err QX_Iterate(PF_InData* in_data, A_long progress_base, A_long progress_final, PF_EffectWorld* src,
                  const PF_Rect* area, void* refcon, PF_IteratePixelFloatFunc pix_fn, PF_EffectWorld* dst) {
  // A handler of its own: the suite is released when it goes, also on unwinding.
  AEGP_SuiteHandler suites(in_data->pica_basicP);
  return suites.IterateFloatSuite1()->iterate(in_data, progress_base, progress_final, src, area, refcon, pix_fn,
                                              dst);
}

template <typename T>
PF_Err RenderThisSmart(Fxenv& env) {
  PF_InData* in = env.inData;
  const A_long now = in->current_time, step = in->time_step;
  const A_u_long scale = in->time_scale;

  const FX_PARc par(in);
  const double inputW = env.input->width * par.scaleX;
  const double inputH = env.input->height * par.scaleY;
  RIPInfo<T> rip;
  rip.inData = in;

  const double longevity = Get_Fix_Slider(in, kParamLongevity, now, step, scale);
  const double displace = Get_Fix_Slider(in, kParamDisplacement, now, step, scale);

  // Under smart render the output may be larger than the layer, or the input
  // expanded by an earlier effect: drops and lights keep their place on the
  // layer, and the kernel reads the input where the output pixel lies.
  double areaWidth = inputW, areaHeight = inputH;
  double areaOffsetX = 0, areaOffsetY = 0, sourceOffsetX = 0, sourceOffsetY = 0;
  if (env.smartExtra) {
    areaWidth = in->width / par.invAspect;
    areaHeight = in->height;
    areaOffsetX = -(par.scaleX * env.output->origin_x);
    areaOffsetY = -(par.scaleY * env.output->origin_y);
    sourceOffsetX = (env.output->origin_x - env.input->origin_x) * par.scaleX;
    sourceOffsetY = (env.output->origin_y - env.input->origin_y) * par.scaleY;
  }

  FX_DropSetup drops;
  if (!FX_PrepareDrops(in, longevity, areaWidth, areaHeight, areaOffsetX, areaOffsetY, &drops))
    return in->utils->copy(in->effect_ref, env.input, env.output, nullptr, nullptr);  // no water

  FX_NewWorld fieldBuffer(env);
  if (PF_Err err = fieldBuffer.New(env.output->width, env.output->height, PF_PixelFormat_ARGB32, false))
    return err;
  PF_EffectWorld* field = fieldBuffer.Layer();
  if (!field) return PF_Err_OUT_OF_MEMORY;  // the host gave a buffer without pixels
  const PF_Pixel zero{0, 0, 0, 0};  // all-zero bytes are 0.0f in every cell
  if (PF_Err err = in->utils->fill(in->effect_ref, &zero, nullptr, field)) return err;

  FX_PAR drawPar{inputW, inputH, par.invAspect, par.scaleX, par.scaleY, par.invScaleX, par.invScaleY};
  // On the host's threads when it offers them; the field is the same either way.
  if (const PF_IterateGenericSuite1* generic = env.suites.IterateGenericSuite1IfAny()) {
    if (PF_Err err = FX_GenerateDropsBanded(in, drops, &drawPar, field, *generic)) return err;
  } else if (PF_Err err = FX_GenerateDrops(in, drops, &drawPar, field)) {
    return err;
  }

  const FX_SampleFn<T> sampleFn = RenderTraits<T>::Sampler(env.suites);

  const double ambient = Get_Fix_Slider(in, kParamAmbient, now, step, scale) * 0.01;
  const double diffuse = Get_Fix_Slider(in, kParamDiffuse, now, step, scale) * 0.01;
  const double specular = Get_Fix_Slider(in, kParamSpecular, now, step, scale) * 0.01;
  const double smoothness = 1.0 / Get_Fix_Slider(in, kParamRoughness, now, step, scale);
  const double metal = Get_Fix_Slider(in, kParamMetal, now, step, scale) * 0.01;

  rip.shade = new LightShade(in, ambient, diffuse, specular, 0.0, metal, smoothness);
  LightShade& shade = *rip.shade;
  shade.SetOffset(areaOffsetX, areaOffsetY);  // before any light: every light moves with the area

  bool compositionLights = false;
  if (Get_PopUp(in, kParamUsing, now, step, scale) != kUsingEffectLight)
    compositionLights = GetAllLights(env, shade, A_Time{now, scale});

  if (!compositionLights) {
    // The effect's own light, with a white ambient light weighted by Ambient.
    shade.AddAmbientLight(FX_Double_Pixel{1.0, 1.0, 1.0, 1.0});
    const A_u_short type =
        Get_PopUp(in, kParamLightType, now, step, scale) == kLightTypePoint ? kLightPoint : kLightDistant;
    const double h = Get_Fix_Slider(in, kParamLightHeight, now, step, scale) * 0.01;
    const double azimuth = Get_Angle(in, kParamLightDirection, now, step, scale);
    const double theta = (180.0 - azimuth) * 0.017453292519943295;
    const double f = h < 0 ? h + 1.0 : 1.0 - h;
    const PF_ANSICallbacks& ansi = in->utils->ansi;
    const FX_D_Point v{f * ansi.sin(theta), f * ansi.cos(theta), h};
    const double len = ansi.sqrt(v.x * v.x + v.y * v.y + h * h);

    NewLightSource light{};
    light.type = type;
    light.direction = FX_VectorDivision(v, len);
    const FX_D_Point2D p = Get_Point(in, kParamLightPosition, now, step, scale);
    light.position = FX_D_Point{p.x * par.scaleX, p.y * par.scaleY, h * (areaWidth + areaHeight) * 0.5};
    const double intensity = Get_Fix_Slider(in, kParamLightIntensity, now, step, scale) * 0.01;
    light.color = NormalizePixel<T>(GetColorControl<T>(env, kParamLightColor, now, step, scale), intensity);
    shade.AddLightSource(light);
  }

  rip.displace = displace;
  rip.hiQuality = env.hiQuality;
  rip.heightWorld = field;
  rip.heightStride = field->rowbytes >> 2;
  rip.maxX = inputW - 1.0;
  rip.maxY = inputH - 1.0;
  rip.scaleX = par.scaleX;
  rip.scaleY = par.scaleY;
  rip.fixScaleX = par.fixScaleX;
  rip.fixScaleY = par.fixScaleY;
  rip.slopeX = -par.invScaleX;
  rip.slopeY = -par.invScaleY;
  rip.offsetX = sourceOffsetX;
  rip.offsetY = sourceOffsetY;
  rip.effectRef = in->effect_ref;
  rip.sampPB.src = env.input;
  rip.sampleFn = sampleFn;
  PrepareCalmWater(rip);

  // A host that hands out whole rows gets the row form of the kernel (the
  // same bytes, many pixels per call); any other host runs it per pixel.
  if (const PF_IterateRowsSuite1* rows = env.suites.IterateRowsSuite1IfAny()) {
    rip.sampleRunFn = RenderTraits<T>::RunSampler(*rows);
    return rows->iterate_rows(in, nullptr, &rip, BlobRIPRow<T>, env.output);
  }
  return RenderTraits<T>::Iterate(in, &rip, env.output);
}

template PF_Err RenderThisSmart<PF_Pixel>(Fxenv&);
template PF_Err RenderThisSmart<PF_Pixel16>(Fxenv&);
template PF_Err RenderThisSmart<PF_PixelFloat>(Fxenv&);
