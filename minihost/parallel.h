// Internal to the stand-in host: runs fn(i) for i = 0..count−1 on up to
// `threads` threads (0: one per core), the calling thread included. Items are
// handed out in increasing order in chunks of `chunk`; each runs exactly once.
// fn may also take the worker's number, fn(i, worker), 0 being the calling
// thread. Given a thread runner (a host's own thread pool), the workers run
// there instead.
#pragma once

#include <algorithm>
#include <atomic>
#include <functional>
#include <thread>
#include <type_traits>
#include <vector>

#include "pf_effect.h"

namespace minihost {

// Runs work(worker) for worker = 0..workers−1 on a host's own threads and
// returns once all have returned; false when it could not start them (the
// items left then run on the calling thread).
using ThreadRunner = std::function<bool(int workers, const std::function<void(int worker)>& work)>;

inline int WorkerCount(int threads, A_long count) {
  if (threads <= 0) threads = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  return static_cast<int>(std::max<A_long>(1, std::min<A_long>(threads, count)));
}

template <typename Fn>
void RunParallel(int threads, A_long count, Fn&& fn, A_long chunk = 1, const ThreadRunner* runner = nullptr) {
  if (count <= 0) return;
  chunk = std::max<A_long>(1, chunk);
  const int workers = WorkerCount(threads, (count + chunk - 1) / chunk);
  const auto call = [&fn](A_long i, int worker) {
    if constexpr (std::is_invocable_v<Fn&, A_long, int>) fn(i, worker);
    else fn(i);
  };
  if (workers == 1) {
    for (A_long i = 0; i < count; ++i) call(i, 0);
    return;
  }
  std::atomic<A_long> next{0};
  auto work = [&](int worker) {
    for (;;) {
      const A_long begin = next.fetch_add(chunk, std::memory_order_relaxed);
      if (begin >= count) return;
      const A_long end = std::min(count, begin + chunk);
      for (A_long i = begin; i < end; ++i) call(i, worker);
    }
  };
  if (runner && *runner) {
    const std::function<void(int)> each = work;
    if (!(*runner)(workers, each)) work(0);
    return;
  }
  std::vector<std::thread> pool;
  pool.reserve(static_cast<size_t>(workers - 1));
  for (int t = 1; t < workers; ++t) pool.emplace_back(work, t);
  work(0);
  for (auto& t : pool) t.join();
}

}  // namespace minihost
