// The environment of one host call: the call's host records, its images and
// its suite cache. Built on the stack by every command that needs it and
// destroyed when the command ends, which releases every suite it acquired.
#pragma once

#include "suite_handler.h"

class Fxenv {
 public:
  Fxenv(PF_InData* in_data, PF_OutData* out_data, PF_ParamDef** params, PF_LayerDef* output);
  Fxenv(const Fxenv&) = delete;
  Fxenv& operator=(const Fxenv&) = delete;

  // The output image's pixel format, asked of the host once and cached.
  PF_PixelFormat PixelFormat();

  AEGP_SuiteHandler suites;  // first: its constructor throws 516 without a basic suite
  PF_InData* inData;
  PF_OutData* outData;
  PF_ParamDef** params;
  PF_EffectWorld* output;
  PF_EffectWorld* input = nullptr;
  PF_SmartRenderExtra* smartExtra = nullptr;  // set only in smart render
  PF_PixelFormat pixelFormat = PF_PixelFormat_INVALID;
  bool hiQuality;
};
