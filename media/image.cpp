#include "image.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <system_error>

#include "error.h"
#include "io_module.h"
#include "layer_limits.h"
#include "png_file.h"
#include "whole_file.h"

namespace fs = std::filesystem;

namespace pluvane::media {
namespace {

// Integer rounding of num / den to nearest, halves up (num, den > 0).
uint32_t RoundDiv(uint64_t num, uint64_t den) { return static_cast<uint32_t>((2 * num + den) / (2 * den)); }

uint32_t AsCode(float v, uint32_t max) {
  if (!(v > 0.0f)) return 0;
  return std::min(static_cast<uint32_t>(v), max);
}

// A float clamped to 0..1 and scaled to `full`, rounded to nearest. NaN reads as 0.
float ClampRound(float v, double full) {
  if (!(v > 0.0f)) return 0.0f;
  if (v >= 1.0f) return static_cast<float>(full);
  return static_cast<float>(std::floor(static_cast<double>(v) * full + 0.5));
}

// The largest integer code of a sample type or host depth; 0 for float.
uint32_t FullScale(SampleType type) {
  return type == SampleType::kUInt8 ? 255u : type == SampleType::kUInt16 ? 65535u : 0u;
}
uint32_t FullScale(Depth depth) { return depth == Depth::k8 ? 255u : depth == Depth::k16 ? 32768u : 0u; }

// A float file into a float render keeps its values, HDR ones included, but
// not NaN and infinities: one such sample would spread over its neighbours
// through the displacement's area sums. NaN reads as 0, and an infinity as the
// largest finite half-float value, +-65504, as bright as an EXR file can say.
float Finite(float v) {
  if (std::isnan(v)) return 0.0f;
  if (std::isinf(v)) return v > 0 ? 65504.0f : -65504.0f;
  return v;
}

// A sample on the scale 0..from onto 0..to (0 meaning float, 0..1): integer
// codes by rounding to nearest, floats clamped to 0..1 before they become codes.
inline float Rescale(float v, uint32_t from, uint32_t to) {
  if (from == 0) return to == 0 ? v : ClampRound(v, to);
  const uint32_t c = AsCode(v, from);
  if (to == 0) return static_cast<float>(c) / static_cast<float>(from);
  if (to == from) return static_cast<float>(c);  // what the rounded division gives, without dividing
  return static_cast<float>(RoundDiv(uint64_t{c} * to, from));
}

// The per-sample rules, inline here so that whole frames convert without a
// call per sample.
inline float FileToHostSample(float v, SampleType from, Depth to) {
  // An 8-bit file at 16-bit depth widens as the module itself widens 8-bit
  // colours: (c × 32768 + 128) / 255, which is not always round-to-nearest.
  if (from == SampleType::kUInt8 && to == Depth::k16) return static_cast<float>((AsCode(v, 255) * 32768u + 128u) / 255u);
  if (from == SampleType::kFloat && to == Depth::k32) return Finite(v);
  return Rescale(v, FullScale(from), FullScale(to));
}

inline float HostToFileSample(float v, uint32_t from_scale, uint32_t to_scale) { return Rescale(v, from_scale, to_scale); }

}  // namespace

float FileToHost(float v, SampleType from, Depth to) { return FileToHostSample(v, from, to); }

float HostToFile(float v, Depth from, SampleType to) { return HostToFileSample(v, FullScale(from), FullScale(to)); }

HostImage ToHost(const FileImage& file, Depth depth) { return ToHost(FileImage(file), depth); }

HostImage ToHost(FileImage&& file, Depth depth) {
  HostImage host{file.width, file.height, depth, std::move(file.rgba)};
  const SampleType from = file.type;
  file = FileImage{};
  for (float& v : host.rgba) v = FileToHostSample(v, from, depth);
  return host;
}

FileImage ToFile(const HostImage& host, SampleType type) { return ToFile(HostImage(host), type); }

FileImage ToFile(HostImage&& host, SampleType type) {
  FileImage file{host.width, host.height, type, std::move(host.rgba)};
  const Depth from = host.depth;
  host = HostImage{};
  if (!(from == Depth::k32 && type == SampleType::kFloat)) {  // float to float is the identity
    const uint32_t from_scale = FullScale(from), to_scale = FullScale(type);
    for (float& v : file.rgba) v = HostToFileSample(v, from_scale, to_scale);
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

Depth NaturalDepth(SampleType type) {
  switch (type) {
    case SampleType::kUInt8: return Depth::k8;
    case SampleType::kUInt16: return Depth::k16;
    default: return Depth::k32;
  }
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
  throw Error("cannot write " + Quoted(path) + (ext.empty() ? ": it has no extension" : ": unknown format " + Quoted(ext)) +
                 "; end the output name with .png, .tif, .exr or .jpg");
}

const char* FormatName(FileFormat format) {
  switch (format) {
    case FileFormat::kPng: return "PNG";
    case FileFormat::kTiff: return "TIFF";
    case FileFormat::kExr: return "OpenEXR";
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
    case FileFormat::kExr:
      if (depth != Depth::k32)
        throw Error("OpenEXR holds float samples and this render is " + std::to_string(DepthBits(depth)) +
                       "-bit; add --depth 32, or write .png or .tif");
      return SampleType::kFloat;
  }
  return SampleType::kUInt8;
}

FileImage ReadImageFile(const std::string& path) {
  if (auto png = ReadPlainPng(path)) return std::move(*png);
  return MediaLibrary().read_image(path);
}

ImageHeader ReadImageHeader(const std::string& path) {
  if (auto png = ReadPlainPngHeader(path)) return *png;
  return MediaLibrary().read_header(path);
}

void WriteImageFile(const std::string& path, const FileImage& image, FileFormat format, const std::string& temp_path) {
  if (format != FileFormat::kPng || (image.type != SampleType::kUInt8 && image.type != SampleType::kUInt16)) {
    MediaLibrary().write_image(path, image, format, temp_path);
    return;
  }
  TempFile temp{temp_path};
  std::string why = WritePng(temp_path, image);
  if (why.empty()) {
    std::error_code ec;
    fs::rename(temp_path, path, ec);
    if (ec) why = ec.message();
  }
  if (!why.empty()) throw Error("cannot write " + Quoted(path) + " (" + why + "); check the folder and free disk space");
  temp.keep = true;
}

}  // namespace pluvane::media
