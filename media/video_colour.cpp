#include "media/video_colour.h"

extern "C" {
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}
#include <zimg.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "media/ffmpeg_common.h"

namespace pluvane::media {
namespace {

// zimg reads and writes planes whose address and row step are multiples of 32 bytes.
constexpr uintptr_t kZimgAlign = 32;

// A planar YUV format zimg converts: three planes (four with alpha) of equal
// depth, one sample in each place of a row.
struct PlanarYuv {
  int depth = 8;
  int chroma_w = 0, chroma_h = 0;  // log2 of the subsampling
  bool alpha = false;
  int bytes() const { return depth > 8 ? 2 : 1; }
};

std::optional<PlanarYuv> PlanarYuvOf(int format) {
  const AVPixFmtDescriptor* d = PixelFormatOf(format);
  constexpr uint64_t kRefused =
      AV_PIX_FMT_FLAG_RGB | AV_PIX_FMT_FLAG_PAL | AV_PIX_FMT_FLAG_BITSTREAM | AV_PIX_FMT_FLAG_HWACCEL |
      AV_PIX_FMT_FLAG_FLOAT | AV_PIX_FMT_FLAG_BE | AV_PIX_FMT_FLAG_BAYER;
  if (!d || (d->flags & kRefused) || !(d->flags & AV_PIX_FMT_FLAG_PLANAR)) return std::nullopt;
  if (d->nb_components != 3 && d->nb_components != 4) return std::nullopt;
  PlanarYuv p{d->comp[0].depth, d->log2_chroma_w, d->log2_chroma_h, d->nb_components == 4};
  if (p.depth < 8 || p.depth > 16 || p.chroma_w > 2 || p.chroma_h > 2) return std::nullopt;
  for (int c = 0; c < d->nb_components; ++c) {
    const AVComponentDescriptor& comp = d->comp[c];
    if (comp.plane != c || comp.depth != p.depth || comp.shift != 0 || comp.offset != 0 || comp.step != p.bytes())
      return std::nullopt;
  }
  return p;
}

bool Aligned(const void* data, int stride) {
  return reinterpret_cast<uintptr_t>(data) % kZimgAlign == 0 && static_cast<uintptr_t>(stride) % kZimgAlign == 0;
}

// Whether zimg can take frame planes of `layout` at this size and place.
bool ZimgTakes(const PlanarYuv& layout, int width, int height, const uint8_t* const data[], const int linesize[]) {
  if (width % (1 << layout.chroma_w) || height % (1 << layout.chroma_h)) return false;
  for (int p = 0; p < 3; ++p)
    if (!Aligned(data[p], linesize[p])) return false;
  return true;
}

zimg_matrix_coefficients_e ZimgMatrix(int matrix) {
  switch (matrix) {
    case AVCOL_SPC_BT470BG: return ZIMG_MATRIX_BT470_BG;
    case AVCOL_SPC_SMPTE170M: return ZIMG_MATRIX_ST170_M;
    case AVCOL_SPC_SMPTE240M: return ZIMG_MATRIX_ST240_M;
    case AVCOL_SPC_FCC: return ZIMG_MATRIX_FCC;
    case AVCOL_SPC_BT2020_NCL:
    case AVCOL_SPC_BT2020_CL: return ZIMG_MATRIX_BT2020_NCL;  // the constant-luminance form needs the transfer: as swscale, non-constant
    default: return ZIMG_MATRIX_BT709;
  }
}

// FFmpeg numbers chroma locations from 1 (left) in zimg's order from 0.
zimg_chroma_location_e ZimgChroma(int location) {
  const int known = KnownChromaLocation(location);
  return known == AVCHROMA_LOC_UNSPECIFIED ? ZIMG_CHROMA_LEFT : static_cast<zimg_chroma_location_e>(known - 1);
}

int SwsMatrixOf(int matrix) {
  switch (matrix) {
    case AVCOL_SPC_FCC: return SWS_CS_FCC;
    case AVCOL_SPC_BT470BG:
    case AVCOL_SPC_SMPTE170M: return SWS_CS_ITU601;
    case AVCOL_SPC_SMPTE240M: return SWS_CS_SMPTE240M;
    case AVCOL_SPC_BT2020_NCL:
    case AVCOL_SPC_BT2020_CL: return SWS_CS_BT2020;
    default: return SWS_CS_ITU709;
  }
}

// A sample of `from_max` full scale at `to_max` full scale, rounded to nearest.
inline uint32_t Rescale(uint32_t v, uint32_t from_max, uint32_t to_max) {
  if (from_max == to_max) return v;
  return static_cast<uint32_t>((uint64_t{v} * to_max * 2 + from_max) / (uint64_t{from_max} * 2));
}

struct FreeAligned {
  void operator()(void* p) const { std::free(p); }
};
using AlignedBytes = std::unique_ptr<uint8_t, FreeAligned>;

AlignedBytes AllocateAligned(size_t bytes) {
  void* p = std::aligned_alloc(64, std::max<size_t>(64, (bytes + 63) / 64 * 64));
  if (!p) throw std::bad_alloc();
  return AlignedBytes(static_cast<uint8_t*>(p));
}

}  // namespace

// One zimg conversion between planar YUV and RGB of fixed sizes and
// formats, with its scratch memory and the ring of RGB rows the caller's
// RGBA samples are packed from or unpacked into.
class ZimgGraph {
 public:
  struct Key {
    int width = 0, height = 0, format = -1, matrix = 0, chroma = 0;
    bool full_range = false, deep = false;
    bool operator==(const Key&) const = default;
  };

