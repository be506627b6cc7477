// What a host adds around the effect, the same for every front end: a
// "Seed" that gives another rain with the same settings, a "Mix" and a matte
// that limit where the rain shows, and a seamless loop. The effect itself
// does not change: all of it is the host's way of asking for frames and
// putting the result over the layer.
//
// Seed. The effect draws the drops of each birth frame from a sequence seeded
// with that frame's time, so every layer of one size and rate shows the same
// rain at the same time. Seed s renders frame f at the host time of frame
// f − s × SeedFrames(rate), and answers the effect's control reads at the
// time of frame f: seed s shows the drops seed 0 shows SeedFrames frames ×
// s earlier, with the controls and keyframes of frame f. SeedFrames is
// ⌊33554393 / D⌋ for a rate N/D (time step D): each seed has its own span of
// just under 2^25 of the host's 32-bit time units, 63 of them below time 0
// (seed 0 keeps the times of the frames without a seed, at and above 0), so
// there are 64 seeds, 0 to 63. A seed's rain is its own for SeedFrames
// frames (33554393 at whole-number rates, 33520 at 29.97 and 23.976 fps),
// after which seed s goes on with the rain of seed s − 1's first frames.
//
// Mix and matte. The effect's output is put over the layer it rendered from,
// sample by sample in the layer's own depth and alpha convention:
// input + (result − input) × Mix × matte, rounded to the depth's codes. A
// weight of 1 keeps the result as it is and 0 the input, exactly.
//
// Loop. A loop of P frames renders frame f as frame f mod P; the first
// LoopFade(P) frames of each turn cross-fade from the frame a period later
// (which continues the previous turn's last frame) to their own, in equal
// steps, so the step from the last frame to the first is one more step of
// the fade.
#pragma once

#include <string>
#include <vector>

#include "pf_effect.h"
#include "session/samples.h"
#include "session/timebase.h"

namespace pluvane::session {

// A control of the host's own, beside the effect's, in the words and range
// every front end shows.
struct HostControl {
  const char* name;
  double min, max, dflt;
  bool whole;  // takes whole numbers only
};
inline constexpr int kSeedCount = 64;
inline constexpr HostControl kSeed{"Seed", 0, kSeedCount - 1, 0, true};
inline constexpr HostControl kMix{"Mix", 0, 1, 1, false};

// The value checked against the control, Error in the effect's controls'
// words otherwise ("\"Seed\" = 70 (--seed) is outside its valid range 0 to 63; ...").
double CheckHostControl(const HostControl& control, double value, const std::string& origin);
// The same for a value written as text.
double ParseHostControl(const HostControl& control, const std::string& text, const std::string& origin);
// The value brought within the control's range (whole numbers to the
// nearest); NaN gives the default.
double ClampToHostControl(const HostControl& control, double value);

// The frames a seed's rain lasts at a rate, and the shift of seed s in frames.
long long SeedFrames(const Timebase& time);
long long SeedShift(int seed, const Timebase& time);

// "48" or "48f" frames, "2s" or "2.5s" seconds (to the nearest frame) at the
// rate; Error when not at least one frame or beyond the host's time range.
long long ParseLoop(const std::string& text, const Timebase& time, const std::string& what = "--loop");
// The frames at the start of each turn of a loop of `period` frames that are
// cross-faded: a quarter of the loop, at least one (none for a loop of one frame).
long long LoopFade(long long period);

// A matte: where the effect's result shows (1) and where the layer stays (0),
// in host values of a depth at the render size, read as level / full.
struct Matte {
  int width = 0, height = 0;
  std::vector<float> level;  // one a pixel
  double full = 1.0;         // the level of white: 255, 32768, or 1 for float
  bool invert = false;       // 1 − level / full ("Invert Matte")
};
// Which channel of a picture a matte reads: kAuto is its alpha when any pixel
// is less than opaque, its luma (0.2126 R + 0.7152 G + 0.0722 B of the values
// as stored; a grey pixel its own level) otherwise. kAlpha on the layer's own
// input world makes the layer's alpha the matte.
enum class MatteChannel { kAuto, kLuma, kAlpha };
Matte MatteOf(const HostImage& image, bool invert, MatteChannel channel = MatteChannel::kAuto);
// The same from a world of host values (a host's mask clip filled in with
// FillWorld, or the layer's input world).
Matte MatteOf(const PF_EffectWorld* world, Depth depth, bool invert, MatteChannel channel = MatteChannel::kAuto);

// onto = from + (onto − from) × weight, sample by sample in `depth`, over the
// worlds' common size; weight is `mix` times the matte's (when given) at the
// pixel. Integer depths round to the nearest code.
void BlendWorlds(const PF_EffectWorld* from, PF_EffectWorld* onto, Depth depth, double mix, const Matte* matte);

}  // namespace pluvane::session
