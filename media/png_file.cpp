#include "media/png_file.h"

#include <png.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <type_traits>
#include <vector>

#include "media/channels.h"
#include "media/error.h"
#include "media/layer_limits.h"
#include "media/whole_file.h"

namespace fs = std::filesystem;

namespace pluvane::media {
namespace {

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// libpng reports errors by longjmp; the message is kept for the caller.
// The row buffer lives here too: locals changed after setjmp are not to be
// relied on once libpng jumps back.
struct ErrorState {
  char message[256] = {};
  std::vector<png_byte> row;
};
extern "C" void OnPngError(png_structp png, png_const_charp message) {
  auto* state = static_cast<ErrorState*>(png_get_error_ptr(png));
  if (state) std::snprintf(state->message, sizeof state->message, "%s", message ? message : "libpng error");
  png_longjmp(png, 1);
}
extern "C" void OnPngWarning(png_structp, png_const_charp) {}

// The layout of a plain file, from its header.
struct Layout {
  png_uint_32 width = 0, height = 0;
  int channels = 0, bits = 0;
  bool too_big = false;  // over the layer size limit: refused before any pixel memory
  SampleType type() const { return bits == 16 ? SampleType::kUInt16 : SampleType::kUInt8; }
};

// Reads up to the pixels. Returns false for a file this reader leaves to
// OpenImageIO. Everything here is plain data: libpng may longjmp out of it.
bool ReadLayout(png_structp png, png_infop info, Layout& layout) {
  png_read_info(png, info);
  int bits = 0, color = 0, interlace = 0;
  png_get_IHDR(png, info, &layout.width, &layout.height, &bits, &color, &interlace, nullptr, nullptr);
  if (bits != 8 && bits != 16) return false;
  if (interlace != PNG_INTERLACE_NONE) return false;
  if (png_get_valid(png, info, PNG_INFO_tRNS)) return false;
  switch (color) {
    case PNG_COLOR_TYPE_GRAY: layout.channels = 1; break;
    case PNG_COLOR_TYPE_GRAY_ALPHA: layout.channels = 2; break;
    case PNG_COLOR_TYPE_RGB: layout.channels = 3; break;
    case PNG_COLOR_TYPE_RGB_ALPHA: layout.channels = 4; break;
    default: return false;
  }
  if (!LayerSizeFits(layout.width, layout.height)) {
    layout.too_big = true;
    return false;
  }
  layout.bits = bits;
  if (bits == 16) png_set_swap(png);  // host byte order
  png_read_update_info(png, info);
  return png_get_rowbytes(png, info) == static_cast<size_t>(layout.width) * layout.channels * (bits / 8);
}

// Rows of `Code` samples (8-bit bytes, or 16-bit words in host order) into
// RGBA samples of type Out (floats, or the codes themselves): grey to
// R = G = B, full alpha where the file has none. grow(n) makes the layer n
// samples long and returns its first: the layer grows with the rows read
// (GrowLayer), so a truncated file fails early without having taken the
// memory of the whole claimed layer.
template <typename Code, typename Out, typename Grow>
void ReadRgbaRows(png_structp png, const Layout& layout, png_bytep row, Grow&& grow) {
  const int nch = layout.channels;
  const int alpha = nch == 2 ? 1 : nch == 4 ? 3 : -1;
  const Out full = static_cast<Out>(static_cast<Code>(~Code{0}));
  const size_t row_samples = static_cast<size_t>(layout.width) * 4;
  for (png_uint_32 y = 0; y < layout.height; ++y) {
    png_read_row(png, row, nullptr);
    Out* d = grow((static_cast<size_t>(y) + 1) * row_samples) + static_cast<size_t>(y) * row_samples;
    const Code* s = reinterpret_cast<const Code*>(row);
    if constexpr (std::is_same_v<Code, Out>) {
      if (nch == 4) {  // RGBA codes: the row as it is
        std::memcpy(d, s, row_samples * sizeof(Code));
        continue;
      }
    }
    for (png_uint_32 x = 0; x < layout.width; ++x, d += 4, s += nch) {
      Out px[4];
      for (int c = 0; c < nch; ++c) px[c] = static_cast<Out>(s[c]);
      ExpandToRgba(px, nch, alpha, full, d);
    }
  }
}

// The rows as float samples, into `image`.
template <typename Code>
void ReadRowsInto(png_structp png, const Layout& layout, png_bytep row, FileImage& image) {
  image.width = static_cast<int>(layout.width);
  image.height = static_cast<int>(layout.height);
  image.type = layout.type();
  const size_t whole = static_cast<size_t>(layout.width) * layout.height * 4;
  ReadRgbaRows<Code, float>(png, layout, row, [&image, whole](size_t need) {
    GrowLayer(image.rgba, need, whole);
    return image.rgba.data();
  });
}

// The rows as codes, into `into` (whose buffer is reused, grown as above when short).
template <typename Code>
void ReadRowsInto(png_structp png, const Layout& layout, png_bytep row, PackedFrame& into) {
  into.width = static_cast<int>(layout.width);
  into.height = static_cast<int>(layout.height);
  into.type = layout.type();
  const size_t whole = static_cast<size_t>(layout.width) * layout.height * 4 * sizeof(Code);
  if (into.bytes.size() > whole) into.bytes.resize(whole);
  ReadRgbaRows<Code, Code>(png, layout, row, [&into, whole](size_t need) {
    if (into.bytes.size() < need * sizeof(Code)) GrowLayer(into.bytes, need * sizeof(Code), whole);
    return reinterpret_cast<Code*>(into.bytes.data());
  });
}

// The rows into `samples` (a FileImage or a PackedFrame) at the file's depth.
template <typename Samples>
void ReadRows(png_structp png, const Layout& layout, png_bytep row, Samples& samples) {
  if (layout.bits == 16) ReadRowsInto<uint16_t>(png, layout, row, samples);
  else ReadRowsInto<uint8_t>(png, layout, row, samples);
}

enum class Want { kHeader, kPixels };

// The whole read, header or pixels; false on anything left to OpenImageIO,
// and on a file libpng cannot read, whose error goes to `failure`. libpng
// reads every PNG that OpenImageIO reads, so OpenImageIO would only fail the
// same way (and print libpng's message on stderr besides). A failure in a
// chunk after the last row (a damaged trailing chunk, a missing end) does not
// take back a complete image.
bool ReadPng(std::FILE* f, png_alloc_size_t file_bytes, Want want, Layout& layout, FileImage* image,
             PackedFrame* coded, std::string& failure, bool& in_pixels) {
  png_byte signature[8];
  if (std::fread(signature, 1, 8, f) != 8 || png_sig_cmp(signature, 0, 8) != 0) return false;
  ErrorState state;
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &state, OnPngError, OnPngWarning);
  if (!png) return false;
  png_infop info = png_create_info_struct(png);
  volatile bool ok = false, reading_rows = false, rows_read = false, rows_checked = false;
  if (info && setjmp(png_jmpbuf(png)) == 0) {
    png_init_io(png, f);
    png_set_sig_bytes(png, 8);
    // libpng's own bounds: no side beyond a layer's, and no chunk (nor the
    // text a compressed one inflates to) held in memory beyond the file's size,
    // at least 1 MB and at most libpng's default of 8 MB. Every chunk's length
    // has been held against the file already (file_checks.h).
    png_set_user_limits(png, kMaxLayerSide, kMaxLayerSide);
    png_set_chunk_malloc_max(png, std::clamp<png_alloc_size_t>(file_bytes, 1 << 20, 8000000));
    if (ReadLayout(png, info, layout)) {
      if (want == Want::kHeader) {
        ok = true;
      } else {
        state.row.resize(png_get_rowbytes(png, info));
        reading_rows = true;
        if (coded) ReadRows(png, layout, state.row.data(), *coded);
        else ReadRows(png, layout, state.row.data(), *image);
        ok = true;
        rows_read = true;
        png_read_end(png, nullptr);
      }
    } else if (want == Want::kPixels && !layout.too_big) {
      // A layout left to OpenImageIO: its rows are decoded once here as they
      // are stored, so that damaged data is refused with libpng's message
      // from here too; OpenImageIO then reads a file that decodes.
      reading_rows = true;
      const int passes = png_set_interlace_handling(png);
      png_read_update_info(png, info);
      state.row.resize(png_get_rowbytes(png, info));
      for (int pass = 0; pass < passes; ++pass)
        for (png_uint_32 y = 0; y < layout.height; ++y) png_read_row(png, state.row.data(), nullptr);
      rows_checked = true;
    }
  } else if (rows_read || rows_checked) {
    ok = rows_read;
  } else if (info) {
    failure = OneLine(state.message[0] ? state.message : "libpng error");
    in_pixels = reading_rows;
    ok = false;
  }
  png_destroy_read_struct(&png, info ? &info : nullptr, nullptr);
  return ok;
}

png_alloc_size_t FileBytes(const std::string& path) {
  std::error_code ec;
  const auto bytes = fs::file_size(path, ec);
  return ec ? 8000000 : static_cast<png_alloc_size_t>(bytes);
}

// Error for a file whose header claims more than the layer size limit, or
// that libpng cannot read. libpng refuses a side beyond the limit itself
// (png_set_user_limits): the size from the header then gives the message
// every other format gives.
void Refuse(const Layout& layout, const std::string& failure, bool in_pixels, const std::string& path) {
  if (layout.too_big) CheckLayerSize(layout.width, layout.height, "input " + Quoted(path));
  if (failure.empty()) return;
  unsigned char head[24];
  File f(std::fopen(path.c_str(), "rb"));
  if (f && std::fread(head, 1, sizeof head, f.get()) == sizeof head && std::memcmp(head + 12, "IHDR", 4) == 0)
    CheckLayerSize(png_get_uint_32(head + 16), png_get_uint_32(head + 20), "input " + Quoted(path));
  if (in_pixels)
    throw Error("cannot read the pixels of " + Quoted(path) + " (PNG: " + failure + "); the file may be damaged or truncated");
  throw Error("cannot read " + Quoted(path) + " as an image (PNG: " + failure + "); the file may be damaged or truncated");
}

}  // namespace

