// The water surface as a height field: one 32-bit float per buffer pixel,
// stored in an 8-bit ARGB world (4 bytes per pixel). Every live drop adds one
// ring-shaped ripple to it; nothing else writes it.
#pragma once

#include "common/snapshot.h"

// Adds the ripple of one drop to `field`. `centre` (z ignored) and `radius`
// are in working units; `par` gives the scale factors to buffer pixels.
// At distance d < radius the height is
//   amplitude × S(d / radius) × (radius − d) × −sin(wave × (radius − d))
// with S the smoothstep; cells at or beyond the radius are untouched. Square
// root and sine come from the host's math callbacks.
void FX_DrawForce(PF_InData* in_data, FX_PAR* par, FX_D_Point centre, double amplitude, double radius,
                  double wave, PF_LayerDef* field);

// The same ripple, drawn only into rows rowBegin..rowEnd−1 of the field. Every
// cell gets exactly the value FX_DrawForce adds to it, so a field split into
// bands, each drawing every drop in order, equals the field drawn whole.
void FX_DrawForceRows(PF_InData* in_data, FX_PAR* par, FX_D_Point centre, double amplitude, double radius,
                      double wave, PF_LayerDef* field, A_long rowBegin, A_long rowEnd);
