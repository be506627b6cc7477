// Image files through OpenImageIO: every format pluvane reads and writes,
// built into the media library (io_module.h).
#include <unistd.h>

#include <OpenImageIO/filesystem.h>
#include <OpenImageIO/imageio.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>
#include <system_error>

#include "channels.h"
#include "error.h"
#include "image.h"
#include "io_module.h"
#include "layer_limits.h"
#include "whole_file.h"

namespace fs = std::filesystem;

namespace pluvane::media {
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

ImageHeader OiioReadImageHeader(const std::string& path) {
  OIIO::ImageSpec header;
  auto in = OpenImage(path, header);
  in->close();
  return ImageHeader{header.width, header.height, header.nchannels, TypeOf(header)};
}

FileImage OiioReadImageFile(const std::string& path) {
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
  img.rgba.resize(pixels * 4);
  for (size_t p = 0; p < pixels; ++p) ExpandToRgba(&samples[p * nch], nch, alpha, full, &img.rgba[p * 4]);
  return img;
}

namespace {

template <typename T>
std::vector<T> Pack(const FileImage& image, int channels) {
  std::vector<T> out(static_cast<size_t>(image.width) * image.height * channels);
  const size_t pixels = static_cast<size_t>(image.width) * image.height;
  for (size_t p = 0; p < pixels; ++p)
    for (int c = 0; c < channels; ++c) out[p * channels + c] = static_cast<T>(image.rgba[p * 4 + c]);
  return out;
}

}  // namespace

void OiioWriteImageFile(const std::string& path, const FileImage& image, FileFormat format, const std::string& temp_path) {
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
  // out with every write checked (whole_file.h).
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
    const std::string why = WriteWholeFile(temp.path, encoded.data(), encoded.size());
    if (!why.empty()) throw fail(why);
  }
  std::error_code ec;
  fs::rename(temp.path, path, ec);
  if (ec) throw fail(ec.message());
  temp.keep = true;
}

std::string OiioWriteGif(const std::string& path, long fps_num, long fps_den, const GifSource& next) {
  auto out = OIIO::ImageOutput::create("gif");
  if (!out) return "no GIF writer available";
  bool ok = true;
  int width = 0, height = 0;
  std::vector<uint8_t> rgb;
  for (bool first = true; ok && next(width, height, rgb); first = false) {
    OIIO::ImageSpec layout(width, height, 3, OIIO::TypeDesc::UINT8);
    const int rate[2] = {static_cast<int>(fps_num), static_cast<int>(fps_den)};
    layout.attribute("FramesPerSecond", OIIO::TypeRational, rate);
    layout.attribute("oiio:LoopCount", 0);  // loop forever
    ok = out->open(path, layout, first ? OIIO::ImageOutput::Create : OIIO::ImageOutput::AppendSubimage);
    ok = ok && out->write_image(OIIO::TypeDesc::UINT8, rgb.data());
  }
  std::string why = out->geterror();
  ok = out->close() && ok;
  if (ok) return "";
  if (why.empty()) why = out->geterror();
  return why.empty() ? "the GIF writer failed" : OneLine(why);
}

}  // namespace pluvane::media
