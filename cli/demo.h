// `pluvane demo`: an animated demo of the effect, on a pool-tile image made in
// code or on the user's own image, written as PNG frames plus an animated GIF,
// a before | after picture, and an H.264 MP4.
#pragma once

#include <ostream>
#include <string>
#include <utility>

#include "cli/cli_error.h"
#include "media/image.h"

namespace pluvane::cli {

struct DemoOptions {
  std::string input;                 // the user's image; empty: the built-in one
  std::string dir = "pluvane-demo";  // where everything goes (created if missing)
  std::pair<int, int> frames{0, 47};
  int threads = 0;
  bool progress = false;
  bool quiet = false;
  bool stats = false;
};

// Pool tiles seen from above with a soft highlight: 8-bit, opaque.
FileImage MakeDemoImage(int width, int height);

// Renders the demo and prints where its files are. CliError on failure.
void RunDemo(const DemoOptions& options, std::ostream& out, std::ostream& err);

}  // namespace pluvane::cli
