#include "media/ffmpeg_common.h"

#include <algorithm>
#include <mutex>
#include <vector>

#include "media/layer_limits.h"

namespace pluvane::media {

std::string AvError(int err) {
  char buf[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(err, buf, sizeof buf);
  return buf;
}

void QuietLibraries() {
  static const bool once = [] {
    av_log_set_level(AV_LOG_FATAL);
    return true;
  }();
  (void)once;
}

// ---- bounds on what a file can make FFmpeg allocate ----------------------------
// The pixels of the largest layer pluvane takes (layer_limits.h).
int64_t LayerPixels() { return static_cast<int64_t>(MaxLayerMegapixels() * 1e6); }

// FFmpeg allocates index tables, extradata, packets and frames at sizes a
// file states. No single allocation needs more than a frame of the largest
// layer at 16 bits per sample, twice over, or 64 MB for the tables of a long
// clip; a file that asks for more is refused by FFmpeg's allocator (an
// error, not an exhausted machine). av_max_alloc is process-wide and read
// without a lock, so it is written only when the limit changes.
namespace {
void LimitAllocations() {
  static std::mutex mutex;
  static size_t set = 0;
  const size_t most = std::max<size_t>(size_t{64} << 20, static_cast<size_t>(LayerPixels()) * 8 * 2);
  std::lock_guard<std::mutex> lock(mutex);
  if (most != set) av_max_alloc(most);
  set = most;
}
}  // namespace

int OpenAndProbe(AVFormatContext** format, const std::string& path) {
  LimitAllocations();
  AVDictionary* options = nullptr;
  av_dict_set_int(&options, "max_streams", 64, 0);
  int r = avformat_open_input(format, path.c_str(), nullptr, &options);
  av_dict_free(&options);
  if (r < 0) return r;
  const unsigned n = (*format)->nb_streams;
  std::vector<AVDictionary*> per_stream(n, nullptr);
  for (AVDictionary*& d : per_stream) av_dict_set_int(&d, "max_pixels", LayerPixels(), 0);
  r = avformat_find_stream_info(*format, n ? per_stream.data() : nullptr);
  for (AVDictionary*& d : per_stream) av_dict_free(&d);
  return r;
}

int KnownPrimaries(int v) {
  return v >= 0 && v < AVCOL_PRI_NB && av_color_primaries_name(static_cast<AVColorPrimaries>(v)) ? v : AVCOL_PRI_UNSPECIFIED;
}
int KnownTransfer(int v) {
  return v >= 0 && v < AVCOL_TRC_NB && av_color_transfer_name(static_cast<AVColorTransferCharacteristic>(v))
             ? v
             : AVCOL_TRC_UNSPECIFIED;
}
int KnownMatrix(int v) {
  return v >= 0 && v < AVCOL_SPC_NB && av_color_space_name(static_cast<AVColorSpace>(v)) ? v : AVCOL_SPC_UNSPECIFIED;
}
int KnownRange(int v) {
  return v >= 0 && v < AVCOL_RANGE_NB && av_color_range_name(static_cast<AVColorRange>(v)) ? v : AVCOL_RANGE_UNSPECIFIED;
}
int KnownChromaLocation(int v) {
  return v >= 0 && v < AVCHROMA_LOC_NB && av_chroma_location_name(static_cast<AVChromaLocation>(v))
             ? v
             : AVCHROMA_LOC_UNSPECIFIED;
}

namespace {
template <class Holder>  // AVCodecParameters or AVFrame
ColourTags TagsOf(const Holder& h, int matrix_raw) {
  return ColourTags{KnownPrimaries(RawValue(h.color_primaries)), KnownTransfer(RawValue(h.color_trc)),
                    KnownMatrix(matrix_raw), KnownRange(RawValue(h.color_range))};
}
}  // namespace

ColourTags TagsOf(const AVCodecParameters* p) { return TagsOf(*p, RawValue(p->color_space)); }
ColourTags TagsOf(const AVFrame* f) { return TagsOf(*f, RawValue(f->colorspace)); }

const AVPixFmtDescriptor* PixelFormatOf(int format) {
  return format >= 0 && format < AV_PIX_FMT_NB ? av_pix_fmt_desc_get(static_cast<AVPixelFormat>(format)) : nullptr;
}
}  // namespace pluvane::media
