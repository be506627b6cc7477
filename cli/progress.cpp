#include "cli/progress.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace pluvane::cli {
namespace {

using Clock = std::chrono::steady_clock;

// The ticker's period: the line moves at least this often while it is shown.
constexpr auto kTick = std::chrono::milliseconds(250);
// Reports in between redraw at most this often: a terminal is slow.
constexpr auto kLeastBetweenDraws = std::chrono::milliseconds(100);

// Shares of a frame's work: the effect's own reports cover the placing of the
// drops (its count runs to twice the drops' life, of which placing takes the
// first half), then the host draws the drops in bands of rows and shades the
// rows. Drawing weighs most in a rainy frame.
constexpr double kBandsFrom = 0.1, kRowsFrom = 0.8;

std::string Clock3(long s) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
  return buf;
}

std::string Bar(double done, int width) {
  const int filled = static_cast<int>(std::clamp(done, 0.0, 1.0) * width);
  char tail[16];
  std::snprintf(tail, sizeof tail, " %3d%%", static_cast<int>(std::clamp(done, 0.0, 1.0) * 100));
  return "[" + std::string(filled, '#') + std::string(width - filled, '-') + "]" + tail;
}

}  // namespace

bool IsTerminal(int fd) { return ::isatty(fd) == 1; }

std::string ProgressBar::Text(int frame, int position, int count, double within, int width) {
  const double done = std::clamp((position + std::clamp(within, 0.0, 1.0)) / std::max(count, 1), 0.0, 1.0);
  char head[96];
  if (count > 1)
    std::snprintf(head, sizeof head, "frame %d (%d of %d) ", frame, position + 1, count);
  else
    std::snprintf(head, sizeof head, "frame %d ", frame);
  return std::string(head) + Bar(done, width);
}

std::string ProgressBar::Left(double elapsed, double done) {
  if (!(done > 0) || done >= 1 || !(elapsed > 0)) return "";
  const long s = std::max(1L, static_cast<long>(std::ceil(elapsed / done * (1 - done))));
  return Clock3(s) + " left";
}

void ProgressBar::StartFrame(int frame, int position, int count) {
  std::lock_guard lock(mutex_);
  if (!started_set_) {
    started_ = Clock::now();
    started_set_ = true;
  }
  frame_ = frame;
  position_ = position;
  count_ = count;
  within_ = 0;
  stage_ = "placing drops";
  step_.clear();
  DrawLocked(true);
}

void ProgressBar::Within(long current, long total) {
  if (total <= 0) return;
  std::lock_guard lock(mutex_);
  const double placed = std::clamp(2.0 * static_cast<double>(current) / static_cast<double>(total), 0.0, 1.0);
  within_ = std::max(within_, kBandsFrom * placed);
  DrawLocked(false);
}

void ProgressBar::HostWork(minihost::MiniHost::Work work, long done, long total) {
  if (total <= 0) return;
  const bool rows = work == minihost::MiniHost::Work::kRows;
  const double from = rows ? kRowsFrom : kBandsFrom, to = rows ? 1.0 : kRowsFrom;
  std::lock_guard lock(mutex_);
  within_ = std::max(within_, from + (to - from) * std::clamp(static_cast<double>(done) / total, 0.0, 1.0));
  stage_ = std::string(rows ? "shading rows " : "drawing drops, band ") + std::to_string(done) + "/" + std::to_string(total);
  DrawLocked(false);
}

void ProgressBar::Step(const std::string& what, long done, long total) {
  std::lock_guard lock(mutex_);
  if (!started_set_) {
    started_ = Clock::now();
    started_set_ = true;
  }
  const bool changed = what != step_;
  step_ = what;
  step_done_ = total > 0 ? static_cast<double>(done) / total : -1;  // -1: one item, no bar
  stage_ = total > 0 ? std::to_string(done) + " of " + std::to_string(total) : "";
  DrawLocked(changed);
}

void ProgressBar::DrawLocked(bool force) {
  if (!enabled_) return;
  const auto now = Clock::now();
  if (!force && drawn_ && now - last_ < kLeastBetweenDraws) return;
  last_ = now;
  StartTickerLocked();
  static constexpr char kSpin[] = "|/-\\";
  const double elapsed = std::chrono::duration<double>(now - started_).count();
  std::string line(1, kSpin[spin_++ % 4]);
  line += ' ';
  if (!step_.empty()) {
    line += step_;
    if (step_done_ >= 0) line += " " + Bar(step_done_, 20);
    if (!stage_.empty()) line += " " + stage_;
    line += ", " + Clock3(static_cast<long>(elapsed)) + " elapsed";
  } else {
    line += Text(frame_, position_, count_, within_, 30) + " " + stage_ + ", " + Clock3(static_cast<long>(elapsed)) +
            " elapsed";
    // The time left, from the rate so far, once a frame is done.
    if (position_ > 0) {
      const std::string left = Left(elapsed, (position_ + std::clamp(within_, 0.0, 1.0)) / std::max(count_, 1));
      if (!left.empty()) line += ", " + left;
    }
  }
  out_ << "\r" << line << "\x1b[K" << std::flush;
  drawn_ = true;
}

void ProgressBar::StartTickerLocked() {
  if (ticker_.joinable() || stop_) return;
  ticker_ = std::thread([this] { Tick(); });
}

void ProgressBar::Tick() {
  std::unique_lock lock(mutex_);
  while (!stop_) {
    wake_.wait_for(lock, kTick);
    if (stop_) break;
    if (Clock::now() - last_ >= kTick - std::chrono::milliseconds(10)) DrawLocked(true);
  }
}

void ProgressBar::Finish() {
  std::thread ticker;
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
    ticker = std::move(ticker_);
  }
  wake_.notify_all();
  if (ticker.joinable()) ticker.join();
  std::lock_guard lock(mutex_);
  if (enabled_ && drawn_) out_ << "\r\x1b[K" << std::flush;
  drawn_ = false;
  // Ready to be shown again (the demo's steps after its frames).
  stop_ = false;
  started_set_ = false;
  step_.clear();
}

}  // namespace pluvane::cli
