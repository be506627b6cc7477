// The composition model and the AEGP suites that serve it to the effect.
#include "minihost/composition.h"

#include <cmath>

namespace minihost {

// ---- the model ---------------------------------------------------------------------

Composition::Composition() { Append(Layer{}); }

int Composition::Append(Layer layer) {
  layer.owner = this;
  layer.index = static_cast<int>(layers_.size());
  layers_.push_back(std::make_unique<Layer>(layer));
  return layer.index;
}

int Composition::AddLight(const LightLayer& light) {
  Layer layer;
  layer.is_light = true;
  layer.light = light;
  return Append(layer);
}

int Composition::AddPlainLayer() { return Append(Layer{}); }

void Composition::Clear() {
  layers_.resize(1);
  std::lock_guard<std::mutex> lock(mutex_);
  calls_ = 0;
  fail_function_.clear();
  fail_nth_ = 0;
  function_calls_ = 0;
}

int Composition::layer_count() const { return static_cast<int>(layers_.size()); }

const Composition::Layer* Composition::LayerAt(int index) const {
  if (index < 0 || index >= layer_count()) return nullptr;
  return layers_[index].get();
}

AEGP_LayerH Composition::Handle(int index) const {
  return reinterpret_cast<AEGP_LayerH>(const_cast<Layer*>(LayerAt(index)));
}

const Composition::Layer* Composition::FromHandle(AEGP_LayerH layer) {
  return reinterpret_cast<const Layer*>(layer);
}

A_Matrix4 Composition::LightMatrix(const LightLayer& light) {
  using V = std::array<double, 3>;
  const auto cross = [](const V& a, const V& b) {
    return V{a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
  };
  const auto length = [](const V& v) { return std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]); };
  const auto unit = [&](const V& v) {
    const double n = length(v);
    return V{v[0] / n, v[1] / n, v[2] / n};
  };

  V z{0, 0, 1};
  if (light.point_of_interest) {
    const V& p = *light.point_of_interest;
    const V d{p[0] - light.position[0], p[1] - light.position[1], p[2] - light.position[2]};
    if (length(d) > 0) z = unit(d);
  }
  // x from the world's y axis unless z runs along it; then y = z × x, so that
  // x × y = z. A light shining along +z gets the identity frame.
  V x = cross(V{0, 1, 0}, z);
  if (length(x) < 1e-9) x = cross(V{0, 0, 1}, z);
  x = unit(x);
  const V y = cross(z, x);

  A_Matrix4 m{};
  const V* rows[3] = {&x, &y, &z};
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c) m.mat[r][c] = (*rows[r])[c] * light.parent_scale;
  for (int c = 0; c < 3; ++c) m.mat[3][c] = light.position[c];
  m.mat[3][3] = 1;
  return m;
}

void Composition::FailCall(const std::string& function, int nth) {
  std::lock_guard<std::mutex> lock(mutex_);
  fail_function_ = function;
  fail_nth_ = nth;
  function_calls_ = 0;
}

int Composition::aegp_calls() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return calls_;
}

A_Err Composition::Enter(const char* function) {
  std::lock_guard<std::mutex> lock(mutex_);
  ++calls_;
  if (fail_nth_ <= 0) return A_Err{0};
  if (!fail_function_.empty() && fail_function_ != function) return A_Err{0};
  if (++function_calls_ != fail_nth_) return A_Err{0};
  fail_nth_ = 0;
  return kInjectedError;
}

// ---- the suites -----------------------------------------------------------------------

