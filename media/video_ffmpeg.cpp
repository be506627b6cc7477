#include "media/video.h"
#include "media/io_module.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <system_error>

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

// The matrix of a stream that does not name one: BT.709 for HD, BT.601 below.
int MatrixOf(const AVFrame* frame) {
  switch (frame->colorspace) {
    case AVCOL_SPC_BT709: return SWS_CS_ITU709;
    case AVCOL_SPC_FCC: return SWS_CS_FCC;
    case AVCOL_SPC_BT470BG:
    case AVCOL_SPC_SMPTE170M: return SWS_CS_ITU601;
    case AVCOL_SPC_SMPTE240M: return SWS_CS_SMPTE240M;
    case AVCOL_SPC_BT2020_NCL:
    case AVCOL_SPC_BT2020_CL: return SWS_CS_BT2020;
    default: return frame->height >= 720 ? SWS_CS_ITU709 : SWS_CS_ITU601;
  }
}

bool FullRange(const AVFrame* frame) {
  if (frame->color_range == AVCOL_RANGE_JPEG) return true;
  if (frame->color_range == AVCOL_RANGE_MPEG) return false;
  const auto fmt = static_cast<AVPixelFormat>(frame->format);
  return fmt == AV_PIX_FMT_YUVJ420P || fmt == AV_PIX_FMT_YUVJ422P || fmt == AV_PIX_FMT_YUVJ444P;
}

}  // namespace


// ---- reading -----------------------------------------------------------------------

struct ReaderState {
  std::string path;
  VideoInfo info;
  AVFormatContext* format = nullptr;
  AVCodecContext* decoder = nullptr;
  AVStream* stream = nullptr;
  AVPacket* packet = nullptr;
  AVFrame* frame = nullptr;
  SwsContext* sws = nullptr;
  AVRational frame_duration{1, 30};  // 1 / fps
  int64_t first_pts = AV_NOPTS_VALUE;
  bool have_frame = false;     // `frame` holds a decoded frame not yet handed out ...
  long long frame_index = -1;  // ... with this index
  long long counted = 0;       // frames delivered since the last seek (for streams without time stamps)
  bool ended = false;

  ~ReaderState() {
    sws_freeContext(sws);
    av_frame_free(&frame);
    av_packet_free(&packet);
    avcodec_free_context(&decoder);
    avformat_close_input(&format);
  }

  Error Fail(const std::string& why) const {
    return Error("cannot read " + Quoted(path) + " as a video (" + why + "); the file may be damaged or truncated");
  }

