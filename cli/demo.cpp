#include "cli/frames.h"
#include "cli/demo.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>

#include "cli/cli_error.h"
#include "cli/progress.h"
#include "media/io_module.h"
#include "cli/render.h"
#include "media/video.h"

namespace fs = std::filesystem;

namespace pluvane::cli {
namespace {

constexpr int kDemoWidth = 640;
constexpr int kDemoHeight = 360;
constexpr int kPreviewSide = 960;  // a user's image is previewed at most this large
constexpr Rational kDemoFps{24, 1};

uint32_t Hash(uint32_t x) {
  x ^= x >> 16;
  x *= 0x7feb352d;
  x ^= x >> 15;
  x *= 0x846ca68b;
  x ^= x >> 16;
  return x;
}

// The demo's settings, placed relative to the layer's size.
std::vector<ControlSetting> DemoControls(int width, int height) {
  const auto set = [](const std::string& name, std::vector<double> numbers) {
    return ControlSetting{name, "the demo", std::move(numbers), std::nullopt, {}};
  };
  const auto choose = [](const std::string& name, const std::string& choice) {
    return ControlSetting{name, "the demo", {}, choice, {}};
  };
  return {set("Drip Rate", {1}),
          set("Longevity (sec)", {2}),
          set("Displacement", {12}),
          choose("Light Type", "Point Light"),
          set("Light Position", {0.72 * width, 0.22 * height}),
          set("Light Height", {40}),
          set("Diffuse", {25}),
          set("Specular", {60})};
}

// The frames as one file (an H.264 MP4, a looping GIF), the way a render writes one.
void WriteVideo(const std::vector<std::string>& frames, const std::string& path, Rational fps, ProgressBar& bar) {
  const std::string step = "writing " + fs::path(path).filename().string();
  bar.Step(step, 0, static_cast<long>(frames.size()));
  const FileImage first = ReadImageFile(frames.front());
  VideoSettings v;
  v.path = path;
  v.temp = TemporaryPathFor(path);
  v.codec = OutputVideoCodecOf(path);
  v.width = first.width;
  v.height = first.height;
  v.fps_num = fps.num;
  v.fps_den = fps.den;
  VideoWriter writer(v);
  for (size_t i = 0; i < frames.size() && !Interrupted(); ++i) {
    const FileImage frame = i == 0 ? first : ReadImageFile(frames[i]);
    writer.Write(ToFile(ToHost(frame, Depth::k8), SampleType::kUInt8));
    bar.Step(step, static_cast<long>(i + 1), static_cast<long>(frames.size()));
  }
  if (!Interrupted()) writer.Finish();  // else the writer removes its file
}

// The layer on the left, the rendered frame on the right, split by a white
// line: 8-bit, the size of the frame.
FileImage BeforeAfter(const FileImage& layer, int downsample, const FileImage& frame) {
  const HostImage before = BoxDownsample(ToHost(layer, Depth::k8), downsample);
  FileImage out{frame.width, frame.height, SampleType::kUInt8, {}};
  out.rgba.resize(frame.rgba.size());
  const int split = frame.width / 2;
  for (int y = 0; y < frame.height; ++y) {
    for (int x = 0; x < frame.width; ++x) {
      const size_t i = (static_cast<size_t>(y) * frame.width + x) * 4;
      for (int c = 0; c < 4; ++c) {
        const bool left = x < split && x < before.width && y < before.height;
        const float v = left ? before.rgba[(static_cast<size_t>(y) * before.width + x) * 4 + c]
                             : FileToHost(frame.rgba[i + c], frame.type, Depth::k8);
        out.rgba[i + c] = (x == split || x == split - 1) ? 255.0f : v;
      }
    }
  }
  return out;
}

}  // namespace

FileImage MakeDemoImage(int width, int height) {
  FileImage img{width, height, SampleType::kUInt8, {}};
  img.rgba.resize(static_cast<size_t>(width) * height * 4);
  const double tile = height / 9.0, grout = std::max(2.0, tile * 0.07);
  const double hx = 0.72 * width, hy = 0.22 * height, hr = 0.28 * width;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const double tx = x / tile, ty = y / tile;
      const int ix = static_cast<int>(tx), iy = static_cast<int>(ty);
      const double fx = (tx - ix) * tile, fy = (ty - iy) * tile;
      const bool in_grout = fx < grout || fy < grout;
      // Tiles vary a little each; a dark lane line crosses the pool.
      const double vary = static_cast<double>(Hash(static_cast<uint32_t>(ix * 7919 + iy * 104729)) % 25) - 12.0;
      double r = 30 + vary * 0.4, g = 150 + vary, b = 185 + vary * 0.6;
      if (in_grout) r = 205, g = 222, b = 224;
      if (std::fabs(y - 0.62 * height) < tile * 0.45 && x > tile && x < width - tile) r = 20, g = 40, b = 110;
      // Caustics: bright wavy bands of light on the bottom.
      const double c = std::sin(x * 0.045 + std::sin(y * 0.03) * 2.2) * std::sin(y * 0.05 + std::sin(x * 0.021) * 2.0);
      const double caustic = std::pow(std::max(0.0, c), 6) * 70;
      // Deeper water is darker toward the bottom; a soft highlight near the top right.
      const double depth = 1.0 - 0.35 * y / height;
      const double d2 = ((x - hx) * (x - hx) + (y - hy) * (y - hy)) / (hr * hr);
      const double glow = 150 * std::exp(-d2 * 3.0);
      float* px = &img.rgba[(static_cast<size_t>(y) * width + x) * 4];
      px[0] = static_cast<float>(std::clamp(std::round(r * depth + caustic + glow), 0.0, 255.0));
      px[1] = static_cast<float>(std::clamp(std::round(g * depth + caustic + glow), 0.0, 255.0));
      px[2] = static_cast<float>(std::clamp(std::round(b * depth + caustic * 0.8 + glow), 0.0, 255.0));
      px[3] = 255.0f;
    }
  }
  return img;
}

