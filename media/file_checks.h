// What an image file's header claims, checked against the file before a
// decoding library reads it. Libraries allocate at the sizes a header states
// (a PNG chunk's length, an OpenEXR attribute's size or its table of chunk
// offsets, a TIFF tag's count, a JPEG frame's size) and find only afterwards
// that the file is far shorter: a 500-byte PNG claiming a 2 GB text chunk took
// 2 GB and 14 s to refuse. Each claim here is held against the bytes the file
// has (or, for a frame's size, against the layer limit) first, so that what a
// read costs is bounded by what the file holds.
#pragma once

#include <string>

namespace pluvane::media {

// Error when `path` is a PNG, OpenEXR, TIFF or JPEG file whose header claims
// more than the file holds, or a JPEG frame larger than the layer limit
// (layer_limits.h). Nothing for a file that passes or is of another format,
// or that cannot be opened (the reader then says why).
void CheckHeaderClaims(const std::string& path);

}  // namespace pluvane::media
