// What the command-line and media tests share: a temporary folder, runs of
// the built `pluvane` program, and image files written and read with
// OpenImageIO itself (not through the code under test).
#pragma once

#include <OpenImageIO/imageio.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>

#include "tests/support/run_program.h"

namespace clitest {

using OIIO::TypeDesc;
namespace fs = std::filesystem;
using testsupport::ReadAll;
using testsupport::TempDir;

// A tool's standard output (ffprobe and the like; stderr dropped), under the tools' time limit.
inline std::string Shell(const std::string& command) {
  const TempDir dir;
  testsupport::Launch l;
  l.argv = testsupport::Shell(command);
  l.out = dir / "stdout";
  testsupport::Run(l);
  return testsupport::ReadAll(l.out);
}

// Every frame of a video as ffmpeg decodes it, in presentation order: RGBA
// codes, 16-bit when `deep`. The frames become full-range RGB as pluvane reads
// them: zimg (zscale), chroma interpolated linearly from where the stream
// places it, each sample rounded once; a clip that names no matrix is BT.709
// from 720 lines up and BT.601 below.
inline std::vector<std::vector<float>> FfmpegFrames(const std::string& path, int width, int height, bool deep = false) {
  const std::string matrix =
      Shell("ffprobe -v error -select_streams v:0 -show_entries stream=color_space -of csv=p=0 '" + path + "'");
  const bool named = matrix.find_first_not_of(" \n") != std::string::npos && matrix.find("unknown") == std::string::npos;
  const std::string raw =
      Shell("ffmpeg -nostdin -v error -i '" + path + "' -vf 'zscale=filter=bilinear:dither=none:range=full" +
            (named ? "" : height >= 720 ? ":matrixin=709" : ":matrixin=170m") + ",format=" + (deep ? "gbrp16le" : "gbrp") +
            "' -fps_mode passthrough -pix_fmt " + (deep ? "rgba64le" : "rgba") + " -f rawvideo -");
  const size_t size = static_cast<size_t>(width) * height * 4, bytes = deep ? 2 : 1;
  std::vector<std::vector<float>> frames;
  for (size_t at = 0; at + size * bytes <= raw.size(); at += size * bytes) {
    auto& frame = frames.emplace_back(size);
    for (size_t i = 0; i < size; ++i)
      frame[i] = deep ? reinterpret_cast<const uint16_t*>(raw.data() + at)[i] : static_cast<uint8_t>(raw[at + i]);
  }
  return frames;
}

// The largest difference between two frames' samples.
inline double MaxDiff(const std::vector<float>& a, const std::vector<float>& b) {
  if (a.size() != b.size()) return 1e9;
  double worst = 0;
  for (size_t i = 0; i < a.size(); ++i) worst = std::max(worst, static_cast<double>(std::fabs(a[i] - b[i])));
  return worst;
}

// A stream's entries as ffprobe reads them, its frames counted: "name=value name=value ".
inline std::string Probe(const std::string& path, const std::string& stream, const std::string& entries) {
  return Shell("ffprobe -v error -select_streams " + stream + " -count_frames -show_entries stream=" + entries +
               " -of default=nw=1 '" + path + "' | tr '\\n' ' '");
}

// Makes a clip or picture with the installed ffmpeg; the test fails if it cannot.
inline void Ffmpeg(const std::string& args) {
  ASSERT_EQ(testsupport::RunShell("ffmpeg -nostdin -v error -y " + args).code, 0) << args;
}

// The arguments of a run: `a` followed by `b`.
inline std::vector<std::string> Cat(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// The message of the E that `f` throws, or "" when it throws none.
template <class E, class F>
std::string ErrorOf(F&& f) {
  try {
    f();
  } catch (const E& e) {
    return e.what();
  }
  return "";
}

inline std::string PluvanePath() { return std::getenv("PLUVANE_CLI") ? std::getenv("PLUVANE_CLI") : PLUVANE_CLI_PATH; }

// A run of `pluvane`, in a process group of its own under a time limit
// (run_program.h). Its stdout and stderr go to files outside its folder, so
// that they never show up among the files a test looks at.
struct Process : testsupport::Ended {
  pid_t pid = -1;
  std::string out, err;
  testsupport::Started run;
  std::shared_ptr<const TempDir> logs = std::make_shared<const TempDir>();  // until Finish reads them
};

inline Process Start(const std::vector<std::string>& args, const fs::path& cwd,
                     int limit_seconds = testsupport::kProgramSeconds) {
  Process r;
  testsupport::Launch l;
  l.argv = Cat({PluvanePath()}, args);
  l.cwd = cwd.string();
  l.out = *r.logs / "out";
  l.err = *r.logs / "err";
  l.what = "pluvane";
  for (const auto& a : args) l.what += " " + a;
  l.limit_seconds = limit_seconds;
  r.run = testsupport::Start(l);
  r.pid = r.run.pid;
  return r;
}

inline Process Finish(Process r) {
  static_cast<testsupport::Ended&>(r) = testsupport::Wait(r.run);
  r.out = ReadAll(*r.logs / "out");
  r.err = ReadAll(*r.logs / "err");
  r.logs.reset();
  return r;
}

// Runs several commands at once in one folder; each run is mostly program start-up.
inline std::vector<Process> RunAll(const std::vector<std::vector<std::string>>& commands, const fs::path& cwd) {
  std::vector<Process> runs;
  for (const auto& args : commands) runs.push_back(Start(args, cwd));
  for (auto& r : runs) r = Finish(r);
  return runs;
}

// An image as its file stores it; integer samples are code values.
struct Image {
  int width = 0, height = 0, channels = 0;
  TypeDesc type;
  std::vector<float> samples;
  OIIO::ParamValueList attributes;  // the file's metadata as OpenImageIO reads it ("oiio:ColorSpace", ...)
  bool operator==(const Image& o) const {
    return width == o.width && height == o.height && channels == o.channels && samples == o.samples;
  }
};

inline float FullScale(TypeDesc type) {
  return type == TypeDesc::UINT8 ? 255.0f : type == TypeDesc::UINT16 ? 65535.0f : 1.0f;
}

// OpenImageIO converts between float and integer files by full scale, with rounding.
inline void WriteImage(const std::string& path, int width, int height, int channels, TypeDesc type,
                       std::vector<float> samples) {
  auto out = OIIO::ImageOutput::create(path);
  ASSERT_TRUE(out) << path;
  OIIO::ImageSpec layout(width, height, channels, type);
  layout.attribute("oiio:UnassociatedAlpha", 1);
  ASSERT_TRUE(out->open(path, layout)) << out->geterror();
  for (float& v : samples) v /= FullScale(type);
  ASSERT_TRUE(out->write_image(TypeDesc::FLOAT, samples.data()));
  ASSERT_TRUE(out->close());
}

inline Image ReadImage(const std::string& path) {
  OIIO::ImageSpec config;
  config.attribute("oiio:UnassociatedAlpha", 1);
  OIIO::ImageSpec header;
  auto in = OIIO::ImageInput::create(path, false, &config);
  if (!in || !in->open(path, header, config)) {
    ADD_FAILURE() << "cannot read " << path;
    return {};
  }
  Image img{header.width, header.height, header.nchannels, header.format, {}, header.extra_attribs};
  img.samples.resize(static_cast<size_t>(header.width) * header.height * header.nchannels);
  in->read_image(0, 0, 0, img.channels, TypeDesc::FLOAT, img.samples.data());
  if (header.format.is_floating_point()) return img;
  for (float& v : img.samples) v = std::round(v * FullScale(header.format));
  return img;
}

// A test image in which every sample differs from its neighbours; float files
// also get values below 0 and above 1.
inline void WritePattern(const std::string& path, TypeDesc type, int channels, int width, int height) {
  const bool flt = type.is_floating_point();
  const size_t max = flt ? 1000 : static_cast<size_t>(FullScale(type));
  std::vector<float> s(static_cast<size_t>(width) * height * channels);
  for (size_t i = 0; i < s.size(); ++i) {
    s[i] = static_cast<float>((i * 37 + i / 7 * 11) % (max + 1));
    if (flt) s[i] = s[i] / 800.0f - 0.1f;
  }
  WriteImage(path, width, height, channels, type, s);
}

}  // namespace clitest
