// A stand-in for the compositing host: it loads an effect module the way a
// host does (dlopen, look up MainEntry), keeps the effect's parameter list
// with values and keyframes, serves every callback and suite the effect asks
// for, and allocates image buffers with row padding and tracks them. A test
// harness can watch its calls and make them fail through a Probe (probe.h).
//
// One MiniHost plays the host for one effect instance. Frames may be rendered
// from many threads at once: every command gets its own call context (its
// PF_InData, PF_OutData and parameter array), reached from the callbacks
// through effect_ref.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "aegp_suites.h"
#include "minihost/parallel.h"
#include "minihost/probe.h"

namespace minihost {

class Composition;
struct SampleTables;  // the area sample's tables of the worlds sampled in one command

// Thrown for host-side failures (module not found, bad control value...).
class HostError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Settings a host holds for the layer the effect is applied to and for the
// calls it makes. Times are in time_scale units.
struct LayerSettings {
  A_long width = 640;  // the layer's full-resolution size
  A_long height = 360;
  A_u_long time_scale = 30;
  A_long time_step = 1;
  A_long local_time_step = 1;
  A_long total_time = 300;
  // The effect sees times this far from the layer's (a seed): a frame at
  // layer time t renders at effect time t + time_shift, and a control read at
  // effect time u gets the layer's value at u − time_shift. Both wrap as
  // 32-bit words, as the effect's own birth times do.
  A_long time_shift = 0;
  PF_RationalScale downsample_x{1, 1};
  PF_RationalScale downsample_y{1, 1};
  PF_RationalScale pixel_aspect_ratio{1, 1};
  PF_Quality quality = PF_Quality_HI;
  PF_SpecVersion version{13, 28};  // the version of the host's effect interface
  int threads = 0;                 // iteration workers; 0 = all cores
  ThreadRunner thread_runner;      // the workers on an outside host's threads; empty: our own
};

// A keyframe of a control: time in seconds, plain value(s) (points: x, y in
// full-resolution layer pixels).
struct Keyframe {
  double seconds;
  double value;
  double value2 = 0.0;
};

// A control's value kept by an outside host (an OpenFX host keeps its own
// keyframes), in the control's own units: sliders and angles value[0]; points
// x, y in full-resolution layer pixels; colours red, green, blue 0..255;
// popups the choice from 1. Asked with the control's index and a time in
// seconds, from any thread; false leaves the control to the host's own store.
using ValueSource = std::function<bool(int index, double seconds, std::array<double, 3>& value)>;

// One PF_UpdateParamUI call as the host saw it.
struct ParamUIUpdate {
  int index;
  PF_ParamFlags flags;
  PF_ParamUIFlags ui_flags;
};

// An image buffer allocated by the host, in one of the three formats, with
// row padding so that stride mistakes show.
struct HostWorld {
  PF_EffectWorld world{};
  PF_PixelFormat format = PF_PixelFormat_INVALID;
  std::vector<uint8_t> storage;
  int suite_version = 0;  // the "PF World Suite" version that allocated it; 0: the host's own
};

// A host-owned world that is released when it goes out of scope.
class WorldPtr {
 public:
  WorldPtr() = default;
  WorldPtr(class MiniHost* host, PF_EffectWorld* world) : host_(host), world_(world) {}
  WorldPtr(WorldPtr&& o) noexcept : host_(o.host_), world_(o.world_) { o.world_ = nullptr; }
  WorldPtr& operator=(WorldPtr&& o) noexcept;
  ~WorldPtr();
  PF_EffectWorld* get() const { return world_; }
  PF_EffectWorld* operator->() const { return world_; }
  PF_EffectWorld& operator*() const { return *world_; }
  explicit operator bool() const { return world_ != nullptr; }

 private:
  class MiniHost* host_ = nullptr;
  PF_EffectWorld* world_ = nullptr;
};

class MiniHost;

// Makes `host` answer the basic suite on this thread while in scope. Commands
// sent through MiniHost do this themselves; tests that call module functions
// directly with a prepared CallContext use it.
class ScopedCurrentHost {
 public:
  explicit ScopedCurrentHost(MiniHost* host);
  ~ScopedCurrentHost();
  ScopedCurrentHost(const ScopedCurrentHost&) = delete;
  ScopedCurrentHost& operator=(const ScopedCurrentHost&) = delete;

