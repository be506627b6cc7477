// Drop generation. Nothing is kept between frames: every frame regenerates
// every drop still alive at its time, birth frame by birth frame, each birth
// frame from a pseudo-random sequence seeded with its own time. A frame thus
// shows the same drops whatever order frames are rendered in, and a drop keeps
// its place and strength while its ripple grows and fades.
#pragma once

#include <cstdint>

#include "pf_suites.h"
#include "common/snapshot.h"

// The classic 32-bit linear congruential generator. A draw advances the state
// and returns the new state; Value15 gives the 15 bits a draw contributes.
// Held by value in the call that uses it, never shared between renders.
struct FX_Random {
  uint32_t rnext = 0;

  void Seed(uint32_t seed) { rnext = seed; }
  uint32_t Draw() {
    rnext = rnext * 1103515245u + 12345u;
    return rnext;
  }
  static int Value15(uint32_t state) { return static_cast<int>((state >> 16) & 0x7fff); }
  // Bit 16 of the new state decides whether a candidate becomes a drop.
  static bool Accepts(uint32_t state) { return (state & 0x10000u) != 0; }
};

// Values of the frame that generation needs, all in working units and layer
// frames.
struct FX_DropSetup {
  double longevity;   // drop life in seconds (Longevity at frame time)
  double fps;         // time_scale / local_time_step
  double lifeFrames;  // longevity × fps
  double invLife;     // 1 / lifeFrames
  double ageScale;    // 30 / fps: layer frames to thirtieths of a second
  A_long frameStart;  // from FX_CopyTime
  double frameFraction;
  double centerX, centerY;  // centre of the scatter area
  double diagonal;          // diagonal of the scatter area
};

// Fills `setup` from the frame time of in_data, the Longevity read at frame
// time and the scatter area (size and offset of its top-left corner); the
// diagonal uses the host's square root. Returns true when there is water to
// generate: longevity, local time step and fps non-zero and lifeFrames not
// negative. On false the frame passes its input through, and the fields that
// depend on the local time step are left 0.
bool FX_PrepareDrops(PF_InData* in_data, double longevity, double areaWidth, double areaHeight,
                     double areaOffsetX, double areaOffsetY, FX_DropSetup* setup);

// One generated drop, as seen by an observer.
struct FX_DropInfo {
  FX_D_Point centre;  // working units; z is 0
  double amplitude;
  double radius;  // working units
  double wave;
  double fade;         // (1 − relative age) × drop height of the birth frame
  A_long birthIndex;   // 1 for the frames just before the current one
  A_long birthTime;    // the time the parameters were read at
  uint32_t seed;       // the birth frame's seed
  double candidates;   // Drip Rate × 20 at the birth time
  A_long candidate;    // index j of the candidate that became this drop
};
typedef void (*FX_DropObserver)(void* context, const FX_DropInfo& drop);

// Adds every drop alive at the frame time to `heightWorld` with FX_DrawForce.
// Progress is reported after each birth frame, except those skipped because
// their Drip Rate or their fade is not positive. A non-zero
// answer of the host's progress callback stops generation between birth
// frames and is returned.
PF_Err FX_GenerateDrops(PF_InData* in_data, const FX_DropSetup& setup, FX_PAR* drawPar,
                        PF_LayerDef* heightWorld);

// The same, with `observer` (when not null) called for every drop after it is
// drawn. `heightWorld` may be null to only observe.
PF_Err FX_GenerateDrops(PF_InData* in_data, const FX_DropSetup& setup, FX_PAR* drawPar,
                        PF_LayerDef* heightWorld, FX_DropObserver observer, void* context);

// The same field drawn on the host's threads through `generic` ("PF Iterate
// Generic Suite"): the drops are generated first, in the same order and with
// the same progress reports, then the field is cut into bands of rows and
// each band draws every drop that reaches it, in generation order. Each cell
// thus receives the same additions in the same order as when drawn on one
// thread, and the field is the same to the bit.
PF_Err FX_GenerateDropsBanded(PF_InData* in_data, const FX_DropSetup& setup, FX_PAR* drawPar,
                              PF_LayerDef* heightWorld, const PF_IterateGenericSuite1& generic);
