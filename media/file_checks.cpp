#include "media/file_checks.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <set>
#include <vector>

#include "media/error.h"
#include "media/layer_limits.h"

namespace pluvane::media {
namespace {

// Random access to a file's bytes, every read checked against its size.
class Bytes {
 public:
  explicit Bytes(const std::string& path) : f_(std::fopen(path.c_str(), "rb"), std::fclose) {
    if (f_ && ::fseeko(f_.get(), 0, SEEK_END) == 0) {
      const off_t end = ::ftello(f_.get());
      if (end >= 0) size_ = static_cast<uint64_t>(end), ok_ = true;
    }
  }
  bool ok() const { return ok_; }
  uint64_t size() const { return size_; }
  // The bytes from `at` on.
  uint64_t Left(uint64_t at) const { return at < size_ ? size_ - at : 0; }
  // `n` bytes at `at`; false when they are not all in the file.
  bool Read(uint64_t at, void* out, uint64_t n) {
    if (n > Left(at) || ::fseeko(f_.get(), static_cast<off_t>(at), SEEK_SET) != 0) return false;
    return std::fread(out, 1, n, f_.get()) == n;
  }
  // A zero-ended name of at most 255 characters at `at`; `at` moves past it.
  bool Name(uint64_t& at, std::string& out) {
    char text[256];
    const uint64_t n = std::min<uint64_t>(sizeof text, Left(at));
    if (!Read(at, text, n)) return false;
    const void* end = std::memchr(text, 0, n);
    if (!end) return false;
    out.assign(text, static_cast<size_t>(static_cast<const char*>(end) - text));
    at += out.size() + 1;
    return true;
  }

