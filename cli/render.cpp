#include "render.h"

#include <csignal>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
#include <filesystem>
#include <numeric>

#include "controls.h"
#include "errors.h"
#include "progress.h"

namespace fs = std::filesystem;

namespace pluvane::cli {
namespace {

using minihost::MiniHost;

// Set from the signal handler; lock-free atomics are safe to touch there.
std::atomic<bool> g_interrupted{false};
std::atomic<MiniHost*> g_host{nullptr};
static_assert(std::atomic<bool>::is_always_lock_free && std::atomic<MiniHost*>::is_always_lock_free);

extern "C" void OnInterrupt(int) {
  g_interrupted.store(true);
  // The effect's next progress report is answered "cancelled", and the host's
  // pixel iteration stops taking rows.
  if (MiniHost* host = g_host.load()) host->RequestCancel();
}

PF_PixelFormat FormatOf(Depth depth) {
  switch (depth) {
    case Depth::k8: return PF_PixelFormat_ARGB32;
    case Depth::k16: return PF_PixelFormat_ARGB64;
    default: return PF_PixelFormat_ARGB128;
  }
}

std::string ErrorWords(PF_Err err) {
  switch (err) {
    case PF_Err_OUT_OF_MEMORY: return "out of memory";
    case PF_Err_BAD_CALLBACK_PARAM: return "a host service failed or is missing";
    case PF_Interrupt_CANCEL: return "cancelled";
    default: return "error " + std::to_string(err);
  }
}

template <typename Pixel, typename Value>
void Fill(const HostImage& image, PF_EffectWorld* world) {
  for (int y = 0; y < image.height; ++y) {
    auto* row = reinterpret_cast<Pixel*>(reinterpret_cast<char*>(world->data) + static_cast<ptrdiff_t>(y) * world->rowbytes);
    const float* src = &image.rgba[static_cast<size_t>(y) * image.width * 4];
    for (int x = 0; x < image.width; ++x, src += 4)
      row[x] = Pixel{static_cast<Value>(src[3]), static_cast<Value>(src[0]), static_cast<Value>(src[1]),
                     static_cast<Value>(src[2])};
  }
}

template <typename Pixel>
void Read(const PF_EffectWorld* world, HostImage& image) {
  for (int y = 0; y < image.height; ++y) {
    const auto* row =
        reinterpret_cast<const Pixel*>(reinterpret_cast<const char*>(world->data) + static_cast<ptrdiff_t>(y) * world->rowbytes);
    float* dst = &image.rgba[static_cast<size_t>(y) * image.width * 4];
    for (int x = 0; x < image.width; ++x, dst += 4) {
      dst[0] = static_cast<float>(row[x].red);
      dst[1] = static_cast<float>(row[x].green);
      dst[2] = static_cast<float>(row[x].blue);
      dst[3] = static_cast<float>(row[x].alpha);
    }
  }
}

// Whether `a` names the existing file `b` (through any path, link or hard
// link). A path that does not exist yet cannot be the input, which does: one
// look-up per output name keeps long frame ranges quick to check.
bool SameFile(const std::string& a, const std::string& b) {
  std::error_code ec;
  return fs::exists(a, ec) && fs::equivalent(a, b, ec);
}

}  // namespace

bool Interrupted() { return g_interrupted.load(); }

InterruptGuard::InterruptGuard(MiniHost* host) {
  g_interrupted = false;
  g_host = host;
  struct sigaction sa {};
  sa.sa_handler = OnInterrupt;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, &old_int_);
  sigaction(SIGTERM, &sa, &old_term_);
}

InterruptGuard::~InterruptGuard() {
  sigaction(SIGINT, &old_int_, nullptr);
  sigaction(SIGTERM, &old_term_, nullptr);
  g_host = nullptr;
}


void FillWorld(const HostImage& image, PF_EffectWorld* world) {
  switch (image.depth) {
    case Depth::k8: Fill<PF_Pixel, A_u_char>(image, world); break;
    case Depth::k16: Fill<PF_Pixel16, A_u_short>(image, world); break;
    default: Fill<PF_PixelFloat, float>(image, world); break;
  }
}

HostImage ReadWorld(const PF_EffectWorld* world, Depth depth) {
  HostImage image{world->width, world->height, depth, {}};
  image.rgba.resize(static_cast<size_t>(image.width) * image.height * 4);
  switch (depth) {
    case Depth::k8: Read<PF_Pixel>(world, image); break;
    case Depth::k16: Read<PF_Pixel16>(world, image); break;
    default: Read<PF_PixelFloat>(world, image); break;
  }
  return image;
}

