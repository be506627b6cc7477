// An image sequence as footage: one file per frame, named by a frame number.
#pragma once

#include <functional>
#include <string>

#include "media/image.h"

namespace pluvane::media {

class SequenceReader {
 public:
  // Frames first..last, frame f in file `file_for(f)`. Checks before any
  // frame is read that every file is there and that all have the size and
  // channel count of the first: Error naming the missing file or the frame
  // that differs.
  SequenceReader(std::function<std::string(int)> file_for, int first, int last);

  const ImageHeader& header() const { return header_; }
  std::string FileFor(int frame) const { return file_for_(frame); }
  // Error when the file changed since the check, in the same words.
  FileImage Read(int frame) const;
  // The same, integer samples as codes (ReadImageFile's answer).
  bool Read(int frame, PackedFrame& coded, FileImage& floats) const;

 private:
  void Check(int frame, const ImageHeader& h) const;

  std::function<std::string(int)> file_for_;
  int first_ = 0, last_ = -1;
  ImageHeader header_;
};

}  // namespace pluvane::media