  // Null when zimg refuses the conversion.
  static std::unique_ptr<ZimgGraph> Build(const Key& key, const PlanarYuv& layout, bool to_rgb) {
    zimg_image_format yuv, rgb;
    zimg_image_format_default(&yuv, ZIMG_API_VERSION);
    zimg_image_format_default(&rgb, ZIMG_API_VERSION);
    yuv.width = rgb.width = static_cast<unsigned>(key.width);
    yuv.height = rgb.height = static_cast<unsigned>(key.height);
    yuv.pixel_type = layout.depth > 8 ? ZIMG_PIXEL_WORD : ZIMG_PIXEL_BYTE;
    yuv.depth = static_cast<unsigned>(layout.depth);
    yuv.subsample_w = static_cast<unsigned>(layout.chroma_w);
    yuv.subsample_h = static_cast<unsigned>(layout.chroma_h);
    yuv.color_family = ZIMG_COLOR_YUV;
    yuv.matrix_coefficients = ZimgMatrix(key.matrix);
    yuv.pixel_range = key.full_range ? ZIMG_RANGE_FULL : ZIMG_RANGE_LIMITED;
    yuv.chroma_location = ZimgChroma(key.chroma);
    rgb.pixel_type = key.deep ? ZIMG_PIXEL_WORD : ZIMG_PIXEL_BYTE;
    rgb.depth = key.deep ? 16 : 8;
    rgb.color_family = ZIMG_COLOR_RGB;
    rgb.matrix_coefficients = ZIMG_MATRIX_RGB;
    rgb.pixel_range = ZIMG_RANGE_FULL;
    zimg_graph_builder_params params;
    zimg_graph_builder_params_default(&params, ZIMG_API_VERSION);
    params.resample_filter_uv = ZIMG_RESIZE_BILINEAR;  // chroma interpolated linearly between its sites
    params.dither_type = ZIMG_DITHER_NONE;             // rounded to nearest
    params.cpu_type = ZIMG_CPU_AUTO;
    zimg_filter_graph* graph = to_rgb ? zimg_filter_graph_build(&yuv, &rgb, &params) : zimg_filter_graph_build(&rgb, &yuv, &params);
    if (!graph) return nullptr;
    std::unique_ptr<ZimgGraph> g(new ZimgGraph(key, graph));
    size_t tmp = 0;
    unsigned lines = 0;
    if (zimg_filter_graph_get_tmp_size(graph, &tmp) ||
        (to_rgb ? zimg_filter_graph_get_output_buffering(graph, &lines) : zimg_filter_graph_get_input_buffering(graph, &lines)))
      return nullptr;
    g->tmp_ = AllocateAligned(tmp);
    g->mask_ = zimg_select_buffer_mask(lines);
    const size_t rows = g->mask_ == ZIMG_BUFFER_MAX ? static_cast<size_t>(key.height) : size_t{g->mask_} + 1;
    g->stride_ = (static_cast<size_t>(key.width) * (key.deep ? 2 : 1) + 63) / 64 * 64;
    g->ring_ = AllocateAligned(3 * rows * g->stride_);
    g->plane_bytes_ = rows * g->stride_;
    return g;
  }
  ~ZimgGraph() { zimg_filter_graph_free(graph_); }

