// Video files of any content, opened and read the way `pluvane render` reads a
// clip: the first frames, then a seek back to the start. FFmpeg finds the format
// from the bytes, so one name serves every container it knows.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "media/error.h"
#include "session/error.h"

#include "cli/cli_error.h"
#include "media/layer_limits.h"
#include "media/video.h"

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

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string path = "/tmp/pluvane-fuzz-" + std::to_string(::getpid()) + ".mkv";
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return 0;
  std::fwrite(data, 1, size, f);
  std::fclose(f);
  try {
    VideoReader reader(path);
    const long long frames = reader.info().frames;
    for (long long i = 0; i < frames && i < 3; ++i) reader.Read(i);
    reader.Read(0);
  } catch (const pluvane::cli::CliError&) {  // a clear message: the expected outcome of bad input
  } catch (const pluvane::media::Error&) {
  } catch (const pluvane::session::Error&) {
  }
  std::remove(path.c_str());
  return 0;
}
