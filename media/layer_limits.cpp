#include "media/layer_limits.h"

#include <atomic>
#include <cmath>
#include <cstdio>

#include "media/error.h"

namespace pluvane::media {
namespace {

std::atomic<double> max_megapixels{kDefaultMaxMegapixels};

std::string Megapixels(double mp) {
  char text[32];
  std::snprintf(text, sizeof text, "%.4g", mp);
  return text;
}

}  // namespace

void SetMaxLayerMegapixels(double megapixels) {
  const double most = double(kMaxLayerSide) * kMaxLayerSide / 1e6;
  if (!(megapixels > 0) || megapixels > most)
    throw Error("--max-megapixels " + Megapixels(megapixels) + " is out of range; give a number above 0 and at most " +
                Megapixels(most));
  max_megapixels = megapixels;
}

double MaxLayerMegapixels() { return max_megapixels; }

bool LayerSizeFits(long long width, long long height) {
  return width > 0 && height > 0 && width <= kMaxLayerSide && height <= kMaxLayerSide &&
         double(width) * double(height) / 1e6 <= max_megapixels;
}

void CheckLayerSize(long long width, long long height, const std::string& what) {
  const std::string size = std::to_string(width) + "x" + std::to_string(height);
  if (width <= 0 || height <= 0) throw Error(what + " is " + size + ", it has no pixels; give a non-empty image");
  if (width > kMaxLayerSide || height > kMaxLayerSide)
    throw Error(what + " is " + size + "; layers may be at most " + std::to_string(kMaxLayerSide) +
                " pixels on a side, scale it down first");
  const double mp = double(width) * double(height) / 1e6;
  if (mp > max_megapixels)
    throw Error(what + " is " + size + " (" + Megapixels(mp) + " megapixels), more than the limit of " +
                Megapixels(max_megapixels) + " megapixels; scale it down, or give --max-megapixels " +
                Megapixels(std::ceil(mp)) + " if this machine has the memory");
}

}  // namespace pluvane::media
