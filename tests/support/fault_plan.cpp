// The wrapped tables of an armed fault plan. Every wrapper counts its call,
// fails it when it is the planned one, and otherwise calls the host's own
// function; the calls that hand out or take back a resource also keep the
// balances of the log.
#include "tests/support/fault_plan.h"

#include <cstdarg>
#include <cstdio>
#include <atomic>
#include <limits>
#include <mutex>
#include <new>
#include <set>
#include <string_view>
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
  if constexpr (std::is_floating_point_v<R>) return std::numeric_limits<R>::quiet_NaN();
  else return static_cast<R>(kInjectedError);
}

template <typename Fn>
void Book(Fn&& fn) {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (s.armed && s.active) fn(s);
}

// How a host function fails, by its name: the ones that give something back
// fail as releases, the math callbacks with a NaN, every other with an error.
CallClass ClassOf(std::string_view function) {
  for (const char* release : {"checkin_param", "checkin_layer_pixels", "dispose_world", "PF_DisposeWorld"})
    if (function == release) return CallClass::kRelease;
  for (const char* math : {"cos", "pow", "sin", "sqrt"})
    if (function == math) return CallClass::kMath;
  return CallClass::kCall;
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
  static R (*Install(R (*fn)(A...), const char* fn_name))(A...) {
    original = fn;
    name = fn_name;
    cls = ClassOf(fn_name);
    return fn ? &Call : nullptr;
  }
};

// A function of a table with its name, for WrapTable.
template <auto Member>
struct Function {
  const char* name;
};
#define PLUVANE_FN(Table, member) Function<&Table::member>{#member}

// A copy of `o` with the functions listed wrapped; the others are null.
template <class Table, auto... Members>
Table WrapTable(const Table& o, Function<Members>... functions) {
  Table w{};
  ((w.*Members = Wrap<Table, Members>::Install(o.*Members, functions.name)), ...);
  return w;
}

// A suite's table with every function wrapped, kept while the effect holds it.
template <class Table, class... Functions>
const void* WrapSuiteTable(const void* table, Functions... functions) {
  static Table w;
  w = WrapTable(*static_cast<const Table*>(table), functions...);
  return &w;
}

std::mutex table_mutex;  // guards the static wrapped tables while they are filled

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

