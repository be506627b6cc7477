#include "render.h"

#include <csignal>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
#include <filesystem>
#include <numeric>

#include <sys/stat.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

#include "controls.h"
#include "errors.h"
#include "pipeline.h"
#include "progress.h"
#include "sequence.h"
#include "video.h"

namespace fs = std::filesystem;

namespace pluvane::cli {
namespace {

// Set from the signal handler; lock-free atomics are safe to touch there.
std::atomic<bool> g_interrupted{false};
std::atomic<int> g_signal{0};
std::atomic<session::Session*> g_session{nullptr};
static_assert(std::atomic<bool>::is_always_lock_free && std::atomic<session::Session*>::is_always_lock_free &&
              std::atomic<int>::is_always_lock_free);

extern "C" void OnInterrupt(int signal) {
  int none = 0;
  g_signal.compare_exchange_strong(none, signal);  // the first signal decides the exit code
  g_interrupted.store(true);
  // The effect's next progress report is answered "cancelled", and the host's
  // pixel iteration stops taking rows.
  if (session::Session* effect = g_session.load()) effect->Cancel();
}

std::string Quoted(const std::string& s) { return "'" + s + "'"; }

}  // namespace

bool Interrupted() { return g_interrupted.load(); }

int InterruptExitCode() {
  const int signal = g_signal.load();
  return 128 + (signal ? signal : SIGINT);
}

bool IsInterruptExitCode(int code) { return code == 128 + SIGINT || code == 128 + SIGTERM || code == 128 + SIGHUP; }

InterruptGuard::InterruptGuard(session::Session* effect) {
  g_interrupted = false;
  g_signal = 0;
  g_session = effect;
  struct sigaction sa {};
  sa.sa_handler = OnInterrupt;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, &old_int_);
  sigaction(SIGTERM, &sa, &old_term_);
  sigaction(SIGHUP, &sa, &old_hup_);
}

InterruptGuard::~InterruptGuard() {
  sigaction(SIGINT, &old_int_, nullptr);
  sigaction(SIGTERM, &old_term_, nullptr);
  sigaction(SIGHUP, &old_hup_, nullptr);
  g_session = nullptr;
}


