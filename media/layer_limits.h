// The largest layer pluvane takes in. A file's header can claim any size (a
// damaged or hostile file says 100000 x 100000); the claim is checked against
// this limit before any pixel memory is allocated. A user with the memory for
// bigger layers raises it (`pluvane render --max-megapixels N`).
#pragma once

#include <string>

namespace pluvane::media {

// The largest side a host accepts, whatever the pixel limit.
constexpr int kMaxLayerSide = 30000;
// 40 megapixels by default: 8K UHD (7680 x 4320) and DCI 8K (8192 x 4320)
// fit; a float layer of that size needs about 2.5 GB while it renders.
constexpr double kDefaultMaxMegapixels = 40.0;

// Sets the pixel limit for this process; Error unless 0 < megapixels <= the
// largest layer the side limit allows (900 megapixels).
void SetMaxLayerMegapixels(double megapixels);
double MaxLayerMegapixels();

// Whether a width x height layer is within the limits (and not empty).
bool LayerSizeFits(long long width, long long height);

// Error naming `what` (for example: input "plate.png") when a width x height
// layer is empty or larger than the limits.
void CheckLayerSize(long long width, long long height, const std::string& what);

}  // namespace pluvane::media
