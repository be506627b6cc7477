// The file handling that needs OpenImageIO and FFmpeg lives in a shared
// library of its own, pluvane_media_io.so, loaded the first time a command
// needs it. Those libraries pull in some 260 shared objects; a command that
// never touches them (about, list, --help, a render from and to PNG) starts
// without loading any of them.
//
// Both sides are built together from this tree with the same compiler, so the
// table below passes C++ types; only the entry point has C linkage.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "media/image.h"
#include "media/video.h"

namespace pluvane::media {

struct VideoReader::Impl {
  virtual ~Impl() = default;
  virtual const VideoInfo& info() const = 0;
  virtual void Read(long long frame, PackedFrame& into) = 0;
};

struct VideoWriter::Impl {
  virtual ~Impl() = default;
  virtual int width() const = 0;
  virtual int height() const = 0;
  virtual const std::string& audio_note() const = 0;
  virtual void Write(const PackedFrame& frame) = 0;
  virtual long long Finish() = 0;
};

// What the library provides; the functions throw Error as their counterparts
// in image.h and video.h describe.
struct MediaIo {
  FileImage (*read_image)(const std::string& path);
  ImageHeader (*read_header)(const std::string& path);
  void (*write_image)(const std::string& path, const FileImage& image, FileFormat format, const std::string& temp);
  std::unique_ptr<VideoReader::Impl> (*open_video)(const std::string& path);
  std::unique_ptr<VideoWriter::Impl> (*create_video)(const VideoSettings& settings);
  // The library has its own copy of the layer size limit (layer_limits.h);
  // the program passes its own on when it loads the library.
  void (*set_max_layer_megapixels)(double megapixels);
};

// The library, loaded on the first call (from the program's folder, else from
// where the build put it). Error when it cannot be loaded.
const MediaIo& MediaLibrary();

// The implementations inside the library.
FileImage OiioReadImageFile(const std::string& path);
ImageHeader OiioReadImageHeader(const std::string& path);
void OiioWriteImageFile(const std::string& path, const FileImage& image, FileFormat format, const std::string& temp);
std::unique_ptr<VideoReader::Impl> OpenVideoFile(const std::string& path);
std::unique_ptr<VideoWriter::Impl> CreateVideoFile(const VideoSettings& settings);

}  // namespace pluvane::media

// The library's one exported symbol.
extern "C" const pluvane::media::MediaIo* pluvane_media_io();
