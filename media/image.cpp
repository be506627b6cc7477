#include "image.h"

#include <fcntl.h>
#include <unistd.h>

#include <OpenImageIO/filesystem.h>
#include <OpenImageIO/imageio.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <system_error>

#include "error.h"
#include "layer_limits.h"

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

std::string Quoted(const std::string& s) { return "'" + s + "'"; }

// OpenImageIO's messages may span lines; the user gets one.
std::string OneLine(std::string s) {
  std::replace(s.begin(), s.end(), '\n', ' ');
  while (!s.empty() && s.back() == ' ') s.pop_back();
  return s;
}

}  // namespace

namespace {

// The largest integer code of a sample type or host depth; 0 for float.
uint32_t FullScale(SampleType type) {
  return type == SampleType::kUInt8 ? 255u : type == SampleType::kUInt16 ? 65535u : 0u;
}
uint32_t FullScale(Depth depth) { return depth == Depth::k8 ? 255u : depth == Depth::k16 ? 32768u : 0u; }

// A sample on the scale 0..from onto 0..to (0 meaning float, 0..1): integer
// codes by rounding to nearest, floats clamped to 0..1 before they become codes.
// A float file into a float render keeps its values, HDR ones included, but
// not NaN and infinities: one such sample would spread over its neighbours
// through the displacement's area sums. NaN reads as 0, and an infinity as the
// largest finite half-float value, +-65504, as bright as an EXR file can say.
float Finite(float v) {
  if (std::isnan(v)) return 0.0f;
  if (std::isinf(v)) return v > 0 ? 65504.0f : -65504.0f;
  return v;
}

float Rescale(float v, uint32_t from, uint32_t to) {
  if (from == 0) return to == 0 ? v : ClampRound(v, to);
  const uint32_t c = AsCode(v, from);
  if (to == 0) return static_cast<float>(c) / static_cast<float>(from);
  return static_cast<float>(RoundDiv(uint64_t{c} * to, from));
}

}  // namespace

float FileToHost(float v, SampleType from, Depth to) {
  // An 8-bit file at 16-bit depth widens as the module itself widens 8-bit
  // colours: (c × 32768 + 128) / 255, which is not always round-to-nearest.
  if (from == SampleType::kUInt8 && to == Depth::k16) return static_cast<float>((AsCode(v, 255) * 32768u + 128u) / 255u);
  if (from == SampleType::kFloat && to == Depth::k32) return Finite(v);
  return Rescale(v, FullScale(from), FullScale(to));
}

float HostToFile(float v, Depth from, SampleType to) { return Rescale(v, FullScale(from), FullScale(to)); }

HostImage ToHost(const FileImage& file, Depth depth) {
  HostImage host{file.width, file.height, depth, {}};
  host.rgba.resize(file.rgba.size());
  std::transform(file.rgba.begin(), file.rgba.end(), host.rgba.begin(),
                 [&](float v) { return FileToHost(v, file.type, depth); });
  return host;
}

