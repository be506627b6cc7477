#include "cli/plan.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "cli/cli_error.h"
#include "util/text.h"

namespace fs = std::filesystem;

namespace pluvane::cli {
namespace {

using text::Quoted;

// The output and what it needs: a name, a known format, a pattern for a range.
void PlanOutput(RenderPlan& p) {
  const RenderOptions& o = p.options;
  if (o.output.empty()) throw CliError("no output given; add -o OUTPUT, like -o rain.png, -o rain.####.png or -o rain.mp4");
  p.pattern = ParseOutputPattern(o.output);
  if (p.video_out && p.pattern.has_pattern)
    throw CliError("output " + Quoted(o.output) + " is a video file with a frame number pattern; a video holds every frame, "
                   "name it like rain.mp4");
  if (p.video_out && o.skip_existing)
    throw CliError("--skip-existing needs an image sequence output: a video file is written whole; drop it or write rain.####.png");
  p.codec = p.video_out ? OutputVideoCodecOf(o.output) : VideoCodec::kH264;
  p.format = p.video_out ? FileFormat::kPng : OutputFormatOf(o.output);
}

// The frames asked for lie within the numbers of the input sequence on disk
// (a gap inside them is the sequence reader's to name). A single output file
// renders frame 0 unless told otherwise, which a sequence numbered from 1
// does not have: say which frame to give.
void CheckSequenceCovers(const RenderPlan& p) {
  const FrameSpan& own = *p.footage.own;
  if (p.frames.first >= own.first && p.frames.last <= own.last) return;
  const std::string has = ", which has frames " + std::to_string(own.first) + "-" + std::to_string(own.last);
  const std::string input = Quoted(p.options.input);
  if (p.frames.first == p.frames.last && !p.pattern.has_pattern && !p.video_out)
    throw CliError("frame " + std::to_string(p.frames.first) + " is not in the input sequence " + input + has +
                   "; a single output file takes one frame: add --frame " + std::to_string(own.first) +
                   ", or name the output with a pattern, like rain.####.png, to render them all");
  throw CliError("frames " + std::to_string(p.frames.first) + "-" + std::to_string(p.frames.last) +
                 " reach outside the input sequence " + input + has + "; give --frames within them");
}

// The footage's frames of the range exist, and their depth decides the render's.
void PlanFootage(RenderPlan& p) {
  Footage& footage = p.footage;
  session::Timebase(p.fps).TimeOf(p.frames.last);  // the last frame's time must fit the host's
  if (footage.kind == Footage::Kind::kVideo && p.frames.last > footage.own->last)
    throw CliError("frame " + std::to_string(p.frames.last) + " is past the end of " + Quoted(p.options.input) +
                   ", which has frames 0-" + std::to_string(footage.own->last) + "; give --frames within them");
  if (footage.kind == Footage::Kind::kSequence) {
    CheckSequenceCovers(p);
    footage.OpenSequence(p.frames);
  }
  p.depth = p.options.depth.value_or(NaturalDepth(footage.type));
  p.sample_type = p.video_out ? VideoSampleType(p.codec, DepthBits(p.depth)) : OutputSampleType(p.format, p.depth);
  p.downsample = std::max(p.options.downsample, 1);
  if (footage.width / p.downsample < 1 || footage.height / p.downsample < 1)
    throw CliError("--downsample " + std::to_string(p.downsample) + " leaves no pixels of a " + std::to_string(footage.width) +
                   "x" + std::to_string(footage.height) + " image; use a smaller factor");
}

// The matte: footage of the layer's size that has every frame of the range.
void PlanMatte(RenderPlan& p) {
  const RenderOptions& o = p.options;
  if (o.matte.empty()) {
    if (o.matte_invert || o.matte_channel != session::MatteChannel::kAuto)
      throw CliError(std::string(o.matte_invert ? "--matte-invert" : "--matte-channel") + " needs a matte: add --matte FILE");
    return;
  }
  RenderOptions named;
  named.input = o.matte;
  p.matte = std::make_unique<Footage>(OpenFootage(named));
  Footage& m = *p.matte;
  m.Conform(p.fps);
  if (m.own && (p.frames.first < m.own->first || p.frames.last > m.own->last))
    throw CliError("frames " + std::to_string(p.frames.first) + "-" + std::to_string(p.frames.last) +
                   " reach outside the matte " + Quoted(o.matte) + ", which has frames " + std::to_string(m.own->first) +
                   "-" + std::to_string(m.own->last) + "; give a matte that covers them, or a still image");
  if (m.kind == Footage::Kind::kSequence) m.OpenSequence(p.frames);
  if (m.width != p.footage.width || m.height != p.footage.height)
    throw CliError("the matte " + Quoted(o.matte) + " is " + std::to_string(m.width) + "x" + std::to_string(m.height) +
                   " but the layer is " + std::to_string(p.footage.width) + "x" + std::to_string(p.footage.height) +
                   "; give a matte of the layer's size");
  // No output may overwrite the matte either.
  p.footage.files.insert(m.files.begin(), m.files.end());
}

// One look through the output folder: which frames are already complete (an
// existing output can only be the input if it is one of them), the
// temporaries a killed run left behind, and which frames to render.
void PlanFrames(RenderPlan& p) {
  const RenderOptions& o = p.options;
  const OutputScan scan = ScanOutputs(p.pattern, p.frames, /*remove_stale=*/true);
  const auto overwrites_input = [&](const std::string& path) {
    const auto id = IdOf(path);
    return id && p.footage.files.count(*id) > 0;
  };
  if (p.video_out && overwrites_input(o.output))
    throw CliError("output " + o.output + " would overwrite the input; give the output another name");
  // A path that does not exist yet cannot be the input: one look-up per
  // existing output keeps long frame ranges quick to check.
  for (int f : scan.existing)
    if (overwrites_input(p.pattern.FileFor(f)))
      throw CliError("output " + p.pattern.FileFor(f) + " would overwrite the input; give the output another name");
  // Last of the checks, so that bad input leaves no new folder behind.
  p.created_folder = CheckWritableFolder(p.pattern.FileFor(p.frames.first));
  const std::vector<int> none;
  const std::vector<int>& skip = o.skip_existing ? scan.existing : none;
  p.skipped = static_cast<long long>(skip.size());
  auto next_skip = skip.begin();
  for (long long f = p.frames.first; f <= p.frames.last; ++f) {
    if (next_skip != skip.end() && *next_skip == f) {
      ++next_skip;
      continue;
    }
    p.order.push_back(static_cast<int>(f));
  }
  if (p.order.empty())
    p.nothing_to_do = "nothing to render: all " + std::to_string(skip.size()) + " frame(s) of " + o.output +
                      " are already written";
}

}  // namespace

std::string CheckWritableFolder(const std::string& path) {
  fs::path dir = fs::path(path).parent_path();
  if (dir.empty()) dir = ".";
  std::error_code ec;
  std::string created;
  if (!fs::exists(dir, ec)) {
    // A folder named in the output is made, with any missing parents, as
    // `mkdir -p` would; two renders of a farm making it at once both succeed.
    fs::create_directories(dir, ec);
    std::error_code there;
    if (ec && !fs::is_directory(dir, there))
      throw CliError("cannot create output folder " + Quoted(dir.string()) + " (" + ec.message() +
                     "); create it yourself or pick another folder");
    created = dir.string();
  }
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
    return created;
  }
  ::close(fd);
  ::unlink(probe.c_str());
  return created;
}

