// The frames a render covers: a contiguous range, the part of it one machine
// of a farm takes (--chunk), and which of its output files are already there
// (--skip-existing), all without one entry per frame of the range.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "cli/values.h"

namespace pluvane::cli {

// Frames first..last inclusive; empty when last < first.
struct FrameSpan {
  int first = 0;
  int last = -1;
  bool empty() const { return last < first; }
  long long size() const { return empty() ? 0 : static_cast<long long>(last) - first + 1; }
};

// Part `index` of `count` near-equal contiguous parts, counted from 0 as a
// Slurm array counts its tasks: "--chunk $SLURM_ARRAY_TASK_ID/$SLURM_ARRAY_TASK_COUNT"
// with --array=0-(N-1).
struct Chunk {
  int index = 0;
  int count = 1;
};

// "K/N" with 0 <= K < N; CliError that says how to write it otherwise.
Chunk ParseChunk(const std::string& text);

// The frames of part `chunk` of `all`: part k of n starts at
// first + floor(k * size / n), so the parts cover `all` exactly once, differ in
// length by at most one frame, and are empty when there are more parts than
// frames.
FrameSpan ChunkOf(FrameSpan all, Chunk chunk);

// The frame number a file name stands for under `pattern` (only the file name,
// no folder), or nothing when it is not one of the pattern's names.
std::optional<int> FrameOfName(const OutputPattern& pattern, const std::string& name);

// The name a frame is written under before it is complete: a hidden file next
// to `path`, naming this machine and process, renamed over `path` only once
// whole. A file under the final name is therefore always complete.
std::string TemporaryPathFor(const std::string& path);

// What is in the output folder for the frames of `span`.
struct OutputScan {
  std::vector<int> existing;  // complete output files, by frame, ascending
  int stale_removed = 0;      // temporaries of killed runs removed
};

// Looks through the output folder once. With `remove_stale`, removes the
// temporaries of this pattern left by runs that can no longer finish them: of
// a process of this machine that is gone, or, from another machine sharing
// the folder, untouched for more than ten minutes (a frame is written in
// seconds). Temporaries of live writers are left alone.
OutputScan ScanOutputs(const OutputPattern& pattern, FrameSpan span, bool remove_stale);

}  // namespace pluvane::cli
