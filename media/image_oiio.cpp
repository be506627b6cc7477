// Image files through OpenImageIO: every format pluvane reads and writes,
// built into the media library (io_module.h).
#include <unistd.h>

#include <OpenImageIO/filesystem.h>
#include <OpenImageIO/imageio.h>

#include <algorithm>
#include <cmath>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <system_error>
#include <type_traits>

#include "media/channels.h"
#include "media/error.h"
#include "media/image.h"
#include "media/io_module.h"
#include "media/layer_limits.h"
#include "media/whole_file.h"

namespace fs = std::filesystem;

namespace pluvane::media {
namespace {

SampleType TypeOf(const OIIO::ImageSpec& header) {
  const auto base = static_cast<OIIO::TypeDesc::BASETYPE>(header.format.basetype);
  if (base == OIIO::TypeDesc::UINT8) return SampleType::kUInt8;
  if (base == OIIO::TypeDesc::UINT16) return SampleType::kUInt16;
  return SampleType::kFloat;  // half, float, and any other type, through OpenImageIO's float conversion
}

// The OpenImageIO format of a file's content, among the four whose headers
// are checked against the file's size first; null for any other. Given a
// file name, OpenImageIO would try every reader it has (DICOM, camera raw,
// FITS and some thirty more) on a file its extension's reader refuses, each
// with its own parser and costs: a damaged PNG spent 20 s loading the DICOM
// reader's dictionary. So one reader reads the file: the one its content
// names, else the one its extension names (DPX, WebP, GIF, HEIF, ...).
const char* OiioFormatOf(const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return nullptr;
  unsigned char m[8] = {};
  const size_t n = std::fread(m, 1, 8, f);
  std::fclose(f);
  if (n < 4) return nullptr;
  if (n == 8 && std::memcmp(m, "\x89PNG\r\n\x1a\n", 8) == 0) return "png";  // the whole signature, as libpng checks it
  if (std::memcmp(m, "\x76\x2f\x31\x01", 4) == 0) return "openexr";
  if (std::memcmp(m, "II*\0", 4) == 0 || std::memcmp(m, "MM\0*", 4) == 0 || std::memcmp(m, "II+\0", 4) == 0 ||
      std::memcmp(m, "MM\0+", 4) == 0)
    return "tiff";
  if (m[0] == 0xff && m[1] == 0xd8 && m[2] == 0xff) return "jpeg";
  return nullptr;
}

// Opens an image file and checks its header; `header` is filled in.
std::unique_ptr<OIIO::ImageInput> OpenImage(const std::string& path, OIIO::ImageSpec& header) {
  std::error_code ec;
  if (!fs::exists(path, ec)) throw Error("input " + Quoted(path) + " does not exist; check the file name and folder");
  if (fs::is_directory(path, ec)) throw Error("input " + Quoted(path) + " is a folder; give an image file");
  if (::access(path.c_str(), R_OK) != 0)
    throw Error("cannot read " + Quoted(path) + ": " + std::strerror(errno) + "; check the file's permissions");

  // A name of one of the four formats whose content is not that format is
  // damaged or misnamed; any other extension names the one reader to try.
  const std::string extension = text::Lower(fs::path(path).extension().string());
  static const char* const kCheckedExtensions[] = {".png", ".exr", ".tif", ".tiff", ".jpg", ".jpeg", ".jpe", ".jfif"};
  const bool checked_name = std::find(std::begin(kCheckedExtensions), std::end(kCheckedExtensions), extension) !=
                            std::end(kCheckedExtensions);
  const char* sniffed = OiioFormatOf(path);
  if (!sniffed && (checked_name || extension.size() < 2))
    throw Error("cannot read " + Quoted(path) + " as an image (its content is none of PNG, TIFF, OpenEXR or JPEG); "
                "give a PNG, TIFF, OpenEXR or JPEG file, or another image file OpenImageIO reads under its own extension");
  const std::string format = sniffed ? std::string(sniffed) : extension.substr(1);
  // OpenImageIO's own bound on what a header may claim: an image of the
  // largest layer with up to 16 float channels (2.5 GB at the default 40
  // megapixels), where its default is 32 GB.
  OIIO::attribute("limits:imagesize_MB", static_cast<int>(std::ceil(MaxLayerMegapixels() * 1e6 * 16 * 4 / (1 << 20))));
  OIIO::ImageSpec config;
  config.attribute("oiio:UnassociatedAlpha", 1);
  // The file's header (size, channels, sample type) comes back from open().
  auto in = OIIO::ImageInput::create(format, false, &config);
  if (!in || !in->open(path, header, config)) {
    const std::string why = LibraryMessage(in ? in->geterror() : OIIO::geterror());
    throw Error("cannot read " + Quoted(path) + " as an image" + (why.empty() ? "" : " (" + why + ")") +
                   "; give a PNG, TIFF, OpenEXR, JPEG or other image file OpenImageIO reads");
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
  return ImageHeader{header.width, header.height, header.nchannels, TypeOf(header),
                     header.get_string_attribute("oiio:ColorSpace")};
}

namespace {

template <typename T>
constexpr OIIO::TypeDesc::BASETYPE kOiioType = std::is_same_v<T, uint8_t>    ? OIIO::TypeDesc::UINT8
                                              : std::is_same_v<T, uint16_t> ? OIIO::TypeDesc::UINT16
                                                                            : OIIO::TypeDesc::FLOAT;

// The rows of the file's first image, a band at a time, read as T and spread
// to RGBA as they arrive; the layer grows with the rows read (GrowLayer). A
// header that claims a large layer over data that ends early costs a band of
// memory, not the whole layer in every sample type, before the end of the data
// shows. False when the reader fails; its error is left in `in`.
template <typename T>
bool ReadBands(OIIO::ImageInput& in, const OIIO::ImageSpec& h, int alpha, float full, std::vector<float>& rgba) {
  const int nch = h.nchannels;
  // Only the channels a layer takes: the first three (or grey) and alpha.
  // A file of many channels (render passes) costs no more than one of four.
  const int used = std::min(nch, std::max(4, alpha + 1));
  const size_t width = static_cast<size_t>(h.width);
  const size_t whole = width * static_cast<size_t>(h.height) * 4;
  // Tiled files are read a row of tiles at a time; scanline files in bands
  // of up to 64 rows, a few of the format's own chunks, and at most 64 MB.
  // OpenImageIO reads every channel of a row in the file's own type before
  // it hands over those asked for.
  const size_t row_bytes = std::max<size_t>(width * static_cast<size_t>(used) * sizeof(T), h.scanline_bytes(true));
  const int rows_in_64mb = static_cast<int>(std::max<size_t>(1, (size_t{64} << 20) / row_bytes));
  const int band = h.tile_width > 0 ? std::max(1, h.tile_height) : std::min({h.height, 64, rows_in_64mb});
  std::vector<T> raw(width * static_cast<size_t>(band) * used);
  for (int y = 0; y < h.height; y += band) {
    const int rows = std::min(band, h.height - y);
    const int top = h.y + y;
    const bool ok = h.tile_width > 0 ? in.read_tiles(0, 0, h.x, h.x + h.width, top, top + rows, h.z, h.z + 1, 0, used,
                                                     kOiioType<T>, raw.data())
                                     : in.read_scanlines(0, 0, top, top + rows, h.z, 0, used, kOiioType<T>, raw.data());
    if (!ok) return false;
    const size_t first = rgba.size();
    GrowLayer(rgba, (static_cast<size_t>(y) + rows) * width * 4, whole);
    const size_t pixels = (rgba.size() - first) / 4;
    std::vector<float> s(used);
    for (size_t p = 0; p < pixels; ++p) {
      for (int c = 0; c < used; ++c) s[c] = static_cast<float>(raw[p * used + c]);
      ExpandToRgba(s.data(), nch, alpha, full, &rgba[first + p * 4]);
    }
  }
  return true;
}

}  // namespace

FileImage OiioReadImageFile(const std::string& path) {
  OIIO::ImageSpec header;
  auto in = OpenImage(path, header);
  FileImage img;
  img.width = header.width;
  img.height = header.height;
  img.type = TypeOf(header);
  img.color_space = header.get_string_attribute("oiio:ColorSpace");

  // Channel layout: grey, grey + alpha, RGB, RGBA (alpha where the file says it is).
  const int nch = header.nchannels;
  int alpha = header.alpha_channel;
  if (alpha < 0 && nch == 2) alpha = 1;
  if (alpha < 0 && nch == 4) alpha = 3;
  bool ok = false;
  if (img.type == SampleType::kUInt8) {
    ok = ReadBands<uint8_t>(*in, header, alpha, 255.0f, img.rgba);
  } else if (img.type == SampleType::kUInt16) {
    ok = ReadBands<uint16_t>(*in, header, alpha, 65535.0f, img.rgba);
  } else {
    ok = ReadBands<float>(*in, header, alpha, 1.0f, img.rgba);  // half, float and any other type, as float
  }
  if (!ok) {
    throw Error("cannot read the pixels of " + Quoted(path) + " (" + LibraryMessage(in->geterror()) +
                   "); the file may be damaged or truncated");
  }
  in->close();
  return img;
}

namespace {

// OpenImageIO keeps its "oiio:ColorSpace" out of the OpenEXR headers it
// writes, and takes any OpenEXR file without that attribute as linear. So
// the attribute goes into the encoded file here: after the header's last
// attribute, with each chunk offset of the table that follows moved on by the
// bytes added. Only a single-part scanline file (what pluvane writes) is
// changed; false, and the file as it was, for anything else.
bool AddExrString(std::vector<unsigned char>& file, const std::string& name, const std::string& value) {
  const auto u32 = [&](size_t at) {
    return uint32_t{file[at]} | uint32_t{file[at + 1]} << 8 | uint32_t{file[at + 2]} << 16 | uint32_t{file[at + 3]} << 24;
  };
  if (file.size() < 8 || u32(0) != 20000630 || (file[5] & 0x1e) != 0) return false;  // tiled, long names, deep, multi-part
  size_t at = 8;
  int first_row = 0, last_row = -1, compression = -1;
  while (true) {
    const auto text = [&](std::string& out) {
      out.clear();
      while (at < file.size() && file[at] != 0) out += static_cast<char>(file[at++]);
      return at++ < file.size();
    };
    std::string attribute, type;
    if (!text(attribute)) return false;
    if (attribute.empty()) break;
    if (!text(type) || at + 4 > file.size()) return false;
    const size_t size = u32(at);
    at += 4;
    if (size > file.size() - at) return false;
    if (attribute == "dataWindow" && size == 16) {
      first_row = static_cast<int32_t>(u32(at + 4));
      last_row = static_cast<int32_t>(u32(at + 12));
    }
    if (attribute == "compression" && size == 1) compression = file[at];
    at += size;
  }
  static constexpr int kRowsPerChunk[] = {1, 1, 1, 16, 32, 16, 32, 32, 32, 256};
  if (compression < 0 || compression > 9 || last_row < first_row) return false;
  const size_t chunks = static_cast<size_t>(last_row - first_row) / kRowsPerChunk[compression] + 1;
  const size_t header_end = at - 1;  // the zero byte that ends the attributes
  if (at + chunks * 8 > file.size()) return false;
  std::vector<unsigned char> added(name.begin(), name.end());
  added.push_back(0);
  for (char c : std::string("string")) added.push_back(static_cast<unsigned char>(c));
  added.push_back(0);
  for (int b = 0; b < 4; ++b) added.push_back(static_cast<unsigned char>(value.size() >> (8 * b)));
  added.insert(added.end(), value.begin(), value.end());
  for (size_t c = 0; c < chunks; ++c) {
    uint64_t offset = 0;
    for (int b = 0; b < 8; ++b) offset |= uint64_t{file[at + c * 8 + b]} << (8 * b);
    if (offset >= file.size()) return false;
    offset += added.size();
    for (int b = 0; b < 8; ++b) file[at + c * 8 + b] = static_cast<unsigned char>(offset >> (8 * b));
  }
  file.insert(file.begin() + static_cast<std::ptrdiff_t>(header_end), added.begin(), added.end());
  return true;
}

// Writes a width × height file of `format` through `temp_path`, renamed over
// `path` once complete, from RGBA `samples` of `sample_type` (rows of
// `row_bytes`); a file of RGB (JPEG, DPX) takes the first three of each four.
void WriteThroughOiio(const std::string& path, int width, int height, SampleType sample_type, const void* samples,
                      size_t row_bytes, const std::string& color_space, FileFormat format, const std::string& temp_path) {
  auto out = OIIO::ImageOutput::create(path);
  if (!out) throw Error("cannot write " + Quoted(path) + ": no " + FormatName(format) + " writer available");
  const int channels = format == FileFormat::kJpeg || format == FileFormat::kDpx ? 3 : 4;  // JPEG and DPX: RGB
  const OIIO::TypeDesc type = sample_type == SampleType::kUInt8    ? OIIO::TypeDesc::UINT8
                              : sample_type == SampleType::kUInt16 ? OIIO::TypeDesc::UINT16
                                                                   : OIIO::TypeDesc::FLOAT;
  OIIO::ImageSpec layout(width, height, channels, type);
  if (format == FileFormat::kDpx && sample_type == SampleType::kUInt8) {
    // 8-bit codes stored as 10-bit ones, which read back as the same 8-bit codes.
    layout.set_format(OIIO::TypeDesc::UINT16);
    layout.attribute("oiio:BitsPerSample", 10);
  }
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
    return Error("cannot write " + Quoted(path) + " (" + LibraryMessage(why) + "); check the folder and free disk space");
  };
  // Where the writer takes one, the file is encoded into memory and written
  // out with every write checked (whole_file.h).
  std::vector<unsigned char> encoded;
  std::unique_ptr<OIIO::Filesystem::IOVecOutput> proxy;
  if (out->supports("ioproxy")) {
    proxy = std::make_unique<OIIO::Filesystem::IOVecOutput>(encoded);
    if (!out->set_ioproxy(proxy.get())) throw fail(out->geterror());
  }
  // Through a proxy the writer touches no file: it is given the final name,
  // which some formats (DPX) record in their header.
  if (!out->open(proxy ? path : temp.path, layout)) throw fail(out->geterror());
  if (!out->write_image(type, samples, static_cast<OIIO::stride_t>(4 * type.size()), static_cast<OIIO::stride_t>(row_bytes))) {
    const std::string why = out->geterror();
    out->close();
    throw fail(why);
  }
  if (!out->close()) throw fail(out->geterror());
  if (proxy) {
    proxy.reset();
    // OpenEXR is taken as linear unless it says otherwise: the display values
    // of an sRGB input, written as they are, say so.
    if (format == FileFormat::kExr && !color_space.empty() && color_space != "Linear")
      AddExrString(encoded, "oiio:ColorSpace", color_space);
    const std::string why = WriteWholeFile(temp.path, encoded.data(), encoded.size());
    if (!why.empty()) throw fail(why);
  }
  const std::string why = temp.MoveTo(path);
  if (!why.empty()) throw fail(why);
}

}  // namespace

void OiioWriteImageFile(const std::string& path, const FileImage& image, FileFormat format, const std::string& temp_path) {
  WriteThroughOiio(path, image.width, image.height, SampleType::kFloat, image.rgba.data(),
                   static_cast<size_t>(image.width) * 4 * sizeof(float), image.color_space, format, temp_path);
}

void OiioWritePackedFile(const std::string& path, const PackedFrame& frame, FileFormat format, const std::string& temp_path) {
  WriteThroughOiio(path, frame.width, frame.height, frame.type, frame.bytes.data(), frame.row_bytes(), frame.color_space,
                   format, temp_path);
}

}  // namespace pluvane::media