namespace {

constexpr A_Err kBadHandle = PF_Err_BAD_CALLBACK_PARAM;

A_Err GetEffectLayer(PF_ProgPtr effect_ref, AEGP_LayerH* layerPH) {
  Composition& comp = MiniHost::FromRef(effect_ref)->composition();
  if (A_Err err = comp.Enter("AEGP_GetEffectLayer")) return err;
  *layerPH = comp.Handle(0);
  return A_Err{0};
}

A_Err ConvertEffectToCompTime(PF_ProgPtr effect_ref, A_long what_time, A_u_long time_scale,
                              A_Time* comp_timePT) {
  MiniHost* host = MiniHost::FromRef(effect_ref);
  Composition& comp = host->composition();
  if (A_Err err = comp.Enter("AEGP_ConvertEffectToCompTime")) return err;
  // The layer's time is the composition's; a seed's shift is undone.
  *comp_timePT = A_Time{host->LayerTime(what_time), time_scale};
  return A_Err{0};
}

const AEGP_PFInterfaceSuite1 kPFInterfaceSuite = {GetEffectLayer, ConvertEffectToCompTime};

// Enters the call on the layer's composition; kBadHandle for a null handle.
A_Err EnterLayer(AEGP_LayerH layerH, const char* function, const Composition::Layer** layer) {
  *layer = Composition::FromHandle(layerH);
  if (!*layer) return kBadHandle;
  return (*layer)->owner->Enter(function);
}

A_Err GetCompNumLayers(AEGP_CompH compH, A_long* num_layersPL) {
  Composition* comp = Composition::FromCompHandle(compH);
  if (!comp) return kBadHandle;
  if (A_Err err = comp->Enter("AEGP_GetCompNumLayers")) return err;
  *num_layersPL = comp->layer_count();
  return A_Err{0};
}

A_Err GetCompLayerByIndex(AEGP_CompH compH, A_long layer_indexL, AEGP_LayerH* layerPH) {
  Composition* comp = Composition::FromCompHandle(compH);
  if (!comp) return kBadHandle;
  if (A_Err err = comp->Enter("AEGP_GetCompLayerByIndex")) return err;
  if (layer_indexL < 0 || layer_indexL >= comp->layer_count()) return PF_Err_INVALID_INDEX;
  *layerPH = comp->Handle(layer_indexL);
  return A_Err{0};
}

// Active when the eye switch is on and in_seconds <= t < out_seconds.
A_Err IsVideoActive(AEGP_LayerH layerH, AEGP_LTimeMode, const A_Time* timePT,
                    A_Boolean* is_activePB) {
  const Composition::Layer* layer;
  if (A_Err err = EnterLayer(layerH, "AEGP_IsVideoActive", &layer)) return err;
  bool active = true;
  if (layer->is_light) {
    const double t = timePT->scale ? static_cast<double>(timePT->value) / timePT->scale : 0.0;
    active = layer->light.enabled && layer->light.in_seconds <= t && t < layer->light.out_seconds;
  }
  *is_activePB = active;
  return A_Err{0};
}

A_Err GetLayerObjectType(AEGP_LayerH layerH, AEGP_ObjectType* object_type) {
  const Composition::Layer* layer;
  if (A_Err err = EnterLayer(layerH, "AEGP_GetLayerObjectType", &layer)) return err;
  *object_type = layer->is_light ? AEGP_ObjectType_LIGHT : AEGP_ObjectType_AV;
  return A_Err{0};
}

A_Err GetLayerToWorldXformFromView(AEGP_LayerH layerH, const A_Time*, const A_Time*,
                                   A_Matrix4* transform) {
  const Composition::Layer* layer;
  if (A_Err err = EnterLayer(layerH, "AEGP_GetLayerToWorldXformFromView", &layer)) return err;
  if (layer->is_light) {
    *transform = Composition::LightMatrix(layer->light);
  } else {
    *transform = A_Matrix4{};
    for (int i = 0; i < 4; ++i) transform->mat[i][i] = 1;
  }
  return A_Err{0};
}

A_Err GetLayerParentComp(AEGP_LayerH layerH, AEGP_CompH* compPH) {
  const Composition::Layer* layer;
  if (A_Err err = EnterLayer(layerH, "AEGP_GetLayerParentComp", &layer)) return err;
  *compPH = layer->owner->CompHandle();
  return A_Err{0};
}

const AEGP_LayerSuite5 kLayerSuite = {GetCompNumLayers,   GetCompLayerByIndex,
                                      IsVideoActive,      GetLayerObjectType,
                                      GetLayerToWorldXformFromView, GetLayerParentComp};

A_Err GetLightType(AEGP_LayerH light_layerH, AEGP_LightType* light_type) {
  const Composition::Layer* layer;
  if (A_Err err = EnterLayer(light_layerH, "AEGP_GetLightType", &layer)) return err;
  if (!layer->is_light) return kBadHandle;
  *light_type = static_cast<AEGP_LightType>(layer->light.type);
  return A_Err{0};
}

const AEGP_LightSuite1 kLightSuite = {GetLightType};

// Light streams hold static values: the time does not matter.
A_Err GetLayerStreamValue(AEGP_LayerH layerH, AEGP_LayerStream which_stream, AEGP_LTimeMode,
                          const A_Time*, A_Boolean, AEGP_StreamVal* stream_valP,
                          AEGP_StreamType* strm_typeP0) {
  const Composition::Layer* layer;
  if (A_Err err = EnterLayer(layerH, "AEGP_GetLayerStreamValue", &layer)) return err;
  if (!layer->is_light) return kBadHandle;
  const LightLayer& l = layer->light;
  AEGP_StreamType type = AEGP_StreamType_OneD;
  switch (which_stream) {
    case AEGP_LayerStream_INTENSITY: stream_valP->one_d = l.intensity; break;
    case AEGP_LayerStream_CONE_ANGLE: stream_valP->one_d = l.cone_angle; break;
    case AEGP_LayerStream_CONE_FEATHER: stream_valP->one_d = l.cone_feather; break;
    case AEGP_LayerStream_COLOR:
      stream_valP->color = AEGP_ColorVal{1.0, l.color[0], l.color[1], l.color[2]};
      type = AEGP_StreamType_COLOR;
      break;
    default: return kBadHandle;
  }
  if (strm_typeP0) *strm_typeP0 = type;
  return A_Err{0};
}

const AEGP_StreamSuite4 kStreamSuite = {GetLayerStreamValue};

}  // namespace

void RegisterCompositionSuites(MiniHost& host) {
  host.RegisterSuite(kAEGPPFInterfaceSuite, kAEGPPFInterfaceSuiteVersion1, &kPFInterfaceSuite);
  host.RegisterSuite(kAEGPLayerSuite, kAEGPLayerSuiteVersion5, &kLayerSuite);
  host.RegisterSuite(kAEGPLightSuite, kAEGPLightSuiteVersion1, &kLightSuite);
  host.RegisterSuite(kAEGPStreamSuite, kAEGPStreamSuiteVersion4, &kStreamSuite);
}

}  // namespace minihost