FileImage ToFile(const HostImage& host, SampleType type) {
  FileImage file{host.width, host.height, type, {}};
  file.rgba.resize(host.rgba.size());
  std::transform(host.rgba.begin(), host.rgba.end(), file.rgba.begin(),
                 [&](float v) { return HostToFile(v, host.depth, type); });
  return file;
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

namespace {

SampleType TypeOf(const OIIO::ImageSpec& header) {
  const auto base = static_cast<OIIO::TypeDesc::BASETYPE>(header.format.basetype);
  if (base == OIIO::TypeDesc::UINT8) return SampleType::kUInt8;
  if (base == OIIO::TypeDesc::UINT16) return SampleType::kUInt16;
  return SampleType::kFloat;  // half, float, and any other type, through OpenImageIO's float conversion
}

// Opens an image file and checks its header; `header` is filled in.
std::unique_ptr<OIIO::ImageInput> OpenImage(const std::string& path, OIIO::ImageSpec& header) {
  std::error_code ec;
  if (!fs::exists(path, ec)) throw Error("input " + Quoted(path) + " does not exist; check the file name and folder");
  if (fs::is_directory(path, ec)) throw Error("input " + Quoted(path) + " is a folder; give an image file");
  if (::access(path.c_str(), R_OK) != 0)
    throw Error("cannot read " + Quoted(path) + ": " + std::strerror(errno) + "; check the file's permissions");

  OIIO::ImageSpec config;
  config.attribute("oiio:UnassociatedAlpha", 1);
  // The file's header (size, channels, sample type) comes back from open().
  auto in = OIIO::ImageInput::create(path, false, &config);
  if (!in || !in->open(path, header, config)) {
    const std::string why = OneLine(in ? in->geterror() : OIIO::geterror());
    throw Error("cannot read " + Quoted(path) + " as an image" + (why.empty() ? "" : " (" + why + ")") +
                   "; give a PNG, TIFF, OpenEXR or JPEG file");
  }
  if (header.deep) throw Error("input " + Quoted(path) + " is a deep image; give a flat image");
  if (header.width <= 0 || header.height <= 0 || header.nchannels <= 0)
    throw Error("input " + Quoted(path) + " has no pixels; give a non-empty image");
  CheckLayerSize(header.width, header.height, "input " + Quoted(path));

  return in;
}

}  // namespace

ImageHeader ReadImageHeader(const std::string& path) {
  OIIO::ImageSpec header;
  auto in = OpenImage(path, header);
  in->close();
  return ImageHeader{header.width, header.height, header.nchannels, TypeOf(header)};
}

FileImage ReadImageFile(const std::string& path) {
  OIIO::ImageSpec header;
  auto in = OpenImage(path, header);
  FileImage img;
  img.width = header.width;
  img.height = header.height;
  const OIIO::TypeDesc::BASETYPE base = static_cast<OIIO::TypeDesc::BASETYPE>(header.format.basetype);
  OIIO::TypeDesc read_as = OIIO::TypeDesc::FLOAT;
  float full = 1.0f;
  if (base == OIIO::TypeDesc::UINT8) {
    img.type = SampleType::kUInt8;
    read_as = OIIO::TypeDesc::UINT8;
    full = 255.0f;
  } else if (base == OIIO::TypeDesc::UINT16) {
    img.type = SampleType::kUInt16;
    read_as = OIIO::TypeDesc::UINT16;
    full = 65535.0f;
  } else {
    img.type = SampleType::kFloat;  // half, float, and any other type, through OpenImageIO's float conversion
  }

  const int nch = header.nchannels;
  const size_t pixels = static_cast<size_t>(header.width) * header.height;
  std::vector<float> samples(pixels * nch);
  bool ok = false;
  if (read_as == OIIO::TypeDesc::UINT8) {
    std::vector<uint8_t> raw(pixels * nch);
    ok = in->read_image(0, 0, 0, nch, read_as, raw.data());
    std::copy(raw.begin(), raw.end(), samples.begin());
  } else if (read_as == OIIO::TypeDesc::UINT16) {
    std::vector<uint16_t> raw(pixels * nch);
    ok = in->read_image(0, 0, 0, nch, read_as, raw.data());
    std::copy(raw.begin(), raw.end(), samples.begin());
  } else {
    ok = in->read_image(0, 0, 0, nch, read_as, samples.data());
  }
  if (!ok) {
    throw Error("cannot read the pixels of " + Quoted(path) + " (" + OneLine(in->geterror()) +
                   "); the file may be damaged or truncated");
  }
  in->close();

  // Channel layout: grey, grey + alpha, RGB, RGBA (alpha where the file says it is).
  int alpha = header.alpha_channel;
  if (alpha < 0 && nch == 2) alpha = 1;
  if (alpha < 0 && nch == 4) alpha = 3;
  const bool grey = nch < 3;
  img.rgba.resize(pixels * 4);
  for (size_t p = 0; p < pixels; ++p) {
    const float* s = &samples[p * nch];
    float* d = &img.rgba[p * 4];
    if (grey) {
      d[0] = d[1] = d[2] = s[0];
    } else {
      d[0] = s[0];
      d[1] = s[1];
      d[2] = s[2];
    }
    d[3] = alpha >= 0 && alpha < nch ? s[alpha] : full;
  }
  return img;
}

namespace {

// Removes the temporary file unless the write succeeded.
struct TempFile {
  std::string path;
  bool keep = false;
  ~TempFile() {
    if (!keep) {
      std::error_code ec;
      fs::remove(path, ec);
    }
  }
};

// Writes `bytes` to a new file at `path`, or throws fail(why).
template <typename Fail>
void WriteWholeFile(const std::string& path, const std::vector<unsigned char>& bytes, const Fail& fail) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) throw fail(std::strerror(errno));
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const int error = n < 0 ? errno : ENOSPC;
      ::close(fd);
      throw fail(std::strerror(error));
    }
    done += static_cast<size_t>(n);
  }
  if (::close(fd) != 0) throw fail(std::strerror(errno));
}

