// The rules of video paths and codecs, and the reader and writer that hand
// their work to FFmpeg inside the media library, loaded on first use.
#include "media/video.h"

#include "util/text.h"

#include <algorithm>
#include <filesystem>

#include "media/error.h"
#include "media/io_module.h"

namespace fs = std::filesystem;

namespace pluvane::media {
using text::Lower;

bool IsVideoPath(const std::string& path) {
  const std::string ext = Lower(fs::path(path).extension().string());
  for (const char* v : {".mp4", ".m4v", ".mov", ".mkv", ".webm", ".avi", ".mxf", ".mpg", ".mpeg", ".ts", ".m2ts", ".flv",
                        ".ogv", ".wmv", ".3gp"})
    if (ext == v) return true;
  return false;
}

const char* const kOutputExtensions =
    ".png, .tif, .exr, .jpg, .dpx (images, one per frame); .mp4 (H.264), .mov (ProRes 4444), .mkv (FFV1), .webm (VP9), "
    ".gif, .webp, .apng (animations)";

bool IsVideoOutputPath(const std::string& path) {
  const std::string ext = Lower(fs::path(path).extension().string());
  return IsVideoPath(path) || ext == ".gif" || ext == ".webp" || ext == ".apng";
}

VideoCodec OutputVideoCodecOf(const std::string& path) {
  const std::string ext = Lower(fs::path(path).extension().string());
  if (ext == ".mp4") return VideoCodec::kH264;
  if (ext == ".mov") return VideoCodec::kProRes;
  if (ext == ".mkv") return VideoCodec::kFfv1;
  if (ext == ".webm") return VideoCodec::kVp9;
  if (ext == ".gif") return VideoCodec::kGif;
  if (ext == ".webp") return VideoCodec::kWebp;
  if (ext == ".apng") return VideoCodec::kApng;
  throw Error("cannot write " + Quoted(path) + " as a video: pluvane writes " + kOutputExtensions);
}

const char* VideoCodecName(VideoCodec codec) {
  switch (codec) {
    case VideoCodec::kH264: return "H.264 MP4";
    case VideoCodec::kProRes: return "ProRes 4444 MOV";
    case VideoCodec::kVp9: return "VP9 WebM";
    case VideoCodec::kGif: return "GIF";
    case VideoCodec::kWebp: return "animated WebP";
    case VideoCodec::kApng: return "APNG";
    default: return "FFV1 MKV";
  }
}

SampleType VideoSampleType(VideoCodec codec, int render_bits) {
  if (render_bits == 8) return SampleType::kUInt8;
  if (codec == VideoCodec::kProRes || codec == VideoCodec::kFfv1 || codec == VideoCodec::kApng) return SampleType::kUInt16;
  return SampleType::kUInt8;
}


VideoReader::VideoReader(const std::string& path) : impl_(VideoLibrary().open_video(path)) {}
VideoReader::~VideoReader() = default;
const VideoInfo& VideoReader::info() const { return impl_->info(); }
FileImage VideoReader::Read(long long frame, std::vector<float> reuse) {
  impl_->Read(frame, packed_);
  FileImage image{packed_.width, packed_.height, packed_.type, std::move(reuse)};
  image.rgba.resize(static_cast<size_t>(image.width) * image.height * 4);  // every sample is written below
  if (packed_.type == SampleType::kUInt8) {
    std::copy(packed_.bytes.begin(), packed_.bytes.end(), image.rgba.begin());
  } else {
    const auto* s = reinterpret_cast<const uint16_t*>(packed_.bytes.data());
    std::copy(s, s + image.rgba.size(), image.rgba.begin());
  }
  return image;
}

void VideoReader::Read(long long frame, PackedFrame& into) { impl_->Read(frame, into); }

VideoWriter::VideoWriter(const VideoSettings& settings) : impl_(VideoLibrary().create_video(settings)) {}
VideoWriter::~VideoWriter() = default;
int VideoWriter::width() const { return impl_->width(); }
int VideoWriter::height() const { return impl_->height(); }
const std::string& VideoWriter::audio_note() const { return impl_->audio_note(); }
void VideoWriter::Write(const FileImage& frame) {
  packed_.Resize(frame.width, frame.height, frame.type == SampleType::kUInt8 ? SampleType::kUInt8 : SampleType::kUInt16);
  if (packed_.type == SampleType::kUInt8) {
    std::copy(frame.rgba.begin(), frame.rgba.end(), packed_.bytes.begin());
  } else {
    auto* d = reinterpret_cast<uint16_t*>(packed_.bytes.data());
    for (size_t i = 0; i < frame.rgba.size(); ++i) d[i] = static_cast<uint16_t>(frame.rgba[i]);
  }
  impl_->Write(packed_);
}

void VideoWriter::Write(const PackedFrame& frame) { impl_->Write(frame); }
long long VideoWriter::Finish() { return impl_->Finish(); }

}  // namespace pluvane::media
