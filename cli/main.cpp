// The `pluvane` program.
#include <malloc.h>

#include <iostream>

#include "cli/app.h"

int main(int argc, char** argv) {
  // A 1080p frame in float samples is 33 MB, above the C library's largest
  // threshold for serving a block from its own mappings (32 MB): each frame's
  // buffers would be mapped, faulted in page by page and unmapped again, about
  // a fifth of the CPU time of a 1080p video render. Kept in the heap, a long
  // render reuses the same memory frame after frame. Larger frames (4K and up)
  // keep their own mappings, so that their peak memory stays what the frames
  // in flight need.
  mallopt(M_MMAP_THRESHOLD, 64 << 20);
  mallopt(M_TRIM_THRESHOLD, 128 << 20);
  return pluvane::cli::RunCli(argc, argv, std::cout, std::cerr);
}