FrameSpan FramesToRender(const RenderOptions& o, const OutputPattern& output) {
  std::pair<int, int> range{0, 0};
  if (o.frames && (output.has_pattern || !o.frame)) range = *o.frames;
  else if (o.frame) range = {*o.frame, *o.frame};
  if (!output.has_pattern && range.first != range.second)
    throw CliError("frames " + std::to_string(range.first) + "-" + std::to_string(range.second) +
                   " need an output name with a frame number pattern, like rain.####.png or rain.%04d.exr");
  const FrameSpan all{range.first, range.second};
  if (!o.chunk) return all;
  if (!output.has_pattern)
    throw CliError("--chunk needs an output name with a frame number pattern, like rain.####.png, so that the parts "
                   "write different files");
  return ChunkOf(all, *o.chunk);
}

RenderSummary RunRender(const RenderOptions& o, std::ostream& out, std::ostream& err) {
  // Everything the user gave is checked before any frame is rendered.
  FileImage read;
  if (!o.image) {
    if (o.input.empty()) throw CliError("no input image given; name one, like: pluvane render photo.png -o rain.png");
    read = ReadImageFile(o.input);
  }
  const FileImage& file = o.image ? *o.image : read;
  const Depth depth = o.depth.value_or(NaturalDepth(file.type));

  if (o.output.empty()) throw CliError("no output given; add -o OUTPUT, like -o rain.png or -o rain.####.png");
  const OutputPattern pattern = ParseOutputPattern(o.output);
  const FileFormat format = OutputFormatOf(o.output);
  const SampleType sample_type = OutputSampleType(format, depth);
  const FrameSpan frames = FramesToRender(o, pattern);
  if (frames.empty()) {
    // More parts than frames: this part has nothing to do, which is not an error.
    if (!o.quiet)
      out << "chunk " << o.chunk->index << "/" << o.chunk->count << " has no frames of the range; nothing to render\n";
    return RenderSummary{};
  }
  if (static_cast<long long>(frames.last) * o.fps.den > INT_MAX)
    throw CliError("frame " + std::to_string(frames.last) + " lies beyond the host's time range at this --fps; render earlier frames");
  // One look through the output folder: which frames are already complete (an
  // existing output can only be the input if it is one of them), and the
  // temporaries a killed run left behind.
  const OutputScan scan = ScanOutputs(pattern, frames, /*remove_stale=*/true);
  if (!o.input.empty()) {
    for (int f : scan.existing)
      if (SameFile(pattern.FileFor(f), o.input))
        throw CliError("output " + pattern.FileFor(f) + " would overwrite the input; give the output another name");
  }
  CheckWritableFolder(pattern.FileFor(frames.first));
  const std::vector<int> none;
  const std::vector<int>& skip = o.skip_existing ? scan.existing : none;
  const long long to_render = frames.size() - static_cast<long long>(skip.size());
  if (to_render == 0) {
    if (!o.quiet) out << "nothing to render: all " << skip.size() << " frame(s) of " << o.output << " are already written\n";
    RenderSummary summary;
    summary.skipped = static_cast<long long>(skip.size());
    return summary;
  }

  const int n = std::max(o.downsample, 1);
  if (file.width / n < 1 || file.height / n < 1)
    throw CliError("--downsample " + std::to_string(n) + " leaves no pixels of a " + std::to_string(file.width) + "x" +
                   std::to_string(file.height) + " image; use a smaller factor");

  minihost::LayerSettings settings;
  settings.width = file.width;
  settings.height = file.height;
  settings.time_scale = static_cast<A_u_long>(o.fps.num);
  settings.time_step = settings.local_time_step = static_cast<A_long>(o.fps.den);
  settings.total_time = static_cast<A_long>(std::min<long long>(INT_MAX, (frames.last + 1LL) * o.fps.den));
  settings.downsample_x = settings.downsample_y = PF_RationalScale{1, static_cast<A_u_long>(n)};
  settings.pixel_aspect_ratio = PF_RationalScale{static_cast<A_long>(o.pixel_aspect.num), static_cast<A_u_long>(o.pixel_aspect.den)};
  settings.quality = o.draft ? PF_Quality_LO : PF_Quality_HI;
  settings.threads = o.threads;

  auto host = LoadEffect(settings);
  for (const ControlSetting& c : o.controls) ApplyControl(*host, c, o.fps);
  for (const minihost::LightLayer& light : o.lights) host->composition().AddLight(light);

  // The layer as the effect sees it: host values of the render depth, reduced
  // for a preview resolution.
  const HostImage layer = BoxDownsample(ToHost(file, depth), n);
  read = FileImage{};  // frees the file's samples: `file` is not used from here on
  auto input = host->NewWorld(layer.width, layer.height, FormatOf(depth));
  input->pix_aspect_ratio = settings.pixel_aspect_ratio;
  FillWorld(layer, input.get());

  RenderSummary summary;
  summary.width = layer.width;
  summary.height = layer.height;
  summary.description = std::string(SampleTypeName(sample_type)) + " " + FormatName(format);

  ProgressBar bar(err, o.progress);
  host->set_progress_listener([&bar](A_long current, A_long total) { bar.Within(current, total); });
  InterruptGuard guard(host.get());
  const auto interrupted = [&](int frame) {
    bar.Finish();
    return CliError("interrupted at frame " + std::to_string(frame) + "; it was not written, the " +
                        std::to_string(summary.files.size()) + " frame(s) written before it are kept",
                    kExitInterrupted);
  };
  const auto started = std::chrono::steady_clock::now();
  summary.skipped = static_cast<long long>(skip.size());
  auto next_skip = skip.begin();
  long long done = 0;
  for (int f = frames.first; f <= frames.last && f >= frames.first; ++f) {
    if (next_skip != skip.end() && *next_skip == f) {
      ++next_skip;
      continue;
    }
    if (Interrupted()) throw interrupted(f);
    bar.StartFrame(f, static_cast<int>(done++), static_cast<int>(to_render));
    // A fresh output buffer per frame, as a host hands out.
    auto output = host->NewWorld(layer.width, layer.height, FormatOf(depth));
    output->pix_aspect_ratio = settings.pixel_aspect_ratio;
    minihost::FrameRequest request;
    request.time = static_cast<A_long>(static_cast<long long>(f) * o.fps.den);
    request.input = input.get();
    request.output = output.get();
    request.protocol = o.protocol;
    const auto t0 = std::chrono::steady_clock::now();
    const PF_Err e = host->RenderFrame(request);
    summary.frame_ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
    if (Interrupted() || e == PF_Interrupt_CANCEL) throw interrupted(f);
    if (e) {
      bar.Finish();
      throw CliError("the effect failed to render frame " + std::to_string(f) + " (" + ErrorWords(e) +
                         "); try fewer --threads or a smaller --downsample factor, or report it with the command you ran",
                     kExitRenderFailed);
    }
    const std::string path = pattern.FileFor(f);
    WriteImageFile(path, ToFile(ReadWorld(output.get(), depth), sample_type), format);
    summary.files.push_back(path);
    summary.rendered.push_back(f);
    if (f == INT_MAX) break;
  }
  bar.Finish();
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

  if (!o.quiet) {
    const std::string size = std::to_string(summary.width) + "x" + std::to_string(summary.height);
    const std::string kept =
        summary.skipped ? " " + std::to_string(summary.skipped) + " complete frame(s) already there were left as they are" : "";
    if (summary.files.size() == 1)
      out << "wrote " << summary.files[0] << " (" << size << ", " << summary.description << ")" << (kept.empty() ? "" : ";")
          << kept << "\n";
    else
      out << "wrote " << summary.files.size() << " frames, " << summary.files.front() << " to " << summary.files.back()
          << " (" << size << ", " << summary.description << ")" << (kept.empty() ? "" : ";") << kept << "\n";
  }
  if (o.stats) {
    char line[160];
    const size_t count = summary.rendered.size();
    for (size_t i = 0; i < count; ++i) {
      std::snprintf(line, sizeof line, "frame %d: %.1f ms\n", summary.rendered[i], summary.frame_ms[i]);
      out << line;
    }
    const double render_s = std::accumulate(summary.frame_ms.begin(), summary.frame_ms.end(), 0.0) / 1000.0;
    const double mpix = static_cast<double>(summary.width) * summary.height * count / 1e6;
    std::snprintf(line, sizeof line,
                  "%zu frame(s) in %.2f s (rendering %.2f s): %.2f frames/s, %.2f megapixels/s rendered\n",
                  count, wall, render_s, render_s > 0 ? count / render_s : 0.0,
                  render_s > 0 ? mpix / render_s : 0.0);
    out << line;
  }
  return summary;
}

}  // namespace pluvane::cli