template <typename T>
std::vector<T> Pack(const FileImage& image, int channels) {
  std::vector<T> out(static_cast<size_t>(image.width) * image.height * channels);
  const size_t pixels = static_cast<size_t>(image.width) * image.height;
  for (size_t p = 0; p < pixels; ++p)
    for (int c = 0; c < channels; ++c) out[p * channels + c] = static_cast<T>(image.rgba[p * 4 + c]);
  return out;
}

}  // namespace

void WriteImageFile(const std::string& path, const FileImage& image, FileFormat format, const std::string& temp_path) {
  auto out = OIIO::ImageOutput::create(path);
  if (!out) throw Error("cannot write " + Quoted(path) + ": no " + FormatName(format) + " writer available");
  const int channels = format == FileFormat::kJpeg ? 3 : 4;  // JPEG has no alpha
  const OIIO::TypeDesc type = image.type == SampleType::kUInt8    ? OIIO::TypeDesc::UINT8
                              : image.type == SampleType::kUInt16 ? OIIO::TypeDesc::UINT16
                                                                  : OIIO::TypeDesc::FLOAT;
  OIIO::ImageSpec layout(image.width, image.height, channels, type);
  layout.attribute("oiio:UnassociatedAlpha", 1);
  layout.attribute("Software", "pluvane");
  // No time stamp (the TIFF and OpenEXR writers add one unless given an empty
  // one): the same frame then gives the same file, byte for byte.
  layout.attribute("DateTime", "");
  // zlib level 3 writes PNG frames about twice as fast as the default 6, for
  // files a few percent larger: frame sequences favour speed.
  layout.attribute("png:compressionLevel", 3);

  TempFile temp{temp_path};
  auto fail = [&](const std::string& why) {
    return Error("cannot write " + Quoted(path) + " (" + OneLine(why) + "); check the folder and free disk space");
  };
  // Where the writer takes one, the file is encoded into memory and written
  // out here, every write checked: image writers do not all report a short
  // write (and libjpeg ends the process on one), and a frame cut off by a full
  // disk or a vanished folder must not count as done.
  std::vector<unsigned char> encoded;
  std::unique_ptr<OIIO::Filesystem::IOVecOutput> proxy;
  if (out->supports("ioproxy")) {
    proxy = std::make_unique<OIIO::Filesystem::IOVecOutput>(encoded);
    if (!out->set_ioproxy(proxy.get())) throw fail(out->geterror());
  }
  if (!out->open(temp.path, layout)) throw fail(out->geterror());
  bool ok = false;
  if (image.type == SampleType::kUInt8) {
    ok = out->write_image(type, Pack<uint8_t>(image, channels).data());
  } else if (image.type == SampleType::kUInt16) {
    ok = out->write_image(type, Pack<uint16_t>(image, channels).data());
  } else {
    ok = out->write_image(type, Pack<float>(image, channels).data());
  }
  if (!ok) {
    const std::string why = out->geterror();
    out->close();
    throw fail(why);
  }
  if (!out->close()) throw fail(out->geterror());
  if (proxy) {
    proxy.reset();
    WriteWholeFile(temp.path, encoded, fail);
  }
  std::error_code ec;
  fs::rename(temp.path, path, ec);
  if (ec) throw fail(ec.message());
  temp.keep = true;
}

}  // namespace pluvane::media