  const Key& key() const { return key_; }
  uint8_t* Row(int plane, unsigned y) const {
    return ring_.get() + static_cast<size_t>(plane) * plane_bytes_ + static_cast<size_t>(y & mask_) * stride_;
  }
  // The ring of RGB rows as zimg's buffer description.
  template <class Buffer>
  void RingInto(Buffer& b) const {
    for (int p = 0; p < 3; ++p) {
      b.plane[p].data = Row(p, 0);
      b.plane[p].stride = static_cast<ptrdiff_t>(stride_);
      b.plane[p].mask = mask_;
    }
  }
  bool Process(const zimg_image_buffer_const& in, const zimg_image_buffer& out, zimg_filter_graph_callback unpack,
               zimg_filter_graph_callback pack, void* user) const {
    return zimg_filter_graph_process(graph_, &in, &out, tmp_.get(), unpack, user, pack, user) == ZIMG_ERROR_SUCCESS;
  }

 private:
  ZimgGraph(const Key& key, zimg_filter_graph* graph) : key_(key), graph_(graph) {}
  Key key_;
  zimg_filter_graph* graph_;
  AlignedBytes tmp_, ring_;
  unsigned mask_ = ZIMG_BUFFER_MAX;
  size_t stride_ = 0, plane_bytes_ = 0;
};

namespace {

// What the row callbacks need: the ring, the RGBA samples and the frame's alpha plane.
struct RowJob {
  const ZimgGraph* graph;
  uint8_t* rgba_out = nullptr;        // decoding: the samples written
  const uint8_t* rgba_in = nullptr;   // encoding: the samples read
  size_t row_bytes = 0;               // from one row of samples to the next
  const uint8_t* alpha_in = nullptr;  // decoding: the frame's alpha plane, if any
  uint8_t* alpha_out = nullptr;       // encoding: the frame's alpha plane, if any
  int alpha_stride = 0;
  uint32_t alpha_max = 255;           // full scale of the frame's alpha
  bool deep = false;                  // 16-bit samples
};

// Sixteen 8-bit pixels at a time between zimg's planes and RGBA samples:
// byte shuffles a compiler turns into the processor's unpack and pack
// instructions, where a loop of single bytes would stay a loop of single
// bytes. The bytes are those the one-pixel loops write.
typedef uint8_t Bytes16 __attribute__((vector_size(16)));
typedef uint32_t Words4 __attribute__((vector_size(16)));
typedef uint16_t Shorts8 __attribute__((vector_size(16)));

inline Bytes16 Load16(const void* p) {
  Bytes16 v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// R, G, B and an opaque alpha of 16 pixels into 64 bytes of RGBA.
inline void Interleave16(const uint8_t* r, const uint8_t* g, const uint8_t* b, uint8_t* out) {
  const Bytes16 R = Load16(r), G = Load16(g), B = Load16(b), A = ~Bytes16{};
  const Bytes16 rg_lo = __builtin_shufflevector(R, G, 0, 16, 1, 17, 2, 18, 3, 19, 4, 20, 5, 21, 6, 22, 7, 23);
  const Bytes16 rg_hi = __builtin_shufflevector(R, G, 8, 24, 9, 25, 10, 26, 11, 27, 12, 28, 13, 29, 14, 30, 15, 31);
  const Bytes16 ba_lo = __builtin_shufflevector(B, A, 0, 16, 1, 17, 2, 18, 3, 19, 4, 20, 5, 21, 6, 22, 7, 23);
  const Bytes16 ba_hi = __builtin_shufflevector(B, A, 8, 24, 9, 25, 10, 26, 11, 27, 12, 28, 13, 29, 14, 30, 15, 31);
  const Bytes16 o[4] = {
      __builtin_shufflevector(rg_lo, ba_lo, 0, 1, 16, 17, 2, 3, 18, 19, 4, 5, 20, 21, 6, 7, 22, 23),
      __builtin_shufflevector(rg_lo, ba_lo, 8, 9, 24, 25, 10, 11, 26, 27, 12, 13, 28, 29, 14, 15, 30, 31),
      __builtin_shufflevector(rg_hi, ba_hi, 0, 1, 16, 17, 2, 3, 18, 19, 4, 5, 20, 21, 6, 7, 22, 23),
      __builtin_shufflevector(rg_hi, ba_hi, 8, 9, 24, 25, 10, 11, 26, 27, 12, 13, 28, 29, 14, 15, 30, 31)};
  std::memcpy(out, o, sizeof o);
}

// 64 bytes of RGBA (16 pixels) into their R, G and B bytes. Each channel is
// masked out of the pixels' 32-bit words and narrowed, as the processor's
// pack instructions narrow, to 16 and then 8 bits.
inline void Deinterleave16(const uint8_t* in, uint8_t* r, uint8_t* g, uint8_t* b) {
  Words4 w[4];
  std::memcpy(w, in, sizeof w);
  const auto channel = [&w](int shift) {
    const Words4 m = Words4{} + 0xFF;
    const auto pair = [&](int i) {
      return __builtin_convertvector(
          __builtin_shufflevector((w[i] >> shift) & m, (w[i + 1] >> shift) & m, 0, 1, 2, 3, 4, 5, 6, 7), Shorts8);
    };
    const Shorts8 lo = pair(0), hi = pair(2);
    return __builtin_convertvector(
        __builtin_shufflevector(lo, hi, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15), Bytes16);
  };
  const Bytes16 R = channel(0), G = channel(8), B = channel(16);
  std::memcpy(r, &R, 16);
  std::memcpy(g, &G, 16);
  std::memcpy(b, &B, 16);
}

template <class T>
void UnpackRgbRow(const RowJob& job, unsigned y, unsigned left, unsigned right) {
  const T* __restrict r = reinterpret_cast<const T*>(job.graph->Row(0, y));
  const T* __restrict g = reinterpret_cast<const T*>(job.graph->Row(1, y));
  const T* __restrict b = reinterpret_cast<const T*>(job.graph->Row(2, y));
  T* __restrict out = reinterpret_cast<T*>(job.rgba_out + y * job.row_bytes);
  const uint32_t full = job.deep ? 65535 : 255;
  if (!job.alpha_in) {  // the common case, in a loop of its own without the alpha's test
    unsigned x = left;
    if constexpr (sizeof(T) == 1)
      for (; x + 16 <= right; x += 16) Interleave16(r + x, g + x, b + x, out + 4 * x);
    for (; x < right; ++x) {
      out[x * 4 + 0] = r[x];
      out[x * 4 + 1] = g[x];
      out[x * 4 + 2] = b[x];
      out[x * 4 + 3] = static_cast<T>(full);
    }
    return;
  }
  const T* alpha = reinterpret_cast<const T*>(job.alpha_in + static_cast<ptrdiff_t>(y) * job.alpha_stride);
  for (unsigned x = left; x < right; ++x) {
    out[x * 4 + 0] = r[x];
    out[x * 4 + 1] = g[x];
    out[x * 4 + 2] = b[x];
    out[x * 4 + 3] = static_cast<T>(Rescale(alpha[x], job.alpha_max, full));
  }
}

// After zimg wrote RGB rows of the ring: those rows into the RGBA samples.
int UnpackRgb(void* user, unsigned y, unsigned left, unsigned right) {
  const RowJob& job = *static_cast<const RowJob*>(user);
  if (job.deep) UnpackRgbRow<uint16_t>(job, y, left, right);
  else UnpackRgbRow<uint8_t>(job, y, left, right);
  return 0;
}

template <class T, class A>
void PackRgbRow(const RowJob& job, unsigned y, unsigned left, unsigned right) {
  T* __restrict r = reinterpret_cast<T*>(job.graph->Row(0, y));
  T* __restrict g = reinterpret_cast<T*>(job.graph->Row(1, y));
  T* __restrict b = reinterpret_cast<T*>(job.graph->Row(2, y));
  const T* __restrict in = reinterpret_cast<const T*>(job.rgba_in + y * job.row_bytes);
  if (!job.alpha_out) {  // the common case, in a loop of its own without the alpha's test
    unsigned x = left;
    if constexpr (sizeof(T) == 1)
      for (; x + 16 <= right; x += 16) Deinterleave16(in + 4 * x, r + x, g + x, b + x);
    for (; x < right; ++x) {
      r[x] = in[x * 4 + 0];
      g[x] = in[x * 4 + 1];
      b[x] = in[x * 4 + 2];
    }
    return;
  }
  A* alpha = reinterpret_cast<A*>(job.alpha_out + static_cast<ptrdiff_t>(y) * job.alpha_stride);
  const uint32_t full = job.deep ? 65535 : 255;
  for (unsigned x = left; x < right; ++x) {
    r[x] = in[x * 4 + 0];
    g[x] = in[x * 4 + 1];
    b[x] = in[x * 4 + 2];
    alpha[x] = static_cast<A>(Rescale(in[x * 4 + 3], full, job.alpha_max));
  }
}

// Before zimg reads RGB rows of the ring: those rows from the RGBA samples.
int PackRgb(void* user, unsigned y, unsigned left, unsigned right) {
  const RowJob& job = *static_cast<const RowJob*>(user);
  const bool wide_alpha = job.alpha_max > 255;
  if (job.deep) wide_alpha ? PackRgbRow<uint16_t, uint16_t>(job, y, left, right) : PackRgbRow<uint16_t, uint8_t>(job, y, left, right);
  else wide_alpha ? PackRgbRow<uint8_t, uint16_t>(job, y, left, right) : PackRgbRow<uint8_t, uint8_t>(job, y, left, right);
  return 0;
}

// The zimg graph for `key`, kept while the frames keep their kind.
ZimgGraph* GraphFor(std::unique_ptr<ZimgGraph>& graph, const ZimgGraph::Key& key, const PlanarYuv& layout, bool to_rgb) {
  if (!graph || !(graph->key() == key)) graph = ZimgGraph::Build(key, layout, to_rgb);
  return graph.get();
}

}  // namespace

FrameToRgba::FrameToRgba() = default;
FrameToRgba::~FrameToRgba() { sws_freeContext(sws_); }

bool FrameToRgba::Convert(const AVFrame* f, const YuvDescription& yuv, bool deep, PackedFrame& out) {
  out.Resize(f->width, f->height, deep ? SampleType::kUInt16 : SampleType::kUInt8);
  const std::optional<PlanarYuv> layout = PlanarYuvOf(f->format);
  if (!layout || !ZimgTakes(*layout, f->width, f->height, f->data, f->linesize)) return ConvertSws(f, yuv, out);
  const ZimgGraph::Key key{f->width, f->height, f->format, yuv.matrix, yuv.chroma_location, yuv.full_range, deep};
  const ZimgGraph* graph = GraphFor(zimg_, key, *layout, /*to_rgb=*/true);
  if (!graph) return ConvertSws(f, yuv, out);
  zimg_image_buffer_const in{};
  in.version = ZIMG_API_VERSION;
  for (int p = 0; p < 3; ++p) in.plane[p] = {f->data[p], f->linesize[p], ZIMG_BUFFER_MAX};
  zimg_image_buffer ring{};
  ring.version = ZIMG_API_VERSION;
  graph->RingInto(ring);
  RowJob job{graph};
  job.rgba_out = out.bytes.data();
  job.row_bytes = out.row_bytes();
  job.deep = deep;
  if (layout->alpha) {
    job.alpha_in = f->data[3];
    job.alpha_stride = f->linesize[3];
    job.alpha_max = (1u << layout->depth) - 1;
  }
  return graph->Process(in, ring, nullptr, UnpackRgb, &job) || ConvertSws(f, yuv, out);
}

bool FrameToRgba::ConvertSws(const AVFrame* f, const YuvDescription& yuv, PackedFrame& out) {
  const bool deep = out.type != SampleType::kUInt8;
  const AVPixFmtDescriptor* desc = PixelFormatOf(f->format);
  if (!desc) return false;
  const AVPixelFormat to = deep ? AV_PIX_FMT_RGBA64 : AV_PIX_FMT_RGBA;
  sws_ = sws_getCachedContext(sws_, f->width, f->height, static_cast<AVPixelFormat>(f->format), f->width, f->height, to,
                              SWS_BICUBIC | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT | SWS_FULL_CHR_H_INP, nullptr, nullptr,
                              nullptr);
  if (!sws_) return false;
  if (!(desc->flags & AV_PIX_FMT_FLAG_RGB))
    sws_setColorspaceDetails(sws_, sws_getCoefficients(SwsMatrixOf(yuv.matrix)), yuv.full_range ? 1 : 0,
                             sws_getCoefficients(SWS_CS_DEFAULT), 1, 0, 1 << 16, 1 << 16);
  uint8_t* planes[4] = {out.bytes.data(), nullptr, nullptr, nullptr};
  int strides[4] = {static_cast<int>(out.row_bytes()), 0, 0, 0};
  sws_scale(sws_, f->data, f->linesize, 0, f->height, planes, strides);
  return true;
}

RgbaToFrame::RgbaToFrame() = default;
RgbaToFrame::~RgbaToFrame() { sws_freeContext(sws_); }

bool RgbaToFrame::Convert(const PackedFrame& image, const YuvDescription& yuv, AVFrame* f) {
  const bool deep = image.type != SampleType::kUInt8;
  const std::optional<PlanarYuv> layout = PlanarYuvOf(f->format);
  if (!layout || !ZimgTakes(*layout, f->width, f->height, f->data, f->linesize)) return ConvertSws(image, yuv, f);
  const ZimgGraph::Key key{f->width, f->height, f->format, yuv.matrix, yuv.chroma_location, yuv.full_range, deep};
  const ZimgGraph* graph = GraphFor(zimg_, key, *layout, /*to_rgb=*/false);
  if (!graph) return ConvertSws(image, yuv, f);
  zimg_image_buffer_const ring{};
  ring.version = ZIMG_API_VERSION;
  graph->RingInto(ring);
  zimg_image_buffer out{};
  out.version = ZIMG_API_VERSION;
  for (int p = 0; p < 3; ++p) out.plane[p] = {f->data[p], f->linesize[p], ZIMG_BUFFER_MAX};
  RowJob job{graph};
  job.rgba_in = image.bytes.data();
  job.row_bytes = image.row_bytes();
  job.deep = deep;
  if (layout->alpha) {
    job.alpha_out = f->data[3];
    job.alpha_stride = f->linesize[3];
    job.alpha_max = (1u << layout->depth) - 1;
  }
  return graph->Process(ring, out, PackRgb, nullptr, &job) || ConvertSws(image, yuv, f);
}

bool RgbaToFrame::ConvertSws(const PackedFrame& image, const YuvDescription& yuv, AVFrame* f) {
  const int w = f->width, h = f->height;
  const bool deep = image.type != SampleType::kUInt8;
  const AVPixelFormat from = deep ? AV_PIX_FMT_RGBA64 : AV_PIX_FMT_RGBA;
  const auto to = static_cast<AVPixelFormat>(f->format);
  sws_ = sws_getCachedContext(sws_, w, h, from, w, h, to, SWS_BICUBIC | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INP, nullptr,
                              nullptr, nullptr);
  if (!sws_) return false;
  const AVPixFmtDescriptor* desc = PixelFormatOf(f->format);
  if (desc && !(desc->flags & AV_PIX_FMT_FLAG_RGB) && !(desc->flags & AV_PIX_FMT_FLAG_PAL))
    sws_setColorspaceDetails(sws_, sws_getCoefficients(SWS_CS_DEFAULT), 1, sws_getCoefficients(SwsMatrixOf(yuv.matrix)),
                             yuv.full_range ? 1 : 0, 0, 1 << 16, 1 << 16);
  const uint8_t* planes[4] = {image.bytes.data(), nullptr, nullptr, nullptr};
  const int strides[4] = {static_cast<int>(image.row_bytes()), 0, 0, 0};
  sws_scale(sws_, planes, strides, 0, h, f->data, f->linesize);
  return true;
}

}  // namespace pluvane::media
