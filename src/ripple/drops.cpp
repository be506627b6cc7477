#include "drops.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "common/params.h"
#include "ripple/height_field.h"

namespace {

constexpr double kInv16384 = 6.103515625e-05;      // 1 / 16384
constexpr double kInv65536 = 1.52587890625e-05;    // 1 / 65536
constexpr double kDegreesToWave = 0.0005555555555555556;  // 1 / 1800

}  // namespace

bool FX_PrepareDrops(PF_InData* in_data, double longevity, double areaWidth, double areaHeight,
                     double areaOffsetX, double areaOffsetY, FX_DropSetup* setup) {
  *setup = FX_DropSetup{};
  setup->longevity = longevity;
  setup->centerX = areaOffsetX + areaWidth * 0.5;
  setup->centerY = areaOffsetY + areaHeight * 0.5;
  setup->diagonal = in_data->utils->ansi.sqrt(areaWidth * areaWidth + areaHeight * areaHeight);
  const FX_TimeInfo time = FX_CopyTime(in_data);
  setup->frameStart = time.frameStart;
  setup->frameFraction = time.frameFraction;
  if (longevity == 0.0 || time.localTimeStep == 0) return false;
  setup->fps = static_cast<double>(time.timeScale) / static_cast<double>(time.localTimeStep);
  setup->lifeFrames = longevity * setup->fps;
  // A negative local time step (time running backwards) gives a negative life.
  if (setup->fps == 0.0 || setup->lifeFrames < 0.0) return false;
  setup->ageScale = 30.0 / setup->fps;
  setup->invLife = 1.0 / setup->lifeFrames;
  return true;
}

PF_Err FX_GenerateDrops(PF_InData* in_data, const FX_DropSetup& setup, FX_PAR* drawPar,
                        PF_LayerDef* heightWorld) {
  return FX_GenerateDrops(in_data, setup, drawPar, heightWorld, nullptr, nullptr);
}

PF_Err FX_GenerateDrops(PF_InData* in_data, const FX_DropSetup& setup, FX_PAR* drawPar,
                        PF_LayerDef* heightWorld, FX_DropObserver observer, void* context) {
  const A_long step = in_data->local_time_step;
  const A_u_long timeScale = in_data->time_scale;
  const A_long progressTotal = static_cast<A_long>(std::trunc(setup.lifeFrames + setup.lifeFrames));
  FX_Random random;  // per call: concurrent renders never share a sequence

  // Birth times wrap as 32-bit words; kept unsigned so the wrap is defined.
  uint32_t birthFrame = static_cast<uint32_t>(setup.frameStart) - static_cast<uint32_t>(step);
  for (A_long i = 1; static_cast<double>(i) < setup.lifeFrames;
       ++i, birthFrame -= static_cast<uint32_t>(step)) {
    const double age = i + setup.frameFraction;  // in layer frames
    const double ageW = setup.ageScale * age;     // in thirtieths of a second
    const double relAge = setup.invLife * age;
    const A_long tBirth = static_cast<A_long>(
        static_cast<int64_t>(in_data->current_time) -
        static_cast<int64_t>(std::trunc(static_cast<double>(step) * age)));

    random.Seed(birthFrame);
    const double candidates = Get_Fix_Slider(in_data, kParamDripRate, tBirth, step, timeScale) * 20.0;
    if (candidates <= 0.0) continue;
    const double wave = Get_Angle(in_data, kParamRippling, tBirth, step, timeScale) * kDegreesToWave;
    const double dropHeight =
        Get_Fix_Slider(in_data, kParamRippleHeight, tBirth, step, timeScale) * 0.01 * 0.01;
    const double spread = Get_Fix_Slider(in_data, kParamSpreading, tBirth, step, timeScale);
    const double fade = (1.0 - relAge) * dropHeight;
    if (fade <= 0.0) continue;

    for (A_long j = 0; static_cast<double>(j) < candidates; ++j) {
      // One draw per rejected candidate, four per drop: the order fixes every
      // later drop of the birth frame.
      if (!FX_Random::Accepts(random.Draw())) continue;
      const int u1 = FX_Random::Value15(random.Draw());
      const int u2 = FX_Random::Value15(random.Draw());
      const int u3 = FX_Random::Value15(random.Draw());
      // Uniform over [−diagonal, +diagonal) around the centre: most drops land
      // outside the layer and reach into it only by their radius.
      const FX_D_Point centre{(u1 * kInv16384 - 1.0) * setup.diagonal + setup.centerX,
                              (u2 * kInv16384 - 1.0) * setup.diagonal + setup.centerY, 0.0};
      const double amplitude = (u3 * kInv65536 + 0.5) * fade;
      // The candidate's index staggers the sizes by up to 1/30 s of age.
      const double radius =
          (static_cast<double>(j) / candidates + ageW) * spread * setup.invLife;
      if (heightWorld) FX_DrawForce(in_data, drawPar, centre, amplitude, radius, wave, heightWorld);
      if (observer) {
        observer(context, FX_DropInfo{centre, amplitude, radius, wave, fade, i, tBirth, birthFrame,
                                      candidates, j});
      }
    }

    if (PF_Err err = in_data->inter.progress(in_data->effect_ref, i, progressTotal)) return err;
  }
  return PF_Err_NONE;
}

namespace {

struct Ripple {
  FX_D_Point centre;
  double amplitude, radius, wave;
};

struct BandJob {
  PF_InData* in_data;
  FX_PAR* par;
  PF_LayerDef* field;
  const std::vector<Ripple>* ripples;
  A_long band_rows;
};

void Collect(void* context, const FX_DropInfo& d) {
  static_cast<std::vector<Ripple>*>(context)->push_back(Ripple{d.centre, d.amplitude, d.radius, d.wave});
}

PF_Err DrawBand(void* refcon, A_long /*thread_index*/, A_long band, A_long /*bands*/) {
  const BandJob& job = *static_cast<const BandJob*>(refcon);
  const A_long begin = band * job.band_rows;
  const A_long end = std::min(job.field->height, begin + job.band_rows);
  for (const Ripple& r : *job.ripples)
    FX_DrawForceRows(job.in_data, job.par, r.centre, r.amplitude, r.radius, r.wave, job.field, begin, end);
  return PF_Err_NONE;
}

}  // namespace

PF_Err FX_GenerateDropsBanded(PF_InData* in_data, const FX_DropSetup& setup, FX_PAR* drawPar,
                              PF_LayerDef* heightWorld, const PF_IterateGenericSuite1& generic) {
  std::vector<Ripple> ripples;  // one list per frame, grown geometrically
  ripples.reserve(1024);
  if (PF_Err err = FX_GenerateDrops(in_data, setup, drawPar, nullptr, Collect, &ripples)) return err;
  if (ripples.empty() || heightWorld->height <= 0) return PF_Err_NONE;
  // Bands of a few dozen rows: enough of them to keep every thread busy.
  const A_long band_rows = std::max<A_long>(8, (heightWorld->height + 63) / 64);
  const A_long bands = (heightWorld->height + band_rows - 1) / band_rows;
  BandJob job{in_data, drawPar, heightWorld, &ripples, band_rows};
  return generic.iterate_generic(in_data->effect_ref, bands, &job, DrawBand);
}
