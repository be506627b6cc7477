#include "tests/support/ofx_host.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <thread>
#include <type_traits>

#include "minihost/platform.h"

namespace ofxtest {
namespace {

Host* g_host = nullptr;  // the host serving the suites (one at a time)

bool Fails(const std::string& call, const char* name = nullptr) {
  return g_host->fail && g_host->fail(name ? call + " " + name : call);
}
// What a handle points to: every handle is one of our structures.
template <typename T, typename Handle>
T* As(Handle h) {
  return reinterpret_cast<T*>(h);
}
// `value` into *out, unless the call is to fail.
template <typename T>
OfxStatus Hand(T* out, std::type_identity_t<T> value, const std::string& call, const char* name = nullptr) {
  if (Fails(call, name)) return kOfxStatFailed;
  *out = value;
  return kOfxStatOK;
}

// ---- properties: one template per direction, for every type ----------------------------------

template <typename T>
OfxStatus Set(OfxPropertySetHandle h, const char* name, int index, T value) {
  using Stored = std::conditional_t<std::is_same_v<T, const char*>, std::string, T>;
  if (index < 0) return kOfxStatErrBadIndex;
  if (Fails("propSet", name)) return kOfxStatErrUnknown;
  std::vector<Value>& v = As<PropertySet>(h)->props[name];
  if (v.size() <= static_cast<size_t>(index)) v.resize(static_cast<size_t>(index) + 1, Stored{});
  v[index] = Stored(value);
  return kOfxStatOK;
}
template <typename T>
OfxStatus Get(OfxPropertySetHandle h, const char* name, int index, T* value) {
  using Stored = std::conditional_t<std::is_same_v<T, char*>, std::string, T>;
  if (Fails("propGet", name)) return kOfxStatErrUnknown;
  const auto it = As<PropertySet>(h)->props.find(name);
  if (it == As<PropertySet>(h)->props.end()) return kOfxStatErrUnknown;
  if (index < 0 || static_cast<size_t>(index) >= it->second.size()) return kOfxStatErrBadIndex;
  Stored* v = std::get_if<Stored>(&it->second[index]);
  if (!v) return kOfxStatErrValue;
  if constexpr (std::is_same_v<T, char*>) *value = v->data();
  else *value = *v;
  return kOfxStatOK;
}
template <typename T>
OfxStatus SetN(OfxPropertySetHandle h, const char* name, int count, const T* value) {
  for (int i = 0; i < count; ++i)
    if (OfxStatus st = Set<T>(h, name, i, value[i])) return st;
  return kOfxStatOK;
}
template <typename T>
OfxStatus GetN(OfxPropertySetHandle h, const char* name, int count, T* value) {
  for (int i = 0; i < count; ++i)
    if (OfxStatus st = Get<T>(h, name, i, &value[i])) return st;
  return kOfxStatOK;
}

const OfxPropertySuiteV1 kPropertySuite = {
    Set<void*>, Set<const char*>, Set<double>, Set<int>, SetN<void*>, SetN<const char*>, SetN<double>, SetN<int>,
    Get<void*>, Get<char*>,       Get<double>, Get<int>, GetN<void*>, GetN<char*>,       GetN<double>, GetN<int>, nullptr,     nullptr};

// ---- image effect ------------------------------------------------------------------------------

OfxStatus EffectProps(OfxImageEffectHandle e, OfxPropertySetHandle* out) { return Hand(out, As<Effect>(e)->props.handle(), "getPropertySet"); }
OfxStatus EffectParams(OfxImageEffectHandle e, OfxParamSetHandle* out) { return Hand(out, As<OfxParamSetStruct>(e), "getParamSet"); }
OfxStatus ClipDefine(OfxImageEffectHandle e, const char* name, OfxPropertySetHandle* out) {
  if (Fails("clipDefine", name)) return kOfxStatFailed;
  auto& clip = As<Effect>(e)->clips[name] = std::make_unique<Clip>();
  clip->props.Strings(kOfxPropName, {name});
  *out = clip->props.handle();
  return kOfxStatOK;
}
OfxStatus ClipGetHandle(OfxImageEffectHandle e, const char* name, OfxImageClipHandle* clip, OfxPropertySetHandle* props) {
  const auto it = As<Effect>(e)->clips.find(name);
  if (it == As<Effect>(e)->clips.end() || Fails("clipGetHandle", name)) return kOfxStatErrUnknown;
  *clip = reinterpret_cast<OfxImageClipHandle>(it->second.get());
  if (props) *props = it->second->props.handle();
  return kOfxStatOK;
}
OfxStatus ClipProps(OfxImageClipHandle h, OfxPropertySetHandle* out) {
  Clip* clip = As<Clip>(h);
  return Hand(out, clip->props.handle(), "clipGetPropertySet", clip->props.Get<std::string>(kOfxPropName).c_str());
}
OfxStatus ClipGetImage(OfxImageClipHandle h, OfxTime, const OfxRectD*, OfxPropertySetHandle* out) {
  const Clip* clip = As<Clip>(h);
  if (!clip->picture || Fails("clipGetImage", clip->props.Get<std::string>(kOfxPropName).c_str())) return kOfxStatFailed;
  Picture& pic = *clip->picture;
  auto* image = new PropertySet;
  // The bottom row is the last one in memory.
  const size_t bottom = pic.row_bytes() * (pic.bounds.y2 - pic.bounds.y1 - 1);
  image->props[kOfxImagePropData] = {pic.memory.empty() ? nullptr : static_cast<void*>(&pic.memory.at(bottom))};
  image->Ints(kOfxImagePropBounds, {pic.bounds.x1, pic.bounds.y1, pic.bounds.x2, pic.bounds.y2});
  image->Ints(kOfxImagePropRowBytes, {-static_cast<int>(pic.row_bytes())});
  image->Strings(kOfxImageEffectPropPixelDepth, {pic.depth});
  image->Strings(kOfxImageEffectPropComponents, {pic.components});
  image->Strings(kOfxImageEffectPropPreMultiplication, {pic.premultiplication});
  *out = image->handle();
  return kOfxStatOK;
}
OfxStatus ClipReleaseImage(OfxPropertySetHandle image) {
  delete As<PropertySet>(image);
  return kOfxStatOK;
}
OfxStatus ClipRegion(OfxImageClipHandle clip, OfxTime, OfxRectD* out) { return Hand(out, As<Clip>(clip)->rod, "clipGetRegionOfDefinition"); }
int Abort(OfxImageEffectHandle) { return Fails("abort") ? 1 : 0; }

const OfxImageEffectSuiteV1 kEffectSuite = {EffectProps,  EffectParams,     ClipDefine, ClipGetHandle, ClipProps,
                                            ClipGetImage, ClipReleaseImage, ClipRegion, Abort,         nullptr,
                                            nullptr,      nullptr,          nullptr};

// ---- parameters: values held, never keyed ------------------------------------------------------

OfxStatus ParamDefine(OfxParamSetHandle set, const char* type, const char* name, OfxPropertySetHandle* props) {
  if (Fails("paramDefine", name)) return kOfxStatFailed;
  auto& p = As<Effect>(set)->params.emplace_back(std::make_unique<Param>());
  p->type = type, p->name = name;
  p->props.Strings(kOfxPropName, {name});
  *props = p->props.handle();
  return kOfxStatOK;
}
OfxStatus ParamGetHandle(OfxParamSetHandle set, const char* name, OfxParamHandle* param, OfxPropertySetHandle* props) {
  for (const auto& p : As<Effect>(set)->params)
    if (p->name == name && !Fails("paramGetHandle", name)) {
      *param = reinterpret_cast<OfxParamHandle>(p.get());
      if (props) *props = p->props.handle();
      return kOfxStatOK;
    }
  return kOfxStatErrUnknown;
}
OfxStatus GetValues(OfxParamHandle h, va_list args) {
  const Param* p = As<Param>(h);
  if (Fails("paramGetValue", p->name.c_str())) return kOfxStatErrUnknown;
  if (p->type == kOfxParamTypeChoice || p->type == kOfxParamTypeInteger || p->type == kOfxParamTypeBoolean)
    *va_arg(args, int*) = static_cast<int>(p->value.at(0));
  else
    for (double v : p->value) *va_arg(args, double*) = v;
  return kOfxStatOK;
}
OfxStatus ParamGetValue(OfxParamHandle h, ...) {
  va_list args;
  va_start(args, h);
  const OfxStatus st = GetValues(h, args);
  va_end(args);
  return st;
}
OfxStatus ParamGetValueAtTime(OfxParamHandle h, OfxTime time, ...) {
  va_list args;
  va_start(args, time);
  const OfxStatus st = GetValues(h, args);
  va_end(args);
  return st;
}
OfxStatus ParamSetValue(OfxParamHandle h, ...) {
  Param* p = As<Param>(h);
  va_list args;
  va_start(args, h);
  for (double& v : p->value) v = va_arg(args, double);  // the plug-in sets only positions
  va_end(args);
  return kOfxStatOK;
}
OfxStatus ParamNumKeys(OfxParamHandle, unsigned int* n) {
  *n = 0;
  return kOfxStatOK;
}

// Only what the plug-in calls.
const OfxParameterSuiteV1 kParameterSuite = [] {
  OfxParameterSuiteV1 s{};
  s.paramDefine = ParamDefine, s.paramGetHandle = ParamGetHandle, s.paramGetValue = ParamGetValue;
  s.paramGetValueAtTime = ParamGetValueAtTime, s.paramSetValue = ParamSetValue, s.paramGetNumKeys = ParamNumKeys;
  return s;
}();

// ---- threads and messages ----------------------------------------------------------------------

thread_local bool t_spawned = false;
constexpr unsigned int kCpus = 3;  // more workers than cores, so that the pool really splits work

OfxStatus MultiThread(OfxThreadFunctionV1 func, unsigned int n, void* arg) {
  if (Fails("multiThread")) return kOfxStatFailed;
  n = std::clamp(n, 1u, kCpus);
  std::vector<std::thread> threads;
  for (unsigned int i = 0; i < n; ++i)
    threads.emplace_back([=] {
      t_spawned = true;
      func(i, n, arg);
    });
  for (auto& t : threads) t.join();
  return kOfxStatOK;
}
OfxStatus NumCpus(unsigned int* n) { return Hand(n, kCpus, "multiThreadNumCPUs"); }
int IsSpawned() { return t_spawned ? 1 : 0; }

const OfxMultiThreadSuiteV1 kMultiThreadSuite = {MultiThread, NumCpus, nullptr, IsSpawned, nullptr, nullptr, nullptr, nullptr, nullptr};

OfxStatus PostMessage(void*, const char* type, const char*, const char* format, ...) {
  char text[1024];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  g_host->Post(std::string(type) + ": " + text);
  return kOfxStatOK;
}
const OfxMessageSuiteV1 kMessageSuite = {PostMessage};

const void* FetchSuite(OfxPropertySetHandle, const char* name, int) {
  if (Fails("fetchSuite", name)) return nullptr;
  const std::map<std::string, const void*> suites = {{kOfxPropertySuite, &kPropertySuite},
                                                     {kOfxImageEffectSuite, &kEffectSuite},
                                                     {kOfxParameterSuite, &kParameterSuite},
                                                     {kOfxMultiThreadSuite, &kMultiThreadSuite},
                                                     {kOfxMessageSuite, &kMessageSuite}};
  const auto it = suites.find(name);
  return it == suites.end() ? nullptr : it->second;
}

int SampleSize(const std::string& depth) { return depth == kOfxBitDepthByte ? 1 : depth == kOfxBitDepthShort ? 2 : 4; }
int Channels(const std::string& components) {
  return components == kOfxImageComponentRGB ? 3 : components == kOfxImageComponentAlpha ? 1 : 4;
}

}  // namespace

size_t Picture::row_bytes() const { return static_cast<size_t>(bounds.x2 - bounds.x1) * Channels(components) * SampleSize(depth); }

void Picture::Allocate() { memory.assign(row_bytes() * (bounds.y2 - bounds.y1), 0xA5); }

Host::Host(const std::string& bundle) {
  g_host = this;
  so_ = minihost::platform::OpenModule(bundle, nullptr);
  if (!so_) return;
  auto count = reinterpret_cast<int (*)()>(minihost::platform::FindSymbol(so_, "OfxGetNumberOfPlugins"));
  auto get = reinterpret_cast<OfxPlugin* (*)(int)>(minihost::platform::FindSymbol(so_, "OfxGetPlugin"));
  if (count && get && count() > 0) plugin_ = get(0);
  host_props_.Strings(kOfxPropName, {"org.pluvane.TestHost"});
  ofx_host_ = {host_props_.handle(), &FetchSuite};
}

Host::~Host() {
  fail = nullptr;
  while (!instances_.empty()) DestroyInstance(instances_.back().get());
  if (plugin_) Call(kOfxActionUnload, nullptr);
  minihost::platform::CloseModule(so_);
  if (g_host == this) g_host = nullptr;
}

OfxStatus Host::Call(const char* action, const void* handle, PropertySet* in) {
  return plugin_->mainEntry(action, handle, in ? in->handle() : nullptr, nullptr);
}

OfxStatus Host::Load() {
  plugin_->setHost(&ofx_host_);
  return Call(kOfxActionLoad, nullptr);
}

OfxStatus Host::Describe() { return Call(kOfxActionDescribe, descriptor_.handle()); }

OfxStatus Host::DescribeInContext(const std::string& context) {
  auto& effect = contexts_[context] = std::make_unique<Effect>();
  effect->props = descriptor_.props;
  PropertySet in;
  in.Strings(kOfxImageEffectPropContext, {context});
  return Call(kOfxImageEffectActionDescribeInContext, effect->handle(), &in);
}

Effect* Host::CreateInstance(const std::string& context, const Layout& l, OfxStatus* status) {
  const Effect& d = *contexts_.at(context);
  auto inst = std::make_unique<Effect>();
  inst->props = d.props;
  inst->props.Strings(kOfxImageEffectPropContext, {context});
  inst->props.Doubles(kOfxImageEffectPropFrameRate, {l.fps});
  for (const auto& p : d.params) {
    auto& copy = inst->params.emplace_back(std::make_unique<Param>(*p));
    for (const Value& v : p->props.props[kOfxParamPropDefault])
      copy->value.push_back(std::holds_alternative<int>(v) ? std::get<int>(v) : std::get<double>(v));
    // A normalised default is a fraction of the frame.
    if (p->props.Get<std::string>(kOfxParamPropDefaultCoordinateSystem) == kOfxParamCoordinatesNormalised)
      copy->value = {copy->value[0] * l.width, copy->value[1] * l.height};
  }
  for (const auto& [name, c] : d.clips) {
    auto& clip = inst->clips[name] = std::make_unique<Clip>(*c);
    clip->props.Strings(kOfxImageEffectPropPixelDepth, {l.depth});
    clip->props.Strings(kOfxImageEffectPropComponents, {name == kOfxImageEffectSimpleSourceClipName ? l.components : kOfxImageComponentRGBA});
    clip->props.Strings(kOfxImageEffectPropPreMultiplication, {l.premultiplication});
    clip->props.Doubles(kOfxImagePropPixelAspectRatio, {1.0});
    clip->props.Doubles(kOfxImageEffectPropFrameRate, {l.fps});
    clip->props.Ints(kOfxImageClipPropConnected, {c->props.Get<int>(kOfxImageClipPropOptional) ? 0 : 1});
    clip->rod = {0, 0, static_cast<double>(l.width), static_cast<double>(l.height)};
  }
  const OfxStatus st = Call(kOfxActionCreateInstance, inst->handle());
  if (status) *status = st;
  if (st != kOfxStatOK) return nullptr;
  return instances_.emplace_back(std::move(inst)).get();
}

OfxStatus Host::DestroyInstance(Effect* instance) {
  const OfxStatus st = Call(kOfxActionDestroyInstance, instance->handle());
  std::erase_if(instances_, [instance](const auto& i) { return i.get() == instance; });
  return st;
}

std::vector<std::string> Host::messages() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return messages_;
}

void Host::Post(const std::string& message) {
  std::lock_guard<std::mutex> lock(mutex_);
  messages_.push_back(message);
}

}  // namespace ofxtest
