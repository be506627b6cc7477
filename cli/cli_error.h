// The command line's own error: a message for the user, already worded as one
// line that says what is wrong and how to fix it, and the exit code the
// program ends with. The media library's and the session layer's errors are
// turned into exit codes only where the program ends (app.cpp).
#pragma once

#include <stdexcept>
#include <string>

#include "media/error.h"

namespace pluvane::cli {

// The command line works on the media layer's images and files throughout.
using namespace pluvane::media;

// Exit codes of the program (documented in the README).
enum ExitCode {
  kExitOk = 0,
  kExitRenderFailed = 1,  // the effect or the host reported an error while rendering
  kExitBadInput = 2,      // bad command line, file, scene or control value
  kExitInterrupted = 130, // Ctrl-C (128 + SIGINT), as shells report it; 143 for SIGTERM, 129 for SIGHUP
};

class CliError : public std::runtime_error {
 public:
  explicit CliError(const std::string& message, int exit_code = kExitBadInput)
      : std::runtime_error(message), exit_code_(exit_code) {}
  int exit_code() const { return exit_code_; }

 private:
  int exit_code_;
};

}  // namespace pluvane::cli