// A plain PNG (no gAMA, cHRM or iCCP chunk) is sRGB.
constexpr const char* kPlainPngColorSpace = "sRGB";

std::optional<FileImage> ReadPlainPng(const std::string& path) {
  File f(std::fopen(path.c_str(), "rb"));
  if (!f) return std::nullopt;
  FileImage image;
  Layout layout;
  std::string failure;
  bool in_pixels = false;
  if (!ReadPng(f.get(), FileBytes(path), Want::kPixels, layout, &image, nullptr, failure, in_pixels)) {
    Refuse(layout, failure, in_pixels, path);
    return std::nullopt;
  }
  image.color_space = kPlainPngColorSpace;
  return image;
}

bool ReadPlainPng(const std::string& path, PackedFrame& into) {
  File f(std::fopen(path.c_str(), "rb"));
  if (!f) return false;
  Layout layout;
  std::string failure;
  bool in_pixels = false;
  if (!ReadPng(f.get(), FileBytes(path), Want::kPixels, layout, nullptr, &into, failure, in_pixels)) {
    Refuse(layout, failure, in_pixels, path);
    return false;
  }
  into.color_space = kPlainPngColorSpace;
  return true;
}

std::optional<ImageHeader> ReadPlainPngHeader(const std::string& path) {
  File f(std::fopen(path.c_str(), "rb"));
  if (!f) return std::nullopt;
  Layout layout;
  std::string failure;
  bool in_pixels = false;
  if (!ReadPng(f.get(), FileBytes(path), Want::kHeader, layout, nullptr, nullptr, failure, in_pixels)) {
    Refuse(layout, failure, in_pixels, path);
    return std::nullopt;
  }
  return ImageHeader{static_cast<int>(layout.width), static_cast<int>(layout.height), layout.channels,
                     layout.type(), kPlainPngColorSpace};
}

