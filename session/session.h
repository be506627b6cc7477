// One effect instance driven the way every front end drives it: the command
// line, the frei0r filter, the OpenFX plug-in, the demo, the benchmarks and
// the fuzz targets all render through a Session. It owns a stand-in host with
// the effect loaded (or linked in), knows the layer's size, time base, preview
// scale and pixel aspect, gives the controls their values, and renders a frame
// number into a world. It knows nothing of files or command lines.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "minihost/composition.h"
#include "minihost/host.h"
#include "session/around.h"
#include "session/controls.h"
#include "session/layer.h"
#include "session/timebase.h"

namespace pluvane::session {

// The largest layer side the plug-in front ends take from a host: a position
// anywhere on the layer must fit the host's 16.16 point values.
inline constexpr int kLargestPluginSide = static_cast<int>(kPF_FixedLimit);

class Session {
 public:
  // The effect module at `module_path` (dlopen), for a layer of width × height.
  Session(const std::string& module_path, int width, int height);
  // The effect whose entry point is linked into this program.
  Session(PF_MainEntryFunc main_entry, int width, int height);
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // ---- the layer and how frames are asked for (from the next frame on) --------
  void SetRate(const Rational& rate);
  const Timebase& timebase() const { return timebase_; }
  // The frames of the whole render, 0..frames−1 (the host's total time).
  void SetDuration(long long frames);
  // Render at a fraction of full resolution: 1/n, or x and y scales of a
  // host's preview (render scale 0.5 is {1, 2}).
  void SetDownsample(int n);
  void SetDownsample(PF_RationalScale x, PF_RationalScale y);
  void SetPixelAspect(const Rational& aspect);
  void SetDraft(bool draft);
  void SetThreads(int threads);  // 0: every core
  // The workers of the pixel pass on a host's own thread pool (empty: our own threads).
  void SetThreadRunner(minihost::ThreadRunner runner) { host_->settings().thread_runner = std::move(runner); }
  void SetProtocol(minihost::Protocol protocol);
  // The size of the worlds a frame renders: the layer's at the downsample.
  int render_width() const;
  int render_height() const;

  // ---- controls ------------------------------------------------------------------
  int Control(const std::string& name) const { return FindControl(*host_, name); }
  const std::vector<PF_ParamDef>& definitions() const { return host_->params(); }
  // A setting as a user wrote it, checked (Error when it does not fit).
  void Apply(const ControlSetting& setting) { ApplyControl(*host_, setting, timebase_); }
  // Values in the controls' own units, brought within what the control accepts
  // (NaN: the default). Points in full-resolution layer pixels.
  void SetValue(int index, double value);
  void SetPoint(int index, double x, double y);
  void SetColor(int index, A_u_char red, A_u_char green, A_u_char blue);
  void SetChoice(int index, A_long choice);
  // Values kept by an outside host (its keyframes), asked at every time the
  // effect reads a control; controls it declines keep the values set here.
  void SetValueSource(minihost::ValueSource source) { host_->set_value_source(std::move(source)); }
  std::vector<ControlInfo> Describe() { return DescribeControls(*host_); }
  std::vector<bool> Enabled() { return EnabledControls(*host_); }
  // Why a control is unused with the current choices, "" when it is enabled.
  std::string UnusedBecause(int index) { return session::UnusedBecause(*host_, index); }
  void AddLight(const minihost::LightLayer& light);

  // ---- around the effect (around.h): seed, mix, matte, loop -------------------------------
  // Values outside the controls' ranges are an Error (CheckHostControl): a
  // front end that cannot report one clamps first (ClampToHostControl).
  void SetSeed(int seed);
  int seed() const { return seed_; }
  void SetMix(double mix);
  double mix() const { return mix_; }
  // The matte of the frames from the next on, at the render size (nothing: none).
  void SetMatte(std::optional<Matte> matte);
  // A loop of `period` frames (0: none): frame f renders as frame f mod period,
  // its first LoopFade(period) frames cross-faded into the turn before.
  void SetLoop(long long period);
  long long loop() const { return loop_; }

  // ---- rendering --------------------------------------------------------------------
  // A world of the render size in `depth`, released when the pointer goes.
  minihost::WorldPtr NewWorld(Depth depth);
  // A buffer the effect's render writes whole, not cleared first (it may hold
  // an earlier frame).
  minihost::WorldPtr NewOutputWorld(Depth depth);
  // Renders frame `frame` over `input` into `output` (worlds of the render
  // size, one depth), with the seed, loop, mix and matte. Returns the
  // effect's error: PF_Interrupt_CANCEL when cancelled. Error when the frame
  // lies beyond the host's time range.
  PF_Err RenderFrame(long long frame, PF_EffectWorld* input, PF_EffectWorld* output);
  // The same over pixel buffers of the render size: fills the session's own
  // input world, renders, and reads the output world into `out`.
  PF_Err RenderFrame(long long frame, const PixelView& in, const MutablePixelView& out, Depth depth);

  // Every later progress report of the effect answers "cancelled" until cleared.
  void Cancel() { host_->RequestCancel(); }
  void ClearCancel() { host_->ClearCancel(); }
  bool cancelled() const { return host_->cancel_requested(); }
  // Called on every progress report of the effect (current, total).
  void SetProgressListener(std::function<void(A_long, A_long)> listener) {
    host_->set_progress_listener(std::move(listener));
  }
  // Called as the host's own work for a frame goes (drops drawn in bands,
  // rows shaded), from the worker threads.
  void SetWorkListener(minihost::MiniHost::WorkListener listener) { host_->set_work_listener(std::move(listener)); }

  // The stand-in host underneath, for what only a host knows (tests, the
  // control table).
  minihost::MiniHost& host() { return *host_; }

 private:
  void SetUp();
  // The effect alone at frame `frame` of the seed, no loop, mix or matte.
  PF_Err RenderEffect(long long frame, PF_EffectWorld* input, PF_EffectWorld* output);
  // `world` with the layer's pixel aspect ratio.
  minihost::WorldPtr WithLayerAspect(minihost::WorldPtr world) const;

  std::unique_ptr<minihost::MiniHost> host_;
  Timebase timebase_;
  minihost::Protocol protocol_ = minihost::Protocol::kSmart;
  // The session's own worlds for RenderFrame over pixel buffers.
  Depth buffer_depth_ = Depth::k8;
  minihost::WorldPtr input_, output_;
  int seed_ = 0;
  double mix_ = 1.0;
  std::optional<Matte> matte_;
  long long loop_ = 0;
};

// A host's error code in words, for messages: "out of memory", "cancelled".
std::string ErrorWords(PF_Err err);

}  // namespace pluvane::session
