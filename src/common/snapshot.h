// The parameter snapshot of a render: small getters that read one control at
// an explicit time, the scale factors between buffer pixels and working units
// (full-resolution, square-pixel coordinates), and the frame-aligned time.
#pragma once

#include "common/fx_types.h"
#include "pf_effect.h"

// The value of a point control.
struct FX_D_Point2D {
  double x, y;
};

// Getters: check the control out at (time, time_step, time_scale), convert,
// check it in. A failed checkout reads as 0.
double Get_Fix_Slider(PF_InData* in_data, int index, A_long time, A_long time_step, A_u_long time_scale);
double Get_Angle(PF_InData* in_data, int index, A_long time, A_long time_step, A_u_long time_scale);
FX_D_Point2D Get_Point(PF_InData* in_data, int index, A_long time, A_long time_step, A_u_long time_scale);
int Get_PopUp(PF_InData* in_data, int index, A_long time, A_long time_step, A_u_long time_scale);
// Red, green and blue as stored; alpha always 255.
PF_Pixel Get_Color(PF_InData* in_data, int index, A_long time, A_long time_step, A_u_long time_scale);

// Factors between buffer pixels and working units, taken once per render
// from the resolution and pixel aspect in in_data.
struct FX_PARc {
  explicit FX_PARc(const PF_InData* in_data);

  double meanScale;  // (scaleX + scaleY) / 2
  double invAspect;  // 1 / pixel aspect
  double scaleX;     // buffer pixel to working unit, x
  double scaleY;
  double invScaleX;  // working unit to buffer pixel, x
  double invScaleY;
  double fixScaleX;  // working unit to 16.16 buffer pixel, x
  double fixScaleY;
  float meanScaleF, invAspectF, scaleXF, scaleYF, invScaleXF, invScaleYF, fixScaleXF, fixScaleYF;
};

// The record handed to the ripple drawing.
struct FX_PAR {
  double width, height;  // the input layer's size in working units
  double invAspect;
  double scaleX, scaleY;
  double invScaleX, invScaleY;
};

// The current time split into a frame-aligned start and the offset into the frame.
struct FX_TimeInfo {
  A_long time;
  A_long frameStart;   // time truncated toward zero to a multiple of localTimeStep
  A_long frameOffset;  // time − frameStart
  A_u_long timeScale;
  A_long timeStep;
  A_long localTimeStep;
  double frameFraction;  // frameOffset / localTimeStep
};

// Frame-aligned time; with a local time step of 0 the frame fields are 0.
FX_TimeInfo FX_CopyTime(const PF_InData* in_data);

// v / d; the vector unchanged when d is exactly 0.
FX_D_Point FX_VectorDivision(FX_D_Point v, double d);
