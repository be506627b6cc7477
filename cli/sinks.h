// Where rendered frames go: image files named by a pattern, or one video file.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cli/render.h"
#include "media/image.h"
#include "media/video.h"

namespace pluvane::cli {

// Where rendered frames go: image files, or one video file. Write() runs on
// the writer thread.
class FrameSink {
 public:
  virtual ~FrameSink() = default;
  // Returns the frame's sample buffer, spent, for the next frame to reuse.
  virtual std::vector<float> Write(int frame, HostImage&& image) = 0;
  // The sample type of a sink that takes frames as coded samples
  // (WritePacked); nothing for one that takes host values.
  virtual std::optional<SampleType> packed_type() const { return std::nullopt; }
  virtual std::vector<uint8_t> WritePacked(int /*frame*/, PackedFrame&& frame) { return std::move(frame.bytes); }
  // Once the last frame is written (or the render stopped): finishes the output.
  virtual void Finish() {}
  // The frames safely stored so far (a video holds them only after Finish()).
  virtual long long stored() const = 0;
};

class ImageSink : public FrameSink {
 public:
  // `color_space`: the input's, which the files are tagged with (FileImage).
  ImageSink(const OutputPattern& pattern, FileFormat format, SampleType type, std::string color_space, RenderSummary& summary)
      : pattern_(pattern), format_(format), type_(type), color_space_(std::move(color_space)), summary_(summary) {}
  std::vector<float> Write(int frame, HostImage&& image) override {
    const std::string path = pattern_.FileFor(frame);
    FileImage file = ToFile(std::move(image), type_);
    file.color_space = color_space_;
    WriteImageFile(path, file, format_, TemporaryPathFor(path));
    summary_.files.push_back(path);
    summary_.rendered.push_back(frame);
    return std::move(file.rgba);
  }
  // Integer files take their frames as coded samples, which they store as they are.
  std::optional<SampleType> packed_type() const override {
    if (type_ == SampleType::kFloat) return std::nullopt;
    return type_;
  }
  std::vector<uint8_t> WritePacked(int frame, PackedFrame&& packed) override {
    const std::string path = pattern_.FileFor(frame);
    WriteImageFile(path, packed, format_, TemporaryPathFor(path));
    summary_.files.push_back(path);
    summary_.rendered.push_back(frame);
    return std::move(packed.bytes);
  }
  long long stored() const override { return static_cast<long long>(summary_.files.size()); }

 private:
  OutputPattern pattern_;
  FileFormat format_;
  SampleType type_;
  std::string color_space_;
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
  std::optional<SampleType> packed_type() const override { return type_; }
  std::vector<uint8_t> WritePacked(int frame, PackedFrame&& packed) override {
    writer_.Write(packed);
    summary_.rendered.push_back(frame);
    return std::move(packed.bytes);
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

}  // namespace pluvane::cli