  long long IndexOf(const AVFrame* f) {
    const int64_t pts = f->best_effort_timestamp != AV_NOPTS_VALUE ? f->best_effort_timestamp : f->pts;
    if (pts == AV_NOPTS_VALUE || first_pts == AV_NOPTS_VALUE) return -1;
    return av_rescale_q_rnd(pts - first_pts, stream->time_base, frame_duration,
                            static_cast<AVRounding>(AV_ROUND_NEAR_INF | AV_ROUND_PASS_MINMAX));
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

  void Seek(int64_t ts) {
    const int r = av_seek_frame(format, stream->index, ts, AVSEEK_FLAG_BACKWARD);
    if (r < 0) throw Fail("seek: " + AvError(r));
    avcodec_flush_buffers(decoder);
    ended = false;
    have_frame = false;
  }

  // Decodes forward to frame `target`; the first decoded frame after a seek may
  // lie before it. False when the stream ends or passes it.
  bool DecodeTo(long long target) {
    while (true) {
      if (!have_frame) {
        if (!DecodeNext()) return false;
        have_frame = true;
        frame_index = IndexOf(frame);
        if (frame_index < 0) frame_index = counted;
        ++counted;
      }
      if (frame_index == target) return true;
      if (frame_index > target) return false;
      have_frame = false;
      av_frame_unref(frame);
    }
  }

  FileImage Convert() {
    const auto fmt = static_cast<AVPixelFormat>(frame->format);
    const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(fmt);
    if (!desc) throw Fail("unknown pixel format");
    const bool deep = info.bits > 8;
    const AVPixelFormat to = deep ? AV_PIX_FMT_RGBA64 : AV_PIX_FMT_RGBA;
    sws = sws_getCachedContext(sws, frame->width, frame->height, fmt, frame->width, frame->height, to,
                               SWS_BICUBIC | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT | SWS_FULL_CHR_H_INP, nullptr, nullptr,
                               nullptr);
    if (!sws) throw Fail(std::string("cannot convert ") + desc->name + " to RGB");
    if (!(desc->flags & AV_PIX_FMT_FLAG_RGB)) {
      const int* coefficients = sws_getCoefficients(MatrixOf(frame));
      sws_setColorspaceDetails(sws, coefficients, FullRange(frame) ? 1 : 0, sws_getCoefficients(SWS_CS_DEFAULT), 1, 0,
                               1 << 16, 1 << 16);
    }
    FileImage img{frame->width, frame->height, deep ? SampleType::kUInt16 : SampleType::kUInt8, {}};
    const size_t pixels = static_cast<size_t>(img.width) * img.height;
    img.rgba.resize(pixels * 4);
    const int bytes = deep ? 8 : 4;
    std::vector<uint8_t> rgba(pixels * bytes);
    uint8_t* planes[4] = {rgba.data(), nullptr, nullptr, nullptr};
    int strides[4] = {img.width * bytes, 0, 0, 0};
    sws_scale(sws, frame->data, frame->linesize, 0, frame->height, planes, strides);
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
  int r = avformat_open_input(&m.format, path.c_str(), nullptr, nullptr);
  if (r < 0) throw m.Fail(AvError(r));
  r = avformat_find_stream_info(m.format, nullptr);
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
  if (!m.decoder || !m.packet || !m.frame) throw std::bad_alloc();
  // The size the container claims is checked before the decoder allocates
  // anything for it; the decoded size is checked again below.
  if (m.stream->codecpar->width > 0 || m.stream->codecpar->height > 0)
    CheckLayerSize(m.stream->codecpar->width, m.stream->codecpar->height, "input " + Quoted(path));
  avcodec_parameters_to_context(m.decoder, m.stream->codecpar);
  m.decoder->thread_count = 0;  // the decoder's own choice of threads
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
  const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(m.stream->codecpar->format));
  info.bits = desc ? desc->comp[0].depth : 8;
  info.has_audio = av_find_best_stream(m.format, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0) >= 0;

  // The first frame fixes frame 0's time stamp; it stays decoded for Read(0).
  if (!m.DecodeNext()) throw Error("input " + Quoted(path) + " holds no video frames; give a video with frames");
  const int64_t pts = m.frame->best_effort_timestamp != AV_NOPTS_VALUE ? m.frame->best_effort_timestamp : m.frame->pts;
  m.first_pts = pts;
  m.have_frame = true;
  m.frame_index = 0;
  m.counted = 1;
  info.width = m.frame->width;
  info.height = m.frame->height;
  CheckLayerSize(info.width, info.height, "input " + Quoted(path));
  info.start_seconds = pts == AV_NOPTS_VALUE ? 0.0 : pts * av_q2d(m.stream->time_base);

  // The frame count: the container's, or else the stream's packets counted.
  info.frames = m.stream->nb_frames;
  if (info.frames <= 0) {
    AVFormatContext* count = nullptr;
    if (avformat_open_input(&count, path.c_str(), nullptr, nullptr) == 0) {
      for (unsigned i = 0; i < count->nb_streams; ++i)
        count->streams[i]->discard = static_cast<int>(i) == index ? AVDISCARD_DEFAULT : AVDISCARD_ALL;
      AVPacket* p = av_packet_alloc();
      while (p && av_read_frame(count, p) >= 0) {
        if (p->stream_index == index) ++info.frames;
        av_packet_unref(p);
      }
      av_packet_free(&p);
      avformat_close_input(&count);
    }
  }
  if (info.frames <= 0 && m.format->duration > 0)
    info.frames = av_rescale_q(m.format->duration, AV_TIME_BASE_Q, m.frame_duration);
  if (info.frames <= 0) throw Error("input " + Quoted(path) + " holds no video frames; give a video with frames");
}

FileImage FfmpegReader::Read(long long f) {
  ReaderState& m = m_;
  const auto past_end = [&] {
    return Error("frame " + std::to_string(f) + " is past the end of " + Quoted(m.path) + ", which has " +
                 std::to_string(m.info.frames) + " frames (0-" + std::to_string(m.info.frames - 1) +
                 "); give --frames within them");
  };
  if (f < 0 || f >= m.info.frames) throw past_end();
  // Decoding on is quicker than a seek for a short way ahead; within a group of
  // pictures a seek would decode the same frames anyway.
  constexpr long long kDecodeAhead = 48;
  const long long at = m.have_frame ? m.frame_index : m.frame_index + 1;
  if (f < at || f > at + kDecodeAhead) {
    const int64_t ts = m.first_pts + av_rescale_q(f, m.frame_duration, m.stream->time_base);
    m.Seek(ts);
    m.counted = f;  // only used by streams without time stamps
    if (!m.DecodeTo(f)) {
      // The key frame before the time lay further back than the index knew:
      // start from the beginning and decode forward.
      m.Seek(m.first_pts);
      m.counted = 0;
      if (!m.DecodeTo(f)) throw past_end();
    }
  } else if (!m.DecodeTo(f)) {
    if (!m.have_frame) throw past_end();
    // A frame missing from the stream's time line: the next one stands in.
  }
  FileImage img = m.Convert();
  if (m.frame_index == f) {
    m.have_frame = false;
    av_frame_unref(m.frame);
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
  bool opened = false, finished = false;
  std::string audio_note;
  // Audio carried over.
  AVFormatContext* audio_in = nullptr;
  AVStream* audio_src = nullptr;
  AVStream* audio_out = nullptr;
  int64_t audio_start = 0;  // in the source's time base
  bool audio_done = false;

  ~WriterState() {
    sws_freeContext(sws);
    av_frame_free(&frame);
    av_packet_free(&packet);
    avcodec_free_context(&encoder);
    if (out) {
      if (opened) avio_closep(&out->pb);
      avformat_free_context(out);
    }
    avformat_close_input(&audio_in);
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

  void OpenAudio() {
    if (s.audio_from.empty()) return;
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
  const char* container = settings.codec == VideoCodec::kH264 ? "mp4" : settings.codec == VideoCodec::kProRes ? "mov" : "matroska";
  const char* encoder_name = settings.codec == VideoCodec::kH264 ? "libx264" : settings.codec == VideoCodec::kProRes ? "prores_ks" : "ffv1";
  const AVCodec* codec = avcodec_find_encoder_by_name(encoder_name);
  if (!codec)
    throw Error(std::string("this build's FFmpeg cannot encode ") + VideoCodecName(settings.codec) + " (no " + encoder_name +
                " encoder); write another of .mp4, .mov, .mkv, or an image sequence");
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
  }
  if (settings.codec == VideoCodec::kFfv1) {
    e->colorspace = AVCOL_SPC_RGB;
    e->color_range = AVCOL_RANGE_JPEG;
    e->color_primaries = AVCOL_PRI_BT709;
    e->color_trc = AVCOL_TRC_IEC61966_2_1;
  } else {
    e->colorspace = AVCOL_SPC_BT709;
    e->color_range = AVCOL_RANGE_MPEG;
    e->color_primaries = AVCOL_PRI_BT709;
    e->color_trc = AVCOL_TRC_BT709;
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

  m.frame->format = e->pix_fmt;
  m.frame->width = m.width;
  m.frame->height = m.height;
  if (av_frame_get_buffer(m.frame, 0) < 0) throw std::bad_alloc();

  r = avio_open(&m.out->pb, settings.temp.c_str(), AVIO_FLAG_WRITE);
  if (r < 0) throw m.Fail(AvError(r));
  m.opened = true;
  AVDictionary* options = nullptr;
  if (settings.codec != VideoCodec::kFfv1) av_dict_set(&options, "movflags", "+faststart", 0);
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
    sws_setColorspaceDetails(m.sws, sws_getCoefficients(SWS_CS_DEFAULT), 1, sws_getCoefficients(SWS_CS_ITU709), 0, 0,
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
  const int r = avcodec_send_frame(m.encoder, m.frame);
  if (r < 0) throw m.Fail(AvError(r));
  m.Drain();
}

long long FfmpegWriter::Finish() {
  WriterState& m = m_;
  if (m.next_pts == 0) return 0;  // nothing encoded: the destructor removes the file
  int r = avcodec_send_frame(m.encoder, nullptr);
  if (r < 0) throw m.Fail(AvError(r));
  m.Drain();
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
