// Image files and the host's pixel values: the one place where file samples
// become host values and back, for stills, sequences and video frames alike.
//
// A file's samples are kept as the file stores them (FileImage); the layer the
// effect sees holds the host's values of one render depth (HostImage). The
// conversions between the two are fixed rules, so that the same file always
// gives the same frame:
//   8-bit host values run 0..255, 16-bit host values 0..32768 (not 65535),
//   float host values are 0..1 nominally and not clamped.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "session/samples.h"

namespace pluvane::media {

// The sample types, depths and value rules are the session layer's: files
// are one more kind of stored samples.
using session::Depth;
using session::HostImage;
using session::NaturalDepth;
using session::SampleType;

// Samples as stored in a file, RGBA interleaved, top row first. Integer types
// hold their code values (0..255, 0..65535) as exact floats.
struct FileImage {
  int width = 0;
  int height = 0;
  SampleType type = SampleType::kUInt8;
  std::vector<float> rgba;
  // The colour space the samples are in, as OpenImageIO names it ("sRGB",
  // "Linear", "Rec709"); empty when unknown. Written images carry their
  // input's: pluvane never converts between colour spaces.
  std::string color_space{};
};

// A frame's samples as a file or a video codes them, RGBA interleaved, top
// row first: 8-bit codes in bytes, or 16-bit codes in native 16-bit words. A
// quarter (a half) of a FileImage's memory, which is what a frame between
// the stages of a render needs.
struct PackedFrame {
  int width = 0;
  int height = 0;
  SampleType type = SampleType::kUInt8;  // kUInt8 or kUInt16
  std::vector<uint8_t> bytes;
  std::string color_space{};  // as FileImage's, for an image file's frame; a video's leaves it empty
  size_t row_bytes() const { return static_cast<size_t>(width) * 4 * (type == SampleType::kUInt8 ? 1 : 2); }
  // Sets the size; a buffer that already has it keeps its bytes until they are written over.
  void Resize(int w, int h, SampleType t) {
    width = w;
    height = h;
    type = t;
    bytes.resize(row_bytes() * static_cast<size_t>(h));
  }
};

// An integer FileImage's codes into `frame` (its buffer reused), and back.
void PackCodes(const FileImage& image, PackedFrame& frame);
FileImage UnpackCodes(const PackedFrame& frame);

// The file formats pluvane writes, picked by the output's extension.
enum class FileFormat { kPng, kTiff, kExr, kJpeg, kDpx };

// ---- sample conversions --------------------------------------------------------
// One file sample to a host value of `to`:
//   8-bit file, 8-bit depth: as it is;  16-bit file, 16-bit depth: round(v × 32768 / 65535);
//   8-bit file, 16-bit depth: (v × 32768 + 128) / 255 in integers;
//   16-bit file, 8-bit depth: round(v × 255 / 65535);  integer file, float depth: v / 255, v / 65535;
//   float file, integer depth: clamped to 0..1, then round(v × 255) or round(v × 32768).
float FileToHost(float v, SampleType from, Depth to);
// One host value of `from` to a file sample of `to`:
//   8-bit to 8-bit as it is;  16-bit host to a 16-bit file: round(v × 65535 / 32768);
//   float to an integer file: clamped to 0..1, then round(v × 255) or round(v × 65535);
//   float to a float file as it is.
float HostToFile(float v, Depth from, SampleType to);

HostImage ToHost(const FileImage& file, Depth depth);
FileImage ToFile(const HostImage& host, SampleType type);
// The same, converting in place: the result takes over the samples' memory.
HostImage ToHost(FileImage&& file, Depth depth);
FileImage ToFile(HostImage&& host, SampleType type);

// The layer reduced to 1/n: every output pixel is the average of an n × n box
// of host values (integer depths rounded to nearest), floor(W/n) by floor(H/n).
HostImage BoxDownsample(const HostImage& image, int n);
HostImage BoxDownsample(HostImage&& image, int n);  // n <= 1 hands the image back without a copy

int DepthBits(Depth depth);
const char* SampleTypeName(SampleType type);  // "8-bit", "16-bit", "32-bit float"

// ---- files ---------------------------------------------------------------------
// The format of an output path by its extension; Error for any other.
FileFormat OutputFormatOf(const std::string& path);
const char* FormatName(FileFormat format);
// How a render of `depth` is stored in `format`. A file keeps the render's
// depth; a float render goes into a format without float samples clamped, at
// the format's deepest integer type (PNG 16-bit, JPEG 8-bit). DPX is RGB:
// 10-bit codes for an 8-bit render, 16-bit for deeper ones. An integer
// render that the format cannot hold (16-bit into JPEG, 8 or 16-bit into
// OpenEXR) is a Error that says which depth or format to use instead.
SampleType OutputSampleType(FileFormat format, Depth depth);

// Reads the first image of a file (plain PNG files with libpng, the rest with
// OpenImageIO: the same samples either way). Grey becomes R = G = B;
// an image without alpha gets full alpha. Samples are taken as stored, never
// premultiplied or un-premultiplied. Error when the file is missing,
// unreadable or not an image.
FileImage ReadImageFile(const std::string& path);
// The same read, integer samples kept as codes: they go into `coded` (its
// buffer reused) and the answer is true; a float file goes into `floats`, and
// the answer is false.
bool ReadImageFile(const std::string& path, PackedFrame& coded, FileImage& floats);

// What a file's header says, without reading its pixels.
struct ImageHeader {
  int width = 0;
  int height = 0;
  int channels = 0;
  SampleType type = SampleType::kUInt8;
  std::string color_space{};  // as FileImage's
};
ImageHeader ReadImageHeader(const std::string& path);

// Writes `image` to `path` in `format` without ever leaving a partial file:
// the data goes to `temp` (a hidden file in the same folder), which is
// renamed over `path` only once complete. Error when it cannot be written.
void WriteImageFile(const std::string& path, const FileImage& image, FileFormat format, const std::string& temp);
// The same for a frame whose samples are already coded (8 or 16-bit, in a
// format that stores them: PNG, TIFF, JPEG 8-bit, DPX): written as they are,
// without a float copy. An integer FileImage is written this way too, packed
// first.
void WriteImageFile(const std::string& path, const PackedFrame& frame, FileFormat format, const std::string& temp);

}  // namespace pluvane::media
