#include "cli/render.h"

#include <algorithm>
#include <memory>
#include <set>
#include <string>

#include "cli/controls.h"
#include "cli/cli_error.h"
#include "cli/pipeline.h"
#include "cli/plan.h"
#include "cli/sinks.h"
#include "cli/summary.h"

namespace pluvane::cli {
namespace {

// The sink the plan writes to, with the summary's description of it.
std::unique_ptr<FrameSink> MakeSink(const RenderPlan& plan, RenderSummary& summary, std::string* audio_note) {
  const RenderOptions& o = plan.options;
  if (!plan.video_out) {
    // DPX keeps an 8-bit render as 10-bit codes.
    const bool ten = plan.format == FileFormat::kDpx && plan.sample_type == SampleType::kUInt8;
    summary.description = std::string(ten ? "10-bit" : SampleTypeName(plan.sample_type)) + " " + FormatName(plan.format);
    return std::make_unique<ImageSink>(plan.pattern, plan.format, plan.sample_type, plan.footage.color_space, summary);
  }
  VideoSettings v;
  v.path = o.output;
  v.temp = TemporaryPathFor(o.output);
  v.codec = plan.codec;
  v.width = summary.width;
  v.height = summary.height;
  v.type = plan.sample_type;
  v.fps_num = plan.fps.num;
  v.fps_den = plan.fps.den;
  v.crf = o.crf;
  const Footage& footage = plan.footage;
  if (footage.kind == Footage::Kind::kVideo) {
    // The values of a clip pass through as they are, in its colour.
    const VideoInfo& info = footage.video->info();
    v.primaries = info.primaries;
    v.transfer = info.transfer;
    v.matrix = info.matrix;
  }
  if (footage.kind == Footage::Kind::kVideo && footage.video->info().has_audio && !o.no_audio) {
    v.audio_from = o.input;
    // Output frame f is at f / fps in the clip's time: the audio from the first one on.
    v.audio_start = footage.video->info().start_seconds +
                    static_cast<double>(plan.frames.first) * static_cast<double>(plan.fps.den) / plan.fps.num;
  }
  auto video = std::make_unique<VideoSink>(v, summary);
  *audio_note = video->writer().audio_note();
  summary.description = VideoCodecName(plan.codec);
  if (video->writer().width() != summary.width || video->writer().height() != summary.height)
    summary.description += ", cropped to " + std::to_string(video->writer().width()) + "x" +
                           std::to_string(video->writer().height()) + " (H.264 4:2:0 needs even sizes)";
  return video;
}

// The effect over the footage's layer with every setting of the render.
std::unique_ptr<session::Session> SetUpEffect(const RenderPlan& plan) {
  const RenderOptions& o = plan.options;
  auto effect = LoadEffect(plan.footage.width, plan.footage.height);
  effect->SetRate(plan.fps);
  effect->SetDuration(plan.frames.last + 1LL);
  effect->SetDownsample(plan.downsample);
  effect->SetPixelAspect(o.pixel_aspect);
  effect->SetDraft(o.draft);
  effect->SetThreads(o.threads);
  effect->SetProtocol(o.protocol);
  for (const ControlSetting& c : o.controls) effect->Apply(c);
  for (const minihost::LightLayer& light : o.lights) effect->AddLight(light);
  effect->SetSeed(o.seed);
  effect->SetMix(o.mix);
  effect->SetLoop(plan.loop);
  if (plan.matte && plan.matte->kind == Footage::Kind::kStill) effect->SetMatte(MatteFrame(plan, plan.matte->Still()));
  return effect;
}

// One warning line for each control given a value that the current popup
// choices leave unused, and for composition lights while the effect uses its
// own light: the render goes on, but the user would wait for nothing.
void WarnUnused(session::Session& effect, const RenderOptions& o, std::ostream& err) {
  std::set<int> seen;
  for (const ControlSetting& c : o.controls) {
    const int index = effect.Control(c.name);
    if (!seen.insert(index).second) continue;
    const std::string why = effect.UnusedBecause(index);
    if (!why.empty()) err << "pluvane: warning: " << why << " (" << c.origin << ")\n";
  }
  if (o.lights.empty()) return;
  // Composition lights light the layer only when "Using" is "AE Lights".
  const int using_index = effect.Control("Using");
  const PF_ParamDef& def = effect.definitions()[using_index];
  const std::vector<std::string> choices = session::ChoicesOf(def);
  const auto lights = std::find(choices.begin(), choices.end(), "AE Lights");
  if (lights == choices.end() || def.u.pd.value == lights - choices.begin() + 1) return;
  const A_long now = def.u.pd.value;
  err << "pluvane: warning: the scene's " << o.lights.size() << " light(s) are unused while \"Using\" is \""
      << (now >= 1 && static_cast<size_t>(now) <= choices.size() ? choices[now - 1] : std::to_string(now))
      << "\"; they are used with \"AE Lights\"\n";
}

}  // namespace

RenderSummary RunRender(const RenderOptions& options, std::ostream& out, std::ostream& err) {
  RenderPlan plan = PlanRender(options);  // everything checked before any frame is rendered
  RenderSummary summary;
  summary.skipped = plan.skipped;
  if (!plan.nothing_to_do.empty()) {
    if (!options.quiet) out << plan.nothing_to_do << "\n";
    return summary;
  }
  summary.width = plan.footage.width / plan.downsample;
  summary.height = plan.footage.height / plan.downsample;
  std::string audio_note;
  std::unique_ptr<FrameSink> sink = MakeSink(plan, summary, &audio_note);
  auto effect = SetUpEffect(plan);
  if (!options.quiet) WarnUnused(*effect, plan.options, err);

  // The layer as the effect sees it: host values of the render depth, reduced
  // for a preview resolution. A still is filled in once: from its codes
  // straight into the world, or converted in place, the file's samples
  // becoming the host values, then the world's.
  auto input = effect->NewWorld(plan.depth);
  if (plan.footage.kind == Footage::Kind::kStill) {
    Footage& footage = plan.footage;
    if (!footage.still_codes.bytes.empty() && plan.downsample <= 1) {
      session::FillWorld(ViewOf(footage.still_codes), plan.depth, input.get());
    } else {
      FileImage samples = footage.still_codes.bytes.empty() ? std::move(footage.still) : footage.Still();
      session::FillWorld(BoxDownsample(ToHost(std::move(samples), plan.depth), plan.downsample), input.get());
    }
    footage.still_codes = {};
  }

  ProgressBar bar(err, options.progress);
  const double wall = RunPipeline(plan, *effect, input.get(), *sink, summary, bar);
  if (!options.quiet) PrintSummary(plan, summary, audio_note, out);
  if (options.stats) PrintStats(plan, summary, wall, out);
  return summary;
}

}  // namespace pluvane::cli
