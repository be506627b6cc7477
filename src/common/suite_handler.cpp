#include "suite_handler.h"

const AEGP_SuiteHandler::SlotInfo AEGP_SuiteHandler::kSlotInfo[kSlotCount] = {
    {kPFParamUtilsSuite, kPFParamUtilsSuiteVersion1},
    {kPFColorParamSuite, kPFColorParamSuiteVersion1},
    {kPFSampling8Suite, kPFSamplingSuiteVersion1},
    {kPFSampling16Suite, kPFSamplingSuiteVersion1},
    {kPFSamplingFloatSuite, kPFSamplingSuiteVersion1},
    {kPFIterateFloatSuite, kPFIterateFloatSuiteVersion1},
    {kPFWorldSuite, kPFWorldSuiteVersion1},
    {kPFWorldSuite, kPFWorldSuiteVersion2},
    {kAEGPPFInterfaceSuite, kAEGPPFInterfaceSuiteVersion1},
    {kAEGPLayerSuite, kAEGPLayerSuiteVersion5},
    {kAEGPLightSuite, kAEGPLightSuiteVersion1},
    {kAEGPStreamSuite, kAEGPStreamSuiteVersion4},
    {kPFIterateGenericSuite, kPFIterateGenericSuiteVersion1},
    {kPluvaneIterateRowsSuite, kPluvaneIterateRowsSuiteVersion1},
};

AEGP_SuiteHandler::AEGP_SuiteHandler(const SPBasicSuite* pica_basicP) : basic_(pica_basicP) {
  for (auto& s : slots_) s = nullptr;
  if (!basic_) MissingSuiteError();
}

AEGP_SuiteHandler::~AEGP_SuiteHandler() { ReleaseAllSuites(); }

// The suite, or null when the host has no such suite (or no way to give one).
const void* AEGP_SuiteHandler::Acquire(const char* name, int version) const {
  const void* suite = nullptr;
  if (!basic_->AcquireSuite || basic_->AcquireSuite(name, version, &suite) != kSPNoError) return nullptr;
  return suite;
}

const void* AEGP_SuiteHandler::LoadSuite(const char* name, int version) const {
  const void* suite = Acquire(name, version);
  if (!suite) MissingSuiteError();
  return suite;
}

SPErr AEGP_SuiteHandler::ReleaseSuite(const char* name, int version) {
  return basic_->ReleaseSuite ? basic_->ReleaseSuite(name, version) : kSPNoError;
}

void AEGP_SuiteHandler::ReleaseAllSuites() {
  for (int i = 0; i < kSlotCount; ++i) {
    if (slots_[i]) {
      ReleaseSuite(kSlotInfo[i].name, kSlotInfo[i].version);  // errors ignored
      slots_[i] = nullptr;
    }
  }
}

void AEGP_SuiteHandler::MissingSuiteError() const { throw static_cast<int>(PF_Err_BAD_CALLBACK_PARAM); }

const void* AEGP_SuiteHandler::Get(Slot slot) const {
  if (!slots_[slot]) slots_[slot] = LoadSuite(kSlotInfo[slot].name, kSlotInfo[slot].version);
  return slots_[slot];
}

#define PLUVANE_SUITE_ACCESSOR(Type, Fn, SlotName) \
  const Type* AEGP_SuiteHandler::Fn() const { return static_cast<const Type*>(Get(SlotName)); }

PLUVANE_SUITE_ACCESSOR(PF_ParamUtilsSuite1, ParamUtilsSuite1, kParamUtils1)
PLUVANE_SUITE_ACCESSOR(PF_ColorParamSuite1, ColorParamSuite1, kColorParam1)
PLUVANE_SUITE_ACCESSOR(PF_Sampling8Suite1, Sampling8Suite1, kSampling8_1)
PLUVANE_SUITE_ACCESSOR(PF_Sampling16Suite1, Sampling16Suite1, kSampling16_1)
PLUVANE_SUITE_ACCESSOR(PF_SamplingFloatSuite1, SamplingFloatSuite1, kSamplingFloat1)
PLUVANE_SUITE_ACCESSOR(PF_iterateFloatSuite1, IterateFloatSuite1, kIterateFloat1)
PLUVANE_SUITE_ACCESSOR(PF_WorldSuite1, WorldSuite1, kWorld1)
PLUVANE_SUITE_ACCESSOR(PF_WorldSuite2, WorldSuite2, kWorld2)
PLUVANE_SUITE_ACCESSOR(AEGP_PFInterfaceSuite1, PFInterfaceSuite1, kPFInterface1)
PLUVANE_SUITE_ACCESSOR(AEGP_LayerSuite5, LayerSuite5, kLayer5)
PLUVANE_SUITE_ACCESSOR(AEGP_LightSuite1, LightSuite1, kLight1)
PLUVANE_SUITE_ACCESSOR(AEGP_StreamSuite4, StreamSuite4, kStream4)

const void* AEGP_SuiteHandler::GetIfAny(Slot slot) const {
  if (!slots_[slot]) slots_[slot] = Acquire(kSlotInfo[slot].name, kSlotInfo[slot].version);
  return slots_[slot];
}

const PF_IterateGenericSuite1* AEGP_SuiteHandler::IterateGenericSuite1IfAny() const {
  return static_cast<const PF_IterateGenericSuite1*>(GetIfAny(kIterateGeneric1));
}

const PF_IterateRowsSuite1* AEGP_SuiteHandler::IterateRowsSuite1IfAny() const {
  return static_cast<const PF_IterateRowsSuite1*>(GetIfAny(kIterateRows1));
}
