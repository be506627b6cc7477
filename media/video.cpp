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

VideoCodec OutputVideoCodecOf(const std::string& path) {
  const std::string ext = Lower(fs::path(path).extension().string());
  if (ext == ".mp4") return VideoCodec::kH264;
  if (ext == ".mov") return VideoCodec::kProRes;
  if (ext == ".mkv") return VideoCodec::kFfv1;
  throw Error("cannot write " + Quoted(path) + ": pluvane writes video as .mp4 (H.264), .mov (ProRes 4444) or .mkv (FFV1)");
}

const char* VideoCodecName(VideoCodec codec) {
  switch (codec) {
    case VideoCodec::kH264: return "H.264 MP4";
    case VideoCodec::kProRes: return "ProRes 4444 MOV";
    default: return "FFV1 MKV";
  }
}

SampleType VideoSampleType(VideoCodec codec, int render_bits) {
  if (codec == VideoCodec::kH264 || render_bits == 8) return SampleType::kUInt8;
  return SampleType::kUInt16;
}


VideoReader::VideoReader(const std::string& path) : impl_(MediaLibrary().open_video(path)) {}
VideoReader::~VideoReader() = default;
const VideoInfo& VideoReader::info() const { return impl_->info(); }
FileImage VideoReader::Read(long long frame) { return impl_->Read(frame); }

VideoWriter::VideoWriter(const VideoSettings& settings) : impl_(MediaLibrary().create_video(settings)) {}
VideoWriter::~VideoWriter() = default;
int VideoWriter::width() const { return impl_->width(); }
int VideoWriter::height() const { return impl_->height(); }
const std::string& VideoWriter::audio_note() const { return impl_->audio_note(); }
void VideoWriter::Write(const FileImage& frame) { impl_->Write(frame); }
long long VideoWriter::Finish() { return impl_->Finish(); }

}  // namespace pluvane::media
