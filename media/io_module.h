// The file handling that needs OpenImageIO or FFmpeg lives in two shared
// libraries of our own, each loaded the first time a command needs it:
// pluvane_image_io.so (OpenImageIO: TIFF, OpenEXR, JPEG, unusual PNG files)
// and pluvane_video_io.so (FFmpeg and zimg: video files). Those libraries pull
// in some 260 shared objects, and OpenImageIO's alone hold some 120 MiB once
// loaded; a command that never touches them (about, list, --help, a render
// from and to PNG) loads neither, and a clip in, a clip out loads only FFmpeg.
//
// Both sides are built together from this tree with the same compiler, so the
// tables below pass C++ types; only the entry points have C linkage.
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

// What each library provides; the functions throw Error as their
// counterparts in image.h and video.h describe. Each library has its own copy
// of the layer size limit (layer_limits.h); the program passes its own on
// whenever it hands the library work.
struct ImageIo {
  FileImage (*read_image)(const std::string& path);
  ImageHeader (*read_header)(const std::string& path);
  // Float images; integer ones go as coded samples, through write_packed.
  void (*write_image)(const std::string& path, const FileImage& image, FileFormat format, const std::string& temp);
  void (*write_packed)(const std::string& path, const PackedFrame& frame, FileFormat format, const std::string& temp);
  void (*set_max_layer_megapixels)(double megapixels);
};

struct VideoIo {
  std::unique_ptr<VideoReader::Impl> (*open_video)(const std::string& path);
  std::unique_ptr<VideoWriter::Impl> (*create_video)(const VideoSettings& settings);
  void (*set_max_layer_megapixels)(double megapixels);
};

// The libraries, each loaded on its first call (from the program's folder,
// else from where the build put it). LibraryError when one cannot be loaded.
const ImageIo& ImageLibrary();
const VideoIo& VideoLibrary();

// The implementations inside the library.
FileImage OiioReadImageFile(const std::string& path);
ImageHeader OiioReadImageHeader(const std::string& path);
void OiioWriteImageFile(const std::string& path, const FileImage& image, FileFormat format, const std::string& temp);
void OiioWritePackedFile(const std::string& path, const PackedFrame& frame, FileFormat format, const std::string& temp);
std::unique_ptr<VideoReader::Impl> OpenVideoFile(const std::string& path);
std::unique_ptr<VideoWriter::Impl> CreateVideoFile(const VideoSettings& settings);

}  // namespace pluvane::media

// Each library's one exported symbol.
extern "C" const pluvane::media::ImageIo* pluvane_image_io();
extern "C" const pluvane::media::VideoIo* pluvane_video_io();
