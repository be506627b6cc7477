// The area sample's per-row prefix sums of the integer-depth worlds sampled
// in one command (sampling.cpp builds and reads them).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "pf_effect.h"

namespace minihost {

// Per-row prefix sums of one integer-depth world, four channels interleaved:
// entry (y, i, c) holds the sum of channel c over pixels 0..i−1 of row y,
// modulo 2^32. A difference of two entries is exact when the true sum is
// below 2^32, which holds for any box this host serves (at most 1100 pixels
// wide, channels at most 65535).
struct RowSums {
  const PF_EffectWorld* world = nullptr;
  const void* data = nullptr;
  A_long width = 0, height = 0, rowbytes = 0;
  size_t pixel_size = 0;
  std::unique_ptr<uint32_t[]> sums;  // height × (width + 1) × 4, every entry written by the build

  bool Matches(const PF_EffectWorld* w, size_t psize) const {
    return world == w && data == w->data && width == w->width && height == w->height && rowbytes == w->rowbytes &&
           pixel_size == psize;
  }
  const uint32_t* Row(long y) const { return sums.get() + static_cast<size_t>(y) * (width + 1) * 4; }
};

struct SampleTables {
  std::mutex mutex;
  std::atomic<const RowSums*> last{nullptr};
  std::vector<std::unique_ptr<RowSums>> live;
  std::vector<std::unique_ptr<RowSums>> retired;  // kept until the command ends: a sampler may still read one
};

}  // namespace minihost
