// The state of a video file being written, shared by the writer's files:
// the encoder and container (video_writer.cpp) and the audio carried over
// (video_writer_audio.cpp).
#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavfilter/avfilter.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libswresample/swresample.h>
}

#include <cstdint>
#include <string>

#include "media/error.h"
#include "media/video.h"
#include "media/video_colour.h"

namespace pluvane::media {

struct WriterState {
  VideoSettings s;
  int width = 0, height = 0;
  AVFormatContext* out = nullptr;
  AVCodecContext* encoder = nullptr;
  AVStream* video = nullptr;
  RgbaToFrame convert;         // RGBA samples into `frame`, kept frame to frame
  AVFrame* frame = nullptr;
  AVPacket* packet = nullptr;
  int64_t next_pts = 0;
  YuvDescription yuv;          // how the encoder's YUV is made (H.264, ProRes, VP9)
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

  ~WriterState();

  Error Fail(const std::string& why) const;

  // Copies the source's audio packets up to `until` seconds of the output:
  // on the way, up to the first packet that reaches it; at the end (`last`),
  // only those that start before it.
  void CopyAudio(double until, bool last);

  void Drain();

  // Re-encodes the source's audio up to `until` seconds of the output; at
  // the end (`last`) exactly up to it, and flushes the encoder.
  void EncodeAudio(double until, bool last);

  void WriteAudioPackets();

  // The decoder, resampler and Opus encoder for the source's audio; false
  // (with the note saying why) when it cannot be re-encoded.
  bool OpenOpus(const char* name);

  // Hands a frame (nullptr: the end) to the encoder, through the palette
  // filters for a GIF, and writes what comes out.
  void Encode(AVFrame* f);

  // One palette of 256 colours for the whole GIF, made from its first frame,
  // and ordered (Bayer) dithering: a pixel that does not change between
  // frames keeps its colour, so still parts do not crawl, and only the
  // changed rectangle of each frame is dithered anew.
  void OpenPalette(AVRational time_base);

  void OpenAudio();
};

}  // namespace pluvane::media
