#include "tests/support/ofx_host.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <limits>
#include <thread>

#include "minihost/platform.h"

namespace ofxtest {
namespace {

Host* g_host = nullptr;

PropertySet* Props(OfxPropertySetHandle h) { return reinterpret_cast<PropertySet*>(h); }
Effect* EffectOf(OfxImageEffectHandle h) { return reinterpret_cast<Effect*>(h); }
Clip* ClipOf(OfxImageClipHandle h) { return reinterpret_cast<Clip*>(h); }
Param* ParamOf(OfxParamHandle h) { return reinterpret_cast<Param*>(h); }
ParamSet* ParamSetOf(OfxParamSetHandle h) { return reinterpret_cast<ParamSet*>(h); }

// ---- the property suite ---------------------------------------------------------------------------

bool Unknown(const char* name) { return g_host->quirks().unknown_properties.count(name) > 0; }

// The property to set, made with `kind` when new; null (with the status that
// says why) for a name the host does not know, or another type than it holds.
Property* ForSet(OfxPropertySetHandle h, const char* name, char kind, int index, OfxStatus* why) {
  *why = kOfxStatErrBadHandle;
  if (!h || !name) return nullptr;
  *why = kOfxStatErrUnknown;
  if (Unknown(name)) return nullptr;
  *why = kOfxStatErrBadIndex;
  if (index < 0) return nullptr;
  Property& p = Props(h)->props[name];
  if (p.size() == 0) p.kind = kind;
  *why = kOfxStatErrValue;
  return p.kind == kind ? &p : nullptr;
}

template <typename T>
void Grow(std::vector<T>& v, int index) {
  if (static_cast<int>(v.size()) <= index) v.resize(static_cast<size_t>(index) + 1);
}

OfxStatus SetPointer(OfxPropertySetHandle h, const char* name, int index, void* value) {
  OfxStatus why = kOfxStatOK;
  Property* p = ForSet(h, name, 'p', index, &why);
  if (!p) return why;
  Grow(p->p, index), p->p[index] = value;
  return kOfxStatOK;
}
OfxStatus SetString(OfxPropertySetHandle h, const char* name, int index, const char* value) {
  OfxStatus why = kOfxStatErrValue;
  Property* p = value ? ForSet(h, name, 's', index, &why) : nullptr;
  if (!p) return why;
  Grow(p->s, index), p->s[index] = value;
  return kOfxStatOK;
}
OfxStatus SetDouble(OfxPropertySetHandle h, const char* name, int index, double value) {
  OfxStatus why = kOfxStatOK;
  Property* p = ForSet(h, name, 'd', index, &why);
  if (!p) return why;
  Grow(p->d, index), p->d[index] = value;
  return kOfxStatOK;
}
OfxStatus SetInt(OfxPropertySetHandle h, const char* name, int index, int value) {
  OfxStatus why = kOfxStatOK;
  Property* p = ForSet(h, name, 'i', index, &why);
  if (!p) return why;
  Grow(p->i, index), p->i[index] = value;
  return kOfxStatOK;
}
OfxStatus SetPointerN(OfxPropertySetHandle h, const char* name, int count, void* const* value) {
  for (int i = 0; i < count; ++i)
    if (OfxStatus st = SetPointer(h, name, i, value[i])) return st;
  return kOfxStatOK;
}
OfxStatus SetStringN(OfxPropertySetHandle h, const char* name, int count, const char* const* value) {
  for (int i = 0; i < count; ++i)
    if (OfxStatus st = SetString(h, name, i, value[i])) return st;
  return kOfxStatOK;
}
OfxStatus SetDoubleN(OfxPropertySetHandle h, const char* name, int count, const double* value) {
  for (int i = 0; i < count; ++i)
    if (OfxStatus st = SetDouble(h, name, i, value[i])) return st;
  return kOfxStatOK;
}
OfxStatus SetIntN(OfxPropertySetHandle h, const char* name, int count, const int* value) {
  for (int i = 0; i < count; ++i)
    if (OfxStatus st = SetInt(h, name, i, value[i])) return st;
  return kOfxStatOK;
}

// The property to read, or the status that says why there is none.
OfxStatus ForGet(OfxPropertySetHandle h, const char* name, char kind, int index, const Property** out) {
  if (!h || !name) return kOfxStatErrBadHandle;
  const Property* p = Props(h)->Find(name);
  if (!p || Unknown(name)) return kOfxStatErrUnknown;
  if (p->kind != kind) return kOfxStatErrValue;
  if (index < 0 || index >= p->size()) return kOfxStatErrBadIndex;
  *out = p;
  return kOfxStatOK;
}

OfxStatus GetPointer(OfxPropertySetHandle h, const char* name, int index, void** value) {
  const Property* p = nullptr;
  if (OfxStatus st = ForGet(h, name, 'p', index, &p)) return st;
  *value = p->p[index];
  return kOfxStatOK;
}
OfxStatus GetString(OfxPropertySetHandle h, const char* name, int index, char** value) {
  const Property* p = nullptr;
  if (OfxStatus st = ForGet(h, name, 's', index, &p)) return st;
  *value = const_cast<char*>(p->s[index].c_str());
  return kOfxStatOK;
}
OfxStatus GetDouble(OfxPropertySetHandle h, const char* name, int index, double* value) {
  const Property* p = nullptr;
  if (OfxStatus st = ForGet(h, name, 'd', index, &p)) return st;
  *value = p->d[index];
  return kOfxStatOK;
}
OfxStatus GetInt(OfxPropertySetHandle h, const char* name, int index, int* value) {
  const Property* p = nullptr;
  if (OfxStatus st = ForGet(h, name, 'i', index, &p)) return st;
  *value = p->i[index];
  return kOfxStatOK;
}
OfxStatus GetPointerN(OfxPropertySetHandle h, const char* name, int count, void** value) {
  for (int i = 0; i < count; ++i)
    if (OfxStatus st = GetPointer(h, name, i, &value[i])) return st;
  return kOfxStatOK;
}
OfxStatus GetStringN(OfxPropertySetHandle h, const char* name, int count, char** value) {
  for (int i = 0; i < count; ++i)
    if (OfxStatus st = GetString(h, name, i, &value[i])) return st;
  return kOfxStatOK;
}
OfxStatus GetDoubleN(OfxPropertySetHandle h, const char* name, int count, double* value) {
  for (int i = 0; i < count; ++i)
    if (OfxStatus st = GetDouble(h, name, i, &value[i])) return st;
  return kOfxStatOK;
}
OfxStatus GetIntN(OfxPropertySetHandle h, const char* name, int count, int* value) {
  for (int i = 0; i < count; ++i)
    if (OfxStatus st = GetInt(h, name, i, &value[i])) return st;
  return kOfxStatOK;
}
OfxStatus Reset(OfxPropertySetHandle h, const char* name) {
  if (!h || !name) return kOfxStatErrBadHandle;
  return Props(h)->props.erase(name) ? kOfxStatOK : kOfxStatErrUnknown;
}
OfxStatus GetDimension(OfxPropertySetHandle h, const char* name, int* count) {
  if (!h || !name || !count) return kOfxStatErrBadHandle;
  const Property* p = Props(h)->Find(name);
  if (!p) return kOfxStatErrUnknown;
  *count = p->size();
  return kOfxStatOK;
}

const OfxPropertySuiteV1 kPropertySuite = {
    SetPointer, SetString, SetDouble, SetInt, SetPointerN, SetStringN, SetDoubleN, SetIntN, GetPointer,
    GetString, GetDouble, GetInt, GetPointerN, GetStringN, GetDoubleN, GetIntN, Reset, GetDimension};

// ---- the image effect suite ------------------------------------------------------------------------------

OfxStatus EffectProps(OfxImageEffectHandle e, OfxPropertySetHandle* out) {
  if (!e || !out) return kOfxStatErrBadHandle;
  *out = EffectOf(e)->props.handle();
  return kOfxStatOK;
}
OfxStatus EffectParams(OfxImageEffectHandle e, OfxParamSetHandle* out) {
  if (!e || !out) return kOfxStatErrBadHandle;
  *out = reinterpret_cast<OfxParamSetHandle>(&EffectOf(e)->params);
  return kOfxStatOK;
}
OfxStatus ClipDefine(OfxImageEffectHandle e, const char* name, OfxPropertySetHandle* out) {
  if (!e || !name) return kOfxStatErrBadHandle;
  auto& clip = EffectOf(e)->clips[name];
  if (clip) return kOfxStatErrExists;
  clip = std::make_unique<Clip>();
  clip->name = name;
  clip->props.Strings(kOfxPropName, {name});
  if (out) *out = clip->props.handle();
  return kOfxStatOK;
}
OfxStatus ClipGetHandle(OfxImageEffectHandle e, const char* name, OfxImageClipHandle* clip, OfxPropertySetHandle* props) {
  if (!e || !name || !clip) return kOfxStatErrBadHandle;
  auto it = EffectOf(e)->clips.find(name);
  if (it == EffectOf(e)->clips.end()) return kOfxStatErrUnknown;
  *clip = reinterpret_cast<OfxImageClipHandle>(it->second.get());
  if (props) *props = it->second->props.handle();
  return kOfxStatOK;
}
OfxStatus ClipProps(OfxImageClipHandle clip, OfxPropertySetHandle* out) {
  if (!clip || !out) return kOfxStatErrBadHandle;
  *out = ClipOf(clip)->props.handle();
  return kOfxStatOK;
}
OfxStatus ClipGetImage(OfxImageClipHandle h, OfxTime, const OfxRectD*, OfxPropertySetHandle* out) {
  if (!h || !out) return kOfxStatErrBadHandle;
  Clip* clip = ClipOf(h);
  if (g_host->faults().fail_get_image || !clip->picture) return kOfxStatFailed;
  const Picture& pic = *clip->picture;
  auto* image = new PropertySet;
  image->Pointer(kOfxImagePropData, g_host->faults().null_image_data ? nullptr : pic.origin);
  image->Ints(kOfxImagePropBounds, {pic.bounds.x1, pic.bounds.y1, pic.bounds.x2, pic.bounds.y2});
  image->Ints(kOfxImagePropRowBytes, {static_cast<int>(pic.row_bytes)});
  image->Strings(kOfxImageEffectPropPixelDepth, {pic.depth});
  image->Strings(kOfxImageEffectPropComponents, {pic.components});
  image->Strings(kOfxImageEffectPropPreMultiplication, {pic.premultiplication});
  image->Doubles(kOfxImagePropPixelAspectRatio, {clip->props.Double(kOfxImagePropPixelAspectRatio)});
  *out = image->handle();
  return kOfxStatOK;
}
OfxStatus ClipReleaseImage(OfxPropertySetHandle image) {
  if (!image) return kOfxStatErrBadHandle;
  delete Props(image);
  return kOfxStatOK;
}
OfxStatus ClipRegion(OfxImageClipHandle clip, OfxTime, OfxRectD* out) {
  if (!clip || !out) return kOfxStatErrBadHandle;
  *out = ClipOf(clip)->rod;
  return kOfxStatOK;
}
int Abort(OfxImageEffectHandle e) { return e && EffectOf(e)->abort.load() ? 1 : 0; }
OfxStatus MemoryAlloc(OfxImageEffectHandle, size_t, OfxImageMemoryHandle*) { return kOfxStatErrUnsupported; }
OfxStatus MemoryOther(OfxImageMemoryHandle) { return kOfxStatErrUnsupported; }
OfxStatus MemoryLock(OfxImageMemoryHandle, void**) { return kOfxStatErrUnsupported; }

const OfxImageEffectSuiteV1 kEffectSuite = {EffectProps, EffectParams, ClipDefine, ClipGetHandle, ClipProps,
                                            ClipGetImage, ClipReleaseImage, ClipRegion, Abort, MemoryAlloc,
                                            MemoryOther, MemoryLock, MemoryOther};

// ---- the parameter suite ------------------------------------------------------------------------------------

int Dimension(const std::string& type) {
  if (type == kOfxParamTypeDouble2D) return 2;
  if (type == kOfxParamTypeRGB) return 3;
  if (type == kOfxParamTypeGroup) return 0;
  return 1;
}
bool IsInt(const std::string& type) {
  return type == kOfxParamTypeChoice || type == kOfxParamTypeInteger || type == kOfxParamTypeBoolean;
}

OfxStatus ParamDefine(OfxParamSetHandle set, const char* type, const char* name, OfxPropertySetHandle* props) {
  if (!set || !type || !name) return kOfxStatErrBadHandle;
  ParamSet* s = ParamSetOf(set);
  if (s->Find(name)) return kOfxStatErrExists;
  auto p = std::make_unique<Param>();
  p->type = type, p->name = name;
  p->props.Strings(kOfxParamPropType, {type});
  p->props.Strings(kOfxPropName, {name});
  p->value.assign(static_cast<size_t>(Dimension(type)), 0.0);
  if (props) *props = p->props.handle();
  s->params.push_back(std::move(p));
  return kOfxStatOK;
}
OfxStatus ParamGetHandle(OfxParamSetHandle set, const char* name, OfxParamHandle* param, OfxPropertySetHandle* props) {
  if (!set || !name || !param) return kOfxStatErrBadHandle;
  Param* p = ParamSetOf(set)->Find(name);
  if (!p || g_host->faults().fail_get_param_handle) return kOfxStatErrUnknown;
  *param = reinterpret_cast<OfxParamHandle>(p);
  if (props) *props = p->props.handle();
  return kOfxStatOK;
}
OfxStatus ParamSetProps(OfxParamSetHandle, OfxPropertySetHandle*) { return kOfxStatErrUnsupported; }
OfxStatus ParamProps(OfxParamHandle param, OfxPropertySetHandle* out) {
  if (!param || !out) return kOfxStatErrBadHandle;
  *out = ParamOf(param)->props.handle();
  return kOfxStatOK;
}

OfxStatus GetValues(OfxParamHandle h, double frame, va_list args) {
  if (!h) return kOfxStatErrBadHandle;
  if (g_host->faults().on_param_read) g_host->faults().on_param_read();
  if (g_host->faults().fail_param_reads) return kOfxStatErrUnknown;
  const Param* p = ParamOf(h);
  double v[3] = {0, 0, 0};
  p->At(frame, v);
  if (IsInt(p->type)) {
    *va_arg(args, int*) = static_cast<int>(v[0]);
    return kOfxStatOK;
  }
  for (size_t i = 0; i < p->value.size(); ++i) *va_arg(args, double*) = v[i];
  return kOfxStatOK;
}
OfxStatus ParamGetValue(OfxParamHandle h, ...) {
  va_list args;
  va_start(args, h);
  const OfxStatus st = GetValues(h, 0.0, args);
  va_end(args);
  return st;
}
OfxStatus ParamGetValueAtTime(OfxParamHandle h, OfxTime time, ...) {
  va_list args;
  va_start(args, time);
  const OfxStatus st = GetValues(h, time, args);
  va_end(args);
  return st;
}
OfxStatus ParamDerivative(OfxParamHandle, OfxTime, ...) { return kOfxStatErrUnsupported; }
OfxStatus ParamIntegral(OfxParamHandle, OfxTime, OfxTime, ...) { return kOfxStatErrUnsupported; }
OfxStatus ParamSetValue(OfxParamHandle h, ...) {
  if (!h) return kOfxStatErrBadHandle;
  Param* p = ParamOf(h);
  va_list args;
  va_start(args, h);
  if (IsInt(p->type)) p->value[0] = va_arg(args, int);
  else
    for (double& x : p->value) x = va_arg(args, double);
  va_end(args);
  p->keys.clear();
  return kOfxStatOK;
}
OfxStatus ParamSetValueAtTime(OfxParamHandle, OfxTime, ...) { return kOfxStatErrUnsupported; }
OfxStatus ParamNumKeys(OfxParamHandle h, unsigned int* n) {
  if (!h || !n) return kOfxStatErrBadHandle;
  *n = static_cast<unsigned int>(ParamOf(h)->keys.size());
  return kOfxStatOK;
}
OfxStatus ParamKeyTime(OfxParamHandle, unsigned int, OfxTime*) { return kOfxStatErrUnsupported; }
OfxStatus ParamKeyIndex(OfxParamHandle, OfxTime, int, int*) { return kOfxStatErrUnsupported; }
OfxStatus ParamDeleteKey(OfxParamHandle, OfxTime) { return kOfxStatErrUnsupported; }
OfxStatus ParamDeleteAllKeys(OfxParamHandle h) {
  if (!h) return kOfxStatErrBadHandle;
  ParamOf(h)->keys.clear();
  return kOfxStatOK;
}
OfxStatus ParamCopy(OfxParamHandle, OfxParamHandle, OfxTime, const void*) { return kOfxStatErrUnsupported; }
OfxStatus ParamEditBegin(OfxParamSetHandle, const char*) { return kOfxStatOK; }
OfxStatus ParamEditEnd(OfxParamSetHandle) { return kOfxStatOK; }

const OfxParameterSuiteV1 kParameterSuite = {
    ParamDefine,   ParamGetHandle, ParamSetProps,  ParamProps,      ParamGetValue,      ParamGetValueAtTime,
    ParamDerivative, ParamIntegral, ParamSetValue, ParamSetValueAtTime, ParamNumKeys, ParamKeyTime,
    ParamKeyIndex, ParamDeleteKey, ParamDeleteAllKeys, ParamCopy, ParamEditBegin, ParamEditEnd};

// ---- the multithread suite --------------------------------------------------------------------------------

thread_local int t_thread_index = -1;  // -1: not one of the suite's threads
constexpr unsigned int kCpus = 3;      // more workers than cores, so that the pool really splits work

OfxStatus MultiThread(OfxThreadFunctionV1 func, unsigned int n, void* arg) {
  if (!func) return kOfxStatErrBadHandle;
  if (g_host->faults().fail_multithread) return kOfxStatFailed;
  if (t_thread_index >= 0) return kOfxStatErrExists;
  n = std::max(1u, std::min(n, kCpus));
  std::vector<std::thread> threads;
  for (unsigned int i = 0; i < n; ++i)
    threads.emplace_back([=] {
      t_thread_index = static_cast<int>(i);
      func(i, n, arg);
    });
  for (auto& t : threads) t.join();
  return kOfxStatOK;
}
OfxStatus NumCpus(unsigned int* n) {
  if (!n) return kOfxStatErrBadHandle;
  *n = kCpus;
  return kOfxStatOK;
}
OfxStatus ThreadIndex(unsigned int* i) {
  if (!i) return kOfxStatErrBadHandle;
  *i = t_thread_index < 0 ? 0 : static_cast<unsigned int>(t_thread_index);
  return kOfxStatOK;
}
int IsSpawned() { return t_thread_index >= 0 ? 1 : 0; }
OfxStatus MutexCreate(OfxMutexHandle* m, int) {
  if (!m) return kOfxStatErrBadHandle;
  *m = reinterpret_cast<OfxMutexHandle>(new std::recursive_mutex);
  return kOfxStatOK;
}
std::recursive_mutex* MutexOf(OfxMutexHandle m) { return reinterpret_cast<std::recursive_mutex*>(m); }
OfxStatus MutexDestroy(OfxMutexHandle m) {
  delete MutexOf(m);
  return kOfxStatOK;
}
OfxStatus MutexLock(OfxMutexHandle m) {
  MutexOf(m)->lock();
  return kOfxStatOK;
}
OfxStatus MutexUnlock(OfxMutexHandle m) {
  MutexOf(m)->unlock();
  return kOfxStatOK;
}
OfxStatus MutexTryLock(OfxMutexHandle m) { return MutexOf(m)->try_lock() ? kOfxStatOK : kOfxStatFailed; }

const OfxMultiThreadSuiteV1 kMultiThreadSuite = {MultiThread, NumCpus,      ThreadIndex,  IsSpawned,  MutexCreate,
                                                 MutexDestroy, MutexLock, MutexUnlock, MutexTryLock};

// ---- the message suite ------------------------------------------------------------------------------------

OfxStatus PostMessage(void*, const char* type, const char*, const char* format, ...) {
  char buffer[1024];
  va_list args;
  va_start(args, format);
  std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  g_host->Post(std::string(type ? type : "") + ": " + buffer);
  return kOfxStatOK;
}
OfxStatus ClearPersistent(void*) { return kOfxStatOK; }

const OfxMessageSuiteV2 kMessageSuite = {PostMessage, PostMessage, ClearPersistent};

const void* FetchSuite(OfxPropertySetHandle, const char* name, int version) {
  if (!name || !g_host || g_host->faults().missing_suites.count(name)) return nullptr;
  const std::string n = name;
  if (n == kOfxPropertySuite && version == 1) return &kPropertySuite;
  if (n == kOfxImageEffectSuite && version == 1) return &kEffectSuite;
  if (n == kOfxParameterSuite && version == 1) return &kParameterSuite;
  if (n == kOfxMultiThreadSuite && version == 1) return &kMultiThreadSuite;
  if (n == kOfxMessageSuite && (version == 1 || version == 2)) return &kMessageSuite;
  return nullptr;
}

}  // namespace

// ---- properties, parameters, pictures ---------------------------------------------------------------------

int Property::size() const {
  switch (kind) {
    case 's': return static_cast<int>(s.size());
    case 'd': return static_cast<int>(d.size());
    case 'i': return static_cast<int>(i.size());
    default: return static_cast<int>(p.size());
  }
}

void PropertySet::Strings(const std::string& name, std::vector<std::string> v) { props[name] = Property{'s', std::move(v), {}, {}, {}}; }
void PropertySet::Doubles(const std::string& name, std::vector<double> v) { props[name] = Property{'d', {}, std::move(v), {}, {}}; }
void PropertySet::Ints(const std::string& name, std::vector<int> v) { props[name] = Property{'i', {}, {}, std::move(v), {}}; }
void PropertySet::Pointer(const std::string& name, void* v) { props[name] = Property{'p', {}, {}, {}, {v}}; }
const Property* PropertySet::Find(const std::string& name) const {
  auto it = props.find(name);
  return it == props.end() ? nullptr : &it->second;
}
std::string PropertySet::String(const std::string& name, int index) const {
  const Property* p = Find(name);
  return p && p->kind == 's' && index < p->size() ? p->s[index] : "";
}
std::vector<std::string> PropertySet::AllStrings(const std::string& name) const {
  const Property* p = Find(name);
  return p && p->kind == 's' ? p->s : std::vector<std::string>{};
}
double PropertySet::Double(const std::string& name, int index) const {
  const Property* p = Find(name);
  return p && p->kind == 'd' && index < p->size() ? p->d[index] : std::numeric_limits<double>::quiet_NaN();
}
int PropertySet::Int(const std::string& name, int index) const {
  const Property* p = Find(name);
  return p && p->kind == 'i' && index < p->size() ? p->i[index] : -1;
}

void Param::At(double frame, double* out) const {
  const size_t n = value.size();
  if (keys.empty()) {
    std::copy(value.begin(), value.end(), out);
    return;
  }
  const Key* a = &keys.front();
  const Key* b = a;
  if (frame >= keys.back().frame) {
    a = b = &keys.back();
  } else if (frame > keys.front().frame) {
    for (size_t k = 1; k < keys.size(); ++k)
      if (frame <= keys[k].frame) {
        a = &keys[k - 1], b = &keys[k];
        break;
      }
  }
  const double f = b->frame > a->frame ? (frame - a->frame) / (b->frame - a->frame) : 0.0;
  for (size_t i = 0; i < n; ++i) out[i] = a->values[i] + (b->values[i] - a->values[i]) * f;
}

Param* ParamSet::Find(const std::string& name) const {
  for (const auto& p : params)
    if (p->name == name) return p.get();
  return nullptr;
}

int Picture::sample_size() const { return depth == kOfxBitDepthByte ? 1 : depth == kOfxBitDepthShort ? 2 : 4; }
int Picture::channels() const {
  return components == kOfxImageComponentRGB ? 3 : components == kOfxImageComponentAlpha ? 1 : 4;
}

void Picture::Allocate() {
  const int w = bounds.x2 - bounds.x1, h = bounds.y2 - bounds.y1;
  const std::ptrdiff_t row = static_cast<std::ptrdiff_t>(w) * channels() * sample_size() + 24;  // padding
  memory.assign(static_cast<size_t>(row) * h + 1, 0xA5);
  if (top_down) {
    row_bytes = -row;
    origin = memory.data() + static_cast<std::ptrdiff_t>(h - 1) * row;
  } else {
    row_bytes = row;
    origin = memory.data();
  }
}

void Picture::Put(const std::vector<unsigned char>& packed) {
  const int w = bounds.x2 - bounds.x1, h = bounds.y2 - bounds.y1;
  const size_t line = static_cast<size_t>(w) * channels() * sample_size();
  for (int j = 0; j < h; ++j)  // packed row j is the j-th from the top
    std::memcpy(origin + static_cast<std::ptrdiff_t>(h - 1 - j) * row_bytes, packed.data() + j * line, line);
}

std::vector<unsigned char> Picture::Get() const {
  const int w = bounds.x2 - bounds.x1, h = bounds.y2 - bounds.y1;
  const size_t line = static_cast<size_t>(w) * channels() * sample_size();
  std::vector<unsigned char> packed(line * h);
  for (int j = 0; j < h; ++j)
    std::memcpy(packed.data() + j * line, origin + static_cast<std::ptrdiff_t>(h - 1 - j) * row_bytes, line);
  return packed;
}

// ---- the host ---------------------------------------------------------------------------------------------

Host* CurrentHost() { return g_host; }

Host::Host(const std::string& bundle) {
  g_host = this;
  so_ = minihost::platform::OpenModule(bundle, nullptr);
  if (!so_) return;
  auto count = reinterpret_cast<int (*)()>(minihost::platform::FindSymbol(so_, "OfxGetNumberOfPlugins"));
  auto get = reinterpret_cast<OfxPlugin* (*)(int)>(minihost::platform::FindSymbol(so_, "OfxGetPlugin"));
  if (count && get && count() > 0) plugin_ = get(0);
  host_props.Strings(kOfxPropName, {"org.pluvane.TestHost"});
  ofx_host_.host = host_props.handle();
  ofx_host_.fetchSuite = &FetchSuite;
}

Host::~Host() {
  while (!instances_.empty()) DestroyInstance(instances_.back().get());
  if (plugin_) Unload();
  minihost::platform::CloseModule(so_);
  if (g_host == this) g_host = nullptr;
}

OfxStatus Host::Call(const char* action, const void* handle, PropertySet* in, PropertySet* out) {
  return plugin_->mainEntry(action, handle, in ? in->handle() : nullptr, out ? out->handle() : nullptr);
}

OfxStatus Host::Load() {
  plugin_->setHost(&ofx_host_);
  return Call(kOfxActionLoad, nullptr);
}

OfxStatus Host::Unload() { return Call(kOfxActionUnload, nullptr); }

OfxStatus Host::Describe() { return Call(kOfxActionDescribe, descriptor_.handle()); }

OfxStatus Host::DescribeInContext(const std::string& context) {
  auto effect = std::make_unique<Effect>();
  effect->props = descriptor_.props;
  PropertySet in;
  in.Strings(kOfxImageEffectPropContext, {context});
  const OfxStatus st = Call(kOfxImageEffectActionDescribeInContext, effect->handle(), &in);
  contexts_[context] = std::move(effect);
  return st;
}

Effect* Host::CreateInstance(const std::string& context, const Layout& l, OfxStatus* status) {
  const Effect& d = *contexts_.at(context);
  auto inst = std::make_unique<Effect>();
  inst->props = d.props;
  inst->props.Strings(kOfxImageEffectPropContext, {context});
  inst->props.Doubles(kOfxImageEffectPropFrameRate, {l.fps});
  // Canonical coordinates.
  const OfxPointD origin = l.origin;
  const double pw = l.width * l.par, ph = l.height;
  inst->props.Doubles(kOfxImageEffectPropProjectSize, {pw, ph});
  inst->props.Doubles(kOfxImageEffectPropProjectOffset, {origin.x, origin.y});
  inst->props.Doubles(kOfxImageEffectInstancePropEffectDuration, {1000});
  for (const auto& p : d.params.params) {
    auto copy = std::make_unique<Param>(*p);
    const Property* dflt = p->props.Find(kOfxParamPropDefault);
    if (dflt && dflt->kind == 'd') copy->value = dflt->d;
    if (dflt && dflt->kind == 'i') copy->value = {static_cast<double>(dflt->i.at(0))};
    // A normalised default is a fraction of the project, from its origin.
    if (p->props.String(kOfxParamPropDefaultCoordinateSystem) == kOfxParamCoordinatesNormalised && copy->value.size() == 2)
      copy->value = {origin.x + copy->value[0] * pw, origin.y + copy->value[1] * ph};
    inst->params.params.push_back(std::move(copy));
  }
  for (const auto& [name, c] : d.clips) {
    auto clip = std::make_unique<Clip>(*c);
    clip->props.Strings(kOfxImageEffectPropPixelDepth, {l.depth});
    // An input that takes no such components has its first; an optional one starts unconnected.
    const std::vector<std::string> takes = c->props.AllStrings(kOfxImageEffectPropSupportedComponents);
    const bool takes_layout = std::find(takes.begin(), takes.end(), l.components) != takes.end();
    clip->props.Strings(kOfxImageEffectPropComponents,
                        {name == kOfxImageEffectOutputClipName ? std::string(kOfxImageComponentRGBA)
                         : takes_layout || takes.empty()       ? l.components
                                                               : takes[0]});
    clip->props.Strings(kOfxImageEffectPropPreMultiplication, {l.premultiplication});
    clip->props.Doubles(kOfxImagePropPixelAspectRatio, {l.par});
    clip->props.Doubles(kOfxImageEffectPropFrameRate, {l.fps});
    clip->props.Ints(kOfxImageClipPropConnected, {c->props.Int(kOfxImageClipPropOptional) == 1 ? 0 : 1});
    clip->rod = {origin.x, origin.y, origin.x + pw, origin.y + ph};
    inst->clips[name] = std::move(clip);
  }
  const OfxStatus st = Call(kOfxActionCreateInstance, inst->handle());
  if (status) *status = st;
  if (st != kOfxStatOK) return nullptr;
  instances_.push_back(std::move(inst));
  return instances_.back().get();
}

OfxStatus Host::DestroyInstance(Effect* instance) {
  if (!instance) return kOfxStatErrBadHandle;
  const OfxStatus st = Call(kOfxActionDestroyInstance, instance->handle());
  for (auto it = instances_.begin(); it != instances_.end(); ++it)
    if (it->get() == instance) {
      instances_.erase(it);
      break;
    }
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
