// Reading a video file with libavformat and libavcodec: the index of its
// frames read before anything is decoded, and any frame found by seeking to
// the key frame before it and decoding forward to its time stamp.
#include "media/io_module.h"
#include "media/video.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/pixdesc.h>
}

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <system_error>

#include "media/error.h"
#include "media/ffmpeg_common.h"
#include "media/layer_limits.h"
#include "media/video_colour.h"

namespace fs = std::filesystem;

namespace pluvane::media {

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
  FrameToRgba rgb;              // the colour conversion, kept frame to frame
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
    switch (const int matrix = Tags(f).matrix) {
      case AVCOL_SPC_BT709:
      case AVCOL_SPC_FCC:
      case AVCOL_SPC_BT470BG:
      case AVCOL_SPC_SMPTE170M:
      case AVCOL_SPC_SMPTE240M:
      case AVCOL_SPC_BT2020_NCL:
      case AVCOL_SPC_BT2020_CL: return matrix;
      default: return f->height >= 720 ? AVCOL_SPC_BT709 : AVCOL_SPC_SMPTE170M;
    }
  }

  bool FullRange(const AVFrame* f) const {
    const int range = Tags(f).range;
    if (range == AVCOL_RANGE_JPEG) return true;
    if (range == AVCOL_RANGE_MPEG) return false;
    return f->format == AV_PIX_FMT_YUVJ420P || f->format == AV_PIX_FMT_YUVJ422P || f->format == AV_PIX_FMT_YUVJ444P;
  }

  // Where the frame's chroma samples sit, else where the stream says.
  int ChromaLocationOf(const AVFrame* f) const {
    const int own = KnownChromaLocation(RawValue(f->chroma_location));
    return own != AVCHROMA_LOC_UNSPECIFIED ? own : KnownChromaLocation(RawValue(stream->codecpar->chroma_location));
  }

  // The decoded frame as RGBA samples into `into`.
  void Convert(const AVFrame* f, PackedFrame& into) {
    const YuvDescription yuv{MatrixOf(f), FullRange(f), ChromaLocationOf(f)};
    if (!rgb.Convert(f, yuv, info.bits > 8, into)) {
      const AVPixFmtDescriptor* desc = PixelFormatOf(f->format);
      throw Fail(std::string("cannot convert ") + (desc ? desc->name : "an unknown pixel format") + " to RGB");
    }
  }
};

// A video file decoded with libavformat and libavcodec.
class FfmpegReader final : public VideoReader::Impl {
 public:
  explicit FfmpegReader(const std::string& path);
  const VideoInfo& info() const override { return m_.info; }
  void Read(long long frame, PackedFrame& into) override;

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

void FfmpegReader::Read(long long f, PackedFrame& into) {
  ReaderState& m = m_;
  const auto past_end = [&] {
    return Error("frame " + std::to_string(f) + " is past the end of " + Quoted(m.path) + ", which has " +
                 std::to_string(m.info.frames) + " frames (0-" + std::to_string(m.info.frames - 1) +
                 "); give --frames within them");
  };
  if (f < 0 || f >= m.info.frames) throw past_end();
  // The same frame again (a clip conformed to a higher rate shows a frame
  // more than once): converted again from the decoded frame kept.
  if (f == m.last_position) return m.Convert(m.last, into);
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
  m.Convert(m.frame, into);
  if (m.position == f || reached == ReaderState::Reached::kFrame) {
    av_frame_unref(m.last);
    av_frame_move_ref(m.last, m.frame);
    m.last_position = f;
    m.have_frame = false;
  }
}

std::unique_ptr<VideoReader::Impl> OpenVideoFile(const std::string& path) { return std::make_unique<FfmpegReader>(path); }

}  // namespace pluvane::media
