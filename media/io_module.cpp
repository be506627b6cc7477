#include "media/io_module.h"

#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#include <filesystem>

#include "media/error.h"
#include "media/layer_limits.h"

#ifndef PLUVANE_IMAGE_IO_PATH
#define PLUVANE_IMAGE_IO_PATH "pluvane_image_io.so"
#endif
#ifndef PLUVANE_VIDEO_IO_PATH
#define PLUVANE_VIDEO_IO_PATH "pluvane_video_io.so"
#endif

namespace fs = std::filesystem;

namespace pluvane::media {
namespace {

// Loads the library called NAME in messages from FILE and returns the table
// its entry point ENTRY_NAME gives; LibraryError when there is none.
template <typename Table>
const Table& Load(const char* name, const char* file, const char* build_path, const char* entry_name) {
  std::vector<std::string> tried;
  char exe[PATH_MAX] = {};
  const ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
  if (n > 0) {
    // Beside the program in a build tree; in the private folder of an
    // installation (PREFIX/bin/pluvane, PREFIX/lib/pluvane/).
    const fs::path dir = fs::path(std::string(exe, static_cast<size_t>(n))).parent_path();
    tried.push_back((dir / file).string());
    tried.push_back((dir.parent_path() / "lib" / "pluvane" / file).string());
  }
  tried.push_back(build_path);
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
    using Entry = const Table* (*)();
    const auto entry = reinterpret_cast<Entry>(::dlsym(handle, entry_name));
    if (const Table* table = entry ? entry() : nullptr) return *table;
    why = path + " has no entry point";
  }
  throw LibraryError("cannot load pluvane's " + std::string(name) + " " + file +
                     (why.empty() ? " (not found next to the program nor in ../lib/pluvane/)" : " (" + why + ")") +
                     "; reinstall pluvane with the library next to the program");
}

// The library's table, loaded once per library on first use (a failed load
// is tried again next time), with the program's layer size limit passed on.
template <typename Table>
const Table& Library(const char* name, const char* file, const char* build_path, const char* entry_name) {
  static const Table& io = Load<Table>(name, file, build_path, entry_name);
  io.set_max_layer_megapixels(MaxLayerMegapixels());
  return io;
}

}  // namespace

const ImageIo& ImageLibrary() {
  return Library<ImageIo>("image library", "pluvane_image_io.so", PLUVANE_IMAGE_IO_PATH, "pluvane_image_io");
}

const VideoIo& VideoLibrary() {
  return Library<VideoIo>("video library", "pluvane_video_io.so", PLUVANE_VIDEO_IO_PATH, "pluvane_video_io");
}

}  // namespace pluvane::media
