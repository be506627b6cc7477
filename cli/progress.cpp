#include "progress.h"

#include <unistd.h>

#include <algorithm>
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
  out_ << "\r" << Text(frame_, position_, count_, within_, 30) << "\x1b[K" << std::flush;
  drawn_ = true;
}

void ProgressBar::Finish() {
  if (enabled_ && drawn_) out_ << "\r\x1b[K" << std::flush;
  drawn_ = false;
}

}  // namespace pluvane::cli
