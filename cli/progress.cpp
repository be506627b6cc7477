#include "cli/progress.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace pluvane::cli {

bool IsTerminal(int fd) { return ::isatty(fd) == 1; }

std::string ProgressBar::Text(int frame, int position, int count, double within, int width) {
  const double done = std::clamp((position + std::clamp(within, 0.0, 1.0)) / std::max(count, 1), 0.0, 1.0);
  const int filled = static_cast<int>(done * width);
  char head[96];
  if (count > 1)
    std::snprintf(head, sizeof head, "frame %d (%d of %d) ", frame, position + 1, count);
  else
    std::snprintf(head, sizeof head, "frame %d ", frame);
  char tail[16];
  std::snprintf(tail, sizeof tail, " %3d%%", static_cast<int>(done * 100));
  return std::string(head) + "[" + std::string(filled, '#') + std::string(width - filled, '-') + "]" + tail;
}

void ProgressBar::StartFrame(int frame, int position, int count) {
  if (position == 0) started_ = std::chrono::steady_clock::now();
  frame_ = frame;
  position_ = position;
  count_ = count;
  within_ = 0;
  Draw(true);
}

void ProgressBar::Within(long current, long total) {
  if (total <= 0) return;
  within_ = static_cast<double>(current) / static_cast<double>(total);
  Draw(false);
}

void ProgressBar::Draw(bool force) {
  if (!enabled_) return;
  const auto now = std::chrono::steady_clock::now();
  // Redraw at most ten times a second: a terminal is slow.
  if (!force && drawn_ && now - last_ < std::chrono::milliseconds(100)) return;
  last_ = now;
  // The time left, from the rate so far, once a frame is done.
  std::string left;
  const double done = (position_ + std::clamp(within_, 0.0, 1.0)) / std::max(count_, 1);
  if (position_ > 0 && done > 0 && done < 1) {
    const double elapsed = std::chrono::duration<double>(now - started_).count();
    const long s = std::lround(elapsed / done * (1 - done));
    char buf[48];
    std::snprintf(buf, sizeof buf, ", %ld:%02ld:%02ld left", s / 3600, s / 60 % 60, s % 60);
    left = buf;
  }
  out_ << "\r" << Text(frame_, position_, count_, within_, 30) << left << "\x1b[K" << std::flush;
  drawn_ = true;
}

void ProgressBar::Finish() {
  if (enabled_ && drawn_) out_ << "\r\x1b[K" << std::flush;
  drawn_ = false;
}

}  // namespace pluvane::cli
