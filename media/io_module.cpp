#include "media/io_module.h"

#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#include <filesystem>
#include <mutex>

#include "media/error.h"
#include "media/layer_limits.h"

#ifndef PLUVANE_MEDIA_IO_PATH
#define PLUVANE_MEDIA_IO_PATH "pluvane_media_io.so"
#endif

namespace fs = std::filesystem;

namespace pluvane::media {
namespace {

constexpr const char* kLibraryName = "pluvane_media_io.so";

const MediaIo* Load() {
  std::vector<std::string> tried;
  char exe[PATH_MAX] = {};
  const ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
  if (n > 0) {
    // Beside the program in a build tree; in the private folder of an
    // installation (PREFIX/bin/pluvane, PREFIX/lib/pluvane/).
    const fs::path dir = fs::path(std::string(exe, static_cast<size_t>(n))).parent_path();
    tried.push_back((dir / kLibraryName).string());
    tried.push_back((dir.parent_path() / "lib" / "pluvane" / kLibraryName).string());
  }
  tried.push_back(PLUVANE_MEDIA_IO_PATH);
  std::string why;
  for (const std::string& path : tried) {
    std::error_code ec;
    if (!fs::exists(path, ec)) continue;
    // The library stays loaded until the process ends: its objects may live that long.
    void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
      const char* e = ::dlerror();
      why = e ? e : "unknown error";
      continue;
    }
    using Entry = const MediaIo* (*)();
    if (auto entry = reinterpret_cast<Entry>(::dlsym(handle, "pluvane_media_io"))) return entry();
    why = path + " has no entry point";
  }
  throw LibraryError("cannot load pluvane's image and video library " + std::string(kLibraryName) +
                     (why.empty() ? " (not found next to the program nor in ../lib/pluvane/)" : " (" + why + ")") +
                     "; reinstall pluvane with the library next to the program");
}

}  // namespace

const MediaIo& MediaLibrary() {
  static std::once_flag once;
  static const MediaIo* io = nullptr;
  std::call_once(once, [] { io = Load(); });
  io->set_max_layer_megapixels(MaxLayerMegapixels());
  return *io;
}

}  // namespace pluvane::media
