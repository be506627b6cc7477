// Linux: modules through dlopen, large pages through madvise.
#include <dlfcn.h>
#include <sys/mman.h>

#include "minihost/platform.h"

namespace minihost::platform {

void* OpenModule(const std::string& path, std::string* why) {
  void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!module && why) {
    const char* text = dlerror();
    *why = text ? text : "?";
  }
  return module;
}

void* FindSymbol(void* module, const char* name) { return module ? dlsym(module, name) : nullptr; }

void CloseModule(void* module) {
  if (module) dlclose(module);
}

void AdviseLargePages(void* begin, size_t bytes) {
#ifdef MADV_HUGEPAGE
  madvise(begin, bytes, MADV_HUGEPAGE);
#else
  (void)begin;
  (void)bytes;
#endif
}

}  // namespace minihost::platform
