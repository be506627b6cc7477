// Writing a video file: frames encoded with libavcodec (through FFmpeg's
// palette filters for a GIF) and written with libavformat.
#include "media/video_writer.h"

extern "C" {
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
#include <libavutil/opt.h>
}

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "media/ffmpeg_common.h"
#include "media/io_module.h"

namespace fs = std::filesystem;

namespace pluvane::media {

WriterState::~WriterState() {
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

Error WriterState::Fail(const std::string& why) const {
  return Error("cannot write " + Quoted(s.path) + " (" + why + "); check the folder and free disk space");
}

void WriterState::Drain() {
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

void WriterState::Encode(AVFrame* f) {
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

void WriterState::OpenPalette(AVRational time_base) {
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

namespace {

// The container and encoder of each codec.
struct Kind {
  VideoCodec codec;
  const char* container;
  const char* encoder;
};
constexpr Kind kKinds[] = {{VideoCodec::kH264, "mp4", "libx264"},   {VideoCodec::kProRes, "mov", "prores_ks"},
                           {VideoCodec::kFfv1, "matroska", "ffv1"}, {VideoCodec::kVp9, "webm", "libvpx-vp9"},
                           {VideoCodec::kGif, "gif", "gif"},        {VideoCodec::kWebp, "webp", "libwebp_anim"},
                           {VideoCodec::kApng, "apng", "apng"}};

const Kind& KindOf(VideoCodec codec) {
  return *std::find_if(std::begin(kKinds), std::end(kKinds), [&](const Kind& k) { return k.codec == codec; });
}

// The matrix a YUV output is encoded with for the one asked for: those the
// conversion has, else BT.709.
int EncodedMatrix(int matrix) {
  switch (matrix) {
    case AVCOL_SPC_FCC:
    case AVCOL_SPC_BT470BG:
    case AVCOL_SPC_SMPTE170M:
    case AVCOL_SPC_SMPTE240M:
    case AVCOL_SPC_BT2020_NCL: return matrix;
    default: return AVCOL_SPC_BT709;
  }
}

// The pixel format and the codec's own options.
void ChooseFormat(AVCodecContext* e, const VideoSettings& settings) {
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
}

// Every output names its colour, in the container and in the codec's own
// headers (ProRes takes it from each frame), so that no reader guesses.
// RGB outputs (FFV1, APNG) name sRGB's transfer unless told another;
// GIF and WebP have no place for it.
void TagColour(AVCodecContext* e, const VideoSettings& settings, YuvDescription& yuv) {
  const int primaries = KnownPrimaries(settings.primaries), transfer = KnownTransfer(settings.transfer);
  const bool named_transfer = transfer != AVCOL_TRC_UNSPECIFIED;
  e->color_primaries = primaries != AVCOL_PRI_UNSPECIFIED ? static_cast<AVColorPrimaries>(primaries) : AVCOL_PRI_BT709;
  if (settings.codec != VideoCodec::kH264 && settings.codec != VideoCodec::kProRes && settings.codec != VideoCodec::kVp9) {
    e->colorspace = AVCOL_SPC_RGB;
    e->color_range = AVCOL_RANGE_JPEG;
    e->color_trc = named_transfer ? static_cast<AVColorTransferCharacteristic>(transfer) : AVCOL_TRC_IEC61966_2_1;
    return;
  }
  yuv.matrix = EncodedMatrix(KnownMatrix(settings.matrix));
  yuv.full_range = false;
  yuv.chroma_location = AVCHROMA_LOC_UNSPECIFIED;  // MPEG-2's left siting, which readers take for an untagged stream
  e->colorspace = static_cast<AVColorSpace>(yuv.matrix);
  e->color_range = AVCOL_RANGE_MPEG;
  e->color_trc = named_transfer ? static_cast<AVColorTransferCharacteristic>(transfer) : AVCOL_TRC_BT709;
}

}  // namespace

// A video file encoded with libavcodec and written with libavformat.
class FfmpegWriter final : public VideoWriter::Impl {
 public:
  explicit FfmpegWriter(const VideoSettings& settings);
  int width() const override { return m_.width; }
  int height() const override { return m_.height; }
  const std::string& audio_note() const override { return m_.audio_note; }
  void Write(const PackedFrame& frame) override;
  long long Finish() override;

 private:
  void OpenEncoder(const AVCodec* codec);
  void OpenFile();
  WriterState m_;
};

FfmpegWriter::FfmpegWriter(const VideoSettings& settings) {
  QuietLibraries();
  WriterState& m = m_;
  m.s = settings;
  const Kind& kind = KindOf(settings.codec);
  const AVCodec* codec = avcodec_find_encoder_by_name(kind.encoder);
  if (!codec)
    throw Error(std::string("this build's FFmpeg cannot encode ") + VideoCodecName(settings.codec) + " (no " + kind.encoder +
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
  if (avformat_alloc_output_context2(&m.out, nullptr, kind.container, settings.temp.c_str()) < 0 || !m.out)
    throw std::bad_alloc();
  OpenEncoder(codec);
  m.OpenAudio();
  if (settings.codec == VideoCodec::kGif) m.OpenPalette(m.encoder->time_base);
  OpenFile();
}

// The encoder, its stream, and the one frame every picture is converted into.
void FfmpegWriter::OpenEncoder(const AVCodec* codec) {
  WriterState& m = m_;
  const VideoSettings& settings = m.s;
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
  ChooseFormat(e, settings);
  TagColour(e, settings, m.yuv);
  if (m.out->oformat->flags & AVFMT_GLOBALHEADER) e->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  const int r = avcodec_open2(e, codec, nullptr);
  if (r < 0)
    throw Error("cannot encode a " + std::to_string(m.width) + "x" + std::to_string(m.height) + " video as " +
                VideoCodecName(settings.codec) + " (" + AvError(r) + "); pick another size or output");
  m.video = avformat_new_stream(m.out, nullptr);
  if (!m.video) throw std::bad_alloc();
  avcodec_parameters_from_context(m.video->codecpar, e);
  m.video->time_base = e->time_base;
  m.video->avg_frame_rate = e->framerate;
  m.frame->format = settings.codec == VideoCodec::kGif ? AV_PIX_FMT_RGB24 : e->pix_fmt;
  m.frame->width = m.width;
  m.frame->height = m.height;
  m.frame->color_primaries = e->color_primaries;
  m.frame->color_trc = e->color_trc;
  m.frame->colorspace = e->colorspace;
  m.frame->color_range = e->color_range;
  if (av_frame_get_buffer(m.frame, 0) < 0) throw std::bad_alloc();
}

void FfmpegWriter::OpenFile() {
  WriterState& m = m_;
  const VideoCodec codec = m.s.codec;
  int r = avio_open(&m.out->pb, m.s.temp.c_str(), AVIO_FLAG_WRITE);
  if (r < 0) throw m.Fail(AvError(r));
  m.opened = true;
  AVDictionary* options = nullptr;
  if (codec == VideoCodec::kH264 || codec == VideoCodec::kProRes) av_dict_set(&options, "movflags", "+faststart", 0);
  // Animations loop forever.
  if (codec == VideoCodec::kGif || codec == VideoCodec::kWebp) av_dict_set(&options, "loop", "0", 0);
  if (codec == VideoCodec::kApng) av_dict_set(&options, "plays", "0", 0);
  r = avformat_write_header(m.out, &options);
  av_dict_free(&options);
  if (r < 0) throw m.Fail(AvError(r));
}

namespace {

// Lossless FFV1: the samples go into the frame as they are.
void FillFfv1(const PackedFrame& image, AVFrame* frame) {
  const int w = frame->width, h = frame->height;
  for (int y = 0; y < h; ++y) {
    const uint8_t* row_in = image.bytes.data() + static_cast<size_t>(y) * image.row_bytes();
    if (frame->format == AV_PIX_FMT_GBRAP16LE) {
      const auto* src = reinterpret_cast<const uint16_t*>(row_in);
      auto* g = reinterpret_cast<uint16_t*>(frame->data[0] + y * frame->linesize[0]);
      auto* b = reinterpret_cast<uint16_t*>(frame->data[1] + y * frame->linesize[1]);
      auto* r = reinterpret_cast<uint16_t*>(frame->data[2] + y * frame->linesize[2]);
      auto* a = reinterpret_cast<uint16_t*>(frame->data[3] + y * frame->linesize[3]);
      for (int x = 0; x < w; ++x) {
        r[x] = src[x * 4 + 0];
        g[x] = src[x * 4 + 1];
        b[x] = src[x * 4 + 2];
        a[x] = src[x * 4 + 3];
      }
    } else {
      const uint8_t* src = row_in;
      uint8_t* row = frame->data[0] + y * frame->linesize[0];
      for (int x = 0; x < w; ++x) {
        row[x * 4 + 0] = src[x * 4 + 2];
        row[x * 4 + 1] = src[x * 4 + 1];
        row[x * 4 + 2] = src[x * 4 + 0];
        row[x * 4 + 3] = src[x * 4 + 3];
      }
    }
  }
}

}  // namespace

void FfmpegWriter::Write(const PackedFrame& image) {
  WriterState& m = m_;
  // The encoders copy what they keep, so the one frame stays writable and is reused.
  if (av_frame_make_writable(m.frame) < 0) throw std::bad_alloc();
  if (m.s.codec == VideoCodec::kFfv1) FillFfv1(image, m.frame);
  else if (!m.convert.Convert(image, m.yuv, m.frame)) throw m.Fail("no conversion to the codec's pixel format");
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

std::unique_ptr<VideoWriter::Impl> CreateVideoFile(const VideoSettings& settings) {
  return std::make_unique<FfmpegWriter>(settings);
}

}  // namespace pluvane::media
