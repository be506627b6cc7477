// The audio a video output carries over from its input clip: packets copied
// as they are, or for WebM decoded, resampled and encoded as Opus.
#include "media/video_writer.h"

extern "C" {
#include <libavutil/opt.h>
}

#include <algorithm>
#include <cmath>
#include <memory>

#include "media/ffmpeg_common.h"

namespace pluvane::media {

void WriterState::OpenAudio() {
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

bool WriterState::OpenOpus(const char* name) {
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

void WriterState::CopyAudio(double until, bool last) {
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

void WriterState::EncodeAudio(double until, bool last) {
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

void WriterState::WriteAudioPackets() {
  while (avcodec_receive_packet(audio_encoder, packet) >= 0) {
    av_packet_rescale_ts(packet, audio_encoder->time_base, audio_out->time_base);
    packet->stream_index = audio_out->index;
    const int w = av_interleaved_write_frame(out, packet);
    av_packet_unref(packet);
    if (w < 0) throw Fail(AvError(w));
  }
}

}  // namespace pluvane::media
