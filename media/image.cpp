#include "media/image.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <system_error>

#include "media/error.h"
#include "media/file_checks.h"
#include "media/io_module.h"
#include "media/layer_limits.h"
#include "media/png_file.h"
#include "media/whole_file.h"

namespace fs = std::filesystem;

namespace pluvane::media {

float FileToHost(float v, SampleType from, Depth to) { return session::StoredToHost(v, from, to); }

float HostToFile(float v, Depth from, SampleType to) { return session::HostToStored(v, from, to); }

HostImage ToHost(const FileImage& file, Depth depth) { return ToHost(FileImage(file), depth); }

namespace {

// Every sample of `rgba` from `from` to host values of `to`, with the sample
// type and depth fixed at compile time: the rule's choices are then made once,
// not per sample, and the loop becomes vector code.
template <SampleType kFrom, Depth kTo>
void ConvertToHost(std::vector<float>& rgba) {
  for (float& v : rgba) v = session::StoredToHost(v, kFrom, kTo);
}

template <SampleType kFrom>
void ConvertToHost(std::vector<float>& rgba, Depth to) {
  switch (to) {
    case Depth::k8: ConvertToHost<kFrom, Depth::k8>(rgba); break;
    case Depth::k16: ConvertToHost<kFrom, Depth::k16>(rgba); break;
    default: ConvertToHost<kFrom, Depth::k32>(rgba); break;
  }
}

}  // namespace

HostImage ToHost(FileImage&& file, Depth depth) {
  HostImage host{file.width, file.height, depth, std::move(file.rgba)};
  const SampleType from = file.type;
  file = FileImage{};
  switch (from) {
    case SampleType::kUInt8: ConvertToHost<SampleType::kUInt8>(host.rgba, depth); break;
    case SampleType::kUInt16: ConvertToHost<SampleType::kUInt16>(host.rgba, depth); break;
    default: ConvertToHost<SampleType::kFloat>(host.rgba, depth); break;
  }
  return host;
}

FileImage ToFile(const HostImage& host, SampleType type) { return ToFile(HostImage(host), type); }

FileImage ToFile(HostImage&& host, SampleType type) {
  FileImage file{host.width, host.height, type, std::move(host.rgba)};
  const Depth from = host.depth;
  host = HostImage{};
  if (!(from == Depth::k32 && type == SampleType::kFloat)) {  // float to float is the identity
    const uint32_t from_scale = session::samples::FullScale(from), to_scale = session::samples::FullScale(type);
    for (float& v : file.rgba) v = session::samples::Rescale(v, from_scale, to_scale);
  }
  return file;
}

HostImage BoxDownsample(HostImage&& image, int n) {
  if (n <= 1) return std::move(image);
  return BoxDownsample(static_cast<const HostImage&>(image), n);
}

HostImage BoxDownsample(const HostImage& image, int n) {
  if (n <= 1) return image;
  HostImage out{image.width / n, image.height / n, image.depth, {}};
  out.rgba.assign(static_cast<size_t>(out.width) * out.height * 4, 0.0f);
  const double count = static_cast<double>(n) * n;
  for (int y = 0; y < out.height; ++y) {
    for (int x = 0; x < out.width; ++x) {
      double sum[4] = {0, 0, 0, 0};
      for (int by = 0; by < n; ++by) {
        const float* row = &image.rgba[(static_cast<size_t>(y * n + by) * image.width + x * n) * 4];
        for (int bx = 0; bx < n * 4; ++bx) sum[bx % 4] += row[bx];
      }
      float* dst = &out.rgba[(static_cast<size_t>(y) * out.width + x) * 4];
      for (int c = 0; c < 4; ++c) {
        // Integer sums are exact in a double; rounding them is rounding the true mean.
        dst[c] = image.depth == Depth::k32 ? static_cast<float>(sum[c] / count)
                                           : static_cast<float>(std::floor(sum[c] / count + 0.5));
      }
    }
  }
  return out;
}

int DepthBits(Depth depth) { return static_cast<int>(depth); }

const char* SampleTypeName(SampleType type) {
  switch (type) {
    case SampleType::kUInt8: return "8-bit";
    case SampleType::kUInt16: return "16-bit";
    default: return "32-bit float";
  }
}

FileFormat OutputFormatOf(const std::string& path) {
  std::string ext = fs::path(path).extension().string();
  std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return std::tolower(c); });
  if (ext == ".png") return FileFormat::kPng;
  if (ext == ".tif" || ext == ".tiff") return FileFormat::kTiff;
  if (ext == ".exr") return FileFormat::kExr;
  if (ext == ".jpg" || ext == ".jpeg") return FileFormat::kJpeg;
  if (ext == ".dpx") return FileFormat::kDpx;
  throw Error("cannot write " + Quoted(path) + (ext.empty() ? ": it has no extension" : ": unknown format " + Quoted(ext)) +
                 "; pluvane writes " + kOutputExtensions);
}