void RunDemo(const DemoOptions& o, std::ostream& out, std::ostream& err) {
  std::error_code ec;
  if (fs::exists(o.dir, ec) && !fs::is_directory(o.dir, ec))
    throw CliError("demo folder '" + o.dir + "' is a file; give a folder name with -o");
  fs::create_directories(o.dir, ec);
  if (ec) throw CliError("cannot create demo folder '" + o.dir + "' (" + ec.message() + "); pick another folder with -o");

  RenderOptions r;
  std::string source;
  int width = kDemoWidth, height = kDemoHeight;
  if (o.input.empty()) {
    r.image = MakeDemoImage(kDemoWidth, kDemoHeight);
    source = (fs::path(o.dir) / "source.png").string();
    WriteImageFile(source, *r.image, FileFormat::kPng, TemporaryPathFor(source));
  } else {
    r.image = ReadImageFile(o.input);
    r.input = o.input;  // so that the frames never overwrite it
    width = r.image->width;
    height = r.image->height;
    // A large photo is previewed at reduced resolution, as a host's preview does.
    r.downsample = std::max(1, static_cast<int>(std::ceil(std::max(width, height) / static_cast<double>(kPreviewSide))));
  }
  r.output = (fs::path(o.dir) / "demo.####.png").string();
  r.frames = o.frames;
  r.fps = kDemoFps;
  r.controls = DemoControls(width, height);
  r.threads = o.threads;
  r.progress = o.progress;
  r.stats = o.stats;
  r.quiet = true;
  const RenderSummary summary = RunRender(r, out, err);

  // Ctrl-C from here on stops after the file being written is complete (or
  // removed): the frames already written stay.
  InterruptGuard guard(nullptr);
  const auto stop_if_interrupted = [&] {
    if (Interrupted())
      throw CliError("interrupted after the frames; they are kept, the animation and the split picture may be missing",
                     InterruptExitCode());
  };
  // Each finishing step shows on the progress line as it runs.
  ProgressBar bar(err, o.progress);
  const std::string gif = (fs::path(o.dir) / "demo.gif").string();
  WriteVideo(summary.files, gif, kDemoFps, bar);
  stop_if_interrupted();
  const std::string split = (fs::path(o.dir) / "before-after.png").string();
  bar.Step("writing before-after.png", 0, 0);
  WriteImageFile(split, BeforeAfter(*r.image, r.downsample, ReadImageFile(summary.files[summary.files.size() / 2])),
                 FileFormat::kPng, TemporaryPathFor(split));
  stop_if_interrupted();

  const std::string mp4 = (fs::path(o.dir) / "demo.mp4").string();
  WriteVideo(summary.files, mp4, kDemoFps, bar);
  stop_if_interrupted();
  bar.Finish();

  if (!o.quiet) {
    out << "pluvane demo: " << summary.files.size() << " frames (" << summary.width << "x" << summary.height << ")"
        << (r.downsample > 1 ? " previewed at 1/" + std::to_string(r.downsample) + " resolution" : "") << " in "
        << o.dir << "/\n";
    out << "  frames:    " << summary.files.front() << " to " << fs::path(summary.files.back()).filename().string() << "\n";
    out << "  animation: " << gif << "\n";
    out << "  split:     " << split << " (before | after)\n";
    out << "  video:     " << mp4 << "\n";
    out << "  image:     " << (source.empty() ? o.input : source) << "\n";
  }
}

}  // namespace pluvane::cli
