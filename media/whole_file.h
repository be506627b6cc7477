// A file written in one piece from memory, every write checked. Image
// encoders do not all notice a short write (and libjpeg ends the process on
// one); a frame cut off by a full disk or a vanished folder must not count as
// written, so encoders write into memory and this puts the bytes on disk.
#pragma once

#include <cstddef>
#include <string>

namespace pluvane::media {

// A temporary file, removed when this goes out of scope unless kept: a frame
// that failed to write leaves nothing behind.
struct TempFile {
  std::string path;
  bool keep = false;
  ~TempFile();
  // Renames the complete file over `to` and keeps it; the error text, empty
  // on success.
  std::string MoveTo(const std::string& to);
};

// Creates or truncates `path` and writes `size` bytes to it; the error text
// (strerror), empty on success.
std::string WriteWholeFile(const std::string& path, const void* data, size_t size);

}  // namespace pluvane::media
