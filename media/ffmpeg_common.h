// What the video reader and writer share inside the media library: FFmpeg's
// error texts, the bounds on what a file can make FFmpeg allocate, and a
// stream's or frame's colour tags, checked before use.
#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/pixdesc.h>
}

#include <cstdint>
#include <cstring>
#include <string>
#include <type_traits>

namespace pluvane::media {

std::string AvError(int err);

// The libraries' own messages go to stderr unless asked not to; pluvane prints
// its one line instead.
void QuietLibraries();

// The pixels of the largest layer pluvane takes (layer_limits.h).
int64_t LayerPixels();

// Opens `path` and reads its streams' parameters. Every decoder FFmpeg opens
// to find them refuses a frame larger than the layer limit before allocating
// it (max_pixels), and a file may name at most 64 streams. No single
// allocation FFmpeg makes for the file may exceed what the largest layer needs.
int OpenAndProbe(AVFormatContext** format, const std::string& path);

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

int KnownPrimaries(int v);
int KnownTransfer(int v);
int KnownMatrix(int v);
int KnownRange(int v);
int KnownChromaLocation(int v);

ColourTags TagsOf(const AVCodecParameters* p);
ColourTags TagsOf(const AVFrame* f);

// A pixel format number FFmpeg describes; null for any other.
const AVPixFmtDescriptor* PixelFormatOf(int format);

}  // namespace pluvane::media