 private:
  MiniHost* previous_;
};

// The state of one command call. effect_ref points at it.
struct CallContext {
  MiniHost* host = nullptr;
  PF_InData in_data{};
  PF_OutData out_data{};
  std::vector<PF_ParamDef> param_values;  // values at current_time, index 0 the input layer
  std::vector<PF_ParamDef*> param_ptrs;
  // Smart render: the checkouts registered in pre-render and the worlds.
  PF_EffectWorld* input = nullptr;
  PF_EffectWorld* output = nullptr;
  std::map<A_long, PF_RenderRequest> checkouts;
  // Built on the first area sample of a world in this command, freed with it.
  std::shared_ptr<SampleTables> sample_tables;
};

// The two ways a host asks for a frame.
enum class Protocol { kSmart, kClassic };

// One frame to render. Worlds are the host's own (AllocateWorld/NewWorld).
// Under smart render a world's origin_x/origin_y give the layer position of
// its pixel (0, 0), so an input expanded by an earlier effect, or an output
// larger than the layer, is described by non-zero origins.
struct FrameRequest {
  A_long time = 0;  // the layer's time, in time_scale units (current_time is it plus time_shift)
  PF_EffectWorld* input = nullptr;
  PF_EffectWorld* output = nullptr;
  Protocol protocol = Protocol::kSmart;
  // Smart render: the output area asked for, in layer coordinates; by default
  // the output world's whole extent.
  bool has_request = false;
  PF_LRect request{0, 0, 0, 0};
  // Smart render: hand the effect no input (or output) world at all.
  bool withhold_input = false;
  bool withhold_output = false;
};

// What the smart pre-render answered.
struct FrameResult {
  PF_Err pre_render_err = PF_Err_NONE;
  PF_LRect result_rect{0, 0, 0, 0};
  PF_LRect max_result_rect{0, 0, 0, 0};
  std::vector<std::pair<A_long, PF_LRect>> checkouts;  // (checkout id, requested rect)
};

class MiniHost {
 public:
  // Loads the effect module from `module_path` and looks up MainEntry.
  explicit MiniHost(const std::string& module_path, LayerSettings settings = {});
  // Hosts the effect whose entry point is linked into this program: nothing
  // is loaded, commands go straight to `main_entry`.
  explicit MiniHost(PF_MainEntryFunc main_entry, LayerSettings settings = {});
  virtual ~MiniHost();
  MiniHost(const MiniHost&) = delete;
  MiniHost& operator=(const MiniHost&) = delete;

  // The path of the module this build made (set by the build system).
  static std::string DefaultModulePath();

  LayerSettings& settings() { return settings_; }
  // A harness watching this host's own entry points; null: none (what ships).
  void set_probe(Probe* probe) { probe_ = probe; }
  Probe* probe() const { return probe_; }

  // ---- the set-up commands ------------------------------------------------
  // Sends PF_Cmd_ABOUT with `preset` already in return_msg; the text comes back in *text.
  PF_Err About(std::string* text, const std::string& preset = "");
  // Sends PF_Cmd_GLOBAL_SETUP over out flags the host preset.
  PF_Err GlobalSetup(PF_OutData* out);
  // Sends PF_Cmd_PARAMS_SETUP; the controls added become the parameter list.
  PF_Err ParamsSetup(A_long* num_params = nullptr);
  // Sends PF_Cmd_USER_CHANGED_PARAM or PF_Cmd_UPDATE_PARAMS_UI with the
  // current values; the updates the effect made are recorded.
  PF_Err UpdateParamsUI(PF_Cmd cmd = PF_Cmd_UPDATE_PARAMS_UI);
  // Sends any command with a fresh call context at `time` (time_scale units).
  PF_Err Call(PF_Cmd cmd, A_long time = 0, PF_LayerDef* output = nullptr, void* extra = nullptr,
              CallContext* ctx = nullptr);
  // Prepares a call context for layer time `time` (parameter values, in_data) without calling.
  void PrepareContext(CallContext& ctx, A_long time, PF_EffectWorld* input = nullptr);
  PF_Err Invoke(PF_Cmd cmd, CallContext& ctx, PF_LayerDef* output, void* extra);