namespace {

// libpng's output into memory: the file is written in one checked piece.
extern "C" void AppendPngBytes(png_structp png, png_bytep data, png_size_t size) {
  auto* bytes = static_cast<std::vector<unsigned char>*>(png_get_io_ptr(png));
  bytes->insert(bytes->end(), data, data + size);
}
extern "C" void FlushNothing(png_structp) {}

}  // namespace

std::string WritePng(const std::string& temp, const PackedFrame& frame) {
  const bool deep = frame.type == SampleType::kUInt16;
  const size_t row_bytes = frame.row_bytes();
  // Room for the rows as they are, which a rendered frame compresses to well
  // below: the file is then encoded without a copy as it grows.
  std::vector<unsigned char> encoded;
  encoded.reserve(static_cast<size_t>(frame.height) * (row_bytes + 1) + 4096);
  ErrorState state;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &state, OnPngError, OnPngWarning);
  if (!png) return "out of memory";
  png_infop info = png_create_info_struct(png);
  volatile bool ok = false;
  if (info && setjmp(png_jmpbuf(png)) == 0) {
    png_set_write_fn(png, &encoded, AppendPngBytes, FlushNothing);
    png_set_IHDR(png, info, static_cast<png_uint_32>(frame.width), static_cast<png_uint_32>(frame.height),
                 deep ? 16 : 8, PNG_COLOR_TYPE_RGB_ALPHA, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    png_set_compression_level(png, kPngCompressionLevel);
    png_set_compression_strategy(png, Z_RLE);
    png_set_filter(png, PNG_FILTER_TYPE_BASE, PNG_FILTER_SUB);
    static char key[] = "Software", text[] = "pluvane";
    png_text software{};
    software.compression = PNG_TEXT_COMPRESSION_NONE;
    software.key = key;
    software.text = text;
    png_set_text(png, info, &software, 1);
    png_write_info(png, info);
    if (deep) png_set_swap(png);  // from host byte order
    // libpng copies each row before it filters (and swaps) it: the frame's own rows go in as they are.
    for (int y = 0; y < frame.height; ++y) png_write_row(png, frame.bytes.data() + static_cast<size_t>(y) * row_bytes);
    png_write_end(png, info);
    ok = true;
  }
  png_destroy_write_struct(&png, info ? &info : nullptr);
  if (!ok) return state.message[0] ? state.message : "libpng could not write the file";
  return WriteWholeFile(temp, encoded.data(), encoded.size());
}

}  // namespace pluvane::media
