// Cache of the host suites one host call uses: each suite is acquired by name
// and version the first time it is asked for, and every acquired suite is
// released, under the same name and version, when the handler is destroyed.
#pragma once

#include "aegp_suites.h"

class AEGP_SuiteHandler {
 public:
  // Throws the integer 516 when the host gave no basic suite.
  explicit AEGP_SuiteHandler(const SPBasicSuite* pica_basicP);
  ~AEGP_SuiteHandler();
  AEGP_SuiteHandler(const AEGP_SuiteHandler&) = delete;
  AEGP_SuiteHandler& operator=(const AEGP_SuiteHandler&) = delete;

  // Accessors: acquire on first use, then return the cached table. A suite
  // the host cannot supply throws the integer 516.
  const PF_ParamUtilsSuite1* ParamUtilsSuite1() const;
  const PF_ColorParamSuite1* ColorParamSuite1() const;
  const PF_Sampling8Suite1* Sampling8Suite1() const;
  const PF_Sampling16Suite1* Sampling16Suite1() const;
  const PF_SamplingFloatSuite1* SamplingFloatSuite1() const;
  const PF_iterateFloatSuite1* IterateFloatSuite1() const;
  const PF_WorldSuite1* WorldSuite1() const;
  const PF_WorldSuite2* WorldSuite2() const;
  const AEGP_PFInterfaceSuite1* PFInterfaceSuite1() const;
  const AEGP_LayerSuite5* LayerSuite5() const;
  const AEGP_LightSuite1* LightSuite1() const;
  const AEGP_StreamSuite4* StreamSuite4() const;
  // Optional suites: null when the host lacks them, nothing thrown.
  const PF_IterateGenericSuite1* IterateGenericSuite1IfAny() const;
  const PF_IterateRowsSuite1* IterateRowsSuite1IfAny() const;

  const void* LoadSuite(const char* name, int version) const;
  SPErr ReleaseSuite(const char* name, int version);
  void ReleaseAllSuites();
  [[noreturn]] void MissingSuiteError() const;

 private:
  // Slot order is the release order.
  enum Slot {
    kParamUtils1,
    kColorParam1,
    kSampling8_1,
    kSampling16_1,
    kSamplingFloat1,
    kIterateFloat1,
    kWorld1,
    kWorld2,
    kPFInterface1,
    kLayer5,
    kLight1,
    kStream4,
    kIterateGeneric1,
    kIterateRows1,
    kSlotCount
  };
  struct SlotInfo {
    const char* name;
    int version;
  };
  static const SlotInfo kSlotInfo[kSlotCount];

  const void* Acquire(const char* name, int version) const;
  const void* Get(Slot slot) const;
  const void* GetIfAny(Slot slot) const;

  const SPBasicSuite* basic_;
  mutable const void* slots_[kSlotCount];
};
