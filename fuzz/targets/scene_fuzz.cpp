// Scene files as a user or a script may write them: any bytes.
#include <cstddef>
#include <cstdint>
#include <string>

#include "media/error.h"
#include "session/error.h"

#include "cli/cli_error.h"
#include "cli/scene.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  pluvane::cli::RenderOptions options;
  try {
    pluvane::cli::ParseScene(std::string(reinterpret_cast<const char*>(data), size), "fuzz.json", "/nonexistent",
                             options);
  } catch (const pluvane::cli::CliError&) {  // a clear message: the expected outcome of bad input
  } catch (const pluvane::media::Error&) {
  } catch (const pluvane::session::Error&) {
  }
  return 0;
}
