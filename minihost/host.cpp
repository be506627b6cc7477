#include "minihost/host.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <new>
#include <tuple>

#include "minihost/callbacks.h"
#include "minihost/composition.h"
#include "minihost/platform.h"

#ifndef PLUVANE_MODULE_PATH
#define PLUVANE_MODULE_PATH ""
#endif

namespace minihost {
namespace {

// The basic suite's functions carry no reference to the host: they reach the
// host whose command is running on this thread.
thread_local MiniHost* tls_host = nullptr;


SPErr BasicAcquire(const char* name, A_long version, const void** suite) {
  if (!tls_host) return kSPSuiteNotFoundError;
  return tls_host->AcquireSuiteImpl(name, version, suite);
}
SPErr BasicRelease(const char* name, A_long version) {
  if (!tls_host) return kSPSuiteNotFoundError;
  return tls_host->ReleaseSuiteImpl(name, version);
}

PF_Err CheckoutParam(PF_ProgPtr ref, PF_ParamIndex index, A_long what_time, A_long /*time_step*/,
                     A_u_long time_scale, PF_ParamDef* param) {
  CallContext* ctx = MiniHost::ContextFromRef(ref);
  return ctx->host->CheckoutParamImpl(ctx, index, what_time, time_scale, param);
}
PF_Err CheckinParam(PF_ProgPtr ref, PF_ParamDef*) { return MiniHost::FromRef(ref)->CheckinParamImpl(); }
PF_Err AddParam(PF_ProgPtr ref, PF_ParamIndex, PF_ParamDef* def) {
  return MiniHost::FromRef(ref)->AddParamImpl(def);
}
PF_Err Abort(PF_ProgPtr) { return PF_Err_NONE; }
PF_Err Progress(PF_ProgPtr ref, A_long current, A_long total) {
  return MiniHost::FromRef(ref)->ProgressImpl(current, total);
}

PF_Err UpdateParamUI(PF_ProgPtr ref, PF_ParamIndex index, const PF_ParamDef* def) {
  MiniHost* host = MiniHost::FromRef(ref);
  Probe* probe = host->probe();
  // A probe's error is the call's result after the redraw, as a host that
  // drew the control and then failed would give it.
  const PF_Err err = probe ? probe->Before(HostCall::kUpdateParamUI, nullptr, index) : PF_Err_NONE;
  host->RecordUIUpdate({index, def->flags, def->ui_flags});
  return err;
}
const PF_ParamUtilsSuite1 kParamUtilsSuite = {UpdateParamUI};

PF_Fixed ToFixed(double v) { return PF_DoubleToFixed(std::clamp(v, -kPF_FixedLimit, kPF_FixedLimit)); }

double Interpolate(const std::vector<Keyframe>& keys, double t, bool second) {
  auto val = [second](const Keyframe& k) { return second ? k.value2 : k.value; };
  if (t <= keys.front().seconds) return val(keys.front());
  if (t >= keys.back().seconds) return val(keys.back());
  for (size_t i = 1; i < keys.size(); ++i) {
    if (t <= keys[i].seconds) {
      const Keyframe& a = keys[i - 1];
      const Keyframe& b = keys[i];
      const double span = b.seconds - a.seconds;
      const double f = span > 0 ? (t - a.seconds) / span : 1.0;
      return val(a) + (val(b) - val(a)) * f;
    }
  }
  return val(keys.back());
}

}  // namespace

// ---- construction --------------------------------------------------------------

MiniHost::MiniHost(const std::string& module_path, LayerSettings settings)
    : settings_(settings) {
  std::string why;
  module_ = platform::OpenModule(module_path, &why);
  if (!module_) throw HostError("cannot load the effect module '" + module_path + "': " + why);
  main_entry_ = reinterpret_cast<PF_MainEntryFunc>(platform::FindSymbol(module_, "MainEntry"));
  if (!main_entry_) {
    platform::CloseModule(module_);
    throw HostError("the module '" + module_path + "' exports no MainEntry");
  }
  RegisterHostSuites();
}

MiniHost::MiniHost(PF_MainEntryFunc main_entry, LayerSettings settings)
    : settings_(settings), main_entry_(main_entry) {
  if (!main_entry_) throw HostError("no effect entry point given");
  RegisterHostSuites();
}

void MiniHost::RegisterHostSuites() {
  basic_.AcquireSuite = BasicAcquire;
  basic_.ReleaseSuite = BasicRelease;
  composition_ = std::make_unique<Composition>();
  RegisterSuite(kPFParamUtilsSuite, kPFParamUtilsSuiteVersion1, &kParamUtilsSuite);
  RegisterWorldSuites(*this);
  RegisterColorParamSuite(*this);
  RegisterSamplingSuites(*this);
  RegisterIterateSuites(*this);
  RegisterCompositionSuites(*this);
}

MiniHost::~MiniHost() {
  platform::CloseModule(module_);
}

std::string MiniHost::DefaultModulePath() {
  if (const char* env = std::getenv("PLUVANE_MODULE"); env && *env) return env;
  return PLUVANE_MODULE_PATH;
}

A_long MiniHost::LayerTime(A_long effect_time) const {
  return static_cast<A_long>(static_cast<uint32_t>(effect_time) - static_cast<uint32_t>(settings_.time_shift));
}

MiniHost* MiniHost::FromRef(PF_ProgPtr ref) { return ContextFromRef(ref)->host; }
CallContext* MiniHost::ContextFromRef(PF_ProgPtr ref) {
  return reinterpret_cast<CallContext*>(ref);
}

// ---- calls -------------------------------------------------------------------------

void MiniHost::InitInData(CallContext& ctx, A_long time) {
  PF_InData& in = ctx.in_data;
  in = PF_InData{};
  in.inter.checkout_param = CheckoutParam;
  in.inter.checkin_param = CheckinParam;
  in.inter.add_param = AddParam;
  in.inter.abort = Abort;
  in.inter.progress = Progress;
  in.utils = UtilCallbacks();
  in.effect_ref = reinterpret_cast<PF_ProgPtr>(&ctx);
  in.quality = settings_.quality;
  in.version = settings_.version;
  in.current_time = static_cast<A_long>(static_cast<uint32_t>(time) + static_cast<uint32_t>(settings_.time_shift));
  in.time_step = settings_.time_step;
  in.local_time_step = settings_.local_time_step;
  in.total_time = settings_.total_time;
  in.time_scale = settings_.time_scale;
  in.width = settings_.width;
  in.height = settings_.height;
  in.downsample_x = settings_.downsample_x;
  in.downsample_y = settings_.downsample_y;
  in.pixel_aspect_ratio = settings_.pixel_aspect_ratio;
  in.pica_basicP = &basic_;
  if (probe_) probe_->Prepare(in);
  if (Interposer* interposer = CurrentInterposer()) interposer->Tables(in);
  ctx.host = this;
  ctx.sample_tables = NewSampleTables();
}

void MiniHost::PrepareContext(CallContext& ctx, A_long time, PF_EffectWorld* input) {
  InitInData(ctx, time);
  ctx.input = input;
  ctx.param_values.clear();
  for (size_t i = 0; i < defs_.size(); ++i)
    ctx.param_values.push_back(ValueAt(static_cast<int>(i), ctx.in_data.current_time, settings_.time_scale));
  if (ctx.param_values.empty()) ctx.param_values.push_back(PF_ParamDef{});
  if (input) ctx.param_values[0].u.ld = *input;
  ctx.param_ptrs.clear();
  for (auto& p : ctx.param_values) ctx.param_ptrs.push_back(&p);
}

ScopedCurrentHost::ScopedCurrentHost(MiniHost* host) : previous_(tls_host) { tls_host = host; }
ScopedCurrentHost::~ScopedCurrentHost() { tls_host = previous_; }

PF_Err MiniHost::Invoke(PF_Cmd cmd, CallContext& ctx, PF_LayerDef* output, void* extra) {
  ScopedCurrentHost scope(this);
  Interposer* interposer = CurrentInterposer();
  if (!interposer) return main_entry_(cmd, &ctx.in_data, &ctx.out_data, ctx.param_ptrs.data(), output, extra);
  struct Announced {
    Interposer* interposer;
    int token;
    ~Announced() { interposer->EndCommand(token); }
  } announced{interposer, interposer->BeginCommand(cmd)};
  return main_entry_(cmd, &ctx.in_data, &ctx.out_data, ctx.param_ptrs.data(), output, extra);
}

PF_Err MiniHost::Call(PF_Cmd cmd, A_long time, PF_LayerDef* output, void* extra,
                      CallContext* ctx_in) {
  CallContext local;
  CallContext& ctx = ctx_in ? *ctx_in : local;
  PrepareContext(ctx, time);
  return Invoke(cmd, ctx, output, extra);
}

PF_Err MiniHost::About(std::string* text, const std::string& preset) {
  CallContext ctx;
  PrepareContext(ctx, 0);
  // A preset of 256 characters fills the field without a terminator, as a
  // careless host might leave it.
  std::memset(ctx.out_data.return_msg, 0, sizeof ctx.out_data.return_msg);
  std::memcpy(ctx.out_data.return_msg, preset.data(),
              std::min(preset.size(), sizeof ctx.out_data.return_msg));
  PF_Err err = Invoke(PF_Cmd_ABOUT, ctx, nullptr, nullptr);
  if (text) {
    const size_t n = strnlen(ctx.out_data.return_msg, sizeof ctx.out_data.return_msg);
    text->assign(ctx.out_data.return_msg, n);
  }
  return err;
}

PF_Err MiniHost::GlobalSetup(PF_OutData* out) {
  CallContext ctx;
  PrepareContext(ctx, 0);
  if (out) ctx.out_data = *out;
  PF_Err err = Invoke(PF_Cmd_GLOBAL_SETUP, ctx, nullptr, nullptr);
  if (out) *out = ctx.out_data;
  return err;
}

PF_Err MiniHost::ParamsSetup(A_long* num_params) {
  CallContext ctx;
  PrepareContext(ctx, 0);
  building_defs_.clear();
  PF_Err err = Invoke(PF_Cmd_PARAMS_SETUP, ctx, nullptr, nullptr);
  // The host keeps whatever was added, also when the command failed.
  PF_ParamDef layer{};
  layer.param_type = PF_Param_LAYER;
  defs_.assign(1, layer);
  defs_.insert(defs_.end(), building_defs_.begin(), building_defs_.end());
  states_.assign(defs_.size(), ParamState{});
  for (size_t i = 0; i < defs_.size(); ++i) {
    if (defs_[i].param_type == PF_Param_POINT) std::tie(states_[i].x, states_[i].y) = PointDefault(defs_[i]);
  }
  if (num_params) *num_params = ctx.out_data.num_params;
  return err;
}

PF_Err MiniHost::UpdateParamsUI(PF_Cmd cmd) { return Call(cmd, 0); }

PF_Err MiniHost::AddParamImpl(PF_ParamDef* def) {
  if (probe_)
    if (PF_Err err = probe_->Before(HostCall::kAddParam, nullptr, static_cast<long>(building_defs_.size()) + 1)) return err;
  building_defs_.push_back(*def);
  return PF_Err_NONE;
}

PF_Err MiniHost::ProgressImpl(A_long current, A_long total) {
  const PF_Err probed = probe_ ? probe_->Before(HostCall::kProgress, nullptr, 0) : PF_Err_NONE;
  if (progress_listener_) progress_listener_(current, total);
  if (cancel_requested_) return PF_Interrupt_CANCEL;
  return probed;
}

void MiniHost::set_progress_listener(std::function<void(A_long, A_long)> listener) {
  progress_listener_ = std::move(listener);
}

// ---- parameters ------------------------------------------------------------------------

int MiniHost::FindParam(const std::string& name) const {
  for (size_t i = 1; i < defs_.size(); ++i)
    if (name == defs_[i].name) return static_cast<int>(i);
  return -1;
}

namespace {

// The control at `index` when it is of one of `types`; otherwise a HostError
// "control 'NAME' <what>".
PF_ParamDef& ControlOfType(std::vector<PF_ParamDef>& defs, int index, std::initializer_list<PF_ParamType> types,
                           const char* what) {
  PF_ParamDef& d = defs.at(index);
  for (PF_ParamType t : types)
    if (d.param_type == t) return d;
  throw HostError(std::string("control '") + d.name + "' " + what);
}

}  // namespace

void MiniHost::SetFixed(int index, double value) {
  PF_ParamDef& d = ControlOfType(defs_, index, {PF_Param_FIX_SLIDER, PF_Param_ANGLE}, "is not a slider or angle");
  states_.at(index).keys.clear();
  (d.param_type == PF_Param_FIX_SLIDER ? d.u.fd.value : d.u.ad.value) = ToFixed(value);
}

void MiniHost::SetPopup(int index, A_long value) {
  ControlOfType(defs_, index, {PF_Param_POPUP}, "is not a popup").u.pd.value = value;
}

void MiniHost::SetColor(int index, PF_Pixel color) {
  ControlOfType(defs_, index, {PF_Param_COLOR}, "is not a colour").u.cd.value = color;
}

void MiniHost::SetPoint(int index, double x, double y) {
  ControlOfType(defs_, index, {PF_Param_POINT}, "is not a point");
  states_.at(index) = ParamState{{}, x, y};
}

void MiniHost::SetKeys(int index, std::vector<Keyframe> keys) {
  ControlOfType(defs_, index, {PF_Param_FIX_SLIDER, PF_Param_ANGLE, PF_Param_POINT}, "cannot be animated");
  std::sort(keys.begin(), keys.end(),
            [](const Keyframe& a, const Keyframe& b) { return a.seconds < b.seconds; });
  states_.at(index).keys = std::move(keys);
}

std::pair<double, double> MiniHost::PointValue(int index) const {
  return {states_.at(index).x, states_.at(index).y};
}

std::pair<double, double> MiniHost::PointDefault(const PF_ParamDef& def) const {
  return {PF_FixedToDouble(def.u.td.x_dephault) * settings_.width / 100.0, PF_FixedToDouble(def.u.td.y_dephault) * settings_.height / 100.0};
}

// A point kept in full-resolution layer pixels, as the effect gets it: in
// buffer pixels at the downsample, within what 16.16 holds. NaN is the
// control's default place.
void MiniHost::HandOverPoint(PF_ParamDef& d, double x, double y) const {
  const auto [default_x, default_y] = PointDefault(d);
  if (std::isnan(x)) x = default_x;
  if (std::isnan(y)) y = default_y;
  const double dsx = static_cast<double>(settings_.downsample_x.num) / settings_.downsample_x.den;
  const double dsy = static_cast<double>(settings_.downsample_y.num) / settings_.downsample_y.den;
  d.u.td.x_value = ToFixed(x * dsx);
  d.u.td.y_value = ToFixed(y * dsy);
}

// A value from an outside host into the record the effect reads.
PF_ParamDef MiniHost::OutsideValue(PF_ParamDef d, const std::array<double, 3>& v) const {
  const auto channel = [](double c) { return static_cast<A_u_char>(std::lround(std::clamp(std::isnan(c) ? 0.0 : c, 0.0, 255.0))); };
  // Within what 16.16 holds; NaN keeps the control's default.
  const auto fixed = [](double x, PF_Fixed dflt) { return std::isnan(x) ? dflt : ToFixed(x); };
  switch (d.param_type) {
    case PF_Param_FIX_SLIDER:
      d.u.fd.value = std::clamp(fixed(v[0], d.u.fd.dephault), d.u.fd.valid_min, d.u.fd.valid_max);
      break;
    case PF_Param_ANGLE: d.u.ad.value = fixed(v[0], d.u.ad.dephault); break;
    case PF_Param_POINT: HandOverPoint(d, v[0], v[1]); break;
    case PF_Param_COLOR: d.u.cd.value = PF_Pixel{255, channel(v[0]), channel(v[1]), channel(v[2])}; break;
    case PF_Param_POPUP: {
      const double c = std::isnan(v[0]) ? 1.0 : std::clamp(v[0], 1.0, static_cast<double>(std::max<A_long>(d.u.pd.num_choices, 1)));
      d.u.pd.value = static_cast<A_long>(c);
      break;
    }
    default: break;
  }
  return d;
}

PF_ParamDef MiniHost::ValueAt(int index, A_long time, A_u_long time_scale) const {
  PF_ParamDef d = defs_.at(index);
  const ParamState& st = states_.at(index);
  const double t = time_scale ? static_cast<double>(LayerTime(time)) / time_scale : 0.0;
  const bool keyed = !st.keys.empty();
  std::array<double, 3> outside{};
  if (index > 0 && value_source_ && value_source_(index, t, outside)) return OutsideValue(d, outside);
  switch (d.param_type) {
    case PF_Param_FIX_SLIDER:
      if (keyed) d.u.fd.value = ToFixed(Interpolate(st.keys, t, false));
      break;
    case PF_Param_ANGLE:
      if (keyed) d.u.ad.value = ToFixed(Interpolate(st.keys, t, false));
      break;
    case PF_Param_POINT:
      HandOverPoint(d, keyed ? Interpolate(st.keys, t, false) : st.x, keyed ? Interpolate(st.keys, t, true) : st.y);
      break;
    default:
      break;
  }
  return d;
}

PF_Err MiniHost::CheckoutParamImpl(CallContext* ctx, PF_ParamIndex index, A_long what_time,
                                   A_u_long time_scale, PF_ParamDef* param) {
  if (probe_)
    if (PF_Err err = probe_->Before(HostCall::kCheckoutParam, nullptr, index)) return err;
  if (index < 0 || index >= static_cast<PF_ParamIndex>(defs_.size())) return PF_Err_INVALID_INDEX;
  *param = ValueAt(index, what_time, time_scale);
  if (index == 0 && ctx->input) param->u.ld = *ctx->input;
  if (probe_) probe_->After(HostCall::kCheckoutParam, nullptr, index);
  return PF_Err_NONE;
}

PF_Err MiniHost::CheckinParamImpl() {
  if (probe_) probe_->After(HostCall::kCheckinParam, nullptr, 0);
  return PF_Err_NONE;
}

// ---- suites --------------------------------------------------------------------------------

void MiniHost::RegisterSuite(const std::string& name, int version, const void* table) {
  std::lock_guard<std::mutex> lock(mutex_);
  suites_[{name, version}] = table;
}

void MiniHost::RemoveSuite(const std::string& name, int version) {
  std::lock_guard<std::mutex> lock(mutex_);
  suites_.erase({name, version});
}

SPErr MiniHost::AcquireSuiteImpl(const char* name, A_long version, const void** suite) {
  if (probe_)
    if (PF_Err err = probe_->Before(HostCall::kAcquireSuite, name, version)) return err;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = suites_.find({name, version});
    if (it == suites_.end()) {
      *suite = nullptr;
      return kSPSuiteNotFoundError;
    }
    Interposer* interposer = CurrentInterposer();
    *suite = interposer ? interposer->Suite(name, version, it->second) : it->second;
  }
  if (probe_) probe_->After(HostCall::kAcquireSuite, name, version);
  return kSPNoError;
}

