// One file pixel of 1 to 4 channels as the four samples a layer holds:
// grey (with or without alpha) spreads to red, green and blue, and a file
// without alpha is opaque.
#pragma once

#include <algorithm>
#include <cstddef>
#include <vector>

namespace pluvane::media {

// Grows a layer being read to `need` samples of its `whole` size. The memory
// follows the rows actually read (doubling, never past the whole layer), so
// that a header claiming a large layer over data that ends early costs little
// before the end of the data shows.
template <typename Sample>
inline void GrowLayer(std::vector<Sample>& rgba, size_t need, size_t whole) {
  if (need > rgba.capacity()) rgba.reserve(std::min(whole, std::max(need, 2 * rgba.capacity())));
  rgba.resize(need);
}

// `s` holds the file's channels; `alpha` is the index of its alpha channel or
// -1; `full` is the opaque value of the file's sample type. Samples are
// floats, or the file's own codes.
template <typename Sample>
inline void ExpandToRgba(const Sample* s, int channels, int alpha, Sample full, Sample* d) {
  if (channels < 3) {
    d[0] = d[1] = d[2] = s[0];
  } else {
    d[0] = s[0];
    d[1] = s[1];
    d[2] = s[2];
  }
  d[3] = alpha >= 0 && alpha < channels ? s[alpha] : full;
}

}  // namespace pluvane::media