PF_InteractCallbacks WrapInteract(const PF_InteractCallbacks& o) {
  using T = PF_InteractCallbacks;
  // A control is checked out under its disk id, and checked in by it.
  Wrap<T, &T::checkout_param>::after = [](PF_Err err, PF_ProgPtr, PF_ParamIndex, A_long, A_long, A_u_long,
                                          PF_ParamDef* def) {
    Book([&](State& s) {
      if (err || !def) {
        ++s.log.failed_checkouts;
        return;
      }
      s.params.insert(def->uu.id);
      ++s.log.params_held;
    });
  };
  Wrap<T, &T::checkin_param>::before = [](PF_ProgPtr, PF_ParamDef* def) {
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
  return WrapTable(o, PLUVANE_FN(T, checkout_param), PLUVANE_FN(T, checkin_param), PLUVANE_FN(T, add_param),
                   PLUVANE_FN(T, abort), PLUVANE_FN(T, progress));
}

PF_UtilCallbacks* WrapUtils(const PF_UtilCallbacks* original) {
  using T = PF_UtilCallbacks;
  using A = PF_ANSICallbacks;
  static T w;
  w = WrapTable(*original, PLUVANE_FN(T, copy), PLUVANE_FN(T, fill), PLUVANE_FN(T, iterate), PLUVANE_FN(T, iterate16));
  w.ansi = WrapTable(original->ansi, PLUVANE_FN(A, cos), PLUVANE_FN(A, pow), PLUVANE_FN(A, sin), PLUVANE_FN(A, sqrt));
  w.ansi.sprintf = original->ansi.sprintf ? Sprintf : nullptr;
  strcpy_original = original->ansi.strcpy;
  w.ansi.strcpy = original->ansi.strcpy ? Strcpy : nullptr;
  return &w;
}

SPBasicSuite* WrapBasic(const SPBasicSuite* original) {
  static SPBasicSuite w;
  basic_original = original;
  w.AcquireSuite = Acquire;
  w.ReleaseSuite = Release;
  return &w;
}

// The suites the host serves; a suite it does not know is handed out as it is.
const void* WrapSuite(const std::string& name, A_long version, const void* t) {
  const auto is = [&](const char* n, A_long v) { return name == n && version == v; };
  if (is(kPFParamUtilsSuite, kPFParamUtilsSuiteVersion1))
    return WrapSuiteTable<PF_ParamUtilsSuite1>(t, PLUVANE_FN(PF_ParamUtilsSuite1, PF_UpdateParamUI));
  if (is(kPFColorParamSuite, kPFColorParamSuiteVersion1))
    return WrapSuiteTable<PF_ColorParamSuite1>(t,
                                               PLUVANE_FN(PF_ColorParamSuite1, PF_GetFloatingPointColorFromColorDef));
  if (is(kPFWorldSuite, kPFWorldSuiteVersion1)) {
    using T = PF_WorldSuite1;
    Wrap<T, &T::new_world>::after = [](PF_Err err, PF_ProgPtr, A_long, A_long, PF_NewWorldFlags,
                                       PF_EffectWorld* world) { NoteWorld(err, world); };
    Wrap<T, &T::dispose_world>::before = [](PF_ProgPtr, PF_EffectWorld* world) { NoteDispose(world); };
    return WrapSuiteTable<T>(t, PLUVANE_FN(T, new_world), PLUVANE_FN(T, dispose_world));
  }
  if (is(kPFWorldSuite, kPFWorldSuiteVersion2)) {
    using T = PF_WorldSuite2;
    Wrap<T, &T::PF_NewWorld>::after = [](PF_Err err, PF_ProgPtr, A_long, A_long, PF_Boolean, PF_PixelFormat,
                                         PF_EffectWorld* world) { NoteWorld(err, world); };
    Wrap<T, &T::PF_DisposeWorld>::before = [](PF_ProgPtr, PF_EffectWorld* world) { NoteDispose(world); };
    return WrapSuiteTable<T>(t, PLUVANE_FN(T, PF_NewWorld), PLUVANE_FN(T, PF_DisposeWorld),
                             PLUVANE_FN(T, PF_GetPixelFormat));
  }
  if (is(kPFSampling8Suite, kPFSamplingSuiteVersion1)) {
    using T = PF_Sampling8Suite1;
    return WrapSuiteTable<T>(t, PLUVANE_FN(T, nn_sample), PLUVANE_FN(T, subpixel_sample), PLUVANE_FN(T, area_sample));
  }
  if (is(kPFSampling16Suite, kPFSamplingSuiteVersion1)) {
    using T = PF_Sampling16Suite1;
    return WrapSuiteTable<T>(t, PLUVANE_FN(T, nn_sample16), PLUVANE_FN(T, subpixel_sample16),
                             PLUVANE_FN(T, area_sample16));
  }
  if (is(kPFSamplingFloatSuite, kPFSamplingSuiteVersion1)) {
    using T = PF_SamplingFloatSuite1;
    return WrapSuiteTable<T>(t, PLUVANE_FN(T, nn_sample_float), PLUVANE_FN(T, subpixel_sample_float),
                             PLUVANE_FN(T, area_sample_float));
  }
  if (is(kPFIterateFloatSuite, kPFIterateFloatSuiteVersion1))
    return WrapSuiteTable<PF_iterateFloatSuite1>(t, PLUVANE_FN(PF_iterateFloatSuite1, iterate));
  if (is(kPFIterateGenericSuite, kPFIterateGenericSuiteVersion1))
    return WrapSuiteTable<PF_IterateGenericSuite1>(t, PLUVANE_FN(PF_IterateGenericSuite1, iterate_generic));
  if (is(kPluvaneIterateRowsSuite, kPluvaneIterateRowsSuiteVersion1)) {
    using T = PF_IterateRowsSuite1;
    return WrapSuiteTable<T>(t, PLUVANE_FN(T, iterate_rows), PLUVANE_FN(T, area_sample_run),
                             PLUVANE_FN(T, area_sample_run16), PLUVANE_FN(T, area_sample_run_float));
  }
  if (is(kAEGPPFInterfaceSuite, kAEGPPFInterfaceSuiteVersion1)) {
    using T = AEGP_PFInterfaceSuite1;
    return WrapSuiteTable<T>(t, PLUVANE_FN(T, AEGP_GetEffectLayer), PLUVANE_FN(T, AEGP_ConvertEffectToCompTime));
  }
  if (is(kAEGPLayerSuite, kAEGPLayerSuiteVersion5)) {
    using T = AEGP_LayerSuite5;
    return WrapSuiteTable<T>(t, PLUVANE_FN(T, AEGP_GetCompNumLayers), PLUVANE_FN(T, AEGP_GetCompLayerByIndex),
                             PLUVANE_FN(T, AEGP_IsVideoActive), PLUVANE_FN(T, AEGP_GetLayerObjectType),
                             PLUVANE_FN(T, AEGP_GetLayerToWorldXformFromView),
                             PLUVANE_FN(T, AEGP_GetLayerParentComp));
  }
  if (is(kAEGPLightSuite, kAEGPLightSuiteVersion1))
    return WrapSuiteTable<AEGP_LightSuite1>(t, PLUVANE_FN(AEGP_LightSuite1, AEGP_GetLightType));
  if (is(kAEGPStreamSuite, kAEGPStreamSuiteVersion4))
    return WrapSuiteTable<AEGP_StreamSuite4>(t, PLUVANE_FN(AEGP_StreamSuite4, AEGP_GetLayerStreamValue));
  return t;
}

}  // namespace

// The armed plan as the process's interposer: every entry point the effect can
// reach goes through the plan's counter.
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
    std::lock_guard<std::mutex> lock(table_mutex);
    in.inter = WrapInteract(in.inter);
    in.utils = WrapUtils(in.utils);
    if (in.pica_basicP) in.pica_basicP = WrapBasic(in.pica_basicP);
  }
  PF_PreRenderCallbacks PreRender(const PF_PreRenderCallbacks& o) override {
    std::lock_guard<std::mutex> lock(table_mutex);
    return WrapTable(o, PLUVANE_FN(PF_PreRenderCallbacks, checkout_layer));
  }
  PF_SmartRenderCallbacks SmartRender(const PF_SmartRenderCallbacks& o) override {
    using T = PF_SmartRenderCallbacks;
    std::lock_guard<std::mutex> lock(table_mutex);
    return WrapTable(o, PLUVANE_FN(T, checkout_layer_pixels), PLUVANE_FN(T, checkin_layer_pixels),
                     PLUVANE_FN(T, checkout_output));
  }
  const void* Suite(const char* name, A_long version, const void* table) override {
    if (!table) return table;
    std::lock_guard<std::mutex> lock(table_mutex);
    return WrapSuite(name ? name : "", version, table);
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

}  // namespace faults
}  // namespace minihost
