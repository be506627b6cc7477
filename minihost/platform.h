// What the stand-in host does differently on Linux and on Windows, each in
// one place: loading a module and finding a function in it, and the hint
// that asks for large pages. minihost/platform/posix.cpp and windows.cpp
// implement it; the build takes the one for its target.
#pragma once

#include <cstddef>
#include <string>

namespace minihost::platform {

// The module at `path`, loaded with all its symbols resolved now; null when
// it cannot be loaded, with the system's reason in `why`.
void* OpenModule(const std::string& path, std::string* why);
// The address of the exported function `name` in `module`, null when none.
void* FindSymbol(void* module, const char* name);
void CloseModule(void* module);

// Asks for the pages in [begin, begin + bytes) to be backed by large pages
// where the system offers them; a hint, so failing is harmless.
void AdviseLargePages(void* begin, size_t bytes);

}  // namespace minihost::platform
