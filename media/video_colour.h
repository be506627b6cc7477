// Video frames between FFmpeg's pixel formats and pluvane's RGBA file samples.
//
// Planar YUV (the formats decoders give and H.264, VP9 and ProRes take) is
// converted with the zimg library: each sample rounded once to nearest from
// exact arithmetic, the chroma placed where the stream says its samples sit
// (MPEG-2's left siting unless tagged otherwise) and interpolated linearly,
// in the stream's matrix and range. zimg is much cheaper than swscale run with
// the flags that make it exact. Formats zimg does not take (packed YUV, grey,
// palettes, RGB packings, sizes the chroma does not divide) go through
// swscale with those flags.
#pragma once

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/pixfmt.h>
}

#include <cstdint>
#include <memory>
#include <vector>

#include "media/video.h"

struct SwsContext;

namespace pluvane::media {

// How a YUV frame's samples are to be read (or written): the matrix as
// FFmpeg numbers it (AVCOL_SPC_BT709, ...; one it does not know is BT.709),
// full or limited range, and where its chroma samples sit (AVChromaLocation;
// unspecified is MPEG-2's left siting for subsampled formats).
struct YuvDescription {
  int matrix = AVCOL_SPC_BT709;
  bool full_range = false;
  int chroma_location = AVCHROMA_LOC_UNSPECIFIED;
};

class ZimgGraph;

// Decoded frames to RGBA samples: 8-bit codes, or 16-bit codes for `deep`.
class FrameToRgba {
 public:
  FrameToRgba();
  ~FrameToRgba();
  FrameToRgba(const FrameToRgba&) = delete;
  FrameToRgba& operator=(const FrameToRgba&) = delete;

  // Converts `frame` into `out`. A buffer that already has the frame's size is
  // written over without being cleared first. False when the pixel format
  // cannot be converted at all.
  bool Convert(const AVFrame* frame, const YuvDescription& yuv, bool deep, PackedFrame& out);

 private:
  bool ConvertSws(const AVFrame* frame, const YuvDescription& yuv, PackedFrame& out);
  std::unique_ptr<ZimgGraph> zimg_;
  SwsContext* sws_ = nullptr;
};

// RGBA samples (8 or 16-bit codes, at least the frame's size) into an encoder's frame, whose
// format, size and colour tags are set and whose buffers are allocated.
class RgbaToFrame {
 public:
  RgbaToFrame();
  ~RgbaToFrame();
  RgbaToFrame(const RgbaToFrame&) = delete;
  RgbaToFrame& operator=(const RgbaToFrame&) = delete;

  // False when the frame's format cannot be made from RGBA.
  bool Convert(const PackedFrame& image, const YuvDescription& yuv, AVFrame* frame);

 private:
  bool ConvertSws(const PackedFrame& image, const YuvDescription& yuv, AVFrame* frame);
  std::unique_ptr<ZimgGraph> zimg_;
  SwsContext* sws_ = nullptr;
};

}  // namespace pluvane::media
