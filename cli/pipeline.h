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

}  // namespace pluvane::cli
