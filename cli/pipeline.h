// A small bounded queue between the threads of a render: the reader of the
// next input frames, the render itself, and the writer of finished frames.
// A few frames in flight keep every stage busy while memory stays bounded for
// any length of clip.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <optional>
#include <vector>

#include "cli/progress.h"
#include "cli/sinks.h"
#include "session/session.h"

namespace pluvane::cli {

template <typename T>
class BoundedQueue {
 public:
  explicit BoundedQueue(size_t capacity) : capacity_(capacity) {}

  // Waits for room; false (and `item` dropped) once the queue is closed.
  bool Push(T item) {
    std::unique_lock lock(mutex_);
    room_.wait(lock, [&] { return closed_ || items_.size() < capacity_; });
    if (closed_) return false;
    items_.push_back(std::move(item));
    ready_.notify_one();
    return true;
  }

  // Waits for an item; nothing once the queue is closed and empty.
  std::optional<T> Pop() {
    std::unique_lock lock(mutex_);
    ready_.wait(lock, [&] { return closed_ || !items_.empty(); });
    if (items_.empty()) return std::nullopt;
    T item = std::move(items_.front());
    items_.pop_front();
    room_.notify_one();
    return item;
  }

  // No more pushes; what is queued can still be popped.
  void Close() {
    std::lock_guard lock(mutex_);
    closed_ = true;
    room_.notify_all();
    ready_.notify_all();
  }

  // Closes and drops what is queued.
  void Abandon() {
    std::lock_guard lock(mutex_);
    closed_ = true;
    items_.clear();
    room_.notify_all();
    ready_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable room_, ready_;
  std::deque<T> items_;
  size_t capacity_;
  bool closed_ = false;
};

// Coded samples as the session takes them.
inline session::PixelView ViewOf(const PackedFrame& p) {
  return {p.bytes.data(), static_cast<std::ptrdiff_t>(p.row_bytes()), p.width, p.height, p.type};
}

// A frame between two stages: its number and its host values, or for a
// video in or out its coded samples (a quarter of the memory in 8 bits).
struct Frame {
  int number = 0;
  HostImage image;
  PackedFrame packed;  // used when `image` is empty
};

// Sample buffers of frames done with, handed back to the stage that fills
// the next: a buffer that already has a frame's size is filled without being
// cleared first, and its memory is already the process's. At most `most` are
// kept, as many as can be in flight.
template <typename Sample>
class SpentBuffers {
 public:
  explicit SpentBuffers(size_t most) : most_(most) {}
  void Give(std::vector<Sample>&& buffer) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (spent_.size() < most_ && !buffer.empty()) spent_.push_back(std::move(buffer));
  }
  std::vector<Sample> Take() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (spent_.empty()) return {};
    std::vector<Sample> b = std::move(spent_.back());
    spent_.pop_back();
    return b;
  }

 private:
  std::mutex mutex_;
  size_t most_;
  std::vector<std::vector<Sample>> spent_;
};

struct RenderPlan;

// Renders every frame of the plan over `input` (a still already filled in;
// footage is read into it frame by frame) and hands each to `sink`: the next
// input frames are read and the previous outputs written alongside, two frames
// in flight each way. Records each frame's render time in `summary`; returns
// the whole time in seconds. CliError when reading, rendering or writing
// fails, and for an interrupt (the sink finished with the frames before it).
double RunPipeline(RenderPlan& plan, session::Session& effect, PF_EffectWorld* input, FrameSink& sink,
                   RenderSummary& summary, ProgressBar& bar);

}  // namespace pluvane::cli
