// A progress bar on the terminal: which frame of the range is rendering, how
// far the effect has got within it (from its own progress reports), and an
// estimate of the time left.
// Draws nothing when disabled (not a terminal, or --quiet).
#pragma once

#include <chrono>
#include <ostream>
#include <string>

namespace pluvane::cli {

class ProgressBar {
 public:
  ProgressBar(std::ostream& out, bool enabled) : out_(out), enabled_(enabled) {}
  ~ProgressBar() { Finish(); }

  // Frame `frame` is the `position`-th (0-based) of `count`.
  void StartFrame(int frame, int position, int count);
  // The effect reported `current` of `total` for the frame being rendered.
  void Within(long current, long total);
  // Clears the bar's line.
  void Finish();

  // The bar's text for a state, without terminal control characters.
  static std::string Text(int frame, int position, int count, double within, int width);

 private:
  void Draw(bool force);

  std::ostream& out_;
  bool enabled_;
  bool drawn_ = false;
  int frame_ = 0, position_ = 0, count_ = 1;
  double within_ = 0;
  std::chrono::steady_clock::time_point last_{}, started_{};
};

// True when the stream's file descriptor is a terminal.
bool IsTerminal(int fd);

}  // namespace pluvane::cli
