// Rendering frames of the effect over a layer through the stand-in host, the
// way a host renders a layer with the effect applied. The layer is a still
// (the same image under every frame), an image sequence or a video file:
// output frame f is rendered over input frame f. The frames go to image files
// or to one video file.
#pragma once

#include <csignal>

#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "minihost/composition.h"
#include "cli/cli_error.h"
#include "cli/frames.h"
#include "cli/interrupt.h"
#include "minihost/host.h"
#include "session/session.h"
#include "media/image.h"
#include "cli/values.h"

namespace pluvane::cli {

struct RenderOptions {
  std::string input;                // the layer: an image, a sequence pattern (plate.####.png) or a video
  std::optional<FileImage> image;   // or an image made in code (the demo)
  std::string output;               // a file name, a pattern for a frame range, or a video file
  std::optional<int> frame;         // a single frame ...
  std::optional<std::pair<int, int>> frames;  // ... or a range (inclusive)
  std::optional<Chunk> chunk;       // only this part of the range (a farm's task)
  bool skip_existing = false;       // leave complete output files as they are
  std::optional<Rational> fps;      // time_scale = num, time_step = local_time_step = den;
                                    // default: a video's own rate, else 30
  std::optional<Depth> depth;       // default: the input's own depth
  int crf = 18;                     // H.264 quality of an .mp4 output
  bool no_audio = false;            // leave a video input's audio out of a video output
  bool draft = false;               // quality: draft (PF_Quality_LO) or high
  int downsample = 1;               // render at 1/downsample resolution
  Rational pixel_aspect{1, 1};
  minihost::Protocol protocol = minihost::Protocol::kSmart;
  int threads = 0;                  // 0: all cores
  int seed = 0;                     // "Seed" (session/around.h)
  double mix = 1.0;                 // "Mix": 0 the layer, 1 the effect's result
  std::string matte;                // a matte: an image, a sequence pattern or a video; "" none
  bool matte_invert = false;        // "Invert Matte"
  session::MatteChannel matte_channel = session::MatteChannel::kAuto;  // what of the matte is read
  std::string loop;                 // a loop's duration, "48" frames or "2s"; "" none
  std::vector<ControlSetting> controls;      // applied in order; later settings win
  std::vector<minihost::LightLayer> lights;  // composition lights
  bool progress = false;            // draw a progress bar on `err`
  bool stats = false;               // print per-frame times and throughput
  bool quiet = false;               // print nothing on success
};

struct RenderSummary {
  std::vector<std::string> files;   // written, in frame order (a video output: its one file)
  std::vector<int> rendered;        // the frame numbers of `files`
  long long skipped = 0;            // frames left as they were (--skip-existing)
  std::vector<double> frame_ms;     // render time of each frame
  double read_s = 0;                // reading (and decoding) the input frames, on the reader thread
  double write_s = 0;               // writing (and encoding) the output frames, on the writer thread
  int width = 0, height = 0;        // of the written frames
  std::string description;          // "16-bit PNG"
  long long video_frames = 0;       // frames in a video output
};

// Renders every frame asked for and writes it. Reading the next input frame
// and writing the previous output overlap with rendering. Prints a summary
// (and the stats) on `out` unless quiet, and the progress bar on `err`.
// CliError for bad input (before any work), for an effect error, and for an
// interrupt (exit code InterruptExitCode(); the frame being rendered is not
// written, a video output is finished with the frames before it).
RenderSummary RunRender(const RenderOptions& options, std::ostream& out, std::ostream& err);

// The frames a render covers, resolved from --frame/--frames, --chunk and the
// output: a single-file output takes one frame; a range or a chunk needs a
// pattern. Empty when the chunk has no frames (more parts than frames).
FrameSpan FramesToRender(const RenderOptions& options, const OutputPattern& output);

// Checks before any work that a file can be created in the folder of `path`:
// makes the folder (and its parents) when missing, and checks it accepts a new
// file; CliError otherwise. Returns the folder it made, "" when it was there.
std::string CheckWritableFolder(const std::string& path);

}  // namespace pluvane::cli