 private:
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> f_;
  uint64_t size_ = 0;
  bool ok_ = false;
};

uint64_t Le(const unsigned char* p, int n) {
  uint64_t v = 0;
  for (int i = n - 1; i >= 0; --i) v = v << 8 | p[i];
  return v;
}
uint64_t Be(const unsigned char* p, int n) {
  uint64_t v = 0;
  for (int i = 0; i < n; ++i) v = v << 8 | p[i];
  return v;
}

std::string MoreThanHeld(const std::string& what, uint64_t bytes) {
  return what + " says it holds " + std::to_string(bytes) + " bytes, more than the file holds";
}

// ---- PNG: every chunk's length against the bytes after it, up to IEND.
std::string PngProblem(Bytes& b) {
  unsigned char head[8];
  for (uint64_t at = 8; b.Read(at, head, 8);) {
    const uint64_t length = Be(head, 4);
    std::string type(reinterpret_cast<const char*>(head + 4), 4);
    for (char& c : type)
      if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'))) c = '?';
    at += 8;
    if (type == "IEND") break;  // nothing after it is read, not even its check sum
    if (length > 0x7fffffff || length + 4 > b.Left(at)) return MoreThanHeld("its PNG chunk " + Quoted(type), length);
    at += length + 4;  // the data and its CRC
  }
  return "";
}

// ---- OpenEXR: every header attribute's size against the bytes after it, and
// the table of chunk offsets that follows the headers against what is left.

// Rows per chunk of a scanline file, by compression (none, RLE, ZIPS, ZIP,
// PIZ, PXR24, B44, B44A, DWAA, DWAB).
constexpr int kExrRowsPerChunk[] = {1, 1, 1, 16, 32, 16, 32, 32, 32, 256};

// What a part's header says about its chunks.
struct ExrPart {
  int64_t width = 0, height = 0;
  int compression = -1;
  int64_t tile_width = 0, tile_height = 0;
  int64_t chunk_count = -1;
  // The fewest chunks the part can have (a tiled part's first level alone); 0 when unknown.
  uint64_t Chunks() const {
    if (chunk_count >= 0) return static_cast<uint64_t>(chunk_count);
    if (width <= 0 || height <= 0) return 0;
    if (tile_width > 0 && tile_height > 0) {
      uint64_t tiles = 0;
      if (__builtin_mul_overflow(static_cast<uint64_t>((width + tile_width - 1) / tile_width),
                                 static_cast<uint64_t>((height + tile_height - 1) / tile_height), &tiles))
        return UINT64_MAX;
      return tiles;
    }
    if (compression < 0 || compression > 9) return 0;
    return static_cast<uint64_t>((height + kExrRowsPerChunk[compression] - 1) / kExrRowsPerChunk[compression]);
  }
};

// The bytes a value of an OpenEXR attribute type takes, for the types whose
// value OpenEXR reads at its own size whatever size the file gives; 0 for others.
uint32_t ExrFixedSize(const std::string& type) {
  static const std::pair<const char*, uint32_t> kSizes[] = {
      {"box2i", 16},   {"box2f", 16},          {"compression", 1}, {"lineOrder", 1},  {"envmap", 1},
      {"deepImageState", 1}, {"float", 4},     {"int", 4},         {"double", 8},     {"v2i", 8},
      {"v2f", 8},      {"v2d", 16},            {"v3i", 12},        {"v3f", 12},       {"v3d", 24},
      {"m33f", 36},    {"m33d", 72},           {"m44f", 64},       {"m44d", 128},     {"chromaticities", 32},
      {"keycode", 28}, {"timecode", 8},        {"rational", 8},    {"tiledesc", 9}};
  for (const auto& [name, size] : kSizes)
    if (type == name) return size;
  return 0;
}

// OpenEXR reads some attribute values by their content, not by the size the
// file gives them (a channel list up to its empty name, a preview image of the
// width and height it states): where the two disagree, OpenEXR goes on reading
// from a place this walk does not, and may allocate what its own reading
// finds. So every value must fill exactly the size given.
std::string ExrValueProblem(Bytes& b, uint64_t at, const std::string& name, const std::string& type, uint32_t size) {
  const auto wrong = [&] {
    return "its OpenEXR attribute " + Quoted(name) + " of type " + Quoted(type) + " does not fill its " +
           std::to_string(size) + " bytes";
  };
  if (const uint32_t fixed = ExrFixedSize(type)) return fixed == size ? "" : wrong();
  if (type == "chlist") {
    std::vector<unsigned char> v(size);
    if (!b.Read(at, v.data(), size)) return wrong();
    size_t i = 0;
    while (i < v.size() && v[i] != 0) {  // a name, then type, linear, 3 reserved, x and y sampling
      const void* end = std::memchr(&v[i], 0, v.size() - i);
      if (!end) return wrong();
      i = static_cast<size_t>(static_cast<const unsigned char*>(end) - v.data()) + 1 + 16;
    }
    return i + 1 == v.size() ? "" : wrong();
  }
  if (type == "preview") {
    unsigned char wh[8];
    if (size < 8 || !b.Read(at, wh, 8)) return wrong();
    return Le(wh, 4) * Le(wh + 4, 4) * 4 + 8 == size ? "" : wrong();
  }
  return "";  // strings, vectors and types OpenEXR does not know are read at the size given
}

std::string ExrProblem(Bytes& b, unsigned char flags) {
  const bool multipart = flags & 0x10;
  uint64_t at = 8, chunks = 0;
  std::string name, type;
  for (int part = 0;; ++part) {
    ExrPart p;
    bool after_last_part = false;
    for (int attributes = 0;; ++attributes) {
      if (!b.Name(at, name)) return "its OpenEXR header ends early";
      if (name.empty()) {
        after_last_part = attributes == 0 && part > 0;  // a multi-part file's empty header
        break;
      }
      unsigned char size_bytes[4];
      if (!b.Name(at, type) || !b.Read(at, size_bytes, 4)) return "its OpenEXR header ends early";
      at += 4;
      const auto size = static_cast<int32_t>(Le(size_bytes, 4));
      if (size < 0 || static_cast<uint64_t>(size) > b.Left(at))
        return "its OpenEXR header gives the attribute " + Quoted(name) + " " + std::to_string(size) +
               " bytes, more than the file holds";
      if (const std::string why = ExrValueProblem(b, at, name, type, static_cast<uint32_t>(size)); !why.empty()) return why;
      unsigned char v[16] = {};
      if (size >= 1 && size <= 16) b.Read(at, v, static_cast<uint64_t>(size));
      const auto i32 = [&](int k) { return static_cast<int64_t>(static_cast<int32_t>(Le(v + 4 * k, 4))); };
      if (name == "dataWindow" && size == 16) p.width = i32(2) - i32(0) + 1, p.height = i32(3) - i32(1) + 1;
      if (name == "compression" && size == 1) p.compression = v[0];
      if (name == "tiles" && size == 9)
        p.tile_width = static_cast<int64_t>(Le(v, 4)), p.tile_height = static_cast<int64_t>(Le(v + 4, 4));
      if (name == "chunkCount" && size == 4) {
        if (i32(0) < 0) return "its OpenEXR header gives a negative chunk count";
        p.chunk_count = i32(0);
      }
      at += static_cast<uint64_t>(size);
    }
    if (after_last_part) break;
    if (__builtin_add_overflow(chunks, p.Chunks(), &chunks)) chunks = UINT64_MAX;
    if (!multipart) break;
  }
  if (chunks > b.Left(at) / 8)
    return "its OpenEXR header claims " + std::to_string(chunks) + " chunks, and the file is too short for their table of offsets";
  return "";
}

// ---- TIFF: every directory and tag's data within the file, and every strip
// or tile the directories point at.

// Bytes per value of a TIFF field type; 0 for a type libtiff does not know.
uint64_t TiffTypeSize(uint64_t type) {
  switch (type) {
    case 1: case 2: case 6: case 7: return 1;              // BYTE, ASCII, SBYTE, UNDEFINED
    case 3: case 8: return 2;                              // SHORT, SSHORT
    case 4: case 9: case 11: case 13: return 4;            // LONG, SLONG, FLOAT, IFD
    case 5: case 10: case 12: case 16: case 17: case 18: return 8;  // RATIONAL, SRATIONAL, DOUBLE, LONG8, SLONG8, IFD8
    default: return 0;
  }
}

std::string TiffProblem(Bytes& b, bool little, bool big) {
  const auto num = [little](const unsigned char* p, int n) { return little ? Le(p, n) : Be(p, n); };
  const int count_bytes = big ? 8 : 2, entry_bytes = big ? 20 : 12, field_bytes = big ? 8 : 4;
  unsigned char head[16];
  if (!b.Read(0, head, big ? 16 : 8)) return "";
  uint64_t ifd = big ? num(head + 8, 8) : num(head + 4, 4);
  std::set<uint64_t> seen;
  for (int directories = 0; ifd != 0 && directories < 1000 && seen.insert(ifd).second; ++directories) {
    unsigned char count[8];
    if (!b.Read(ifd, count, static_cast<uint64_t>(count_bytes))) return "its TIFF directory lies past the end of the file";
    const uint64_t n = num(count, count_bytes);
    if (n > b.Left(ifd + static_cast<uint64_t>(count_bytes)) / static_cast<uint64_t>(entry_bytes))
      return "its TIFF directory says it has " + std::to_string(n) + " entries, more than the file holds";
    std::vector<unsigned char> entries(static_cast<size_t>(n) * static_cast<size_t>(entry_bytes));
    if (!b.Read(ifd + static_cast<uint64_t>(count_bytes), entries.data(), entries.size())) return "";
    // The values of one field, read as unsigned numbers; empty when not SHORT, LONG or LONG8.
    const auto values = [&](const unsigned char* e) {
      std::vector<uint64_t> out;
      const uint64_t type = num(e + 2, 2), count = num(e + 4, field_bytes), size = TiffTypeSize(type);
      // A field's values lie in the file: a count beyond it is refused before allocating.
      if ((type != 3 && type != 4 && type != 16) || count == 0 || count > b.size() / size) return out;
      std::vector<unsigned char> raw(static_cast<size_t>(count * size));
      if (count * size <= static_cast<uint64_t>(field_bytes)) std::memcpy(raw.data(), e + 4 + field_bytes, raw.size());
      else if (!b.Read(num(e + 4 + field_bytes, field_bytes), raw.data(), raw.size())) return out;
      for (uint64_t i = 0; i < count; ++i) out.push_back(num(raw.data() + i * size, static_cast<int>(size)));
      return out;
    };
    const unsigned char *offsets = nullptr, *byte_counts = nullptr;
    for (uint64_t i = 0; i < n; ++i) {
      const unsigned char* e = entries.data() + i * static_cast<uint64_t>(entry_bytes);
      const uint64_t tag = num(e, 2), size = TiffTypeSize(num(e + 2, 2)), count = num(e + 4, field_bytes);
      if (size == 0) continue;  // a type libtiff skips
      if (count > UINT64_MAX / size) return MoreThanHeld("its TIFF tag " + std::to_string(tag), UINT64_MAX);
      const uint64_t bytes = count * size;
      if (bytes > static_cast<uint64_t>(field_bytes)) {
        const uint64_t at = num(e + 4 + field_bytes, field_bytes);
        if (bytes > b.Left(at)) return MoreThanHeld("its TIFF tag " + std::to_string(tag), bytes);
      }
      if (tag == 273 || tag == 324) offsets = e;       // StripOffsets, TileOffsets
      if (tag == 279 || tag == 325) byte_counts = e;   // StripByteCounts, TileByteCounts
    }
    if (offsets && byte_counts) {
      const std::vector<uint64_t> at = values(offsets), size = values(byte_counts);
      for (size_t i = 0; i < std::min(at.size(), size.size()); ++i)
        if (size[i] > b.Left(at[i]))
          return MoreThanHeld("its TIFF strip or tile " + std::to_string(i) + " at byte " + std::to_string(at[i]), size[i]);
    }
    unsigned char next[8];
    if (!b.Read(ifd + static_cast<uint64_t>(count_bytes) + entries.size(), next, static_cast<uint64_t>(field_bytes))) break;
    ifd = num(next, field_bytes);
  }
  return "";
}

// ---- JPEG: the marker segments up to the frame header within the file, and
// the frame's size within the layer limit before libjpeg sets up its buffers.
std::string JpegProblem(Bytes& b, const std::string& path) {
  unsigned char m[9];
  for (uint64_t at = 2; b.Read(at, m, 2);) {
    if (m[0] != 0xff) return "";  // not a marker: libjpeg says what is wrong
    const int marker = m[1];
    if (marker == 0xff) {  // a fill byte
      at += 1;
      continue;
    }
    if (marker == 0x01 || (marker >= 0xd0 && marker <= 0xd8)) {  // markers without a segment
      at += 2;
      continue;
    }
    if (marker == 0xd9 || marker == 0xda) return "";  // the image's end or its data before any frame header
    if (!b.Read(at + 2, m + 2, 2)) return "its JPEG data ends early";
    const uint64_t length = Be(m + 2, 2);
    if (length < 2 || length > b.Left(at + 2))
      return MoreThanHeld("its JPEG marker segment 0xFF" + std::string(1, "0123456789ABCDEF"[marker >> 4]) +
                              "0123456789ABCDEF"[marker & 15],
                          length);
    const bool frame = marker >= 0xc0 && marker <= 0xcf && marker != 0xc4 && marker != 0xc8 && marker != 0xcc;
    if (frame && length >= 7 && b.Read(at + 4, m + 4, 5)) {
      const uint64_t height = Be(m + 5, 2), width = Be(m + 7, 2);
      if (width > 0 && height > 0) CheckLayerSize(static_cast<long long>(width), static_cast<long long>(height), "input " + Quoted(path));
      return "";
    }
    at += 2 + length;
  }
  return "";
}

}  // namespace

void CheckHeaderClaims(const std::string& path) {
  Bytes b(path);
  unsigned char start[8];
  if (!b.ok() || !b.Read(0, start, 4)) return;
  b.Read(0, start, std::min<uint64_t>(8, b.size()));
  std::string why;
  if (b.size() >= 8 && std::memcmp(start, "\x89PNG\r\n\x1a\n", 8) == 0) {
    why = PngProblem(b);
  } else if (b.size() >= 8 && std::memcmp(start, "\x76\x2f\x31\x01", 4) == 0) {
    why = ExrProblem(b, start[5]);
  } else if (std::memcmp(start, "II*\0", 4) == 0 || std::memcmp(start, "MM\0*", 4) == 0) {
    why = TiffProblem(b, start[0] == 'I', false);
  } else if (std::memcmp(start, "II+\0", 4) == 0 || std::memcmp(start, "MM\0+", 4) == 0) {
    why = TiffProblem(b, start[0] == 'I', true);
  } else if (start[0] == 0xff && start[1] == 0xd8) {
    why = JpegProblem(b, path);
  }
  if (!why.empty())
    throw Error("cannot read " + Quoted(path) + " as an image (" + OneLine(why) + "); the file may be damaged or truncated");
}

}  // namespace pluvane::media
