// Video files read and written in process with FFmpeg's libraries.
//
// Reading: frame f is the f-th frame of the video stream in presentation
// order. Opening reads the stream's packets (without decoding them) for every
// frame's time stamp and the key frames; a read seeks to the key frame before
// the frame and decodes forward to its time stamp, so any frame of any clip,
// of constant or variable rate, is found exactly.
// Frames come out as RGBA file samples: 8-bit sources as 8-bit codes, deeper
// sources (10, 12-bit) as 16-bit codes, decoded with the stream's own matrix
// (BT.709, BT.601, BT.2020) and range (limited or full); a stream that names
// no matrix is taken as BT.709 from 720 lines up and BT.601 below, as players do.
//
// Writing: one video stream of a fixed codec per container, and optionally the
// audio of an input clip copied over, trimmed to the rendered frames.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "media/image.h"

namespace pluvane::media {

// Whether a path names a video file by its extension (.mp4, .mov, .mkv, .webm, .avi, ...).
bool IsVideoPath(const std::string& path);

struct VideoInfo {
  int width = 0;
  int height = 0;
  int bits = 8;             // of the source's samples
  long long frames = 0;     // in the video stream
  // The clip's frame rate, reduced: that of the grid its time stamps lie on
  // (the stream's base rate, its average rate taken as the nearest common
  // rate, or its stated rate, whichever leaves the fewest gaps), each stamp
  // within its time base's rounding of a slot; frames across a gap are held.
  // For a clip whose stamps lie on no such grid (of variable rate) its average,
  // taken as the nearest common rate (24000/1001, 24, 25, 30000/1001, 30, 50,
  // 60000/1001, 60) when within 0.5 %, else as the fraction with the smallest
  // denominator within 0.01 % of it.
  long fps_num = 0, fps_den = 1;
  bool variable_rate = false;  // the stamps lie on no grid
  long long gaps = 0;          // places the grid skips slots, each held by the frame before
  // Every frame's presentation time counted from the first frame's, in units
  // of time_base_num / time_base_den seconds, and the time the last one ends.
  std::vector<long long> times;
  long long duration = 0;
  long time_base_num = 1, time_base_den = 1;
  double start_seconds = 0; // time stamp of the first frame
  // The colour the stream names, as FFmpeg and ISO/IEC 23091-2 number them
  // (1 BT.709, 2 unnamed); range 1 limited, 2 full, 0 unnamed.
  int primaries = 2, transfer = 2, matrix = 2, range = 0;
  bool has_audio = false;
  std::string codec;        // "h264"
  SampleType type() const { return bits > 8 ? SampleType::kUInt16 : SampleType::kUInt8; }
};

class VideoReader {
 public:
  // Error when the file is missing, unreadable, damaged or holds no video stream.
  explicit VideoReader(const std::string& path);
  ~VideoReader();
  VideoReader(const VideoReader&) = delete;
  VideoReader& operator=(const VideoReader&) = delete;

  const VideoInfo& info() const;
  // Frame `frame` (0-based). Reading forward decodes on; reading back or far
  // ahead seeks. Error past the end or when the stream cannot be decoded.
  // `reuse`: a spent sample buffer; one of the frame's size is written over
  // without being cleared or allocated anew.
  FileImage Read(long long frame, std::vector<float> reuse = {});
  // The same frame as its coded samples, into `into` (whose buffer is reused).
  void Read(long long frame, PackedFrame& into);

  struct Impl;  // what the media library's decoder provides (io_module.h)

 private:
  std::unique_ptr<Impl> impl_;
  PackedFrame packed_;  // Read()'s samples before they become floats
};

// The codec of a video output, picked by the container.
enum class VideoCodec {
  kH264,    // .mp4: libx264, yuv420p, limited range, quality by CRF
  kProRes,  // .mov: ProRes 4444 (prores_ks), yuva444p10le with alpha, limited range
  kFfv1,    // .mkv: FFV1, lossless RGBA: bgra for 8-bit frames, gbrap16le for 16-bit ones
  kVp9,     // .webm: libvpx-vp9, yuv420p, limited range, quality by CRF; Opus audio
  kGif,     // .gif: 256 colours, one palette for the whole clip (made from its first
            // frame), ordered dithering, looping
  kWebp,    // .webp: animated WebP (libwebp), RGBA, looping; CRF 0 lossless, else lossy
  kApng,    // .apng: animated PNG, lossless RGBA (16-bit for deeper renders), looping
};
// Whether a path names an output written as one animated file by its
// extension: a video (IsVideoPath) or .gif, .webp, .apng.
bool IsVideoOutputPath(const std::string& path);
// The codec of a video output path; Error for an extension we do not write,
// naming those we do.
VideoCodec OutputVideoCodecOf(const std::string& path);
const char* VideoCodecName(VideoCodec codec);  // "H.264 MP4"
// The file sample type frames of a render of `bits` (8, 16 or 32) are handed
// to the writer in: H.264, VP9, GIF and WebP take 8 bits, ProRes, FFV1 and
// APNG 16 bits for deeper renders (a float render clamped to 0..1).
SampleType VideoSampleType(VideoCodec codec, int render_bits);
// The outputs pluvane writes, for help and error texts:
// ".png, .tif, .exr, .jpg, .dpx (images, one per frame); .mp4 (H.264), ...".
extern const char* const kOutputExtensions;

struct VideoSettings {
  std::string path;          // the final name
  std::string temp;          // written here, renamed to `path` by Finish()
  VideoCodec codec = VideoCodec::kH264;
  int width = 0, height = 0; // of the frames handed in
  SampleType type = SampleType::kUInt8;  // of the frames handed in (VideoSampleType)
  long fps_num = 30, fps_den = 1;
  int crf = 18;              // H.264 and VP9 quality; WebP: 0 lossless, else quality 100 - 2 × crf
  // The colour the output is tagged with, numbered as VideoInfo's: the
  // primaries and transfer of the values handed in, and the matrix H.264 and
  // ProRes encode with (FFV1 stores RGB, tagged so). Unnamed (2): BT.709,
  // the transfer of FFV1 sRGB; a matrix the encoder cannot use becomes BT.709.
  int primaries = 2, transfer = 2, matrix = 2;
  // Audio to carry over: the first audio stream of this file, from
  // `audio_start` seconds on (the time of the first rendered frame in it);
  // copied, or for .webm re-encoded as Opus. GIF, WebP and APNG hold none.
  std::string audio_from;
  double audio_start = 0;
};

class VideoWriter {
 public:
  // Opens the encoder and the file; Error when the codec is missing from this
  // build or cannot take the size.
  explicit VideoWriter(const VideoSettings& settings);
  // Without Finish(), the temporary file is removed.
  ~VideoWriter();
  VideoWriter(const VideoWriter&) = delete;
  VideoWriter& operator=(const VideoWriter&) = delete;

  // The size encoded: H.264 4:2:0 needs even sizes, so an odd last column or
  // row is left out.
  int width() const;
  int height() const;
  // A note for the user about the audio ("audio: aac copied"), or why there is none.
  const std::string& audio_note() const;

  void Write(const FileImage& frame);
  void Write(const PackedFrame& frame);  // of the settings' size and type
  // Flushes the encoder, ends the audio with the last frame, closes the file
  // and renames it to its final name. Returns the frames the file holds; with
  // none, no file is kept.
  long long Finish();

  struct Impl;  // what the media library's encoder provides (io_module.h)

 private:
  std::unique_ptr<Impl> impl_;
  PackedFrame packed_;  // Write()'s samples of a FileImage
};

}  // namespace pluvane::media
