// The layer's footage as the command line finds it: a still, an image
// sequence or a video file, and every file it reads (so that no output
// overwrites it).
#pragma once

#include <sys/stat.h>

#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>

#include "cli/frames.h"
#include "cli/render.h"
#include "media/image.h"
#include "media/sequence.h"
#include "media/video.h"

namespace pluvane::cli {

// A file's identity (device, inode), so that any path to it compares equal.
using FileId = std::pair<dev_t, ino_t>;
std::optional<FileId> IdOf(const std::string& path);

// The layer's footage: a still, an image sequence or a video file.
struct Footage {
  enum class Kind { kStill, kSequence, kVideo } kind = Kind::kStill;
  FileImage still;          // a still's samples as floats (a float file, or an image handed in),
  PackedFrame still_codes;  // or an integer still's codes, when they are not empty
  OutputPattern pattern;                    // a sequence's file names
  std::optional<FrameSpan> own;             // the frames it has: on disk, or the video's at the render's rate
  std::optional<Rational> fps;              // a video's own rate (its grid's, or a variable-rate clip's average)
  std::set<FileId> files;                   // every file it reads, for the overwrite check
  std::unique_ptr<SequenceReader> sequence;
  std::unique_ptr<VideoReader> video;
  int width = 0, height = 0;
  SampleType type = SampleType::kUInt8;
  Rational rate{30, 1};                     // a video's frames are timed at this rate (Conform)
  std::string color_space;                  // of its samples, as FileImage's: image outputs carry it

  // Frame `frame` of the render: a video's frame on screen at its time
  // (Conform). A video's frame is converted into `reuse` (a spent sample buffer) when it has the frame's size.
  FileImage Read(int frame, std::vector<float> reuse = {});
  // A video's frame, or a sequence's integer frame, as its coded samples into
  // `into` (whose buffer is reused): true. A sequence's float frame goes into
  // `floats` instead: false.
  bool ReadPacked(int frame, PackedFrame& into, FileImage& floats);
  // Times a video's frames at `rate`: output frame f is at f / rate seconds
  // and shows the clip's frame on screen then, the last one whose time from
  // the clip's first frame is at most half an output frame later, so that
  // the rounded time stamps of a constant-rate clip at its own rate give
  // frame f itself. The clip's frames (`own`) become those that cover its
  // duration at `rate`. True when that is not the clip's frames one for one:
  // a variable-rate clip, one with gaps in its grid, or another rate than its own.
  bool Conform(Rational rate);
  // The clip's frame shown at output frame `frame` of the conformed rate.
  long long ClipFrameAt(long long frame) const;
  // The still's samples as floats, however they were read.
  FileImage Still() const { return still_codes.bytes.empty() ? still : UnpackCodes(still_codes); }
  // Opens the sequence's files of `frames`, each checked before anything renders.
  void OpenSequence(FrameSpan frames);
};

// Finds which kind of footage the input is and what it has, before any frame is read.
Footage OpenFootage(const RenderOptions& options);

}  // namespace pluvane::cli
