// The plan of a render: everything the user gave checked, and everything the
// render needs worked out, before any frame is read or rendered.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "cli/footage.h"
#include "cli/render.h"
#include "media/video.h"

namespace pluvane::cli {

struct RenderPlan {
  RenderOptions options;          // as given, with footage's own frames filled in
  Footage footage;
  OutputPattern pattern;          // the output's file names
  bool video_out = false;         // one video file rather than image files
  VideoCodec codec = VideoCodec::kH264;
  FileFormat format = FileFormat::kPng;
  FrameSpan frames;               // the range (or this chunk of it)
  Rational fps;
  Depth depth = Depth::k8;        // the render depth
  SampleType sample_type = SampleType::kUInt8;  // of the written frames
  int downsample = 1;
  std::vector<int> order;         // the frames to render, in order
  long long skipped = 0;          // complete frames left as they are
  std::string nothing_to_do;      // when not empty: the line said instead of rendering
  std::string created_folder;     // the output folder made for this render, "" when it was there
  std::unique_ptr<Footage> matte;  // the matte's footage, when one is given
  long long loop = 0;             // the loop's frames, 0 for none
  std::string conform_note;       // how a clip is retimed to the render's rate, for the summary; "" when not
};

// The matte of one frame as the effect's output is blended with it: at the
// render's depth and size.
session::Matte MatteFrame(const RenderPlan& plan, const FileImage& image);

// Checks everything and plans the render; CliError naming the problem.
RenderPlan PlanRender(const RenderOptions& options);

}  // namespace pluvane::cli
