#include "fxenv.h"

Fxenv::Fxenv(PF_InData* in_data, PF_OutData* out_data, PF_ParamDef** params_,
             PF_LayerDef* output_)
    : suites(in_data->pica_basicP),
      inData(in_data),
      outData(out_data),
      params(params_),
      output(output_),
      hiQuality(in_data->quality == PF_Quality_HI) {}

PF_PixelFormat Fxenv::PixelFormat() {
  if (pixelFormat != PF_PixelFormat_INVALID || !output) return pixelFormat;
  // Asked for directly and released at once: the format is cached, the suite
  // is not needed again in this call.
  const SPBasicSuite* basic = inData->pica_basicP;
  const void* suite = nullptr;
  SPErr err = basic->AcquireSuite(kPFWorldSuite, kPFWorldSuiteVersion2, &suite);
  if (err == kSPNoError && suite) {
    static_cast<const PF_WorldSuite2*>(suite)->PF_GetPixelFormat(output, &pixelFormat);
  } else {
    pixelFormat = (output->world_flags & PF_WorldFlag_DEEP) ? PF_PixelFormat_ARGB64
                                                           : PF_PixelFormat_ARGB32;
  }
  if (suite) basic->ReleaseSuite(kPFWorldSuite, kPFWorldSuiteVersion2);
  return pixelFormat;
}
