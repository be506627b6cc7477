// The command line's text parsers: control values and keys, numbers, rates,
// frame ranges, chunks and output patterns, and the way back from an output
// file name to its frame.
#include <cstddef>
#include <cstdint>
#include <string>

#include "cli/cli_error.h"
#include "media/error.h"
#include "session/error.h"
#include "cli/frames.h"
#include "cli/values.h"

using namespace pluvane::cli;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
  try {
    switch (data[0] % 8) {
      case 0: pluvane::session::ParseSetOption(text); break;
      case 1: pluvane::session::ParseKeyOption(text); break;
      case 2: ParseNumber(text, "--x"); break;
      case 3: pluvane::session::ParseRate(text, "--fps"); break;
      case 4: {
        const auto range = ParseFrameRange(text, "--frames");
        ChunkOf(FrameSpan{range.first, range.second}, Chunk{static_cast<int>(data[0] / 8) % 4, 4});
        break;
      }
      case 5: ParseChunk(text); break;
      case 6: {
        const OutputPattern pattern = ParseOutputPattern(text);
        for (int f : {0, 7, 123456, 2147483647}) {
          const std::string name = pattern.FileFor(f);
          const size_t slash = name.rfind('/');
          const auto back = FrameOfName(pattern, slash == std::string::npos ? name : name.substr(slash + 1));
          // A pattern's own name for a frame leads back to that frame.
          if (pattern.has_pattern && back != f) __builtin_trap();
        }
        break;
      }
      default: ParseInteger(text, "--n", -1000, 1000); break;
    }
  } catch (const pluvane::cli::CliError&) {  // a clear message: the expected outcome of bad input
  } catch (const pluvane::media::Error&) {
  } catch (const pluvane::session::Error&) {
  }
  return 0;
}
