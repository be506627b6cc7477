#include "media/sequence.h"

#include <filesystem>
#include <system_error>

#include "media/error.h"

namespace fs = std::filesystem;

namespace pluvane::media {

SequenceReader::SequenceReader(std::function<std::string(int)> file_for, int first, int last)
    : file_for_(std::move(file_for)), first_(first), last_(last) {
  std::error_code ec;
  // Every file first (one look-up each), so that a gap is named before any
  // header is opened.
  for (long long f = first; f <= last; ++f) {
    const std::string path = file_for_(static_cast<int>(f));
    if (!fs::is_regular_file(path, ec))
      throw Error("frame " + std::to_string(f) + " of the input sequence is missing: '" + path +
                  "' does not exist; render a range without it (--frames) or fill the gap");
  }
  header_ = ReadImageHeader(file_for_(first));
  for (long long f = first + 1LL; f <= last; ++f) Check(static_cast<int>(f), ReadImageHeader(file_for_(static_cast<int>(f))));
}

void SequenceReader::Check(int frame, const ImageHeader& h) const {
  const auto size = [](const ImageHeader& x) {
    return std::to_string(x.width) + "x" + std::to_string(x.height) + " with " + std::to_string(x.channels) + " channel(s)";
  };
  if (h.width != header_.width || h.height != header_.height || h.channels != header_.channels)
    throw Error("frame " + std::to_string(frame) + " of the input sequence ('" + file_for_(frame) + "') is " + size(h) +
                ", frame " + std::to_string(first_) + " is " + size(header_) +
                "; every frame of a sequence must have the same size and channels");
}

FileImage SequenceReader::Read(int frame) const {
  const std::string path = file_for_(frame);
  FileImage img = ReadImageFile(path);
  // Compare as the header does: channels are not kept in a FileImage, the size is.
  if (img.width != header_.width || img.height != header_.height) Check(frame, ReadImageHeader(path));
  return img;
}

bool SequenceReader::Read(int frame, PackedFrame& coded, FileImage& floats) const {
  const std::string path = file_for_(frame);
  const bool as_codes = ReadImageFile(path, coded, floats);
  const int width = as_codes ? coded.width : floats.width, height = as_codes ? coded.height : floats.height;
  if (width != header_.width || height != header_.height) Check(frame, ReadImageHeader(path));
  return as_codes;
}

}  // namespace pluvane::media
