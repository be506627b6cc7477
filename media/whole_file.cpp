#include "media/whole_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace pluvane::media {

TempFile::~TempFile() {
  if (keep) return;
  std::error_code ec;
  std::filesystem::remove(path, ec);
}

std::string TempFile::MoveTo(const std::string& to) {
  std::error_code ec;
  std::filesystem::rename(path, to, ec);
  if (ec) return ec.message();
  keep = true;
  return "";
}

std::string WriteWholeFile(const std::string& path, const void* data, size_t size) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return std::strerror(errno);
  const auto* bytes = static_cast<const unsigned char*>(data);
  size_t done = 0;
  while (done < size) {
    const ssize_t n = ::write(fd, bytes + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const int error = n < 0 ? errno : ENOSPC;  // a write of nothing: the disk took no more
      ::close(fd);
      return std::strerror(error);
    }
    done += static_cast<size_t>(n);
  }
  if (::close(fd) != 0) return std::strerror(errno);
  return "";
}

}  // namespace pluvane::media
