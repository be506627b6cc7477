// Image files of any content, read the way `pluvane render` reads its input,
// up to the layer's host values at each depth and a preview reduction, and
// read as codes, the way it reads a sequence's frames.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "media/error.h"
#include "session/error.h"

#include "cli/cli_error.h"
#include "media/layer_limits.h"
#include "media/image.h"

using namespace pluvane::cli;

// The layer limit a user sets with --max-megapixels, lowered for the fuzz run:
// a header may claim any size up to the limit, and the reader's copies of a
// layer that large must stay well below run.sh's -rss_limit_mb (2048 MB) under
// AddressSanitizer, so that only real faults stop a long run. 4 megapixels is
// more than the pixels an input of run.sh's -max_len (4096 bytes) decompresses to.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  SetMaxLayerMegapixels(4.0);
  return 0;
}

// Runs `read`; an error with a clear message is the expected outcome of bad input.
template <typename Read>
void Expecting(Read&& read) {
  try {
    read();
  } catch (const pluvane::cli::CliError&) {
  } catch (const pluvane::media::Error&) {
  } catch (const pluvane::session::Error&) {
  }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  static const char* const kExtensions[] = {".png", ".exr", ".tif", ".jpg"};
  const std::string path = "/tmp/pluvane-fuzz-" + std::to_string(::getpid()) + kExtensions[data[0] % 4];
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return 0;
  std::fwrite(data + 1, 1, size - 1, f);
  std::fclose(f);
  Expecting([&] {
    const FileImage file = ReadImageFile(path);
    const Depth depth = static_cast<Depth>(data[0] / 4 % 3 == 0 ? 8 : data[0] / 4 % 3 == 1 ? 16 : 32);
    BoxDownsample(ToHost(file, depth), 1 + data[0] / 12 % 3);
  });
  // As a sequence's frames are read: integer samples as codes.
  Expecting([&] {
    PackedFrame coded;
    FileImage floats;
    ReadImageFile(path, coded, floats);
  });
  std::remove(path.c_str());
  return 0;
}
