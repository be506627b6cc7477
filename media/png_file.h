// PNG files read and written with libpng directly, for the plain files a
// render mostly meets: 8 or 16-bit grey, grey + alpha, RGB or RGBA, not
// interlaced, without a transparency chunk. Their samples come out exactly as
// OpenImageIO gives them (as stored, alpha never premultiplied), without
// loading it. Anything else, and any file libpng refuses, is left to
// OpenImageIO, which then gives the answer and the error message it always did.
#pragma once

#include <optional>
#include <string>

#include "media/image.h"

namespace pluvane::media {

// Plain PNG files are tagged sRGB. Nothing when the file's content is not a
// plain PNG (whatever its name), or cannot be read.
// Error when its header claims more than the layer size limit (layer_limits.h).
std::optional<FileImage> ReadPlainPng(const std::string& path);
// The same samples as codes, into `into` (its buffer reused); false when the
// file is not a plain PNG.
bool ReadPlainPng(const std::string& path, PackedFrame& into);
std::optional<ImageHeader> ReadPlainPngHeader(const std::string& path);

// Writes an 8 or 16-bit RGBA PNG of coded samples (16-bit ones in host byte
// order) to `temp`; the error text, empty on success (`temp` is then
// complete; the caller renames it).
std::string WritePng(const std::string& temp, const PackedFrame& frame);

// How PNG frames are compressed, chosen for speed: each row filtered by its
// left neighbour (Sub) and deflated as run lengths (zlib's Z_RLE strategy, at
// level 1). On 1080p renders this writes in about a third of the time of
// zlib level 3 with libpng's adaptive filters, and the files come out smaller,
// as rendered frames are smooth. Decoders see the same pixels whatever the setting.
constexpr int kPngCompressionLevel = 1;

}  // namespace pluvane::media
