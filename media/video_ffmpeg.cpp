#include "media/video.h"
#include "media/io_module.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <system_error>
#include <type_traits>

#include "media/error.h"
#include "media/layer_limits.h"

namespace fs = std::filesystem;

namespace pluvane::media {
namespace {

std::string AvError(int err) {
  char buf[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(err, buf, sizeof buf);
  return buf;
}

// The libraries' own messages go to stderr unless asked not to; pluvane prints
// its one line instead.
void QuietLibraries() {
  static const bool once = [] {
    av_log_set_level(AV_LOG_FATAL);
    return true;
  }();
  (void)once;
}

// The matrix the encoders can convert RGB with for a matrix a stream names;
// BT.709 for any other.
int SwsMatrixOf(AVColorSpace matrix) {
  switch (matrix) {
    case AVCOL_SPC_FCC: return SWS_CS_FCC;
    case AVCOL_SPC_BT470BG:
    case AVCOL_SPC_SMPTE170M: return SWS_CS_ITU601;
    case AVCOL_SPC_SMPTE240M: return SWS_CS_SMPTE240M;
    case AVCOL_SPC_BT2020_NCL: return SWS_CS_BT2020;
    default: return SWS_CS_ITU709;
  }
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
void LimitAllocations() {
  static std::mutex mutex;
  static size_t set = 0;
  const size_t most = std::max<size_t>(size_t{64} << 20, static_cast<size_t>(LayerPixels()) * 8 * 2);
  std::lock_guard<std::mutex> lock(mutex);
  if (most != set) av_max_alloc(most);
  set = most;
}

// Opens `path` and reads its streams' parameters. Every decoder FFmpeg opens
// to find them refuses a frame larger than the layer limit before allocating
// it (max_pixels), and a file may name at most 64 streams.
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

// ---- what a file says, checked before use ----------------------------------------
// FFmpeg copies a file's colour tags into enumeration-typed fields without
// checking them: a damaged file leaves any number there (181 where the
// enumeration ends at 17). Loading such a field as its enumeration, or casting
// the number to one, is undefined behaviour; so the field's bytes are read as
// an integer, and a number FFmpeg has no name for counts as unnamed.
template <class Enum>
int RawValue(const Enum& field) {
  std::underlying_type_t<Enum> value;
  std::memcpy(&value, &field, sizeof value);
  return static_cast<int>(value);
}

// The colour of a stream or a frame, as numbers FFmpeg has names for.
struct ColourTags {
  int primaries = AVCOL_PRI_UNSPECIFIED, transfer = AVCOL_TRC_UNSPECIFIED;
  int matrix = AVCOL_SPC_UNSPECIFIED, range = AVCOL_RANGE_UNSPECIFIED;
};

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

template <class Holder>  // AVCodecParameters or AVFrame
ColourTags TagsOf(const Holder& h, int matrix_raw) {
  return ColourTags{KnownPrimaries(RawValue(h.color_primaries)), KnownTransfer(RawValue(h.color_trc)),
                    KnownMatrix(matrix_raw), KnownRange(RawValue(h.color_range))};
}
ColourTags TagsOf(const AVCodecParameters* p) { return TagsOf(*p, RawValue(p->color_space)); }
ColourTags TagsOf(const AVFrame* f) { return TagsOf(*f, RawValue(f->colorspace)); }

// A pixel format number FFmpeg describes; null for any other.
const AVPixFmtDescriptor* PixelFormatOf(int format) {
  return format >= 0 && format < AV_PIX_FMT_NB ? av_pix_fmt_desc_get(static_cast<AVPixelFormat>(format)) : nullptr;
}

}  // namespace


// ---- reading -----------------------------------------------------------------------

// One packet of the video stream as the index keeps it: its time stamps and
// whether decoding can start at it.
struct IndexPacket {
  int64_t pts = AV_NOPTS_VALUE;
  int64_t dts = AV_NOPTS_VALUE;
  int64_t duration = 0;
  bool key = false;
};

// The common frame rates a clip of uneven time stamps is conformed to when its
// average rate lies within 0.5 % of one.
constexpr AVRational kCommonRates[] = {{24000, 1001}, {24, 1}, {25, 1}, {30000, 1001}, {30, 1},
                                       {50, 1},       {60000, 1001}, {60, 1}};

// `frames` frames over `span` units of `time_base`: the nearest common rate
// within 0.5 %, else the fraction with the smallest denominator (up to 1001)
// within 0.01 %, else the nearest such fraction.
AVRational AverageRate(long long frames, int64_t span, AVRational time_base) {
  const double fps = static_cast<double>(frames) / (static_cast<double>(span) * av_q2d(time_base));
  const AVRational* nearest = nullptr;
  for (const AVRational& common : kCommonRates)
    if (!nearest || std::fabs(fps / av_q2d(common) - 1) < std::fabs(fps / av_q2d(*nearest) - 1)) nearest = &common;
  if (std::fabs(fps / av_q2d(*nearest) - 1) <= 0.005) return *nearest;
  AVRational best{static_cast<int>(std::lround(fps)), 1};
  double error = std::fabs(fps - best.num);
  for (int den = 2; den <= 1001 && error > 1e-4 * fps; ++den) {
    const int num = static_cast<int>(std::lround(fps * den));
    if (num > 0 && std::fabs(fps - static_cast<double>(num) / den) < error - 1e-12) {
      best = AVRational{num, den};
      error = std::fabs(fps - static_cast<double>(num) / den);
    }
  }
  if (best.num <= 0) best = AVRational{1, 1};
  av_reduce(&best.num, &best.den, best.num, best.den, INT32_MAX);
  return best;
}

struct ReaderState {
  std::string path;
  VideoInfo info;
  AVFormatContext* format = nullptr;
  AVCodecContext* decoder = nullptr;
  AVStream* stream = nullptr;
  AVPacket* packet = nullptr;
  AVFrame* frame = nullptr;
  AVFrame* last = nullptr;     // the frame last handed out, kept for a repeated read
  long long last_position = -1;
  SwsContext* sws = nullptr;
  AVRational frame_duration{1, 30};  // 1 / the stream's rate
  // The index, read from the packets before anything is decoded.
  std::vector<IndexPacket> packets;  // in decode order
  std::vector<int64_t> pts;          // every frame's time stamp, in presentation order
  std::vector<int> decode_order;     // each frame's place in `packets`
  std::vector<int> keys;             // the places in `packets` where decoding can start
  bool timed = true;                 // false: some packet has no time stamp, frames are counted
  bool have_frame = false;     // `frame` holds a decoded frame not yet handed out ...
  long long position = -1;     // ... at this place in presentation order
  long long counted = 0;       // frames decoded since the last seek (for streams without time stamps)
  bool ended = false;

  ~ReaderState() {
    sws_freeContext(sws);
    av_frame_free(&frame);
    av_frame_free(&last);
    av_packet_free(&packet);
    avcodec_free_context(&decoder);
    avformat_close_input(&format);
  }

  Error Fail(const std::string& why) const {
    return Error("cannot read " + Quoted(path) + " as a video (" + why + "); the file may be damaged or truncated");
  }

  static int64_t TimeOf(const AVFrame* f) {
    return f->best_effort_timestamp != AV_NOPTS_VALUE ? f->best_effort_timestamp : f->pts;
  }

  // The place of a decoded frame in presentation order: the last frame of the
  // index stamped at or before it; -1 before the first.
  long long PositionOf(const AVFrame* f) {
    if (!timed) return counted;
    const int64_t t = TimeOf(f);
    if (t == AV_NOPTS_VALUE) return counted;
    return static_cast<long long>(std::upper_bound(pts.begin(), pts.end(), t) - pts.begin()) - 1;
  }

  // Reads every packet of the stream (without decoding) for the time stamps
  // of its frames and the places decoding can start. Packets the container
  // marks to be dropped (before an edit list's start) are no frames.
  void ReadIndex() {
    AVFormatContext* scan = nullptr;
    std::unique_ptr<AVFormatContext*, void (*)(AVFormatContext**)> close(&scan, avformat_close_input);
    int r = OpenAndProbe(&scan, path);
    if (r < 0) throw Fail(AvError(r));
    // Every packet takes some of the file's bytes: a file whose tables claim
    // more packets than it has bytes is refused before the index outgrows it.
    std::error_code ec;
    const auto file_bytes = static_cast<uintmax_t>(fs::file_size(path, ec));
    const size_t most_packets = std::min<uintmax_t>(ec ? uintmax_t{INT32_MAX} : file_bytes, INT32_MAX);
    if (static_cast<unsigned>(stream->index) >= scan->nb_streams) throw Fail("the streams changed while reading");
    for (unsigned i = 0; i < scan->nb_streams; ++i)
      scan->streams[i]->discard = static_cast<int>(i) == stream->index ? AVDISCARD_DEFAULT : AVDISCARD_ALL;
    AVPacket* p = av_packet_alloc();
    if (!p) throw std::bad_alloc();
    std::unique_ptr<AVPacket*, void (*)(AVPacket**)> free(&p, av_packet_free);
    while ((r = av_read_frame(scan, p)) >= 0) {
      if (p->stream_index == stream->index && !(p->flags & AV_PKT_FLAG_DISCARD)) {
        IndexPacket e;
        e.pts = p->pts != AV_NOPTS_VALUE ? p->pts : p->dts;
        e.dts = p->dts;
        e.duration = p->duration;
        e.key = p->flags & AV_PKT_FLAG_KEY;
        if (e.pts == AV_NOPTS_VALUE) timed = false;
        if (packets.size() >= most_packets) {
          av_packet_unref(p);
          throw Fail("it names more video packets than the file has bytes");
        }
        packets.push_back(e);
      }
      av_packet_unref(p);
    }
    if (r != AVERROR_EOF && packets.empty()) throw Fail(AvError(r));
  }

  // The frames' times from the index: presentation order, counted from the
  // first frame, and the clip's duration and rate.
  void MakeTimes(int64_t first) {
    std::vector<int> order;
    for (size_t i = 0; i < packets.size(); ++i) {
      if (timed && packets[i].pts < first) continue;  // frames the decoder drops before the first it gives
      order.push_back(static_cast<int>(i));
      if (packets[i].key) keys.push_back(static_cast<int>(i));
    }
    if (timed) {
      std::stable_sort(order.begin(), order.end(), [&](int a, int b) { return packets[a].pts < packets[b].pts; });
      for (int i : order) pts.push_back(packets[i].pts);
    }
    decode_order = order;
    const long long n = static_cast<long long>(order.size());
    info.frames = n;
    if (n == 0) return;
    const AVRational tb = timed ? stream->time_base : frame_duration;
    info.time_base_num = tb.num;
    info.time_base_den = tb.den;
    // Time stamps come from the file: ones too far apart to subtract are refused.
    int64_t span = 0;
    if (timed && __builtin_sub_overflow(pts.back(), pts.front(), &span)) throw Fail("its time stamps are out of range");
    info.times.resize(static_cast<size_t>(n));
    for (long long i = 0; i < n; ++i) info.times[static_cast<size_t>(i)] = timed ? pts[static_cast<size_t>(i)] - pts[0] : i;
    // The last frame lasts its packet's duration, else the average step of the others.
    const int64_t one = av_rescale_q(1, frame_duration, tb);
    int64_t last = timed ? packets[static_cast<size_t>(order.back())].duration : 1;
    if (last <= 0) last = n > 1 ? info.times.back() / (n - 1) : one;
    if (last <= 0) last = std::max<int64_t>(one, 1);
    if (__builtin_add_overflow(info.times.back(), last, &info.duration)) throw Fail("its time stamps are out of range");
    // The clip's rate is the grid its stamps lie on, if they lie on one: the
    // stream's base rate, the common rate nearest its average, or its stated
    // average, whichever leaves the fewest gaps (the first of them on a tie).
    // Frames across a gap are held. Stamps on no grid are of variable rate:
    // the average, snapped. Frames without stamps are counted at the stated rate.
    if (!timed) return;
    const AVRational average = AverageRate(n, info.duration, tb);
    const AVRational candidates[] = {stream->r_frame_rate, average, AVRational{frame_duration.den, frame_duration.num}};
    long long best_gaps = -1;
    for (const AVRational& rate : candidates) {
      const long long gaps = GapsOnGrid(rate, tb);
      if (gaps >= 0 && (best_gaps < 0 || gaps < best_gaps)) {
        best_gaps = gaps;
        AVRational reduced = rate;
        av_reduce(&reduced.num, &reduced.den, rate.num, rate.den, INT32_MAX);
        info.fps_num = reduced.num;
        info.fps_den = reduced.den;
      }
    }
    info.gaps = std::max(best_gaps, 0LL);
    info.variable_rate = best_gaps < 0;
    if (info.variable_rate) {
      info.fps_num = average.num;
      info.fps_den = average.den;
    }
  }

  // The gaps in the clip's frames on the grid of `rate`: the places where
  // the next frame is stamped more than one slot on. -1 when some stamp lies
  // off the grid by more than its time base's rounding (and at most an eighth
  // of a slot), when two frames share a slot, or for a grid faster than 240 fps.
  long long GapsOnGrid(AVRational rate, AVRational tb) const {
    if (rate.num <= 0 || rate.den <= 0 || av_q2d(rate) > 240) return -1;
    const double slot = 1 / av_q2d(rate);
    const double tolerance = std::min(std::max(av_q2d(tb), 1e-4), slot / 8);
    long long gaps = 0, previous = -1;
    for (long long t : info.times) {
      const double seconds = static_cast<double>(t) * av_q2d(tb);
      const long long k = std::llround(seconds / slot);
      if (std::fabs(seconds - static_cast<double>(k) * slot) > tolerance || k <= previous) return -1;
      if (k > previous + 1 && previous >= 0) ++gaps;
      previous = k;
    }
    return gaps;
  }

  // Decodes the next frame into `frame`; false at the end of the stream.
  bool DecodeNext() {
    while (true) {
      const int r = avcodec_receive_frame(decoder, frame);
      if (r == 0) return true;
      if (r == AVERROR_EOF) return false;
      if (r != AVERROR(EAGAIN)) throw Fail(AvError(r));
      if (ended) return false;
      const int got = av_read_frame(format, packet);
      if (got == AVERROR_EOF) {
        ended = true;
        avcodec_send_packet(decoder, nullptr);
        continue;
      }
      if (got < 0) throw Fail(AvError(got));
      if (packet->stream_index == stream->index) {
        const int sent = avcodec_send_packet(decoder, packet);
        if (sent < 0 && sent != AVERROR(EAGAIN) && sent != AVERROR_INVALIDDATA) {
          av_packet_unref(packet);
          throw Fail(AvError(sent));
        }
      }
      av_packet_unref(packet);
    }
  }

  void SeekTo(int64_t ts) {
    const int r = av_seek_frame(format, stream->index, ts, AVSEEK_FLAG_BACKWARD);
    if (r < 0) throw Fail("seek: " + AvError(r));
    avcodec_flush_buffers(decoder);
    av_frame_unref(frame);
    ended = false;
    have_frame = false;
    counted = 0;
  }

  // Seeks to the place decoding must start from for frame `target`: the
  // last key frame decoded before it and shown no later than it (frames of an
  // open group of pictures need the group before). `back` more key frames
  // earlier when a seek landed too late. False when there is none: the start.
  bool SeekBefore(long long target, int back) {
    if (!timed) {
      SeekTo(packets.empty() || packets[0].dts == AV_NOPTS_VALUE ? 0 : packets[0].dts);
      return false;
    }
    const int at = decode_order[static_cast<size_t>(target)];
    const int64_t shown = pts[static_cast<size_t>(target)];
    auto k = std::upper_bound(keys.begin(), keys.end(), at);
    while (k != keys.begin()) {
      --k;
      if (packets[static_cast<size_t>(*k)].pts > shown) continue;
      if (back-- > 0) continue;
      const IndexPacket& key = packets[static_cast<size_t>(*k)];
      SeekTo(key.dts != AV_NOPTS_VALUE ? key.dts : key.pts);
      return true;
    }
    const IndexPacket& first = packets[static_cast<size_t>(decode_order.empty() ? 0 : *std::min_element(decode_order.begin(), decode_order.end()))];
    SeekTo(first.dts != AV_NOPTS_VALUE ? std::min(first.dts, first.pts) : first.pts);
    return false;
  }

  enum class Reached { kFrame, kMissing, kPassed, kEnded };
  // Decodes forward to frame `target`: kFrame when it is in `frame`; kMissing
  // when the stream went from a frame before it to one after it (the decoder
  // left it out: the one after stands in); kPassed when the first frame
  // decoded already lies after it; kEnded at the end of the stream.
  Reached DecodeTo(long long target) {
    bool before = false;
    while (true) {
      if (!have_frame) {
        if (!DecodeNext()) return Reached::kEnded;
        have_frame = true;
        position = PositionOf(frame);
        ++counted;
      }
      if (position == target) return Reached::kFrame;
      if (position > target) return before ? Reached::kMissing : Reached::kPassed;
      before = true;
      have_frame = false;
      av_frame_unref(frame);
    }
  }

  // The colour description of the decoded frame, else of the stream.
  ColourTags Tags(const AVFrame* f) const {
    ColourTags t = TagsOf(f);
    const ColourTags s = TagsOf(stream->codecpar);
    if (t.matrix == AVCOL_SPC_UNSPECIFIED) t.matrix = s.matrix;
    if (t.range == AVCOL_RANGE_UNSPECIFIED) t.range = s.range;
    return t;
  }

  // The matrix the frame names; a stream that names none is taken as BT.709
  // from 720 lines up and BT.601 below, as players and FFmpeg's tools do.
  int MatrixOf(const AVFrame* f) const {
    switch (Tags(f).matrix) {
      case AVCOL_SPC_BT709: return SWS_CS_ITU709;
      case AVCOL_SPC_FCC: return SWS_CS_FCC;
      case AVCOL_SPC_BT470BG:
      case AVCOL_SPC_SMPTE170M: return SWS_CS_ITU601;
      case AVCOL_SPC_SMPTE240M: return SWS_CS_SMPTE240M;
      case AVCOL_SPC_BT2020_NCL:
      case AVCOL_SPC_BT2020_CL: return SWS_CS_BT2020;
      default: return f->height >= 720 ? SWS_CS_ITU709 : SWS_CS_ITU601;
    }
  }

  bool FullRange(const AVFrame* f) const {
    const int range = Tags(f).range;
    if (range == AVCOL_RANGE_JPEG) return true;
    if (range == AVCOL_RANGE_MPEG) return false;
    return f->format == AV_PIX_FMT_YUVJ420P || f->format == AV_PIX_FMT_YUVJ422P || f->format == AV_PIX_FMT_YUVJ444P;
  }

  FileImage Convert(const AVFrame* f) {
    const AVPixFmtDescriptor* desc = PixelFormatOf(f->format);
    if (!desc) throw Fail("unknown pixel format");
    const auto fmt = static_cast<AVPixelFormat>(f->format);
    const bool deep = info.bits > 8;
    const AVPixelFormat to = deep ? AV_PIX_FMT_RGBA64 : AV_PIX_FMT_RGBA;
    sws = sws_getCachedContext(sws, f->width, f->height, fmt, f->width, f->height, to,
                               SWS_BICUBIC | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT | SWS_FULL_CHR_H_INP, nullptr, nullptr,
                               nullptr);
    if (!sws) throw Fail(std::string("cannot convert ") + desc->name + " to RGB");
    if (!(desc->flags & AV_PIX_FMT_FLAG_RGB)) {
      const int* coefficients = sws_getCoefficients(MatrixOf(f));
      sws_setColorspaceDetails(sws, coefficients, FullRange(f) ? 1 : 0, sws_getCoefficients(SWS_CS_DEFAULT), 1, 0,
                               1 << 16, 1 << 16);
    }
    FileImage img{f->width, f->height, deep ? SampleType::kUInt16 : SampleType::kUInt8, {}};
    const size_t pixels = static_cast<size_t>(img.width) * img.height;
    img.rgba.resize(pixels * 4);
    const int bytes = deep ? 8 : 4;
    std::vector<uint8_t> rgba(pixels * bytes);
    uint8_t* planes[4] = {rgba.data(), nullptr, nullptr, nullptr};
    int strides[4] = {img.width * bytes, 0, 0, 0};
    sws_scale(sws, f->data, f->linesize, 0, f->height, planes, strides);
    if (deep) {
      const auto* s = reinterpret_cast<const uint16_t*>(rgba.data());
      std::copy(s, s + pixels * 4, img.rgba.begin());
    } else {
      std::copy(rgba.begin(), rgba.end(), img.rgba.begin());
    }
    return img;
  }
};

// A video file decoded with libavformat and libavcodec.
class FfmpegReader final : public VideoReader::Impl {
 public:
  explicit FfmpegReader(const std::string& path);
  const VideoInfo& info() const override { return m_.info; }
  FileImage Read(long long frame) override;

 private:
  ReaderState m_;
};

FfmpegReader::FfmpegReader(const std::string& path) {
  QuietLibraries();
  ReaderState& m = m_;
  m.path = path;
  std::error_code ec;
  if (!fs::exists(path, ec)) throw Error("input " + Quoted(path) + " does not exist; check the file name and folder");
  if (fs::is_directory(path, ec)) throw Error("input " + Quoted(path) + " is a folder; give a video or image file");
  int r = OpenAndProbe(&m.format, path);
  if (r < 0) throw m.Fail(AvError(r));
  const AVCodec* codec = nullptr;
  const int index = av_find_best_stream(m.format, AVMEDIA_TYPE_VIDEO, -1, -1, &codec, 0);
  if (index == AVERROR_STREAM_NOT_FOUND || (index >= 0 && (m.format->streams[index]->disposition & AV_DISPOSITION_ATTACHED_PIC)))
    throw Error("input " + Quoted(path) + " holds no video stream; give a video or image file");
  if (index < 0 || !codec)
    throw Error("cannot decode the video of " + Quoted(path) + ": this build's FFmpeg has no decoder for it");
  m.stream = m.format->streams[index];
  for (unsigned i = 0; i < m.format->nb_streams; ++i)
    m.format->streams[i]->discard = static_cast<int>(i) == index ? AVDISCARD_DEFAULT : AVDISCARD_ALL;
  m.decoder = avcodec_alloc_context3(codec);
  m.packet = av_packet_alloc();
  m.frame = av_frame_alloc();
  m.last = av_frame_alloc();
  if (!m.decoder || !m.packet || !m.frame || !m.last) throw std::bad_alloc();
  // The size the container claims is checked before the decoder allocates
  // anything for it; the decoded size is checked again below.
  if (m.stream->codecpar->width > 0 || m.stream->codecpar->height > 0)
    CheckLayerSize(m.stream->codecpar->width, m.stream->codecpar->height, "input " + Quoted(path));
  avcodec_parameters_to_context(m.decoder, m.stream->codecpar);
  m.decoder->thread_count = 0;  // the decoder's own choice of threads
  m.decoder->max_pixels = LayerPixels();
  r = avcodec_open2(m.decoder, codec, nullptr);
  if (r < 0) throw m.Fail(AvError(r));

  AVRational rate = m.stream->avg_frame_rate;
  if (rate.num <= 0 || rate.den <= 0) rate = m.stream->r_frame_rate;
  if (rate.num <= 0 || rate.den <= 0) rate = AVRational{25, 1};
  av_reduce(&rate.num, &rate.den, rate.num, rate.den, INT32_MAX);
  m.frame_duration = AVRational{rate.den, rate.num};

  VideoInfo& info = m.info;
  info.codec = codec->name;
  info.fps_num = rate.num;
  info.fps_den = rate.den;
  info.width = m.stream->codecpar->width;
  info.height = m.stream->codecpar->height;
  const AVPixFmtDescriptor* desc = PixelFormatOf(m.stream->codecpar->format);
  info.bits = desc ? desc->comp[0].depth : 8;
  info.has_audio = av_find_best_stream(m.format, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0) >= 0;
  const ColourTags stream_tags = TagsOf(m.stream->codecpar);
  info.primaries = stream_tags.primaries;
  info.transfer = stream_tags.transfer;
  info.matrix = stream_tags.matrix;
  info.range = stream_tags.range;

  m.ReadIndex();
  // The first frame fixes frame 0's time stamp; it stays decoded for Read(0).
  if (!m.DecodeNext()) throw Error("input " + Quoted(path) + " holds no video frames; give a video with frames");
  const int64_t first = ReaderState::TimeOf(m.frame);
  if (first == AV_NOPTS_VALUE) m.timed = false;
  m.MakeTimes(first);
  if (info.frames <= 0) throw Error("input " + Quoted(path) + " holds no video frames; give a video with frames");
  m.have_frame = true;
  m.position = 0;
  m.counted = 1;
  info.width = m.frame->width;
  info.height = m.frame->height;
  CheckLayerSize(info.width, info.height, "input " + Quoted(path));
  info.start_seconds = first == AV_NOPTS_VALUE ? 0.0 : first * av_q2d(m.stream->time_base);
  const ColourTags frame_tags = TagsOf(m.frame);
  if (frame_tags.primaries != AVCOL_PRI_UNSPECIFIED) info.primaries = frame_tags.primaries;
  if (frame_tags.transfer != AVCOL_TRC_UNSPECIFIED) info.transfer = frame_tags.transfer;
  if (frame_tags.matrix != AVCOL_SPC_UNSPECIFIED) info.matrix = frame_tags.matrix;
  if (frame_tags.range != AVCOL_RANGE_UNSPECIFIED) info.range = frame_tags.range;
}

FileImage FfmpegReader::Read(long long f) {
  ReaderState& m = m_;
  const auto past_end = [&] {
    return Error("frame " + std::to_string(f) + " is past the end of " + Quoted(m.path) + ", which has " +
                 std::to_string(m.info.frames) + " frames (0-" + std::to_string(m.info.frames - 1) +
                 "); give --frames within them");
  };
  if (f < 0 || f >= m.info.frames) throw past_end();
  // The same frame again (a clip conformed to a higher rate shows a frame
  // more than once): converted again from the decoded frame kept.
  if (f == m.last_position) return m.Convert(m.last);
  // Decoding on is quicker than a seek for a short way ahead; within a group of
  // pictures a seek would decode the same frames anyway.
  constexpr long long kDecodeAhead = 48;
  const long long at = m.have_frame ? m.position : m.last_position + 1;
  ReaderState::Reached reached;
  if (f < at || f > at + kDecodeAhead) {
    bool keyed = m.SeekBefore(f, 0);
    reached = m.DecodeTo(f);
    // A seek that landed after the frame (the container's index and ours
    // disagree): earlier key frames, then the start.
    for (int back = 1; reached == ReaderState::Reached::kPassed && keyed && back <= 3; ++back) {
      keyed = m.SeekBefore(f, back);
      reached = m.DecodeTo(f);
    }
    if (reached == ReaderState::Reached::kPassed && keyed) {
      m.SeekBefore(f, static_cast<int>(m.keys.size()));
      reached = m.DecodeTo(f);
    }
  } else {
    reached = m.DecodeTo(f);
  }
  // A frame the decoder leaves out: the next one stands in.
  if (reached == ReaderState::Reached::kEnded || (reached == ReaderState::Reached::kPassed && !m.have_frame))
    throw past_end();
  FileImage img = m.Convert(m.frame);
  if (m.position == f || reached == ReaderState::Reached::kFrame) {
    av_frame_unref(m.last);
    av_frame_move_ref(m.last, m.frame);
    m.last_position = f;
    m.have_frame = false;
  }
  return img;
}

// ---- writing -----------------------------------------------------------------------

struct WriterState {
  VideoSettings s;
  int width = 0, height = 0;
  AVFormatContext* out = nullptr;
  AVCodecContext* encoder = nullptr;
  AVStream* video = nullptr;
  SwsContext* sws = nullptr;
  AVFrame* frame = nullptr;
  AVPacket* packet = nullptr;
  int64_t next_pts = 0;
  int matrix = SWS_CS_ITU709;  // the matrix RGB is encoded with
  bool yuv = true;             // the encoder takes YUV made with `matrix`; else RGB as it is
  // GIF: the frames go through FFmpeg's palette filters on the way to the encoder.
  AVFilterGraph* graph = nullptr;
  AVFilterContext* graph_in = nullptr;
  AVFilterContext* graph_out = nullptr;
  AVFrame* paletted = nullptr;
  bool opened = false, finished = false;
  std::string audio_note;
  // Audio carried over.
  AVFormatContext* audio_in = nullptr;
  AVStream* audio_src = nullptr;
  AVStream* audio_out = nullptr;
  int64_t audio_start = 0;  // in the source's time base
  bool audio_done = false;
  // Audio re-encoded (WebM's Opus): decoded, resampled to 48 kHz, encoded in
  // the encoder's frames. Samples count from the first rendered frame's time.
  AVCodecContext* audio_decoder = nullptr;
  AVCodecContext* audio_encoder = nullptr;
  SwrContext* swr = nullptr;
  AVAudioFifo* fifo = nullptr;
  AVFrame* decoded = nullptr;
  AVFrame* resampled = nullptr;
  int64_t samples_in = 0, samples_out = 0;
  int64_t skip = -1;        // samples before the first rendered frame's time; -1 until the first is decoded
  static constexpr int kOpusRate = 48000;

  ~WriterState() {
    sws_freeContext(sws);
    avfilter_graph_free(&graph);
    av_frame_free(&paletted);
    av_frame_free(&frame);
    av_packet_free(&packet);
    avcodec_free_context(&encoder);
    if (out) {
      if (opened) avio_closep(&out->pb);
      avformat_free_context(out);
    }
    avformat_close_input(&audio_in);
    avcodec_free_context(&audio_decoder);
    avcodec_free_context(&audio_encoder);
    swr_free(&swr);
    if (fifo) av_audio_fifo_free(fifo);
    av_frame_free(&decoded);
    av_frame_free(&resampled);
    if (!finished) {
      std::error_code ec;
      fs::remove(s.temp, ec);
    }
  }

  Error Fail(const std::string& why) const {
    return Error("cannot write " + Quoted(s.path) + " (" + why + "); check the folder and free disk space");
  }

  // Copies the source's audio packets up to `until` seconds of the output:
  // on the way, up to the first packet that reaches it; at the end (`last`),
  // only those that start before it.
  void CopyAudio(double until, bool last) {
    if (audio_encoder) return EncodeAudio(until, last);
    if (!audio_in || audio_done) return;
    while (true) {
      const int r = av_read_frame(audio_in, packet);
      if (r < 0) {
        audio_done = true;
        return;
      }
      if (packet->stream_index != audio_src->index || packet->pts == AV_NOPTS_VALUE) {
        av_packet_unref(packet);
        continue;
      }
      const int64_t pts = packet->pts - audio_start;
      const double t = pts * av_q2d(audio_src->time_base);
      const double d = packet->duration * av_q2d(audio_src->time_base);
      if (t + d <= 1e-9) {  // wholly before the first rendered frame
        av_packet_unref(packet);
        continue;
      }
      if (last && t >= until - 1e-9) {
        av_packet_unref(packet);
        audio_done = true;
        return;
      }
      packet->pts = pts;
      packet->dts = packet->dts == AV_NOPTS_VALUE ? pts : packet->dts - audio_start;
      av_packet_rescale_ts(packet, audio_src->time_base, audio_out->time_base);
      packet->stream_index = audio_out->index;
      packet->pos = -1;
      const int w = av_interleaved_write_frame(out, packet);
      av_packet_unref(packet);
      if (w < 0) throw Fail(AvError(w));
      if (t >= until) return;
    }
  }

  void Drain() {
    while (true) {
      const int r = avcodec_receive_packet(encoder, packet);
      if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) return;
      if (r < 0) throw Fail(AvError(r));
      av_packet_rescale_ts(packet, encoder->time_base, video->time_base);
      packet->stream_index = video->index;
      const double t = packet->pts * av_q2d(video->time_base);
      const int w = av_interleaved_write_frame(out, packet);
      av_packet_unref(packet);
      if (w < 0) throw Fail(AvError(w));
      CopyAudio(t, false);
    }
  }

  // Re-encodes the source's audio up to `until` seconds of the output; at
  // the end (`last`) exactly up to it, and flushes the encoder.
  void EncodeAudio(double until, bool last) {
    const int64_t limit = std::llround(until * kOpusRate);
    while (!audio_done && samples_in < limit) {
      const int r = av_read_frame(audio_in, packet);
      if (r < 0) {
        audio_done = true;
        avcodec_send_packet(audio_decoder, nullptr);
      } else if (packet->stream_index != audio_src->index) {
        av_packet_unref(packet);
        continue;
      } else {
        avcodec_send_packet(audio_decoder, packet);  // a damaged packet is skipped, as players do
        av_packet_unref(packet);
      }
      while (avcodec_receive_frame(audio_decoder, decoded) >= 0) {
        if (skip < 0) {
          const int64_t pts = decoded->pts == AV_NOPTS_VALUE ? audio_start : decoded->pts;
          skip = std::max<int64_t>(0, std::llround(static_cast<double>(audio_start - pts) * av_q2d(audio_src->time_base) * kOpusRate));
        }
        av_frame_unref(resampled);
        resampled->format = AV_SAMPLE_FMT_FLT;
        resampled->sample_rate = kOpusRate;
        if (av_channel_layout_copy(&resampled->ch_layout, &audio_encoder->ch_layout) < 0) throw std::bad_alloc();
        const int c = swr_convert_frame(swr, resampled, decoded);
        av_frame_unref(decoded);
        if (c < 0) throw Fail(AvError(c));
        const int64_t dropped = std::min<int64_t>(skip, resampled->nb_samples);
        skip -= dropped;
        const int count = resampled->nb_samples - static_cast<int>(dropped);
        void* from = resampled->data[0] + dropped * resampled->ch_layout.nb_channels * sizeof(float);
        if (count > 0 && av_audio_fifo_write(fifo, &from, count) < count) throw std::bad_alloc();
        samples_in += std::max(count, 0);
      }
    }
    const int size = audio_encoder->frame_size;
    while (true) {
      const int64_t left = last ? std::min<int64_t>(av_audio_fifo_size(fifo), limit - samples_out) : av_audio_fifo_size(fifo);
      const int n = static_cast<int>(std::min<int64_t>(left, size));
      if (n <= 0 || (!last && n < size)) break;
      AVFrame* f = av_frame_alloc();
      std::unique_ptr<AVFrame*, void (*)(AVFrame**)> free_frame(&f, av_frame_free);
      if (!f) throw std::bad_alloc();
      f->nb_samples = n;
      f->format = AV_SAMPLE_FMT_FLT;
      f->sample_rate = kOpusRate;
      if (av_channel_layout_copy(&f->ch_layout, &audio_encoder->ch_layout) < 0 || av_frame_get_buffer(f, 0) < 0)
        throw std::bad_alloc();
      av_audio_fifo_read(fifo, reinterpret_cast<void**>(f->data), n);
      f->pts = samples_out;
      samples_out += n;
      const int r = avcodec_send_frame(audio_encoder, f);
      if (r < 0) throw Fail(AvError(r));
      WriteAudioPackets();
      if (n < size) break;
    }
    if (last) {
      avcodec_send_frame(audio_encoder, nullptr);
      WriteAudioPackets();
      audio_done = true;
    }
  }

  void WriteAudioPackets() {
    while (avcodec_receive_packet(audio_encoder, packet) >= 0) {
      av_packet_rescale_ts(packet, audio_encoder->time_base, audio_out->time_base);
      packet->stream_index = audio_out->index;
      const int w = av_interleaved_write_frame(out, packet);
      av_packet_unref(packet);
      if (w < 0) throw Fail(AvError(w));
    }
  }

  // The decoder, resampler and Opus encoder for the source's audio; false
  // (with the note saying why) when it cannot be re-encoded.
  bool OpenOpus(const char* name) {
    const AVCodec* decoder = avcodec_find_decoder(audio_src->codecpar->codec_id);
    const AVCodec* encoder = avcodec_find_encoder_by_name("libopus");
    if (!decoder || !encoder) {
      audio_note = std::string("audio left out: this build's FFmpeg cannot re-encode ") + name + " audio as Opus; write .mkv to keep it";
      return false;
    }
    audio_decoder = avcodec_alloc_context3(decoder);
    audio_encoder = avcodec_alloc_context3(encoder);
    decoded = av_frame_alloc();
    resampled = av_frame_alloc();
    if (!audio_decoder || !audio_encoder || !decoded || !resampled) throw std::bad_alloc();
    avcodec_parameters_to_context(audio_decoder, audio_src->codecpar);
    audio_decoder->pkt_timebase = audio_src->time_base;
    if (avcodec_open2(audio_decoder, decoder, nullptr) < 0 || audio_decoder->ch_layout.nb_channels <= 0) {
      audio_note = std::string("audio left out: its ") + name + " audio cannot be decoded";
      return false;
    }
    // Mono stays mono; anything more is mixed down to stereo.
    av_channel_layout_default(&audio_encoder->ch_layout, std::min(audio_decoder->ch_layout.nb_channels, 2));
    audio_encoder->sample_rate = kOpusRate;
    audio_encoder->sample_fmt = AV_SAMPLE_FMT_FLT;
    audio_encoder->bit_rate = 64000 * audio_encoder->ch_layout.nb_channels;
    audio_encoder->time_base = AVRational{1, kOpusRate};
    if (out->oformat->flags & AVFMT_GLOBALHEADER) audio_encoder->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    int r = avcodec_open2(audio_encoder, encoder, nullptr);
    if (r >= 0)
      r = swr_alloc_set_opts2(&swr, &audio_encoder->ch_layout, AV_SAMPLE_FMT_FLT, kOpusRate, &audio_decoder->ch_layout,
                              audio_decoder->sample_fmt, audio_decoder->sample_rate, 0, nullptr);
    if (r >= 0) r = swr_init(swr);
    if (r < 0) {
      audio_note = std::string("audio left out: its ") + name + " audio cannot be re-encoded as Opus (" + AvError(r) + ")";
      return false;
    }
    fifo = av_audio_fifo_alloc(AV_SAMPLE_FMT_FLT, audio_encoder->ch_layout.nb_channels, audio_encoder->frame_size);
    if (!fifo) throw std::bad_alloc();
    audio_out = avformat_new_stream(out, nullptr);
    if (!audio_out || avcodec_parameters_from_context(audio_out->codecpar, audio_encoder) < 0) throw std::bad_alloc();
    audio_out->time_base = audio_encoder->time_base;
    audio_note = std::string("audio: ") + name + " re-encoded as opus";
    return true;
  }

  // Hands a frame (nullptr: the end) to the encoder, through the palette
  // filters for a GIF, and writes what comes out.
  void Encode(AVFrame* f) {
    if (!graph) {
      const int r = avcodec_send_frame(encoder, f);
      if (r < 0) throw Fail(AvError(r));
      Drain();
      return;
    }
    int r = av_buffersrc_add_frame_flags(graph_in, f, AV_BUFFERSRC_FLAG_KEEP_REF);
    if (r < 0) throw Fail(AvError(r));
    while ((r = av_buffersink_get_frame(graph_out, paletted)) >= 0) {
      r = avcodec_send_frame(encoder, paletted);
      av_frame_unref(paletted);
      if (r < 0) throw Fail(AvError(r));
      Drain();
    }
    if (r != AVERROR(EAGAIN) && r != AVERROR_EOF) throw Fail(AvError(r));
    if (!f) {
      r = avcodec_send_frame(encoder, nullptr);
      if (r < 0) throw Fail(AvError(r));
      Drain();
    }
  }

  // One palette of 256 colours for the whole GIF, made from its first frame,
  // and ordered (Bayer) dithering: a pixel that does not change between
  // frames keeps its colour, so still parts do not crawl, and only the
  // changed rectangle of each frame is dithered anew.
  void OpenPalette(AVRational time_base) {
    graph = avfilter_graph_alloc();
    paletted = av_frame_alloc();
    if (!graph || !paletted) throw std::bad_alloc();
    const std::string args = "video_size=" + std::to_string(width) + "x" + std::to_string(height) +
                             ":pix_fmt=" + std::to_string(AV_PIX_FMT_RGB24) + ":time_base=" + std::to_string(time_base.num) +
                             "/" + std::to_string(time_base.den) + ":pixel_aspect=1/1";
    int r = avfilter_graph_create_filter(&graph_in, avfilter_get_by_name("buffer"), "in", args.c_str(), nullptr, graph);
    if (r >= 0) r = avfilter_graph_create_filter(&graph_out, avfilter_get_by_name("buffersink"), "out", nullptr, nullptr, graph);
    AVFilterInOut* inputs = avfilter_inout_alloc();
    AVFilterInOut* outputs = avfilter_inout_alloc();
    if (!inputs || !outputs) r = AVERROR(ENOMEM);
    if (r >= 0) {
      outputs->name = av_strdup("in");
      outputs->filter_ctx = graph_in;
      inputs->name = av_strdup("out");
      inputs->filter_ctx = graph_out;
      r = avfilter_graph_parse_ptr(graph,
                                   "split[a][b];[a]trim=end_frame=1,palettegen=stats_mode=full:reserve_transparent=0[p];"
                                   "[b][p]paletteuse=dither=bayer:bayer_scale=3:diff_mode=rectangle",
                                   &inputs, &outputs, nullptr);
    }
    avfilter_inout_free(&inputs);
    avfilter_inout_free(&outputs);
    if (r >= 0) r = avfilter_graph_config(graph, nullptr);
    if (r < 0) throw Error(std::string("this build's FFmpeg cannot make a GIF palette (") + AvError(r) +
                           "); write another of .webp, .apng, .mp4, or an image sequence");
  }

  void OpenAudio() {
    if (s.audio_from.empty()) return;
    if (s.codec == VideoCodec::kGif || s.codec == VideoCodec::kWebp || s.codec == VideoCodec::kApng) {
      audio_note = std::string("audio left out: ") + VideoCodecName(s.codec) + " holds no sound; write .mp4, .webm or .mkv to keep it";
      return;
    }
    if (avformat_open_input(&audio_in, s.audio_from.c_str(), nullptr, nullptr) < 0 ||
        avformat_find_stream_info(audio_in, nullptr) < 0) {
      avformat_close_input(&audio_in);
      return;
    }
    const int index = av_find_best_stream(audio_in, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    if (index < 0) {
      avformat_close_input(&audio_in);
      return;
    }
    audio_src = audio_in->streams[index];
    for (unsigned i = 0; i < audio_in->nb_streams; ++i)
      audio_in->streams[i]->discard = static_cast<int>(i) == index ? AVDISCARD_DEFAULT : AVDISCARD_ALL;
    const AVCodecID id = audio_src->codecpar->codec_id;
    const char* name = avcodec_get_name(id);
    if (s.codec == VideoCodec::kVp9) {
      if (!OpenOpus(name)) {
        avformat_close_input(&audio_in);
        return;
      }
      audio_start = static_cast<int64_t>(std::llround(s.audio_start / av_q2d(audio_src->time_base)));
      if (audio_start > 0) av_seek_frame(audio_in, index, audio_start, AVSEEK_FLAG_BACKWARD);
      return;
    }
    if (avformat_query_codec(out->oformat, id, FF_COMPLIANCE_NORMAL) != 1) {
      audio_note = std::string("audio left out: ") + name + " audio cannot go into this container; write .mkv to keep it";
      avformat_close_input(&audio_in);
      return;
    }
    audio_out = avformat_new_stream(out, nullptr);
    if (!audio_out || avcodec_parameters_copy(audio_out->codecpar, audio_src->codecpar) < 0) throw std::bad_alloc();
    audio_out->codecpar->codec_tag = 0;
    audio_out->time_base = audio_src->time_base;
    audio_start = static_cast<int64_t>(std::llround(s.audio_start / av_q2d(audio_src->time_base)));
    if (audio_start > 0) av_seek_frame(audio_in, index, audio_start, AVSEEK_FLAG_BACKWARD);
    audio_note = std::string("audio: ") + name + " copied";
  }
};

// A video file encoded with libavcodec and written with libavformat.
class FfmpegWriter final : public VideoWriter::Impl {
 public:
  explicit FfmpegWriter(const VideoSettings& settings);
  int width() const override { return m_.width; }
  int height() const override { return m_.height; }
  const std::string& audio_note() const override { return m_.audio_note; }
  void Write(const FileImage& frame) override;
  long long Finish() override;

 private:
  WriterState m_;
};

FfmpegWriter::FfmpegWriter(const VideoSettings& settings) {
  QuietLibraries();
  WriterState& m = m_;
  m.s = settings;
  const struct {
    VideoCodec codec;
    const char* container;
    const char* encoder;
  } kinds[] = {{VideoCodec::kH264, "mp4", "libx264"},   {VideoCodec::kProRes, "mov", "prores_ks"},
               {VideoCodec::kFfv1, "matroska", "ffv1"}, {VideoCodec::kVp9, "webm", "libvpx-vp9"},
               {VideoCodec::kGif, "gif", "gif"},        {VideoCodec::kWebp, "webp", "libwebp_anim"},
               {VideoCodec::kApng, "apng", "apng"}};
  const auto* kind = std::find_if(std::begin(kinds), std::end(kinds), [&](const auto& k) { return k.codec == settings.codec; });
  const char* container = kind->container;
  const char* encoder_name = kind->encoder;
  const AVCodec* codec = avcodec_find_encoder_by_name(encoder_name);
  if (!codec)
    throw Error(std::string("this build's FFmpeg cannot encode ") + VideoCodecName(settings.codec) + " (no " + encoder_name +
                " encoder); write another of " + kOutputExtensions);
  m.width = settings.width;
  m.height = settings.height;
  if (settings.codec == VideoCodec::kH264) {
    m.width &= ~1;
    m.height &= ~1;
  }
  if (m.width < 2 || m.height < 2)
    throw Error("a " + std::to_string(settings.width) + "x" + std::to_string(settings.height) + " frame is too small for " +
                VideoCodecName(settings.codec) + "; render a larger frame or write an image sequence");

  if (avformat_alloc_output_context2(&m.out, nullptr, container, settings.temp.c_str()) < 0 || !m.out) throw std::bad_alloc();
  m.encoder = avcodec_alloc_context3(codec);
  m.frame = av_frame_alloc();
  m.packet = av_packet_alloc();
  if (!m.encoder || !m.frame || !m.packet) throw std::bad_alloc();
  AVCodecContext* e = m.encoder;
  e->width = m.width;
  e->height = m.height;
  e->time_base = AVRational{static_cast<int>(settings.fps_den), static_cast<int>(settings.fps_num)};
  e->framerate = AVRational{static_cast<int>(settings.fps_num), static_cast<int>(settings.fps_den)};
  e->sample_aspect_ratio = AVRational{1, 1};
  e->thread_count = 0;
  switch (settings.codec) {
    case VideoCodec::kH264:
      e->pix_fmt = AV_PIX_FMT_YUV420P;
      av_opt_set(e->priv_data, "crf", std::to_string(settings.crf).c_str(), 0);
      av_opt_set(e->priv_data, "preset", "medium", 0);
      break;
    case VideoCodec::kProRes:
      e->pix_fmt = AV_PIX_FMT_YUVA444P10LE;
      av_opt_set(e->priv_data, "profile", "4444", 0);
      av_opt_set_int(e->priv_data, "alpha_bits", 16, 0);
      av_opt_set(e->priv_data, "vendor", "apl0", 0);
      break;
    case VideoCodec::kFfv1:
      // FFmpeg 5.1's FFV1 takes 8-bit RGBA packed (bgra) and 16-bit planar.
      e->pix_fmt = settings.type == SampleType::kUInt8 ? AV_PIX_FMT_BGRA : AV_PIX_FMT_GBRAP16LE;
      av_opt_set_int(e->priv_data, "level", 3, 0);
      av_opt_set_int(e->priv_data, "slicecrc", 1, 0);
      e->gop_size = 1;
      break;
    case VideoCodec::kVp9:
      // Constant quality: the CRF with no bit rate target.
      e->pix_fmt = AV_PIX_FMT_YUV420P;
      e->bit_rate = 0;
      av_opt_set_int(e->priv_data, "crf", settings.crf, 0);
      av_opt_set_int(e->priv_data, "row-mt", 1, 0);
      av_opt_set_int(e->priv_data, "cpu-used", 4, 0);
      break;
    case VideoCodec::kGif:
      e->pix_fmt = AV_PIX_FMT_PAL8;
      break;
    case VideoCodec::kWebp:
      e->pix_fmt = AV_PIX_FMT_BGRA;
      if (settings.crf == 0) av_opt_set_int(e->priv_data, "lossless", 1, 0);
      else av_opt_set_double(e->priv_data, "quality", std::max(0, 100 - 2 * settings.crf), 0);
      break;
    case VideoCodec::kApng:
      e->pix_fmt = settings.type == SampleType::kUInt8 ? AV_PIX_FMT_RGBA : AV_PIX_FMT_RGBA64BE;
      break;
  }
  // Every output names its colour, in the container and in the codec's own
  // headers (ProRes takes it from each frame), so that no reader guesses.
  // RGB outputs (FFV1, APNG) name sRGB's transfer unless told another;
  // GIF and WebP have no place for it.
  const int primaries = KnownPrimaries(settings.primaries), transfer = KnownTransfer(settings.transfer);
  const bool named_transfer = transfer != AVCOL_TRC_UNSPECIFIED;
  e->color_primaries =
      primaries != AVCOL_PRI_UNSPECIFIED ? static_cast<AVColorPrimaries>(primaries) : AVCOL_PRI_BT709;
  m.yuv = settings.codec == VideoCodec::kH264 || settings.codec == VideoCodec::kProRes || settings.codec == VideoCodec::kVp9;
  if (!m.yuv) {
    e->colorspace = AVCOL_SPC_RGB;
    e->color_range = AVCOL_RANGE_JPEG;
    e->color_trc = named_transfer ? static_cast<AVColorTransferCharacteristic>(transfer) : AVCOL_TRC_IEC61966_2_1;
  } else {
    const int matrix = KnownMatrix(settings.matrix);
    m.matrix = SwsMatrixOf(static_cast<AVColorSpace>(matrix));
    e->colorspace = m.matrix == SWS_CS_ITU709 ? AVCOL_SPC_BT709 : static_cast<AVColorSpace>(matrix);
    e->color_range = AVCOL_RANGE_MPEG;
    e->color_trc = named_transfer ? static_cast<AVColorTransferCharacteristic>(transfer) : AVCOL_TRC_BT709;
  }
  if (m.out->oformat->flags & AVFMT_GLOBALHEADER) e->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  int r = avcodec_open2(e, codec, nullptr);
  if (r < 0)
    throw Error("cannot encode a " + std::to_string(m.width) + "x" + std::to_string(m.height) + " video as " +
                VideoCodecName(settings.codec) + " (" + AvError(r) + "); pick another size or output");
  m.video = avformat_new_stream(m.out, nullptr);
  if (!m.video) throw std::bad_alloc();
  avcodec_parameters_from_context(m.video->codecpar, e);
  m.video->time_base = e->time_base;
  m.video->avg_frame_rate = e->framerate;
  m.OpenAudio();

  if (settings.codec == VideoCodec::kGif) m.OpenPalette(e->time_base);
  m.frame->format = settings.codec == VideoCodec::kGif ? AV_PIX_FMT_RGB24 : e->pix_fmt;
  m.frame->width = m.width;
  m.frame->height = m.height;
  m.frame->color_primaries = e->color_primaries;
  m.frame->color_trc = e->color_trc;
  m.frame->colorspace = e->colorspace;
  m.frame->color_range = e->color_range;
  if (av_frame_get_buffer(m.frame, 0) < 0) throw std::bad_alloc();

  r = avio_open(&m.out->pb, settings.temp.c_str(), AVIO_FLAG_WRITE);
  if (r < 0) throw m.Fail(AvError(r));
  m.opened = true;
  AVDictionary* options = nullptr;
  if (settings.codec == VideoCodec::kH264 || settings.codec == VideoCodec::kProRes)
    av_dict_set(&options, "movflags", "+faststart", 0);
  // Animations loop forever.
  if (settings.codec == VideoCodec::kGif || settings.codec == VideoCodec::kWebp) av_dict_set(&options, "loop", "0", 0);
  if (settings.codec == VideoCodec::kApng) av_dict_set(&options, "plays", "0", 0);
  r = avformat_write_header(m.out, &options);
  av_dict_free(&options);
  if (r < 0) throw m.Fail(AvError(r));
}

void FfmpegWriter::Write(const FileImage& image) {
  WriterState& m = m_;
  if (av_frame_make_writable(m.frame) < 0) throw std::bad_alloc();
  const int w = m.width, h = m.height;
  const bool deep = image.type != SampleType::kUInt8;
  if (m.s.codec == VideoCodec::kFfv1) {
    // Lossless: the samples go into the planes as they are.
    for (int y = 0; y < h; ++y) {
      const float* src = &image.rgba[static_cast<size_t>(y) * image.width * 4];
      if (m.frame->format == AV_PIX_FMT_GBRAP16LE) {
        auto* g = reinterpret_cast<uint16_t*>(m.frame->data[0] + y * m.frame->linesize[0]);
        auto* b = reinterpret_cast<uint16_t*>(m.frame->data[1] + y * m.frame->linesize[1]);
        auto* r = reinterpret_cast<uint16_t*>(m.frame->data[2] + y * m.frame->linesize[2]);
        auto* a = reinterpret_cast<uint16_t*>(m.frame->data[3] + y * m.frame->linesize[3]);
        for (int x = 0; x < w; ++x) {
          r[x] = static_cast<uint16_t>(src[x * 4 + 0]);
          g[x] = static_cast<uint16_t>(src[x * 4 + 1]);
          b[x] = static_cast<uint16_t>(src[x * 4 + 2]);
          a[x] = static_cast<uint16_t>(src[x * 4 + 3]);
        }
      } else {
        uint8_t* row = m.frame->data[0] + y * m.frame->linesize[0];
        for (int x = 0; x < w; ++x) {
          row[x * 4 + 0] = static_cast<uint8_t>(src[x * 4 + 2]);
          row[x * 4 + 1] = static_cast<uint8_t>(src[x * 4 + 1]);
          row[x * 4 + 2] = static_cast<uint8_t>(src[x * 4 + 0]);
          row[x * 4 + 3] = static_cast<uint8_t>(src[x * 4 + 3]);
        }
      }
    }
  } else {
    const AVPixelFormat from = deep ? AV_PIX_FMT_RGBA64 : AV_PIX_FMT_RGBA;
    m.sws = sws_getCachedContext(m.sws, w, h, from, w, h, static_cast<AVPixelFormat>(m.frame->format),
                                 SWS_BICUBIC | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INP, nullptr, nullptr, nullptr);
    if (!m.sws) throw m.Fail("no conversion to the codec's pixel format");
    if (m.yuv)
      sws_setColorspaceDetails(m.sws, sws_getCoefficients(SWS_CS_DEFAULT), 1, sws_getCoefficients(m.matrix), 0, 0,
                               1 << 16, 1 << 16);
    const int bytes = deep ? 8 : 4;
    std::vector<uint8_t> packed(static_cast<size_t>(w) * h * bytes);
    for (int y = 0; y < h; ++y) {
      const float* src = &image.rgba[static_cast<size_t>(y) * image.width * 4];
      if (deep) {
        auto* d = reinterpret_cast<uint16_t*>(&packed[static_cast<size_t>(y) * w * bytes]);
        for (int i = 0; i < w * 4; ++i) d[i] = static_cast<uint16_t>(src[i]);
      } else {
        uint8_t* d = &packed[static_cast<size_t>(y) * w * bytes];
        for (int i = 0; i < w * 4; ++i) d[i] = static_cast<uint8_t>(src[i]);
      }
    }
    const uint8_t* planes[4] = {packed.data(), nullptr, nullptr, nullptr};
    const int strides[4] = {w * bytes, 0, 0, 0};
    sws_scale(m.sws, planes, strides, 0, h, m.frame->data, m.frame->linesize);
  }
  m.frame->pts = m.next_pts++;
  m.Encode(m.frame);
}

long long FfmpegWriter::Finish() {
  WriterState& m = m_;
  if (m.next_pts == 0) return 0;  // nothing encoded: the destructor removes the file
  m.Encode(nullptr);
  int r = 0;
  m.CopyAudio(static_cast<double>(m.next_pts) * m.s.fps_den / m.s.fps_num, true);
  r = av_write_trailer(m.out);
  if (r < 0) throw m.Fail(AvError(r));
  r = avio_closep(&m.out->pb);
  m.opened = false;
  if (r < 0) throw m.Fail(AvError(r));
  std::error_code ec;
  fs::rename(m.s.temp, m.s.path, ec);
  if (ec) throw m.Fail(ec.message());
  m.finished = true;
  return m.next_pts;
}

std::unique_ptr<VideoReader::Impl> OpenVideoFile(const std::string& path) { return std::make_unique<FfmpegReader>(path); }

std::unique_ptr<VideoWriter::Impl> CreateVideoFile(const VideoSettings& settings) {
  return std::make_unique<FfmpegWriter>(settings);
}

}  // namespace pluvane::media