void CheckWritableFolder(const std::string& path) {
  fs::path dir = fs::path(path).parent_path();
  if (dir.empty()) dir = ".";
  std::error_code ec;
  if (!fs::exists(dir, ec))
    throw CliError("output folder " + Quoted(dir.string()) + " does not exist; create it first or pick another folder");
  if (!fs::is_directory(dir, ec))
    throw CliError("output folder " + Quoted(dir.string()) + " is not a folder; pick another output path");
  // Probe by creating a file, as permissions alone do not tell (root, read-only mounts).
  const std::string probe = TemporaryPathFor(path);
  const int fd = ::open(probe.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
  if (fd < 0) {
    const int err = errno;
    if (err != EEXIST)
      throw CliError("cannot write into folder " + Quoted(dir.string()) + ": " + std::strerror(err) +
                     "; pick a folder you can write to");
    return;
  }
  ::close(fd);
  ::unlink(probe.c_str());
}


namespace {

// A file's identity (device, inode), so that any path to it compares equal.
using FileId = std::pair<dev_t, ino_t>;
std::optional<FileId> IdOf(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  return FileId{st.st_dev, st.st_ino};
}

// The layer's footage: a still, an image sequence or a video file.
struct Footage {
  enum class Kind { kStill, kSequence, kVideo } kind = Kind::kStill;
  FileImage still;
  OutputPattern pattern;                    // a sequence's file names
  std::optional<FrameSpan> own;             // the frames it has: on disk, or the video's
  std::optional<Rational> fps;              // a video's own rate
  std::set<FileId> files;                   // every file it reads, for the overwrite check
  std::unique_ptr<SequenceReader> sequence;
  std::unique_ptr<VideoReader> video;
  int width = 0, height = 0;
  SampleType type = SampleType::kUInt8;

  FileImage Read(int frame) {
    if (kind == Kind::kSequence) return sequence->Read(frame);
    return video->Read(frame);
  }
};

// Finds which kind of footage the input is and what it has, before any frame is read.
Footage OpenFootage(const RenderOptions& o) {
  Footage f;
  if (o.image) {
    f.still = *o.image;
  } else {
    if (o.input.empty()) throw CliError("no input image given; name one, like: pluvane render photo.png -o rain.png");
    f.pattern = ParseOutputPattern(o.input);
    if (f.pattern.has_pattern) {
      f.kind = Footage::Kind::kSequence;
      fs::path dir = fs::path(o.input).parent_path();
      if (dir.empty()) dir = ".";
      std::error_code ec;
      int first = INT_MAX, last = -1;
      for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        const auto frame = FrameOfName(f.pattern, it->path().filename().string());
        if (!frame) continue;
        first = std::min(first, *frame);
        last = std::max(last, *frame);
        if (auto id = IdOf(it->path().string())) f.files.insert(*id);
      }
      if (last < 0)
        throw CliError("no files of the input sequence " + Quoted(o.input) + " were found in " + Quoted(dir.string()) +
                       "; check the name, the number of # (the digits of the frame number) and the folder");
      f.own = FrameSpan{first, last};
    } else if (IsVideoPath(o.input)) {
      f.kind = Footage::Kind::kVideo;
      f.video = std::make_unique<VideoReader>(o.input);
      const VideoInfo& info = f.video->info();
      f.own = FrameSpan{0, static_cast<int>(std::min<long long>(info.frames, INT_MAX) - 1)};
      f.fps = Rational{info.fps_num, info.fps_den};
      f.width = info.width;
      f.height = info.height;
      f.type = info.type();
      if (auto id = IdOf(o.input)) f.files.insert(*id);
    } else {
      f.still = ReadImageFile(o.input);
      if (auto id = IdOf(o.input)) f.files.insert(*id);
    }
  }
  if (f.kind == Footage::Kind::kStill) {
    f.width = f.still.width;
    f.height = f.still.height;
    f.type = f.still.type;
  }
  return f;
}

// Where rendered frames go: image files, or one video file. Write() runs on
// the writer thread.
class FrameSink {
 public:
  virtual ~FrameSink() = default;
  // Returns the frame's sample buffer, spent, for the next frame to reuse.
  virtual std::vector<float> Write(int frame, HostImage&& image) = 0;
  // Once the last frame is written (or the render stopped): finishes the output.
  virtual void Finish() {}
  // The frames safely stored so far (a video holds them only after Finish()).
  virtual long long stored() const = 0;
};

class ImageSink : public FrameSink {
 public:
  ImageSink(const OutputPattern& pattern, FileFormat format, SampleType type, RenderSummary& summary)
      : pattern_(pattern), format_(format), type_(type), summary_(summary) {}
  std::vector<float> Write(int frame, HostImage&& image) override {
    const std::string path = pattern_.FileFor(frame);
    FileImage file = ToFile(std::move(image), type_);
    WriteImageFile(path, file, format_, TemporaryPathFor(path));
    summary_.files.push_back(path);
    summary_.rendered.push_back(frame);
    return std::move(file.rgba);
  }
  long long stored() const override { return static_cast<long long>(summary_.files.size()); }

 private:
  OutputPattern pattern_;
  FileFormat format_;
  SampleType type_;
  RenderSummary& summary_;
};

class VideoSink : public FrameSink {
 public:
  VideoSink(const VideoSettings& settings, RenderSummary& summary)
      : writer_(settings), type_(settings.type), path_(settings.path), summary_(summary) {}
  const VideoWriter& writer() const { return writer_; }
  std::vector<float> Write(int frame, HostImage&& image) override {
    FileImage file = ToFile(std::move(image), type_);
    writer_.Write(file);
    summary_.rendered.push_back(frame);
    return std::move(file.rgba);
  }
  void Finish() override {
    summary_.video_frames = writer_.Finish();
    if (summary_.video_frames > 0) summary_.files = {path_};
  }
  long long stored() const override { return summary_.video_frames; }

 private:
  VideoWriter writer_;
  SampleType type_;
  std::string path_;
  RenderSummary& summary_;
};

struct Frame {
  int number = 0;
  HostImage image;
};

// Sample buffers of written frames, handed back to the render loop: a buffer
// that already has a frame's size is filled without being cleared first, and
// its memory is already the process's.
class SpentBuffers {
 public:
  explicit SpentBuffers(size_t most) : most_(most) {}
  void Give(std::vector<float>&& buffer) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (spent_.size() < most_) spent_.push_back(std::move(buffer));
  }
  std::vector<float> Take() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (spent_.empty()) return {};
    std::vector<float> b = std::move(spent_.back());
    spent_.pop_back();
    return b;
  }

 private:
  std::mutex mutex_;
  size_t most_;
  std::vector<std::vector<float>> spent_;
};

}  // namespace