  // ---- rendering ---------------------------------------------------------------------
  // Renders one frame: smart pre-render then smart render, or the classic
  // render command. Returns the effect's error.
  PF_Err RenderFrame(const FrameRequest& request, FrameResult* result = nullptr);

  // ---- parameters --------------------------------------------------------------
  // The definitions the effect added, index 0 the input layer.
  const std::vector<PF_ParamDef>& params() const { return defs_; }
  int FindParam(const std::string& name) const;  // -1 when unknown
  // Static values (clear the control's keyframes).
  void SetFixed(int index, double value);   // sliders and angles, rounded to 16.16
  void SetPopup(int index, A_long value);
  void SetColor(int index, PF_Pixel color);  // alpha, red, green, blue
  void SetPoint(int index, double x, double y);  // full-resolution layer pixels
  // Where a point control's default lies in full-resolution layer pixels:
  // its default is a percentage of the layer's width and height.
  std::pair<double, double> PointDefault(const PF_ParamDef& def) const;
  // Keyframes: linear between keys, held before the first and after the last.
  // Popups and colours take no keys.
  void SetKeys(int index, std::vector<Keyframe> keys);
  // The value the host hands the effect at effect time `time` (the layer's
  // value at time − time_shift), as the effect sees it.
  PF_ParamDef ValueAt(int index, A_long time, A_u_long time_scale) const;
  // Values from an outside host instead of the keyframes kept here.
  void set_value_source(ValueSource source) { value_source_ = std::move(source); }
  // The point control's value in full-resolution layer pixels (static value).
  std::pair<double, double> PointValue(int index) const;

  // ---- suites ----------------------------------------------------------------
  void RegisterSuite(const std::string& name, int version, const void* table);
  void RemoveSuite(const std::string& name, int version);  // the host lacks it
  std::vector<ParamUIUpdate> ui_updates() const;
  void ClearUIUpdates();

  // ---- image buffers ---------------------------------------------------------
  // What a new world's buffer holds: zeros; a garbage pattern; or, for a
  // recycled buffer of the same size, an earlier world's pixels as they are,
  // as a real host's recycled memory does (a new buffer holds the pattern).
  enum class WorldFill { kZeros, kPattern, kAsRecycled };
  // Allocates a world of the given format with row padding. `suite_version`
  // is the world suite that asked for it (0: the host itself).
  PF_EffectWorld* AllocateWorld(A_long width, A_long height, PF_PixelFormat format,
                                WorldFill fill = WorldFill::kZeros, int suite_version = 0);
  WorldPtr NewWorld(A_long width, A_long height, PF_PixelFormat format) {
    return WorldPtr(this, AllocateWorld(width, height, format));
  }
  // A world the effect will write whole (a render's output): not cleared,
  // which for a frame-sized buffer every frame is a measurable cost.
  WorldPtr NewOutputWorld(A_long width, A_long height, PF_PixelFormat format) {
    return WorldPtr(this, AllocateWorld(width, height, format, WorldFill::kAsRecycled));
  }
  // PF_Err_BAD_CALLBACK_PARAM if unknown, or if `suite_version` (the world
  // suite releasing it; 0 for the host itself) is not the one that allocated it.
  PF_Err DisposeWorld(PF_EffectWorld* world, int suite_version = 0);
  int live_worlds() const;
  static PF_PixelFormat WorldFormat(const PF_EffectWorld* world);
  static size_t PixelSize(PF_PixelFormat format);

  // ---- composition ------------------------------------------------------------
  Composition& composition() { return *composition_; }

