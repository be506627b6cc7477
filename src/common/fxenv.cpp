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
  // is not needed again in this call. The release also happens when the
  // host's call throws.
  const SPBasicSuite* basic = inData->pica_basicP;
  struct Held {
    const SPBasicSuite* basic;
    const void* suite = nullptr;
    ~Held() {
      if (suite) basic->ReleaseSuite(kPFWorldSuite, kPFWorldSuiteVersion2);
    }
  } held{basic};
  SPErr err = basic->AcquireSuite(kPFWorldSuite, kPFWorldSuiteVersion2, &held.suite);
  if (err == kSPNoError && held.suite) {
    static_cast<const PF_WorldSuite2*>(held.suite)->PF_GetPixelFormat(output, &pixelFormat);
  } else {
    pixelFormat = (output->world_flags & PF_WorldFlag_DEEP) ? PF_PixelFormat_ARGB64
                                                           : PF_PixelFormat_ARGB32;
  }
  return pixelFormat;
}