FrameSpan FramesToRender(const RenderOptions& o, const OutputPattern& output) {
  // A video file takes a range as one file.
  const bool many = output.has_pattern || IsVideoPath(o.output);
  std::pair<int, int> range{0, 0};
  if (o.frames && (many || !o.frame)) range = *o.frames;
  else if (o.frame) range = {*o.frame, *o.frame};
  if (!many && range.first != range.second)
    throw CliError("frames " + std::to_string(range.first) + "-" + std::to_string(range.second) +
                   " need an output name with a frame number pattern, like rain.####.png or rain.%04d.exr, or a video "
                   "file, like rain.mp4");
  const FrameSpan all{range.first, range.second};
  if (!o.chunk) return all;
  if (!output.has_pattern)
    throw CliError("--chunk needs an output name with a frame number pattern, like rain.####.png, so that the parts "
                   "write different files");
  return ChunkOf(all, *o.chunk);
}

RenderSummary RunRender(const RenderOptions& options, std::ostream& out, std::ostream& err) {
  // Everything the user gave is checked before any frame is rendered.
  Footage footage = OpenFootage(options);
  RenderOptions o = options;
  const bool video_out = IsVideoPath(o.output);
  // Footage renders its own frames unless told otherwise.
  if (footage.own && !o.frame && !o.frames) {
    const OutputPattern p = ParseOutputPattern(o.output.empty() ? "x" : o.output);
    if (p.has_pattern || video_out) o.frames = std::pair<int, int>{footage.own->first, footage.own->last};
  }
  const Rational fps = o.fps.value_or(footage.fps.value_or(Rational{30, 1}));

  if (o.output.empty()) throw CliError("no output given; add -o OUTPUT, like -o rain.png, -o rain.####.png or -o rain.mp4");
  const OutputPattern pattern = ParseOutputPattern(o.output);
  if (video_out && pattern.has_pattern)
    throw CliError("output " + Quoted(o.output) + " is a video file with a frame number pattern; a video holds every frame, "
                   "name it like rain.mp4");
  if (video_out && o.skip_existing)
    throw CliError("--skip-existing needs an image sequence output: a video file is written whole; drop it or write rain.####.png");
  const VideoCodec codec = video_out ? OutputVideoCodecOf(o.output) : VideoCodec::kH264;
  const FileFormat format = video_out ? FileFormat::kPng : OutputFormatOf(o.output);
  const FrameSpan frames = FramesToRender(o, pattern);
  if (frames.empty()) {
    // More parts than frames: this part has nothing to do, which is not an error.
    if (!o.quiet)
      out << "chunk " << o.chunk->index << "/" << o.chunk->count << " has no frames of the range; nothing to render\n";
    return RenderSummary{};
  }
  session::Timebase(fps).TimeOf(frames.last);  // the last frame's time must fit the host's
  if (footage.kind == Footage::Kind::kVideo && frames.last > footage.own->last)
    throw CliError("frame " + std::to_string(frames.last) + " is past the end of " + Quoted(o.input) + ", which has frames 0-" +
                   std::to_string(footage.own->last) + "; give --frames within them");
  if (footage.kind == Footage::Kind::kSequence) {
    // Every file of the range is checked here, before anything renders.
    footage.sequence = std::make_unique<SequenceReader>([p = footage.pattern](int f) { return p.FileFor(f); }, frames.first,
                                                        frames.last);
    footage.width = footage.sequence->header().width;
    footage.height = footage.sequence->header().height;
    footage.type = footage.sequence->header().type;
  }
  const Depth render_depth = o.depth.value_or(NaturalDepth(footage.type));
  const SampleType sample_type =
      video_out ? VideoSampleType(codec, DepthBits(render_depth)) : OutputSampleType(format, render_depth);

  // One look through the output folder: which frames are already complete (an
  // existing output can only be the input if it is one of them), and the
  // temporaries a killed run left behind.
  const OutputScan scan = ScanOutputs(pattern, frames, /*remove_stale=*/true);
  const auto overwrites_input = [&](const std::string& path) {
    const auto id = IdOf(path);
    return id && footage.files.count(*id) > 0;
  };
  if (video_out && overwrites_input(o.output))
    throw CliError("output " + o.output + " would overwrite the input; give the output another name");
  // A path that does not exist yet cannot be the input: one look-up per
  // existing output keeps long frame ranges quick to check.
  for (int f : scan.existing)
    if (overwrites_input(pattern.FileFor(f)))
      throw CliError("output " + pattern.FileFor(f) + " would overwrite the input; give the output another name");
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
  if (footage.width / n < 1 || footage.height / n < 1)
    throw CliError("--downsample " + std::to_string(n) + " leaves no pixels of a " + std::to_string(footage.width) + "x" +
                   std::to_string(footage.height) + " image; use a smaller factor");

  RenderSummary summary;
  summary.width = footage.width / n;
  summary.height = footage.height / n;
  std::unique_ptr<FrameSink> sink;
  std::string audio_note;
  if (video_out) {
    VideoSettings v;
    v.path = o.output;
    v.temp = TemporaryPathFor(o.output);
    v.codec = codec;
    v.width = summary.width;
    v.height = summary.height;
    v.type = sample_type;
    v.fps_num = fps.num;
    v.fps_den = fps.den;
    v.crf = o.crf;
    if (footage.kind == Footage::Kind::kVideo && footage.video->info().has_audio && !o.no_audio) {
      v.audio_from = o.input;
      v.audio_start = footage.video->info().start_seconds +
                      static_cast<double>(frames.first) * static_cast<double>(footage.fps->den) / footage.fps->num;
    }
    auto video = std::make_unique<VideoSink>(v, summary);
    audio_note = video->writer().audio_note();
    summary.description = VideoCodecName(codec);
    if (video->writer().width() != summary.width || video->writer().height() != summary.height)
      summary.description += ", cropped to " + std::to_string(video->writer().width()) + "x" +
                             std::to_string(video->writer().height()) + " (H.264 4:2:0 needs even sizes)";
    sink = std::move(video);
  } else {
    sink = std::make_unique<ImageSink>(pattern, format, sample_type, summary);
    summary.description = std::string(SampleTypeName(sample_type)) + " " + FormatName(format);
  }

  auto effect = LoadEffect(footage.width, footage.height);
  effect->SetRate(fps);
  effect->SetDuration(frames.last + 1LL);
  effect->SetDownsample(n);
  effect->SetPixelAspect(o.pixel_aspect);
  effect->SetDraft(o.draft);
  effect->SetThreads(o.threads);
  effect->SetProtocol(o.protocol);
  for (const ControlSetting& c : o.controls) effect->Apply(c);
  for (const minihost::LightLayer& light : o.lights) effect->AddLight(light);

  // The layer as the effect sees it: host values of the render depth, reduced
  // for a preview resolution. A still is filled in once.
  auto input = effect->NewWorld(render_depth);
  const bool still = footage.kind == Footage::Kind::kStill;
  if (still) {
    // Converted in place: the file's samples become the host values, then the world's.
    session::FillWorld(BoxDownsample(ToHost(std::move(footage.still), render_depth), n), input.get());
  }

  // The frames to render, in order, without those left as they are.
  std::vector<int> order;
  {
    auto next_skip = skip.begin();
    for (long long f = frames.first; f <= frames.last; ++f) {
      if (next_skip != skip.end() && *next_skip == f) {
        ++next_skip;
        continue;
      }
      order.push_back(static_cast<int>(f));
    }
  }

  // Two frames in flight on each side of the render.
  constexpr size_t kInFlight = 2;
  BoundedQueue<Frame> inputs(kInFlight), outputs(kInFlight);
  SpentBuffers spent(kInFlight);
  std::exception_ptr read_error, write_error;
  std::thread reader, writer;
  const auto stop_threads = [&] {
    inputs.Abandon();
    outputs.Close();
    if (reader.joinable()) reader.join();
    if (writer.joinable()) writer.join();
  };
  // Joins the threads on the way out of any error.
  struct Joiner {
    const std::function<void()> stop;
    ~Joiner() { stop(); }
  } joiner{stop_threads};
  if (!still) {
    reader = std::thread([&] {
      try {
        for (int f : order) {
          if (Interrupted()) break;
          if (!inputs.Push(Frame{f, BoxDownsample(ToHost(footage.Read(f), render_depth), n)})) break;
        }
      } catch (...) {
        read_error = std::current_exception();
      }
      inputs.Close();
    });
  }
  writer = std::thread([&] {
    try {
      while (auto frame = outputs.Pop()) spent.Give(sink->Write(frame->number, std::move(frame->image)));
    } catch (...) {
      write_error = std::current_exception();
      outputs.Abandon();
    }
  });

  ProgressBar bar(err, o.progress);
  effect->SetProgressListener([&bar](A_long current, A_long total) { bar.Within(current, total); });
  InterruptGuard guard(effect.get());
  // Ends the writer, finishing a video with what it holds.
  const auto finish_output = [&] {
    inputs.Abandon();
    outputs.Close();
    if (writer.joinable()) writer.join();
    if (write_error) std::rethrow_exception(write_error);
    sink->Finish();
  };
  const auto interrupted = [&](int frame) {
    bar.Finish();
    finish_output();
    const std::string kept =
        video_out ? (summary.video_frames > 0 ? o.output + " holds the " + std::to_string(summary.video_frames) +
                                                    " frame(s) rendered before it"
                                              : "no frame was complete, so no video was written")
                  : "the " + std::to_string(summary.files.size()) + " frame(s) written before it are kept";
    return CliError("interrupted at frame " + std::to_string(frame) + "; it was not written, " + kept, InterruptExitCode());
  };
  const auto started = std::chrono::steady_clock::now();
  summary.skipped = static_cast<long long>(skip.size());
  long long done = 0;
  for (int f : order) {
    if (Interrupted()) throw interrupted(f);
    bar.StartFrame(f, static_cast<int>(done++), static_cast<int>(to_render));
    if (!still) {
      std::optional<Frame> layer = inputs.Pop();
      if (!layer) {
        if (read_error) {
          bar.Finish();
          std::rethrow_exception(read_error);
        }
        throw interrupted(f);
      }
      session::FillWorld(layer->image, input.get());
    }
    // A fresh output buffer per frame, as a host hands out.
    auto output = effect->NewWorld(render_depth);
    const auto t0 = std::chrono::steady_clock::now();
    const PF_Err e = effect->RenderFrame(f, input.get(), output.get());
    summary.frame_ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
    if (Interrupted() || e == PF_Interrupt_CANCEL) throw interrupted(f);
    if (e) {
      bar.Finish();
      throw CliError("the effect failed to render frame " + std::to_string(f) + " (" + session::ErrorWords(e) +
                         "); try fewer --threads or a smaller --downsample factor, or report it with the command you ran",
                     kExitRenderFailed);
    }
    if (!outputs.Push(Frame{f, session::ReadWorld(output.get(), render_depth, spent.Take())})) break;  // the writer failed
  }
  bar.Finish();
  finish_output();
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

  if (!o.quiet) {
    const std::string size = std::to_string(summary.width) + "x" + std::to_string(summary.height);
    const std::string kept =
        summary.skipped ? " " + std::to_string(summary.skipped) + " complete frame(s) already there were left as they are" : "";
    if (video_out)
      out << "wrote " << o.output << ": " << summary.video_frames << " frame(s) " << frames.first << "-"
          << frames.first + summary.video_frames - 1 << " at " << fps.num << (fps.den != 1 ? "/" + std::to_string(fps.den) : "")
          << " fps (" << size << ", " << summary.description << ")" << (audio_note.empty() ? "" : "; " + audio_note) << "\n";
    else if (summary.files.size() == 1)
      out << "wrote " << summary.files[0] << " (" << size << ", " << summary.description << ")" << (kept.empty() ? "" : ";")
          << kept << "\n";
    else
      out << "wrote " << summary.files.size() << " frames, " << summary.files.front() << " to " << summary.files.back()
          << " (" << size << ", " << summary.description << ")" << (kept.empty() ? "" : ";") << kept << "\n";
  }
  if (o.stats) {
    char line[200];
    const size_t count = summary.frame_ms.size();
    for (size_t i = 0; i < count; ++i) {
      std::snprintf(line, sizeof line, "frame %d: %.1f ms\n", order[i], summary.frame_ms[i]);
      out << line;
    }
    const double render_s = std::accumulate(summary.frame_ms.begin(), summary.frame_ms.end(), 0.0) / 1000.0;
    const double mpix = static_cast<double>(summary.width) * summary.height * count / 1e6;
    std::snprintf(line, sizeof line,
                  "%zu frame(s) in %.2f s, %.2f frames/s overall (rendering %.2f s: %.2f frames/s, %.2f megapixels/s "
                  "rendered)\n",
                  count, wall, wall > 0 ? count / wall : 0.0, render_s, render_s > 0 ? count / render_s : 0.0,
                  render_s > 0 ? mpix / render_s : 0.0);
    out << line;
  }
  return summary;
}

}  // namespace pluvane::cli