SPErr MiniHost::ReleaseSuiteImpl(const char* name, A_long version) {
  if (probe_) probe_->After(HostCall::kReleaseSuite, name, version);
  return kSPNoError;
}

void MiniHost::RecordUIUpdate(const ParamUIUpdate& update) {
  std::lock_guard<std::mutex> lock(mutex_);
  ui_updates_.push_back(update);
}

std::vector<ParamUIUpdate> MiniHost::ui_updates() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return ui_updates_;
}

void MiniHost::ClearUIUpdates() {
  std::lock_guard<std::mutex> lock(mutex_);
  ui_updates_.clear();
}

// ---- the ANSI callbacks ---------------------------------------------------------------------

namespace {
int HostSprintf(A_char* buffer, const A_char* format, ...) {
  va_list args;
  va_start(args, format);
  const int n = std::vsprintf(buffer, format, args);
  va_end(args);
  return n;
}
A_char* HostStrcpy(A_char* dest, const A_char* src) { return std::strcpy(dest, src); }
double HostCos(double v) { return std::cos(v); }
double HostSin(double v) { return std::sin(v); }
double HostSqrt(double v) { return std::sqrt(v); }
double HostPow(double a, double b) { return std::pow(a, b); }
}  // namespace

PF_ANSICallbacks AnsiCallbacks() {
  PF_ANSICallbacks ansi{};
  ansi.cos = HostCos;
  ansi.pow = HostPow;
  ansi.sin = HostSin;
  ansi.sqrt = HostSqrt;
  ansi.sprintf = HostSprintf;
  ansi.strcpy = HostStrcpy;
  return ansi;
}

std::vector<std::string> PopupChoices(const PF_ParamDef& def) {
  std::vector<std::string> out;
  const std::string all = def.u.pd.u.namesptr ? def.u.pd.u.namesptr : "";
  size_t start = 0;
  for (;;) {
    const size_t bar = all.find('|', start);
    out.push_back(all.substr(start, bar == std::string::npos ? std::string::npos : bar - start));
    if (bar == std::string::npos) break;
    start = bar + 1;
  }
  out.resize(static_cast<size_t>(std::max<A_long>(def.u.pd.num_choices, 0)));
  return out;
}

}  // namespace minihost
