// The wrapped tables of an armed fault plan. Every wrapper counts its call,
// fails it when it is the planned one, and otherwise calls the host's own
// function; the calls that hand out or take back a resource also keep the
// balances of the log.
#include "tests/support/fault_plan.h"

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <atomic>
#include <limits>
#include <mutex>
#include <new>
#include <set>
#include <type_traits>

#include "minihost/host.h"

namespace minihost {
namespace faults {
namespace {

struct State {
  std::mutex mutex;
  std::atomic<bool> armed{false};  // read without the lock on every command
  bool active = false;  // a counted command is running
  int count = 0;
  FaultPlan plan;
  FaultLog log;
  std::set<const void*> worlds;     // pixel buffers of worlds made through the world suites
  std::multiset<A_long> params;     // disk ids of checked-out controls
};

State& S() {
  static State state;
  return state;
}

std::string SuiteKey(const char* name, A_long version) {
  return std::string(name ? name : "?") + "/" + std::to_string(version);
}

// Counts the call; true when it is the one to fail.
bool Fails(const char* function, CallClass cls, std::string detail = {}) {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (!s.armed || !s.active) return false;
  const int n = ++s.count;
  s.log.calls.push_back({function, cls, std::move(detail)});
  if (n != s.plan.fail_at) return false;
  s.log.failed_at = n;
  return true;
}

bool Throws(CallClass cls) {
  return S().plan.kind == FaultKind::kThrow && (cls == CallClass::kAcquire || cls == CallClass::kCall);
}

template <typename R>
R FailValue(CallClass cls) {
  if (Throws(cls)) throw std::bad_alloc();
  if constexpr (std::is_floating_point_v<R>) {
    return std::numeric_limits<R>::quiet_NaN();
  } else {
    return static_cast<R>(kInjectedError);
  }
}

template <typename Fn>
void Book(Fn&& fn) {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (s.armed && s.active) fn(s);
}

// One wrapped function of a table: Table::*Member, of type R (*)(A...).
template <class Table, auto Member, class Fn = std::remove_cvref_t<decltype(std::declval<Table&>().*Member)>>
struct Wrap;

template <class Table, auto Member, class R, class... A>
struct Wrap<Table, Member, R (*)(A...)> {
  static inline R (*original)(A...) = nullptr;
  static inline const char* name = "";
  static inline CallClass cls = CallClass::kCall;
  static inline void (*before)(A...) = nullptr;    // bookkeeping made even when the call fails
  static inline void (*after)(R, A...) = nullptr;  // bookkeeping of the call's result, failed ones included

