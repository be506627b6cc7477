// The effect as an OpenFX image effect plug-in (Resolve, Fusion, Nuke,
// Natron, Flame, Baselight, Silhouette, MLT's openfx module): the actions a
// host sends and the two exported functions. On the outside one plug-in with
// a "Source" and an "Output" clip in the filter and general contexts, and an
// optional "Mask" clip in the general one; on the inside a session per
// instance that drives the effect's linked-in entry point as `pluvane render`
// does (instance.h). The parts follow the standard's: suites and properties
// (suites.h), parameters (params.h), images (image_bridge.h), the instance
// (instance.h).
// The identifier "org.pluvane.Pluvane" never changes: hosts store it in
// their projects.
#include <memory>
#include <new>
#include <string>

#include "openfx_plugin/instance.h"
#include "openfx_plugin/params.h"
#include "openfx_plugin/suites.h"
#include "util/version.h"

namespace pluvane::ofx {
namespace {

constexpr char kIdentifier[] = "org.pluvane.Pluvane";
constexpr char kGrouping[] = "Pluvane";

OfxImageEffectHandle EffectOf(const void* handle) { return static_cast<OfxImageEffectHandle>(const_cast<void*>(handle)); }

// The instance behind `handle`, null when it has none.
Instance* Find(const void* handle) {
  OfxPropertySetHandle props = nullptr;
  void* data = nullptr;
  if (!handle || g.effect->getPropertySet(EffectOf(handle), &props) != kOfxStatOK ||
      g.props->propGetPointer(props, kOfxPropInstanceData, 0, &data) != kOfxStatOK)
    return nullptr;
  return static_cast<Instance*>(data);
}

Instance* InstanceOf(const void* handle) {
  if (Instance* i = Find(handle)) return i;
  throw Failure{kOfxStatErrBadHandle, "the host gave an effect that is not an instance of pluvane"};
}

// What a host needs to render the effect is set or the description fails;
// what only shows it in menus and panels is set where the host takes it.
OfxStatus Describe(const void* handle) {
  OfxPropertySetHandle p = nullptr;
  Check(g.effect->getPropertySet(EffectOf(handle), &p), "give the effect's properties");
  SetString(p, kOfxPropLabel, "Pluvane");
  MaySetString(p, kOfxImageEffectPluginPropGrouping, kGrouping);
  MaySetString(p, kOfxPropPluginDescription, "Rain drops falling on the picture, with lit ripples");
  SetStrings(p, kOfxImageEffectPropSupportedContexts, {kOfxImageEffectContextFilter, kOfxImageEffectContextGeneral});
  SetStrings(p, kOfxImageEffectPropSupportedPixelDepths, {kOfxBitDepthByte, kOfxBitDepthShort, kOfxBitDepthFloat});
  MaySetInt(p, kOfxImageEffectPluginPropSingleInstance, 0);
  // One render at a time per instance, any number of instances at once; the
  // plug-in spreads a frame over the host's threads itself.
  SetString(p, kOfxImageEffectPluginRenderThreadSafety, kOfxImageEffectRenderInstanceSafe);
  MaySetInt(p, kOfxImageEffectPluginPropHostFrameThreading, 0);
  SetInt(p, kOfxImageEffectPropSupportsMultiResolution, 0);
  SetInt(p, kOfxImageEffectPropSupportsTiles, 0);
  SetInt(p, kOfxImageEffectPropTemporalClipAccess, 0);
  MaySetInt(p, kOfxImageEffectPropSupportsMultipleClipDepths, 0);
  MaySetInt(p, kOfxImageEffectPropSupportsMultipleClipPARs, 0);
  return kOfxStatOK;
}

OfxStatus DescribeInContext(const void* handle, OfxPropertySetHandle in) {
  const std::string context = GetString(in, kOfxImageEffectPropContext);
  if (context != kOfxImageEffectContextFilter && context != kOfxImageEffectContextGeneral) return kOfxStatErrUnsupported;
  OfxPropertySetHandle clip = nullptr;
  Check(g.effect->clipDefine(EffectOf(handle), kOfxImageEffectSimpleSourceClipName, &clip), "define the Source clip");
  SetStrings(clip, kOfxImageEffectPropSupportedComponents, {kOfxImageComponentRGBA, kOfxImageComponentRGB});
  SetInt(clip, kOfxImageEffectPropSupportsTiles, 0);
  SetInt(clip, kOfxImageEffectPropTemporalClipAccess, 0);
  MaySetInt(clip, kOfxImageClipPropOptional, 0);
  if (context == kOfxImageEffectContextGeneral) {
    // The filter context has exactly one input; a mask is a clip of the
    // general context, optional, read as alpha: where it is opaque the rain shows.
    Check(g.effect->clipDefine(EffectOf(handle), kMaskClip, &clip), "define the Mask clip");
    SetStrings(clip, kOfxImageEffectPropSupportedComponents, {kOfxImageComponentAlpha});
    SetInt(clip, kOfxImageEffectPropSupportsTiles, 0);
    MaySetInt(clip, kOfxImageEffectPropTemporalClipAccess, 0);
    SetInt(clip, kOfxImageClipPropOptional, 1);
    MaySetInt(clip, kOfxImageClipPropIsMask, 1);
  }
  Check(g.effect->clipDefine(EffectOf(handle), kOfxImageEffectOutputClipName, &clip), "define the Output clip");
  SetStrings(clip, kOfxImageEffectPropSupportedComponents, {kOfxImageComponentRGBA});
  SetInt(clip, kOfxImageEffectPropSupportsTiles, 0);
  OfxParamSetHandle set = nullptr;
  Check(g.effect->getParamSet(EffectOf(handle), &set), "give the parameter set");
  for (const Control& c : Controls()) DefineParam(set, c);
  DefineAroundParams(set, context == kOfxImageEffectContextGeneral);
  return kOfxStatOK;
}

OfxStatus CreateInstance(const void* handle) {
  OfxPropertySetHandle props = nullptr;
  Check(g.effect->getPropertySet(EffectOf(handle), &props), "give the effect's properties");
  auto instance = std::make_unique<Instance>(EffectOf(handle));
  Check(g.props->propSetPointer(props, kOfxPropInstanceData, 0, instance.get()), "keep the instance");
  instance.release();
  return kOfxStatOK;
}

OfxStatus DestroyInstance(const void* handle) {
  Instance* instance = InstanceOf(handle);
  OfxPropertySetHandle props = nullptr;
  if (g.effect->getPropertySet(EffectOf(handle), &props) == kOfxStatOK)
    g.props->propSetPointer(props, kOfxPropInstanceData, 0, nullptr);
  delete instance;
  return kOfxStatOK;
}

OfxStatus Action(const std::string& a, const void* handle, OfxPropertySetHandle in, OfxPropertySetHandle out) {
  if (a == kOfxActionLoad) return FetchSuites();
  if (!g.ready()) return kOfxStatErrMissingHostFeature;
  if (a == kOfxActionUnload) return kOfxStatOK;
  if (a == kOfxActionDescribe) return Describe(handle);
  if (a == kOfxImageEffectActionDescribeInContext) return DescribeInContext(handle, in);
  if (a == kOfxActionCreateInstance) return CreateInstance(handle);
  if (a == kOfxActionDestroyInstance) return DestroyInstance(handle);
  if (a == kOfxImageEffectActionRender) return InstanceOf(handle)->Render(in);
  if (a == kOfxImageEffectActionGetClipPreferences) {
    InstanceOf(handle)->ClipPreferences(out);
    return kOfxStatOK;
  }
  if (a == kOfxImageEffectActionGetRegionOfDefinition) {
    // The source's region, in whatever units the host gives it: the effect keeps the layer's size.
    const OfxRectD rod = InstanceOf(handle)->SourceRegion(GetDouble(in, kOfxPropTime, 0.0));
    Check(g.props->propSetDoubleN(out, kOfxImageEffectPropRegionOfDefinition, 4, &rod.x1), "take the region of definition");
    return kOfxStatOK;
  }
  if (a == kOfxImageEffectActionGetRegionsOfInterest) {
    // The whole source, whatever part of the output is asked for: the effect reads the whole layer.
    const OfxRectD rod = InstanceOf(handle)->SourceRegion(GetDouble(in, kOfxPropTime, 0.0));
    Check(g.props->propSetDoubleN(out, (std::string(kOfxImageClipPropRoIPrefix) + kOfxImageEffectSimpleSourceClipName).c_str(),
                                  4, &rod.x1),
          "take the region of interest");
    // The mask over the same layer.
    if (InstanceOf(handle)->has_mask())
      Check(g.props->propSetDoubleN(out, (std::string(kOfxImageClipPropRoIPrefix) + kMaskClip).c_str(), 4, &rod.x1),
            "take the region of interest");
    return kOfxStatOK;
  }
  if (a == kOfxActionInstanceChanged) {
    // A changed control may change which controls the effect enables.
    if (GetString(in, kOfxPropType) == kOfxTypeParameter) InstanceOf(handle)->UpdateEnabled();
    return kOfxStatOK;
  }
  if (a == kOfxImageEffectActionBeginSequenceRender || a == kOfxImageEffectActionEndSequenceRender) {
    InstanceOf(handle);
    return kOfxStatOK;
  }
  return kOfxStatReplyDefault;
}

// Tells the host what went wrong: about the instance it asked, or with no
// handle (the standard allows none) when it asked a descriptor, since hosts
// on the official host library take any handle for an instance's.
void Report(const void* handle, const std::string& text) {
  if (!g.ready()) return;
  if (const Instance* i = Find(handle)) i->Message(kOfxMessageError, text);
  else Post(nullptr, kOfxMessageError, text);
}

OfxStatus PluginMain(const char* action, const void* handle, OfxPropertySetHandle in, OfxPropertySetHandle out) {
  if (!action) return kOfxStatErrBadHandle;
  try {
    return Action(action, handle, in, out);
  } catch (const Failure& f) {
    Report(handle, f.message);
    return f.status;
  } catch (const std::bad_alloc&) {
    Report(handle, "pluvane ran out of memory");
    return kOfxStatErrMemory;
  } catch (const std::exception& e) {
    Report(handle, e.what());
    return kOfxStatFailed;
  } catch (...) {
    return kOfxStatFailed;
  }
}

void SetHost(OfxHost* host) { g.host = host; }

OfxPlugin g_plugin = {kOfxImageEffectPluginApi, kOfxImageEffectPluginApiVersion, kIdentifier,
                      PLUVANE_VERSION_MAJOR, PLUVANE_VERSION_MINOR, &SetHost, &PluginMain};

}  // namespace
}  // namespace pluvane::ofx

extern "C" {

__attribute__((visibility("default"))) int OfxGetNumberOfPlugins(void) { return 1; }

__attribute__((visibility("default"))) OfxPlugin* OfxGetPlugin(int nth) { return nth == 0 ? &pluvane::ofx::g_plugin : nullptr; }

}  // extern "C"
