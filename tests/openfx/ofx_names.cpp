// The standard's names as a strict host knows them, written from the OpenFX
// reference (its C names and strings), independent of ofx_api/: the tests
// hold our declarations against this list, so a misspelt string fails.
#include <cstring>
#include <string>

#include "tests/openfx/ofx_host.h"

namespace ofxtest {

const std::vector<KnownProperty>& KnownProperties() {
  static const std::vector<KnownProperty> known = {
      // general
      {"kOfxPropType", "OfxPropType", 's', 1},
      {"kOfxPropName", "OfxPropName", 's', 1},
      {"kOfxPropLabel", "OfxPropLabel", 's', 1},
      {"kOfxPropPluginDescription", "OfxPropPluginDescription", 's', 1},
      {"kOfxPropTime", "OfxPropTime", 'd', 1},
      {"kOfxPropInstanceData", "OfxPropInstanceData", 'p', 1},
      {"kOfxPropChangeReason", "OfxPropChangeReason", 's', 1},
      // the effect
      {"kOfxImageEffectPluginPropGrouping", "OfxImageEffectPluginPropGrouping", 's', 1},
      {"kOfxImageEffectPropSupportedContexts", "OfxImageEffectPropSupportedContexts", 's', 0},
      {"kOfxImageEffectPropSupportedPixelDepths", "OfxImageEffectPropSupportedPixelDepths", 's', 0},
      {"kOfxImageEffectPluginPropSingleInstance", "OfxImageEffectPluginPropSingleInstance", 'i', 1},
      {"kOfxImageEffectPluginPropHostFrameThreading", "OfxImageEffectPluginPropHostFrameThreading", 'i', 1},
      {"kOfxImageEffectPluginRenderThreadSafety", "OfxImageEffectPluginRenderThreadSafety", 's', 1},
      {"kOfxImageEffectPropSupportsMultiResolution", "OfxImageEffectPropSupportsMultiResolution", 'i', 1},
      {"kOfxImageEffectPropSupportsTiles", "OfxImageEffectPropSupportsTiles", 'i', 1},
      {"kOfxImageEffectPropTemporalClipAccess", "OfxImageEffectPropTemporalClipAccess", 'i', 1},
      {"kOfxImageEffectPropSupportsMultipleClipDepths", "OfxImageEffectPropMultipleClipDepths", 'i', 1},
      {"kOfxImageEffectPropSupportsMultipleClipPARs", "OfxImageEffectPropSupportsMultipleClipPARs", 'i', 1},
      {"kOfxImageEffectPropContext", "OfxImageEffectPropContext", 's', 1},
      {"kOfxImageEffectPropFrameRate", "OfxImageEffectPropFrameRate", 'd', 1},
      {"kOfxImageEffectPropUnmappedFrameRate", "OfxImageEffectPropUnmappedFrameRate", 'd', 1},
      {"kOfxImageEffectPropProjectSize", "OfxImageEffectPropProjectSize", 'd', 2},
      {"kOfxImageEffectPropProjectOffset", "OfxImageEffectPropProjectOffset", 'd', 2},
      {"kOfxImageEffectInstancePropEffectDuration", "OfxImageEffectInstancePropEffectDuration", 'd', 1},
      // clips and images
      {"kOfxImageEffectPropSupportedComponents", "OfxImageEffectPropSupportedComponents", 's', 0},
      {"kOfxImageClipPropOptional", "OfxImageClipPropOptional", 'i', 1},
      {"kOfxImageClipPropConnected", "OfxImageClipPropConnected", 'i', 1},
      {"kOfxImageClipPropIsMask", "OfxImageClipPropIsMask", 'i', 1},
      {"kOfxImageEffectPropPixelDepth", "OfxImageEffectPropPixelDepth", 's', 1},
      {"kOfxImageEffectPropComponents", "OfxImageEffectPropComponents", 's', 1},
      {"kOfxImageEffectPropPreMultiplication", "OfxImageEffectPropPreMultiplication", 's', 1},
      {"kOfxImagePropPixelAspectRatio", "OfxImagePropPixelAspectRatio", 'd', 1},
      {"kOfxImagePropData", "OfxImagePropData", 'p', 1},
      {"kOfxImagePropBounds", "OfxImagePropBounds", 'i', 4},
      {"kOfxImagePropRowBytes", "OfxImagePropRowBytes", 'i', 1},
      // action arguments
      {"kOfxImageEffectPropRenderScale", "OfxImageEffectPropRenderScale", 'd', 2},
      {"kOfxImageEffectPropRenderWindow", "OfxImageEffectPropRenderWindow", 'i', 4},
      {"kOfxImageEffectPropRegionOfDefinition", "OfxImageEffectPropRegionOfDefinition", 'd', 4},
      {"kOfxImageEffectPropRegionOfInterest", "OfxImageEffectPropRegionOfInterest", 'd', 4},
      {"kOfxImageEffectPropFieldToRender", "OfxImageEffectPropFieldToRender", 's', 1},
      {"kOfxImageEffectPropFrameRange", "OfxImageEffectPropFrameRange", 'd', 2},
      {"kOfxImageEffectFrameVarying", "OfxImageEffectFrameVarying", 'i', 1},
      {"kOfxImageClipPropRoIPrefix", "OfxImageClipPropRoI_", 'd', 4},
      {"kOfxImageClipPropComponentsPrefix", "OfxImageClipPropComponents_", 's', 1},
      // parameters
      {"kOfxParamPropType", "OfxParamPropType", 's', 1},
      {"kOfxParamPropScriptName", "OfxParamPropScriptName", 's', 1},
      {"kOfxParamPropHint", "OfxParamPropHint", 's', 1},
      {"kOfxParamPropParent", "OfxParamPropParent", 's', 1},
      {"kOfxParamPropEnabled", "OfxParamPropEnabled", 'i', 1},
      {"kOfxParamPropAnimates", "OfxParamPropAnimates", 'i', 1},
      {"kOfxParamPropDefault", "OfxParamPropDefault", 'n', 3},
      {"kOfxParamPropMin", "OfxParamPropMin", 'n', 3},
      {"kOfxParamPropMax", "OfxParamPropMax", 'n', 3},
      {"kOfxParamPropDisplayMin", "OfxParamPropDisplayMin", 'n', 3},
      {"kOfxParamPropDisplayMax", "OfxParamPropDisplayMax", 'n', 3},
      {"kOfxParamPropDigits", "OfxParamPropDigits", 'i', 1},
      {"kOfxParamPropDoubleType", "OfxParamPropDoubleType", 's', 1},
      {"kOfxParamPropDefaultCoordinateSystem", "OfxParamPropDefaultCoordinateSystem", 's', 1},
      {"kOfxParamPropUseHostOverlayHandle", "kOfxParamPropUseHostOverlayHandle", 'i', 1},
      {"kOfxParamPropChoiceOption", "OfxParamPropChoiceOption", 's', 0},
  };
  return known;
}

const std::vector<KnownValue>& KnownValues() {
  static const std::vector<KnownValue> known = {
      {"kOfxPropertySuite", "OfxPropertySuite"},
      {"kOfxImageEffectSuite", "OfxImageEffectSuite"},
      {"kOfxParameterSuite", "OfxParameterSuite"},
      {"kOfxMultiThreadSuite", "OfxMultiThreadSuite"},
      {"kOfxMessageSuite", "OfxMessageSuite"},
      {"kOfxMessageError", "OfxMessageError"},
      {"kOfxMessageWarning", "OfxMessageWarning"},
      {"kOfxImageEffectPluginApi", "OfxImageEffectPluginAPI"},
      {"kOfxActionLoad", "OfxActionLoad"},
      {"kOfxActionUnload", "OfxActionUnload"},
      {"kOfxActionDescribe", "OfxActionDescribe"},
      {"kOfxActionCreateInstance", "OfxActionCreateInstance"},
      {"kOfxActionDestroyInstance", "OfxActionDestroyInstance"},
      {"kOfxActionInstanceChanged", "OfxActionInstanceChanged"},
      {"kOfxImageEffectActionDescribeInContext", "OfxImageEffectActionDescribeInContext"},
      {"kOfxImageEffectActionGetClipPreferences", "OfxImageEffectActionGetClipPreferences"},
      {"kOfxImageEffectActionGetRegionOfDefinition", "OfxImageEffectActionGetRegionOfDefinition"},
      {"kOfxImageEffectActionGetRegionsOfInterest", "OfxImageEffectActionGetRegionsOfInterest"},
      {"kOfxImageEffectActionBeginSequenceRender", "OfxImageEffectActionBeginSequenceRender"},
      {"kOfxImageEffectActionRender", "OfxImageEffectActionRender"},
      {"kOfxImageEffectActionEndSequenceRender", "OfxImageEffectActionEndSequenceRender"},
      {"kOfxTypeParameter", "OfxTypeParameter"},
      {"kOfxImageEffectContextFilter", "OfxImageEffectContextFilter"},
      {"kOfxImageEffectContextGeneral", "OfxImageEffectContextGeneral"},
      {"kOfxImageEffectRenderInstanceSafe", "OfxImageEffectRenderInstanceSafe"},
      {"kOfxImageEffectSimpleSourceClipName", "Source"},
      {"kOfxImageEffectOutputClipName", "Output"},
      {"kOfxBitDepthByte", "OfxBitDepthByte"},
      {"kOfxBitDepthShort", "OfxBitDepthShort"},
      {"kOfxBitDepthFloat", "OfxBitDepthFloat"},
      {"kOfxImageComponentRGBA", "OfxImageComponentRGBA"},
      {"kOfxImageComponentRGB", "OfxImageComponentRGB"},
      {"kOfxImageComponentAlpha", "OfxImageComponentAlpha"},
      {"kOfxImageOpaque", "OfxImageOpaque"},
      {"kOfxImagePreMultiplied", "OfxImageAlphaPremultiplied"},
      {"kOfxImageUnPreMultiplied", "OfxImageAlphaUnPremultiplied"},
      {"kOfxParamTypeDouble", "OfxParamTypeDouble"},
      {"kOfxParamTypeDouble2D", "OfxParamTypeDouble2D"},
      {"kOfxParamTypeRGB", "OfxParamTypeRGB"},
      {"kOfxParamTypeChoice", "OfxParamTypeChoice"},
      {"kOfxParamTypeGroup", "OfxParamTypeGroup"},
      {"kOfxParamTypeInteger", "OfxParamTypeInteger"},
      {"kOfxParamTypeBoolean", "OfxParamTypeBoolean"},
      {"kOfxParamDoubleTypePlain", "OfxParamDoubleTypePlain"},
      {"kOfxParamDoubleTypeAngle", "OfxParamDoubleTypeAngle"},
      {"kOfxParamDoubleTypeXYAbsolute", "OfxParamDoubleTypeXYAbsolute"},
      {"kOfxParamCoordinatesNormalised", "OfxParamCoordinatesNormalised"},
      // numbers
      {"kOfxImageEffectPluginApiVersion", "1"},
      {"kOfxStatOK", "0"},
      {"kOfxStatFailed", "1"},
      {"kOfxStatErrFatal", "2"},
      {"kOfxStatErrUnknown", "3"},
      {"kOfxStatErrMissingHostFeature", "4"},
      {"kOfxStatErrUnsupported", "5"},
      {"kOfxStatErrExists", "6"},
      {"kOfxStatErrFormat", "7"},
      {"kOfxStatErrMemory", "8"},
      {"kOfxStatErrBadHandle", "9"},
      {"kOfxStatErrBadIndex", "10"},
      {"kOfxStatErrValue", "11"},
      {"kOfxStatReplyYes", "12"},
      {"kOfxStatReplyNo", "13"},
      {"kOfxStatReplyDefault", "14"},
  };
  return known;
}

const KnownProperty* FindKnown(const std::string& name) {
  for (const KnownProperty& k : KnownProperties()) {
    const size_t n = std::strlen(k.name);
    const bool prefix = k.name[n - 1] == '_';  // a per-clip name: the prefix and a clip's name
    if (prefix ? name.size() > n && name.compare(0, n, k.name) == 0 : name == k.name) return &k;
  }
  return nullptr;
}

}  // namespace ofxtest