  static R Call(A... a) {
    if (before) before(a...);
    if (Fails(name, cls)) {
      const R failed = FailValue<R>(cls);  // throws for kThrow
      if (after) after(failed, a...);
      return failed;
    }
    R r = original(a...);
    if (after) after(r, a...);
    return r;
  }
  static R (*Install(R (*fn)(A...), const char* fn_name, CallClass fn_cls))(A...) {
    original = fn;
    name = fn_name;
    cls = fn_cls;
    return fn ? &Call : nullptr;
  }
};

#define PLUVANE_WRAP(Table, member, cls) Wrap<Table, &Table::member>::Install(o.member, #member, cls)

std::mutex table_mutex;  // guards the static wrapped tables while they are filled

// ---- balances ---------------------------------------------------------------------------

void NoteWorld(PF_Err err, const PF_EffectWorld* world) {
  if (err || !world) return;
  Book([&](State& s) {
    if (s.worlds.insert(world->data).second) ++s.log.worlds_held;
  });
}

void NoteDispose(const PF_EffectWorld* world) {
  Book([&](State& s) {
    if (world && s.worlds.erase(world->data)) --s.log.worlds_held;
    else ++s.log.unknown_releases;
  });
}

// ---- the basic suite ------------------------------------------------------------------------

const SPBasicSuite* basic_original = nullptr;

SPErr Acquire(const char* name, A_long version, const void** suite) {
  if (Fails("AcquireSuite", CallClass::kAcquire, SuiteKey(name, version))) {
    if (Throws(CallClass::kAcquire)) throw std::bad_alloc();
    if (suite) *suite = nullptr;
    return S().plan.kind == FaultKind::kNullSuite ? kSPNoError : kSPSuiteNotFoundError;
  }
  const SPErr err = basic_original->AcquireSuite(name, version, suite);
  if (err == kSPNoError && suite && *suite) Book([&](State& s) { ++s.log.suites_held[SuiteKey(name, version)]; });
  return err;
}

SPErr Release(const char* name, A_long version) {
  Book([&](State& s) {
    auto it = s.log.suites_held.find(SuiteKey(name, version));
    if (it != s.log.suites_held.end() && it->second > 0) --it->second;
    else ++s.log.unknown_releases;
  });
  if (Fails("ReleaseSuite", CallClass::kRelease, SuiteKey(name, version))) return kSPSuiteNotFoundError;
  return basic_original->ReleaseSuite(name, version);
}

// ---- the ANSI callbacks that take variable arguments or write through a pointer ------------------

int Sprintf(A_char* buffer, const A_char* format, ...) {
  if (Fails("sprintf", CallClass::kText)) return -1;
  va_list args;
  va_start(args, format);
  const int n = std::vsprintf(buffer, format, args);  // what the host's own sprintf does
  va_end(args);
  return n;
}

A_char* (*strcpy_original)(A_char*, const A_char*) = nullptr;
A_char* Strcpy(A_char* dest, const A_char* src) {
  if (Fails("strcpy", CallClass::kText)) return dest;
  return strcpy_original(dest, src);
}

}  // namespace

// ---- arming ------------------------------------------------------------------------------

// The armed plan as the process's interposer.
class PlanInterposer : public Interposer {
 public:
  int BeginCommand(PF_Cmd cmd) override {
    State& s = S();
    std::lock_guard<std::mutex> lock(s.mutex);
    const int was_active = s.active ? 1 : 0;
    if (s.armed && (s.plan.command < 0 || s.plan.command == cmd)) s.active = true;
    return was_active;
  }
  void EndCommand(int was_active) override {
    State& s = S();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.active = was_active != 0;
  }
  void Tables(PF_InData& in) override {
    // Every entry point the effect can reach goes through the plan's counter.
    in.inter = WrapInteract(in.inter);
    in.utils = WrapUtils(in.utils);
    if (in.pica_basicP) in.pica_basicP = WrapBasic(in.pica_basicP);
  }
  PF_PreRenderCallbacks PreRender(const PF_PreRenderCallbacks& o) override { return WrapPreRender(o); }
  PF_SmartRenderCallbacks SmartRender(const PF_SmartRenderCallbacks& o) override { return WrapSmartRender(o); }
  const void* Suite(const char* name, A_long version, const void* table) override {
    return WrapSuite(name, version, table);
  }
};

PlanInterposer g_plan_interposer;

void Arm(const FaultPlan& plan) {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (s.armed) throw HostError("a fault plan is armed already");
  SetInterposer(&g_plan_interposer);
  s.armed = true;
  s.active = false;
  s.count = 0;
  s.plan = plan;
  s.log = FaultLog{};
  s.worlds.clear();
  s.params.clear();
}

FaultLog Disarm() {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mutex);
  SetInterposer(nullptr);
  s.armed = false;
  s.active = false;
  return std::move(s.log);
}

bool Armed() { return S().armed.load(std::memory_order_relaxed); }

// ---- the wrapped tables -----------------------------------------------------------------------

PF_InteractCallbacks WrapInteract(const PF_InteractCallbacks& o) {
  std::lock_guard<std::mutex> lock(table_mutex);
  using T = PF_InteractCallbacks;
  using Checkout = Wrap<T, &T::checkout_param>;
  using Checkin = Wrap<T, &T::checkin_param>;
  PF_InteractCallbacks w{};
  w.checkout_param = PLUVANE_WRAP(T, checkout_param, CallClass::kCall);
  w.checkin_param = PLUVANE_WRAP(T, checkin_param, CallClass::kRelease);
  w.add_param = PLUVANE_WRAP(T, add_param, CallClass::kCall);
  w.abort = PLUVANE_WRAP(T, abort, CallClass::kCall);
  w.progress = PLUVANE_WRAP(T, progress, CallClass::kCall);
  // A control is checked out under its disk id, and checked in by it.
  Checkout::after = [](PF_Err err, PF_ProgPtr, PF_ParamIndex, A_long, A_long, A_u_long, PF_ParamDef* def) {
    Book([&](State& s) {
      if (err || !def) {
        ++s.log.failed_checkouts;
        return;
      }
      s.params.insert(def->uu.id);
      ++s.log.params_held;
    });
  };
  Checkin::before = [](PF_ProgPtr, PF_ParamDef* def) {
    Book([&](State& s) {
      auto it = def ? s.params.find(def->uu.id) : s.params.end();
      if (it == s.params.end()) {
        ++s.log.stray_checkins;
        return;
      }
      s.params.erase(it);
      --s.log.params_held;
    });
  };
  return w;
}

PF_UtilCallbacks* WrapUtils(const PF_UtilCallbacks* original) {
  std::lock_guard<std::mutex> lock(table_mutex);
  static PF_UtilCallbacks w;
  const PF_UtilCallbacks& o = *original;
  using T = PF_UtilCallbacks;
  w = PF_UtilCallbacks{};
  w.copy = PLUVANE_WRAP(T, copy, CallClass::kCall);
  w.fill = PLUVANE_WRAP(T, fill, CallClass::kCall);
  w.iterate = PLUVANE_WRAP(T, iterate, CallClass::kCall);
  w.iterate16 = PLUVANE_WRAP(T, iterate16, CallClass::kCall);
  {
    const PF_ANSICallbacks& o = original->ansi;  // the macro reads `o`
    using A = PF_ANSICallbacks;
    w.ansi.cos = PLUVANE_WRAP(A, cos, CallClass::kMath);
    w.ansi.pow = PLUVANE_WRAP(A, pow, CallClass::kMath);
    w.ansi.sin = PLUVANE_WRAP(A, sin, CallClass::kMath);
    w.ansi.sqrt = PLUVANE_WRAP(A, sqrt, CallClass::kMath);
    w.ansi.sprintf = o.sprintf ? Sprintf : nullptr;
    strcpy_original = o.strcpy;
    w.ansi.strcpy = o.strcpy ? Strcpy : nullptr;
  }
  return &w;
}

SPBasicSuite* WrapBasic(const SPBasicSuite* original) {
  std::lock_guard<std::mutex> lock(table_mutex);
  static SPBasicSuite w;
  basic_original = original;
  w.AcquireSuite = Acquire;
  w.ReleaseSuite = Release;
  return &w;
}

PF_PreRenderCallbacks WrapPreRender(const PF_PreRenderCallbacks& o) {
  std::lock_guard<std::mutex> lock(table_mutex);
  using T = PF_PreRenderCallbacks;
  return PF_PreRenderCallbacks{PLUVANE_WRAP(T, checkout_layer, CallClass::kCall)};
}

PF_SmartRenderCallbacks WrapSmartRender(const PF_SmartRenderCallbacks& o) {
  std::lock_guard<std::mutex> lock(table_mutex);
  using T = PF_SmartRenderCallbacks;
  return PF_SmartRenderCallbacks{PLUVANE_WRAP(T, checkout_layer_pixels, CallClass::kCall),
                                 PLUVANE_WRAP(T, checkin_layer_pixels, CallClass::kRelease),
                                 PLUVANE_WRAP(T, checkout_output, CallClass::kCall)};
}

const void* WrapSuite(const char* name_c, A_long version, const void* table) {
  if (!table) return table;
  std::lock_guard<std::mutex> lock(table_mutex);
  const std::string name = name_c ? name_c : "";
  const auto is = [&](const char* n, A_long v) { return name == n && version == v; };

  if (is(kPFParamUtilsSuite, kPFParamUtilsSuiteVersion1)) {
    using T = PF_ParamUtilsSuite1;
    static T w;
    const T& o = *static_cast<const T*>(table);
    w = T{PLUVANE_WRAP(T, PF_UpdateParamUI, CallClass::kCall)};
    return &w;
  }
  if (is(kPFColorParamSuite, kPFColorParamSuiteVersion1)) {
    using T = PF_ColorParamSuite1;
    static T w;
    const T& o = *static_cast<const T*>(table);
    w = T{PLUVANE_WRAP(T, PF_GetFloatingPointColorFromColorDef, CallClass::kCall)};
    return &w;
  }
  if (is(kPFWorldSuite, kPFWorldSuiteVersion1)) {
    using T = PF_WorldSuite1;
    static T w;
    const T& o = *static_cast<const T*>(table);
    w = T{PLUVANE_WRAP(T, new_world, CallClass::kCall), PLUVANE_WRAP(T, dispose_world, CallClass::kRelease)};
    Wrap<T, &T::new_world>::after = [](PF_Err err, PF_ProgPtr, A_long, A_long, PF_NewWorldFlags,
                                       PF_EffectWorld* world) { NoteWorld(err, world); };
    Wrap<T, &T::dispose_world>::before = [](PF_ProgPtr, PF_EffectWorld* world) { NoteDispose(world); };
    return &w;
  }
  if (is(kPFWorldSuite, kPFWorldSuiteVersion2)) {
    using T = PF_WorldSuite2;
    static T w;
    const T& o = *static_cast<const T*>(table);
    w = T{PLUVANE_WRAP(T, PF_NewWorld, CallClass::kCall), PLUVANE_WRAP(T, PF_DisposeWorld, CallClass::kRelease),
          PLUVANE_WRAP(T, PF_GetPixelFormat, CallClass::kCall)};
    Wrap<T, &T::PF_NewWorld>::after = [](PF_Err err, PF_ProgPtr, A_long, A_long, PF_Boolean, PF_PixelFormat,
                                         PF_EffectWorld* world) { NoteWorld(err, world); };
    Wrap<T, &T::PF_DisposeWorld>::before = [](PF_ProgPtr, PF_EffectWorld* world) { NoteDispose(world); };
    return &w;
  }
  if (is(kPFSampling8Suite, kPFSamplingSuiteVersion1)) {
    using T = PF_Sampling8Suite1;
    static T w;
    const T& o = *static_cast<const T*>(table);
    w = T{PLUVANE_WRAP(T, nn_sample, CallClass::kCall), PLUVANE_WRAP(T, subpixel_sample, CallClass::kCall),
          PLUVANE_WRAP(T, area_sample, CallClass::kCall)};
    return &w;
  }
  if (is(kPFSampling16Suite, kPFSamplingSuiteVersion1)) {
    using T = PF_Sampling16Suite1;
    static T w;
    const T& o = *static_cast<const T*>(table);
    w = T{PLUVANE_WRAP(T, nn_sample16, CallClass::kCall), PLUVANE_WRAP(T, subpixel_sample16, CallClass::kCall),
          PLUVANE_WRAP(T, area_sample16, CallClass::kCall)};
    return &w;
  }
  if (is(kPFSamplingFloatSuite, kPFSamplingSuiteVersion1)) {
    using T = PF_SamplingFloatSuite1;
    static T w;
    const T& o = *static_cast<const T*>(table);
    w = T{PLUVANE_WRAP(T, nn_sample_float, CallClass::kCall),
          PLUVANE_WRAP(T, subpixel_sample_float, CallClass::kCall),
          PLUVANE_WRAP(T, area_sample_float, CallClass::kCall)};
    return &w;
  }
  if (is(kPFIterateFloatSuite, kPFIterateFloatSuiteVersion1)) {
    using T = PF_iterateFloatSuite1;
    static T w;
    const T& o = *static_cast<const T*>(table);
    w = T{PLUVANE_WRAP(T, iterate, CallClass::kCall)};
    return &w;
  }
  if (is(kPFIterateGenericSuite, kPFIterateGenericSuiteVersion1)) {
    using T = PF_IterateGenericSuite1;
    static T w;
    const T& o = *static_cast<const T*>(table);
    w = T{PLUVANE_WRAP(T, iterate_generic, CallClass::kCall)};
    return &w;
  }
  if (is(kPluvaneIterateRowsSuite, kPluvaneIterateRowsSuiteVersion1)) {
    using T = PF_IterateRowsSuite1;
    static T w;
    const T& o = *static_cast<const T*>(table);
    w = T{PLUVANE_WRAP(T, iterate_rows, CallClass::kCall), PLUVANE_WRAP(T, area_sample_run, CallClass::kCall),
          PLUVANE_WRAP(T, area_sample_run16, CallClass::kCall), PLUVANE_WRAP(T, area_sample_run_float, CallClass::kCall)};
    return &w;
  }
  if (is(kAEGPPFInterfaceSuite, kAEGPPFInterfaceSuiteVersion1)) {
    using T = AEGP_PFInterfaceSuite1;
    static T w;
    const T& o = *static_cast<const T*>(table);
    w = T{PLUVANE_WRAP(T, AEGP_GetEffectLayer, CallClass::kCall),
          PLUVANE_WRAP(T, AEGP_ConvertEffectToCompTime, CallClass::kCall)};
    return &w;
  }
  if (is(kAEGPLayerSuite, kAEGPLayerSuiteVersion5)) {
    using T = AEGP_LayerSuite5;
    static T w;
    const T& o = *static_cast<const T*>(table);
    w = T{PLUVANE_WRAP(T, AEGP_GetCompNumLayers, CallClass::kCall),
          PLUVANE_WRAP(T, AEGP_GetCompLayerByIndex, CallClass::kCall),
          PLUVANE_WRAP(T, AEGP_IsVideoActive, CallClass::kCall),
          PLUVANE_WRAP(T, AEGP_GetLayerObjectType, CallClass::kCall),
          PLUVANE_WRAP(T, AEGP_GetLayerToWorldXformFromView, CallClass::kCall),
          PLUVANE_WRAP(T, AEGP_GetLayerParentComp, CallClass::kCall)};
    return &w;
  }
  if (is(kAEGPLightSuite, kAEGPLightSuiteVersion1)) {
    using T = AEGP_LightSuite1;
    static T w;
    const T& o = *static_cast<const T*>(table);
    w = T{PLUVANE_WRAP(T, AEGP_GetLightType, CallClass::kCall)};
    return &w;
  }
  if (is(kAEGPStreamSuite, kAEGPStreamSuiteVersion4)) {
    using T = AEGP_StreamSuite4;
    static T w;
    const T& o = *static_cast<const T*>(table);
    w = T{PLUVANE_WRAP(T, AEGP_GetLayerStreamValue, CallClass::kCall)};
    return &w;
  }
  return table;
}

}  // namespace faults
}  // namespace minihost
