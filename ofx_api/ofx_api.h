// Our declarations of the OpenFX image effect C API (API version 1.4), only
// what the plug-in and its test host use. Written from the published OpenFX
// programming reference: every string below is the name the reference gives a
// property, action, type or value, and every suite lists its functions in the
// order the reference publishes them (hosts hand out tables of function
// pointers, so the order is the binary interface). Property types and
// dimensions are noted beside each name as "type x dimension". The tests hold
// every string and number here against the standard's list in their strict
// host, and against the official headers when those are at hand.
#pragma once

#include <cstddef>

extern "C" {

// ---- handles and basic types ---------------------------------------------------------
struct OfxPropertySetStruct;
struct OfxImageEffectStruct;
struct OfxImageClipStruct;
struct OfxParamStruct;
struct OfxParamSetStruct;
struct OfxImageMemoryStruct;
struct OfxMutex;
using OfxPropertySetHandle = OfxPropertySetStruct*;
using OfxImageEffectHandle = OfxImageEffectStruct*;
using OfxImageClipHandle = OfxImageClipStruct*;
using OfxParamHandle = OfxParamStruct*;
using OfxParamSetHandle = OfxParamSetStruct*;
using OfxImageMemoryHandle = OfxImageMemoryStruct*;
using OfxMutexHandle = OfxMutex*;

using OfxStatus = int;
using OfxTime = double;  // in frames

struct OfxRectI {
  int x1, y1, x2, y2;
};
struct OfxRectD {
  double x1, y1, x2, y2;
};
struct OfxPointD {
  double x, y;
};

// The host as a plug-in sees it: its property set and the suite look-up.
struct OfxHost {
  OfxPropertySetHandle host;
  const void* (*fetchSuite)(OfxPropertySetHandle host, const char* suiteName, int suiteVersion);
};

using OfxPluginEntryPoint = OfxStatus(const char* action, const void* handle, OfxPropertySetHandle inArgs,
                                      OfxPropertySetHandle outArgs);

// What OfxGetPlugin(n) returns.
struct OfxPlugin {
  const char* pluginApi;
  int apiVersion;
  const char* pluginIdentifier;
  unsigned int pluginVersionMajor;
  unsigned int pluginVersionMinor;
  void (*setHost)(OfxHost* host);
  OfxPluginEntryPoint* mainEntry;
};

// ---- status codes ----------------------------------------------------------------------
inline constexpr OfxStatus kOfxStatOK = 0;
inline constexpr OfxStatus kOfxStatFailed = 1;
inline constexpr OfxStatus kOfxStatErrFatal = 2;
inline constexpr OfxStatus kOfxStatErrUnknown = 3;
inline constexpr OfxStatus kOfxStatErrMissingHostFeature = 4;
inline constexpr OfxStatus kOfxStatErrUnsupported = 5;
inline constexpr OfxStatus kOfxStatErrExists = 6;
inline constexpr OfxStatus kOfxStatErrFormat = 7;
inline constexpr OfxStatus kOfxStatErrMemory = 8;
inline constexpr OfxStatus kOfxStatErrBadHandle = 9;
inline constexpr OfxStatus kOfxStatErrBadIndex = 10;
inline constexpr OfxStatus kOfxStatErrValue = 11;
inline constexpr OfxStatus kOfxStatReplyYes = 12;
inline constexpr OfxStatus kOfxStatReplyNo = 13;
inline constexpr OfxStatus kOfxStatReplyDefault = 14;

// ---- suites --------------------------------------------------------------------------------
inline constexpr char kOfxPropertySuite[] = "OfxPropertySuite";          // version 1
inline constexpr char kOfxImageEffectSuite[] = "OfxImageEffectSuite";    // version 1
inline constexpr char kOfxParameterSuite[] = "OfxParameterSuite";        // version 1
inline constexpr char kOfxMultiThreadSuite[] = "OfxMultiThreadSuite";    // version 1
inline constexpr char kOfxMessageSuite[] = "OfxMessageSuite";            // versions 1 and 2

struct OfxPropertySuiteV1 {
  OfxStatus (*propSetPointer)(OfxPropertySetHandle properties, const char* property, int index, void* value);
  OfxStatus (*propSetString)(OfxPropertySetHandle properties, const char* property, int index, const char* value);
  OfxStatus (*propSetDouble)(OfxPropertySetHandle properties, const char* property, int index, double value);
  OfxStatus (*propSetInt)(OfxPropertySetHandle properties, const char* property, int index, int value);
  OfxStatus (*propSetPointerN)(OfxPropertySetHandle properties, const char* property, int count, void* const* value);
  OfxStatus (*propSetStringN)(OfxPropertySetHandle properties, const char* property, int count, const char* const* value);
  OfxStatus (*propSetDoubleN)(OfxPropertySetHandle properties, const char* property, int count, const double* value);
  OfxStatus (*propSetIntN)(OfxPropertySetHandle properties, const char* property, int count, const int* value);
  OfxStatus (*propGetPointer)(OfxPropertySetHandle properties, const char* property, int index, void** value);
  OfxStatus (*propGetString)(OfxPropertySetHandle properties, const char* property, int index, char** value);
  OfxStatus (*propGetDouble)(OfxPropertySetHandle properties, const char* property, int index, double* value);
  OfxStatus (*propGetInt)(OfxPropertySetHandle properties, const char* property, int index, int* value);
  OfxStatus (*propGetPointerN)(OfxPropertySetHandle properties, const char* property, int count, void** value);
  OfxStatus (*propGetStringN)(OfxPropertySetHandle properties, const char* property, int count, char** value);
  OfxStatus (*propGetDoubleN)(OfxPropertySetHandle properties, const char* property, int count, double* value);
  OfxStatus (*propGetIntN)(OfxPropertySetHandle properties, const char* property, int count, int* value);
  OfxStatus (*propReset)(OfxPropertySetHandle properties, const char* property);
  OfxStatus (*propGetDimension)(OfxPropertySetHandle properties, const char* property, int* count);
};

struct OfxImageEffectSuiteV1 {
  OfxStatus (*getPropertySet)(OfxImageEffectHandle imageEffect, OfxPropertySetHandle* propHandle);
  OfxStatus (*getParamSet)(OfxImageEffectHandle imageEffect, OfxParamSetHandle* paramSet);
  OfxStatus (*clipDefine)(OfxImageEffectHandle imageEffect, const char* name, OfxPropertySetHandle* propertySet);
  OfxStatus (*clipGetHandle)(OfxImageEffectHandle imageEffect, const char* name, OfxImageClipHandle* clip,
                             OfxPropertySetHandle* propertySet);
  OfxStatus (*clipGetPropertySet)(OfxImageClipHandle clip, OfxPropertySetHandle* propHandle);
  OfxStatus (*clipGetImage)(OfxImageClipHandle clip, OfxTime time, const OfxRectD* region, OfxPropertySetHandle* imageHandle);
  OfxStatus (*clipReleaseImage)(OfxPropertySetHandle imageHandle);
  OfxStatus (*clipGetRegionOfDefinition)(OfxImageClipHandle clip, OfxTime time, OfxRectD* bounds);
  int (*abort)(OfxImageEffectHandle imageEffect);
  OfxStatus (*imageMemoryAlloc)(OfxImageEffectHandle instanceHandle, size_t nBytes, OfxImageMemoryHandle* memoryHandle);
  OfxStatus (*imageMemoryFree)(OfxImageMemoryHandle memoryHandle);
  OfxStatus (*imageMemoryLock)(OfxImageMemoryHandle memoryHandle, void** returnedPtr);
  OfxStatus (*imageMemoryUnlock)(OfxImageMemoryHandle memoryHandle);
};

// The value functions take the values' pointers (getters) or values (setters)
// as variable arguments, by the parameter's type: a double: double (one); 2D:
// two; RGB: three; choice and integer: int.
struct OfxParameterSuiteV1 {
  OfxStatus (*paramDefine)(OfxParamSetHandle paramSet, const char* paramType, const char* name,
                           OfxPropertySetHandle* propertySet);
  OfxStatus (*paramGetHandle)(OfxParamSetHandle paramSet, const char* name, OfxParamHandle* param,
                              OfxPropertySetHandle* propertySet);
  OfxStatus (*paramSetGetPropertySet)(OfxParamSetHandle paramSet, OfxPropertySetHandle* propHandle);
  OfxStatus (*paramGetPropertySet)(OfxParamHandle param, OfxPropertySetHandle* propHandle);
  OfxStatus (*paramGetValue)(OfxParamHandle paramHandle, ...);
  OfxStatus (*paramGetValueAtTime)(OfxParamHandle paramHandle, OfxTime time, ...);
  OfxStatus (*paramGetDerivative)(OfxParamHandle paramHandle, OfxTime time, ...);
  OfxStatus (*paramGetIntegral)(OfxParamHandle paramHandle, OfxTime time1, OfxTime time2, ...);
  OfxStatus (*paramSetValue)(OfxParamHandle paramHandle, ...);
  OfxStatus (*paramSetValueAtTime)(OfxParamHandle paramHandle, OfxTime time, ...);
  OfxStatus (*paramGetNumKeys)(OfxParamHandle paramHandle, unsigned int* numberOfKeys);
  OfxStatus (*paramGetKeyTime)(OfxParamHandle paramHandle, unsigned int nthKey, OfxTime* time);
  OfxStatus (*paramGetKeyIndex)(OfxParamHandle paramHandle, OfxTime time, int direction, int* index);
  OfxStatus (*paramDeleteKey)(OfxParamHandle paramHandle, OfxTime time);
  OfxStatus (*paramDeleteAllKeys)(OfxParamHandle paramHandle);
  OfxStatus (*paramCopy)(OfxParamHandle paramTo, OfxParamHandle paramFrom, OfxTime dstOffset, const void* frameRange);
  OfxStatus (*paramEditBegin)(OfxParamSetHandle paramSet, const char* name);
  OfxStatus (*paramEditEnd)(OfxParamSetHandle paramSet);
};

// Runs in each of the threads multiThread starts: (index, count, argument).
using OfxThreadFunctionV1 = void(unsigned int threadIndex, unsigned int threadMax, void* customArg);

struct OfxMultiThreadSuiteV1 {
  OfxStatus (*multiThread)(OfxThreadFunctionV1 func, unsigned int nThreads, void* customArg);
  OfxStatus (*multiThreadNumCPUs)(unsigned int* nCPUs);
  OfxStatus (*multiThreadIndex)(unsigned int* threadIndex);
  int (*multiThreadIsSpawnedThread)();
  OfxStatus (*mutexCreate)(OfxMutexHandle* mutex, int lockCount);
  OfxStatus (*mutexDestroy)(OfxMutexHandle mutex);
  OfxStatus (*mutexLock)(OfxMutexHandle mutex);
  OfxStatus (*mutexUnLock)(OfxMutexHandle mutex);
  OfxStatus (*mutexTryLock)(OfxMutexHandle mutex);
};

// Version 2 begins with version 1's one function; a host may hand the same
// table for both.
struct OfxMessageSuiteV1 {
  OfxStatus (*message)(void* handle, const char* messageType, const char* messageId, const char* format, ...);
};
struct OfxMessageSuiteV2 {
  OfxStatus (*message)(void* handle, const char* messageType, const char* messageId, const char* format, ...);
  OfxStatus (*setPersistentMessage)(void* handle, const char* messageType, const char* messageId, const char* format, ...);
  OfxStatus (*clearPersistentMessage)(void* handle);
};
inline constexpr char kOfxMessageError[] = "OfxMessageError";
inline constexpr char kOfxMessageWarning[] = "OfxMessageWarning";

// ---- the plug-in API ---------------------------------------------------------------------
inline constexpr char kOfxImageEffectPluginApi[] = "OfxImageEffectPluginAPI";
inline constexpr int kOfxImageEffectPluginApiVersion = 1;

// ---- actions (the first argument of the main entry) ------------------------------------------
inline constexpr char kOfxActionLoad[] = "OfxActionLoad";
inline constexpr char kOfxActionUnload[] = "OfxActionUnload";
inline constexpr char kOfxActionDescribe[] = "OfxActionDescribe";
inline constexpr char kOfxActionCreateInstance[] = "OfxActionCreateInstance";
inline constexpr char kOfxActionDestroyInstance[] = "OfxActionDestroyInstance";
inline constexpr char kOfxActionInstanceChanged[] = "OfxActionInstanceChanged";
inline constexpr char kOfxImageEffectActionDescribeInContext[] = "OfxImageEffectActionDescribeInContext";
inline constexpr char kOfxImageEffectActionGetClipPreferences[] = "OfxImageEffectActionGetClipPreferences";
inline constexpr char kOfxImageEffectActionGetRegionOfDefinition[] = "OfxImageEffectActionGetRegionOfDefinition";
inline constexpr char kOfxImageEffectActionGetRegionsOfInterest[] = "OfxImageEffectActionGetRegionsOfInterest";
inline constexpr char kOfxImageEffectActionBeginSequenceRender[] = "OfxImageEffectActionBeginSequenceRender";
inline constexpr char kOfxImageEffectActionRender[] = "OfxImageEffectActionRender";
inline constexpr char kOfxImageEffectActionEndSequenceRender[] = "OfxImageEffectActionEndSequenceRender";

// ---- general properties ----------------------------------------------------------------------
inline constexpr char kOfxPropType[] = "OfxPropType";                      // string x 1
inline constexpr char kOfxPropName[] = "OfxPropName";                      // string x 1
inline constexpr char kOfxPropLabel[] = "OfxPropLabel";                    // string x 1
inline constexpr char kOfxPropPluginDescription[] = "OfxPropPluginDescription";  // string x 1
inline constexpr char kOfxPropTime[] = "OfxPropTime";                      // double x 1
inline constexpr char kOfxPropInstanceData[] = "OfxPropInstanceData";      // pointer x 1
inline constexpr char kOfxPropChangeReason[] = "OfxPropChangeReason";      // string x 1
inline constexpr char kOfxTypeParameter[] = "OfxTypeParameter";            // a kOfxPropType value

// ---- the effect: descriptor and instance ------------------------------------------------------
inline constexpr char kOfxImageEffectPluginPropGrouping[] = "OfxImageEffectPluginPropGrouping";  // string x 1
inline constexpr char kOfxImageEffectPropSupportedContexts[] = "OfxImageEffectPropSupportedContexts";  // string x N
inline constexpr char kOfxImageEffectPropSupportedPixelDepths[] = "OfxImageEffectPropSupportedPixelDepths";  // string x N
inline constexpr char kOfxImageEffectPluginPropSingleInstance[] = "OfxImageEffectPluginPropSingleInstance";  // int x 1
inline constexpr char kOfxImageEffectPluginPropHostFrameThreading[] = "OfxImageEffectPluginPropHostFrameThreading";  // int x 1
inline constexpr char kOfxImageEffectPluginRenderThreadSafety[] = "OfxImageEffectPluginRenderThreadSafety";  // string x 1
inline constexpr char kOfxImageEffectPropSupportsMultiResolution[] = "OfxImageEffectPropSupportsMultiResolution";  // int x 1
inline constexpr char kOfxImageEffectPropSupportsTiles[] = "OfxImageEffectPropSupportsTiles";  // int x 1 (effect and clip)
inline constexpr char kOfxImageEffectPropTemporalClipAccess[] = "OfxImageEffectPropTemporalClipAccess";  // int x 1
inline constexpr char kOfxImageEffectPropSupportsMultipleClipDepths[] = "OfxImageEffectPropMultipleClipDepths";  // int x 1
inline constexpr char kOfxImageEffectPropSupportsMultipleClipPARs[] = "OfxImageEffectPropSupportsMultipleClipPARs";  // int x 1
inline constexpr char kOfxImageEffectPropContext[] = "OfxImageEffectPropContext";  // string x 1
inline constexpr char kOfxImageEffectPropFrameRate[] = "OfxImageEffectPropFrameRate";  // double x 1 (instance, clip)
// The rate of the footage a clip was made from, before any retiming.
inline constexpr char kOfxImageEffectPropUnmappedFrameRate[] = "OfxImageEffectPropUnmappedFrameRate";  // double x 1 (clip)
inline constexpr char kOfxImageEffectPropProjectSize[] = "OfxImageEffectPropProjectSize";  // double x 2
inline constexpr char kOfxImageEffectPropProjectOffset[] = "OfxImageEffectPropProjectOffset";  // double x 2
inline constexpr char kOfxImageEffectInstancePropEffectDuration[] = "OfxImageEffectInstancePropEffectDuration";  // double x 1

inline constexpr char kOfxImageEffectContextFilter[] = "OfxImageEffectContextFilter";
inline constexpr char kOfxImageEffectContextGeneral[] = "OfxImageEffectContextGeneral";
inline constexpr char kOfxImageEffectRenderInstanceSafe[] = "OfxImageEffectRenderInstanceSafe";

// ---- clips and images ---------------------------------------------------------------------------
inline constexpr char kOfxImageEffectSimpleSourceClipName[] = "Source";
inline constexpr char kOfxImageEffectOutputClipName[] = "Output";
inline constexpr char kOfxImageEffectPropSupportedComponents[] = "OfxImageEffectPropSupportedComponents";  // string x N
inline constexpr char kOfxImageClipPropOptional[] = "OfxImageClipPropOptional";  // int x 1
inline constexpr char kOfxImageClipPropConnected[] = "OfxImageClipPropConnected";  // int x 1
// A clip only ever fetched as single-channel alpha: hosts may feed it from a roto shape.
inline constexpr char kOfxImageClipPropIsMask[] = "OfxImageClipPropIsMask";  // int x 1
inline constexpr char kOfxImageEffectPropPixelDepth[] = "OfxImageEffectPropPixelDepth";  // string x 1 (clip, image)
inline constexpr char kOfxImageEffectPropComponents[] = "OfxImageEffectPropComponents";  // string x 1 (clip, image)
inline constexpr char kOfxImageEffectPropPreMultiplication[] = "OfxImageEffectPropPreMultiplication";  // string x 1
inline constexpr char kOfxImagePropPixelAspectRatio[] = "OfxImagePropPixelAspectRatio";  // double x 1 (clip, image)
inline constexpr char kOfxImagePropData[] = "OfxImagePropData";            // pointer x 1
inline constexpr char kOfxImagePropBounds[] = "OfxImagePropBounds";        // int x 4
inline constexpr char kOfxImagePropRowBytes[] = "OfxImagePropRowBytes";    // int x 1

inline constexpr char kOfxBitDepthByte[] = "OfxBitDepthByte";
inline constexpr char kOfxBitDepthShort[] = "OfxBitDepthShort";
inline constexpr char kOfxBitDepthFloat[] = "OfxBitDepthFloat";
inline constexpr char kOfxImageComponentRGBA[] = "OfxImageComponentRGBA";
inline constexpr char kOfxImageComponentRGB[] = "OfxImageComponentRGB";
inline constexpr char kOfxImageComponentAlpha[] = "OfxImageComponentAlpha";
inline constexpr char kOfxImageOpaque[] = "OfxImageOpaque";
inline constexpr char kOfxImagePreMultiplied[] = "OfxImageAlphaPremultiplied";
inline constexpr char kOfxImageUnPreMultiplied[] = "OfxImageAlphaUnPremultiplied";

// ---- action arguments ----------------------------------------------------------------------------
inline constexpr char kOfxImageEffectPropRenderScale[] = "OfxImageEffectPropRenderScale";  // double x 2
inline constexpr char kOfxImageEffectPropRenderWindow[] = "OfxImageEffectPropRenderWindow";  // int x 4
inline constexpr char kOfxImageEffectPropRegionOfDefinition[] = "OfxImageEffectPropRegionOfDefinition";  // double x 4
inline constexpr char kOfxImageEffectPropRegionOfInterest[] = "OfxImageEffectPropRegionOfInterest";  // double x 4
// Per-clip arguments are named by this prefix followed by the clip's name.
inline constexpr char kOfxImageClipPropRoIPrefix[] = "OfxImageClipPropRoI_";        // double x 4
inline constexpr char kOfxImageClipPropComponentsPrefix[] = "OfxImageClipPropComponents_";  // string x 1
// Clip preferences: whether the output differs from frame to frame over the same inputs.
inline constexpr char kOfxImageEffectFrameVarying[] = "OfxImageEffectFrameVarying";  // int x 1

// ---- parameters ----------------------------------------------------------------------------------
inline constexpr char kOfxParamTypeDouble[] = "OfxParamTypeDouble";
inline constexpr char kOfxParamTypeDouble2D[] = "OfxParamTypeDouble2D";
inline constexpr char kOfxParamTypeRGB[] = "OfxParamTypeRGB";
inline constexpr char kOfxParamTypeChoice[] = "OfxParamTypeChoice";
inline constexpr char kOfxParamTypeGroup[] = "OfxParamTypeGroup";
inline constexpr char kOfxParamTypeInteger[] = "OfxParamTypeInteger";
inline constexpr char kOfxParamTypeBoolean[] = "OfxParamTypeBoolean";

inline constexpr char kOfxParamPropType[] = "OfxParamPropType";            // string x 1
inline constexpr char kOfxParamPropScriptName[] = "OfxParamPropScriptName";  // string x 1
inline constexpr char kOfxParamPropHint[] = "OfxParamPropHint";            // string x 1
inline constexpr char kOfxParamPropParent[] = "OfxParamPropParent";        // string x 1
inline constexpr char kOfxParamPropEnabled[] = "OfxParamPropEnabled";      // int x 1
inline constexpr char kOfxParamPropAnimates[] = "OfxParamPropAnimates";    // int x 1
inline constexpr char kOfxParamPropDefault[] = "OfxParamPropDefault";      // by type: double x 1, 2 or 3; int x 1
inline constexpr char kOfxParamPropMin[] = "OfxParamPropMin";              // as the default
inline constexpr char kOfxParamPropMax[] = "OfxParamPropMax";
inline constexpr char kOfxParamPropDisplayMin[] = "OfxParamPropDisplayMin";
inline constexpr char kOfxParamPropDisplayMax[] = "OfxParamPropDisplayMax";
inline constexpr char kOfxParamPropDigits[] = "OfxParamPropDigits";        // int x 1
inline constexpr char kOfxParamPropDoubleType[] = "OfxParamPropDoubleType";  // string x 1
inline constexpr char kOfxParamPropDefaultCoordinateSystem[] = "OfxParamPropDefaultCoordinateSystem";  // string x 1
// A 2D position the host may draw and drag in its viewer. The standard's
// string keeps the leading "k", unlike every other name.
inline constexpr char kOfxParamPropUseHostOverlayHandle[] = "kOfxParamPropUseHostOverlayHandle";  // int x 1
inline constexpr char kOfxParamPropChoiceOption[] = "OfxParamPropChoiceOption";  // string x N

inline constexpr char kOfxParamDoubleTypePlain[] = "OfxParamDoubleTypePlain";
inline constexpr char kOfxParamDoubleTypeAngle[] = "OfxParamDoubleTypeAngle";
inline constexpr char kOfxParamDoubleTypeXYAbsolute[] = "OfxParamDoubleTypeXYAbsolute";
inline constexpr char kOfxParamCoordinatesNormalised[] = "OfxParamCoordinatesNormalised";

}  // extern "C"