const char* FormatName(FileFormat format) {
  switch (format) {
    case FileFormat::kPng: return "PNG";
    case FileFormat::kTiff: return "TIFF";
    case FileFormat::kExr: return "OpenEXR";
    case FileFormat::kDpx: return "DPX";
    default: return "JPEG";
  }
}

SampleType OutputSampleType(FileFormat format, Depth depth) {
  switch (format) {
    case FileFormat::kPng:
      return depth == Depth::k8 ? SampleType::kUInt8 : SampleType::kUInt16;
    case FileFormat::kTiff:
      return depth == Depth::k8 ? SampleType::kUInt8 : depth == Depth::k16 ? SampleType::kUInt16 : SampleType::kFloat;
    case FileFormat::kJpeg:
      if (depth == Depth::k16)
        throw Error("JPEG holds only 8-bit samples and this render is 16-bit; add --depth 8, or write .png or .tif");
      return SampleType::kUInt8;
    case FileFormat::kDpx:
      return depth == Depth::k8 ? SampleType::kUInt8 : SampleType::kUInt16;
    case FileFormat::kExr:
      if (depth != Depth::k32)
        throw Error("OpenEXR holds float samples and this render is " + std::to_string(DepthBits(depth)) +
                       "-bit; add --depth 32, or write .png or .tif");
      return SampleType::kFloat;
  }
  return SampleType::kUInt8;
}

// Every read first holds what the header claims against the file
// (file_checks.h), before libpng or OpenImageIO allocates from it.
FileImage ReadImageFile(const std::string& path) {
  CheckHeaderClaims(path);
  if (auto png = ReadPlainPng(path)) return std::move(*png);
  return ImageLibrary().read_image(path);
}

bool ReadImageFile(const std::string& path, PackedFrame& coded, FileImage& floats) {
  CheckHeaderClaims(path);
  if (ReadPlainPng(path, coded)) return true;
  floats = ImageLibrary().read_image(path);
  if (floats.type == SampleType::kFloat) return false;
  PackCodes(floats, coded);
  floats = FileImage{};
  return true;
}

// Integer codes are held as exact floats: packed and unpacked as they are.
void PackCodes(const FileImage& image, PackedFrame& frame) {
  frame.Resize(image.width, image.height, image.type);
  frame.color_space = image.color_space;
  if (image.type == SampleType::kUInt8) {
    std::copy(image.rgba.begin(), image.rgba.end(), frame.bytes.begin());
  } else {
    std::copy(image.rgba.begin(), image.rgba.end(), reinterpret_cast<uint16_t*>(frame.bytes.data()));
  }
}

FileImage UnpackCodes(const PackedFrame& frame) {
  FileImage image{frame.width, frame.height, frame.type, {}, frame.color_space};
  const size_t n = static_cast<size_t>(frame.width) * frame.height * 4;
  if (frame.type == SampleType::kUInt8) {
    image.rgba.assign(frame.bytes.begin(), frame.bytes.begin() + static_cast<std::ptrdiff_t>(n));
  } else {
    const auto* words = reinterpret_cast<const uint16_t*>(frame.bytes.data());
    image.rgba.assign(words, words + n);
  }
  return image;
}

ImageHeader ReadImageHeader(const std::string& path) {
  CheckHeaderClaims(path);
  if (auto png = ReadPlainPngHeader(path)) {
    return *png;
  }
  return ImageLibrary().read_header(path);
}

void WriteImageFile(const std::string& path, const FileImage& image, FileFormat format, const std::string& temp_path) {
  if (image.type == SampleType::kFloat) {
    ImageLibrary().write_image(path, image, format, temp_path);
    return;
  }
  PackedFrame frame;
  PackCodes(image, frame);
  WriteImageFile(path, frame, format, temp_path);
}

void WriteImageFile(const std::string& path, const PackedFrame& frame, FileFormat format, const std::string& temp_path) {
  if (format != FileFormat::kPng) {
    ImageLibrary().write_packed(path, frame, format, temp_path);
    return;
  }
  TempFile temp{temp_path};
  std::string why = WritePng(temp_path, frame);
  if (why.empty()) why = temp.MoveTo(path);
  if (!why.empty()) throw Error("cannot write " + Quoted(path) + " (" + why + "); check the folder and free disk space");
}

}  // namespace pluvane::media