FrameSpan FramesToRender(const RenderOptions& o, const OutputPattern& output) {
  // A video file takes a range as one file.
  const bool many = output.has_pattern || IsVideoOutputPath(o.output);
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

session::Matte MatteFrame(const RenderPlan& plan, const FileImage& image) {
  return session::MatteOf(BoxDownsample(ToHost(image, plan.depth), plan.downsample), plan.options.matte_invert,
                          plan.options.matte_channel);
}

RenderPlan PlanRender(const RenderOptions& options) {
  RenderPlan p;
  p.footage = OpenFootage(options);
  p.options = options;
  RenderOptions& o = p.options;
  p.video_out = IsVideoOutputPath(o.output);
  p.fps = o.fps.value_or(p.footage.fps.value_or(Rational{30, 1}));
  // A clip's frames are those on screen at each frame's time of the render's rate.
  if (p.footage.Conform(p.fps)) {
    const VideoInfo& info = p.footage.video->info();
    const Rational own{info.fps_num, info.fps_den};
    const std::string held = info.gaps == 0 ? ""
                             : "frames held across " + std::to_string(info.gaps) + (info.gaps == 1 ? " gap" : " gaps");
    if (!info.variable_rate && own == p.fps && !held.empty())
      p.conform_note = Quoted(o.input) + " at its " + own.Text() + " fps, " + held;
    else
      p.conform_note = Quoted(o.input) + " conformed from " +
                       (info.variable_rate ? "variable rate" : own.Text() + " fps" + (held.empty() ? "" : " (" + held + ")")) +
                       " to " + p.fps.Text() + " fps";
  }
  // Footage renders its own frames unless told otherwise.
  if (p.footage.own && !o.frame && !o.frames) {
    const OutputPattern named = ParseOutputPattern(o.output.empty() ? "x" : o.output);
    if (named.has_pattern || p.video_out) o.frames = std::pair<int, int>{p.footage.own->first, p.footage.own->last};
  }
  if (!o.loop.empty()) {
    p.loop = session::ParseLoop(o.loop, session::Timebase(p.fps));
    // A loop renders one turn unless told otherwise.
    const OutputPattern named = ParseOutputPattern(o.output.empty() ? "x" : o.output);
    if (!o.frame && !o.frames && (named.has_pattern || p.video_out))
      o.frames = std::pair<int, int>{0, static_cast<int>(std::min<long long>(p.loop - 1, kLastFrame))};
  }
  PlanOutput(p);
  p.frames = FramesToRender(o, p.pattern);
  if (p.frames.empty()) {
    // More parts than frames: this part has nothing to do, which is not an error.
    p.nothing_to_do = "chunk " + std::to_string(o.chunk->index) + "/" + std::to_string(o.chunk->count) +
                      " has no frames of the range; nothing to render";
    return p;
  }
  PlanFootage(p);
  PlanMatte(p);
  PlanFrames(p);
  return p;
}

}  // namespace pluvane::cli