  // ---- progress and cancellation ---------------------------------------------------
  // Called on every progress report of the effect (current, total); may be empty.
  void set_progress_listener(std::function<void(A_long, A_long)> listener);
  // The host's own work for the effect, as it goes: the bands of a generic
  // iteration (the drops drawn) and the rows of a pixel iteration (the rows
  // shaded), `done` of `total`. Called from the worker threads, at most once
  // per band or row; may be empty. Work the effect does itself is reported
  // through its progress callback instead.
  enum class Work { kBands, kRows };
  using WorkListener = std::function<void(Work, A_long done, A_long total)>;
  void set_work_listener(WorkListener listener) { work_listener_ = std::move(listener); }
  const WorkListener& work_listener() const { return work_listener_; }
  // Once set, every later progress report answers "cancelled" (Ctrl-C).
  void RequestCancel() { cancel_requested_ = true; }
  void ClearCancel() { cancel_requested_ = false; }
  bool cancel_requested() const { return cancel_requested_.load(); }
  PF_Err ProgressImpl(A_long current, A_long total);

  // ---- internal, used by the callback tables ----------------------------------------
  // The layer's time of an effect time, undoing time_shift (32-bit wrap).
  A_long LayerTime(A_long effect_time) const;
  static MiniHost* FromRef(PF_ProgPtr effect_ref);
  static CallContext* ContextFromRef(PF_ProgPtr effect_ref);
  void RecordUIUpdate(const ParamUIUpdate& update);
  SPErr AcquireSuiteImpl(const char* name, A_long version, const void** suite);
  SPErr ReleaseSuiteImpl(const char* name, A_long version);
  PF_Err CheckoutParamImpl(CallContext* ctx, PF_ParamIndex index, A_long what_time,
                           A_u_long time_scale, PF_ParamDef* param);
  PF_Err AddParamImpl(PF_ParamDef* def);
  PF_Err CheckinParamImpl();
  std::vector<PF_ParamDef> building_defs_;  // filled during PARAMS_SETUP

 private:
  struct ParamState {
    std::vector<Keyframe> keys;
    double x = 0, y = 0;  // points, full-resolution layer pixels
  };
  void InitInData(CallContext& ctx, A_long time);
  PF_ParamDef OutsideValue(PF_ParamDef def, const std::array<double, 3>& value) const;
  void HandOverPoint(PF_ParamDef& def, double x, double y) const;
  void RegisterHostSuites();

  LayerSettings settings_;
  Probe* probe_ = nullptr;
  void* module_ = nullptr;
  PF_MainEntryFunc main_entry_ = nullptr;
  SPBasicSuite basic_{};

  std::vector<PF_ParamDef> defs_;
  std::vector<ParamState> states_;
  ValueSource value_source_;
  mutable std::mutex mutex_;  // guards suite counts, worlds, logs
  std::map<std::pair<std::string, int>, const void*> suites_;
  std::vector<ParamUIUpdate> ui_updates_;
  std::map<PF_EffectWorld*, std::unique_ptr<HostWorld>> worlds_;
  // Pixel memory of disposed worlds, kept for the next worlds of the same
  // size (a frame's work buffer comes back every frame): no fresh pages to
  // fault in. A few buffers at most, a bounded number of bytes.
  std::vector<std::vector<uint8_t>> spare_storage_;
  std::unique_ptr<Composition> composition_;
  std::function<void(A_long, A_long)> progress_listener_;
  WorkListener work_listener_;
  std::atomic<bool> cancel_requested_{false};
};

// The host-side callback tables (defined in the files that serve them).
PF_UtilCallbacks* UtilCallbacks();
PF_ANSICallbacks AnsiCallbacks();
void RegisterWorldSuites(MiniHost& host);
void RegisterParamUtilsSuite(MiniHost& host);
void RegisterColorParamSuite(MiniHost& host);
void RegisterSamplingSuites(MiniHost& host);
void RegisterIterateSuites(MiniHost& host);
void RegisterCompositionSuites(MiniHost& host);

// The choice names of a popup control ("A|B|C" in its record), as many as it
// says it has.
std::vector<std::string> PopupChoices(const PF_ParamDef& def);

}  // namespace minihost
