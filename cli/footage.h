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
  FileImage still;
  OutputPattern pattern;                    // a sequence's file names
  std::optional<FrameSpan> own;             // the frames it has: on disk, or the video's
  std::optional<Rational> fps;              // a video's own rate
  std::set<FileId> files;                   // every file it reads, for the overwrite check
  std::unique_ptr<SequenceReader> sequence;
  std::unique_ptr<VideoReader> video;
  int width = 0, height = 0;
  SampleType type = SampleType::kUInt8;

  FileImage Read(int frame);
  // Opens the sequence's files of `frames`, each checked before anything renders.
  void OpenSequence(FrameSpan frames);
};

// Finds which kind of footage the input is and what it has, before any frame is read.
Footage OpenFootage(const RenderOptions& options);

}  // namespace pluvane::cli
