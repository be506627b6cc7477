// A progress line on the terminal: which frame of the range is rendering, how
// far the work within it has got (the effect's own progress reports while it
// places the drops, then the host's bands of drops drawn and rows shaded),
// the time so far and an estimate of the time left. A finishing step after
// the frames (the demo's animation, video and split picture) shows the same
// way with its own count.
//
// While it is shown, a ticker thread redraws the line four times a second
// with a turning mark and the elapsed time, so a long frame or a long step
// never looks hung. Draws nothing when disabled (not a terminal, or --quiet).
// Every method may be called from any thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>

#include "minihost/host.h"

namespace pluvane::cli {

class ProgressBar {
 public:
  ProgressBar(std::ostream& out, bool enabled) : out_(out), enabled_(enabled) {}
  ~ProgressBar() { Finish(); }
  ProgressBar(const ProgressBar&) = delete;
  ProgressBar& operator=(const ProgressBar&) = delete;

  // Frame `frame` is the `position`-th (0-based) of `count`.
  void StartFrame(int frame, int position, int count);
  // The effect reported `current` of `total` for the frame being rendered.
  void Within(long current, long total);
  // The host finished `done` of `total` bands of drops or rows of the frame.
  void HostWork(minihost::MiniHost::Work work, long done, long total);
  // A step after the frames: `what` ("writing demo.gif"), `done` of `total`
  // items (total 0: one item, shown without a bar).
  void Step(const std::string& what, long done, long total);
  // Clears the line and stops the ticker.
  void Finish();

  // The bar's text for a state, without terminal control characters.
  static std::string Text(int frame, int position, int count, double within, int width);
  // The estimate of the time left, "" when there is none yet. Rounded up:
  // while any work remains it says at least one second.
  static std::string Left(double elapsed_seconds, double done);

 private:
  void DrawLocked(bool force);
  void StartTickerLocked();
  void Tick();

  std::ostream& out_;
  const bool enabled_;
  std::mutex mutex_;
  bool drawn_ = false;
  int frame_ = 0, position_ = 0, count_ = 1;
  double within_ = 0;       // of the frame, 0..1, never going back within a frame
  std::string stage_;       // what the frame is doing now, "drawing drops 12/64"
  std::string step_;        // a finishing step's text, when one runs
  double step_done_ = 0;
  int spin_ = 0;
  std::chrono::steady_clock::time_point last_{}, started_{};
  bool started_set_ = false;
  // The ticker, running from the first draw to Finish().
  std::thread ticker_;
  std::condition_variable wake_;
  bool stop_ = false;
};

// True when the stream's file descriptor is a terminal.
bool IsTerminal(int fd);

}  // namespace pluvane::cli
